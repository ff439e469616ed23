#include "platform/os.h"

// A terminal bell would land in the host program's output: there is no
// system sound to play here, so the beep is silent.
void os_Beep() {}
