// Adjustment tables of operation 126: curves (modes 1 and 2), two-dimensional
// destination x source tables (mode 3), channel routing (mode 4) and
// per-pixel callbacks (modes 17 to 19).
#include <cstring>
#include <new>

#include "raster/kernels/adjustment.h"
#include "raster/kernels/kernel_internal.h"

namespace {

// The block behind rx_ThreadState::adjustmentTables.
struct AdjustBlock {
  uint32_t mode;
  uint32_t selectors;  // mode 4: blue | green << 4 | red << 8
  rx_AdjustCallback callbacks[3];
  uintptr_t user;
  uint8_t curves[3][256];
  // Mode 3: three 65,536-byte tables follow, indexed [d * 256 + s].
};

void ClearAdjustment(rx_ThreadState *state) {
  if (state->adjustmentTables != nullptr) GlobalFree(state->adjustmentTables);
  state->adjustmentTables = nullptr;
  state->adjustmentMode = 0;
  state->adjustmentParameter = 0;
  state->adjustmentTableSize = 0;
}

uint8_t Interpolate(const uint8_t *table, uint32_t n, uint32_t i) {
  uint32_t q = n * i, k = q >> 8, frac = q & 255;
  uint32_t next = k < n - 1 ? k + 1 : k;
  return static_cast<uint8_t>(((256 - frac) * table[k] + frac * table[next]) >> 8);
}

int32_t Fail(rx_ThreadState *state, int32_t code) {
  state->lastError = code;
  return 0;
}

}  // namespace

bool rx_HasAdjustment(const rx_ThreadState *state) {
  if (state->adjustmentTables == nullptr || state->adjustmentTableSize < sizeof(AdjustBlock)) return false;
  auto *block = static_cast<const AdjustBlock *>(state->adjustmentTables);
  return block->mode == static_cast<uint32_t>(state->adjustmentMode);
}

uint32_t rx_AdjustPixel(const rx_ThreadState *state, uint32_t d, uint32_t s) {
  using namespace rx_kernel;
  auto *block = static_cast<const AdjustBlock *>(state->adjustmentTables);
  switch (block->mode) {
    // Operation 126 passes the destination through the curves in both modes.
    case 1:
    case 2: return Pack(block->curves[0][B(d, 0)], block->curves[1][B(d, 8)], block->curves[2][B(d, 16)], T(d));
    case 3: {
      auto *tables = reinterpret_cast<const uint8_t *>(block + 1);
      uint32_t out = d & 0xFF000000;
      for (int c = 0; c < 3; ++c)
        out |= static_cast<uint32_t>(tables[c * 65536 + B(d, 8 * c) * 256 + B(s, 8 * c)]) << (8 * c);
      return out;
    }
    case 4: {
      // Selectors 0-3 take the destination's blue, green, red, T; 4-7 the
      // source's; 8 gives 0 and 9 gives 255; anything else keeps the channel.
      uint32_t out = d & 0xFF000000;
      for (int c = 0; c < 3; ++c) {
        uint32_t sel = (block->selectors >> (4 * c)) & 15, v;
        if (sel < 4) v = B(d, 8 * static_cast<int>(sel));
        else if (sel < 8) v = B(s, 8 * static_cast<int>(sel - 4));
        else if (sel == 8) v = 0;
        else if (sel == 9) v = 255;
        else v = B(d, 8 * c);
        out |= v << (8 * c);
      }
      return out;
    }
    // 17: the first callback maps the whole destination pixel.
    case 17: return (block->callbacks[0](d, block->user) & 0x00FFFFFF) | (d & 0xFF000000);
    case 18: {
      // 18: one callback per channel maps the destination pixel to that channel.
      uint32_t out = d & 0xFF000000;
      for (int c = 0; c < 3; ++c) {
        uint32_t v = block->callbacks[c] ? block->callbacks[c](d, block->user) & 255 : B(d, 8 * c);
        out |= v << (8 * c);
      }
      return out;
    }
    // 19: the first callback maps the source pixel, which then replaces the colour.
    case 19: return (block->callbacks[0](s, block->user) & 0x00FFFFFF) | (d & 0xFF000000);
    default: return d;
  }
}

