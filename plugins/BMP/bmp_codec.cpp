#include "bmp_codec.h"

#include <algorithm>
#include <cstring>

namespace {

// No surface beyond this many pixels.
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;

uint32_t le16(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }

// One channel of a bit-field pixel: where it sits and how to widen it to 8 bits.
struct Field {
  uint32_t mask = 0, shift = 0, max = 0;
  explicit Field(uint32_t m = 0) : mask(m) {
    if (!m) return;
    while (!(m & 1)) m >>= 1, ++shift;
    max = m;  // non-contiguous masks still give a monotonic value
  }
  uint32_t get(uint32_t v) const {
    if (!max) return 0;
    return uint32_t((uint64_t((v & mask) >> shift) * 255 + max / 2) / max);
  }
};

struct Header {
  int64_t width = 0, height = 0;
  bool topDown = false;
  uint32_t bpp = 0, compression = 0, colours = 0, headerSize = 0, dataOffset = 0;
  Field red, green, blue, alpha;
  uint32_t palette[256] = {};  // B G R, T 0
};

enum Compression : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kJpeg = 4, kPng = 5, kAlphaBitFields = 6 };

class Pixels {
 public:
  Pixels(FltLoadRequest *r, const Header &h) : r_(r), h_(h) {}
  // Row `fileRow` counted in file order.
  uint32_t *row(int64_t fileRow) const {
    int64_t y = h_.topDown ? fileRow : h_.height - 1 - fileRow;
    return r_->pixels + size_t(y) * r_->stride;
  }

 private:
  FltLoadRequest *r_;
  const Header &h_;
};

