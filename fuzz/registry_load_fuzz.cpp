// Takes arbitrary bytes as a persisted registry, then looks up and
// remembers extensions in it. Stored texts need not be terminated; every
// lookup must still return a path that fits, and a strong remember must win.
//
// Input: one control byte, then the stored bytes. Control bit 0 stamps the
// magic and this hour over the first 8 bytes (so most inputs are taken),
// bit 1 pads the bytes with zeros to the full size, bits 2-3 pick the
// registry, bits 4-6 the lookup stride, bit 7 makes the remember weak.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/plugin_files.h"
#include "imageio/plugin_registry.h"

namespace {

constexpr uint64_t kClock = 133000000000000000ull;

void check(bool condition) {
  if (!condition) std::abort();
}

bool setUp() {
  static char folder[] = "/tmp/vgmfuzz-registry-XXXXXX";
  if (::mkdtemp(folder) == nullptr) std::abort();
  ::setenv("VGM_APPDATA_DIR", folder, 1);
  io_SetClockForTests(kClock);
  std::u16string plugins = os_Utf8ToUtf16(std::string(folder) + "/Plugins");  // empty: nothing installed
  return io_RegistriesAttach(plugins.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  check(ready);
  if (size == 0) return 0;
  uint8_t control = data[0];
  auto kind = static_cast<io_RegistryKind>(((control >> 2) & 3) % kRegistryKinds);
  size_t used = (control & 2) ? sizeof(io_RegistryBlock) : size - 1;
  std::vector<uint8_t> bytes(used, 0);  // exactly as long as claimed, for the sanitizers
  if (size_t copied = std::min(used, size - 1); copied != 0) std::memcpy(bytes.data(), data + 1, copied);
  if ((control & 1) && used >= 8) {
    uint32_t stamp[2] = {kRegistryMagic, io_HourStamp(kClock)};
    std::memcpy(bytes.data(), stamp, sizeof stamp);
  }
  bool accepted = io_RegistryAcceptPersisted(kind, bytes.data(), bytes.size());
  check(!accepted || used >= sizeof(io_RegistryBlock));

  static io_RegistryBlock copy;
  check(io_RegistryCopy(kind, &copy));
  size_t stride = ((control >> 4) & 7) + 1;
  for (size_t i = 0; i < kRegistryEntries; i += stride) {
    const io_RegistryEntry &entry = copy.entries[i];
    check(std::memchr(entry.extension, 0, sizeof entry.extension) != nullptr);
    check(std::memchr(entry.path, 0, sizeof entry.path) != nullptr);
    std::u16string path;
    if (io_RegistryLookup(kind, entry.extension, &path)) check(!path.empty() && path.size() < os_MaxPath);
  }
  bool weak = (control & 0x80) != 0;
  io_RegistryRemember(kind, u".fz", u"/p/fz.dll", weak);
  std::u16string path;
  check(io_RegistryLookup(kind, u".FZ", &path) || weak);
  check(weak || path == u"/p/fz.dll");
  return 0;
}
