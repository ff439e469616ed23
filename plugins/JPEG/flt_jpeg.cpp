// JPEG through libjpeg(-turbo): baseline, progressive, arithmetic, grey,
// CMYK/YCCK, decoded straight into the layer as BGRA; shrink-on-load for
// previews at the smallest DCT scale that still covers the asked box; EXIF,
// XMP (extended parts joined) and ICC to the host services. Saves at
// "jpeg.quality" with 4:2:0 below 95 and 4:4:4 from 95, with EXIF.
//
// libjpeg reports errors by longjmp: the functions that call setjmp keep
// their state in a context record and hold no object with a destructor.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <new>
#include <numeric>
#include <map>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "../common/flt_support.h"

namespace {

// No surface beyond this many pixels.
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;
const char kExif[] = "Exif\0";  // with the terminator: six bytes
const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
const char kXmpExtension[] = "http://ns.adobe.com/xmp/extension/";
const char kIcc[] = "ICC_PROFILE";

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf jump;
  bool damaged = false;  // libjpeg warned about the data and went on
  int code = 0;          // libjpeg's message code at the failure
};

void onError(j_common_ptr info) {
  auto *e = reinterpret_cast<ErrorManager *>(info->err);
  e->code = e->base.msg_code;
  longjmp(e->jump, 1);
}
void onMessage(j_common_ptr info, int level) {
  if (level < 0) reinterpret_cast<ErrorManager *>(info->err)->damaged = true;
}

struct LoadContext {
  ErrorManager error;
  jpeg_decompress_struct info;
  uint32_t rowsDone = 0;
  bool begun = false;
  bool cmyk = false;
  bool inverted = false;
  uint32_t scaleNum = 8;
  uint32_t boxWidth = 0, boxHeight = 0;  // preview box, 0: full size
};

// The marker starts with the `n` bytes of `tag` and holds at least `least` bytes.
bool starts(const jpeg_saved_marker_ptr m, const char *tag, size_t n, size_t least = 0) {
  return m->data_length >= std::max(n, least) && memcmp(m->data, tag, n) == 0;
}

// EXIF, XMP (main and joined extension) and the ICC profile from the saved markers.
void collectMetadata(const jpeg_decompress_struct &info, flt::Metadata &meta) {
  std::map<int, std::string> icc;
  std::string extended;
  std::vector<bool> have;
  for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next) {
    const char *data = reinterpret_cast<const char *>(m->data);
    if (m->marker == JPEG_APP0 + 1 && starts(m, kExif, 6) && meta.exif.empty()) {
      meta.exif.assign(data, m->data_length);
    } else if (m->marker == JPEG_APP0 + 1 && starts(m, kXmp, sizeof kXmp) && meta.xmp.empty()) {
      meta.xmp.assign(data + sizeof kXmp, m->data_length - sizeof kXmp);
    } else if (m->marker == JPEG_APP0 + 1 && starts(m, kXmpExtension, sizeof kXmpExtension, sizeof kXmpExtension + 40)) {
      // GUID (32), full length, offset, then this part.
      const uint8_t *p = m->data + sizeof kXmpExtension + 32;
      uint32_t full = uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
      uint32_t offset = uint32_t(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7];
      size_t part = m->data_length - sizeof kXmpExtension - 40;
      if (full > (1u << 26)) continue;
      if (extended.size() != full) extended.assign(full, '\0'), have.assign(full, false);
      if (offset > full || part > full - offset) continue;
      memcpy(&extended[offset], p + 8, part);
      std::fill_n(have.begin() + offset, part, true);
    } else if (m->marker == JPEG_APP0 + 2 && starts(m, kIcc, sizeof kIcc, sizeof kIcc + 2)) {
      icc[m->data[sizeof kIcc]] = std::string(data + sizeof kIcc + 2, m->data_length - sizeof kIcc - 2);
    }
  }
  if (!extended.empty() && std::find(have.begin(), have.end(), false) == have.end()) meta.xmpExtension = extended;
  // Chunks numbered 1..n, all present.
  int expected = 1;
  for (auto &[number, chunk] : icc) {
    if (number != expected++) return meta.icc.clear();
    meta.icc += chunk;
  }
}

