// BMP (OS/2 and Windows headers, palettes, bit fields, RLE) and WBMP, by
// our own parser in bmp_codec.cpp; saves 24-bit, or 32-bit V5 with alpha.
#include <vector>

#include "../common/flt_support.h"
#include "bmp_codec.h"

namespace {

// Files beyond this are not BMPs we can hold.
constexpr long kMaxFile = 0x7FFFFFFF;

bool plausibleBmp(const uint8_t *h, uint32_t n) {
  if (n < 18 || h[0] != 'B' || h[1] != 'M') return false;
  uint32_t header = h[14] | h[15] << 8 | h[16] << 16 | uint32_t(h[17]) << 24;
  return header == 12 || header == 40 || header == 52 || header == 56 || header == 64 || header == 108 || header == 124;
}

double markupNumber(const char *text, const char *key) {
  size_t n = strlen(key);
  for (const char *at = text ? strstr(text, key) : nullptr; at; at = strstr(at + 1, key))
    if ((at == text || at[-1] == ';' || at[-1] == '\n') && at[n] == '=') return atof(at + n + 1);
  return 0;
}

}  // namespace

extern "C" {

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (plausibleBmp(probe->header, probe->header_size)) {
    // Two signature bytes are a weak claim, even with a plausible header.
    probe->strength_a = 150;
    probe->strength_b = flt::extensionIs(probe, ".bmp") || flt::extensionIs(probe, ".dib") ? 50 : 0;
    probe->reply_flags = FLT_PROBE_WEAK;
    return 1;
  }
  // WBMP has no signature: only its extension and two zero bytes.
  if (flt::extensionIs(probe, ".wbmp") && probe->header_size >= 4 && probe->header[0] == 0 && probe->header[1] == 0) {
    probe->strength_a = 100;
    probe->reply_flags = FLT_PROBE_WEAK | FLT_PROBE_WEAKER;
    return 1;
  }
  return 0;
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *r) {
  FILE *file = flt::openRead(r->path);
  if (!file) return FLT_ERR_OPEN_READ;
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  fseek(file, 0, SEEK_SET);
  if (size < 0 || size > kMaxFile) {
    fclose(file);
    return FLT_ERR_READ;
  }
  std::vector<uint8_t> data(size_t(size) + 1);
  size_t got = fread(data.data(), 1, size_t(size), file);
  fclose(file);
  std::string path = flt::utf8(r->path);
  bool wbmp = path.size() >= 5 && strcasecmp(path.c_str() + path.size() - 5, ".wbmp") == 0 && !(got >= 2 && data[0] == 'B' && data[1] == 'M');
  int32_t code = bmp_Decode(data.data(), got, wbmp, r);
  if (code < FLT_OK && code != FLT_ERR_CANCELLED)
    flt::tell(r, code == FLT_ERR_UNEXPECTED_END ? "BMP: the file ends early"
                    : code == FLT_ERR_DIMENSIONS   ? "BMP: the image size does not fit the file"
                    : code == FLT_ERR_UNSUPPORTED  ? "BMP: not a BMP file"
                                                   : "BMP: the file is damaged or of an unsupported kind");
  return code;
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) {
  if (!flt::extensionIs(probe, ".bmp") && !flt::extensionIs(probe, ".dib")) return 0;
  probe->strength_a = 200;
  return 1;
}

FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *r) {
  if (r->layers > 1) return FLT_ERR_NEED_FLAT;
  if (!r->pixels || r->width == 0 || r->height == 0) return FLT_ERR_NO_IMAGE_DATA;
  if (uint64_t(r->width) * r->height > (uint64_t(1) << 28)) return FLT_ERR_DIMENSIONS;
  const char *markup = r->get_metadata ? static_cast<const char *>(r->get_metadata(r, FLT_TAG_MARK)) : nullptr;
  std::string bytes = bmp_Encode(r->pixels, r->width, r->height, r->stride, markupNumber(markup, "exif.resolution.x"),
                                 markupNumber(markup, "exif.resolution.y"));
  flt::SafeFile out(r->path);
  if (!out.get()) return FLT_ERR_OPEN_WRITE;
  // Written in slices so that progress and cancelling work on large images.
  size_t slice = std::max<size_t>(bytes.size() / 64, 1);
  flt::Progress<FltSaveRequest> progress(r, 64);
  for (size_t at = 0, step = 0; at < bytes.size(); at += slice) {
    if (fwrite(bytes.data() + at, 1, std::min(slice, bytes.size() - at), out.get()) == 0) return FLT_ERR_WRITE;
    if (!progress.at(uint32_t(std::min<size_t>(++step, 64)))) return FLT_ERR_CANCELLED;
  }
  return out.commit() ? FLT_OK : FLT_ERR_WRITE;
}

}  // extern "C"
