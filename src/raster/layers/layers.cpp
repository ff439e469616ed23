// Layer tables and flattening.
#include "raster/layers/layers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/layers/layer_records.h"
#include "raster/thread_state.h"

namespace {

// The entry's pixel size, 0 x 0 for an entry without a usable surface.
rx_Size rx_EntrySize(rx_LayerEntry *entry) {
  if (rx_SurfaceRefresh(&entry->surface) == 0) return {0, 0};
  return {static_cast<int32_t>(entry->surface.width), static_cast<int32_t>(entry->surface.height)};
}

// Whole part (floor: edges are rounded as value + 0.5, so a layer at x = -3
// still starts at -3), kept inside what the kernels' coordinates can take.
int32_t rx_WholePart(double v) {
  if (!(v > -1e9)) return -1000000000;
  if (v > 1e9) return 1000000000;
  return static_cast<int32_t>(std::floor(v));
}

// (Re)creates the target when its size differs.
bool rx_EnsureTarget(rx_Surface *target, int32_t width, int32_t height) {
  if (width < 1 || height < 1) return false;
  if (rx_SurfaceRefresh(target) != 0 && target->width == static_cast<uint32_t>(width) &&
      target->height == static_cast<uint32_t>(height))
    return true;
  return rx_SurfaceCreate(target, width, height, rx_CreateMemory | rx_CreateNoShrink) == 1;
}

bool rx_Clear(rx_Surface *surface, uint32_t colour) {
  if (rx_SurfaceRefresh(surface) == 0) return false;
  return rx_FillRect(surface, 0, 0, static_cast<int32_t>(surface->width) - 1,
                     static_cast<int32_t>(surface->height) - 1, colour, 0) != 0;
}

void rx_WriteResultSize(LoadSaveOptions *options, rx_Surface *target) {
  options->resultWidth = target->width;
  options->resultHeight = target->height;
}

// The image a list shows: the one asked for, else the largest (the later
// one on equal areas).
int32_t rx_PickImage(int32_t index, rx_LayerEntry *entries, int32_t count) {
  if (index >= 0) return std::min(index, count - 1);
  if (count == 1) return 0;
  int32_t best = 0;
  int64_t bestArea = -1;
  for (int32_t i = 0; i < count; ++i) {
    rx_Size s = rx_EntrySize(&entries[i]);
    int64_t area = int64_t{s.width} * s.height;
    if (area >= bestArea) best = i, bestArea = area;
  }
  return best;
}

bool rx_Pages(const LoadSaveOptions *options) {
  return options->documentKind == rx_DocComposite && options->documentSubKind == rx_DocOptionPages;
}

// Kinds other than the four known ones are drawn as composites, as the
// document reader maps unknown types.
uint8_t rx_Kind(const LoadSaveOptions *options) {
  return options->documentKind <= rx_DocObjects ? options->documentKind : uint8_t{rx_DocComposite};
}

struct rx_ClipGuard {
  rx_Rect saved{};
  bool held = false;
  rx_ClipGuard() { held = rx_GetClipRect(&saved) != 0; }
  ~rx_ClipGuard() {
    if (held) rx_SetClipRect(&saved);
  }
};

// Kind 1: one image of the list, or the companion composition of the first two.
int32_t rx_FlattenImageList(rx_Surface *target, int32_t index, rx_LayerEntry *entries, int32_t count,
                            LoadSaveOptions *options) {
  rx_Size canvas{};
  rx_LayersCanvasSize(&canvas, index, entries, count, options);
  if (index < 0 && count > 1 && options->documentSubKind == rx_DocOptionPages && options->frameComposition != 0) {
    rx_Size first = rx_EntrySize(&entries[0]), second = rx_EntrySize(&entries[1]);
    if (first.width < 1 || second.width < 1 || canvas.width < 1 || !rx_EnsureTarget(target, first.width, first.height))
      return 0;
    if (rx_ResampleRect(target, 0, 0, canvas.width - 1, canvas.height - 1, &entries[0].surface, 0, 0,
                        first.width - 1, first.height - 1, 0) == 0)
      return 0;
    // The second image's blue and green over the first one's red.
    rx_Adjustment routing{};
    routing.mode = 4;
    routing.selectors[0] = 4;
    routing.selectors[1] = 5;
    routing.selectors[2] = 2;
    rx_PointF corners[4] = {{0.0f, 0.0f},
                            {static_cast<float>(canvas.width - 1), 0.0f},
                            {static_cast<float>(canvas.width - 1), static_cast<float>(canvas.height - 1)},
                            {0.0f, static_cast<float>(canvas.height - 1)}};
    rx_Rect source{0, 0, second.width - 1, second.height - 1, 1};
    rx_ClipGuard clip;
    int32_t drawn = rx_DrawQuad(target, &entries[1].surface, corners, &source, 0, 0, 0, nullptr, &routing);
    rx_SetAdjustment(nullptr);
    if (drawn == 0) return 0;
    rx_WriteResultSize(options, target);
    return 1;
  }
  int32_t pick = rx_PickImage(index, entries, count);
  if (rx_EntrySize(&entries[pick]).width < 1 || rx_SurfaceCopy(target, &entries[pick].surface) == 0) return 0;
  rx_WriteResultSize(options, target);
  return 1;
}

// Kind 2: one frame, centred on the largest frame's canvas.
int32_t rx_FlattenFrames(rx_Surface *target, int32_t index, rx_LayerEntry *entries, int32_t count,
                         LoadSaveOptions *options) {
  if (index < 0) index = count / 5;
  index = std::min(index, count - 1);
  rx_Size canvas{};
  rx_LayersCanvasSize(&canvas, index, entries, count, options);
  rx_Size frame = rx_EntrySize(&entries[index]);
  if (frame.width < 1 || !rx_EnsureTarget(target, canvas.width, canvas.height) || !rx_Clear(target, 0xFFFFFFFF))
    return 0;
  int32_t x = (canvas.width - frame.width) / 2, y = (canvas.height - frame.height) / 2;
  if (rx_CopyRect(target, x, y, x + frame.width - 1, y + frame.height - 1, &entries[index].surface, 0, 0,
                  frame.width - 1, frame.height - 1, 0) == 0)
    return 0;
  rx_WriteResultSize(options, target);
  return 1;
}

struct rx_ViewHolder {
  rx_Surface surface{};
  bool made = false;
  ~rx_ViewHolder() {
    if (made) rx_SurfaceFree(&surface);
  }
};

// One entry of a composite or object animation; true when it was drawn.
bool rx_DrawEntry(rx_Surface *target, rx_LayerEntry *entry, bool atOrigin, bool objects, int64_t time, double s,
                  int32_t mode) {
  rx_Size size = rx_EntrySize(entry);
  if (size.width < 1) return false;
  rx_Surface *source = &entry->surface;
  rx_ViewHolder view;
  rx_Rect sourceRect{0, 0, size.width - 1, size.height - 1, 1};
  prop_Record record{};
  if (objects && rx_LayerFindRecord(entry, prop_TagSprite, &record) == 1) {
    prop_Sprite sprite{};
    rx_Rect cell{};
    if (prop_ReadSprite(&record, &sprite) == 0 || prop_SpriteCell(&sprite, time, size.width, size.height, &cell) == 0)
      return false;
    size = {cell.right - cell.left + 1, cell.bottom - cell.top + 1};
    if (rx_SurfaceView(&view.surface, &entry->surface, cell.left, cell.top, cell.right, cell.bottom) == 1) {
      view.made = true;
      source = &view.surface;
      sourceRect = rx_Rect{0, 0, size.width - 1, size.height - 1, 1};
    } else {
      sourceRect = cell;  // beyond what a view can address: the cell of the whole sheet
    }
  }
  rx_PointF corners[4];
  bool placed = false;
  if (objects && !atOrigin && rx_LayerFindRecord(entry, prop_TagAnim, &record) == 1) {
    if (prop_AnimCorners(&record, time, corners) == 0) return false;
    for (rx_PointF &c : corners) c = {static_cast<float>(c.x * s), static_cast<float>(c.y * s)};
    placed = true;
  }
  if (!placed) {
    double x = atOrigin ? 0 : entry->x, y = atOrigin ? 0 : entry->y;
    int32_t left = rx_WholePart(x * s + 0.5), top = rx_WholePart(y * s + 0.5);
    int32_t right = rx_WholePart((x + size.width) * s + 0.5), bottom = rx_WholePart((y + size.height) * s + 0.5);
    int32_t w = std::max(1, right - left), h = std::max(1, bottom - top);
    // Wholly outside the canvas: nothing to draw, and that is no failure.
    if (left >= static_cast<int32_t>(target->width) || top >= static_cast<int32_t>(target->height) ||
        int64_t{left} + w <= 0 || int64_t{top} + h <= 0)
      return true;
    float l = static_cast<float>(left), t = static_cast<float>(top);
    float r = static_cast<float>(left + w - 1), b = static_cast<float>(top + h - 1);
    corners[0] = {l, t}, corners[1] = {r, t}, corners[2] = {r, b}, corners[3] = {l, b};
  }
  const uint8_t *blend = nullptr;
  if (mode == rx_ModeCustom && rx_LayerFindRecord(entry, prop_TagBlend, &record) == 1) blend = prop_ReadBlend(&record);
  rx_Adjustment adjustment{};
  const rx_Adjustment *adjust = nullptr;
  if (rx_LayerFindRecord(entry, prop_TagAdjust, &record) == 1) {
    // A damaged adjustment is not drawn as pixels instead: the layer is left out.
    if (prop_ReadAdjust(&record, &adjustment) == 0) return false;
    adjust = &adjustment;
  }
  return rx_DrawQuad(target, source, corners, &sourceRect, entry->attributeB, mode, 0, blend, adjust) != 0;
}

// Kinds 0 and 3.
int32_t rx_FlattenScene(rx_Surface *target, int32_t index, rx_LayerEntry *entries, int32_t count,
                        LoadSaveOptions *options, bool objects) {
  bool fit = options->fitInside != 0 && options->wantedWidth >= 16 && options->wantedHeight >= 16;
  // The bottom layer is always drawn: only its mode and two carried bits stay.
  entries[0].flags &= rx_LayerModeMask | 0x0800 | 0x8000;
  int64_t time = 0;
  if (objects) time = index >= 0 ? index : rx_LayersDuration(entries, count, options) / 5;
  rx_Size canvas{};
  rx_LayersCanvasSize(&canvas, objects ? -1 : index, entries, count, options);
  if (canvas.width < 1 || canvas.height < 1) return 0;
  double s = 1.0;
  int32_t width = canvas.width, height = canvas.height;
  if (fit && (canvas.width > options->wantedWidth || canvas.height > options->wantedHeight)) {
    s = std::min(static_cast<double>(options->wantedHeight) / canvas.height,
                 static_cast<double>(options->wantedWidth) / canvas.width);
    width = std::max(1, rx_WholePart(canvas.width * s + 0.5));
    height = std::max(1, rx_WholePart(canvas.height * s + 0.5));
  }
  if (!rx_EnsureTarget(target, width, height)) return 0;
  // A re-used target must not show through where no layer lands.
  if (!rx_Clear(target, 0xFF000000)) return 0;

  bool pages = !objects && rx_Pages(options);
  int32_t start = pages ? rx_LayersPageStart(index, entries, count, options) : 0;
  int32_t end = count;
  if (pages) {
    for (int32_t i = start + 1; i < count; ++i)
      if (entries[i].flags & rx_LayerPageStart) {
        end = i;
        break;
      }
  }
  rx_ClipGuard clip;
  int32_t accounted = 0;
  bool first = true;
  for (int pass = 0; pass < 2; ++pass) {
    for (int32_t i = start; i < end; ++i) {
      rx_LayerEntry *entry = &entries[i];
      bool upper = (entry->flags & rx_LayerUpperGroup) != 0;
      if (upper != (pass == 1)) continue;
      if ((entry->flags & rx_LayerHidden) || ((entry->flags & rx_LayerPreview) && options->preview == 0)) {
        ++accounted;
        continue;
      }
      int32_t mode = first ? rx_ModeReplace : entry->flags & rx_LayerModeMask;
      first = false;
      // The page's first entry carries the canvas, so it sits at the origin like entry 0.
      if (rx_DrawEntry(target, entry, i == start, objects, time, s, mode)) ++accounted;
    }
  }
  rx_WriteResultSize(options, target);
  return accounted;
}

}  // namespace

