// The plug-in saver: the plug-in remembered for the extension, else every
// installed plug-in that accepts it, run against a save request record.
#include <algorithm>
#include <string>

#include "imageio/load/load_pipeline.h"
#include "imageio/plugin_files.h"
#include "imageio/plugin_registry.h"
#include "imageio/result_codes.h"
#include "imageio/save/save_pipeline.h"
#include "platform/os.h"

namespace {

using SaveFn = int32_t(VGM_API *)(FltSaveRequest *);

void copyBounded(char16_t *out, size_t capacity, std::u16string_view text) {
  size_t n = std::min(text.size(), capacity - 1);
  std::copy_n(text.begin(), n, out);
  out[n] = 0;
}

bool progress(LoadSaveOptions *options) {
  return options->progress == nullptr || options->progress(0, 0, options->progressUser) != 0;
}

void flagCode(int32_t code, LoadSaveOptions *options) {
  if (code == FLT_ERR_NEED_FLAT) options->flatImageWanted = 1;
  if (code == FLT_ERR_IMAGE_MODE) options->imageModeInvalid = 1;
}

struct Report {
  int32_t code = FLT_ERR_UNSUPPORTED;
  std::u16string module;
  std::u16string message;
};

// Runs flt_SaveImage of a loaded plug-in. After a fault the module must stay
// loaded and `*faulted` is set; the result is then -5 with a hint.
int32_t runPlugin(os_Module *module, const std::u16string &plugin, rx_LayerEntry *layers, int32_t count,
                  LoadSaveOptions *options, const char16_t *path, io_SaveCall *call, bool *faulted) {
  *faulted = false;
  auto entry = reinterpret_cast<SaveFn>(os_ModuleSymbol(module, "flt_SaveImage"));
  if (entry == nullptr) return FLT_ERR_UNSUPPORTED;
  copyBounded(options->reportingModule, std::size(options->reportingModule), io_FileNameOf(plugin));
  progress(options);
  io_PrepareSaveCall(call, path, layers, count, options);
  FltSaveRequest *request = &call->request;
  io_SelectSaveLayer(request, 0, 0);
  options->handled = 1;
  int32_t result = FLT_ERROR;
  bool answered = os_Guard([&result, entry, request] { result = entry(request); });
  io_ReleaseSaveSelection(call);
  progress(options);
  if (!answered) {
    int signal = os_GuardLastSignal();
    io_ReportPluginFault(plugin, "flt_SaveImage", io_CallOutcome::faulted, signal);
    std::string hint = "The plug-in " + os_Utf16ToUtf8(io_FileNameOf(plugin)) + " crashed in flt_SaveImage (signal " +
                       std::to_string(signal) + ") and will not be used again";
    copyBounded(call->message, FLT_MESSAGE_CAPACITY, os_Utf8ToUtf16(hint));
    *faulted = true;
    return FLT_ERR_COMPONENT_FAILED;
  }
  flagCode(result, options);
  return result;
}

int32_t report(LoadSaveOptions *options, const char16_t *path, std::u16string_view ext, const Report &r) {
  int32_t code = r.code;
  flagCode(code, options);
  if (code == FLT_ERR_OUT_OF_MEMORY) options->outOfMemory = 1;
  char16_t hint[kMessageCapacity];
  copyBounded(hint, kMessageCapacity, r.message);
  if (!ext.empty() && (code == -5 || code == -4 || code == -2 || code == -1))
    io_DiagnoseExtension(ext, &code, kSubCodeSave, hint);
  copyBounded(options->reportingModule, std::size(options->reportingModule), r.module);
  io_ComposeMessage(code, kSubCodeSave, path, r.module.empty() ? nullptr : r.module.c_str(), hint, options->message);
  io_TrimMessage(options->message);
  if ((code == -70 || code == -41 || code == -1 || code == 0) && os_Utf16Length(path) >= 259) {
    std::u16string text = u"The path is too long\n\n" + std::u16string(hint);
    copyBounded(options->message, std::size(options->message), text);
    io_TrimMessage(options->message);
  }
  return 0;
}

}  // namespace

int32_t io_PluginSaver(rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options, const char16_t *path) {
  options->pluginFlagBit1 = 0;
  options->handled = options->outOfMemory = 0;
  options->flatImageWanted = options->imageModeInvalid = 0;
  std::u16string ext = io_PipelineExtension(path);
  if (ext.size() < 2) {
    copyBounded(options->message, std::size(options->message), u"The file does not have an extension");
    return 0;
  }
  io_SaveCall call;
  Report best;
  bool faulted = false;

  std::u16string remembered;
  if (ext.size() <= 15 && io_RegistryLookup(kRegistrySave, ext, &remembered)) {
    if (os_Module *module = io_PipelineLoadPlugin(remembered)) {
      int32_t code = FLT_ERR_UNSUPPORTED;
      if (io_CheckSavePlugin(module, remembered, ext, true) > 0)
        code = runPlugin(module, remembered, layers, count, options, path, &call, &faulted);
      if (code >= 1) {
        io_PipelineKeepPlugin(module);
        io_ApplyWarningMask(call.request.warnings, options);
        return code;
      }
      if (!faulted && !io_FaultRecordFor(remembered, nullptr)) io_PipelineFreePlugin(module);
      Report mine{code, std::u16string(options->reportingModule), std::u16string(call.message)};
      if (faulted || code == FLT_ERR_NEED_FLAT || io_IsFinalCode(code, options)) return report(options, path, ext, mine);
      if (code < -1) best = mine;
    }
  }

  std::vector<io_Candidate> candidates = io_PipelineSaveCandidates(ext);
  if (candidates.empty()) return report(options, path, ext, best);
  bool ran = false;
  for (const io_Candidate &candidate : candidates) {
    if (candidate.path.empty() || candidate.score < 1) break;
    os_Module *module = io_PipelineLoadPlugin(candidate.path);
    if (module == nullptr) continue;
    if (io_CheckSavePlugin(module, candidate.path, ext, false) <= 0) {
      if (!io_FaultRecordFor(candidate.path, nullptr)) io_PipelineFreePlugin(module);
      continue;
    }
    ran = true;
    int32_t code = runPlugin(module, candidate.path, layers, count, options, path, &call, &faulted);
    if (code >= 1) {
      io_PipelineKeepPlugin(module);
      if (candidate.score >= 128) {
        bool weak = (candidate.flags & (FLT_PROBE_WEAK | FLT_PROBE_WEAKER)) != 0 || call.request.warnings != 0;
        io_RegistryRemember(kRegistrySave, ext, candidate.path, weak);
      }
      io_ApplyWarningMask(call.request.warnings, options);
      return code;
    }
    if (!faulted) io_PipelineFreePlugin(module);
    Report mine{code, std::u16string(options->reportingModule), std::u16string(call.message)};
    if (faulted || io_IsFinalCode(code, options)) return report(options, path, ext, mine);
    if (code < best.code || (code == -2 && best.code == -44)) best = mine;
    options->flatImageWanted = best.code == FLT_ERR_NEED_FLAT;
    options->imageModeInvalid = best.code == FLT_ERR_IMAGE_MODE;
  }
  if (!ran) best = Report{FLT_ERR_UNSUPPORTED, u"System", {}};
  return report(options, path, ext, best);
}
