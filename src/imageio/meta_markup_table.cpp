// pi_MetaMarkup: the markup operations on a plug-in's FltMetaMarkup record,
// and the EXIF and XMP conversions through the library's own exports.
#include <memory>
#include <string>

#include "imageio/host_services.h"
#include "markup/meta_markup.h"
#include "raster/thread_state.h"
#include "vgm/vgm_common.h"

static_assert(sizeof(FltMetaMarkup) == sizeof(MetaMarkup), "the plug-in's record is the markup record");

namespace {

constexpr int32_t kFromBlockCapacity = 65536;
// Keys and values are far shorter; a text beyond this is cut.
constexpr size_t kTextMax = 1 << 24;

MetaMarkup *record(FltMetaMarkup *markup) {
  if (markup == nullptr || rx_ProbeMemory(markup, sizeof *markup, true) != 0) return nullptr;
  return reinterpret_cast<MetaMarkup *>(markup);
}

int32_t VGM_API init(FltMetaMarkup *markup) {
  MetaMarkup *m = record(markup);
  return m != nullptr ? markup_MetaInit(m) : 0;
}

int32_t VGM_API initFromData(FltMetaMarkup *markup, const void *data, uint32_t size) {
  MetaMarkup *m = record(markup);
  return m != nullptr ? markup_MetaInitFromData(m, data, size) : 0;
}

int32_t VGM_API freeMarkup(FltMetaMarkup *markup) {
  MetaMarkup *m = record(markup);
  return m != nullptr ? markup_MetaFree(m) : 0;
}

int32_t VGM_API merge(FltMetaMarkup *markup, const char *text) {
  MetaMarkup *m = record(markup);
  std::string value;
  io_ReadText8(text, kTextMax, &value);
  return m != nullptr ? markup_MetaMerge(m, value.c_str()) : 0;
}

int32_t VGM_API get(FltMetaMarkup *markup, const char *key, char *out, int32_t out_size) {
  MetaMarkup *m = record(markup);
  std::string name;
  io_ReadText8(key, kTextMax, &name);
  if (m == nullptr) return 0;
  if (out != nullptr && (out_size < 1 || rx_ProbeMemory(out, static_cast<size_t>(out_size), true) != 0)) return 0;
  return markup_MetaGet(m, name.c_str(), out, out_size);
}

int32_t VGM_API set(FltMetaMarkup *markup, const char *key, const char *value) {
  MetaMarkup *m = record(markup);
  std::string name, text;
  io_ReadText8(key, kTextMax, &name);
  io_ReadText8(value, kTextMax, &text);
  return m != nullptr ? markup_MetaSet(m, name.c_str(), text.c_str()) : 0;
}

int32_t VGM_API getBpp(FltMetaMarkup *markup, int32_t *bpp) {
  MetaMarkup *m = record(markup);
  if (m == nullptr || bpp == nullptr || rx_ProbeMemory(bpp, sizeof *bpp, true) != 0) return 0;
  return markup_MetaGetBpp(m, bpp);
}

int32_t VGM_API setBpp(FltMetaMarkup *markup, int32_t bpp) {
  MetaMarkup *m = record(markup);
  return m != nullptr ? markup_MetaSetBpp(m, bpp) : 0;
}

// The own exports are called through these records, built before the
// guarded call so that nothing with a destructor lives inside it.
struct ToExifCall {
  const char *text;
  HGLOBAL *data;
  uint32_t *size;
  int32_t result;
};

struct FromBlockCall {
  char *out;
  const void *data;
  int32_t size;
  int32_t result;
};

int32_t VGM_API markupToExif(FltMetaMarkup *markup, HGLOBAL *data, uint32_t *size) {
  MetaMarkup *m = record(markup);
  if (m == nullptr || data == nullptr || size == nullptr || rx_ProbeMemory(data, sizeof *data, true) != 0 ||
      rx_ProbeMemory(size, sizeof *size, true) != 0)
    return 0;
  std::string text;
  io_ReadText8(m->text, kTextMax, &text);
  ToExifCall call{text.c_str(), data, size, 0};
  int32_t reached = io_CallOwnExport(
      "cmio_MarkupToEXIF",
      [](void *entry, void *context) {
        auto *c = static_cast<ToExifCall *>(context);
        c->result = reinterpret_cast<decltype(&cmio_MarkupToEXIF)>(entry)(c->text, c->data, c->size);
      },
      &call);
  return reached == 1 ? call.result : 0;
}

int32_t fromBlock(FltMetaMarkup *markup, const void *data, int32_t size, const char *export_name) {
  MetaMarkup *m = record(markup);
  if (m == nullptr || size < 4 || data == nullptr || rx_ProbeMemory(data, static_cast<size_t>(size), false) != 0)
    return 0;
  std::unique_ptr<char[]> text(new (std::nothrow) char[kFromBlockCapacity]());
  if (text == nullptr) return 0;
  FromBlockCall call{text.get(), data, size, 0};
  int32_t reached = io_CallOwnExport(
      export_name,
      [](void *entry, void *context) {
        auto *c = static_cast<FromBlockCall *>(context);
        c->result = reinterpret_cast<decltype(&cmio_MarkupFromEXIF)>(entry)(c->out, kFromBlockCapacity, c->data,
                                                                             c->size);
      },
      &call);
  if (reached != 1 || call.result < 1) return 0;
  text[kFromBlockCapacity - 1] = 0;
  return markup_MetaMerge(m, text.get());
}

int32_t VGM_API markupFromExif(FltMetaMarkup *markup, const void *data, int32_t size) {
  return fromBlock(markup, data, size, "cmio_MarkupFromEXIF");
}

int32_t VGM_API markupFromXmp(FltMetaMarkup *markup, const void *data, int32_t size) {
  return fromBlock(markup, data, size, "cmio_MarkupFromXMP");
}

}  // namespace

const pi_MetaMarkup *io_MetaMarkupTable() {
  static const pi_MetaMarkup gTable{PI_METAMARKUP_VERSION, 0, init, initFromData, freeMarkup, merge, get, set, getBpp, setBpp,
                         markupToExif, markupFromExif, markupFromXmp};
  return &gTable;
}
