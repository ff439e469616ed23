// flt_TIFF: TIFF and BigTIFF through libtiff.
//
// Every directory is a page (a layer; the second and later ones start a
// page). Pixels come through libtiff's RGBA interface, which covers strips,
// tiles, planar data, palettes, bilevel, 16-bit and YCbCr; the surface gets
// straight colour. The descriptive tags reach the markup through the EXIF
// converter, XMP (tag 700) through the XMP converter. Errors and warnings of
// libtiff go to handlers of each open file, never to the process's.
#include <tiffio.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../common/flt_support.h"

namespace {

// ---- Files in memory ------------------------------------------------------

struct Memory {
  std::vector<uint8_t> bytes;
  uint64_t pos = 0;
  bool writable = false;
  std::string error;  // the first error libtiff reported
  int errors = 0;
  int damage = 0;  // warnings about data that could not be read
};

tmsize_t memRead(thandle_t h, void *out, tmsize_t n) {
  Memory *m = static_cast<Memory *>(h);
  if (n <= 0 || m->pos >= m->bytes.size()) return 0;
  uint64_t k = std::min<uint64_t>(uint64_t(n), m->bytes.size() - m->pos);
  memcpy(out, m->bytes.data() + m->pos, size_t(k));
  m->pos += k;
  return tmsize_t(k);
}

tmsize_t memWrite(thandle_t h, void *data, tmsize_t n) {
  Memory *m = static_cast<Memory *>(h);
  if (!m->writable || n < 0) return -1;
  try {
    if (m->pos + uint64_t(n) > m->bytes.size()) m->bytes.resize(size_t(m->pos + uint64_t(n)));
  } catch (const std::bad_alloc &) {
    return -1;
  }
  memcpy(m->bytes.data() + m->pos, data, size_t(n));
  m->pos += uint64_t(n);
  return n;
}

toff_t memSeek(thandle_t h, toff_t offset, int whence) {
  Memory *m = static_cast<Memory *>(h);
  uint64_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->bytes.size() : 0;
  uint64_t to = base + offset;
  if (to > (uint64_t(1) << 40)) return toff_t(-1);
  m->pos = to;
  return to;
}

int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<Memory *>(h)->bytes.size(); }

int memMap(thandle_t h, void **base, toff_t *size) {
  Memory *m = static_cast<Memory *>(h);
  if (m->writable) return 0;
  *base = m->bytes.data();
  *size = m->bytes.size();
  return 1;
}
void memUnmap(thandle_t, void *, toff_t) {}

int onError(TIFF *, void *user, const char *module, const char *format, va_list args) {
  Memory *m = static_cast<Memory *>(user);
  if (m->errors++ == 0) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    m->error = std::string(module != nullptr ? module : "TIFF") + ": " + text;
  }
  return 1;  // handled: the process-wide handler stays silent
}

// Most warnings are harmless (unknown private tags); data that could not be
// read (a profile or packet past the end) is damage.
int onWarning(TIFF *, void *user, const char *, const char *format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  if (strstr(text, "IO error") != nullptr || strstr(text, "Read error") != nullptr)
    ++static_cast<Memory *>(user)->damage;
  return 1;
}

TIFF *openMemory(Memory &memory, const char *mode) {
  TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(options, onError, &memory);
  TIFFOpenOptionsSetWarningHandlerExtR(options, onWarning, &memory);
  TIFF *tif = TIFFClientOpenExt("flt_TIFF", mode, &memory, memRead, memWrite, memSeek, memClose, memSize, memMap,
                                memUnmap, options);
  TIFFOpenOptionsFree(options);
  return tif;
}

struct TiffCloser {
  TIFF *tif;
  ~TiffCloser() {
    if (tif != nullptr) TIFFClose(tif);
  }
};

// Data that ends early shows up as read errors; anything else is damage.
int32_t codeOf(const Memory &memory) {
  const std::string &e = memory.error;
  if (e.find("Read error") != std::string::npos || e.find("EOF") != std::string::npos ||
      e.find("Cannot read") != std::string::npos || e.find("past end") != std::string::npos ||
      e.find("end of file") != std::string::npos || e.find("Seek error") != std::string::npos)
    return FLT_ERR_UNEXPECTED_END;
  return FLT_ERR_BAD_ENCODING;
}

void tellMessage(FltLoadRequest *request, const std::string &text) {
  if (text.empty() || request->set_text == nullptr) return;
  std::u16string wide(text.begin(), text.end());
  request->set_text(request, FLT_TEXT_MESSAGE, wide.c_str());
}

