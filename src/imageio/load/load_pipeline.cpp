#include "imageio/load/load_pipeline.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "imageio/format_table.h"
#include "imageio/plugin_files.h"
#include "imageio/plugin_list.h"
#include "imageio/plugin_probe.h"
#include "imageio/plugin_registry.h"
#include "imageio/result_codes.h"
#include "kv5/kv5_reader.h"
#include "markup/markup_text.h"
#include "platform/os.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/properties.h"

static_assert(kv5_PixelBudget == kLoadPixelBudget, "documents and plug-ins share one budget per load");

namespace {

io_LayerReader gNativeReader = nullptr;
io_LayerReader gPluginReader = nullptr;

using LoadFn = int32_t(VGM_API *)(FltLoadRequest *);

void setMessage(LoadSaveOptions *options, std::u16string_view text) {
  size_t n = std::min(text.size(), std::size(options->message) - 1);
  std::copy_n(text.begin(), n, options->message);
  options->message[n] = 0;
}

void trimMessage(char16_t *text) {
  std::u16string_view view(text);
  size_t first = view.find_first_not_of(u" \t\r\n\f\v");
  if (first == std::u16string_view::npos) {
    text[0] = 0;
    return;
  }
  size_t last = view.find_last_not_of(u" \t\r\n\f\v");
  std::memmove(text, text + first, (last - first + 1) * sizeof(char16_t));
  text[last - first + 1] = 0;
}

void copyBounded(char16_t *out, size_t capacity, std::u16string_view text) {
  size_t n = std::min(text.size(), capacity - 1);
  std::copy_n(text.begin(), n, out);
  out[n] = 0;
}

// The extension that chooses the plug-in: from the file name's last dot, at
// most 31 units, lower case; the temporary ones count as none.
std::u16string extensionOf(std::u16string_view path) {
  std::u16string_view name = io_FileNameOf(path);
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos) return {};
  std::u16string ext(name.substr(dot, 31));
  for (char16_t &c : ext) c = io_FoldCase(c);
  return io_IsTemporaryExtension(ext) ? std::u16string() : ext;
}

// Only entries that hold something: the table is large and mostly empty.
void releaseLayers(rx_LayerEntry *layers) {
  for (int32_t i = 0; i < rx_LayerTableEntries; ++i)
    if (layers[i].surface.signature != 0 || layers[i].properties != nullptr) rx_LayerEntryRelease(&layers[i]);
}

// A plug-in already loaded (the cached one, mostly) is found by path at no
// cost; only a new one needs the dependency search.
// Loads of one thread and the module paths another reads are ordered by the
// system loader's own lock, which race detectors cannot see; the pipeline's
// module work is ordered by this lock as well, so that they can.
std::mutex gModuleLock;

template <typename Work>
auto underModuleLock(Work &&work) {
  std::lock_guard<std::mutex> guard(gModuleLock);
  return work();
}

os_Module *loadPlugin(const std::u16string &path) {
  return underModuleLock([&] {
    os_Module *module = os_ModuleLoad(path.c_str());
    return module != nullptr ? module : io_LoadPlugin(path.c_str());
  });
}

void keepAndFree(os_Module *module) {
  underModuleLock([&] {
    io_PluginCacheKeep(module);
    os_ModuleFree(module);
    return 0;
  });
}

void freeModule(os_Module *module) {
  underModuleLock([&] {
    os_ModuleFree(module);
    return 0;
  });
}

// Zeroed layer tables kept between loads: a table is large, and clearing a
// fresh one costs more than a small image's whole load. Returned tables have
// their used entries released (and so zeroed) first.
struct TablePool {
  std::mutex lock;
  std::vector<rx_LayerEntry *> spare;
  ~TablePool() {
    for (rx_LayerEntry *table : spare) rx_LayerTableFree(table);
  }
};
TablePool gTables;
constexpr size_t kSpareTables = 8;

rx_LayerEntry *takeTable() {
  {
    std::lock_guard<std::mutex> guard(gTables.lock);
    if (!gTables.spare.empty()) {
      rx_LayerEntry *table = gTables.spare.back();
      gTables.spare.pop_back();
      return table;
    }
  }
  return rx_LayerTableCreate();
}

