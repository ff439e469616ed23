// Drives the layer properties container over random blocks: the record
// walker, the readers of every record layout, and editing. The block sits in
// a heap buffer of exactly its size, so the sanitizers see any read past it;
// the readers' table pointers are checked to stay inside their record.
//
// With control bit 7 the block also becomes the properties of a layer that
// is flattened over a small scene, so the dispatcher and kernels meet every
// record the readers let through.
//
// Input: one control byte, then the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "raster/layers/layer_records.h"
#include "raster/layers/layers.h"
#include "raster/layers/properties.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool inside(const prop_Record &r, const uint8_t *p, uint64_t bytes) {
  return p >= r.data && static_cast<uint64_t>(p - r.data) + bytes <= r.length;
}

void readAll(const prop_Record &r, uint8_t control) {
  prop_Sprite sprite{};
  if (prop_ReadSprite(&r, &sprite) == 1) {
    rx_Rect cell{};
    int32_t w = 1 + control % 97, h = 1 + control % 13;
    if (prop_SpriteCell(&sprite, static_cast<int64_t>(control) * 37, w, h, &cell) == 1)
      check(cell.left >= 0 && cell.top >= 0 && cell.right < w && cell.bottom < h && cell.left <= cell.right &&
            cell.top <= cell.bottom);
    (void)prop_SpriteDuration(&sprite);
  }
  uint32_t keys = 0;
  if (prop_CheckAnim(&r, &keys, nullptr) == 1) {
    check(r.length >= 16 + uint64_t{keys} * 36);
    rx_PointF corners[4];
    for (int64_t t : {int64_t{-5}, int64_t{0}, int64_t{control} * 11, int64_t{1} << 40}) prop_AnimCorners(&r, t, corners);
    (void)prop_AnimDuration(&r);
  }
  if (const uint8_t *blend = prop_ReadBlend(&r)) {
    // What the dispatcher will read from it.
    uint32_t n = blend[6] | blend[7] << 8;
    if (blend[5] == 0x40 && n * n > 256 && n <= 4096)
      check(inside(r, blend + 256, 3 * uint64_t{n} * n));
    else
      check(inside(r, blend + 67, 64));
  }
  rx_Adjustment a{};
  if (prop_ReadAdjust(&r, &a) == 1) {
    uint64_t table = a.mode == 3 ? uint64_t{a.count} * a.count : a.count;
    for (const uint8_t *t : a.tables)
      if (t != nullptr) check(inside(r, t, table));
    for (uint8_t s : a.selectors) check(s <= 15);
  }
  prop_Phys phys{};
  prop_ReadPhys(&r, &phys);
}

void flattenWith(const std::vector<uint8_t> &block, uint8_t control) {
  rx_LayerEntry entries[3]{};
  if (rx_SurfaceCreate(&entries[0].surface, 16, 16, rx_CreateMemory) != 1 ||
      rx_SurfaceCreate(&entries[1].surface, 8, 8, rx_CreateMemory) != 1) {
    rx_LayersRelease(entries, 3);
    return;
  }
  entries[1].x = control & 7;
  entries[1].y = (control >> 3) & 7;
  entries[1].flags = (control & 0x40) ? rx_ModeCustom : (control & 0x1F);
  entries[1].attributeB = static_cast<uint8_t>(control * 7);
  if (!block.empty()) {
    entries[1].properties = GlobalAlloc(GMEM_FIXED, block.size());
    if (entries[1].properties != nullptr) {
      std::memcpy(entries[1].properties, block.data(), block.size());
      entries[1].propertiesLength = static_cast<uint32_t>(block.size());
    }
  }
  LoadSaveOptions options{};
  options.documentKind = (control & 0x20) ? 3 : 0;
  rx_Surface target{};
  int32_t accounted = rx_LayersFlatten(&target, (control & 0x10) ? -1 : control * 13, entries, 2, &options);
  check(accounted <= 2);
  if (accounted > 0) check(target.width >= 1 && target.height >= 1);
  if (target.signature != 0) rx_SurfaceFree(&target);
  rx_LayersRelease(entries, 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint8_t control = data[0];
  std::vector<uint8_t> block(data + 1, data + size);
  const uint8_t *bytes = block.empty() ? nullptr : block.data();

  int32_t valid = prop_Validate(bytes, block.size());
  prop_Walker walker{};
  int32_t records = 0;
  if (prop_WalkBegin(&walker, bytes, block.size()) == 1) {
    prop_Record r{};
    int32_t step;
    while ((step = prop_WalkNext(&walker, &r)) == 1) {
      check(r.length <= prop_RecordMax);
      check(r.data >= bytes && static_cast<size_t>(r.data - bytes) + r.length <= block.size());
      readAll(r, control);
      ++records;
    }
    check(valid == (step == 0 ? 1 : 0));
  } else {
    check(valid == 0);
  }
  char text[64];
  int32_t n = prop_GetMarkup(bytes, block.size(), text, static_cast<int32_t>(1 + control % sizeof text));
  check(n < 0 || std::strlen(text) <= static_cast<size_t>(n));

  // Editing a copy in a global block: refused when malformed and then
  // untouched; otherwise the result walks and holds what was set.
  HGLOBAL h = nullptr;
  if (!block.empty()) {
    h = GlobalAlloc(GMEM_FIXED, block.size());
    if (h == nullptr) return 0;
    std::memcpy(h, block.data(), block.size());
  }
  uint32_t length = static_cast<uint32_t>(block.size());
  const uint32_t tag = prop_Tag("FUZZ") ^ (control & 3u);
  uint32_t chunk = static_cast<uint32_t>(block.size() < 40 ? block.size() : 40);
  int32_t set = prop_SetRecord(&h, &length, tag, bytes, chunk);
  if (valid == 0) {
    check(set == 0 && length == block.size());
    check(block.empty() || std::memcmp(h, block.data(), block.size()) == 0);
  }
  if (set == 1) {
    check(prop_Validate(h, length) == 1);
    prop_Record found{};
    check(prop_Find(h, length, tag, &found) == 1 && found.length == chunk);
    check(chunk == 0 || std::memcmp(found.data, block.data(), chunk) == 0);
    check(prop_RemoveRecord(&h, &length, tag) == 1);
    check(prop_Find(h, length, tag, nullptr) == 0);
    check(prop_SetMarkup(&h, &length, "exif.make=x;") == 1);
    check(prop_GetMarkup(h, length, text, sizeof text) == 12);
  }
  if (h != nullptr) GlobalFree(h);
  if (control & 0x80) flattenWith(block, control);
  return 0;
}
