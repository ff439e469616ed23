// PNG through libpng: every colour type, depth and interlace, straight into
// the layer surface; eXIf, XMP, raw-profile EXIF/XMP, iCCP and pHYs as
// metadata. Saves 8-bit RGB or RGBA with pHYs and eXIf.
//
// libpng reports errors by longjmp: the functions that call setjmp keep
// their state in a context record and hold no object with a destructor.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <string>
#include <vector>

#include "../common/flt_support.h"

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const uint8_t kMngSignature[8] = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const uint8_t kJngSignature[8] = {0x8B, 'J', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// No surface beyond this many pixels (1 GiB of pixels).
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;

struct Context {
  jmp_buf jump;
  FILE *file = nullptr;
  bool endOfData = false;
  bool outOfMemory = false;
  uint32_t rowsDone = 0;  // rows written into the layer, all passes
  bool interlaced = false;
  bool opaque = false;  // no alpha and no tRNS: the filler writes T directly
  uint32_t box = 0;      // preview box (its larger side), 0: full size
  // Shrink-on-load: one decoded row and the block sums of one output row.
  uint8_t *row = nullptr;
  uint32_t *sums = nullptr;
};

// Averages the f x f blocks of the decoded rows into the layer while they
// come (colour weighted by alpha). Returns the result code.
int32_t decodeShrunk(FltLoadRequest *r, Context *c, png_structp png, uint32_t width, uint32_t height, uint32_t f) {
  uint32_t outWidth = r->width;
  c->row = static_cast<uint8_t *>(malloc(size_t(width) * 4));
  c->sums = static_cast<uint32_t *>(calloc(size_t(outWidth) * 4, sizeof(uint32_t)));
  if (c->row == nullptr || c->sums == nullptr) return FLT_ERR_OUT_OF_MEMORY;
  flt::Progress<FltLoadRequest> progress(r, height);
  for (uint32_t y = 0; y < height; ++y) {
    png_read_row(png, c->row, nullptr);
    const uint8_t *p = c->row;
    uint32_t *s = c->sums, step = c->opaque ? 3 : 4;
    for (uint32_t x = 0, inBlock = 0; x < width; ++x, p += step) {
      uint32_t a = c->opaque ? 255 : p[3];
      s[0] += p[0] * a, s[1] += p[1] * a, s[2] += p[2] * a, s[3] += a;
      if (++inBlock == f) inBlock = 0, s += 4;
    }
    if ((y + 1) % f == 0 || y + 1 == height) {
      uint32_t rows = y % f + 1, oy = y / f;
      uint32_t *out = r->pixels + size_t(oy) * r->stride;
      for (uint32_t ox = 0; ox < outWidth; ++ox) {
        uint32_t *b = c->sums + ox * 4, n = rows * std::min(f, width - ox * f), a = b[3];
        uint32_t pixel = uint32_t(255 - (a + n / 2) / n) << 24;
        if (a != 0)
          for (int k = 0; k < 3; ++k) pixel |= ((b[k] + a / 2) / a) << (8 * k);
        out[ox] = pixel;
        b[0] = b[1] = b[2] = b[3] = 0;
      }
      c->rowsDone = oy + 1;
    }
    if (!progress.at(y + 1)) return FLT_ERR_CANCELLED;
  }
  return FLT_OK;
}

void onError(png_structp png, png_const_charp text) {
  auto *c = static_cast<Context *>(png_get_error_ptr(png));
  if (text && strstr(text, "memory")) c->outOfMemory = true;
  longjmp(c->jump, 1);
}
void onWarning(png_structp, png_const_charp) {}

void readData(png_structp png, png_bytep out, size_t size) {
  auto *c = static_cast<Context *>(png_get_io_ptr(png));
  if (fread(out, 1, size, c->file) != size) {
    c->endOfData = true;
    png_error(png, "unexpected end of data");
  }
}

int32_t failureCode(const Context &c) {
  return c.outOfMemory ? FLT_ERR_OUT_OF_MEMORY : c.endOfData ? FLT_ERR_UNEXPECTED_END : FLT_ERR_BAD_ENCODING;
}

// "Raw profile type ..." text: "\n<name>\n<length>\n<hex digits, wrapped>".
std::string rawProfile(const char *text, size_t size) {
  size_t at = 0, lines = 0;
  while (at < size && lines < 3)
    if (text[at++] == '\n') ++lines;
  if (lines < 3) return "";
  size_t length = strtoul(text + (text[0] == '\n' ? 1 : 0) + strcspn(text + 1, "\n") + 1, nullptr, 10);
  std::string out;
  out.reserve(length);
  int high = -1;
  for (; at < size && out.size() < length; ++at) {
    char ch = text[at];
    int v = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out += char(high << 4 | v);
      high = -1;
    }
  }
  return out.size() == length ? out : "";
}

