// The load request record and the callbacks a plug-in calls through it.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "imageio/format_table.h"
#include "imageio/host_tables.h"
#include "imageio/load/load_pipeline.h"
#include "platform/os.h"
#include "raster/layers/properties.h"
#include "raster/thread_state.h"

namespace {

io_LoadCall *callOf(FltLoadRequest *request) { return reinterpret_cast<io_LoadCall *>(request); }

size_t length16(const char16_t *text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

// Copies at most capacity - 1 units and terminates; the length copied.
size_t copy16(char16_t *out, size_t capacity, const char16_t *text) {
  if (capacity == 0) return 0;
  size_t n = text == nullptr ? 0 : length16(text, capacity - 1);
  if (n != 0) std::memmove(out, text, n * sizeof(char16_t));
  out[n] = 0;
  return n;
}

uint64_t elapsedMs(const io_LoadCall *call) {
  uint64_t ticks = os_HighResCounter() - call->request.start_time;
  return static_cast<uint64_t>(std::llround(static_cast<double>(ticks) * 1000.0 / static_cast<double>(call->counterHz)));
}

// The time limit, checked by every callback that may refuse: a plug-in that
// never begins a layer still reports progress, and must stop as well.
bool timeIsUp(io_LoadCall *call) {
  FltLoadRequest &r = call->request;
  if (r.time_limit_ms == 0) return false;
  if (r.flags & FLT_FLAG_RESTART_TIME_LIMIT) {
    r.flags = static_cast<uint16_t>(r.flags & ~FLT_FLAG_RESTART_TIME_LIMIT);
    // Only an interactive caller (one with a window) may keep a slow load going.
    if (r.owner_window != nullptr) r.start_time = os_HighResCounter();
  }
  if (elapsedMs(call) <= r.time_limit_ms) return false;
  r.status = FLT_ERR_TIMEOUT;
  r.warnings |= FLT_WARN_TIMEOUT;
  call->timedOut = true;
  return true;
}

void unlockCurrent(io_LoadCall *call) {
  FltLoadRequest &r = call->request;
  if (call->layers != nullptr && r.current_layer >= 0 && r.current_layer <= FLT_LAST_LAYER_INDEX)
    rx_OwnedUnlock(&call->layers[r.current_layer].surface, 0);  // the table is ours
  r.current_layer = -1;
}

// Bytes of a metadata chunk the plug-in hands over, by its tag's form.
bool chunkOf(uint32_t tag, const void *value, const uint8_t **data, uint32_t *size) {
  const auto *bytes = static_cast<const uint8_t *>(value);
  if (tag == prop_TagMark || tag == prop_TagNote || tag == prop_TagText) {
    size_t n = std::strlen(static_cast<const char *>(value));
    if (n + 1 > prop_RecordMax) return false;
    *data = bytes, *size = static_cast<uint32_t>(n + 1);
    return true;
  }
  uint32_t length;
  std::memcpy(&length, bytes, 4);
  if (length > prop_RecordMax) return false;
  *data = bytes + 4, *size = length;
  return true;
}

// The size of a whole container as its header states it.
size_t containerBytes(const uint8_t *block) {
  uint32_t magic, s;
  std::memcpy(&magic, block, 4);
  if (magic != prop_TagMeta) return 0;
  std::memcpy(&s, block + 4, 4);
  if (s >= prop_SmallMin && s <= prop_SmallMax) return size_t{s} + 8;
  uint32_t big;
  std::memcpy(&big, block + 12, 4);
  return big > prop_RecordMax * 4u ? 0 : size_t{big} + 16;
}

}  // namespace

void io_PrepareLoadCall(io_LoadCall *call, const char16_t *path, rx_LayerEntry *layers, LoadSaveOptions *options) {
  // Everything up to the message buffer zeroed; the buffer itself only
  // emptied: it is read up to its terminator, and clearing all of it costs
  // more than the rest of the record.
  std::memset(call, 0, offsetof(io_LoadCall, message));
  call->message[0] = 0;
  call->options = options;
  call->layers = layers;
  call->counterHz = std::max<uint64_t>(1, os_HighResFrequency());
  FltLoadRequest &r = call->request;
  r.path = os_W(path);
  r.owner_window = options->quiet ? nullptr : options->ownerWindow;
  r.time_limit_ms = options->timeLimitMs;
  r.begin_layer = io_BeginLayer;
  r.set_metadata = io_SetLayerMetadata;
  r.query_option = io_QueryLoadOption;
  r.set_text = io_SetLoadText;
  r.progress = io_LoadProgress;
  io_AttachHostTables(&r);
  r.flags = static_cast<uint16_t>((options->noMarkup ? FLT_FLAG_NO_MARKUP : 0) | (options->extra ? FLT_FLAG_EXTRA : 0) |
                                  (options->preview ? FLT_FLAG_PREVIEW : 0));
  r.layers_begun = 0;
  r.current_layer = -1;
  r.last_layer_index = FLT_LAST_LAYER_INDEX;
  r.layer_table = layers;
  r.message = os_W(call->message);
  r.message_capacity = FLT_MESSAGE_CAPACITY;
  r.module_name = os_W(options->reportingModule);
  r.module_name_capacity = FLT_MODULE_NAME_CAPACITY;
  r.short_text = os_W(options->shortText);
  r.short_text_capacity = FLT_SHORT_TEXT_CAPACITY;
  r.options_text = os_W(options->optionsText);
  r.caller_progress = options->progress;
  r.caller_progress_value = options->progressUser;
  r.start_time = os_HighResCounter();
}

int32_t VGM_API io_BeginLayer(FltLoadRequest *request, uint32_t flags) {
  if (request == nullptr) return 0;
  io_LoadCall *call = callOf(request);
  FltLoadRequest &r = *request;
  // Keeping the system awake has no POSIX counterpart worth a dependency.
  r.status = FLT_ERR_INTERNAL;
  unlockCurrent(call);
  if (timeIsUp(call)) return 0;
  if (r.layers_begun < 0 || r.layers_begun > FLT_LAST_LAYER_INDEX) return 0;

  uint64_t pixels = uint64_t{r.width} * r.height;
  if (pixels != 0 && call->pixelsTaken + pixels > kLoadPixelBudget) {
    r.status = FLT_ERR_BITMAP_TOO_BIG;
    char text[160];
    std::snprintf(text, sizeof text, "A layer of %u x %u pixels would take the image past %llu pixels", r.width,
                  r.height, static_cast<unsigned long long>(kLoadPixelBudget));
    std::u16string hint = os_Utf8ToUtf16(text);
    io_SetLoadText(request, FLT_TEXT_MESSAGE, os_W(hint.c_str()));
    return 0;
  }
  rx_LayerEntry *entry = call->layers != nullptr ? &call->layers[r.layers_begun] : nullptr;
  uint32_t creation = (flags & FLT_BEGIN_LOWER_LIMIT) ? rx_CreateLowerLimit : rx_CreateNoShrink;
  if (call->options->heapLayers) creation |= rx_CreateMemory;
  bool fits = r.width <= 0x7FFFFFFF && r.height <= 0x7FFFFFFF;
  // The layer records are the library's own table: created and locked without a probe.
  rx_ThreadState *state = rx_GetThreadState();
  if (!fits || state == nullptr || entry == nullptr ||
      rx_OwnedCreate(state, &entry->surface, static_cast<int32_t>(r.width), static_cast<int32_t>(r.height),
                     creation) == 0) {
    int32_t error = !fits ? rx_ErrTooBig : entry == nullptr ? rx_ErrNotSurface : state != nullptr ? state->lastError : 0;
    r.status = FLT_ERR_BITMAP;
    if (r.width == 0 || r.height == 0) r.status = FLT_ERR_BITMAP_ZERO;
    else if (error == rx_ErrNoMemory) r.status = FLT_ERR_OUT_OF_MEMORY;
    else if (error == rx_ErrTooBig) r.status = FLT_ERR_BITMAP_TOO_BIG;
    return 0;
  }
  if (rx_OwnedLock(state, &entry->surface, 0) == 0) {
    rx_OwnedFree(state, &entry->surface);
    return 0;
  }
  call->pixelsTaken += uint64_t{entry->surface.width} * entry->surface.height;
  r.current_layer = r.layers_begun++;
  call->usedEntries = std::max(call->usedEntries, r.layers_begun);
  r.layer_number = static_cast<uint32_t>(r.layers_begun);
  r.width = entry->surface.width;
  r.height = entry->surface.height;
  r.stride = entry->surface.stride;
  r.pixels = entry->surface.bits;
  std::memcpy(entry->name, r.name, sizeof entry->name);
  entry->name[31] = 0;
  entry->x = r.x;
  entry->y = r.y;
  entry->flags = r.layer_flags;
  entry->frame = r.frame_delay;
  entry->attributeA = r.layer_attribute;
  entry->attributeB = r.layer_transparency;
  entry->properties = nullptr;
  entry->propertiesLength = 0;
  r.metadata = nullptr;
  if (r.frame_delay != 0 && (r.shortest_delay == 0 || r.frame_delay < r.shortest_delay)) r.shortest_delay = r.frame_delay;
  r.status = FLT_OK;
  return 1;
}

int32_t VGM_API io_SetLayerMetadata(FltLoadRequest *request, uint32_t tag, const void *value) {
  if (request == nullptr || value == nullptr) return 0;
  io_LoadCall *call = callOf(request);
  if (request->current_layer < 0 || request->current_layer > FLT_LAST_LAYER_INDEX) return 0;
  rx_LayerEntry &entry = call->layers[request->current_layer];
  if (tag == prop_TagMeta) {
    size_t bytes = containerBytes(static_cast<const uint8_t *>(value));
    if (bytes == 0 || prop_Validate(value, bytes) == 0) return 0;
    HGLOBAL block = GlobalAlloc(GMEM_FIXED, bytes + prop_Spare);
    if (block == nullptr) return 0;
    std::memcpy(block, value, bytes);
    std::memset(static_cast<uint8_t *>(block) + bytes, 0, prop_Spare);
    os_GlobalRelease(entry.properties);
    entry.properties = block;
    entry.propertiesLength = static_cast<uint32_t>(bytes);
  } else {
    const uint8_t *data = nullptr;
    uint32_t size = 0;
    if (!chunkOf(tag, value, &data, &size)) return 0;
    if (prop_SetRecord(&entry.properties, &entry.propertiesLength, tag, data, size) == 0) return 0;
  }
  request->metadata = entry.properties;
  return 1;
}

int32_t io_FindOption(const char16_t *options_text, const char16_t *key, char16_t *value, size_t capacity) {
  if (value != nullptr && capacity > 0) value[0] = 0;
  if (options_text == nullptr || key == nullptr || key[0] == 0) return 0;
  std::u16string_view text(options_text), wanted(key);
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find_first_of(u"\r\n", at);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = text.substr(at, end - at);
    if (line.size() > wanted.size() && io_SameIgnoringCase(line.substr(0, wanted.size()), wanted)) {
      size_t eq = line.find_first_not_of(u" \t", wanted.size());
      if (eq != std::u16string_view::npos && line[eq] == u'=') {
        std::u16string found(line.substr(eq + 1));
        return static_cast<int32_t>(value == nullptr ? found.size() : copy16(value, capacity, found.c_str()));
      }
    }
    at = end + 1;
  }
  return 0;
}