int32_t rx_SetAdjustment(const rx_Adjustment *record) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  ClearAdjustment(state);
  if (record == nullptr) {
    state->lastError = rx_ErrNone;
    return 1;
  }
  if (rx_ProbeMemory(record, sizeof *record, false) != 0) return Fail(state, rx_ErrArgument);
  uint32_t mode = record->mode, n = record->count;
  size_t bytes = sizeof(AdjustBlock);
  switch (mode) {
    case 1:
    case 2:
      if (n < 2 || n > 65536 || (!record->tables[0] && !record->tables[1] && !record->tables[2]))
        return Fail(state, rx_ErrArgument);
      for (const uint8_t *t : record->tables)
        if (t && rx_ProbeMemory(t, n, false) != 0) return Fail(state, rx_ErrNoAdjustment);
      break;
    case 3:
      if (n < 2 || n > 4096 || !record->tables[0] || !record->tables[1] || !record->tables[2])
        return Fail(state, rx_ErrArgument);
      for (const uint8_t *t : record->tables)
        if (rx_ProbeMemory(t, static_cast<size_t>(n) * n, false) != 0) return Fail(state, rx_ErrNoAdjustment);
      bytes += 3 * 65536;
      break;
    case 4:
      for (uint8_t s : record->selectors)
        if (s > 15) return Fail(state, rx_ErrArgument);
      break;
    case 17:
    case 19:
      if (!record->callbacks[0]) return Fail(state, rx_ErrArgument);
      break;
    case 18:
      if (!record->callbacks[0] && !record->callbacks[1] && !record->callbacks[2]) return Fail(state, rx_ErrArgument);
      break;
    default:
      // Any other mode clears the adjustment.
      state->lastError = rx_ErrNone;
      return 1;
  }
  auto *block = static_cast<AdjustBlock *>(GlobalAlloc(GPTR, bytes));
  if (block == nullptr) return Fail(state, rx_ErrNoMemory);
  block->mode = mode;
  block->user = record->user;
  for (int c = 0; c < 3; ++c) block->callbacks[c] = record->callbacks[c];
  block->selectors = record->selectors[0] | record->selectors[1] << 4 | record->selectors[2] << 8;
  if (mode == 1 || mode == 2) {
    for (int c = 0; c < 3; ++c)
      for (uint32_t i = 0; i < 256; ++i)
        block->curves[c][i] = record->tables[c] ? Interpolate(record->tables[c], n, i) : static_cast<uint8_t>(i);
  } else if (mode == 3) {
    auto *tables = reinterpret_cast<uint8_t *>(block + 1);
    for (int c = 0; c < 3; ++c) {
      const uint8_t *src = record->tables[c];
      for (uint32_t d = 0; d < 256; ++d) {
        uint32_t qd = n * d, kd = qd >> 8, fd = qd & 255, kd1 = kd < n - 1 ? kd + 1 : kd;
        for (uint32_t s = 0; s < 256; ++s) {
          uint32_t qs = n * s, ks = qs >> 8, fs = qs & 255, ks1 = ks < n - 1 ? ks + 1 : ks;
          uint32_t top = (256 - fs) * src[kd * n + ks] + fs * src[kd * n + ks1];
          uint32_t bottom = (256 - fs) * src[kd1 * n + ks] + fs * src[kd1 * n + ks1];
          tables[c * 65536 + d * 256 + s] = static_cast<uint8_t>(((256 - fd) * top + fd * bottom) >> 16);
        }
      }
    }
  } else if (mode >= 17) {
    for (rx_AdjustCallback cb : block->callbacks)
      if (cb) cb(0, record->user);
  }
  state->adjustmentTables = block;
  state->adjustmentTableSize = static_cast<uint32_t>(bytes);
  state->adjustmentMode = static_cast<int32_t>(mode);
  state->adjustmentParameter = static_cast<int32_t>(record->parameter);
  state->lastError = rx_ErrNone;
  return 1;
}

int32_t rx_SetBlendTableAdjustment(const uint8_t *blend) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (blend == nullptr || rx_ProbeMemory(blend, 8, false) != 0) return Fail(state, rx_ErrArgument);
  rx_Adjustment a{};
  a.mode = 3;
  uint32_t n = blend[6] | blend[7] << 8;
  // Tables of more than 256 bytes are n x n, one after the other from byte
  // 256; anything else is the short form: one 8 x 8 table for all channels.
  if (blend[5] == 0x40 && n * n > 256 && n <= 4096) {
    size_t size = static_cast<size_t>(n) * n;
    a.count = n;
    for (int c = 0; c < 3; ++c) a.tables[c] = blend + 256 + c * size;
  } else {
    a.count = 8;
    for (int c = 0; c < 3; ++c) a.tables[c] = blend + 67;
  }
  return rx_SetAdjustment(&a);
}
