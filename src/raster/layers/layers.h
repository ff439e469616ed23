// Layered images: the table of layer entries that readers and plug-ins fill,
// and flattening it into the one picture callers want (a page, an image of a
// list, a frame, a moment of an object animation), or laying an animation out
// as one sheet of cells.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/load_save_options.h"
#include "raster/surface.h"

struct rx_LayerEntry {
  int32_t x;  // ignored for the first layer, which sits at 0, 0
  int32_t y;
  rx_Surface surface;
  char16_t name[32];   // zero-terminated when shorter
  uint16_t flags;      // blend mode in bits 0-7, rx_Layer* bits above
  uint16_t frame;      // display time of a frame-animation frame
  uint8_t attributeA;  // carried unchanged
  uint8_t attributeB;  // layer transparency: 0 opaque, 255 invisible
  uint8_t reserved[2];
  uint32_t propertiesLength;
  HGLOBAL properties;  // the properties container (raster/layers/properties.h), or null
};

enum : uint16_t {
  rx_LayerModeMask = 0x00FF,
  rx_LayerHidden = 0x0100,
  rx_LayerPreview = 0x0400,
  rx_LayerUpperGroup = 0x2000,
  rx_LayerPageStart = 0x4000,
};

enum : int32_t {
  rx_ModeReplace = 255,
  rx_ModeCustom = 254,
};

// Document kinds (LoadSaveOptions::documentKind).
enum : uint8_t { rx_DocComposite = 0, rx_DocImageList = 1, rx_DocFrames = 2, rx_DocObjects = 3 };
// The option byte value that means pages (composite) or companion
// composition (image list).
inline constexpr uint8_t rx_DocOptionPages = 2;

inline constexpr int32_t rx_LayerTableCapacity = 1024;
inline constexpr int32_t rx_LayerTableEntries = rx_LayerTableCapacity + 1;  // the last stays empty

struct rx_Size {
  int32_t width;
  int32_t height;
};

// A zero-filled table of rx_LayerTableEntries in a global-memory block; null
// without memory.
rx_LayerEntry *rx_LayerTableCreate();
// Destroys the surface and frees the properties block (checked) of one
// entry, and zeroes it.
void rx_LayerEntryRelease(rx_LayerEntry *entry);
// Releases `count` entries (at most rx_LayerTableEntries).
void rx_LayersRelease(rx_LayerEntry *entries, int32_t count);
// Releases every entry of a table from rx_LayerTableCreate and the table.
void rx_LayerTableFree(rx_LayerEntry *table);

// The readable bytes of an entry's properties block, and its first record
// with `tag` (1 found, 0 absent, -1 malformed block).
size_t rx_LayerPropertiesBytes(const rx_LayerEntry *entry);
struct prop_Record;
int32_t rx_LayerFindRecord(const rx_LayerEntry *entry, uint32_t tag, prop_Record *record);

// In all that follows an index below 0 means the caller gave none.

// Canvas size by document kind; also written to the options' result size.
// 1, or 0 for bad arguments.
int32_t rx_LayersCanvasSize(rx_Size *out_size, int32_t index, rx_LayerEntry *entries, int32_t count,
                            LoadSaveOptions *options);
// Length in ms: object animations the longest layer animation, image lists
// the sum of the frame words; 0 otherwise.
int32_t rx_LayersDuration(rx_LayerEntry *entries, int32_t count, LoadSaveOptions *options);
int32_t rx_LayersHasPages(const LoadSaveOptions *options);
// The first entry of page `index`.
int32_t rx_LayersPageStart(int32_t index, rx_LayerEntry *entries, int32_t count, LoadSaveOptions *options);
// Draws the requested view into `target` (created or re-created at the size
// needed). Composites and object animations: the number of layers accounted
// for (drawn, or skipped as hidden or preview); image lists and frame
// animations: 1; 0 on failure.
int32_t rx_LayersFlatten(rx_Surface *target, int32_t index, rx_LayerEntry *entries, int32_t count,
                         LoadSaveOptions *options);
// Lays a frame or object animation out as one sheet in entry 0 (the other
// entries are released) with a "SPRT" record describing it. width and
// height, when both are at least 1, give the cell size. 1 or 0; on failure
// the layers are left as they were.
int32_t rx_LayersToSheet(rx_LayerEntry *entries, int32_t count, LoadSaveOptions *options, int32_t width,
                         int32_t height);
// The properties of all layers merged into one new block (the caller frees
// it with GlobalFree): entry 0's block with the markup of the later layers
// merged in, no existing key overwritten. Null when no layer has properties.
HGLOBAL rx_LayersMergeMarkup(rx_LayerEntry *entries, int32_t count, uint32_t *out_length);

// The grid of a sheet of `n` cells of cell_w x cell_h: columns and rows.
// 1, or 0 for sizes below 1.
int32_t rx_SheetGrid(int64_t n, int32_t cell_w, int32_t cell_h, int32_t *columns, int32_t *rows);
