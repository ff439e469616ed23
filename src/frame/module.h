// The module's lifetime: attach and detach with their counters, the
// module-wide state they keep, and the background-thread table.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"

// Process attach. `instance` is the module's handle (or any address inside
// it on POSIX). False when the library must not load.
bool frame_ProcessAttach(const void *instance);
// Process detach. `process_terminating` is the loader's reserved argument:
// at process exit nothing at all is done.
void frame_ProcessDetach(bool process_terminating);

// The module folder (no trailing separator) and the plug-in folder below it.
const std::u16string &frame_ModuleFolder();
const std::u16string &frame_PluginFolder();

// Counters, for diagnostics and tests.
int32_t frame_AttachCount();
int32_t frame_RegistryCount();
int32_t frame_BackgroundCount();

// Background threads (downloads and the like) register here so that the
// last detach can ask them to stop. False when all 32 entries are taken.
bool frame_AddBackgroundThread(os_Thread *thread);
// Set by the last detach: background threads poll it and end.
bool frame_BackgroundStopRequested();
// Polling step and limit of the stop at detach.
inline constexpr uint32_t kBackgroundPollMs = 50;
inline constexpr uint32_t kBackgroundStopLimitMs = 15000;
