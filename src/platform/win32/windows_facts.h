// The access list the Users-group grant writes; the other Windows facts are
// in os.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/os.h"

// `current` (may be null) with full access for the built-in Users group
// added, inherited by everything below when `folder`. Released with
// LocalFree; null on failure, with the system's error code in `*code`.
PACL os_AclGrantingUsers(PACL current, bool folder, DWORD *code);
