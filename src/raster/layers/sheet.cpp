// Animations laid out as one sheet of cells, and the markup of all layers
// merged into one properties block.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "markup/markup_text.h"
#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/layers.h"

namespace {

// Keeps a sheet within what one surface may hold.
constexpr double kSheetPixelLimit = 250000000.0;
constexpr double kObjectSheetPixels = 200000000.0;
constexpr int64_t kObjectSheetFrames = 16384;

rx_Size rx_SheetEntrySize(rx_LayerEntry *entry) {
  if (rx_SurfaceRefresh(&entry->surface) == 0) return {0, 0};
  return {static_cast<int32_t>(entry->surface.width), static_cast<int32_t>(entry->surface.height)};
}

uint64_t rx_GridCost(int64_t c, int64_t rows, int64_t n) {
  double cells = static_cast<double>(c) * static_cast<double>(rows);
  double waste = std::fabs(cells - static_cast<double>(n)) / cells;
  double shape = 1.0 - static_cast<double>(std::min(c, rows)) / static_cast<double>(std::max(c, rows));
  auto whole = [](double v) { return static_cast<uint64_t>(std::floor(v)); };
  return whole(waste * 16384 + 0.5) * 65536 + whole(shape * 16384 + 0.5);
}

// Fills one cell with a frame: copied when the sizes match, else resampled.
bool rx_DrawCell(rx_Surface *sheet, int32_t left, int32_t top, rx_Size cell, rx_Surface *frame, rx_Size size) {
  if (size.width == cell.width && size.height == cell.height)
    return rx_CopyRect(sheet, left, top, left + cell.width - 1, top + cell.height - 1, frame, 0, 0, size.width - 1,
                       size.height - 1, 0) != 0;
  return rx_ResampleRect(sheet, left, top, left + cell.width - 1, top + cell.height - 1, frame, 0, 0, size.width - 1,
                         size.height - 1, rx_OptScaleCase) != 0;
}

struct rx_SheetSurface {
  rx_Surface surface{};
  ~rx_SheetSurface() {
    if (surface.signature != 0) rx_SurfaceFree(&surface);
  }
};

}  // namespace

int32_t rx_SheetGrid(int64_t n, int32_t cell_w, int32_t cell_h, int32_t *columns, int32_t *rows) {
  if (columns == nullptr || rows == nullptr || cell_w < 1 || cell_h < 1 || n < 0) return 0;
  if (n <= 1) {
    *columns = *rows = static_cast<int32_t>(n);
    return 1;
  }
  int64_t columnLimit = 65536 / cell_w, rowLimit = 65536 / cell_h;
  int64_t cmax = std::max<int64_t>(1, std::min(n / 2, columnLimit));
  int64_t bestC = cmax, bestR = (n + cmax - 1) / cmax;
  uint64_t bestCost = std::numeric_limits<uint64_t>::max();
  int64_t candidate = 2;
  while (candidate < cmax && (n - 1 + candidate) / candidate > rowLimit) ++candidate;
  for (int64_t c = candidate; c <= cmax; ++c) {
    int64_t r = (n - 1 + c) / c;
    uint64_t cost = rx_GridCost(c, r, n);
    // Not above the best: on equal cost the wider grid wins.
    if (cost <= bestCost) bestCost = cost, bestC = c, bestR = r;
  }
  if (bestR > 0x7FFFFFFF) return 0;
  *columns = static_cast<int32_t>(bestC);
  *rows = static_cast<int32_t>(bestR);
  return 1;
}