// ---- Loading --------------------------------------------------------------

// libtiff's RGBA (R in the low byte, colour premultiplied when there is
// alpha) to B, G, R, T with straight colour.
void toSurface(const uint32_t *in, uint32_t *out, uint32_t count, bool alpha) {
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t p = in[i];
    uint32_t r = p & 0xFF, g = (p >> 8) & 0xFF, b = (p >> 16) & 0xFF, a = p >> 24;
    if (alpha && a < 255) {
      if (a == 0) {
        r = g = b = 0;
      } else {
        r = std::min<uint32_t>(255, (r * 255 + a / 2) / a);
        g = std::min<uint32_t>(255, (g * 255 + a / 2) / a);
        b = std::min<uint32_t>(255, (b * 255 + a / 2) / a);
      }
    }
    out[i] = b | g << 8 | r << 16 | (255 - a) << 24;
  }
}

// The page's descriptive tags as an EXIF block, for the converter.
std::vector<uint8_t> pageExif(TIFF *tif) {
  flt::Ifd0Writer w;
  static const struct {
    uint32_t tag;
  } kTexts[] = {{TIFFTAG_IMAGEDESCRIPTION}, {TIFFTAG_MAKE},   {TIFFTAG_MODEL},    {TIFFTAG_SOFTWARE},
                {TIFFTAG_DATETIME},         {TIFFTAG_ARTIST}, {TIFFTAG_COPYRIGHT}};
  for (const auto &t : kTexts) {
    char *text = nullptr;
    if (TIFFGetField(tif, t.tag, &text) == 1 && text != nullptr && text[0] != 0)
      w.text(uint16_t(t.tag), std::string(text, strnlen(text, 65535)));
  }
  uint16_t orientation = 0;
  if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) == 1 && orientation >= 1 && orientation <= 8)
    w.number(TIFFTAG_ORIENTATION, orientation);
  float xres = 0, yres = 0;
  uint16_t unit = 0;
  auto rational = [&](uint16_t tag, float v) {
    if (!(v > 0) || v > 1e6f) return;
    if (std::floor(v) == v) {
      w.rational(tag, uint32_t(v), 1);
    } else {
      w.rational(tag, uint32_t(std::lround(double(v) * 1000)), 1000);
    }
  };
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) == 1) rational(TIFFTAG_XRESOLUTION, xres);
  if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres) == 1) rational(TIFFTAG_YRESOLUTION, yres);
  if ((xres > 0 || yres > 0) && TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit) == 1)
    w.number(TIFFTAG_RESOLUTIONUNIT, unit);
  return w.empty() ? std::vector<uint8_t>() : w.build();
}

// 8-bit RGB or RGBA in strips, the common case, read straight: no detour
// through premultiplied colour. False when the page is of another kind.
bool isPlainRgb(TIFF *tif, bool &associated) {
  uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, extraCount = 0;
  uint16_t *extra = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  if (TIFFIsTiled(tif) || bits != 8 || planar != PLANARCONFIG_CONTIG || (samples != 3 && samples != 4) ||
      TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) != 1 || photometric != PHOTOMETRIC_RGB)
    return false;
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
  if (samples == 4 && extraCount != 1) return false;
  // Unspecified extra samples count as associated alpha, as libtiff's RGBA reader has it.
  associated = samples == 4 && extra != nullptr && extra[0] != EXTRASAMPLE_UNASSALPHA;
  return true;
}

