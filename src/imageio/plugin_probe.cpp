#include "imageio/plugin_probe.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "hostenv/error_log.h"
#include "imageio/format_table.h"
#include "imageio/plugin_blacklist.h"
#include "imageio/plugin_files.h"
#include "imageio/plugin_list.h"

namespace {

using CheckFn = int32_t(VGM_API *)(FltProbe *);

// Shared by the caller and the helper thread: whichever lets go last frees
// it, so a plug-in that answers after the caller gave up writes into memory
// that is still there.
struct ProbeCall {
  CheckFn entry = nullptr;
  FltProbe probe{};
  int32_t result = 0;
  bool guarded = false;
  int signal = 0;
  std::mutex lock;
  std::condition_variable answered;
  bool done = false;
};

std::mutex gFaultLock;
std::map<std::u16string, io_FaultRecord> gFaults;

bool hasFault(std::u16string_view path) {
  std::lock_guard<std::mutex> guard(gFaultLock);
  return gFaults.count(std::u16string(path)) != 0;
}

// Unloads a module unless it faulted: its code may still be running on a
// helper thread, or its state may be broken.
struct ModuleHold {
  os_Module *module;
  bool keep = false;
  ~ModuleHold() {
    if (!keep) os_ModuleFree(module);
  }
};

// One probe of a loaded plug-in; false when it faulted or hung (then reported).
bool probeOnce(CheckFn entry, const char *name, std::u16string_view path, FltProbe *probe, int32_t *result) {
  int signal = 0;
  io_CallOutcome outcome = io_CallProbeEntry(entry, probe, result, kProbeAnswerMs, &signal);
  if (outcome == io_CallOutcome::answered) return true;
  io_ReportPluginFault(path, name, outcome, signal);
  return false;
}

void sortCandidates(std::vector<io_Candidate> *candidates) {
  std::stable_sort(candidates->begin(), candidates->end(),
                   [](const io_Candidate &a, const io_Candidate &b) { return a.score > b.score; });
}

}  // namespace

int32_t io_LoadScore(const FltProbe &probe) {
  int32_t score = 0;
  if (probe.strength_a != 0) {
    score = probe.strength_a + probe.strength_b + probe.strength_c;
    if (!(probe.reply_flags & FLT_PROBE_WEAK)) score += 1000;
    if (!(probe.reply_flags & FLT_PROBE_WEAKER)) score += 1000;
  }
  return score == 0 ? 1 : score;
}

int32_t io_SaveScore(const FltProbe &probe) {
  if (probe.strength_a == 0) return 0;
  int32_t sum = probe.strength_a + probe.strength_b + probe.strength_c;
  return sum == 0 ? 1 : sum;
}

void io_FillProbe(FltProbe *probe, std::u16string_view extension, const uint8_t *header, size_t header_size) {
  std::memset(probe, 0, sizeof *probe);
  size_t n = std::min<size_t>(extension.size(), FLT_EXTENSION_CAPACITY - 1);
  for (size_t i = 0; i < n; ++i) probe->extension[i] = io_FoldCase(extension[i]);
  size_t count = header == nullptr ? 0 : std::min<size_t>(header_size, FLT_PROBE_HEADER_MAX);
  if (count != 0) std::memcpy(probe->header, header, count);
  probe->header_size = static_cast<uint32_t>(count);
}

io_CallOutcome io_CallProbeEntry(int32_t(VGM_API *entry)(FltProbe *), FltProbe *probe, int32_t *result,
                                 uint32_t limit_ms, int *signal) {
  auto call = std::make_shared<ProbeCall>();
  call->entry = entry;
  call->probe = *probe;
  std::thread helper;
  try {
    helper = std::thread([call] {
      ProbeCall *raw = call.get();
      bool guarded = os_Guard([raw] { raw->result = raw->entry(&raw->probe); });
      int caught = guarded ? 0 : os_GuardLastSignal();
      std::lock_guard<std::mutex> guard(raw->lock);
      raw->guarded = guarded;
      raw->signal = caught;
      raw->done = true;
      raw->answered.notify_all();
    });
  } catch (...) {
    return io_CallOutcome::faulted;  // no thread to run it on: treat as unusable
  }
  std::unique_lock<std::mutex> wait(call->lock);
  if (!call->answered.wait_for(wait, std::chrono::milliseconds(limit_ms), [&] { return call->done; })) {
    wait.unlock();
    // No thread is killed: the helper keeps the call record and ends when (if) the plug-in returns.
    helper.detach();
    if (signal != nullptr) *signal = 0;
    return io_CallOutcome::timedOut;
  }
  bool guarded = call->guarded;
  int caught = call->signal;
  if (guarded) {
    *probe = call->probe;
    if (result != nullptr) *result = call->result;
  }
  wait.unlock();
  helper.join();
  if (signal != nullptr) *signal = caught;
  return guarded ? io_CallOutcome::answered : io_CallOutcome::faulted;
}

bool io_FaultRecordFor(std::u16string_view plugin_path, io_FaultRecord *record) {
  std::lock_guard<std::mutex> guard(gFaultLock);
  auto found = gFaults.find(std::u16string(plugin_path));
  if (found == gFaults.end()) return false;
  if (record != nullptr) *record = found->second;
  return true;
}

