// KV5 pixel formats: how the pixels of a 32-bit surface become the bytes of
// a layer stream and back.
//
//   0 planar colour     blue, green, red planes (+ alpha plane)
//   1 grey              grey plane (+ alpha plane); unpacks to B = G = R
//   2 256-entry palette 256 pixels of palette, one index byte per pixel
//   3 variable palette  descriptor (bits 0..3 = index bits - 1, bits 4..19 =
//                       entries - 1), the entries, then the indices packed
//                       least significant bit first across rows, padded to a
//                       whole byte at the end
//   4 solid             one pixel value for every pixel
//   5 green-difference  green, (blue - green + 128), (red - green + 128)
//                       planes (+ alpha plane), all mod 256
//
// Planes are width x height bytes, rows top to bottom without padding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kv5/kv5_context.h"

// The pixels the packers read and the unpackers write: any 32-bit surface
// passes its fields here. Pixel bytes are blue, green, red, T (transparency,
// called alpha in this code, stored and restored unchanged); row r starts at
// pixels + r * stride.
struct kv5_PixelView {
  int32_t width;
  int32_t height;
  int32_t stride;  // in pixels
  uint32_t *pixels;
};

enum : int {
  kv5_FormatPlanar = 0,
  kv5_FormatGrey = 1,
  kv5_FormatPalette = 2,
  kv5_FormatVariablePalette = 3,
  kv5_FormatSolid = 4,
  kv5_FormatGreenDifference = 5,
};

// Unpacks `stream` into the view. `channels` is the record's channel count:
// formats 0 and 5 read min(channels, 4) planes, the fourth (alpha) only when
// the count is a multiple of 4; format 1 reads an alpha plane for counts 2
// and 4; planes that are absent give 0 bytes. `palette` is scratch for 256
// entries. Returns the stream bytes consumed, or -1 with the layer-error flag
// set: for a format above 5 ("Unknown pixel format, KV5 data not valid\n"),
// a variable palette wider than 256 entries ("Unsupported variable palette
// size (%i bits)\n"), and a stream shorter than its format needs (no
// message of its own).
int64_t kv5_UnpackPixels(const kv5_PixelView *view, int format, int channels, const uint8_t *stream,
                         size_t streamLength, uint32_t palette[256], kv5_Context *context);

// Packs the view into `out` (kv5_PackedSize bytes). `alpha` adds the alpha
// plane to formats 0, 1 and 5. Formats 2 and 3 use `palette` (`entries`
// values; pixels not found get the all-ones index), format 4 stores
// palette[0], or the first pixel when there is no palette. Returns the bytes
// written, or -1 for an unknown format or a palette size the format cannot
// hold (format 2: more than 256; format 3: 0 or more than 256).
int64_t kv5_PackPixels(const kv5_PixelView *view, int format, bool alpha, uint8_t *out, const uint32_t *palette,
                       int entries);

// Bytes [offset, offset + size) of what kv5_PackPixels writes for the plane
// formats 0, 1 and 5, made without the rest: a stream can then be packed a
// piece at a time. False for another format or a range beyond the end.
bool kv5_PackPlanesRange(const kv5_PixelView *view, int format, bool alpha, size_t offset, uint8_t *out,
                         size_t size);

// Bytes kv5_PackPixels writes; -1 where it would fail.
int64_t kv5_PackedSize(const kv5_PixelView *view, int format, bool alpha, int entries);

// Index bits the writer gives a variable palette of `entries` entries: the
// bits needed for entries - 1 (1 to 8), with 3 taken as 4 and 5..7 as 8.
int kv5_VariablePaletteBits(int entries);