// Header, scale and decode into one layer. Returns the result code.
int32_t decode(FltLoadRequest *r, LoadContext *c, FILE *file, long fileSize, flt::Metadata *meta) {
  jpeg_decompress_struct &info = c->info;
  if (setjmp(c->error.jump)) return c->error.code == JERR_BAD_PRECISION ? FLT_ERR_NOT_IMPLEMENTED
                                    : c->error.code == JERR_OUT_OF_MEMORY ? FLT_ERR_OUT_OF_MEMORY
                                    : c->error.code == JERR_INPUT_EOF     ? FLT_ERR_UNEXPECTED_END
                                    : c->error.code == JERR_IMAGE_TOO_BIG ? FLT_ERR_DIMENSIONS
                                    : c->error.code == JERR_EMPTY_IMAGE   ? FLT_ERR_BITMAP_ZERO
                                                                          : FLT_ERR_BAD_ENCODING;
  jpeg_stdio_src(&info, file);
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  collectMetadata(info, *meta);  // the saved markers go with the image's memory at the end
  // Entropy coding packs a block into a few bits at best (arithmetic coding
  // of flat areas into very few): a file far too small for its claimed size
  // is refused before a surface is made.
  uint64_t blocks = (uint64_t(info.image_width) + 7) / 8 * ((uint64_t(info.image_height) + 7) / 8);
  if (uint64_t(info.image_width) * info.image_height > kMaxPixels * 64 || blocks > uint64_t(fileSize) * 4096)
    return FLT_ERR_DIMENSIONS;

  c->cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  info.out_color_space = c->cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  // The box is upright; an image stored turned a quarter fills it turned.
  if (flt::exifOrientation(meta->exif) >= 5)
    std::swap(c->boxWidth, c->boxHeight);
  if (c->boxWidth || c->boxHeight) {
    // The smallest scale n/8 whose output still covers the box.
    while (c->scaleNum > 1 && (uint64_t(info.image_width) * (c->scaleNum - 1) + 7) / 8 >= c->boxWidth &&
           (uint64_t(info.image_height) * (c->scaleNum - 1) + 7) / 8 >= c->boxHeight)
      --c->scaleNum;
    info.scale_num = c->scaleNum;
    info.scale_denom = 8;
  }
  c->inverted = info.saw_Adobe_marker;  // Adobe files store inverted inks
  jpeg_start_decompress(&info);
  if (uint64_t(info.output_width) * info.output_height > kMaxPixels) return FLT_ERR_DIMENSIONS;
  r->width = info.output_width, r->height = info.output_height;
  if (!r->begin_layer(r, 0)) return r->status;
  c->begun = true;
  flt::Progress<FltLoadRequest> progress(r, info.output_height);
  JSAMPROW rows[16];
  while (info.output_scanline < info.output_height) {
    // Batches no larger than a progress step, so that every step is reported.
    int batch = int(std::min<uint32_t>({16u, uint32_t(progress.step()), info.output_height - info.output_scanline}));
    for (int i = 0; i < batch; ++i)
      rows[i] = reinterpret_cast<JSAMPROW>(r->pixels + size_t(info.output_scanline + i) * r->stride);
    JDIMENSION first = info.output_scanline, got = jpeg_read_scanlines(&info, rows, JDIMENSION(batch));
    // CMYK rows stay inks until the whole image is there (one transform for all).
    if (!c->cmyk)
      for (JDIMENSION y = first; y < first + got; ++y) {
        uint32_t *p = r->pixels + size_t(y) * r->stride;
        for (uint32_t x = 0; x < r->width; ++x) p[x] &= 0x00FFFFFFu;  // libjpeg's alpha 255 is our opaque T 0
      }
    c->rowsDone = info.output_scanline;
    if (!progress.at(c->rowsDone)) return FLT_ERR_CANCELLED;
  }
  jpeg_finish_decompress(&info);
  return FLT_OK;
}

// The plain formula, for a host without the colour service: T = 0.
uint32_t plainRgb(uint32_t v) {
  uint32_t c = v & 255, m = v >> 8 & 255, y = v >> 16 & 255, k = v >> 24;
  return (255 - std::min(y + k, 255u)) | (255 - std::min(m + k, 255u)) << 8 | (255 - std::min(c + k, 255u)) << 16;
}

