#include <windows.h>

#include "platform/os.h"

bool os_GetPowerStatus(os_PowerStatus *status) {
  if (status == nullptr) return false;
  *status = {false, true, 255};
  SYSTEM_POWER_STATUS power{};
  if (!GetSystemPowerStatus(&power)) return false;
  // Battery flag 128 means no battery, 255 that the system cannot tell.
  status->batteryPresent = power.BatteryFlag != 255 && (power.BatteryFlag & 128) == 0;
  status->acOnline = power.ACLineStatus != 0;  // 255 (unknown) counts as mains power, as on POSIX
  if (status->batteryPresent && power.BatteryLifePercent <= 100) status->percent = power.BatteryLifePercent;
  return true;
}