int32_t parseHeader(const uint8_t *d, size_t n, Header &h, FltLoadRequest *r) {
  if (n < 26) return FLT_ERR_UNEXPECTED_END;
  if (d[0] != 'B' || d[1] != 'M') return FLT_ERR_UNSUPPORTED;
  h.dataOffset = le32(d + 10);
  h.headerSize = le32(d + 14);
  const uint8_t *info = d + 14;
  size_t masksAt = 0;
  if (h.headerSize == 12) {
    h.width = le16(info + 4), h.height = le16(info + 6), h.bpp = le16(info + 10);
  } else if (h.headerSize == 40 || h.headerSize == 52 || h.headerSize == 56 || h.headerSize == 108 || h.headerSize == 124) {
    if (n < 14 + 40) return FLT_ERR_UNEXPECTED_END;
    h.width = int32_t(le32(info + 4)), h.height = int32_t(le32(info + 8));
    h.bpp = le16(info + 14), h.compression = le32(info + 16), h.colours = le32(info + 32);
    // Masks: inside the larger headers, after the 40-byte one.
    masksAt = 14 + 40;
  } else {
    if (r->set_text) r->set_text(r, FLT_TEXT_MESSAGE, u"BMP: this header version is not supported");
    return FLT_ERR_NOT_IMPLEMENTED;
  }
  if (h.height < 0) h.topDown = true, h.height = -h.height;
  if (h.compression == kJpeg || h.compression == kPng || h.compression > kAlphaBitFields) return FLT_ERR_NOT_IMPLEMENTED;
  bool bitFields = h.compression == kBitFields || h.compression == kAlphaBitFields;
  if (bitFields && h.bpp != 16 && h.bpp != 32) return FLT_ERR_BAD_ENCODING;
  if ((h.compression == kRle8 && h.bpp != 8) || (h.compression == kRle4 && h.bpp != 4)) return FLT_ERR_BAD_ENCODING;
  if ((h.compression == kRle8 || h.compression == kRle4) && h.topDown) return FLT_ERR_BAD_ENCODING;
  if (h.bpp != 1 && h.bpp != 4 && h.bpp != 8 && h.bpp != 16 && h.bpp != 24 && h.bpp != 32) return FLT_ERR_BAD_ENCODING;
  if (h.width <= 0 || h.height <= 0) return FLT_ERR_BITMAP_ZERO;
  if (uint64_t(h.width) * uint64_t(h.height) > kMaxPixels) return FLT_ERR_DIMENSIONS;

  // Default layouts, then the masks the file gives.
  uint32_t masks[4] = {0, 0, 0, 0};
  if (h.bpp == 16) masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
  if (h.bpp == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF, masks[3] = 0xFF000000u;
  size_t paletteAt = 14 + h.headerSize;
  if (bitFields) {
    size_t count = h.headerSize >= 56 || h.compression == kAlphaBitFields ? 4 : 3;
    if (masksAt + count * 4 > n) return FLT_ERR_UNEXPECTED_END;
    for (size_t i = 0; i < 4; ++i) masks[i] = i < count ? le32(d + masksAt + i * 4) : 0;
    if (h.headerSize == 40) paletteAt += count * 4;
  } else if (h.headerSize >= 56 && h.bpp == 32 && masksAt + 16 <= n && le32(d + masksAt + 12) != 0) {
    masks[3] = le32(d + masksAt + 12);
  }
  h.red = Field(masks[0]), h.green = Field(masks[1]), h.blue = Field(masks[2]), h.alpha = Field(masks[3]);

  if (h.bpp <= 8) {
    size_t entry = h.headerSize == 12 ? 3 : 4, count = h.colours ? std::min<size_t>(h.colours, 256) : size_t(1) << h.bpp;
    for (size_t i = 0; i < count; ++i) {
      size_t at = paletteAt + i * entry;
      if (at + 3 > n || (h.dataOffset >= paletteAt && at + 3 > h.dataOffset)) break;  // a short palette stays black
      h.palette[i] = d[at] | d[at + 1] << 8 | d[at + 2] << 16;
    }
  }
  return FLT_OK;
}

bool progressOf(FltLoadRequest *r, uint32_t done, uint32_t total) {
  uint32_t step = std::max<uint32_t>(1, total / 64);
  if (done % step && done != total) return true;
  return !r->progress || r->progress(r, int32_t(done), int32_t(total)) != 0;
}

// Uncompressed rows. Returns the rows decoded.
int64_t decodeRows(const uint8_t *data, size_t size, const Header &h, const Pixels &px, bool &anyAlpha,
                   FltLoadRequest *r, bool &cancelled) {
  size_t rowBytes = size_t((uint64_t(h.width) * h.bpp + 31) / 32 * 4);
  int64_t rows = std::min<int64_t>(h.height, int64_t(size / rowBytes));
  uint32_t w = uint32_t(h.width);
  for (int64_t y = 0; y < rows; ++y) {
    const uint8_t *s = data + size_t(y) * rowBytes;
    uint32_t *out = px.row(y);
    switch (h.bpp) {
      case 1:
      case 4:
      case 8: {
        uint32_t perByte = 8 / h.bpp, mask = (1u << h.bpp) - 1;
        for (uint32_t x = 0; x < w; ++x) {
          uint32_t shift = 8 - h.bpp * (x % perByte + 1);
          out[x] = h.palette[(s[x / perByte] >> shift) & mask];
        }
        break;
      }
      case 24:
        for (uint32_t x = 0; x < w; ++x, s += 3) out[x] = s[0] | s[1] << 8 | uint32_t(s[2]) << 16;
        break;
      default:
        for (uint32_t x = 0; x < w; ++x) {
          uint32_t v = h.bpp == 16 ? le16(s + x * 2) : le32(s + x * 4);
          uint32_t a = h.alpha.max ? h.alpha.get(v) : 255;
          anyAlpha |= h.alpha.max && a != 0;
          out[x] = h.blue.get(v) | h.green.get(v) << 8 | h.red.get(v) << 16 | (255 - a) << 24;
        }
    }
    if (!progressOf(r, uint32_t(y + 1), uint32_t(h.height))) {
      cancelled = true;
      return y + 1;
    }
  }
  return rows;
}

// RLE8 and RLE4: runs, absolute stretches, line ends and checked deltas.
// Returns false when the data ended or broke before the end-of-bitmap code.
bool decodeRle(const uint8_t *d, size_t n, const Header &h, const Pixels &px, FltLoadRequest *r, bool &cancelled) {
  bool four = h.compression == kRle4;
  int64_t x = 0, y = 0, w = h.width;
  size_t at = 0;
  bool clipped = false;
  auto put = [&](uint32_t index) {
    if (x < w && y < h.height) px.row(y)[x] = h.palette[index & 255];
    else clipped = true;
    ++x;
  };
  while (at + 2 <= n) {
    uint8_t count = d[at], value = d[at + 1];
    at += 2;
    if (count) {
      for (int i = 0; i < count; ++i) put(four ? (i & 1 ? value & 15 : value >> 4) : value);
      continue;
    }
    if (value == 0 || value == 2) {  // end of line, delta
      int64_t before = y;
      if (value == 0) {
        x = 0, ++y;
      } else {
        if (at + 2 > n) return false;
        x += d[at], y += d[at + 1];
        at += 2;
        if (x > w || y > h.height) return false;
      }
      for (int64_t done = before + 1; done <= std::min(y, h.height); ++done)
        if (!progressOf(r, uint32_t(done), uint32_t(h.height))) return cancelled = true, false;
      if (y >= h.height) return !clipped;
      continue;
    }
    if (value == 1) return !clipped;  // end of bitmap
    size_t bytes = four ? (value + 1) / 2 : value;
    if (at + bytes > n) return false;
    for (int i = 0; i < value; ++i) put(four ? (i & 1 ? d[at + i / 2] & 15 : d[at + i / 2] >> 4) : d[at + i]);
    at += (bytes + 1) & ~size_t(1);
  }
  return false;
}

void fill(FltLoadRequest *r, uint32_t pixel) {
  for (uint32_t y = 0; y < r->height; ++y) std::fill_n(r->pixels + size_t(y) * r->stride, r->width, pixel);
}

// WBMP type 0: multi-byte integers for type, header, width, height, then
// rows of 1-bit pixels, 1 white.
int32_t decodeWbmp(const uint8_t *d, size_t n, FltLoadRequest *r) {
  size_t at = 0;
  uint64_t fields[4] = {};
  for (uint64_t &f : fields) {
    int bytes = 0;
    do {
      if (at >= n) return FLT_ERR_UNEXPECTED_END;
      if (++bytes > 5) return FLT_ERR_BAD_ENCODING;
      f = f << 7 | (d[at] & 127);
    } while (d[at++] & 128);
  }
  if (fields[0] != 0 || fields[1] != 0) return FLT_ERR_NOT_IMPLEMENTED;
  uint64_t w = fields[2], h = fields[3];
  if (!w || !h) return FLT_ERR_BITMAP_ZERO;
  size_t rowBytes = size_t((w + 7) / 8);
  if (w * h > kMaxPixels || (n - at) * 64 < rowBytes * h) return FLT_ERR_DIMENSIONS;
  r->width = uint32_t(w), r->height = uint32_t(h);
  if (!r->begin_layer(r, 0)) return r->status;
  size_t rows = std::min<size_t>(h, (n - at) / rowBytes);
  for (size_t y = 0; y < h; ++y) {
    uint32_t *out = r->pixels + y * r->stride;
    for (size_t x = 0; x < w; ++x)
      out[x] = y >= rows ? 0xFF000000u : (d[at + y * rowBytes + x / 8] >> (7 - x % 8) & 1) ? 0xFFFFFFu : 0;
    if (!progressOf(r, uint32_t(y + 1), uint32_t(h))) return FLT_ERR_CANCELLED;
  }
  if (rows < h) r->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
  return FLT_OK;
}

}  // namespace