int32_t rx_LayersToSheet(rx_LayerEntry *entries, int32_t count, LoadSaveOptions *options, int32_t width,
                         int32_t height) {
  if (entries == nullptr || options == nullptr || count < 1 || count > rx_LayerTableCapacity) return 0;
  uint8_t kind = options->documentKind;
  if (kind != rx_DocFrames && kind != rx_DocObjects) return 0;
  if (kind == rx_DocFrames && count < 2) return 0;
  rx_Size first = rx_SheetEntrySize(&entries[0]);
  if (first.width < 1 || first.height < 1) return 0;

  rx_Size cell{};
  std::vector<int64_t> repeats;
  int64_t cells = 0;
  uint32_t frameTime = 0;
  int32_t duration = 0;
  if (kind == rx_DocFrames) {
    for (int32_t i = 0; i < count; ++i) {
      rx_Size s = rx_SheetEntrySize(&entries[i]);
      cell.width = std::max(cell.width, s.width);
      cell.height = std::max(cell.height, s.height);
    }
    uint32_t largest = 0;
    bool allEqual = true;
    for (int32_t i = 0; i < count; ++i) {
      largest = std::max<uint32_t>(largest, entries[i].frame);
      allEqual = allEqual && entries[i].frame == entries[0].frame;
    }
    if (allEqual) {
      repeats.assign(static_cast<size_t>(count), 1);
      frameTime = entries[0].frame;  // 0 stays 0: readers take 100 ms then
    } else {
      uint32_t g = 0;
      for (int32_t i = 0; i < count; ++i) g = std::gcd(g, entries[i].frame != 0 ? uint32_t{entries[i].frame} : largest);
      g = std::max<uint32_t>(g, 1);
      for (int32_t i = 0; i < count; ++i) {
        uint32_t word = entries[i].frame != 0 ? entries[i].frame : largest;
        repeats.push_back((word + g / 4) / g);
      }
      frameTime = g;
    }
    for (int64_t r : repeats) cells += r;
  } else {
    // The scene's canvas: entry 0, or one cell of it when it is a sprite sheet.
    rx_LayersCanvasSize(&cell, -1, entries, count, options);
  }
  if (width >= 1 && height >= 1) cell = {width, height};
  if (cell.width < 1 || cell.height < 1) return 0;
  double cellPixels = static_cast<double>(cell.width) * cell.height;
  if (kind == rx_DocObjects) {
    int64_t t = options->frameInterval >= 5 && options->frameInterval <= 200 ? options->frameInterval : 40;
    duration = rx_LayersDuration(entries, count, options);
    int64_t frames = duration / t;
    // Besides the pixel budget, a bound on the frames: each one is a whole
    // flattening, and a long scene of tiny cells would otherwise run for hours.
    while (static_cast<double>(frames) * cellPixels >= kObjectSheetPixels || frames > kObjectSheetFrames) {
      t *= 2;
      frames = duration / t;
    }
    // A scene shorter than one interval has no cells: nothing to lay out.
    if (frames < 1) return 0;
    cells = frames;
    frameTime = static_cast<uint32_t>(t);
  }
  if (static_cast<double>(cells) * cellPixels > kSheetPixelLimit) return 0;

  int32_t columns = 0, rows = 0;
  if (rx_SheetGrid(cells, cell.width, cell.height, &columns, &rows) == 0 || columns < 1) return 0;
  if (int64_t{columns} * cell.width > 65536 || int64_t{rows} * cell.height > 65536) return 0;
  rx_SheetSurface sheet;
  if (rx_SurfaceCreate(&sheet.surface, columns * cell.width, rows * cell.height,
                       rx_CreateMemory | rx_CreateNoShrink) != 1)
    return 0;
  auto cellLeft = [&](int64_t k) { return static_cast<int32_t>(k % columns) * cell.width; };
  auto cellTop = [&](int64_t k) { return static_cast<int32_t>(k / columns) * cell.height; };

  if (kind == rx_DocFrames) {
    if (rx_FillRect(&sheet.surface, 0, 0, columns * cell.width - 1, rows * cell.height - 1, 0xFF000000, 0) == 0)
      return 0;
    int64_t k = 0;
    for (int32_t i = 0; i < count; ++i) {
      rx_Size size = rx_SheetEntrySize(&entries[i]);
      for (int64_t r = 0; r < repeats[static_cast<size_t>(i)]; ++r, ++k) {
        // A frame without pixels leaves its cells transparent.
        if (size.width < 1) continue;
        if (!rx_DrawCell(&sheet.surface, cellLeft(k), cellTop(k), cell, &entries[i].surface, size)) return 0;
      }
    }
  } else {
    for (int64_t k = 0; k < int64_t{columns} * rows; ++k) {
      int32_t l = cellLeft(k), t = cellTop(k);
      uint32_t colour = ((k % columns) + (k / columns)) % 2 != 0 ? 0x000000FFu : 0x00000000u;
      if (rx_FillRect(&sheet.surface, l, t, l + cell.width - 1, t + cell.height - 1, colour, 0) == 0) return 0;
    }
    LoadSaveOptions scene = *options;
    scene.fitInside = 0;  // each frame at full size; the cell resampling scales it
    rx_SheetSurface work;
    for (int64_t i = 0; i < cells; ++i) {
      int32_t time =
          static_cast<int32_t>(std::floor(static_cast<double>(i) * duration / static_cast<double>(cells) + 0.5));
      if (rx_LayersFlatten(&work.surface, time, entries, count, &scene) == 0) return 0;
      rx_Size size{static_cast<int32_t>(work.surface.width), static_cast<int32_t>(work.surface.height)};
      int32_t l = cellLeft(i), t = cellTop(i);
      if (rx_FillRect(&sheet.surface, l, t, l + cell.width - 1, t + cell.height - 1, 0xFF000000, 0) == 0 ||
          rx_ResampleRect(&sheet.surface, l, t, l + cell.width - 1, t + cell.height - 1, &work.surface, 0, 0,
                          size.width - 1, size.height - 1, rx_OptScaleCase) == 0)
        return 0;
    }
  }

  // The record first: it is the only step left that can fail, and the layers
  // must stay as they were when it does.
  prop_Sprite sprite{static_cast<uint32_t>(columns), static_cast<uint32_t>(rows), static_cast<uint32_t>(cells),
                     frameTime, static_cast<uint32_t>(cell.width), static_cast<uint32_t>(cell.height)};
  uint8_t record[prop_SpriteBytes];
  prop_WriteSprite(&sprite, record);
  if (prop_SetRecord(&entries[0].properties, &entries[0].propertiesLength, prop_TagSprite, record,
                     prop_SpriteBytes) == 0)
    return 0;
  rx_SurfaceSwap(&entries[0].surface, &sheet.surface);
  rx_LayersRelease(entries + 1, count - 1);
  options->resultWidth = static_cast<uint32_t>(cell.width);
  options->resultHeight = static_cast<uint32_t>(cell.height);
  return 1;
}

