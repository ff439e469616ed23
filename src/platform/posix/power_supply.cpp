// Power source from the kernel's power-supply class: one folder per supply
// with "type" (Battery, Mains, USB, ...), "online", "capacity" and "status".
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os.h"

namespace {

std::string readLine(const std::string &path) {
  FILE *file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return {};
  char line[64] = {};
  if (std::fgets(line, sizeof line, file) == nullptr) line[0] = 0;
  std::fclose(file);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

bool os_GetPowerStatus(os_PowerStatus *status) {
  if (status == nullptr) return false;
  *status = {false, true, 255};
  std::string root = os_Utf16ToUtf8(os_GetEnvironment("VGM_POWER_SUPPLY_DIR"));
  if (root.empty()) root = "/sys/class/power_supply";
  DIR *dir = ::opendir(root.c_str());
  if (dir == nullptr) return false;
  bool sawMains = false, mainsOnline = false, discharging = false;
  while (struct dirent *entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string folder = root + "/" + entry->d_name + "/";
    std::string type = readLine(folder + "type");
    if (type == "Battery") {
      if (readLine(folder + "present") == "0") continue;
      std::string capacity = readLine(folder + "capacity");
      if (!status->batteryPresent && !capacity.empty()) {
        long percent = std::strtol(capacity.c_str(), nullptr, 10);
        status->percent = static_cast<uint8_t>(percent < 0 ? 0 : percent > 100 ? 100 : percent);
      }
      status->batteryPresent = true;
      if (readLine(folder + "status") == "Discharging") discharging = true;
    } else if (type == "Mains" || type == "USB") {
      sawMains = true;
      if (readLine(folder + "online") == "1") mainsOnline = true;
    }
  }
  ::closedir(dir);
  // Without a mains supply to ask, a discharging battery means no mains power.
  status->acOnline = sawMains ? mainsOnline : !discharging;
  return true;
}