// Reads the strips of a plain RGB(A) page; the rows read in `rows`.
int32_t readPlainRgb(FltLoadRequest *request, TIFF *tif, Memory &memory, bool associated, uint32_t &rows) {
  uint32_t width = request->width, height = request->height, perStrip = 0;
  uint16_t samples = 3;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &perStrip);
  perStrip = std::clamp<uint32_t>(perStrip, 1, height);
  std::vector<uint8_t> strip(size_t(TIFFStripSize(tif)));
  if (strip.size() < size_t(width) * samples * perStrip) return FLT_ERR_BAD_ENCODING;
  flt::Progress<FltLoadRequest> progress(request, height);
  rows = 0;
  int errorsBefore = memory.errors;
  for (uint32_t s = 0; rows < height; ++s) {
    uint32_t n = std::min(perStrip, height - rows);
    if (TIFFReadEncodedStrip(tif, s, strip.data(), tmsize_t(size_t(width) * samples * n)) < 0)
      return memory.errors > errorsBefore ? codeOf(memory) : FLT_ERR_BAD_ENCODING;
    for (uint32_t r = 0; r < n; ++r) {
      const uint8_t *in = strip.data() + size_t(r) * width * samples;
      uint32_t *out = request->pixels + size_t(rows + r) * request->stride;
      if (samples == 3) {  // the common case in a loop of its own, free of the alpha tests
        for (uint32_t x = 0; x < width; ++x, in += 3) out[x] = uint32_t(in[2]) | uint32_t(in[1]) << 8 | uint32_t(in[0]) << 16;
        if (!progress.at(rows + r + 1)) return FLT_ERR_CANCELLED;
        continue;
      }
      for (uint32_t x = 0; x < width; ++x, in += samples) {
        uint32_t red = in[0], green = in[1], blue = in[2], a = samples == 4 ? in[3] : 255;
        if (associated && a < 255) {
          red = a ? std::min<uint32_t>(255, (red * 255 + a / 2) / a) : 0;
          green = a ? std::min<uint32_t>(255, (green * 255 + a / 2) / a) : 0;
          blue = a ? std::min<uint32_t>(255, (blue * 255 + a / 2) / a) : 0;
        }
        out[x] = blue | green << 8 | red << 16 | (255 - a) << 24;
      }
      if (!progress.at(rows + r + 1)) return FLT_ERR_CANCELLED;
    }
    rows += n;
  }
  return FLT_OK;
}

// Any other page through libtiff's RGBA reader, in bands of whole strips
// (or tile rows) of at most about 1/64 of the image so that no strip is
// decoded twice. The rows read in `rows`.
int32_t readRgba(FltLoadRequest *request, TIFF *tif, Memory &memory, uint32_t &rows) {
  uint32_t width = request->width, height = request->height;
  rows = 0;
  char emsg[1024] = "";
  if (!TIFFRGBAImageOK(tif, emsg)) {
    tellMessage(request, emsg);
    return FLT_ERR_NOT_IMPLEMENTED;
  }
  TIFFRGBAImage img;
  int errorsBefore = memory.errors;
  if (!TIFFRGBAImageBegin(&img, tif, 1, emsg)) {
    tellMessage(request, emsg);
    return memory.errors > errorsBefore ? codeOf(memory) : FLT_ERR_NOT_IMPLEMENTED;
  }
  // Rows as stored: the orientation travels in the markup.
  img.req_orientation = img.orientation;
  bool alpha = img.alpha != 0;
  uint32_t unit = 0;
  if (TIFFIsTiled(tif)) {
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &unit);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &unit);
  }
  unit = std::clamp<uint32_t>(unit, 1, height);
  uint32_t band = std::max<uint32_t>(unit, ((height + 63) / 64) / unit * unit);
  int32_t result = FLT_OK;
  std::vector<uint32_t> buffer(size_t(width) * band);
  flt::Progress<FltLoadRequest> progress(request, height);
  for (; rows < height; rows += std::min(band, height - rows)) {
    uint32_t n = std::min(band, height - rows);
    img.row_offset = int(rows);
    img.col_offset = 0;
    if (!TIFFRGBAImageGet(&img, buffer.data(), width, n)) {
      result = memory.errors > errorsBefore ? codeOf(memory) : FLT_ERR_BAD_ENCODING;
      break;
    }
    for (uint32_t r = 0; r < n && result == FLT_OK; ++r) {
      toSurface(buffer.data() + size_t(r) * width, request->pixels + size_t(rows + r) * request->stride, width, alpha);
      if (!progress.at(rows + r + 1)) result = FLT_ERR_CANCELLED;
    }
    if (result != FLT_OK) break;
  }
  TIFFRGBAImageEnd(&img);
  return result;
}

