// Facts only Windows has, for the host environment's naming rules: the
// version record, 32-bit emulation on a 64-bit system, and the Wine layer;
// and the access list the Users-group grant writes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct os_WindowsVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  uint32_t productType;  // 1 workstation
  uint32_t suiteMask;
  bool serverR2;         // the system reports the R2 edition
};
// The extended version record as the kernel reports it (not the value the
// compatibility shims give programs); false when it cannot be read.
bool os_GetWindowsVersion(os_WindowsVersion *version);
// True when this is a 32-bit process on 64-bit Windows.
bool os_IsWow64();
// True under the Wine layer; `description` (may be null) receives
// "Wine Emulator <version> (<host system> <release>)", shorter when the
// layer tells less, at most 63 units.
bool os_WineDescription(std::u16string *description);

// `current` (may be null) with full access for the built-in Users group
// added, inherited by everything below when `folder`. Released with
// LocalFree; null on failure, with the system's error code in `*code`.
PACL os_AclGrantingUsers(PACL current, bool folder, DWORD *code);