void collectMetadata(png_structp png, png_infop info, flt::Metadata &meta) {
  png_uint_32 exifSize = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &exifSize, &exif) && exif) meta.exif.assign(reinterpret_cast<char *>(exif), exifSize);
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profileSize = 0;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &profileSize) && profile)
    meta.icc.assign(reinterpret_cast<char *>(profile), profileSize);
  png_textp texts = nullptr;
  int count = png_get_text(png, info, &texts, nullptr);
  for (int i = 0; i < count; ++i) {
    const png_text &t = texts[i];
    size_t size = t.compression == PNG_ITXT_COMPRESSION_NONE || t.compression == PNG_ITXT_COMPRESSION_zTXt ? t.itxt_length : t.text_length;
    std::string key = t.key ? t.key : "";
    if (key == "XML:com.adobe.xmp" && meta.xmp.empty()) {
      meta.xmp.assign(t.text, size);
    } else if ((key == "Raw profile type exif" || key == "Raw profile type APP1") && meta.exif.empty()) {
      meta.exif = rawProfile(t.text, size);
    } else if (key == "Raw profile type xmp" && meta.xmp.empty()) {
      meta.xmp = rawProfile(t.text, size);
    }
  }
  png_uint_32 x = 0, y = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &x, &y, &unit) && unit == PNG_RESOLUTION_METER && x && y) {
    char line[96];
    snprintf(line, sizeof line, "exif.resolution.x=%.3g;\r\nexif.resolution.y=%.3g;\r\n", x * 0.0254, y * 0.0254);
    meta.extra = line;
  }
}

// T = 255 - alpha.
void invertAlpha(FltLoadRequest *r, uint32_t y) {
  uint32_t *p = r->pixels + size_t(y) * r->stride;
  for (uint32_t x = 0; x < r->width; ++x) p[x] ^= 0xFF000000u;
}

// Decodes into the layer. Returns the result code; `c->rowsDone` tells how
// far it got.
// The header's size against what the file could hold: deflate shrinks at
// most about 1032:1, so a file far too small for its claimed size is
// refused before libpng or a surface allocates for it.
bool plausibleSize(const uint8_t *head, size_t got, uint64_t fileSize) {
  if (got < 33 || memcmp(head + 12, "IHDR", 4) != 0) return true;  // libpng names the damage
  auto be32 = [&](int at) { return uint32_t(head[at]) << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
  uint64_t width = be32(16), height = be32(20), bits = uint64_t(head[24]) * (head[25] == 2 ? 3 : head[25] == 4 ? 2 : head[25] == 6 ? 4 : 1);
  return width * height <= kMaxPixels && height * (1 + (width * bits + 7) / 8) / 1100 <= fileSize;
}

int32_t decode(FltLoadRequest *r, Context *c, png_structp png, png_infop info) {
  if (setjmp(c->jump)) return failureCode(*c);
  png_set_read_fn(png, c, readData);
  png_set_sig_bytes(png, 8);
  if (c->box != 0) {
    // A preview is not worth the checksums: damaged data shows as it decodes.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
  }
  png_read_info(png, info);
  uint32_t width = png_get_image_width(png, info), height = png_get_image_height(png, info);
  int type = png_get_color_type(png, info);
  // Previews of progressive rows: the largest block size whose layer still
  // covers the box (interlaced rows come in passes, so those stay full size).
  uint32_t f = 1;
  if (c->box != 0 && png_get_interlace_type(png, info) == PNG_INTERLACE_NONE)
    while (f < 64 && (width + f) / (f + 1) >= c->box && (height + f) / (f + 1) >= c->box) ++f;
  png_set_expand(png);
  png_set_scale_16(png);
  if (!(type & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
  png_set_bgr(png);
  // Opaque images get their T byte (0) from the filler: no pass over the
  // rows; shrunk ones need no fourth byte at all.
  bool opaque = c->opaque = !(type & PNG_COLOR_MASK_ALPHA) && !png_get_valid(png, info, PNG_INFO_tRNS);
  if (opaque && f == 1) png_set_filler(png, 0x00, PNG_FILLER_AFTER);
  int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t(width) * (opaque && f > 1 ? 3 : 4)) return FLT_ERR_NOT_IMPLEMENTED;
  r->width = (width + f - 1) / f, r->height = (height + f - 1) / f;
  if (!r->begin_layer(r, 0)) return r->status;
  if (f > 1) {
    int32_t code = decodeShrunk(r, c, png, width, height, f);
    if (code == FLT_OK) png_read_end(png, info);
    return code;
  }
  c->interlaced = passes > 1;
  // Interlaced rows fill in over the passes: start from transparent (alpha 0
  // becomes T 255 when inverted; opaque images hold T directly).
  if (c->interlaced)
    for (uint32_t y = 0; y < height; ++y) std::fill_n(r->pixels + size_t(y) * r->stride, width, opaque ? 0xFF000000u : 0u);
  flt::Progress<FltLoadRequest> progress(r, height * uint32_t(passes));
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < height; ++y) {
      png_read_row(png, reinterpret_cast<png_bytep>(r->pixels + size_t(y) * r->stride), nullptr);
      if (!c->interlaced && !opaque) invertAlpha(r, y);
      c->rowsDone = pass * height + y + 1;
      if (!progress.at(c->rowsDone)) return FLT_ERR_CANCELLED;
    }
  }
  if (c->interlaced && !opaque)
    for (uint32_t y = 0; y < height; ++y) invertAlpha(r, y);
  c->interlaced = false;  // rows final from here on
  png_read_end(png, info);
  return FLT_OK;
}