void giveTable(rx_LayerEntry *table) {
  releaseLayers(table);
  {
    std::lock_guard<std::mutex> guard(gTables.lock);
    if (gTables.spare.size() < kSpareTables) {
      gTables.spare.push_back(table);
      return;
    }
  }
  rx_LayerTableFree(table);
}

bool progress(LoadSaveOptions *options, int32_t a, int32_t b) {
  return options->progress == nullptr || options->progress(a, b, options->progressUser) != 0;
}

// What a failed plug-in leaves for the report.
struct Report {
  int32_t code = -1;
  std::u16string module;   // its file name
  std::u16string message;  // its own text, the hint
};

// One run of a loaded plug-in. The layer count on success (code >= 1 with
// layers), else 0; `*code` the plug-in's result. After a fault the module
// must stay loaded and `*faulted` is set.
int32_t runPlugin(os_Module *module, const std::u16string &plugin, rx_LayerEntry *layers, LoadSaveOptions *options,
                  const char16_t *path, io_LoadCall *call, int32_t *code, bool *faulted) {
  *faulted = false;
  auto entry = reinterpret_cast<LoadFn>(os_ModuleSymbol(module, "flt_LoadImage"));
  if (entry == nullptr) {
    *code = FLT_ERR_UNSUPPORTED;
    return 0;
  }
  copyBounded(options->reportingModule, std::size(options->reportingModule), io_FileNameOf(plugin));
  progress(options, 0, 0);
  io_PrepareLoadCall(call, path, layers, options);
  int32_t result = FLT_ERROR;
  FltLoadRequest *request = &call->request;
  bool answered = os_Guard([&result, entry, request] { result = entry(request); });
  if (call->request.current_layer >= 0) rx_SurfaceUnlock(&layers[call->request.current_layer].surface, 0);
  call->request.current_layer = -1;
  progress(options, 0, 0);
  if (!answered) {
    int signal = os_GuardLastSignal();
    io_ReportPluginFault(plugin, "flt_LoadImage", io_CallOutcome::faulted, signal);
    std::string hint = "The plug-in " + os_Utf16ToUtf8(io_FileNameOf(plugin)) + " crashed in flt_LoadImage (signal " +
                       std::to_string(signal) + ") and will not be used again";
    copyBounded(call->message, FLT_MESSAGE_CAPACITY, os_Utf8ToUtf16(hint));
    releaseLayers(layers);
    *faulted = true;
    *code = FLT_ERR_COMPONENT_FAILED;
    return 0;
  }
  options->pluginFlagBit1 = (call->request.flags & FLT_FLAG_REPORTED) ? 1 : 0;
  // The plug-in may have turned our refusal into a cancel of its own.
  if (call->timedOut && result < 1) result = FLT_ERR_TIMEOUT;
  *code = result;
  return result >= 1 ? call->request.layers_begun : 0;
}

// Plug-ins that faulted while probing for this load: the first one, if any.
bool newProbeFault(const std::vector<std::u16string> &before, Report *report) {
  std::shared_ptr<const io_PluginList> list = io_ListInstalledPlugins();
  for (size_t i = 0; i < list->count(); ++i) {
    std::u16string path(list->at(i));
    io_FaultRecord record;
    if (std::find(before.begin(), before.end(), path) != before.end() || !io_FaultRecordFor(path, &record)) continue;
    std::string what = record.timedOut ? "did not answer" : "crashed (signal " + std::to_string(record.signal) + ")";
    report->code = FLT_ERR_COMPONENT_FAILED;
    report->module = io_FileNameOf(path);
    report->message = os_Utf8ToUtf16("The plug-in " + os_Utf16ToUtf8(report->module) + " " + what + " in " +
                                     record.entryPoint + " and will not be used again");
    return true;
  }
  return false;
}

std::vector<std::u16string> faultedPlugins() {
  std::vector<std::u16string> out;
  std::shared_ptr<const io_PluginList> list = io_ListInstalledPlugins();
  for (size_t i = 0; i < list->count(); ++i)
    if (io_FaultRecordFor(list->at(i), nullptr)) out.emplace_back(list->at(i));
  return out;
}

