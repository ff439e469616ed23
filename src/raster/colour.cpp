// Colour transforms and colour-model conversion of pixel runs.
#include "raster/colour.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hostenv/folders.h"
#include "platform/os.h"
#include "platform/os_colour.h"
#include "raster/surface.h"
#include "raster/surface_internal.h"
#include "raster/thread_state.h"

namespace {

// The stack holds the scratch copy while count x 4 + 8 fits in this.
constexpr size_t kStackScratchBytes = 4096;
constexpr size_t kStackPixels = (kStackScratchBytes - 8) / 4;  // 1,022

inline uint32_t clamp255(int32_t v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline uint32_t clamp255(double v) { return v <= 0.0 ? 0 : v >= 255.0 ? 255 : static_cast<uint32_t>(v + 0.5); }
inline uint32_t byteOf(uint32_t v, int i) { return (v >> (8 * i)) & 0xFF; }
inline uint32_t bgr(uint32_t b, uint32_t g, uint32_t r, uint32_t t) { return b | g << 8 | r << 16 | t << 24; }

uint32_t reversed(uint32_t v, bool allFour) {
  if (allFour) return __builtin_bswap32(v);
  return (v & 0xFF00FF00u) | (v & 0xFF) << 16 | ((v >> 16) & 0xFF);
}

void reverseRun(uint32_t *p, size_t n, uint32_t model) {
  bool allFour = model == clr_ModelCmyk || model == clr_ModelHsl16 || model == clr_ModelHsv16;
  for (size_t i = 0; i < n; ++i) p[i] = reversed(p[i], allFour);
}

// ---- YCbCr (the fixed-point formulas the kernels share) -------------------

inline uint32_t yccToRgb(uint32_t v) {
  int32_t cr = static_cast<int32_t>(byteOf(v, 0)), cb = static_cast<int32_t>(byteOf(v, 1));
  int32_t y = static_cast<int32_t>(byteOf(v, 2)) << 16;
  uint32_t r = clamp255((91881 * cr - 11728000 + y) >> 16);
  uint32_t g = clamp255((-22553 * cb - 46802 * cr + 8910208 + y) >> 16);
  uint32_t b = clamp255((116130 * cb - 14831872 + y) >> 16);
  return bgr(b, g, r, 0) | (v & 0xFF000000u);
}

inline uint32_t rgbToYcc(uint32_t v) {
  int32_t b = static_cast<int32_t>(byteOf(v, 0)), g = static_cast<int32_t>(byteOf(v, 1));
  int32_t r = static_cast<int32_t>(byteOf(v, 2));
  uint32_t y = static_cast<uint32_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
  uint32_t cb = clamp255(((-11059 * r - 21709 * g + 32768 * b) >> 16) + 128);
  uint32_t cr = clamp255(((32768 * r - 27439 * g - 5329 * b) >> 16) + 128);
  return cr | cb << 8 | y << 16 | (v & 0xFF000000u);
}

// ---- plain CMYK ------------------------------------------------------------

inline uint32_t inksToRgb(uint32_t c, uint32_t m, uint32_t y, uint32_t k) {
  return bgr(255 - std::min(y + k, 255u), 255 - std::min(m + k, 255u), 255 - std::min(c + k, 255u), 0);
}

// The four inks C, M, Y, K; pure black is all four at full.
inline void rgbToInks(uint32_t v, uint32_t inks[4]) {
  uint32_t c = 255 - byteOf(v, 2), m = 255 - byteOf(v, 1), y = 255 - byteOf(v, 0);
  if ((v & 0xFFFFFF) == 0) {
    inks[0] = inks[1] = inks[2] = inks[3] = 255;
    return;
  }
  uint32_t k = std::min({c, m, y});
  inks[0] = c - k, inks[1] = m - k, inks[2] = y - k, inks[3] = k;
}

// ---- HSL and HSV -------------------------------------------------------------
// Hue is a fraction of a turn held in `steps` (256 or 65,536) steps.

double hueOf(double r, double g, double b, double max, double d) {
  if (d <= 0.0) return 0.0;
  double h;
  if (max == r) {
    h = (g - b) / d;
    if (h < 0) h += 6.0;
  } else if (max == g) {
    h = (b - r) / d + 2.0;
  } else {
    h = (r - g) / d + 4.0;
  }
  return h / 6.0;
}

inline uint32_t hueCode(double turn, uint32_t steps) {
  return static_cast<uint32_t>(std::lround(turn * steps)) % steps;
}

// Places chroma `c` and the sector's second component in six hue sectors and
// adds `m` to all three.
uint32_t fromSectors(uint32_t hue, uint32_t steps, double c, double m, uint32_t t) {
  double h = static_cast<double>(hue) * 6.0 / steps;
  int sector = std::min(static_cast<int>(h), 5);
  double x = c * (1.0 - std::fabs(std::fmod(h, 2.0) - 1.0));
  double r = 0, g = 0, b = 0;
  switch (sector) {
    case 0: r = c, g = x; break;
    case 1: r = x, g = c; break;
    case 2: g = c, b = x; break;
    case 3: g = x, b = c; break;
    case 4: r = x, b = c; break;
    default: r = c, b = x; break;
  }
  return bgr(clamp255(b + m), clamp255(g + m), clamp255(r + m), t);
}

// Returns lightness or value, saturation and hue in `out`.
void rgbToHsx(uint32_t v, bool hsl, uint32_t steps, uint32_t out[3]) {
  double b = byteOf(v, 0), g = byteOf(v, 1), r = byteOf(v, 2);
  double max = std::max({r, g, b}), min = std::min({r, g, b}), d = max - min;
  out[2] = hueCode(hueOf(r, g, b, max, d), steps);
  if (hsl) {
    uint32_t l = static_cast<uint32_t>(std::lround((max + min) / 2.0));
    // Saturation against the stored lightness, so that decoding meets the
    // chroma again despite lightness being rounded.
    double span = 255.0 - std::fabs(2.0 * l - 255.0);
    out[0] = l;
    out[1] = span <= 0.0 ? 0 : clamp255(255.0 * d / span);
  } else {
    out[0] = static_cast<uint32_t>(max);
    out[1] = max <= 0.0 ? 0 : clamp255(255.0 * d / max);
  }
}

uint32_t hsxToRgb(uint32_t first, uint32_t s, uint32_t hue, bool hsl, uint32_t steps, uint32_t t) {
  double sat = s / 255.0;
  double c, m;
  if (hsl) {
    c = (255.0 - std::fabs(2.0 * first - 255.0)) * sat;
    m = first - c / 2.0;
  } else {
    c = first * sat;
    m = first - c;
  }
  return fromSectors(hue, steps, c, m, t);
}

// ---- CIE L*a*b* and XYZ --------------------------------------------------------

constexpr double kWhite[3] = {0.95047, 1.0, 1.08883};  // D65
constexpr double kToXyz[3][3] = {{0.4124564, 0.3575761, 0.1804375},
                                 {0.2126729, 0.7151522, 0.0721750},
                                 {0.0193339, 0.1191920, 0.9503041}};
constexpr double kFromXyz[3][3] = {{3.2404542, -1.5371385, -0.4985314},
                                   {-0.9692660, 1.8760108, 0.0415560},
                                   {0.0556434, -0.2040259, 1.0572252}};
constexpr double kEpsilon = 0.008856, kKappa = 903.3;
constexpr double kXyzScale = 255.0 / 1.1;

double linear(double c) {
  c /= 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double gammaEncoded(double c) {
  c = c <= 0.0031308 ? c * 12.92 : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
  return c * 255.0;
}

double labF(double t) { return t > kEpsilon ? std::cbrt(t) : (kKappa * t + 16.0) / 116.0; }

// 8-bit sRGB decoding, the costly part of every pixel, as a table.
struct LinearTable {
  double value[256];
  LinearTable() {
    for (int i = 0; i < 256; ++i) value[i] = linear(i);
  }
};
const double *linearTable() {
  static const LinearTable table;
  return table.value;
}

void linearToXyz(const double lin[3], double xyz[3]) {
  for (int i = 0; i < 3; ++i) xyz[i] = kToXyz[i][0] * lin[0] + kToXyz[i][1] * lin[1] + kToXyz[i][2] * lin[2];
}

void xyzToLab(const double xyz[3], double lab[3]) {
  double fx = labF(xyz[0] / kWhite[0]), fy = labF(xyz[1] / kWhite[1]), fz = labF(xyz[2] / kWhite[2]);
  lab[0] = 116.0 * fy - 16.0;
  lab[1] = 500.0 * (fx - fy);
  lab[2] = 200.0 * (fy - fz);
}

void labToXyz(const double lab[3], double xyz[3]) {
  double fy = (lab[0] + 16.0) / 116.0, fx = fy + lab[1] / 500.0, fz = fy - lab[2] / 200.0;
  double x = fx * fx * fx > kEpsilon ? fx * fx * fx : (116.0 * fx - 16.0) / kKappa;
  double y = lab[0] > kKappa * kEpsilon ? fy * fy * fy : lab[0] / kKappa;
  double z = fz * fz * fz > kEpsilon ? fz * fz * fz : (116.0 * fz - 16.0) / kKappa;
  xyz[0] = x * kWhite[0], xyz[1] = y * kWhite[1], xyz[2] = z * kWhite[2];
}

uint32_t packRgb(const double rgb[3], uint32_t t) {
  return bgr(clamp255(rgb[2]), clamp255(rgb[1]), clamp255(rgb[0]), t);
}

void pixelLinear(uint32_t v, double lin[3]) {
  const double *table = linearTable();
  lin[0] = table[byteOf(v, 2)], lin[1] = table[byteOf(v, 1)], lin[2] = table[byteOf(v, 0)];
}

uint32_t labToPixel(uint32_t v) {
  double lab[3] = {byteOf(v, 0) * 100.0 / 255.0, byteOf(v, 1) - 128.0, byteOf(v, 2) - 128.0}, rgb[3];
  clr_LabToRgb(lab, rgb);
  return packRgb(rgb, byteOf(v, 3));
}

uint32_t pixelToLab(uint32_t v) {
  double lin[3], xyz[3], lab[3];
  pixelLinear(v, lin);
  linearToXyz(lin, xyz);
  xyzToLab(xyz, lab);
  return clamp255(lab[0] * 255.0 / 100.0) | clamp255(lab[1] + 128.0) << 8 | clamp255(lab[2] + 128.0) << 16 |
         (v & 0xFF000000u);
}

uint32_t xyzToPixel(uint32_t v) {
  double xyz[3] = {byteOf(v, 0) / kXyzScale, byteOf(v, 1) / kXyzScale, byteOf(v, 2) / kXyzScale}, rgb[3];
  clr_XyzToRgb(xyz, rgb);
  return packRgb(rgb, byteOf(v, 3));
}

uint32_t pixelToXyz(uint32_t v) {
  double lin[3], xyz[3];
  pixelLinear(v, lin);
  linearToXyz(lin, xyz);
  return clamp255(xyz[0] * kXyzScale) | clamp255(xyz[1] * kXyzScale) << 8 | clamp255(xyz[2] * kXyzScale) << 16 |
         (v & 0xFF000000u);
}

// ---- runs -------------------------------------------------------------------

template <typename Fn>
void eachPixel(uint32_t *p, size_t n, Fn fn) {
  for (size_t i = 0; i < n; ++i) p[i] = fn(p[i]);
}

// L*a*b* and XYZ reach the transform as triplets in a scratch copy: on the
// stack for short runs, else in global memory; when that cannot be had the
// run goes through the stack copy piece by piece, with the same result.
bool translateTriplets(os_ColourTransform *transform, bool xyz, uint32_t *pixels, size_t n) {
  size_t unit = xyz ? 6 : 3;
  alignas(8) unsigned char stack[kStackPixels * 6 + 8];
  unsigned char *scratch = stack;
  size_t piece = kStackPixels;
  HGLOBAL block = nullptr;
  // A run too long for one block's size to be counted in size_t goes through the stack in pieces.
  if (n * 4 + 8 > kStackScratchBytes && n <= (SIZE_MAX - 8) / 6) {
    block = GlobalAlloc(GMEM_FIXED, std::max(n * 4 + 8, n * unit));
    if (block != nullptr) scratch = static_cast<unsigned char *>(block), piece = n;
  }
  bool ok = true;
  for (size_t done = 0; done < n && ok; done += piece) {
    size_t m = std::min(piece, n - done);
    const uint32_t *src = pixels + done;
    if (xyz) {
      auto *out = reinterpret_cast<uint16_t *>(scratch);
      // 255/1.1 a unit to the 16-bit encoding of 0x8000 a unit.
      for (size_t i = 0; i < m; ++i)
        for (int c = 0; c < 3; ++c)
          out[i * 3 + c] = static_cast<uint16_t>(std::lround(byteOf(src[i], c) * (1.1 * 32768.0 / 255.0)));
    } else {
      for (size_t i = 0; i < m; ++i)
        for (int c = 0; c < 3; ++c) scratch[i * 3 + c] = static_cast<unsigned char>(byteOf(src[i], c));
    }
    ok = os_ColourTranslate(transform, xyz ? os_ColourFormat::xyz16 : os_ColourFormat::lab8, scratch,
                            pixels + done, m);
  }
  os_GlobalRelease(block);
  return ok;
}

void inputStage(uint32_t *p, size_t n, uint32_t model, os_ColourTransform *transform) {
  switch (model) {
    case clr_ModelYCbCr: eachPixel(p, n, yccToRgb); break;
    case clr_ModelInks:
      eachPixel(p, n, [](uint32_t v) { return inksToRgb(byteOf(v, 0), byteOf(v, 1), byteOf(v, 2), byteOf(v, 3)); });
      break;
    case clr_ModelCmyk:
      // The transform writes B, G, R over the inks; the fourth byte still
      // holds an ink and becomes opaque.
      if (transform != nullptr && os_ColourTranslate(transform, os_ColourFormat::kymc, p, p, n)) {
        for (size_t i = 0; i < n; ++i) p[i] &= 0x00FFFFFFu;
      } else {
        eachPixel(p, n, [](uint32_t v) { return inksToRgb(byteOf(v, 3), byteOf(v, 2), byteOf(v, 1), byteOf(v, 0)); });
      }
      break;
    case clr_ModelHsl8:
    case clr_ModelHsv8:
    case clr_ModelHsl16:
    case clr_ModelHsv16: {
      bool hsl = model == clr_ModelHsl8 || model == clr_ModelHsl16;
      bool wide = model >= clr_ModelHsl16;
      for (size_t i = 0; i < n; ++i) {
        uint32_t v = p[i];
        uint32_t hue = wide ? v >> 16 : byteOf(v, 2);
        p[i] = hsxToRgb(byteOf(v, 0), byteOf(v, 1), hue, hsl, wide ? 65536 : 256, wide ? 0 : byteOf(v, 3));
      }
      break;
    }
    case clr_ModelLab:
      if (transform == nullptr || !translateTriplets(transform, false, p, n)) eachPixel(p, n, labToPixel);
      break;
    case clr_ModelXyz:
      if (transform == nullptr || !translateTriplets(transform, true, p, n)) eachPixel(p, n, xyzToPixel);
      break;
    default:
      if (transform != nullptr) os_ColourTranslate(transform, os_ColourFormat::xrgb, p, p, n);
      break;
  }
}

void outputStage(uint32_t *p, size_t n, uint32_t model) {
  switch (model) {
    case clr_ModelYCbCr: eachPixel(p, n, rgbToYcc); break;
    case clr_ModelInks:
    case clr_ModelCmyk: {
      bool inkOrder = model == clr_ModelInks;
      for (size_t i = 0; i < n; ++i) {
        uint32_t k[4];
        rgbToInks(p[i], k);
        p[i] = inkOrder ? k[0] | k[1] << 8 | k[2] << 16 | k[3] << 24 : k[3] | k[2] << 8 | k[1] << 16 | k[0] << 24;
      }
      break;
    }
    case clr_ModelHsl8:
    case clr_ModelHsv8:
    case clr_ModelHsl16:
    case clr_ModelHsv16: {
      bool hsl = model == clr_ModelHsl8 || model == clr_ModelHsl16;
      bool wide = model >= clr_ModelHsl16;
      for (size_t i = 0; i < n; ++i) {
        uint32_t c[3];
        rgbToHsx(p[i], hsl, wide ? 65536 : 256, c);
        p[i] = c[0] | c[1] << 8 | (wide ? c[2] << 16 : (c[2] << 16 | (p[i] & 0xFF000000u)));
      }
      break;
    }
    case clr_ModelLab: eachPixel(p, n, pixelToLab); break;
    case clr_ModelXyz: eachPixel(p, n, pixelToXyz); break;
    default: break;
  }
}

uint32_t modelOf(uint32_t argument) {
  uint32_t model = argument & ~clr_ReverseOrder;
  return model > clr_ModelXyz ? clr_ModelRgb : model;
}

// ---- default CMYK profile ------------------------------------------------------

constexpr const char16_t *kCmykPatterns[3] = {u"*Default*CMYK*.icm", u"*Default*CMYK*.ic*", u"*CMYK*.ic*"};
constexpr int kMaxFolderDepth = 8;

bool lessIgnoringAsciiCase(const std::u16string &a, const std::u16string &b) {
  auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char16_t x, char16_t y) { return fold(x) < fold(y); });
}

struct Listing {
  std::vector<std::u16string> files, folders;
};

bool collect(const char16_t *name, bool isFolder, void *context) {
  auto *listing = static_cast<Listing *>(context);
  (isFolder ? listing->folders : listing->files).emplace_back(name);
  return true;
}

std::u16string joined(const std::u16string &folder, const std::u16string &name) {
  std::u16string path = folder;
  if (!path.empty() && !os_IsPathSeparator(path.back())) path += os_PathSeparator;
  return path + name;
}

// The first matching file of `folder` in name order; with `depth` left, then
// its subfolders in name order (links to folders are not followed).
bool findMatch(const std::u16string &folder, const char16_t *pattern, int depth, std::u16string *found) {
  Listing matches;
  if (os_FolderWalk(folder.c_str(), pattern, collect, &matches) == 0) return false;
  std::sort(matches.files.begin(), matches.files.end(), lessIgnoringAsciiCase);
  for (const std::u16string &name : matches.files) {
    std::u16string path = joined(folder, name);
    if (path.size() < clr_MaxProfilePath && os_FileExists(path.c_str())) {
      *found = path;
      return true;
    }
  }
  if (depth <= 0) return false;
  Listing all;
  os_FolderWalk(folder.c_str(), u"*", collect, &all);
  std::sort(all.folders.begin(), all.folders.end(), lessIgnoringAsciiCase);
  for (const std::u16string &name : all.folders) {
    std::u16string path = joined(folder, name);
    if (!os_PathIsLink(path.c_str()) && findMatch(path, pattern, depth - 1, found)) return true;
  }
  return false;
}

}  // namespace