// ---------------------------------------------------------------------------
rx_LayerEntry *rx_LayerTableCreate() {
  return static_cast<rx_LayerEntry *>(GlobalAlloc(GPTR, sizeof(rx_LayerEntry) * rx_LayerTableEntries));
}

void rx_LayerEntryRelease(rx_LayerEntry *entry) {
  if (entry == nullptr) return;
  if (entry->surface.signature != 0) rx_SurfaceFree(&entry->surface);
  os_GlobalRelease(entry->properties);
  std::memset(static_cast<void *>(entry), 0, sizeof *entry);
}

void rx_LayersRelease(rx_LayerEntry *entries, int32_t count) {
  if (entries == nullptr) return;
  count = std::min(count, rx_LayerTableEntries);
  for (int32_t i = 0; i < count; ++i) rx_LayerEntryRelease(&entries[i]);
}

void rx_LayerTableFree(rx_LayerEntry *table) {
  if (table == nullptr) return;
  rx_LayersRelease(table, rx_LayerTableEntries);
  os_GlobalRelease(table);
}

size_t rx_LayerPropertiesBytes(const rx_LayerEntry *entry) {
  return entry == nullptr ? 0 : prop_BlockBytes(entry->properties, entry->propertiesLength);
}

int32_t rx_LayerFindRecord(const rx_LayerEntry *entry, uint32_t tag, prop_Record *record) {
  if (entry == nullptr) return 0;
  return prop_Find(entry->properties, rx_LayerPropertiesBytes(entry), tag, record);
}

