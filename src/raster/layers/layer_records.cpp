// Readers and writers of the binary layer records (layouts in the header).
#include "raster/layers/layer_records.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace {

uint32_t ReadU32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void WriteU32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

float ReadF32(const uint8_t *p) { return std::bit_cast<float>(ReadU32(p)); }
void WriteF32(uint8_t *p, float v) { WriteU32(p, std::bit_cast<uint32_t>(v)); }

double ReadF64(const uint8_t *p) {
  uint64_t v = ReadU32(p) | static_cast<uint64_t>(ReadU32(p + 4)) << 32;
  return std::bit_cast<double>(v);
}

void WriteF64(uint8_t *p, double v) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  WriteU32(p, static_cast<uint32_t>(bits));
  WriteU32(p + 4, static_cast<uint32_t>(bits >> 32));
}

bool Usable(const prop_Record *record) { return record != nullptr && (record->data != nullptr || record->length == 0); }

}  // namespace

// ---------------------------------------------------------------------------
int32_t prop_ReadSprite(const prop_Record *record, prop_Sprite *out) {
  if (!Usable(record) || out == nullptr || record->length < prop_SpriteMinBytes) return 0;
  const uint8_t *d = record->data;
  *out = prop_Sprite{ReadU32(d), ReadU32(d + 4), ReadU32(d + 8), ReadU32(d + 12), 0, 0};
  if (record->length >= prop_SpriteBytes) {
    out->cellWidth = ReadU32(d + 16);
    out->cellHeight = ReadU32(d + 20);
  }
  return 1;
}

void prop_WriteSprite(const prop_Sprite *sprite, uint8_t *out) {
  WriteU32(out, sprite->columns);
  WriteU32(out + 4, sprite->rows);
  WriteU32(out + 8, sprite->frameCount);
  WriteU32(out + 12, sprite->frameTime);
  WriteU32(out + 16, sprite->cellWidth);
  WriteU32(out + 20, sprite->cellHeight);
}

uint32_t prop_SpriteFrames(const prop_Sprite *sprite) {
  if (sprite->frameCount != 0) return sprite->frameCount;
  uint64_t cells = uint64_t{sprite->columns} * sprite->rows;
  if (cells == 0) return 1;
  return cells > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(cells);
}

uint64_t prop_SpriteDuration(const prop_Sprite *sprite) {
  return uint64_t{prop_SpriteFrames(sprite)} * (sprite->frameTime != 0 ? sprite->frameTime : 100);
}

int32_t prop_SpriteCell(const prop_Sprite *sprite, int64_t time, int32_t width, int32_t height, rx_Rect *cell) {
  if (sprite == nullptr || cell == nullptr || width < 1 || height < 1) return 0;
  int64_t columns = sprite->columns != 0 ? sprite->columns : 1;
  int64_t rows = sprite->rows != 0 ? sprite->rows : 1;
  int64_t cw = sprite->cellWidth != 0 ? sprite->cellWidth : width / columns;
  int64_t ch = sprite->cellHeight != 0 ? sprite->cellHeight : height / rows;
  if (cw < 1 || ch < 1 || cw > width || ch > height) return 0;
  int64_t frameTime = sprite->frameTime != 0 ? sprite->frameTime : 100;
  if (time < 0) time = 0;
  int64_t frame = (time / frameTime) % int64_t{prop_SpriteFrames(sprite)};
  // A frame count beyond the grid starts again at the first cell.
  frame = static_cast<int64_t>(static_cast<uint64_t>(frame) % (static_cast<uint64_t>(columns) * static_cast<uint64_t>(rows)));
  // Column and row are checked against the layer before they are scaled, so
  // nothing here can overflow.
  int64_t column = frame % columns, row = frame / columns;
  if (column >= width / cw || row >= height / ch) return 0;
  int64_t left = column * cw, top = row * ch;
  *cell = rx_Rect{static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(left + cw - 1),
                  static_cast<int32_t>(top + ch - 1), 1};
  return 1;
}

// ---------------------------------------------------------------------------
int32_t prop_CheckAnim(const prop_Record *record, uint32_t *key_count, uint32_t *flags) {
  if (!Usable(record) || record->length < prop_AnimHeaderBytes) return 0;
  uint32_t n = ReadU32(record->data);
  if (n < 1 || n > prop_AnimMaxKeys) return 0;
  if (record->length < prop_AnimHeaderBytes + uint64_t{n} * prop_AnimKeyBytes) return 0;
  uint32_t previous = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t t = ReadU32(record->data + prop_AnimHeaderBytes + size_t{i} * prop_AnimKeyBytes);
    if (t < previous) return 0;
    previous = t;
  }
  if (key_count != nullptr) *key_count = n;
  if (flags != nullptr) *flags = ReadU32(record->data + 4);
  return 1;
}