void clr_RgbToXyz(const double rgb[3], double xyz[3]) {
  double lin[3] = {linear(rgb[0]), linear(rgb[1]), linear(rgb[2])};
  linearToXyz(lin, xyz);
}

void clr_XyzToRgb(const double xyz[3], double rgb[3]) {
  for (int i = 0; i < 3; ++i)
    rgb[i] = gammaEncoded(kFromXyz[i][0] * xyz[0] + kFromXyz[i][1] * xyz[1] + kFromXyz[i][2] * xyz[2]);
}

void clr_RgbToLab(const double rgb[3], double lab[3]) {
  double xyz[3];
  clr_RgbToXyz(rgb, xyz);
  xyzToLab(xyz, lab);
}

void clr_LabToRgb(const double lab[3], double rgb[3]) {
  double xyz[3];
  labToXyz(lab, xyz);
  clr_XyzToRgb(xyz, rgb);
}

void *clr_CreateTransform(const void *profile_data, uint32_t profile_size, const char16_t *profile_path) {
  os_ColourProfile *source = nullptr;
  if (profile_data != nullptr && profile_size >= 4) {
    if (rx_ProbeMemory(profile_data, profile_size, false) != 0) return nullptr;
    source = os_ColourProfileFromMemory(profile_data, profile_size);
  } else {
    // A usable path: readable, not empty, and fitting a 260-unit buffer.
    char16_t path[os_MaxPath];
    size_t length = 0;
    for (;; ++length) {
      if (length == os_MaxPath || rx_ProbeMemory(profile_path + length, sizeof(char16_t), false) != 0)
        return nullptr;
      path[length] = profile_path[length];
      if (path[length] == 0) break;
    }
    if (length == 0) return nullptr;
    source = os_ColourProfileFromFile(path);
  }
  if (source == nullptr) return nullptr;
  os_ColourProfile *srgb = os_ColourProfileSrgb();
  if (srgb == nullptr) {
    os_ColourProfileClose(source);
    return nullptr;
  }
  return os_ColourTransformCreate(source, srgb);
}

