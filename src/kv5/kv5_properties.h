// Bringing the properties block of a layer from an older document revision
// up to date. The block is the record container of
// raster/layers/properties.h; besides the records documented with it
// (raster/layers/layer_records.h) older revisions used these:
//
// "PHYS"  resolution. Current form (32 bytes): u8 2 (the form marker), then
//         f64 horizontal and f64 vertical pixels per unit at bytes 8 and 16,
//         u8 unit at byte 24: 0 inch, 1 centimetre, 2 metre.
//         Old form (12 bytes, revision 8 and older): u16 1, u16 unit,
//         u32 horizontal and u32 vertical whole pixels per unit.
// "HOTS"  hot spot of a cursor-like layer: i32 x, i32 y (8 bytes).
// "TABL"  a table of 32-byte entries: u32 layout (4), u32 entry count n,
//         then n entries. Revision 7 and older wrote 24-byte entries under
//         any other layout value; their 16-bit value at entry bytes 20..21
//         was signed, and is now its magnitude, unsigned (so -32768 becomes
//         32768).
// "HREF"  renamed "hRef" in revision 9; the data is unchanged.
//
// Revision 0 of version 3 kept resolution, hot spot and sprite layout as
// markup keys ("image.dpi", "image.ppi", "image.ppcm", "image.hotspot",
// "image.sprite.size" with "image.sprite.time" or "image.sprite.rate" and
// "image.sprite.used"); they become "PHYS", "HOTS" and "SPRT" records.
#pragma once

#include <cstdint>

#include "raster/layers/properties.h"

struct rx_LayerEntry;

inline constexpr uint32_t prop_TagHotSpot = prop_Tag("HOTS");
inline constexpr uint32_t prop_TagTable = prop_Tag("TABL");
inline constexpr uint32_t prop_TagHrefOld = prop_Tag("HREF");
inline constexpr uint32_t prop_TagHref = prop_Tag("hRef");
inline constexpr uint32_t prop_TableLayoutCurrent = 4;
inline constexpr uint32_t prop_TableEntryOld = 24;
inline constexpr uint32_t prop_TableEntry = 32;
inline constexpr uint32_t prop_PhysOldBytes = 12;

// Upgrades the entry's block for a file of `versionWord` (version << 16 |
// revision). Returns the number of records changed or made; 0 when the
// entry has no block or nothing applied. Blocks of version 4 revision 11
// are left alone.
int32_t kv5_UpgradeProperties(rx_LayerEntry *entry, uint32_t versionWord);