int32_t finishSuccess(rx_LayerEntry *layers, LoadSaveOptions *options, const io_LoadCall &call, int32_t count,
                      int32_t code, Report *report) {
  if (rx_SurfaceIsValid(&layers[0].surface) == 0) {
    report->code = code;
    return -1;
  }
  uint8_t kind = call.request.document_kind;
  if (kind < 1 || kind > 3) kind = (call.request.shortest_delay != 0 && count > 1) ? rx_DocFrames : rx_DocComposite;
  options->documentKind = kind;
  options->documentSubKind = call.request.document_sub_kind;
  io_ApplyWarningMask(call.request.warnings, options);
  options->layerCount = static_cast<uint32_t>(count);
  options->handled = 1;
  uint32_t w = layers[0].surface.width, h = layers[0].surface.height;
  if (kind == rx_DocImageList) {
    for (int32_t i = 1; i < count; ++i) {
      w = std::max(w, layers[i].surface.width);
      h = std::max(h, layers[i].surface.height);
    }
  }
  options->sourceWidth = w;
  options->sourceHeight = h;
  return count;
}

int32_t finishFailure(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path, std::u16string_view ext,
                      const Report &report) {
  releaseLayers(layers);
  int32_t code = report.code;
  options->handled = (code == -90 || code == -1) ? 0 : 1;
  if (code == FLT_ERR_OUT_OF_MEMORY) options->outOfMemory = 1;
  char16_t hint[kMessageCapacity];
  copyBounded(hint, kMessageCapacity, report.message);
  if (!ext.empty() && (code == -5 || code == -4 || code == -2 || code == -1))
    io_DiagnoseExtension(ext, &code, kSubCodeLoad, hint);
  copyBounded(options->reportingModule, std::size(options->reportingModule), report.module);
  io_ComposeMessage(code, kSubCodeLoad, path, report.module.empty() ? nullptr : report.module.c_str(), hint,
                    options->message);
  trimMessage(options->message);
  if ((code == -70 || code == -40 || code == -1 || code == 0) && os_Utf16Length(path) >= 259) {
    std::u16string text = u"The path is too long\n\n" + std::u16string(hint);
    setMessage(options, text);
    trimMessage(options->message);
  }
  return 0;
}

// Header checks before any plug-in: an unreadable file, one byte throughout,
// a photometric data file. False with the message set.
bool checkFile(LoadSaveOptions *options, const char16_t *path, std::u16string_view ext, uint8_t *header,
               size_t *header_size) {
  os_File *file = os_FileOpen(path, os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  if (file == nullptr) {
    setMessage(options, u"Error: Cannot open the file for reading, please check access");
    return false;
  }
  size_t got = 0;
  int read = os_FileRead(file, header, FLT_PROBE_HEADER_MAX, &got);
  if (!read || got < 4) {
    os_FileClose(file);
    setMessage(options, u"Error: Cannot read data from the file, file may be incomplete");
    return false;
  }
  *header_size = got;
  bool uniform = std::all_of(header, header + got, [&](uint8_t b) { return b == header[0]; });
  if (uniform) {
    std::vector<uint8_t> block(kScanBlockBytes);
    os_FileSeek(file, 0, os_SeekFrom::begin, nullptr);
    size_t n = 0;
    while (uniform && os_FileRead(file, block.data(), block.size(), &n) && n > 0)
      uniform = std::all_of(block.begin(), block.begin() + static_cast<ptrdiff_t>(n), [&](uint8_t b) { return b == header[0]; });
  }
  os_FileClose(file);
  if (uniform) {
    char text[80];
    std::snprintf(text, sizeof text, "Error: The file is corrupted (all bytes are '%02x')", header[0]);
    setMessage(options, os_Utf8ToUtf16(text));
    return false;
  }
  if (ext == u".ies" && got >= 7 &&
      (std::memcmp(header, "IESNA:LM", std::min<size_t>(8, got)) == 0 || std::memcmp(header, "IESNA91", 7) == 0)) {
    setMessage(options, u"Error: The file is a known format that is not an image file\n\nHint:\n"
                        u"This is a photometric data file describing a light source, not an image");
    options->handled = 0;
    return false;
  }
  return true;
}

// One opaque-mode layer that nothing transforms flattens to itself: it is
// handed over as it is instead of being drawn onto a new canvas.
bool plainSingleLayer(rx_LayerEntry *layers, int32_t count, const LoadSaveOptions *options) {
  const rx_LayerEntry &layer = layers[0];
  uint32_t mode = layer.flags & rx_LayerModeMask;
  if (count != 1 || options->documentKind != rx_DocComposite || options->sheet || options->exactSize ||
      options->useFrameIndex || (mode != 0 && mode != rx_ModeReplace) || layer.attributeB != 0)
    return false;
  bool fit = options->fitInside && options->wantedWidth >= 16 && options->wantedHeight >= 16;
  if (fit && (layer.surface.width > static_cast<uint32_t>(options->wantedWidth) ||
              layer.surface.height > static_cast<uint32_t>(options->wantedHeight)))
    return false;
  if (layer.properties == nullptr) return true;
  prop_Record record;
  for (uint32_t tag : {prop_TagSprite, prop_TagAnim, prop_TagBlend, prop_TagAdjust})
    if (rx_LayerFindRecord(&layer, tag, &record) != 0) return false;
  return true;
}

// This library's file; empty when it came with the program and cannot be unloaded.
const std::u16string &selfPath() {
  static const std::u16string path = [] {
    const void *here = reinterpret_cast<const void *>(&io_LoadDriver);
    return os_ModuleLoadedWithProgram(here) ? std::u16string() : os_ModulePathOf(here);
  }();
  return path;
}

int32_t readNative(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  return (gNativeReader != nullptr ? gNativeReader : kv5_Read)(layers, options, path);
}

int32_t readPlugins(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  return (gPluginReader != nullptr ? gPluginReader : io_PluginLoader)(layers, options, path);
}

}  // namespace