int32_t prop_ReadAnimKey(const prop_Record *record, uint32_t i, prop_AnimKey *out) {
  if (!Usable(record) || out == nullptr || record->length < prop_AnimHeaderBytes) return 0;
  uint32_t n = ReadU32(record->data);
  if (i >= n || record->length < prop_AnimHeaderBytes + (uint64_t{i} + 1) * prop_AnimKeyBytes) return 0;
  const uint8_t *k = record->data + prop_AnimHeaderBytes + size_t{i} * prop_AnimKeyBytes;
  out->time = ReadU32(k);
  for (int c = 0; c < 4; ++c) out->corners[c] = rx_PointF{ReadF32(k + 4 + 8 * c), ReadF32(k + 8 + 8 * c)};
  return 1;
}

uint32_t prop_AnimDuration(const prop_Record *record) {
  uint32_t n = 0;
  prop_AnimKey last{};
  if (prop_CheckAnim(record, &n, nullptr) == 0 || prop_ReadAnimKey(record, n - 1, &last) == 0) return 0;
  return last.time;
}

int32_t prop_AnimCorners(const prop_Record *record, int64_t time, rx_PointF corners[4]) {
  uint32_t n = 0, flags = 0;
  if (corners == nullptr || prop_CheckAnim(record, &n, &flags) == 0) return 0;
  prop_AnimKey first{}, last{};
  prop_ReadAnimKey(record, 0, &first);
  prop_ReadAnimKey(record, n - 1, &last);
  if ((flags & prop_AnimRepeat) != 0 && last.time > 0 && time > int64_t{last.time}) time %= int64_t{last.time};
  prop_AnimKey a = first, b = first;
  if (time >= int64_t{last.time}) {
    a = b = last;
  } else if (time > int64_t{first.time}) {
    // Keys are sorted: find the pair around `time` by halving.
    uint32_t lo = 0, hi = n - 1;
    while (hi - lo > 1) {
      uint32_t mid = lo + (hi - lo) / 2;
      prop_AnimKey k{};
      prop_ReadAnimKey(record, mid, &k);
      if (int64_t{k.time} <= time) lo = mid;
      else hi = mid;
    }
    prop_ReadAnimKey(record, lo, &a);
    prop_ReadAnimKey(record, hi, &b);
  }
  double f = b.time > a.time ? static_cast<double>(time - int64_t{a.time}) / (b.time - a.time) : 0.0;
  for (int c = 0; c < 4; ++c) {
    double x = a.corners[c].x + (static_cast<double>(b.corners[c].x) - a.corners[c].x) * f;
    double y = a.corners[c].y + (static_cast<double>(b.corners[c].y) - a.corners[c].y) * f;
    if (!std::isfinite(x) || !std::isfinite(y)) return 0;
    corners[c] = rx_PointF{static_cast<float>(x), static_cast<float>(y)};
  }
  return 1;
}

size_t prop_WriteAnim(const prop_AnimKey *keys, uint32_t count, uint32_t flags, uint8_t *out) {
  if (keys == nullptr || count < 1 || count > prop_AnimMaxKeys) return 0;
  size_t bytes = prop_AnimHeaderBytes + size_t{count} * prop_AnimKeyBytes;
  if (out == nullptr) return bytes;
  std::memset(out, 0, prop_AnimHeaderBytes);
  WriteU32(out, count);
  WriteU32(out + 4, flags);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t *k = out + prop_AnimHeaderBytes + size_t{i} * prop_AnimKeyBytes;
    WriteU32(k, keys[i].time);
    for (int c = 0; c < 4; ++c) {
      WriteF32(k + 4 + 8 * c, keys[i].corners[c].x);
      WriteF32(k + 8 + 8 * c, keys[i].corners[c].y);
    }
  }
  return bytes;
}

// ---------------------------------------------------------------------------
const uint8_t *prop_ReadBlend(const prop_Record *record) {
  if (!Usable(record) || record->length < 8) return nullptr;
  const uint8_t *d = record->data;
  uint32_t n = d[6] | d[7] << 8;
  // The same test the dispatcher makes, so that it never reads past us.
  if (d[5] == prop_BlendLongMark && n * n > 256 && n <= 4096) {
    uint64_t need = prop_BlendLongOffset + 3 * uint64_t{n} * n;
    return record->length >= need ? d : nullptr;
  }
  return record->length >= prop_BlendShortBytes ? d : nullptr;
}

void prop_WriteBlendShort(const uint8_t table[64], uint8_t *out) {
  std::memset(out, 0, prop_BlendShortBytes);
  std::memcpy(out + prop_BlendShortOffset, table, 64);
}

