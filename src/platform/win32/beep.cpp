#include <windows.h>

#include "platform/os.h"

void os_Beep() { MessageBeep(MB_OK); }