void io_SetLoadReadersForTests(io_LayerReader native, io_LayerReader plugins) {
  gNativeReader = native;
  gPluginReader = plugins;
}

int32_t io_PluginLoader(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  options->pluginFlagBit1 = 0;
  options->outOfMemory = 0;
  std::u16string ext = extensionOf(path);
  uint8_t header[FLT_PROBE_HEADER_MAX] = {};
  size_t headerSize = 0;
  if (!checkFile(options, path, ext, header, &headerSize)) return 0;

  io_LoadCall call;
  Report report;
  int32_t code = FLT_ERROR;
  bool faulted = false;

  // The plug-in remembered for this extension, if any.
  std::u16string remembered;
  if (!ext.empty() && ext.size() <= 15 && io_RegistryLookup(kRegistryLoad, ext, &remembered)) {
    if (os_Module *module = loadPlugin(remembered)) {
      int32_t count = runPlugin(module, remembered, layers, options, path, &call, &code, &faulted);
      if (count > 0) {
        keepAndFree(module);
        int32_t done = finishSuccess(layers, options, call, count, code, &report);
        return done > 0 ? done : finishFailure(layers, options, path, ext, report);
      }
      releaseLayers(layers);
      if (!faulted) freeModule(module);
      Report mine{code, std::u16string(options->reportingModule), std::u16string(call.message)};
      if (faulted || io_IsFinalCode(code, options)) return finishFailure(layers, options, path, ext, mine);
      if (code < -1) report = mine;
    }
  }

  // Probing every installed plug-in.
  std::vector<std::u16string> faultedBefore = faultedPlugins();
  std::vector<io_Candidate> candidates =
      underModuleLock([&] { return io_CollectLoadCandidates(ext, header, headerSize); });
  Report fault;
  if (newProbeFault(faultedBefore, &fault)) return finishFailure(layers, options, path, ext, fault);
  for (const io_Candidate &candidate : candidates) {
    if (candidate.path.empty()) break;
    if (options->progress != nullptr && options->progress(0, 1000, options->progressUser) == 0) {
      return finishFailure(layers, options, path, ext, Report{FLT_ERR_CANCELLED, {}, {}});
    }
    os_Module *module = loadPlugin(candidate.path);
    if (module == nullptr) continue;
    int32_t count = runPlugin(module, candidate.path, layers, options, path, &call, &code, &faulted);
    if (count > 0) {
      keepAndFree(module);
      if (candidate.score >= 128) {
        bool weak = (candidate.flags & (FLT_PROBE_WEAK | FLT_PROBE_WEAKER)) != 0 || call.request.warnings != 0;
        io_RegistryRemember(kRegistryLoad, ext, candidate.path, weak);
      } else if (candidate.score <= 0) {
        call.request.warnings |= ext.empty() ? FLT_WARN_EXTENSION_MISSING : FLT_WARN_EXTENSION_MISMATCH;
      }
      int32_t done = finishSuccess(layers, options, call, count, code, &report);
      return done > 0 ? done : finishFailure(layers, options, path, ext, report);
    }
    releaseLayers(layers);
    if (!faulted) freeModule(module);
    Report mine{code, std::u16string(options->reportingModule), std::u16string(call.message)};
    if (faulted || io_IsFinalCode(code, options)) return finishFailure(layers, options, path, ext, mine);
    if (code < report.code || (code == -2 && report.code == -44)) report = mine;
  }
  return finishFailure(layers, options, path, ext, report);
}

