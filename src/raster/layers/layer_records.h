// The binary records of a layer's properties block that this library writes
// and reads. All numbers little-endian; every reader checks the record's size
// before it touches a byte and refuses (0) what does not fit its layout.
//
// "SPRT"  sprite sheet: the layer holds frames in a grid of cells.
//   0  u32 columns      (0 counts as 1)
//   4  u32 rows         (0 counts as 1)
//   8  u32 frame count  (0: columns x rows)
//   12 u32 frame time in ms (0: 100)
//   16 u32 cell width   optional; 0 or absent: layer width / columns
//   20 u32 cell height  optional; 0 or absent: layer height / rows
//   At least 16 bytes; writers produce 24. Frame k sits in column
//   k % columns, row k / columns; frames repeat after the frame count.
//
// "ANIM"  the layer's corners over time.
//   0  u32 key count n (1..65536)
//   4  u32 flags: bit 0 repeat the motion after the last key
//   8  8 bytes reserved, 0
//   16 n keys of 36 bytes: u32 time in ms (not decreasing from key to key),
//      then four corners as f32 x, f32 y: top-left, top-right, bottom-right,
//      bottom-left, in canvas pixels (inclusive, like the dispatcher's).
//   At least 16 + 36 n bytes (extra bytes are ignored). Its duration is the
//   last key's time; between keys the corners move linearly, before the
//   first key they stay at it, after the last one they stay there (or start
//   again with flag bit 0).
//
// "BLND"  the custom blend table of layer mode 254, handed to the
//   dispatcher as it stands.
//   Short form: byte 5 is not 0x40 or the size n at bytes 6..7 gives n x n
//   <= 256: one 8 x 8 table [destination][source] at bytes 67..130 serves
//   all three channels; at least 131 bytes.
//   Long form: byte 5 = 0x40, bytes 6..7 the size n (n x n > 256, n <= 4096):
//   three n x n tables (blue, green, red) from byte 256, one after the other;
//   at least 256 + 3 n n bytes. Other header bytes are 0.
//
// "ADJU"  the layer is an adjustment layer: what lies below is passed
//   through these tables instead of the layer's pixels being drawn.
//   0  u32 mode: 1 curves on the destination, 2 curves on the layer's own
//      colour, 3 destination x source tables, 4 channel routing
//   4  u32 parameter (carried to the engine)
//   8  u32 entry count n: modes 1, 2: entries per curve (2..65536);
//      mode 3: the tables are n x n (2..4096); mode 4: 0
//   12 u8 x3 selectors of mode 4 (blue, green, red; 0..15)
//   15 u8 table mask: bit c set when the table of channel c (0 blue,
//      1 green, 2 red) follows
//   16 the tables present, in channel order, n bytes (modes 1, 2) or n x n
//      bytes (mode 3) each. Mode 3 needs all three, modes 1 and 2 at least one.
//   Modes with caller callbacks cannot be stored.
//
// "PHYS"  physical resolution, 32 bytes.
//   0  u8 layout 2 (older blocks used 1 in a 16-bit word)
//   8  f64 horizontal pixels per unit
//   16 f64 vertical pixels per unit
//   24 u8 unit: 0 inch, 1 centimetre, 2 metre
//   Older forms and further records: kv5/kv5_properties.h.
//   other bytes 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/kernels/kernels.h"
#include "raster/layers/properties.h"

inline constexpr uint32_t prop_TagSprite = prop_Tag("SPRT");
inline constexpr uint32_t prop_TagAnim = prop_Tag("ANIM");
inline constexpr uint32_t prop_TagBlend = prop_Tag("BLND");
inline constexpr uint32_t prop_TagAdjust = prop_Tag("ADJU");
inline constexpr uint32_t prop_TagPhys = prop_Tag("PHYS");