int32_t bmp_Decode(const uint8_t *data, size_t size, bool wbmp, FltLoadRequest *r) {
  if (wbmp) return decodeWbmp(data, size, r);
  Header h;
  int32_t code = parseHeader(data, size, h, r);
  if (code != FLT_OK) return code;
  if (h.dataOffset >= size) return FLT_ERR_UNEXPECTED_END;
  const uint8_t *pixels = data + h.dataOffset;
  size_t available = size - h.dataOffset;
  bool rle = h.compression == kRle8 || h.compression == kRle4;
  // Sizes the data cannot back are refused before a surface is made: plain
  // rows need their bytes, runs expand at most 255 pixels per 2 bytes (and
  // deltas skip, so only a generous bound holds there).
  uint64_t rowBytes = (uint64_t(h.width) * h.bpp + 31) / 32 * 4;
  if (rle ? uint64_t(h.width) * h.height > uint64_t(available) * 16384 + 65536 : rowBytes * h.height > uint64_t(available) * 64)
    return FLT_ERR_DIMENSIONS;

  r->width = uint32_t(h.width), r->height = uint32_t(h.height);
  if (!r->begin_layer(r, 0)) return r->status;
  Pixels px(r, h);
  bool cancelled = false, complete;
  if (rle) {
    fill(r, 0xFF000000u);  // pixels the runs skip stay transparent
    complete = decodeRle(pixels, available, h, px, r, cancelled);
  } else {
    bool anyAlpha = false;
    int64_t rows = decodeRows(pixels, available, h, px, anyAlpha, r, cancelled);
    complete = rows == h.height;
    for (int64_t y = rows; y < h.height; ++y) std::fill_n(px.row(y), size_t(h.width), 0xFF000000u);
    // An alpha channel that is zero throughout is an unused one.
    if (!anyAlpha && h.alpha.max)
      for (int64_t y = 0; y < rows; ++y)
        for (uint32_t *p = px.row(y), *end = p + h.width; p < end; ++p) *p &= 0x00FFFFFFu;
  }
  if (cancelled) return FLT_ERR_CANCELLED;
  if (!complete) r->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
  return FLT_OK;
}

