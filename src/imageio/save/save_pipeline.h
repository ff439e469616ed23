// The save pipeline: the driver (path checks, the read-only question, the
// backup that undoes a failed save, the native writer or a plug-in, the flat
// retry) and the plug-in saver (the registry route, probing, running a
// plug-in against its save request record).
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/load_save_options.h"
#include "raster/layers/layers.h"
#include "vgm/vgm_plugin.h"

inline constexpr int kSaveRetries = 10;        // after the first try, 100 ms apart
inline constexpr uint32_t kSaveRetryMs = 100;
inline constexpr int kBackupNameTries = 10000;
inline constexpr int kFlatPasses = 2;

// Driver: writes `count` layers to `path`. The writer's or plug-in's result
// (>= 1), or 0 with the message in options->message.
int32_t io_SaveDriver(const char16_t *path, rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options);

// Plug-in saver: the extension's plug-in by registry or by probing. The
// plug-in's result (>= 1) or 0 with the message set.
int32_t io_PluginSaver(rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options, const char16_t *path);

// Brings a layer's markup in step with the layer before it is written: the
// resolution keys against its "PHYS" record, the pixel-dimension keys against
// its size. The number of keys rewritten.
int32_t io_ResolutionToMarkup(rx_LayerEntry *entry);

// The writer the driver uses for native documents, replaceable so that tests
// can stand in for one that fails or is slow. Null restores the real one.
using io_LayerWriter = int32_t (*)(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path);
void io_SetNativeWriterForTests(io_LayerWriter writer);

// ---------------------------------------------------------------------------
// One plug-in call: the record the plug-in sees, then what the callbacks
// need. The plug-in only holds a pointer to `request`.
struct io_SaveCall {
  FltSaveRequest request;
  LoadSaveOptions *options;
  rx_LayerEntry *layers;
  int32_t count;
  bool flatSelected;  // the host-owned surface is locked and exposed
  char16_t message[FLT_MESSAGE_CAPACITY];
};

void io_PrepareSaveCall(io_SaveCall *call, const char16_t *path, rx_LayerEntry *layers, int32_t count,
                        LoadSaveOptions *options);
// Unlocks the selected layer and frees the flattened surface.
void io_ReleaseSaveSelection(io_SaveCall *call);
int32_t VGM_API io_SelectSaveLayer(FltSaveRequest *request, int32_t index, uint32_t zero);
const void *VGM_API io_GetSaveMetadata(FltSaveRequest *request, uint32_t tag);
int32_t VGM_API io_QuerySaveOption(FltSaveRequest *request, FltOptionQuery *query);
int32_t VGM_API io_SetSaveText(FltSaveRequest *request, int32_t field, const WCHAR *text);
int32_t VGM_API io_SaveProgress(FltSaveRequest *request, int32_t a, int32_t b);
