// Account, time-zone and desktop facts for the host environment on POSIX.
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os.h"

namespace {

// Runs `use` on the password entry of the effective user; false when the
// account database has none.
template <typename Use>
bool withAccount(Use &&use) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> storage(hint > 0 ? static_cast<size_t>(hint) : 4096);
  for (int tries = 0; tries < 6; ++tries) {
    passwd entry{};
    passwd *found = nullptr;
    int failed = ::getpwuid_r(::geteuid(), &entry, storage.data(), storage.size(), &found);
    if (failed == ERANGE) {
      storage.resize(storage.size() * 2);
      continue;
    }
    if (failed != 0 || found == nullptr) return false;
    use(*found);
    return true;
  }
  return false;
}

}  // namespace

std::u16string os_UserLoginName() {
  std::u16string name;
  withAccount([&](const passwd &entry) {
    if (entry.pw_name != nullptr) name = os_Utf8ToUtf16(entry.pw_name);
  });
  if (name.empty()) name = os_GetEnvironment("LOGNAME");
  if (name.empty()) name = os_GetEnvironment("USER");
  return name;
}

std::u16string os_UserFullName() {
  std::u16string name;
  withAccount([&](const passwd &entry) {
    if (entry.pw_gecos == nullptr) return;
    // The descriptive field is "full name,room,phone,...": the name is the first part.
    std::string gecos = entry.pw_gecos;
    name = os_Utf8ToUtf16(gecos.substr(0, gecos.find(',')));
  });
  return name;
}

int32_t os_TimeZoneBiasMinutes() {
  // tzset replaces the C library's zone state, which threads formatting
  // local times at the same moment would race with: it runs again only
  // when TZ has changed.
  static std::mutex lock;
  static std::string lastZone;
  static bool known = false;
  static int32_t bias = 0;
  std::lock_guard<std::mutex> guard(lock);
  const char *zone = std::getenv("TZ");
  std::string current = zone != nullptr ? std::string("=") + zone : std::string();
  if (!known || current != lastZone) {
    ::tzset();
    // `timezone` is the standard-time offset in seconds west of UTC, which
    // is the sign and the meaning of the bias.
    bias = static_cast<int32_t>(timezone / 60);
    lastZone = std::move(current);
    known = true;
  }
  return bias;
}

bool os_ButtonFaceColor(uint32_t *colour) {
  // No desktop theme is asked on this platform: the caller's "light theme"
  // default applies.
  (void)colour;
  return false;
}

std::u16string os_GetUserAppDataFolder() {
  // The XDG data folder is already per user, so the shared and the roaming
  // folder are the same place here.
  return os_GetKnownFolder(os_KnownFolder::commonAppData);
}

int os_AppPackageQuery() {
  // App packages do not exist here; callers fall back to the path rule.
  return -1;
}