// The first `rows` rows of decoded inks (libjpeg's C, M, Y, K bytes) to
// surface pixels: through the embedded CMYK profile, else the default CMYK
// profile the host names, else (inside the colour service) the plain formula.
void convertCmyk(FltLoadRequest *r, const std::string &icc, bool inverted, uint32_t rows) {
  auto row = [&](uint32_t y) { return r->pixels + size_t(y) * r->stride; };
  if (inverted)
    for (uint32_t y = 0; y < rows; ++y)
      for (uint32_t x = 0; x < r->width; ++x) row(y)[x] = ~row(y)[x];
  const pi_BasicColor *colour = r->basic_color;
  if (colour == nullptr || colour->ConvertPixels == nullptr) {
    for (uint32_t y = 0; y < rows; ++y)
      for (uint32_t x = 0; x < r->width; ++x) row(y)[x] = plainRgb(row(y)[x]);
    return;
  }
  void *transform = nullptr;
  if (colour->CreateTransform != nullptr && colour->DeleteTransform != nullptr) {
    if (icc.size() >= 128 && memcmp(icc.data() + 16, "CMYK", 4) == 0)
      transform = colour->CreateTransform(icc.data(), uint32_t(icc.size()), nullptr);
    WCHAR path[1024] = {};
    if (transform == nullptr && r->host != nullptr && r->host->GetString != nullptr &&
        r->host->GetString(r->host, u"icm.cmyk_file", path, 1024) > 0)
      transform = colour->CreateTransform(nullptr, 0, path);
  }
  // The colour service packs CMYK as K, Y, M, C from the lowest byte: libjpeg's order reversed.
  for (uint32_t y = 0; y < rows; ++y) colour->ConvertPixels(row(y), int32_t(r->width), 3 | PI_COLOR_REVERSE, transform, 0);
  if (transform != nullptr) colour->DeleteTransform(transform);
}

struct SaveContext {
  ErrorManager error;
  jpeg_compress_struct info;
};

int32_t encode(FltSaveRequest *r, SaveContext *c, FILE *file, int quality, const std::string *exif) {
  jpeg_compress_struct &info = c->info;
  if (setjmp(c->error.jump)) return c->error.code == JERR_FILE_WRITE ? FLT_ERR_WRITE : FLT_ERR_INTERNAL;
  jpeg_stdio_dest(&info, file);
  info.image_width = r->width, info.image_height = r->height;
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  // Full chroma from quality 95: there the eye sees the subsampling.
  int h = quality >= 95 ? 1 : 2;
  info.comp_info[0].h_samp_factor = h, info.comp_info[0].v_samp_factor = h;
  jpeg_start_compress(&info, TRUE);
  if (exif->size() > 6 && exif->size() <= 65533)
    jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(exif->data()), unsigned(exif->size()));
  flt::Progress<FltSaveRequest> progress(r, r->height);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(r->pixels + size_t(info.next_scanline) * r->stride);
    jpeg_write_scanlines(&info, &row, 1);
    if (!progress.at(info.next_scanline)) return FLT_ERR_CANCELLED;
  }
  jpeg_finish_compress(&info);
  return FLT_OK;
}

}  // namespace

