// The platform's own way of showing a notice, used while no handler is
// installed: posix/ writes it to standard error, win32/ shows the system's
// message box or the text input dialog.
#pragma once

#include "platform/os.h"

int32_t os_SystemNotice(const os_Notice *notice);
