// Ties the module's attach and detach to the loader's notifications. A
// non-null reserved argument at detach means the process is ending: threads
// may still run and files must not be written, so detach then does nothing.
#include "frame/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return frame_ProcessAttach(instance) ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      frame_ProcessDetach(reserved != nullptr);
      return TRUE;
    default:
      return TRUE;
  }
}