// The first "key=value" of a markup text as a number, 0 when absent.
double markupNumber(const char *text, const char *key) {
  size_t n = strlen(key);
  for (const char *at = text ? strstr(text, key) : nullptr; at; at = strstr(at + 1, key))
    if ((at == text || at[-1] == ';' || at[-1] == '\n') && at[n] == '=') return atof(at + n + 1);
  return 0;
}

struct SaveContext {
  jmp_buf jump;
  FILE *file = nullptr;
  bool writeFailed = false;
};

void onSaveError(png_structp png, png_const_charp) {
  longjmp(static_cast<SaveContext *>(png_get_error_ptr(png))->jump, 1);
}
void writeData(png_structp png, png_bytep data, size_t size) {
  auto *c = static_cast<SaveContext *>(png_get_io_ptr(png));
  if (fwrite(data, 1, size, c->file) != size) {
    c->writeFailed = true;
    png_error(png, "write failed");
  }
}
void flushData(png_structp) {}

int32_t encode(FltSaveRequest *r, SaveContext *c, png_structp png, png_infop info, const std::string *exif,
               uint8_t *row) {
  if (setjmp(c->jump)) return c->writeFailed ? FLT_ERR_WRITE : FLT_ERR_INTERNAL;
  bool alpha = false;
  for (uint32_t y = 0; y < r->height && !alpha; ++y)
    for (uint32_t x = 0; x < r->width; ++x)
      if (r->pixels[size_t(y) * r->stride + x] >> 24) {
        alpha = true;
        break;
      }
  png_set_write_fn(png, c, writeData, flushData);
  png_set_compression_level(png, flt::optionInt(r, u"png.compression", 6, 0, 9));
  png_set_IHDR(png, info, r->width, r->height, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const char *markup = r->get_metadata ? static_cast<const char *>(r->get_metadata(r, FLT_TAG_MARK)) : nullptr;
  double dpiX = markupNumber(markup, "exif.resolution.x"), dpiY = markupNumber(markup, "exif.resolution.y");
  if (dpiX > 0 && dpiY > 0 && dpiX < 1e6 && dpiY < 1e6)
    png_set_pHYs(png, info, png_uint_32(dpiX / 0.0254 + 0.5), png_uint_32(dpiY / 0.0254 + 0.5), PNG_RESOLUTION_METER);
  if (!exif->empty()) {
    // eXIf holds the bare TIFF structure.
    size_t skip = exif->compare(0, 6, std::string("Exif\0\0", 6)) == 0 ? 6 : 0;
    if (exif->size() > skip + 8)
      png_set_eXIf_1(png, info, png_uint_32(exif->size() - skip),
                     reinterpret_cast<png_bytep>(const_cast<char *>(exif->data() + skip)));
  }
  png_write_info(png, info);
  flt::Progress<FltSaveRequest> progress(r, r->height);
  for (uint32_t y = 0; y < r->height; ++y) {
    const uint32_t *p = r->pixels + size_t(y) * r->stride;
    uint8_t *out = row;
    for (uint32_t x = 0; x < r->width; ++x) {
      uint32_t v = p[x];
      *out++ = uint8_t(v >> 16), *out++ = uint8_t(v >> 8), *out++ = uint8_t(v);
      if (alpha) *out++ = uint8_t(255 - (v >> 24));
    }
    png_write_row(png, row);
    if (!progress.at(y + 1)) return FLT_ERR_CANCELLED;
  }
  png_write_end(png, info);
  return FLT_OK;
}

}  // namespace

