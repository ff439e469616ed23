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
#include "kv5/kv5_read_common.h"
#include "kv5/kv5_reader.h"
#include "markup/markup_text.h"
#include "platform/os.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/properties.h"
#include "raster/thread_state.h"

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

// Only entries that hold something, and only the first `used` of them: the
// table is large and mostly empty, and a scan of it costs more than a small
// image's whole load.
void releaseLayers(rx_LayerEntry *layers, int32_t used = rx_LayerTableEntries) {
  for (int32_t i = 0; i < std::min(used, rx_LayerTableEntries); ++i)
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

// A plug-in for one run: the cached one, borrowed, or one loaded for the run.
// Borrowing skips the loader altogether, which for a small image is a good
// part of its load.
struct RunModule {
  os_Module *module = nullptr;
  std::shared_ptr<io_CachedPlugin> cached;
};

RunModule takeRunModule(const std::u16string &path) {
  if (std::shared_ptr<io_CachedPlugin> cached = io_PluginCacheBorrow(path)) return {cached->module, std::move(cached)};
  return {loadPlugin(path), nullptr};
}

// After the run: kept in the plug-in cache (it read the file), or let go.
// A plug-in that faulted stays loaded for good, as its code may still be
// referenced: a borrowed one gets a reference of its own that is never freed.
void endRunModule(RunModule &run, bool keep, bool faulted) {
  underModuleLock([&] {
    if (run.cached != nullptr) {
      if (keep) io_PluginCacheKeepBorrowed(run.cached);
      if (faulted) (void)os_ModuleLoad(run.cached->path.c_str());
      run.cached.reset();
    } else if (keep) {
      io_PluginCacheKeep(run.module);
      os_ModuleFree(run.module);
    } else if (!faulted) {
      os_ModuleFree(run.module);
    }
    return 0;
  });
  run.module = nullptr;
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

void giveTable(rx_LayerEntry *table, int32_t used) {
  releaseLayers(table, used);
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
int32_t runPlugin(const RunModule &module, const std::u16string &plugin, rx_LayerEntry *layers, LoadSaveOptions *options,
                  const char16_t *path, io_LoadCall *call, int32_t *code, bool *faulted) {
  *faulted = false;
  auto entry = reinterpret_cast<LoadFn>(module.cached != nullptr ? module.cached->loadEntry
                                                                  : os_ModuleSymbol(module.module, "flt_LoadImage"));
  if (entry == nullptr) {
    io_PrepareLoadCall(call, path, layers, options);  // what the caller reads of a run
    *code = FLT_ERR_UNSUPPORTED;
    return 0;
  }
  copyBounded(options->reportingModule, std::size(options->reportingModule), io_FileNameOf(plugin));
  progress(options, 0, 0);
  io_PrepareLoadCall(call, path, layers, options);  // after the caller's progress: the time limit runs from the call
  int32_t result = FLT_ERROR;
  FltLoadRequest *request = &call->request;
  bool answered = os_Guard([&result, entry, request] { result = entry(request); });
  int32_t current = call->request.current_layer;
  if (current >= 0 && current < call->usedEntries) rx_OwnedUnlock(&layers[current].surface, 0);  // our table
  call->request.current_layer = -1;
  progress(options, 0, 0);
  if (!answered) {
    int signal = os_GuardLastSignal();
    io_ReportPluginFault(plugin, "flt_LoadImage", io_CallOutcome::faulted, signal);
    std::string hint = "The plug-in " + os_Utf16ToUtf8(io_FileNameOf(plugin)) + " crashed in flt_LoadImage (signal " +
                       std::to_string(signal) + ") and will not be used again";
    copyBounded(call->message, FLT_MESSAGE_CAPACITY, os_Utf8ToUtf16(hint));
    releaseLayers(layers, call->usedEntries);
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
  if (rx_SurfaceIsValidOwned(&layers[0].surface) == 0) {
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

int32_t finishFailure(rx_LayerEntry *layers, int32_t used, LoadSaveOptions *options, const char16_t *path,
                      std::u16string_view ext, const Report &report) {
  releaseLayers(layers, used);
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

// The file's first bytes, read by one open for the driver, the native
// reader's question and the plug-in loader's checks.
struct FileHead {
  bool opened = false;
  bool readable = false;  // the read worked and gave at least 4 bytes
  bool uniform = false;   // one byte value throughout the file
  size_t size = 0;
  uint8_t bytes[FLT_PROBE_HEADER_MAX] = {};
};

FileHead readHead(const char16_t *path) {
  FileHead head;
  int read = os_FileReadHead(path, head.bytes, sizeof head.bytes, &head.size);
  head.opened = read != 0;
  head.readable = read == 1 && head.size >= 4;
  const uint8_t first = head.bytes[0];
  head.uniform = head.readable && std::all_of(head.bytes, head.bytes + head.size, [&](uint8_t b) { return b == first; });
  // Only a header of one byte value throughout makes the whole file worth a look.
  os_File *file = head.uniform ? os_FileOpen(path, os_AccessRead, os_ShareRead, os_Disposition::openExisting) : nullptr;
  if (file != nullptr) {
    std::vector<uint8_t> block(kScanBlockBytes);
    size_t n = 0;
    while (head.uniform && os_FileRead(file, block.data(), block.size(), &n) && n > 0)
      head.uniform = std::all_of(block.begin(), block.begin() + static_cast<ptrdiff_t>(n), [&](uint8_t b) { return b == first; });
    os_FileClose(file);
  }
  return head;
}

// Header checks before any plug-in: an unreadable file, one byte throughout,
// a photometric data file. False with the message set.
bool checkFile(LoadSaveOptions *options, const FileHead &head, std::u16string_view ext) {
  if (!head.opened) {
    setMessage(options, u"Error: Cannot open the file for reading, please check access");
    return false;
  }
  if (!head.readable) {
    setMessage(options, u"Error: Cannot read data from the file, file may be incomplete");
    return false;
  }
  if (head.uniform) {
    char text[80];
    std::snprintf(text, sizeof text, "Error: The file is corrupted (all bytes are '%02x')", head.bytes[0]);
    setMessage(options, os_Utf8ToUtf16(text));
    return false;
  }
  const uint8_t *header = head.bytes;
  if (ext == u".ies" && head.size >= 7 &&
      (std::memcmp(header, "IESNA:LM", std::min<size_t>(8, head.size)) == 0 || std::memcmp(header, "IESNA91", 7) == 0)) {
    setMessage(options, u"Error: The file is a known format that is not an image file\n\nHint:\n"
                        u"This is a photometric data file describing a light source, not an image");
    options->handled = 0;
    return false;
  }
  return true;
}

// The native reader decides by the same first 32 bytes: the document magic,
// or a header that states more bytes than the file has (an older document).
// Any other file it only opens and closes again, so it is not asked.
bool nativeMayRead(const FileHead &head, bool kv5_extension) {
  if (gNativeReader != nullptr || !head.opened || kv5_extension) return true;
  if (head.size < 8) return false;
  uint32_t stated = kv5_Load32(head.bytes + 4);
  return kv5_Load32(head.bytes) == kv5_Magic || head.size < std::min<size_t>(stated, sizeof head.bytes);
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

// One plug-in loader run: what every plug-in it tries shares.
struct PluginRun {
  rx_LayerEntry *layers;
  LoadSaveOptions *options;
  const char16_t *path;
  std::u16string_view ext;
  int32_t *used;  // out: entries from 0 that may hold a layer
  io_LoadCall &call;  // prepared afresh by every run
  Report report;      // the failure to tell when no plug-in reads the file
};

// Runs one plug-in, remembered for the extension (`probed` null) or found by
// probing. True when the load ends here, with its result in `*result`; false
// to go on with the next plug-in, its failure weighed into the report.
bool tryPlugin(PluginRun &run, const std::u16string &plugin, const io_Candidate *probed, int32_t *result,
               const std::shared_ptr<io_CachedPlugin> &borrowed = nullptr) {
  RunModule module = borrowed != nullptr ? RunModule{borrowed->module, borrowed} : takeRunModule(plugin);
  if (module.module == nullptr) return false;
  int32_t code = FLT_ERROR;
  bool faulted = false;
  io_LoadCall &call = run.call;
  int32_t count = runPlugin(module, plugin, run.layers, run.options, run.path, &call, &code, &faulted);
  if (count > 0) {
    endRunModule(module, true, false);
    if (probed != nullptr && probed->score >= 128) {
      bool weak = (probed->flags & (FLT_PROBE_WEAK | FLT_PROBE_WEAKER)) != 0 || call.request.warnings != 0;
      io_RegistryRemember(kRegistryLoad, run.ext, plugin, weak);
    } else if (probed != nullptr && probed->score <= 0) {
      call.request.warnings |= run.ext.empty() ? FLT_WARN_EXTENSION_MISSING : FLT_WARN_EXTENSION_MISMATCH;
    }
    *run.used = call.usedEntries;
    int32_t done = finishSuccess(run.layers, run.options, call, count, code, &run.report);
    if (done <= 0) {
      *run.used = 0;
      done = finishFailure(run.layers, call.usedEntries, run.options, run.path, run.ext, run.report);
    }
    *result = done;
    return true;
  }
  releaseLayers(run.layers, call.usedEntries);
  endRunModule(module, false, faulted);
  Report mine{code, std::u16string(run.options->reportingModule), std::u16string(call.message)};
  if (faulted || io_IsFinalCode(code, run.options)) {
    *result = finishFailure(run.layers, 0, run.options, run.path, run.ext, mine);
    return true;
  }
  // The remembered plug-in runs first, against the starting code -1.
  if (code < run.report.code || (code == -2 && run.report.code == -44)) run.report = mine;
  return false;
}

// The plug-in loader on a file whose first bytes are read. On return the
// table holds layers only in its first `*used` entries.
int32_t loadByPlugins(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path, const FileHead &head,
                      std::u16string_view ext, int32_t *used) {
  *used = 0;
  options->pluginFlagBit1 = 0;
  options->outOfMemory = 0;
  if (!checkFile(options, head, ext)) return 0;

  io_LoadCall call;  // not cleared here: each run clears it
  PluginRun run{layers, options, path, ext, used, call, {}};
  int32_t result = 0;
  // The remembered plug-in, borrowed from the plug-in cache when it is there
  // (held here, so that its path outlives the run).
  std::u16string remembered;
  std::shared_ptr<io_CachedPlugin> cached;
  if (!ext.empty() && ext.size() <= 15 && io_RegistryLookupBorrow(kRegistryLoad, ext, &remembered, &cached) &&
      tryPlugin(run, cached != nullptr ? cached->path : remembered, nullptr, &result, cached))
    return result;

  // Probing every installed plug-in.
  std::vector<std::u16string> faultedBefore = faultedPlugins();
  std::vector<io_Candidate> candidates =
      underModuleLock([&] { return io_CollectLoadCandidates(ext, head.bytes, head.size); });
  Report fault;
  if (newProbeFault(faultedBefore, &fault)) return finishFailure(layers, 0, options, path, ext, fault);
  for (const io_Candidate &candidate : candidates) {
    if (candidate.path.empty()) break;
    if (options->progress != nullptr && options->progress(0, 1000, options->progressUser) == 0)
      return finishFailure(layers, 0, options, path, ext, Report{FLT_ERR_CANCELLED, {}, {}});
    if (tryPlugin(run, candidate.path, &candidate, &result)) return result;
  }
  return finishFailure(layers, 0, options, path, ext, run.report);
}

int32_t readNative(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  return (gNativeReader != nullptr ? gNativeReader : kv5_Read)(layers, options, path);
}

int32_t readPlugins(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path, const FileHead &head,
                    std::u16string_view ext, int32_t *used) {
  if (gPluginReader == nullptr) return loadByPlugins(layers, options, path, head, ext, used);
  *used = rx_LayerTableEntries;
  return gPluginReader(layers, options, path);
}

// The driver. `*used` tracks the entries from 0 that may hold a layer: all
// of a table handed in, none of a clean one, and what each reader leaves.
int32_t driveLoad(const char16_t *path, rx_LayerEntry *layers, LoadSaveOptions *options, int32_t *used) {
  // The wait cursor belongs to a desktop session; the POSIX build has none to change.
  options->documentKind = 0;
  options->documentSubKind = 0;
  options->message[0] = 0;
  if (options->ownerWindow == nullptr) options->quiet = 1;
  if (options->timeLimitMs < kLoadTimeLimitMin || options->timeLimitMs > kLoadTimeLimitMax)
    options->timeLimitMs = kLoadTimeLimitDefault;
  const LoadSaveOptions original = *options;
  auto clearTable = [&] {
    releaseLayers(layers, *used);
    *used = 0;
  };

  int32_t count = 0;
  size_t length = os_Utf16Length(path);
  const char16_t *file = path;  // the caller's path lives through the call
  std::u16string target;
  if (length >= os_MaxPath) {
    setMessage(options, u"The path is too long");
  } else {
    std::u16string ext = extensionOf(std::u16string_view(path, length));
    if (ext == u".lnk") {
      target = os_LinkTarget(path);
      if (!target.empty()) file = target.c_str(), ext = extensionOf(target);  // any other ".lnk" is loaded as it is
    }
    // One open tells whether the file is there and gives the bytes every
    // reader decides by; asking for the file itself only when it fails.
    FileHead head = readHead(file);
    if (!head.opened && !os_FileExists(file)) {
      setMessage(options, u"The specified file does not exist");
    } else {
      // Keep this library loaded while foreign code runs inside it.
      os_Module *self = selfPath().empty() ? nullptr : underModuleLock([] { return os_ModuleLoad(selfPath().c_str()); });
      bool kv5 = ext == u".kv5";
      bool native = nativeMayRead(head, kv5);
      for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
        // The options are the copy still unless a reader ran: restored only then.
        if (attempt > 0) *options = original;
        options->handled = 0;
        clearTable();
        count = 0;
        if (native) {
          *used = rx_LayerTableEntries;
          count = readNative(layers, options, file);
        }
        if (count <= 0 && !options->handled) {
          if (native) *options = original;
          else options->handled = original.handled;
          clearTable();
          count = readPlugins(layers, options, file, head, ext, used);
          if (count <= 0 && !options->handled && kv5) {
            *options = original;
            clearTable();
            *used = rx_LayerTableEntries;
            count = readNative(layers, options, file);
          }
        }
        progress(options, 0, 0);
        if (count <= 0) break;
        count = std::min(count, rx_LayerTableCapacity);
        bool allValid = true;
        for (int32_t i = 0; i < count && allValid; ++i) allValid = rx_SurfaceIsValidOwned(&layers[i].surface) != 0;
        if (allValid) break;
        clearTable();  // after the last attempt they stay released and flattening fails
      }
      if (self != nullptr) freeModule(self);
    }
  }
  if (count <= 0) {
    if (os_Utf16Length(options->message) < 3) setMessage(options, u"An unknown error occurred during load");
    trimMessage(options->message);
    clearTable();
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

}  // namespace

void io_SetLoadReadersForTests(io_LayerReader native, io_LayerReader plugins) {
  gNativeReader = native;
  gPluginReader = plugins;
}

int32_t io_PluginLoader(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  int32_t used = 0;
  return loadByPlugins(layers, options, path, readHead(path), extensionOf(path), &used);
}

int32_t io_ResolutionFromMarkup(rx_LayerEntry *entry) {
  if (entry->properties == nullptr) return 0;  // no block, no markup: most plain images
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
  int32_t used = rx_LayerTableEntries;  // a table handed in may hold anything
  return driveLoad(path, layers, options, &used);
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
  int32_t used = 0;  // tables from the pool are clean
  int32_t count = path[0] != 0 ? driveLoad(path, layers, options, &used) : 0;
  if (count <= 0) {
    giveTable(layers, used);
    return 0;
  }
  // `out` is a record of the library's own (an export's local): no probe.
  rx_ThreadState *state = rx_GetThreadState();
  if (state != nullptr && rx_SurfaceIsValidOwned(out)) rx_OwnedFree(state, out);
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
  int32_t flattened = 0;
  if (state != nullptr && plainSingleLayer(layers, count, options)) {
    rx_OwnedSwap(out, &layers[0].surface);
    flattened = 1;
  } else if (state != nullptr) {
    flattened = rx_LayersFlatten(out, -1, layers, count, options);
  }
  giveTable(layers, used);
  if (flattened > 0 && rx_SurfaceIsValidOwned(out)) return count;
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
