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

// The same writer for the first `count` entries (1 to 1024), the header
// stating `count` layers. With `thumbnail`, a thumbnail record comes first:
// the flattened image, shrunk to fit 256 x 256. Returns the number of layers
// written, or 0 on failure.
int32_t kv5_WriteLayers(rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options, const char16_t *path,
                        bool thumbnail);

// The compression level a save uses: 4, or with the settings consulted
// (options->defaultSettings clear) the low 4 bits of their kv5_level, at
// most 9.
int kv5_WriterLevel(const LoadSaveOptions *options);

// The text banner for a UTC time in 100-ns units since 1601 into `out`
// (1024 bytes); returns its length without the NUL.
size_t kv5_FormatBanner(uint64_t utc100ns, char *out, size_t capacity);