extern "C" {

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe->header_size < 8) return 0;
  bool png = memcmp(probe->header, kPngSignature, 8) == 0;
  bool other = memcmp(probe->header, kMngSignature, 8) == 0 || memcmp(probe->header, kJngSignature, 8) == 0;
  if (!png && !other) return 0;
  // A signature match is sure; the right extension adds to it.
  probe->strength_a = png ? 200 : 100;
  probe->strength_b = flt::extensionIs(probe, ".png") || flt::extensionIs(probe, ".apng") ? 50 : 0;
  return 1;
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *r) {
  FILE *file = flt::openRead(r->path);
  if (!file) return FLT_ERR_OPEN_READ;
  uint8_t signature[33] = {};
  size_t got = fread(signature, 1, sizeof signature, file);
  fseek(file, 0, SEEK_END);
  long fileSize = ftell(file);
  fseek(file, 8, SEEK_SET);
  if (got >= 8 && (memcmp(signature, kMngSignature, 8) == 0 || memcmp(signature, kJngSignature, 8) == 0)) {
    fclose(file);
    flt::tell(r, "PNG: MNG and JNG files are not supported");
    return FLT_ERR_NOT_IMPLEMENTED;
  }
  if (got < 8 || memcmp(signature, kPngSignature, 8) != 0) {
    fclose(file);
    flt::tell(r, got < 8 ? "PNG: the file ends early" : "PNG: not a PNG file");
    return got < 8 ? FLT_ERR_UNEXPECTED_END : FLT_ERR_UNSUPPORTED;
  }
  if (!plausibleSize(signature, got, uint64_t(fileSize))) {
    fclose(file);
    flt::tell(r, "PNG: the image size does not fit the file");
    return FLT_ERR_DIMENSIONS;
  }
  Context c;
  c.file = file;
  // The box is upright and the orientation not yet known: its larger side both ways.
  c.box = uint32_t(std::max(flt::optionInt(r, u"preview.max_width", 0, 0, 65535), flt::optionInt(r, u"preview.max_height", 0, 0, 65535)));
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &c, onError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    fclose(file);
    return FLT_ERR_OUT_OF_MEMORY;
  }
  int32_t code = decode(r, &c, png, info);
  free(c.row);
  free(c.sums);
  if (code != FLT_OK && code != FLT_ERR_CANCELLED && c.rowsDone > 0) {
    // Damaged but partly decoded: keep what came, the rest transparent.
    if (c.interlaced) {
      for (uint32_t y = 0; y < r->height && !c.opaque; ++y) invertAlpha(r, y);
    } else {
      for (uint32_t y = std::min(c.rowsDone, r->height); y < r->height; ++y)
        for (uint32_t x = 0; x < r->width; ++x) r->pixels[size_t(y) * r->stride + x] = 0xFF000000u;
    }
    r->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
    code = FLT_OK;
  }
  flt::Metadata meta;
  if (code == FLT_OK) collectMetadata(png, info, meta);
  png_destroy_read_struct(&png, &info, nullptr);
  fclose(file);
  if (code != FLT_OK) {
    if (code != FLT_ERR_CANCELLED) flt::tell(r, code == FLT_ERR_UNEXPECTED_END ? "PNG: the file ends early" : "PNG: the file is damaged");
    return code;
  }
  meta.applyProfile(r);
  meta.deliver(r);
  return FLT_OK;
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) {
  if (!flt::extensionIs(probe, ".png")) return 0;
  probe->strength_a = 200;
  return 1;
}

FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *r) {
  if (r->layers > 1) return FLT_ERR_NEED_FLAT;
  if (!r->pixels || r->width == 0 || r->height == 0) return FLT_ERR_NO_IMAGE_DATA;
  if (r->width > 0x7FFFFFFF / 4 || r->height > 0x7FFFFFFF) return FLT_ERR_DIMENSIONS;
  std::string exif = flt::exifForSave(r);
  std::vector<uint8_t> row(size_t(r->width) * 4);
  flt::SafeFile out(r->path);
  if (!out.get()) return FLT_ERR_OPEN_WRITE;
  SaveContext c;
  c.file = out.get();
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &c, onSaveError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return FLT_ERR_OUT_OF_MEMORY;
  }
  int32_t code = encode(r, &c, png, info, &exif, row.data());
  png_destroy_write_struct(&png, &info);
  if (code == FLT_OK && !out.commit()) code = FLT_ERR_WRITE;
  if (code != FLT_OK && code != FLT_ERR_CANCELLED) flt::tell(r, "PNG: the file could not be written");
  return code;
}

}  // extern "C"
