// The save request record, the callbacks a plug-in calls through it, and the
// markup kept in step with the image before it is written.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/host_tables.h"
#include "imageio/load/load_pipeline.h"
#include "imageio/save/save_pipeline.h"
#include "markup/markup_text.h"
#include "platform/os.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/properties.h"

namespace {

static_assert(sizeof(rx_Surface) <= sizeof(FltSaveRequest::flat_surface), "the flattened surface lives in the record");
static_assert(alignof(rx_Surface) <= alignof(uintptr_t));

io_SaveCall *callOf(FltSaveRequest *request) { return reinterpret_cast<io_SaveCall *>(request); }
rx_Surface *flatOf(FltSaveRequest *request) { return reinterpret_cast<rx_Surface *>(request->flat_surface); }

size_t length16(const char16_t *text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

size_t copy16(char16_t *out, size_t capacity, const char16_t *text, size_t limit) {
  size_t n = std::min(length16(text, limit), capacity - 1);
  std::memmove(out, text, n * sizeof(char16_t));
  out[n] = 0;
  return n;
}

void expose(FltSaveRequest *r, rx_Surface *surface) {
  r->width = surface->width;
  r->height = surface->height;
  r->stride = surface->stride;
  r->pixels = surface->bits;
}

// The layer whose metadata the plug-in asks for: the selected one, or the
// first when the flattened image (which carries the merged markup of a flat
// retry in layer 0 already) is selected.
rx_LayerEntry *metadataLayer(io_SaveCall *call) {
  int32_t selected = call->request.selected_layer;
  if (selected >= 0 && selected < call->count) return &call->layers[selected];
  return call->count > 0 ? &call->layers[0] : nullptr;
}

int64_t thousandths(double value) { return static_cast<int64_t>(std::floor(value * 1000.0 + 0.5)); }

}  // namespace

void io_PrepareSaveCall(io_SaveCall *call, const char16_t *path, rx_LayerEntry *layers, int32_t count,
                        LoadSaveOptions *options) {
  std::memset(call, 0, sizeof *call);
  call->options = options;
  call->layers = layers;
  call->count = count;
  FltSaveRequest &r = call->request;
  r.path = os_W(path);
  r.owner_window = options->quiet ? nullptr : options->ownerWindow;
  r.select_layer = io_SelectSaveLayer;
  r.document_kind = (options->documentKind >= 1 && options->documentKind <= 3) ? options->documentKind : 0;
  r.document_sub_kind = options->documentSubKind;
  r.layer_count = static_cast<uint32_t>(count);
  r.get_metadata = io_GetSaveMetadata;
  r.query_option = io_QuerySaveOption;
  r.set_text = io_SetSaveText;
  r.progress = io_SaveProgress;
  io_AttachHostTables(&r);
  r.layers = count;
  r.selected_layer = -1;
  r.layer_table = layers;
  r.message = os_W(call->message);
  r.message_capacity = FLT_MESSAGE_CAPACITY;
  r.module_name = os_W(options->reportingModule);
  r.module_name_capacity = FLT_MODULE_NAME_CAPACITY;
  r.options_text = os_W(options->optionsText);
  r.caller_progress = options->progress;
  r.caller_progress_value = options->progressUser;
  r.start_time = os_HighResCounter();
}

void io_ReleaseSaveSelection(io_SaveCall *call) {
  FltSaveRequest &r = call->request;
  if (r.selected_layer >= 0 && r.selected_layer < call->count) rx_SurfaceUnlock(&call->layers[r.selected_layer].surface, 0);
  rx_Surface *flat = flatOf(&r);
  if (call->flatSelected) rx_SurfaceUnlock(flat, 0);
  call->flatSelected = false;
  if (rx_SurfaceIsValid(flat)) rx_SurfaceFree(flat);
  r.selected_layer = -1;
  r.width = r.height = r.stride = 0;
  r.pixels = nullptr;
}

int32_t VGM_API io_SelectSaveLayer(FltSaveRequest *request, int32_t index, uint32_t) {
  if (request == nullptr) return 0;
  io_SaveCall *call = callOf(request);
  // Keeping the system awake has no POSIX counterpart worth a dependency.
  io_ReleaseSaveSelection(call);
  FltSaveRequest &r = *request;
  if (index >= call->count || index < -1) return 0;
  if (index == -1) {
    LoadSaveOptions scene = *call->options;
    scene.documentKind = r.document_kind;
    scene.documentSubKind = r.document_sub_kind;
    scene.frameComposition = 0;
    rx_Surface *flat = flatOf(request);
    if (rx_LayersFlatten(flat, -1, call->layers, call->count, &scene) == 0 || rx_SurfaceLock(flat, 0) == 0) {
      if (rx_SurfaceIsValid(flat)) rx_SurfaceFree(flat);
      return 0;
    }
    call->flatSelected = true;
    expose(request, flat);
    r.x = r.y = 0;
    std::memset(r.name, 0, sizeof r.name);
    r.layer_flags = r.frame_delay = 0;
    r.layer_attribute = r.layer_transparency = 0;
    return 1;
  }
  rx_LayerEntry &entry = call->layers[index];
  if (rx_SurfaceLock(&entry.surface, 0) == 0) return 0;
  r.selected_layer = index;
  expose(request, &entry.surface);
  std::memset(r.name, 0, sizeof r.name);
  copy16(reinterpret_cast<char16_t *>(r.name), FLT_NAME_CAPACITY, entry.name, 32);
  r.x = static_cast<int16_t>(entry.x);
  r.y = static_cast<int16_t>(entry.y);
  r.layer_flags = entry.flags;
  r.frame_delay = entry.frame;
  r.layer_attribute = entry.attributeA;
  r.layer_transparency = entry.attributeB;
  return 1;
}

const void *VGM_API io_GetSaveMetadata(FltSaveRequest *request, uint32_t tag) {
  if (request == nullptr) return nullptr;
  request->metadata_result = 0;
  rx_LayerEntry *entry = metadataLayer(callOf(request));
  if (entry == nullptr || entry->properties == nullptr) return nullptr;
  if (tag == prop_TagMeta) {
    request->metadata_result = reinterpret_cast<uintptr_t>(entry->properties);
    return entry->properties;
  }
  prop_Record record;
  if (rx_LayerFindRecord(entry, tag, &record) != 1) return nullptr;
  request->metadata_result = record.length;
  return record.data;
}

int32_t VGM_API io_QuerySaveOption(FltSaveRequest *request, FltOptionQuery *query) {
  if (request == nullptr || query == nullptr) return 0;
  return io_FindOption(os_U16(request->options_text), os_U16(query->key), os_U16(query->value), FLT_OPTION_VALUE_CAPACITY);
}

int32_t VGM_API io_SetSaveText(FltSaveRequest *request, int32_t field, const WCHAR *wide_text) {
  const char16_t *text = os_U16(wide_text);
  if (request == nullptr || text == nullptr) return 0;
  if (field == FLT_TEXT_MODULE)
    return static_cast<int32_t>(copy16(os_U16(request->module_name), FLT_MODULE_NAME_CAPACITY, text, FLT_MODULE_NAME_CAPACITY)) + 1;
  if (field != FLT_TEXT_MESSAGE) return 0;
  char16_t *message = os_U16(request->message);
  std::u16string_view current(message, length16(message, FLT_MESSAGE_CAPACITY - 1));
  std::u16string_view added(text, length16(text, FLT_MESSAGE_CAPACITY));
  std::u16string joined(current);
  if (!added.empty() && current.find(added) == std::u16string_view::npos) {
    if (!joined.empty()) joined += u'\n';
    joined += added;
  }
  return static_cast<int32_t>(copy16(message, FLT_MESSAGE_CAPACITY, joined.c_str(), joined.size())) + 1;
}

int32_t VGM_API io_SaveProgress(FltSaveRequest *request, int32_t a, int32_t b) {
  if (request == nullptr) return 0;
  if (request->caller_progress == nullptr) return 1;
  return request->caller_progress(a, b, request->caller_progress_value);
}

int32_t io_ResolutionToMarkup(rx_LayerEntry *entry) {
  if (entry == nullptr) return 0;
  size_t bytes = rx_LayerPropertiesBytes(entry);
  int32_t n = prop_GetMarkup(entry->properties, bytes, nullptr, 0);
  if (n <= 0) return 0;
  // Room for the rewritten values, which may be longer than the old ones.
  std::vector<char> text(static_cast<size_t>(n) + 256, '\0');
  prop_GetMarkup(entry->properties, bytes, text.data(), n + 1);
  const int capacity = static_cast<int>(text.size());
  int32_t rewritten = 0;
  auto rewrite = [&](const char *key, const char *value) {
    if (markup_Set(text.data(), capacity, key, value) != 0) ++rewritten;
  };
  char value[256];
  prop_Record record;
  prop_Phys phys{};
  if (rx_LayerFindRecord(entry, prop_TagPhys, &record) == 1 && record.length >= prop_PhysBytes &&
      prop_ReadPhys(&record, &phys) != 0) {
    for (auto [key, wanted] : {std::pair{"exif.resolution.x", phys.x}, std::pair{"exif.resolution.y", phys.y}}) {
      if (markup_Get(text.data(), key, value, sizeof value, nullptr, nullptr) != 1) continue;
      int64_t target = thousandths(wanted);
      if (thousandths(markup_ParseReal(value)) == target) continue;
      char formatted[48];
      std::snprintf(formatted, sizeof formatted, "%i.%03i", static_cast<int>(target / 1000), static_cast<int>(target % 1000));
      rewrite(key, formatted);
    }
  }
  const int64_t width = entry->surface.width, height = entry->surface.height;
  for (auto [key, wanted] : {std::pair{"exif.pixel_dimension.x", width}, std::pair{"exif.pixel_dimension.y", height},
                             std::pair{"exif.image_width", width}, std::pair{"exif.image_height", height}}) {
    if (markup_Get(text.data(), key, value, sizeof value, nullptr, nullptr) != 1) continue;
    markup_Trim(value, "= \t\r\n");
    if (markup_ParseInt(value) == wanted) continue;
    char formatted[24];
    std::snprintf(formatted, sizeof formatted, "%i", static_cast<int>(wanted));
    rewrite(key, formatted);
  }
  if (rewritten > 0 && prop_SetMarkup(&entry->properties, &entry->propertiesLength, text.data()) == 0) return 0;
  return rewritten;
}
