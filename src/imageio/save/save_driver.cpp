// The save driver: checks the path, moves an existing target aside so that
// a failed save can be undone, writes, and deletes or restores the backup.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "hostenv/error_log.h"
#include "imageio/format_table.h"
#include "imageio/load/load_pipeline.h"
#include "imageio/plugin_files.h"
#include "imageio/result_codes.h"
#include "imageio/save/save_pipeline.h"
#include "kv5/kv5_writer.h"
#include "platform/os.h"
#include "raster/layers/layer_records.h"

namespace {

io_LayerWriter gNativeWriter = nullptr;

void setMessage(LoadSaveOptions *options, std::u16string_view text) {
  size_t n = std::min(text.size(), std::size(options->message) - 1);
  std::copy_n(text.begin(), n, options->message);
  options->message[n] = 0;
}

void clearFlags(LoadSaveOptions *options) {
  options->handled = options->outOfMemory = 0;
  options->flatImageWanted = options->imageModeInvalid = 0;
  options->pluginFlagBit1 = 0;
}

// Repeats `work` up to kSaveRetries more times, 100 ms apart.
template <typename Work>
bool retried(Work &&work) {
  for (int attempt = 0;; ++attempt) {
    if (work()) return true;
    if (attempt == kSaveRetries) return false;
    os_Sleep(kSaveRetryMs);
  }
}

// The extension as the file name ends, without case folding; empty without a dot.
std::u16string rawExtension(std::u16string_view path) {
  std::u16string_view name = io_FileNameOf(path);
  size_t dot = name.rfind(u'.');
  return dot == std::u16string_view::npos ? std::u16string() : std::u16string(name.substr(dot));
}

// A free backup name next to the target, or empty (with the reason set) when
// none fits the path limit or all tried are taken.
std::u16string backupName(const std::u16string &target) {
  std::minstd_rand random(os_TickCount());
  std::uniform_int_distribution<int> pick(0, 32767);
  for (int tries = 0; tries < kBackupNameTries; ++tries) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%04x.tmp", pick(random));
    std::u16string name = target + os_Utf8ToUtf16(suffix);
    // A cut name could be another file's: the backup fails instead.
    if (name.size() >= os_MaxPath) {
      os_SetLastError(os_Error::pathTooLong);
      return {};
    }
    if (!os_FileExists(name.c_str()) && !os_FolderExists(name.c_str())) return name;
  }
  os_SetLastError(os_Error::alreadyExists);
  return {};
}

// The new file reaches the disk before the only other copy goes.
bool flushFile(const std::u16string &path) {
  os_File *file = os_FileOpen(path.c_str(), os_AccessRead, os_ShareRead | os_ShareWrite, os_Disposition::openExisting);
  if (file == nullptr) return false;
  bool done = os_FileFlush(file) != 0;
  os_FileClose(file);
  return done;
}

int32_t writeNative(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  return (gNativeWriter != nullptr ? gNativeWriter : kv5_Write)(layers, options, path);
}

// Flat retry: the image flattened into one frame with the merged markup,
// saved again by a plug-in. Up to kFlatPasses passes; the result of the last.
int32_t flatRetry(rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options, const char16_t *path) {
  int32_t result = 0;
  for (int pass = 0; pass < kFlatPasses && result < 1; ++pass) {
    // One frame and a spare record, zero-filled like every layer table.
    auto *frame = static_cast<rx_LayerEntry *>(GlobalAlloc(GPTR, 2 * sizeof(rx_LayerEntry)));
    if (frame == nullptr) {
      options->outOfMemory = 1;
      setMessage(options, u"Error: The system ran out of RAM while servicing the request");
      return 0;
    }
    std::memcpy(frame[0].name, layers[0].name, sizeof frame[0].name);
    bool flat = false;
    for (int attempt = 0; attempt < 3 && !flat; ++attempt) {
      if (attempt > 0) os_Sleep(kSaveRetryMs);
      LoadSaveOptions scene = *options;
      flat = rx_LayersFlatten(&frame[0].surface, -1, layers, count, &scene) != 0 && rx_SurfaceIsValid(&frame[0].surface);
    }
    if (flat) {
      uint32_t length = 0;
      frame[0].properties = rx_LayersMergeMarkup(layers, count, &length);
      frame[0].propertiesLength = length;
      LoadSaveOptions copy = *options;
      copy.documentKind = copy.documentSubKind = 0;
      copy.imageModeInvalid = 0;
      result = io_PluginSaver(frame, 1, &copy, path);
      if (result < 1) {
        std::memcpy(options->message, copy.message, sizeof options->message);
        std::memcpy(options->reportingModule, copy.reportingModule, sizeof options->reportingModule);
        options->outOfMemory = copy.outOfMemory;
      } else {
        copy.handled = 1;
        copy.documentKind = options->documentKind;
        copy.documentSubKind = options->documentSubKind;
        *options = copy;
      }
    }
    rx_LayersRelease(frame, 2);
    GlobalFree(frame);
    if (!flat) break;
  }
  return result;
}

// Puts the original back after a failed save; when it cannot, the original
// stays under the backup name and the log says where it is.
void restoreBackup(const std::u16string &target, const std::u16string &backup) {
  bool restored = retried([&] {
    os_FileSetReadOnly(target.c_str(), false);
    if (os_FileExists(target.c_str())) os_FileDelete(target.c_str());
    return os_FileMove(backup.c_str(), target.c_str(), true) != 0;
  });
  // Nothing replaces a file at the next restart here: it stays, and the log says where.
  if (!restored) {
    std::u16string text = u"The previous file could not be restored: it remains as \"" + backup + u"\" in place of \"" +
                          target + u"\"";
    log_Error(u"Save", text.c_str());
  }
}

}  // namespace

