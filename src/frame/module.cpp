#include "frame/module.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "hostenv/folders.h"
#include "imageio/host_services.h"
#include "imageio/plugin_registry.h"
#include "raster/thread_state.h"

namespace {

constexpr size_t kBackgroundThreads = 32;
constexpr size_t kWorkAreaBytes = 1024;

struct ModuleState {
  const void *instance = nullptr;
  std::u16string moduleFolder;
  std::u16string pluginFolder;
  int32_t attachCount = 0;
  int32_t registryCount = 0;
  int32_t backgroundCount = 0;
  std::array<std::atomic<os_Thread *>, kBackgroundThreads> threads{};
  std::atomic<int32_t> stopFlag{0};
  std::atomic<int32_t> interlockedCounter{0};
  unsigned char workArea[kWorkAreaBytes] = {};
};

// Created by the first attach and deleted by the last detach: it must not
// depend on the order of static destructors, and must not outlive an unload.
ModuleState *gModule = nullptr;

ModuleState &state() {
  if (gModule == nullptr) gModule = new ModuleState();
  return *gModule;
}

// Attach and detach are serialised by the loader; this lock also covers
// tests that drive them directly from several threads.
std::mutex gLifecycleLock;

std::u16string folderOf(const std::u16string &path) {
  size_t cut = path.find_last_of(u"\\/");
  return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
}

bool createRegistries() { return io_RegistriesAttach(state().pluginFolder.c_str()); }

void releaseRegistries() { io_RegistriesDetach(); }

void stopBackgroundThreads(ModuleState &module) {
  module.stopFlag.store(1);
  for (uint32_t waited = 0;; waited += kBackgroundPollMs) {
    bool anyRunning = false;
    for (auto &slot : module.threads) {
      os_Thread *thread = slot.load();
      if (thread == nullptr) continue;
      if (os_ThreadHasEnded(thread)) {
        os_ThreadClose(thread);
        slot.store(nullptr);
      } else {
        anyRunning = true;
      }
    }
    if (!anyRunning) return;
    if (waited >= kBackgroundStopLimitMs) break;
    os_Sleep(kBackgroundPollMs);
  }
  // A POSIX thread cannot be ended from outside: the ones still running are
  // let go (os_ThreadClose detaches them) and their entries cleared.
  for (auto &slot : module.threads) {
    if (os_Thread *thread = slot.exchange(nullptr)) os_ThreadClose(thread);
  }
}

}  // namespace

bool frame_ProcessAttach(const void *instance) {
  std::lock_guard<std::mutex> guard(gLifecycleLock);
  ModuleState &module = state();
  module.instance = instance;
  std::u16string ownPath = os_ModulePathOf(instance);
  if (ownPath.empty()) return false;
  module.moduleFolder = folderOf(ownPath);
  // Without a folder of its own the suite's application folder stands in.
  char16_t plugins[os_MaxPath];
  const char16_t *base = module.moduleFolder.empty() ? nullptr : module.moduleFolder.c_str();
  module.pluginFolder = env_GetPluginFolder(plugins, os_MaxPath, base) ? plugins : u"";
  if (rx_EngineStart() == 0) return false;  // processor features or memory missing
  // The C library's zone state is read now, while no other thread of ours
  // runs: settings defaults read it later from loads on many threads.
  os_TimeZoneBiasMinutes();

  if (module.attachCount > 0) {
    ++module.attachCount;
    io_InstallDefaultExtendedHandler();
    return true;
  }
  if (module.registryCount > 0) {
    ++module.registryCount;
  } else {
    if (!createRegistries()) return false;
    module.registryCount = 1;
  }
  if (module.backgroundCount > 0) {
    ++module.backgroundCount;
  } else {
    module.stopFlag.store(0);
    for (auto &slot : module.threads) slot.store(nullptr);
    std::memset(module.workArea, 0, sizeof module.workArea);
    module.interlockedCounter.store(0);
    module.backgroundCount = 1;
  }
  module.attachCount = 1;
  io_InstallDefaultExtendedHandler();
  return true;
}

void frame_ProcessDetach(bool process_terminating) {
  if (process_terminating) return;  // the system reclaims everything itself
  std::lock_guard<std::mutex> guard(gLifecycleLock);
  ModuleState &module = state();
  // The engine is released at every detach, also while the module stays attached.
  struct EngineRelease {
    ~EngineRelease() { rx_EngineStop(); }
  } engineRelease;
  if (module.attachCount > 0 && --module.attachCount > 0) return;
  if (--module.backgroundCount <= 0) {
    module.backgroundCount = 0;
    stopBackgroundThreads(module);
  }
  if (--module.registryCount <= 0) {
    module.registryCount = 0;
    releaseRegistries();
  }
  // The fault handlers go back to what the host had: after an unload ours
  // would point into unmapped code.
  os_FaultGuardRelease();
  if (module.backgroundCount == 0 && module.registryCount == 0) {
    delete gModule;
    gModule = nullptr;
  }
}

const std::u16string &frame_ModuleFolder() {
  static const std::u16string none;
  return gModule != nullptr ? gModule->moduleFolder : none;
}
const std::u16string &frame_PluginFolder() {
  static const std::u16string none;
  return gModule != nullptr ? gModule->pluginFolder : none;
}
int32_t frame_AttachCount() { return gModule != nullptr ? gModule->attachCount : 0; }
int32_t frame_RegistryCount() { return gModule != nullptr ? gModule->registryCount : 0; }
int32_t frame_BackgroundCount() { return gModule != nullptr ? gModule->backgroundCount : 0; }

bool frame_AddBackgroundThread(os_Thread *thread) {
  if (thread == nullptr || gModule == nullptr) return false;
  for (auto &slot : gModule->threads) {
    os_Thread *empty = nullptr;
    if (slot.compare_exchange_strong(empty, thread)) return true;
  }
  return false;
}

// Without module state (after the last detach) every background thread must stop.
bool frame_BackgroundStopRequested() { return gModule == nullptr || gModule->stopFlag.load() != 0; }
