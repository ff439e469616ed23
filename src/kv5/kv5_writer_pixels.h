// What the document writer learns from a layer's pixels, and the pixel
// format it picks from that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kv5/pixel_formats.h"

struct kv5_PixelSummary {
  bool colour;            // some pixel has blue != green or green != red
  bool alpha;             // some pixel has a non-zero alpha byte
  int entries;            // distinct pixel values when at most 256, else 0
  uint32_t palette[256];  // those values, sorted by kv5_SortPalette
};

// One pass over the view. The palette keeps first-appearance order and is
// then sorted (kv5_SortPalette).
void kv5_SummarisePixels(const kv5_PixelView *view, kv5_PixelSummary *summary);

// Sorts 3 or more entries ascending by transparency, then luma
// ((red x 19595 + green x 38470 + blue x 7471 + 127) >> 8), keeping the order
// of equal keys; fewer entries stay as they are.
void kv5_SortPalette(uint32_t *palette, int entries);

struct kv5_FormatChoice {
  int format;
  int channels;
  bool alphaPlane;  // the packer's alpha flag
  int entries;      // palette entries handed to the packer (0 without)
};

// The format of a layer at `level`; `greenDifference` is asked only for
// colour images without a palette at levels above 1.
kv5_FormatChoice kv5_ChooseFormat(const kv5_PixelView *view, const kv5_PixelSummary *summary, int level,
                                  bool (*greenDifference)(const kv5_PixelView *view));

// True when the decorrelated planes (blue - green + 128, red - green + 128)
// vary less along the rows than the blue and red planes, and green carries
// enough of the image for it to be worth it.
bool kv5_GreenDifferencePays(const kv5_PixelView *view);