int32_t rx_LayersCanvasSize(rx_Size *out_size, int32_t index, rx_LayerEntry *entries, int32_t count,
                            LoadSaveOptions *options) {
  if (out_size == nullptr || entries == nullptr || options == nullptr || count < 1) return 0;
  count = std::min(count, rx_LayerTableCapacity);
  rx_Size size{};
  switch (rx_Kind(options)) {
    case rx_DocImageList:
      size = rx_EntrySize(&entries[rx_PickImage(index, entries, count)]);
      break;
    case rx_DocFrames:
      for (int32_t i = 0; i < count; ++i) {
        rx_Size s = rx_EntrySize(&entries[i]);
        size.width = std::max(size.width, s.width);
        size.height = std::max(size.height, s.height);
      }
      break;
    case rx_DocObjects: {
      size = rx_EntrySize(&entries[0]);
      prop_Record record{};
      prop_Sprite sprite{};
      if (rx_LayerFindRecord(&entries[0], prop_TagSprite, &record) == 1 && prop_ReadSprite(&record, &sprite) == 1) {
        size.width /= static_cast<int32_t>(std::min<uint32_t>(std::max<uint32_t>(sprite.columns, 1), 65536));
        size.height /= static_cast<int32_t>(std::min<uint32_t>(std::max<uint32_t>(sprite.rows, 1), 65536));
      }
      break;
    }
    default:
      size = rx_EntrySize(&entries[rx_Pages(options) ? rx_LayersPageStart(index, entries, count, options) : 0]);
      break;
  }
  *out_size = size;
  options->resultWidth = static_cast<uint32_t>(size.width);
  options->resultHeight = static_cast<uint32_t>(size.height);
  return 1;
}