// Reads the current directory into a new layer.
int32_t loadPage(FltLoadRequest *request, TIFF *tif, Memory &memory, int page, bool &refused) {
  uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  if (!flt::sizeAllowed(width, height)) return FLT_ERR_DIMENSIONS;
  request->width = width;
  request->height = height;
  request->x = request->y = 0;
  request->layer_flags = page > 0 ? FLT_LAYER_PAGE_START : 0;
  if (!request->begin_layer(request, 0)) {
    refused = true;
    return request->status < 1 ? request->status : FLT_ERR_BITMAP;
  }
  bool associated = false;
  uint32_t y = 0;
  int32_t result = isPlainRgb(tif, associated) ? readPlainRgb(request, tif, memory, associated, y)
                                               : readRgba(request, tif, memory, y);
  if (result != FLT_OK) {
    if (result == FLT_ERR_CANCELLED || result == FLT_ERR_NOT_IMPLEMENTED || y == 0) return result;
    // Damaged further down: the rows read stay, the rest is left clear.
    for (; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) request->pixels[size_t(y) * request->stride + x] = 0xFF000000u;
    request->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
    tellMessage(request, memory.error);
  }

  if (request->flags & FLT_FLAG_NO_MARKUP) {
    uint16_t orientation = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    flt::setOrientationOnly(request, orientation);
    return FLT_OK;
  }
  flt::LoadMarkup markup(request);
  if (markup.wanted()) {
    std::vector<uint8_t> exif = pageExif(tif);
    markup.exif(exif.data(), exif.size());
    uint32_t count = 0;
    void *data = nullptr;
    if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &count, &data) == 1)
      markup.xmp(static_cast<const uint8_t *>(data), count);
    markup.commit();
  }
  uint32_t profileSize = 0;
  void *profile = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &profileSize, &profile) == 1)
    flt::applyProfile(request, static_cast<const uint8_t *>(profile), profileSize);
  return FLT_OK;
}

int32_t load(FltLoadRequest *request) {
  Memory memory;
  int32_t code = flt::readFile(request->path, memory.bytes);
  if (code != FLT_OK) return code;
  if (memory.bytes.size() < 8) return FLT_ERR_UNEXPECTED_END;
  TIFF *tif = openMemory(memory, "r");
  TiffCloser closer{tif};
  if (tif == nullptr) {
    tellMessage(request, memory.error);
    return memory.errors > 0 ? codeOf(memory) : FLT_ERR_OUT_OF_MEMORY;
  }
  int pages = 0;
  do {
    if (pages > FLT_LAST_LAYER_INDEX) {
      request->warnings |= FLT_WARN_LAYERS_DROPPED;
      break;
    }
    bool refused = false;
    code = loadPage(request, tif, memory, pages, refused);
    if (code != FLT_OK) {
      // A later page that cannot be read costs that page, not the file.
      if (pages == 0 || refused || code == FLT_ERR_CANCELLED) return code;
      request->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
      break;
    }
    ++pages;
  } while (TIFFReadDirectory(tif));
  // What libtiff complained about but could get past (a broken page chain,
  // a damaged strip) still counts as damage.
  if (memory.errors > 0 || memory.damage > 0) request->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
  request->document_kind = FLT_DOC_COMPOSITE;
  request->document_sub_kind = pages > 1 ? 2 : 0;
  return FLT_OK;
}

// ---- Saving ---------------------------------------------------------------

uint16_t compressionOption(FltSaveRequest *request) {
  std::string name = flt::lower(flt::optionText(request, u"tiff.compression"));
  if (name == "deflate" || name == "zip" || name == "adobe_deflate") return COMPRESSION_ADOBE_DEFLATE;
  if (name == "none") return COMPRESSION_NONE;
  if (name == "packbits") return COMPRESSION_PACKBITS;
  return COMPRESSION_LZW;
}

// The descriptive tags of the layer's markup, through its EXIF block.
void writeTags(TIFF *tif, const std::string &exif) {
  flt::Ifd0 ifd(exif);
  if (!ifd.valid()) return;
  static const uint32_t kTexts[] = {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE,   TIFFTAG_MODEL,    TIFFTAG_SOFTWARE,
                                    TIFFTAG_DATETIME,         TIFFTAG_ARTIST, TIFFTAG_COPYRIGHT};
  for (uint32_t tag : kTexts) {
    std::string text;
    if (ifd.text(uint16_t(tag), text) && !text.empty()) TIFFSetField(tif, tag, text.c_str());
  }
  uint32_t value = 0, num = 0, den = 0;
  if (ifd.number(TIFFTAG_ORIENTATION, value) && value >= 1 && value <= 8)
    TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(value));
  bool resolution = false;
  if (ifd.rational(TIFFTAG_XRESOLUTION, num, den) && den != 0 && num != 0)
    resolution = TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(double(num) / den)) == 1;
  if (ifd.rational(TIFFTAG_YRESOLUTION, num, den) && den != 0 && num != 0)
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(double(num) / den));
  if (resolution && ifd.number(TIFFTAG_RESOLUTIONUNIT, value) && value >= 1 && value <= 3)
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, uint16_t(value));
}