int32_t clr_DeleteTransform(void *transform) {
  if (transform != nullptr) os_ColourTransformDelete(static_cast<os_ColourTransform *>(transform));
  return 1;
}

int32_t clr_ConvertPixels(uint32_t *pixels, int32_t count, uint32_t from_model, void *transform, uint32_t to_model) {
  if (pixels == nullptr || count <= 0) return 0;
  auto n = static_cast<size_t>(count);
  uint32_t in = modelOf(from_model), out = modelOf(to_model);
  if (from_model & clr_ReverseOrder) reverseRun(pixels, n, in);
  inputStage(pixels, n, in, static_cast<os_ColourTransform *>(transform));
  outputStage(pixels, n, out);
  if (to_model & clr_ReverseOrder) reverseRun(pixels, n, out);
  return count;
}

int32_t clr_ConvertDibPixels(rx_Surface *dest, const void *packed_dib, size_t size, void *transform,
                             uint32_t flags) {
  rx_detail::DibRowDecoder decoder;
  if (!rx_detail::openDibRows(packed_dib, size, &decoder)) return 0;
  if (rx_SurfaceLock(dest, rx_LockExclusive) == 0) return 0;
  uint32_t alpha = flags & 0xF000;
  if (alpha > rx_AlphaFromPremultiplied) alpha = 0;
  uint32_t model = flags & 0x1F;
  int32_t rows = std::min<int64_t>(decoder.rows, dest->height);
  int32_t width = std::min<int64_t>(decoder.layout.width, dest->width);
  // Rows wider than the surface decode into a row of their own first.
  std::vector<uint32_t> wide;
  if (width < decoder.layout.width) wide.resize(static_cast<size_t>(decoder.layout.width));
  for (int32_t y = 0; y < rows; ++y) {
    uint32_t *row = dest->bits + static_cast<size_t>(y) * dest->stride;
    if (wide.empty()) {
      decodeDibRow(decoder, y, row);
    } else {
      decodeDibRow(decoder, y, wide.data());
      std::memcpy(row, wide.data(), static_cast<size_t>(width) * 4);
    }
    if (model != 0 || transform != nullptr) clr_ConvertPixels(row, width, model, transform, clr_ModelRgb);
    if (alpha != 0) rx_ConvertAlphaRow(row, static_cast<size_t>(width), alpha);
  }
  rx_SurfaceUnlock(dest, rx_LockExclusive);
  return rows;
}

bool clr_FindCmykProfile(char16_t *out_path) {
  if (out_path == nullptr) return false;
  std::u16string found;
  char16_t content[os_MaxPath];
  if (env_GetContentFolder(content, os_MaxPath) != 0) {
    std::u16string folder = joined(content, u"Color Profiles");
    for (const char16_t *pattern : kCmykPatterns)
      if (findMatch(folder, pattern, 0, &found)) break;
  }
  // Beyond the suite's own folder: the system's profile folders, so that a
  // profile the system installed serves when the suite brought none.
  for (const char16_t *pattern : kCmykPatterns) {
    if (!found.empty()) break;
    for (const std::u16string &root : os_ColourSystemFolders())
      if (findMatch(root, pattern, kMaxFolderDepth, &found)) break;
  }
  if (found.empty()) return false;
  std::copy(found.begin(), found.end(), out_path);
  out_path[found.size()] = 0;
  return true;
}