int32_t rx_LayersDuration(rx_LayerEntry *entries, int32_t count, LoadSaveOptions *options) {
  if (entries == nullptr || options == nullptr || count < 1) return 0;
  count = std::min(count, rx_LayerTableCapacity);
  uint64_t total = 0;
  if (options->documentKind == rx_DocObjects) {
    for (int32_t i = 0; i < count; ++i) {
      prop_Record record{};
      if (rx_LayerFindRecord(&entries[i], prop_TagAnim, &record) == 1)
        total = std::max<uint64_t>(total, prop_AnimDuration(&record));
      prop_Sprite sprite{};
      if (rx_LayerFindRecord(&entries[i], prop_TagSprite, &record) == 1 && prop_ReadSprite(&record, &sprite) == 1)
        total = std::max(total, prop_SpriteDuration(&sprite));
    }
  } else if (options->documentKind == rx_DocImageList) {
    for (int32_t i = 0; i < count; ++i) total += entries[i].frame;
  }
  return static_cast<int32_t>(std::min<uint64_t>(total, 0x7FFFFFFF));
}

int32_t rx_LayersHasPages(const LoadSaveOptions *options) {
  if (options == nullptr) return 0;
  return options->documentKind == rx_DocImageList || rx_Pages(options) ? 1 : 0;
}

int32_t rx_LayersPageStart(int32_t index, rx_LayerEntry *entries, int32_t count, LoadSaveOptions *options) {
  if (options == nullptr) return 0;
  if (options->documentKind == rx_DocImageList || options->documentKind == rx_DocFrames) return index;
  if (!rx_Pages(options) || index < 1 || entries == nullptr) return 0;
  count = std::min(count, rx_LayerTableCapacity);
  int32_t seen = 0;
  for (int32_t i = 1; i < count; ++i)
    if ((entries[i].flags & rx_LayerPageStart) && ++seen == index) return i;
  return 0;
}

int32_t rx_LayersFlatten(rx_Surface *target, int32_t index, rx_LayerEntry *entries, int32_t count,
                         LoadSaveOptions *options) {
  if (target == nullptr || entries == nullptr || options == nullptr || count < 1) return 0;
  count = std::min(count, rx_LayerTableCapacity);
  switch (rx_Kind(options)) {
    case rx_DocImageList: return rx_FlattenImageList(target, index, entries, count, options);
    case rx_DocFrames: return rx_FlattenFrames(target, index, entries, count, options);
    case rx_DocObjects: return rx_FlattenScene(target, index, entries, count, options, true);
    default: return rx_FlattenScene(target, index, entries, count, options, false);
  }
}