// ---------------------------------------------------------------------------
struct prop_Sprite {
  uint32_t columns;
  uint32_t rows;
  uint32_t frameCount;
  uint32_t frameTime;
  uint32_t cellWidth;
  uint32_t cellHeight;
};
inline constexpr uint32_t prop_SpriteMinBytes = 16;
inline constexpr uint32_t prop_SpriteBytes = 24;
int32_t prop_ReadSprite(const prop_Record *record, prop_Sprite *out);
// `out` holds prop_SpriteBytes.
void prop_WriteSprite(const prop_Sprite *sprite, uint8_t *out);
// Frames the sheet shows: frame count, else columns x rows, at least 1.
uint32_t prop_SpriteFrames(const prop_Sprite *sprite);
// Frames x frame time (100 ms when 0).
uint64_t prop_SpriteDuration(const prop_Sprite *sprite);
// The inclusive cell of the frame shown at `time` inside a layer of
// width x height; 0 when the cell lies outside the layer.
int32_t prop_SpriteCell(const prop_Sprite *sprite, int64_t time, int32_t width, int32_t height, rx_Rect *cell);

// ---------------------------------------------------------------------------
struct prop_AnimKey {
  uint32_t time;
  rx_PointF corners[4];
};
inline constexpr uint32_t prop_AnimHeaderBytes = 16;
inline constexpr uint32_t prop_AnimKeyBytes = 36;
inline constexpr uint32_t prop_AnimMaxKeys = 65536;
enum : uint32_t { prop_AnimRepeat = 1 };
// Checks the record: 1 usable, 0 not. `key_count` and `flags` may be null.
int32_t prop_CheckAnim(const prop_Record *record, uint32_t *key_count, uint32_t *flags);
// Key `i` of a record (1), or 0 when it lies outside.
int32_t prop_ReadAnimKey(const prop_Record *record, uint32_t i, prop_AnimKey *out);
// The last key's time; 0 for a record that does not check.
uint32_t prop_AnimDuration(const prop_Record *record);
// The corners at `time`. 1, or 0 for a record that does not check or holds
// corners that are not finite.
int32_t prop_AnimCorners(const prop_Record *record, int64_t time, rx_PointF corners[4]);
// Bytes a record of `count` keys needs; writes it when `out` is not null.
size_t prop_WriteAnim(const prop_AnimKey *keys, uint32_t count, uint32_t flags, uint8_t *out);

// ---------------------------------------------------------------------------
inline constexpr uint32_t prop_BlendShortBytes = 131;
inline constexpr uint32_t prop_BlendShortOffset = 67;
inline constexpr uint32_t prop_BlendLongOffset = 256;
inline constexpr uint8_t prop_BlendLongMark = 0x40;
// The table pointer the dispatcher gets, or null when the record is too
// small for the layout its header announces.
const uint8_t *prop_ReadBlend(const prop_Record *record);
// Short form from one 8 x 8 table; `out` holds prop_BlendShortBytes.
void prop_WriteBlendShort(const uint8_t table[64], uint8_t *out);
// Long form from three n x n tables (17 <= n <= 4096). Bytes needed (0 for
// an n without a long form); written when `out` is not null.
size_t prop_WriteBlendLong(uint32_t n, const uint8_t *const tables[3], uint8_t *out);

// ---------------------------------------------------------------------------
inline constexpr uint32_t prop_AdjustHeaderBytes = 16;
// Fills `out` with table pointers into the record. 1, or 0 for a mode that
// cannot be stored, a bad count or selector, or tables past the record.
int32_t prop_ReadAdjust(const prop_Record *record, rx_Adjustment *out);
// Bytes the record of `adjustment` needs (0 when it cannot be stored);
// written when `out` is not null.
size_t prop_WriteAdjust(const rx_Adjustment *adjustment, uint8_t *out);

// ---------------------------------------------------------------------------
struct prop_Phys {
  double x;
  double y;
  uint8_t unit;
};
inline constexpr uint32_t prop_PhysBytes = 32;
enum : uint8_t { prop_UnitInch = 0, prop_UnitCentimetre = 1, prop_UnitFromMetadata = 2, prop_UnitMetre = 2 };
int32_t prop_ReadPhys(const prop_Record *record, prop_Phys *out);
// `out` holds prop_PhysBytes.
void prop_WritePhys(const prop_Phys *phys, uint8_t *out);