void io_ReportPluginFault(std::u16string_view plugin_path, const char *entry_point, io_CallOutcome outcome, int signal) {
  bool timedOut = outcome == io_CallOutcome::timedOut;
  {
    std::lock_guard<std::mutex> guard(gFaultLock);
    gFaults[std::u16string(plugin_path)] = {std::u16string(plugin_path), entry_point, timedOut ? 0 : signal, timedOut};
  }
  io_BlacklistAdd(plugin_path);
  std::u16string message(plugin_path);
  message += u": " + os_Utf8ToUtf16(entry_point);
  if (timedOut) {
    message += u" did not answer within " + os_Utf8ToUtf16(std::to_string(kProbeAnswerMs)) + u" ms";
  } else {
    message += u" crashed (signal " + os_Utf8ToUtf16(std::to_string(signal)) + u")";
  }
  message += u"; the plug-in is blacklisted";
  log_Error(u"Plug-in failure", message.c_str());
}

std::vector<io_Candidate> io_CollectLoadCandidates(std::u16string_view extension, const uint8_t *header,
                                                   size_t header_size) {
  std::vector<io_Candidate> candidates;
  std::shared_ptr<const io_PluginList> list = io_ListInstalledPlugins();
  for (size_t i = 0; i < list->count() && candidates.size() < kMaxCandidates; ++i) {
    std::u16string path(list->at(i));
    // A plug-in that crashed or hung in this process is not asked again.
    if (hasFault(path)) continue;
    ModuleHold hold{io_LoadPlugin(path.c_str())};
    if (hold.module == nullptr) continue;
    auto check = reinterpret_cast<CheckFn>(os_ModuleSymbol(hold.module, "flt_CheckLoad"));
    bool loads = os_ModuleSymbol(hold.module, "flt_LoadImage") != nullptr;
    int32_t score = 0;
    uint32_t flags = 0;
    if (!extension.empty() && check != nullptr) {
      FltProbe probe;
      int32_t accepted = 0;
      io_FillProbe(&probe, kLoadTrapExtension, reinterpret_cast<const uint8_t *>(kLoadTrapHeader.data()),
                   kLoadTrapHeader.size());
      if (!probeOnce(check, "flt_CheckLoad", path, &probe, &accepted)) {
        hold.keep = true;
        continue;
      }
      if (accepted != 0 && io_LoadScore(probe) >= kLoadTrapScore) {
        // Claims data no format has: blacklisted, yet still tried, last.
        io_BlacklistAdd(path);
        score = -1;
      } else {
        io_FillProbe(&probe, extension, header, header_size);
        if (!probeOnce(check, "flt_CheckLoad", path, &probe, &accepted)) {
          hold.keep = true;
          continue;
        }
        if (accepted != 0) {
          score = io_LoadScore(probe);
          flags = probe.reply_flags;
        }
      }
    }
    if (loads) candidates.push_back({score, flags, path});
  }
  sortCandidates(&candidates);
  return candidates;
}

namespace {

enum class SaveProbe { scored, trapped, faulted };

// The save traps (when asked), then the real extension.
SaveProbe probeSave(CheckFn check, std::u16string_view path, std::u16string_view extension, bool traps,
                    int32_t *score, uint32_t *flags) {
  FltProbe probe;
  int32_t accepted = 0;
  *score = 0;
  *flags = 0;
  if (traps) {
    for (const io_SaveTrap &trap : kSaveTraps) {
      io_FillProbe(&probe, trap.extension, nullptr, 0);
      if (!probeOnce(check, "flt_CheckSave", path, &probe, &accepted)) return SaveProbe::faulted;
      if (accepted != 0 && io_SaveScore(probe) >= trap.threshold) return SaveProbe::trapped;
    }
  }
  io_FillProbe(&probe, extension, nullptr, 0);
  if (!probeOnce(check, "flt_CheckSave", path, &probe, &accepted)) return SaveProbe::faulted;
  if (accepted != 0) {
    *score = io_SaveScore(probe);
    *flags = probe.reply_flags;
  }
  return SaveProbe::scored;
}

}  // namespace

int32_t io_CheckSavePlugin(os_Module *module, std::u16string_view plugin_path, std::u16string_view extension,
                           bool traps) {
  auto check = reinterpret_cast<CheckFn>(os_ModuleSymbol(module, "flt_CheckSave"));
  if (check == nullptr) return 0;
  int32_t score = 0;
  uint32_t flags = 0;
  return probeSave(check, plugin_path, extension, traps, &score, &flags) == SaveProbe::scored ? score : -1;
}

std::vector<io_Candidate> io_CollectSaveCandidates(std::u16string_view extension) {
  std::vector<io_Candidate> candidates;
  std::shared_ptr<const io_PluginList> list = io_ListInstalledPlugins();
  for (size_t i = 0; i < list->count() && candidates.size() < kMaxCandidates; ++i) {
    std::u16string path(list->at(i));
    if (hasFault(path)) continue;
    ModuleHold hold{io_LoadPlugin(path.c_str())};
    if (hold.module == nullptr) continue;
    auto check = reinterpret_cast<CheckFn>(os_ModuleSymbol(hold.module, "flt_CheckSave"));
    if (check == nullptr) continue;
    int32_t score = 0;
    uint32_t flags = 0;
    SaveProbe outcome = probeSave(check, path, extension, true, &score, &flags);
    if (outcome == SaveProbe::faulted) {
      hold.keep = true;
      continue;
    }
    if (outcome == SaveProbe::trapped) {
      io_BlacklistAdd(path);
      continue;  // score -1: never a save candidate
    }
    if (score > 0 && os_ModuleSymbol(hold.module, "flt_SaveImage") != nullptr) candidates.push_back({score, flags, path});
  }
  sortCandidates(&candidates);
  return candidates;
}
