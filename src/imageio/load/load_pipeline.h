// The load pipeline: the front end (driver, metadata merge, flattening), the
// driver (shortcuts, file checks, the native reader, the plug-ins, retries,
// result size and warnings) and the plug-in loader (header checks, the
// registry route, probing, running a plug-in against its request record).
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/load_save_options.h"
#include "raster/layers/layers.h"
#include "raster/surface.h"
#include "vgm/vgm_plugin.h"

inline constexpr uint32_t kLoadTimeLimitMin = 10;
inline constexpr uint32_t kLoadTimeLimitMax = 900000;
inline constexpr uint32_t kLoadTimeLimitDefault = 300000;
inline constexpr int kLoadAttempts = 3;
inline constexpr size_t kScanBlockBytes = 65536;
// Pixels all layers of one load may take together: a file that asks for more
// is refused before anything is allocated, so a tiny file cannot exhaust memory.
inline constexpr uint64_t kLoadPixelBudget = uint64_t{1} << 28;

// Front end: the driver into a fresh layer table, the merged markup into
// `*markup_out` (a GlobalAlloc text block, when asked for), the layers
// flattened into `out`, a record the library holds itself (an export's own
// local: it is not probed). The number of layers read, or 0 (message in options).
int32_t io_LoadFrontEnd(const char16_t *path, rx_Surface *out, LoadSaveOptions *options, HGLOBAL *markup_out);

// Driver: layers into `layers` (room for rx_LayerTableEntries). Number of
// layers or 0.
int32_t io_LoadDriver(const char16_t *path, rx_LayerEntry *layers, LoadSaveOptions *options);

// The readers the driver tries, replaceable so that tests can stand in for
// a reader that misbehaves. Null restores the real ones.
using io_LayerReader = int32_t (*)(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);
void io_SetLoadReadersForTests(io_LayerReader native, io_LayerReader plugins);

// Plug-in loader: the file's plug-in by registry or by probing. Number of
// layers or 0.
int32_t io_PluginLoader(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);

// Gives a layer the physical-resolution record "PHYS" from the
// "exif.resolution.x"/".y" keys of its markup (a bad or missing value takes
// the other one). 1 when the record was written.
int32_t io_ResolutionFromMarkup(rx_LayerEntry *entry);

// ---------------------------------------------------------------------------
// One plug-in call: the request record the plug-in sees, followed by what the
// host's callbacks need. The plug-in only ever holds a pointer to `request`.
struct io_LoadCall {
  FltLoadRequest request;
  LoadSaveOptions *options;
  rx_LayerEntry *layers;
  uint64_t pixelsTaken;  // by the layers begun so far
  int32_t usedEntries;   // table entries from 0 that may hold a layer
  uint64_t counterHz;
  bool timedOut;         // a callback refused because the time limit passed
  char16_t message[FLT_MESSAGE_CAPACITY];  // last: io_PrepareLoadCall clears what comes before
};

// Zeroes and fills the record for a call on `path` (see the callbacks below);
// the message buffer is emptied. The time limit runs from here.
void io_PrepareLoadCall(io_LoadCall *call, const char16_t *path, rx_LayerEntry *layers, LoadSaveOptions *options);
// The request callbacks.
int32_t VGM_API io_BeginLayer(FltLoadRequest *request, uint32_t flags);
int32_t VGM_API io_SetLayerMetadata(FltLoadRequest *request, uint32_t tag, const void *value);
int32_t VGM_API io_QueryLoadOption(FltLoadRequest *request, FltOptionQuery *query);
int32_t VGM_API io_SetLoadText(FltLoadRequest *request, int32_t field, const WCHAR *text);
int32_t VGM_API io_LoadProgress(FltLoadRequest *request, int32_t a, int32_t b);

// The value of `key` in an options text of key=value lines (key compared
// ignoring case, blanks allowed before "="): copied into `value` (capacity
// units) and its length returned, 0 when the key is not there.
int32_t io_FindOption(const char16_t *options_text, const char16_t *key, char16_t *value, size_t capacity);

// ---------------------------------------------------------------------------
// Shared with the save pipeline, so that both order their module work by the
// same lock and read paths the same way.
#include <string>
#include <string_view>
#include <vector>

#include "imageio/plugin_probe.h"

// Loads a plug-in (the cached one at no cost), keeps one in the plug-in
// cache and frees a reference, each under the pipelines' module lock.
os_Module *io_PipelineLoadPlugin(const std::u16string &path);
void io_PipelineKeepPlugin(os_Module *module);
void io_PipelineFreePlugin(os_Module *module);
// Takes a reference to this library while foreign code runs inside it; null
// when the library came with the program (release with io_PipelineFreePlugin).
os_Module *io_PipelineHoldSelf();
// The save candidates for an extension, collected under the module lock.
std::vector<io_Candidate> io_PipelineSaveCandidates(std::u16string_view extension);
// The extension that chooses a plug-in: from the file name's last dot, at
// most 31 units, lower case; the temporary ones count as none.
std::u16string io_PipelineExtension(std::u16string_view path);
// Strips blanks and line ends from both ends of a message, in place.
void io_TrimMessage(char16_t *text);
