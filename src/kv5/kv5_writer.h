// Writing native documents (version 4).
#pragma once

#include <cstdint>

#include "imageio/load_save_options.h"

struct rx_LayerEntry;

// Writes the first entry of `layers` with its properties text as a one-layer
// document at `path`; the document type and option byte come from `options`.
// Returns the number of layers written (1), or 0 on failure with messages in
// options->message.
int32_t kv5_Write(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);