std::string bmp_Encode(const uint32_t *pixels, uint32_t width, uint32_t height, uint32_t stride, double dpiX,
                       double dpiY) {
  bool alpha = false;
  for (uint32_t y = 0; y < height && !alpha; ++y)
    for (uint32_t x = 0; x < width && !alpha; ++x) alpha = pixels[size_t(y) * stride + x] >> 24 != 0;
  uint32_t headerSize = alpha ? 124 : 40, bpp = alpha ? 32 : 24;
  size_t rowBytes = (size_t(width) * bpp + 31) / 32 * 4, offset = 14 + headerSize;
  std::string out(offset + rowBytes * height, '\0');
  auto put16 = [&](size_t at, uint32_t v) { out[at] = char(v), out[at + 1] = char(v >> 8); };
  auto put32 = [&](size_t at, uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  out[0] = 'B', out[1] = 'M';
  put32(2, uint32_t(std::min<size_t>(out.size(), 0xFFFFFFFFu)));
  put32(10, uint32_t(offset));
  put32(14, headerSize);
  put32(18, width), put32(22, height);
  put16(26, 1), put16(28, uint16_t(bpp));
  put32(30, alpha ? kBitFields : kRgb);
  put32(34, uint32_t(rowBytes * height));
  put32(38, dpiX > 0 ? uint32_t(dpiX / 0.0254 + 0.5) : 0);
  put32(42, dpiY > 0 ? uint32_t(dpiY / 0.0254 + 0.5) : 0);
  if (alpha) {
    put32(54, 0x00FF0000), put32(58, 0x0000FF00), put32(62, 0x000000FF), put32(66, 0xFF000000u);
    memcpy(&out[70], "BGRs", 4);  // LCS_sRGB, stored little-endian
    put32(14 + 108, 4);           // rendering intent: perceptual (LCS_GM_IMAGES)
  }
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t *s = pixels + size_t(height - 1 - y) * stride;
    char *o = &out[offset + y * rowBytes];
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t v = s[x];
      *o++ = char(v), *o++ = char(v >> 8), *o++ = char(v >> 16);
      if (alpha) *o++ = char(255 - (v >> 24));
    }
  }
  return out;
}
