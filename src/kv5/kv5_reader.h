// Reading native documents (every version) into a layer table.
#pragma once

#include <cstdint>

#include "imageio/load_save_options.h"

struct rx_LayerEntry;

// Pixels the surfaces of one read may take together, the budget a plug-in's
// layers have in a load: a layer past it is refused before anything is
// allocated, as a surface the engine cannot make.
inline constexpr uint64_t kv5_PixelBudget = uint64_t{1} << 28;

// Fills `layers` (room for 1024 entries) from the document at `path` and
// returns the number of entries filled, 0 on failure. Sets options->handled
// when the file is a native document; messages go to options->message,
// the outcome to options->documentFlags (kDoc*) and the load warnings:
// too many layers 0x001, a damaged layer 0x008, thumbnails instead of the
// layers 0x020, a legacy document under another extension 0x200 or none
// 0x400. Reads version 4 itself and hands older versions on to the readers
// below, in their order.
int32_t kv5_Read(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);

// Version 3: layered, 4-byte chunk framing.
int32_t kv5_ReadV3(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);
// Version 2: one image, one compressed stream with planes or a palette.
int32_t kv5_ReadFlatV2(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);
// Versions 1 and 0: one image, one compressed stream of 16 x 16 tiles.
int32_t kv5_ReadFlatV1(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);