void io_SetNativeWriterForTests(io_LayerWriter writer) { gNativeWriter = writer; }

int32_t io_SaveDriver(const char16_t *path, rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options) {
  if (options == nullptr) return 0;
  if (options->ownerWindow == nullptr) options->quiet = 1;
  clearFlags(options);
  options->message[0] = 0;
  if (layers == nullptr || count < 1 || rx_SurfaceIsValid(&layers[0].surface) == 0) {
    setMessage(options, u"The image is not valid (bad parameter)");
    return 0;
  }
  // The wait cursor belongs to a desktop session; the POSIX build has none to change.
  bool flatCompatible = options->documentKind == rx_DocComposite ||
                        (options->documentKind == rx_DocImageList &&
                         (options->documentSubKind == 1 || options->documentSubKind == 2));

  size_t length = path == nullptr ? 0 : os_Utf16Length(path);
  if (length == 0) {
    setMessage(options, u"The path is not valid");
    return 0;
  }
  // "Fully qualified" is an absolute path here.
  if (!os_IsPathSeparator(path[0])) {
    setMessage(options, u"The path is not fully qualified");
    return 0;
  }
  if (length >= os_MaxPath) {
    setMessage(options, u"The path is too long");
    return 0;
  }
  std::u16string target(path, length);
  if (io_SameIgnoringCase(rawExtension(target), u".lnk")) {
    std::u16string resolved = os_LinkTarget(target.c_str());
    if (!resolved.empty()) target = resolved;
  }
  std::u16string ext = rawExtension(target);
  if (ext.empty()) {
    setMessage(options, u"The file does not have an extension");
    return 0;
  }
  if (io_IsExecutableExtension(ext)) {
    options->notAnImage = 1;
    std::u16string shown = ext.substr(1);
    for (char16_t &c : shown)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    setMessage(options, u"Saving to this file format is not allowed: " + shown);
    return 0;
  }
  for (char16_t &c : ext) c = io_FoldCase(c);

  bool existed = os_FileExists(target.c_str()) != 0;
  os_FileInfo info{};
  if (existed && os_FileStat(target.c_str(), &info) && info.readOnly) {
    if (!options->quiet &&
        os_ShowNotice(options->ownerWindow, u"The target file is marked as read-only.\nAre you sure you want to replace it?",
                      u"File is READ ONLY", os_NoticeYesNo | os_NoticeIconInformation) != os_AnswerYes) {
      setMessage(options, u"The target file is marked as read-only.");
      return 0;
    }
    os_FileSetReadOnly(target.c_str(), false);
  }

  int32_t result = 0;
  std::u16string backup;
  bool backupFailed = false;
  if (existed) {
    backup = backupName(target);
    if (!backup.empty()) {
      os_FileSetReadOnly(target.c_str(), false);
      if (os_FileMove(target.c_str(), backup.c_str(), true) == 0) backup.clear();
    }
    if (backup.empty()) {
      backupFailed = true;
      setMessage(options, u"Backup for fault-tolerant save failed.\nReason:\n" + os_ErrorText(os_LastError()));
    }
  }

  if (!backupFailed) {
    for (int32_t i = 0; i < count; ++i) io_ResolutionToMarkup(&layers[i]);
    clearFlags(options);
    if (ext == u".kv5") {
      options->handled = 1;
      result = writeNative(layers, options, target.c_str());
    } else {
      os_Module *self = io_PipelineHoldSelf();
      result = io_PluginSaver(layers, count, options, target.c_str());
      bool wantsFlat = (options->flatImageWanted && (flatCompatible || options->flattenAllowed)) ||
                       (options->imageModeInvalid && options->flattenAllowed);
      if (result < 1 && wantsFlat) {
        setMessage(options, u"Error: Cannot fulfil the plug-in's request for a flat image");
        result = flatRetry(layers, count, options, target.c_str());
      }
      if (self != nullptr) io_PipelineFreePlugin(self);
    }
    if (options->progress != nullptr) options->progress(0, 0, options->progressUser);
    if (result >= 1 && !flushFile(target)) {
      result = 0;
      std::u16string reason = os_ErrorText(os_LastError());
      io_ComposeMessage(FLT_ERR_WRITE, kSubCodeSave, target.c_str(), nullptr, reason.c_str(), options->message);
    }
  }

  if (result >= 1) {
    if (!backup.empty()) {
      bool gone = retried([&] {
        os_FileSetReadOnly(backup.c_str(), false);
        return os_FileDelete(backup.c_str()) != 0 || !os_FileExists(backup.c_str());
      });
      if (!gone) {
        std::u16string text = u"The backup \"" + backup + u"\" of \"" + target + u"\" could not be deleted";
        log_Error(u"Save", text.c_str());
      }
    }
    if (!options->quiet) io_ShowWarningNotice(options);
    return result;
  }

  if (!backup.empty()) {
    restoreBackup(target, backup);
  } else if (!existed) {
    // A failed save to a new name leaves nothing behind.
    retried([&] { return !os_FileExists(target.c_str()) || os_FileDelete(target.c_str()) != 0; });
  }
  if (os_Utf16Length(options->message) < 3) {
    io_ComposeMessage(options->handled ? 0 : -1, kSubCodeSave, target.c_str(), nullptr, nullptr, options->message);
  }
  if (os_Utf16Length(options->message) < 448) {
    std::u16string line = u"\nFile type: '" + ext + u"' (" + os_FileTypeName(target.c_str()) + u")";
    std::u16string joined = std::u16string(options->message) + line;
    setMessage(options, joined);
  }
  io_TrimMessage(options->message);
  return 0;
}