int32_t io_ResolutionFromMarkup(rx_LayerEntry *entry) {
  size_t bytes = rx_LayerPropertiesBytes(entry);
  int32_t n = prop_GetMarkup(entry->properties, bytes, nullptr, 0);
  if (n <= 0) return 0;
  std::string text(static_cast<size_t>(n) + 1, '\0');
  prop_GetMarkup(entry->properties, bytes, text.data(), n + 1);
  auto value = [&](const char *key) {
    char out[256];
    if (markup_Get(text.c_str(), key, out, sizeof out, nullptr, nullptr) != 1) return 0.0;
    // Only a value that holds a number counts: "abc" is not 0 dpi but no value.
    if (std::strpbrk(out, "0123456789") == nullptr) return 0.0;
    double v = markup_ParseReal(out);
    return v > 0 ? v : 0.0;
  };
  double x = value("exif.resolution.x"), y = value("exif.resolution.y");
  if (x <= 0) x = y;
  if (y <= 0) y = x;
  if (x <= 0) return 0;
  prop_Phys phys{x, y, 0};
  uint8_t record[prop_PhysBytes];
  prop_WritePhys(&phys, record);
  return prop_SetRecord(&entry->properties, &entry->propertiesLength, prop_TagPhys, record, prop_PhysBytes);
}

int32_t io_LoadDriver(const char16_t *path, rx_LayerEntry *layers, LoadSaveOptions *options) {
  if (path == nullptr || path[0] == 0 || layers == nullptr || options == nullptr) return 0;
  // The wait cursor belongs to a desktop session; the POSIX build has none to change.
  options->documentKind = 0;
  options->documentSubKind = 0;
  options->message[0] = 0;
  if (options->ownerWindow == nullptr) options->quiet = 1;
  if (options->timeLimitMs < kLoadTimeLimitMin || options->timeLimitMs > kLoadTimeLimitMax)
    options->timeLimitMs = kLoadTimeLimitDefault;
  const LoadSaveOptions original = *options;

  int32_t count = 0;
  size_t length = os_Utf16Length(path);
  std::u16string file(path, length);
  if (length >= os_MaxPath) {
    setMessage(options, u"The path is too long");
  } else {
    std::u16string ext = extensionOf(file);
    if (ext == u".lnk") {
      std::u16string target = os_LinkTarget(file.c_str());
      if (!target.empty()) file = target;  // any other ".lnk" is loaded as it is
    }
    if (!os_FileExists(file.c_str())) {
      setMessage(options, u"The specified file does not exist");
    } else {
      // Keep this library loaded while foreign code runs inside it.
      os_Module *self = selfPath().empty() ? nullptr : underModuleLock([] { return os_ModuleLoad(selfPath().c_str()); });
      bool kv5 = io_SameIgnoringCase(extensionOf(file), u".kv5");
      for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
        *options = original;
        options->handled = 0;
        releaseLayers(layers);
        count = readNative(layers, options, file.c_str());
        if (count <= 0 && !options->handled) {
          *options = original;
          releaseLayers(layers);
          count = readPlugins(layers, options, file.c_str());
          if (count <= 0 && !options->handled && kv5) {
            *options = original;
            releaseLayers(layers);
            count = readNative(layers, options, file.c_str());
          }
        }
        progress(options, 0, 0);
        if (count <= 0) break;
        count = std::min(count, rx_LayerTableCapacity);
        bool allValid = true;
        for (int32_t i = 0; i < count && allValid; ++i) allValid = rx_SurfaceIsValid(&layers[i].surface) != 0;
        if (allValid) break;
        releaseLayers(layers);  // after the last attempt they stay released and flattening fails
      }
      if (self != nullptr) freeModule(self);
    }
  }
  if (count <= 0) {
    if (os_Utf16Length(options->message) < 3) setMessage(options, u"An unknown error occurred during load");
    trimMessage(options->message);
    releaseLayers(layers);
    return 0;
  }

  for (int32_t i = 0; i < count; ++i) io_ResolutionFromMarkup(&layers[i]);
  uint32_t w = layers[0].surface.width, h = layers[0].surface.height;
  if (options->documentKind == rx_DocImageList && count > 2) {
    uint64_t best = 0;
    for (int32_t i = 0; i < count; ++i) {
      uint64_t area = uint64_t{layers[i].surface.width} * layers[i].surface.height;
      if (area >= best) best = area, w = layers[i].surface.width, h = layers[i].surface.height;
    }
  } else if (options->documentKind == rx_DocFrames) {
    for (int32_t i = 0; i < count; ++i) w = std::max(w, layers[i].surface.width), h = std::max(h, layers[i].surface.height);
  }
  options->resultWidth = w;
  options->resultHeight = h;
  if (options->sourceWidth == 0 && options->sourceHeight == 0) options->sourceWidth = w, options->sourceHeight = h;
  io_ShowWarningNotice(options);
  return count;
}