extern "C" {

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe->header_size < 3 || probe->header[0] != 0xFF || probe->header[1] != 0xD8 || probe->header[2] != 0xFF) return 0;
  probe->strength_a = 200;
  for (const char *ext : {".jpg", ".jpeg", ".jpe", ".jfif", ".mpo", ".jps", ".mjpeg"})
    if (flt::extensionIs(probe, ext)) probe->strength_b = 50;
  return 1;
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *r) {
  FILE *file = flt::openRead(r->path);
  if (!file) return FLT_ERR_OPEN_READ;
  fseek(file, 0, SEEK_END);
  long fileSize = ftell(file);
  fseek(file, 0, SEEK_SET);
  long boxWidth = std::max(0L, long(flt::optionInt(r, u"preview.max_width", 0, 0, 65535)));
  long boxHeight = std::max(0L, long(flt::optionInt(r, u"preview.max_height", 0, 0, 65535)));

  auto *c = new (std::nothrow) LoadContext;
  if (!c) {
    fclose(file);
    return FLT_ERR_OUT_OF_MEMORY;
  }
  c->info.err = jpeg_std_error(&c->error.base);
  c->error.base.error_exit = onError;
  c->error.base.emit_message = onMessage;
  jpeg_create_decompress(&c->info);
  flt::Metadata meta;
  c->boxWidth = uint32_t(std::min(boxWidth, 65535L)), c->boxHeight = uint32_t(std::min(boxHeight, 65535L));
  int32_t code = decode(r, c, file, fileSize, &meta);
  if (code != FLT_OK && code != FLT_ERR_CANCELLED && c->begun && c->rowsDone > 0) {
    // Damaged but partly decoded: keep what came, the rest transparent.
    for (uint32_t y = c->rowsDone; y < r->height; ++y) std::fill_n(r->pixels + size_t(y) * r->stride, r->width, 0xFF000000u);
    c->error.damaged = true;
    code = FLT_OK;
  }
  if (code == FLT_OK) {
    if (c->error.damaged) r->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
    if (c->scaleNum < 8 && r->set_text) {
      // The DCT scale used, as a reduced fraction ("1/8", "3/8", "1/2").
      uint32_t g = std::gcd(c->scaleNum, 8u);
      std::string scale = std::to_string(c->scaleNum / g) + "/" + std::to_string(8 / g);
      r->set_text(r, FLT_TEXT_SHORT, flt::utf16(scale.c_str()).c_str());
    }
  }
  bool cmyk = c->cmyk, inverted = c->inverted;
  uint32_t rowsDecoded = c->rowsDone;
  jpeg_destroy_decompress(&c->info);
  delete c;
  fclose(file);
  if (code != FLT_OK) {
    if (code != FLT_ERR_CANCELLED)
      flt::tell(r, code == FLT_ERR_NOT_IMPLEMENTED ? "JPEG: this kind of JPEG (12-bit or lossless) is not supported"
                      : code == FLT_ERR_DIMENSIONS    ? "JPEG: the image size does not fit the file"
                                                      : "JPEG: the file is damaged");
    return code;
  }
  if (cmyk)
    convertCmyk(r, meta.icc, inverted, rowsDecoded);
  else
    meta.applyProfile(r);
  meta.deliver(r);
  return FLT_OK;
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) {
  for (const char *ext : {".jpg", ".jpeg", ".jpe", ".jfif"})
    if (flt::extensionIs(probe, ext)) return probe->strength_a = 200, 1;
  return 0;
}

FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *r) {
  if (r->layers > 1) return FLT_ERR_NEED_FLAT;
  if (!r->pixels || r->width == 0 || r->height == 0) return FLT_ERR_NO_IMAGE_DATA;
  if (r->width > JPEG_MAX_DIMENSION || r->height > JPEG_MAX_DIMENSION) return FLT_ERR_DIMENSIONS;
  for (uint32_t y = 0; y < r->height && !(r->warnings & FLT_WARN_TRANSPARENCY_REMOVED); ++y)
    for (uint32_t x = 0; x < r->width; ++x)
      if (r->pixels[size_t(y) * r->stride + x] >> 24) {
        r->warnings |= FLT_WARN_TRANSPARENCY_REMOVED;
        break;
      }
  int quality = flt::optionInt(r, u"jpeg.quality", 90, 1, 100);
  std::string exif = flt::exifForSave(r);
  flt::SafeFile out(r->path);
  if (!out.get()) return FLT_ERR_OPEN_WRITE;
  auto *c = new (std::nothrow) SaveContext;
  if (!c) return FLT_ERR_OUT_OF_MEMORY;
  c->info.err = jpeg_std_error(&c->error.base);
  c->error.base.error_exit = onError;
  c->error.base.emit_message = onMessage;
  jpeg_create_compress(&c->info);
  int32_t code = encode(r, c, out.get(), quality, &exif);
  jpeg_destroy_compress(&c->info);
  delete c;
  if (code == FLT_OK && !out.commit()) code = FLT_ERR_WRITE;
  if (code != FLT_OK && code != FLT_ERR_CANCELLED) flt::tell(r, "JPEG: the file could not be written");
  return code;
}

}  // extern "C"
