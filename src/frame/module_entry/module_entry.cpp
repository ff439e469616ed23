// Ties the module's attach and detach to the loading and unloading of the
// shared library. The constructor and destructor run once per load of the
// object; exit() runs the handler registered here before the destructor,
// which is how the destructor knows that the process is ending. (A program
// linked against the library at build time registers its own exit work after
// our handler, so there the detach at exit still runs; it is harmless.)
#include "frame/module.h"

// The exit handler belongs to this object, so an unload removes it with us;
// a plain atexit() is not tied to the object under every runtime.
extern "C" int __cxa_atexit(void (*handler)(void *), void *argument, void *object);
extern "C" void *__dso_handle;

namespace {

bool gProcessExiting = false;

void markProcessExiting(void *) { gProcessExiting = true; }

__attribute__((constructor)) void moduleLoaded() {
  // At dlclose this handler runs after the destructor (it belongs to the
  // object's own finalisation), so it does not fool an ordinary unload.
  __cxa_atexit(markProcessExiting, nullptr, &__dso_handle);
  if (!frame_ProcessAttach(reinterpret_cast<const void *>(&moduleLoaded))) {
    // A shared object cannot refuse to load once mapped: say so, and leave
    // the exports to fail on their own.
    os_ShowNotice(nullptr, u"The library could not start.", u"vgm_Common", os_NoticeOk | os_NoticeIconError);
  }
}

__attribute__((destructor)) void moduleUnloading() { frame_ProcessDetach(gProcessExiting); }

}  // namespace