int32_t io_LoadFrontEnd(const char16_t *path, rx_Surface *out, LoadSaveOptions *options, HGLOBAL *markup_out) {
  if (path == nullptr || out == nullptr || options == nullptr) return 0;
  if (markup_out != nullptr) *markup_out = nullptr;
  rx_LayerEntry *layers = takeTable();
  if (layers == nullptr) {
    setMessage(options, u"Error: The system ran out of RAM while servicing the request");
    options->outOfMemory = 1;
    return 0;
  }
  int32_t count = io_LoadDriver(path, layers, options);
  if (count <= 0) {
    giveTable(layers);
    return 0;
  }
  if (rx_SurfaceIsValid(out)) rx_SurfaceFree(out);
  if (markup_out != nullptr) {
    uint32_t length = 0;
    HGLOBAL merged = rx_LayersMergeMarkup(layers, count, &length);
    int32_t n = prop_GetMarkup(merged, prop_BlockBytes(merged, length), nullptr, 0);
    if (n >= 0) {
      HGLOBAL text = GlobalAlloc(GPTR, static_cast<SIZE_T>(n) + 1);
      if (text != nullptr) prop_GetMarkup(merged, prop_BlockBytes(merged, length), static_cast<char *>(text), n + 1);
      *markup_out = text;
    }
    os_GlobalRelease(merged);
  }
  int32_t flattened = plainSingleLayer(layers, count, options) ? rx_SurfaceSwap(out, &layers[0].surface)
                                                                : rx_LayersFlatten(out, -1, layers, count, options);
  giveTable(layers);
  if (flattened > 0 && rx_SurfaceIsValid(out)) return count;
  if (markup_out != nullptr) os_GlobalRelease(*markup_out), *markup_out = nullptr;
  if (os_Utf16Length(options->message) < 3) setMessage(options, u"An unknown error occurred during load");
  return 0;
}

os_Module *io_PipelineLoadPlugin(const std::u16string &path) { return loadPlugin(path); }
void io_PipelineKeepPlugin(os_Module *module) { keepAndFree(module); }
void io_PipelineFreePlugin(os_Module *module) { freeModule(module); }
os_Module *io_PipelineHoldSelf() {
  return selfPath().empty() ? nullptr : underModuleLock([] { return os_ModuleLoad(selfPath().c_str()); });
}
std::vector<io_Candidate> io_PipelineSaveCandidates(std::u16string_view extension) {
  return underModuleLock([&] { return io_CollectSaveCandidates(extension); });
}
std::u16string io_PipelineExtension(std::u16string_view path) { return extensionOf(path); }
void io_TrimMessage(char16_t *text) { trimMessage(text); }
