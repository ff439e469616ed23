// Ties the module's attach and detach to the loading and unloading of the
// shared library. The constructor and destructor run once per load of the
// object. The destructor must know whether the process is ending, because
// detach then does nothing: threads may still be running and files must not
// be written on the way out.
//  - Loaded later (dlopen): exit() runs the handler registered here before
//    the loader's finalisation, so the flag is set when the destructor runs;
//    at dlclose the handler runs only after the destructor.
//  - Loaded with the program (linked at build time): the loader's
//    finalisation was registered after our handler and runs first, so the
//    flag is not set yet; but such a library is never unloaded before the
//    process ends, so its destructor always means exit.
#include "frame/module.h"

// The exit handler belongs to this object, so an unload removes it with us;
// a plain atexit() is not tied to the object under every runtime.
extern "C" int __cxa_atexit(void (*handler)(void *), void *argument, void *object);
extern "C" void *__dso_handle;

namespace {

bool gProcessExiting = false;
bool gLoadedWithProgram = false;

void markProcessExiting(void *) { gProcessExiting = true; }

__attribute__((constructor)) void moduleLoaded() {
  __cxa_atexit(markProcessExiting, nullptr, &__dso_handle);
  gLoadedWithProgram = os_ModuleLoadedWithProgram(reinterpret_cast<const void *>(&moduleLoaded));
  if (!frame_ProcessAttach(reinterpret_cast<const void *>(&moduleLoaded))) {
    // A shared object cannot refuse to load once mapped: say so, and leave
    // the exports to fail on their own.
    os_ShowNotice(nullptr, u"The library could not start.", u"vgm_Common", os_NoticeOk | os_NoticeIconError);
  }
}

__attribute__((destructor)) void moduleUnloading() { frame_ProcessDetach(gProcessExiting || gLoadedWithProgram); }

}  // namespace
