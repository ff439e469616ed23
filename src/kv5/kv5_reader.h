// Reading native documents (every version) into a layer table.
#pragma once

#include <cstdint>

#include "imageio/load_save_options.h"

struct rx_LayerEntry;

// Fills `layers` (room for 1024 entries) from the document at `path` and
// returns the number of entries filled, 0 on failure. Sets options->handled
// when the file is a native document; messages go to options->message.
int32_t kv5_Read(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);