size_t prop_WriteBlendLong(uint32_t n, const uint8_t *const tables[3], uint8_t *out) {
  if (n > 4096 || n * n <= 256 || tables == nullptr) return 0;
  size_t table = size_t{n} * n, bytes = prop_BlendLongOffset + 3 * table;
  if (bytes > prop_RecordMax) return 0;
  if (out == nullptr) return bytes;
  std::memset(out, 0, prop_BlendLongOffset);
  out[5] = prop_BlendLongMark;
  out[6] = static_cast<uint8_t>(n);
  out[7] = static_cast<uint8_t>(n >> 8);
  for (int c = 0; c < 3; ++c) std::memcpy(out + prop_BlendLongOffset + c * table, tables[c], table);
  return bytes;
}

// ---------------------------------------------------------------------------
namespace {

// Bytes of one table for the mode, 0 when the count does not suit it.
uint64_t AdjustTableBytes(uint32_t mode, uint32_t n) {
  if ((mode == 1 || mode == 2) && n >= 2 && n <= 65536) return n;
  if (mode == 3 && n >= 2 && n <= 4096) return uint64_t{n} * n;
  return 0;
}

}  // namespace

int32_t prop_ReadAdjust(const prop_Record *record, rx_Adjustment *out) {
  if (!Usable(record) || out == nullptr || record->length < prop_AdjustHeaderBytes) return 0;
  const uint8_t *d = record->data;
  rx_Adjustment a{};
  a.mode = ReadU32(d);
  a.parameter = ReadU32(d + 4);
  a.count = ReadU32(d + 8);
  uint8_t mask = d[15];
  if (a.mode == 4) {
    for (int c = 0; c < 3; ++c) {
      a.selectors[c] = d[12 + c];
      if (a.selectors[c] > 15) return 0;
    }
    *out = a;
    return 1;
  }
  uint64_t table = AdjustTableBytes(a.mode, a.count);
  if (table == 0 || (mask & ~7u) != 0) return 0;
  if (a.mode == 3 ? mask != 7 : mask == 0) return 0;
  uint64_t at = prop_AdjustHeaderBytes;
  for (int c = 0; c < 3; ++c) {
    if ((mask & (1u << c)) == 0) continue;
    if (at + table > record->length) return 0;
    a.tables[c] = d + at;
    at += table;
  }
  *out = a;
  return 1;
}

size_t prop_WriteAdjust(const rx_Adjustment *adjustment, uint8_t *out) {
  if (adjustment == nullptr) return 0;
  uint32_t mode = adjustment->mode;
  uint64_t table = 0;
  uint8_t mask = 0;
  if (mode == 4) {
    for (uint8_t s : adjustment->selectors)
      if (s > 15) return 0;
  } else {
    table = AdjustTableBytes(mode, adjustment->count);
    if (table == 0) return 0;
    for (int c = 0; c < 3; ++c)
      if (adjustment->tables[c] != nullptr) mask = static_cast<uint8_t>(mask | 1u << c);
    if (mode == 3 ? mask != 7 : mask == 0) return 0;
  }
  uint64_t bytes = prop_AdjustHeaderBytes + table * static_cast<uint64_t>(std::popcount(mask));
  if (bytes > prop_RecordMax) return 0;
  if (out == nullptr) return static_cast<size_t>(bytes);
  std::memset(out, 0, prop_AdjustHeaderBytes);
  WriteU32(out, mode);
  WriteU32(out + 4, adjustment->parameter);
  WriteU32(out + 8, mode == 4 ? 0 : adjustment->count);
  if (mode == 4)
    for (int c = 0; c < 3; ++c) out[12 + c] = adjustment->selectors[c];
  out[15] = mask;
  size_t at = prop_AdjustHeaderBytes;
  for (int c = 0; c < 3; ++c) {
    if ((mask & (1u << c)) == 0) continue;
    std::memcpy(out + at, adjustment->tables[c], static_cast<size_t>(table));
    at += static_cast<size_t>(table);
  }
  return static_cast<size_t>(bytes);
}

// ---------------------------------------------------------------------------
int32_t prop_ReadPhys(const prop_Record *record, prop_Phys *out) {
  if (!Usable(record) || out == nullptr || record->length < prop_PhysBytes || record->data[0] != 2) return 0;
  prop_Phys p{ReadF64(record->data + 8), ReadF64(record->data + 16), record->data[24]};
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return 0;
  *out = p;
  return 1;
}

void prop_WritePhys(const prop_Phys *phys, uint8_t *out) {
  std::memset(out, 0, prop_PhysBytes);
  out[0] = 2;
  WriteF64(out + 8, phys->x);
  WriteF64(out + 16, phys->y);
  out[24] = phys->unit;
}