int32_t VGM_API io_QueryLoadOption(FltLoadRequest *request, FltOptionQuery *query) {
  if (request == nullptr || query == nullptr) return 0;
  return io_FindOption(os_U16(request->options_text), os_U16(query->key), os_U16(query->value), FLT_OPTION_VALUE_CAPACITY);
}

int32_t VGM_API io_SetLoadText(FltLoadRequest *request, int32_t field, const WCHAR *wide_text) {
  const char16_t *text = os_U16(wide_text);
  if (request == nullptr || text == nullptr) return 0;
  if (field == FLT_TEXT_MODULE) return static_cast<int32_t>(copy16(os_U16(request->module_name), FLT_MODULE_NAME_CAPACITY, text)) + 1;
  if (field == FLT_TEXT_SHORT) return static_cast<int32_t>(copy16(os_U16(request->short_text), FLT_SHORT_TEXT_CAPACITY, text)) + 1;
  if (field != FLT_TEXT_MESSAGE) return 0;
  char16_t *message = os_U16(request->message);
  std::u16string_view current(message, length16(message, FLT_MESSAGE_CAPACITY - 1));
  std::u16string_view added(text, length16(text, FLT_MESSAGE_CAPACITY));
  if (!added.empty() && current.find(added) == std::u16string_view::npos) {
    std::u16string joined(current);
    if (!joined.empty()) joined += u'\n';
    joined += added;
    return static_cast<int32_t>(copy16(message, FLT_MESSAGE_CAPACITY, joined.c_str())) + 1;
  }
  return static_cast<int32_t>(current.size()) + 1;
}

int32_t VGM_API io_LoadProgress(FltLoadRequest *request, int32_t a, int32_t b) {
  if (request == nullptr) return 0;
  io_LoadCall *call = callOf(request);
  if (timeIsUp(call)) return 0;
  if (request->caller_progress == nullptr) return 1;
  return request->caller_progress(a, b, request->caller_progress_value);
}
