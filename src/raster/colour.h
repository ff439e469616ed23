// Colour management: transforms from a file's colour profile to sRGB, and
// conversion of pixel runs between colour models and surface pixels (B, G,
// R, T; T 0 = opaque). Transforms belong to their creator; conversions work
// in the caller's buffer and never fail as a whole: where a transform cannot
// take a run, the formulas below convert it.
//
// Models (one 32-bit value per pixel, bytes from the lowest):
//   0  RGB: B, G, R, T; passed through the transform when one is given
//   1  YCbCr, full range, chroma offset 128: Cr, Cb, Y, T
//   2  inks C, M, Y, K through the plain CMYK formula both ways (for writers
//      and readers whose inks come in reading order); T becomes 0
//   3  CMYK: K, Y, M, C through the transform, else the plain formula; T 0
//   4  HSL, 8-bit hue (256 steps a turn): L, S, H, T
//   5  HSV, 8-bit hue: V, S, H, T
//   6  HSL, 16-bit hue (65,536 steps a turn): L, S, H low, H high; T 0
//   7  HSV, 16-bit hue: V, S, H low, H high; T 0
//   8  CIE L*a*b* (D65) as ICC encodes 8 bits: L* x 255/100, a* + 128,
//      b* + 128, T; through the transform when its profile reads L*a*b*
//   9  CIE XYZ (D65, Y of white = 1) at 255/1.1 a unit, so white's Z (1.089)
//      fits: X, Y, Z, T; through the transform when its profile reads XYZ
// L*a*b* and XYZ keep the order their triplets have in memory. Models above
// 9 count as 0. On the output side 4 and 5 are the exact inverses of their
// input stages and T is kept wherever the packing leaves a byte for it.
// clr_ReverseOrder reverses the packing: all four bytes for 3, 6 and 7, the
// first and third byte for every other model.
#pragma once

#include <cstddef>
#include <cstdint>

struct rx_Surface;

enum : uint32_t {
  clr_ModelRgb = 0,
  clr_ModelYCbCr = 1,
  clr_ModelInks = 2,
  clr_ModelCmyk = 3,
  clr_ModelHsl8 = 4,
  clr_ModelHsv8 = 5,
  clr_ModelHsl16 = 6,
  clr_ModelHsv16 = 7,
  clr_ModelLab = 8,
  clr_ModelXyz = 9,
  clr_ReverseOrder = 0x1000,
};

// A transform from the given profile to sRGB, or null. The profile comes
// from memory when `profile_data` is given with at least 4 bytes, else from
// `profile_path` (non-empty, shorter than 260 units). No profile stays open
// but those the transform holds.
void *clr_CreateTransform(const void *profile_data, uint32_t profile_size, const char16_t *profile_path);
int32_t clr_DeleteTransform(void *transform);  // 1

// Converts `count` values in place from `from_model` to surface pixels and
// then to `to_model`. Result `count` (0 for a null run or negative count).
int32_t clr_ConvertPixels(uint32_t *pixels, int32_t count, uint32_t from_model, void *transform, uint32_t to_model);

// Converts a packed DIB (1 to 32 bits a pixel, palettes, bit fields) into
// the top-left of `dest`, clipped to both. `flags` & 0xF000: the alpha mode
// of rx_ConvertAlphaRow (0x1000..0x4000; others are dropped). `flags` & 0x1F:
// the colour model of the decoded values, passed on to clr_ConvertPixels
// with `transform` (0 = RGB; e.g. 3 for CMYK rows). `size` 0: unknown, the
// memory is probed. Result: rows converted, 0 for an unusable DIB or surface.
int32_t clr_ConvertDibPixels(rx_Surface *dest, const void *packed_dib, size_t size, void *transform,
                             uint32_t flags);

// The default CMYK profile: the first file matching "*Default*CMYK*.icm",
// "*Default*CMYK*.ic*", "*CMYK*.ic*" (in that order, ASCII case-insensitive,
// the first name in case-insensitive order among several) in the content
// folder's "Color Profiles", then in the system's profile folders. Writes
// the full path into `out_path` (clr_MaxProfilePath units).
inline constexpr size_t clr_MaxProfilePath = 1024;
bool clr_FindCmykProfile(char16_t *out_path);

// The published sRGB (D65) and CIE 1976 definitions in full precision;
// RGB 0..255, L* 0..100, XYZ with Y of white = 1.
void clr_RgbToLab(const double rgb[3], double lab[3]);
void clr_LabToRgb(const double lab[3], double rgb[3]);
void clr_RgbToXyz(const double rgb[3], double xyz[3]);
void clr_XyzToRgb(const double xyz[3], double rgb[3]);