HGLOBAL rx_LayersMergeMarkup(rx_LayerEntry *entries, int32_t count, uint32_t *out_length) {
  if (out_length != nullptr) *out_length = 0;
  if (entries == nullptr || count < 1) return nullptr;
  count = std::min(count, rx_LayerTableCapacity);
  static constexpr const char *kPrefixes[] = {"image.autoexport.", "brush.", "exif."};

  size_t baseBytes = rx_LayerPropertiesBytes(&entries[0]);
  HGLOBAL merged = nullptr;
  uint32_t length = 0;
  if (baseBytes > 0) {
    if (baseBytes > 0x7FFFFFFFu - prop_Spare) return nullptr;
    merged = GlobalAlloc(GPTR, baseBytes + prop_Spare);
    if (merged == nullptr) return nullptr;
    std::memcpy(merged, entries[0].properties, baseBytes);
    length = static_cast<uint32_t>(baseBytes);
    // A block we cannot walk is handed on as it is rather than rebuilt.
    if (prop_Validate(merged, length) == 0) {
      if (out_length != nullptr) *out_length = length;
      return merged;
    }
  }
  std::string text;
  int32_t n = prop_GetMarkup(merged, length, nullptr, 0);
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    prop_GetMarkup(merged, length, text.data(), n + 1);
    text.resize(static_cast<size_t>(n));
  }
  const std::string original = text;
  // Positions of the later layers do not enter: none of the merged keys carries one.
  for (int32_t i = 1; i < count; ++i) {
    const void *block = entries[i].properties;
    size_t bytes = rx_LayerPropertiesBytes(&entries[i]);
    int32_t m = prop_GetMarkup(block, bytes, nullptr, 0);
    if (m <= 0) continue;
    std::vector<char> source(static_cast<size_t>(m) + 1);
    prop_GetMarkup(block, bytes, source.data(), m + 1);
    size_t capacity = text.size() + 2 * static_cast<size_t>(m) + 1024;
    if (capacity > 0x7FFFFFFF) continue;
    std::vector<char> buffer(capacity, '\0');
    std::memcpy(buffer.data(), text.data(), text.size());
    for (const char *prefix : kPrefixes)
      markup_CopyMissing(buffer.data(), static_cast<int>(capacity), source.data(), prefix);
    text.assign(buffer.data());
  }
  if (text != original) {
    if (prop_SetMarkup(&merged, &length, text.c_str()) == 0 && merged == nullptr) return nullptr;
  }
  if (merged != nullptr && out_length != nullptr) *out_length = length;
  return merged;
}
