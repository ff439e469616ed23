// The document reader on arbitrary files: the bytes go to a temporary file
// that kv5_Read opens, once quiet and twice with an owner window and a
// scripted notice handler, in thumbnail mode. The first scripted pass types
// a fixed password and gives up at the first refusal; the second closes
// every password prompt. Both check that no more notices appear than a
// read may show: per password stage a prompt and one answer, plus the
// decoder error and the version warning.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kv5/kv5_reader.h"
#include "platform/os.h"
#include "raster/layers/layers.h"

namespace {

int gNotices = 0;
bool gTypePassword = false;

int32_t scriptedNotice(const os_Notice *notice, void *) {
  ++gNotices;
  if (notice->kind == os_NoticeTextInput) {
    if (!gTypePassword) return 0;
    std::memcpy(notice->buffer, u"fuzz", sizeof u"fuzz");
    return 1;
  }
  return (notice->style & 0x0F) == os_NoticeOk ? os_AnswerOk : os_AnswerCancel;
}

// A protected flat file gives four noise frames of the size it states,
// which may be gigabytes filled pixel by pixel: that is the placeholder
// doing its job, not a fault, so such files stay within the fuzzer's
// memory and time (frames of up to 256 x 256 pixels).
bool hugePlaceholder(const uint8_t *data, size_t size) {
  if (size < 44 || std::memcmp(data, "_KV5", 4) != 0 || data[10] + (data[11] << 8) > 2) return false;
  const uint8_t *chain = data + (data[10] == 2 && data[11] == 0 ? 28 : 24);
  uint64_t pixels = uint64_t(data[12] | data[13] << 8) * uint64_t(data[14] | data[15] << 8);
  return pixels > (1u << 16) && std::memchr(chain, 255, 16) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = "/tmp/kv5_read_fuzz_" + std::to_string(getpid()) + ".kv5";
  static const std::u16string wide = os_Utf8ToUtf16(path);
  static rx_LayerEntry *table = rx_LayerTableCreate();
  static bool ready = (os_SetNoticeHandler(scriptedNotice, nullptr, nullptr), true);
  (void)ready;
  if (hugePlaceholder(data, size)) return 0;
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  for (int pass = 0; pass < 3; ++pass) {
    auto *options = new LoadSaveOptions{};
    options->quiet = pass == 0;
    options->ownerWindow = pass == 0 ? nullptr : reinterpret_cast<HWND>(1);
    options->preview = pass == 1;
    options->thumbnailCount = 1;
    gNotices = 0;
    gTypePassword = pass == 1;
    int32_t count = kv5_Read(table, options, wide.c_str());
    if (count < 0 || count > rx_LayerTableCapacity || gNotices > 2 + 2 * 16 || (pass == 0 && gNotices != 0))
      std::abort();
    // A refused password always gives the placeholder.
    if (options->passwordProtected && count != 4) std::abort();
    rx_LayersRelease(table, rx_LayerTableEntries);
    delete options;
  }
  return 0;
}
