// The BMP and WBMP reader of flt_BMP behind a fake host that makes layers of
// exactly width x height pixels, so that any write past a row or a layer
// shows. Byte 0: bit 0 reads the rest as WBMP, bit 1 cancels at the second
// progress report, bit 2 refuses the layer.
#include <cstdint>
#include <vector>

#include "../plugins/BMP/bmp_codec.h"

namespace {

struct FakeHost {
  FltLoadRequest request{};
  std::vector<uint32_t> pixels;
  int progressCalls = 0;
  uint8_t control = 0;
};

FakeHost *host = nullptr;

int32_t VGM_API beginLayer(FltLoadRequest *r, uint32_t) {
  if ((host->control & 4) || r->layers_begun > 0) return r->status = FLT_ERR_INTERNAL, 0;
  // The real host's surfaces end well before this; keep the fuzzer's memory small.
  if (uint64_t(r->width) * r->height > (uint64_t(1) << 20)) return r->status = FLT_ERR_OUT_OF_MEMORY, 0;
  host->pixels.assign(size_t(r->width) * r->height, 0xDEADBEEFu);
  r->stride = r->width;
  r->pixels = host->pixels.data();
  r->current_layer = r->layers_begun++;
  return r->status = FLT_OK, 1;
}

int32_t VGM_API progress(FltLoadRequest *r, int32_t a, int32_t b) {
  if (a < 0 || a > b || b != int32_t(r->height)) __builtin_trap();
  return (host->control & 2) && ++host->progressCalls == 2 ? 0 : 1;
}

int32_t VGM_API setText(FltLoadRequest *, int32_t, const WCHAR *) { return 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  FakeHost fake;
  host = &fake;
  fake.control = data[0];
  fake.request.begin_layer = beginLayer;
  fake.request.progress = progress;
  fake.request.set_text = setText;
  fake.request.current_layer = -1;
  std::vector<uint8_t> copy(data + 1, data + size);  // exact size: reads past the end show
  int32_t code = bmp_Decode(copy.data(), copy.size(), data[0] & 1, &fake.request);
  // A success leaves every pixel of its layer written.
  if (code == FLT_OK)
    for (uint32_t p : fake.pixels)
      if (p == 0xDEADBEEFu) __builtin_trap();
  host = nullptr;
  return 0;
}
