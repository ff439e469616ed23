// The 256 x 256 lookup tables of the division, overlay, dodge and burn
// blends, indexed [destination * 256 + source], built once at engine start.
#include <algorithm>
#include <cstdint>

#include "platform/os.h"

namespace {

int division(int d, int s) { return std::min(255, 256 * d / (s + 1)); }

int overlay(int d, int s) {
  return d <= 127 ? (2 * d * s + 127) / 255 : (65025 - 2 * (255 - d) * (255 - s) + 127) / 255;
}

int dodge(int d, int s) { return std::min(255, 256 * d / (256 - s)); }

int burn(int d, int s) { return s == 0 ? 0 : std::clamp(255 - (255 - d) * 256 / s, 0, 255); }

}  // namespace

bool rx_BuildBlendTables(uint8_t *tables[4]) {
  for (int t = 0; t < 4; ++t) {
    tables[t] = static_cast<uint8_t *>(GlobalAlloc(GMEM_FIXED, 65536));
    if (tables[t] == nullptr) {
      for (int u = 0; u < t; ++u) GlobalFree(tables[u]);
      for (int u = 0; u < 4; ++u) tables[u] = nullptr;
      return false;
    }
  }
  for (int d = 0; d < 256; ++d) {
    for (int s = 0; s < 256; ++s) {
      int index = d * 256 + s;
      tables[0][index] = static_cast<uint8_t>(division(d, s));
      tables[1][index] = static_cast<uint8_t>(overlay(d, s));
      tables[2][index] = static_cast<uint8_t>(dodge(d, s));
      tables[3][index] = static_cast<uint8_t>(burn(d, s));
    }
  }
  return true;
}