int32_t savePage(FltSaveRequest *request, TIFF *tif, uint16_t compression, uint32_t page, uint32_t pages,
                 flt::Progress<FltSaveRequest> &progress) {
  uint32_t width = request->width, height = request->height;
  if (request->pixels == nullptr || !flt::sizeAllowed(width, height)) return FLT_ERR_DIMENSIONS;
  bool alpha = false;
  for (uint32_t y = 0; y < height && !alpha; ++y)
    for (uint32_t x = 0; x < width; ++x)
      if (request->pixels[size_t(y) * request->stride + x] >> 24) {
        alpha = true;
        break;
      }
  uint16_t samples = alpha ? 4 : 3;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  if (compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE)
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (alpha) {
    uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  if (pages > 1) {
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tif, TIFFTAG_PAGENUMBER, uint16_t(page), uint16_t(pages));
  }
  writeTags(tif, flt::exifForSave(request));
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  std::vector<uint8_t> row(size_t(width) * samples);
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t *in = request->pixels + size_t(y) * request->stride;
    uint8_t *out = row.data();
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t p = in[x];
      *out++ = uint8_t(p >> 16), *out++ = uint8_t(p >> 8), *out++ = uint8_t(p);
      if (alpha) *out++ = uint8_t(255 - (p >> 24));
    }
    if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) return FLT_ERR_WRITE;
    if (!progress.at(uint64_t(page) * height + y + 1)) return FLT_ERR_CANCELLED;
  }
  return TIFFWriteDirectory(tif) ? FLT_OK : FLT_ERR_WRITE;
}

int32_t save(FltSaveRequest *request) {
  uint16_t compression = compressionOption(request);
  // Pages, frames and image lists keep their layers as pages; any other
  // layered image is saved flattened.
  uint32_t pages = 1;
  if (request->layer_count > 1 && request->select_layer != nullptr) {
    bool pageLike = (request->document_kind == FLT_DOC_COMPOSITE && request->document_sub_kind == 2) ||
                    request->document_kind == FLT_DOC_IMAGE_LIST || request->document_kind == FLT_DOC_FRAME_ANIMATION;
    if (pageLike) {
      pages = std::min<uint32_t>(request->layer_count, FLT_LAST_LAYER_INDEX + 1);
    } else if (!flt::selectFlat(request)) {
      return FLT_ERR_NEED_FLAT;
    }
  }
  Memory memory;
  memory.writable = true;
  uint64_t estimate = 0;
  for (uint32_t i = 0; i < pages; ++i) estimate += uint64_t(request->width) * request->height * 4;
  TIFF *tif = openMemory(memory, estimate > (uint64_t(3) << 30) ? "w8" : "w");
  TiffCloser closer{tif};
  if (tif == nullptr) return FLT_ERR_OUT_OF_MEMORY;
  // Pages of one size: the first page's rows times the page count.
  flt::Progress<FltSaveRequest> progress(request, uint64_t(pages) * request->height);
  for (uint32_t i = 0; i < pages; ++i) {
    if (pages > 1 && !request->select_layer(request, int32_t(i), 0)) return FLT_ERR_HOST_RESPONSE;
    int32_t code = savePage(request, tif, compression, i, pages, progress);
    if (code != FLT_OK) return code;
  }
  closer.tif = nullptr;
  TIFFClose(tif);
  if (memory.errors > 0) return FLT_ERR_WRITE;
  return flt::writeFile(request->path, memory.bytes.data(), memory.bytes.size());
}

bool isTiffHeader(const uint8_t *h, uint32_t n) {
  if (n < 4) return false;
  bool ii = h[0] == 'I' && h[1] == 'I' && (h[2] == 42 || h[2] == 43) && h[3] == 0;
  bool mm = h[0] == 'M' && h[1] == 'M' && h[2] == 0 && (h[3] == 42 || h[3] == 43);
  return ii || mm;
}

}  // namespace

extern "C" {

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe == nullptr || probe->header_size > FLT_PROBE_HEADER_MAX || !isTiffHeader(probe->header, probe->header_size))
    return 0;
  return flt::reply(probe, flt::extensionIn(probe, {".tif", ".tiff", ".btf", ".tf8"}));
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  if (request == nullptr || request->begin_layer == nullptr) return FLT_ERR_BAD_REQUEST;
  int32_t code = flt::guarded([&] { return load(request); });
  return code < FLT_OK ? flt::explain(request, code, "TIFF", "") : code;
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) { return flt::checkSave(probe, {".tif", ".tiff"}); }

FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) { return flt::runSave(request, save); }

}  // extern "C"
