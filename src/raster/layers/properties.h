// The layer properties block: a container of records tagged with four ASCII
// bytes. It lives with the layers rather than in kv5/ because the layer
// tables, flattening and the plug-in pipelines all read and edit it, while
// the document reader only stores it; keeping it here lets the raster engine
// build without the document format.
//
// Forms the walker accepts:
//   empty    the first four bytes are zero (or the block is empty / absent)
//   current  "META", u32 S; 16 <= S <= 65536: S + 8 bytes, records from byte
//            8; otherwise (u32 at byte 12) + 16 bytes, records from byte 16.
//            Each record: 4-byte tag, u32 data length L (<= 33,554,432,
//            ending inside the container), L data bytes.
//   single   an older block holding one record: 4-byte tag, then up to 4092
//            data bytes; for "MARK", "NOTE" and "TEXT" the data ends after
//            the first zero byte; "LINK" is reported as "TILE".
// All numbers are little-endian. Every block handed in may come from a file
// or a plug-in: nothing is read outside the size given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vgm/vgm_compat.h"

constexpr uint32_t prop_Tag(const char (&text)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

inline constexpr uint32_t prop_TagMeta = prop_Tag("META");
inline constexpr uint32_t prop_TagMark = prop_Tag("MARK");
inline constexpr uint32_t prop_TagNote = prop_Tag("NOTE");
inline constexpr uint32_t prop_TagText = prop_Tag("TEXT");
inline constexpr uint32_t prop_TagLink = prop_Tag("LINK");
inline constexpr uint32_t prop_TagTile = prop_Tag("TILE");

inline constexpr uint32_t prop_RecordMax = 33554432;  // data bytes of one record
inline constexpr uint32_t prop_SmallMin = 16;          // S range of the short header
inline constexpr uint32_t prop_SmallMax = 65536;
inline constexpr uint32_t prop_SingleMax = 4092;       // data of the older single-record form
inline constexpr uint32_t prop_Spare = 1024;           // room left after a rebuilt block

enum : int32_t { prop_FormEmpty = 0, prop_FormCurrent = 1, prop_FormSingle = 2 };

// One record as the walker reports it; `data` points into the block.
struct prop_Record {
  uint32_t tag;
  uint32_t length;
  const uint8_t *data;
};

struct prop_Walker {
  const uint8_t *block;
  size_t end;       // end of the container (<= the block size)
  size_t position;  // next record header
  int32_t form;
  bool singleDone;
};

// 1 and the walker ready, or 0 for a malformed block (truncated header,
// container longer than the block). A null block or size 0 is empty.
int32_t prop_WalkBegin(prop_Walker *walker, const void *block, size_t size);
// 1 a record, 0 no further record, -1 malformed (record header cut, length
// over the limit or past the container's end); the walk then stays ended.
int32_t prop_WalkNext(prop_Walker *walker, prop_Record *record);
// 1 when the whole block walks cleanly; 0 malformed.
int32_t prop_Validate(const void *block, size_t size);
// The first record tagged `tag`: 1 found, 0 absent, -1 malformed block.
int32_t prop_Find(const void *block, size_t size, uint32_t tag, prop_Record *record);

// The bytes of a layer's properties block that may be read: its stated
// length, limited to the global-memory block's size; 0 for a null block or
// one that is not a live global block.
size_t prop_BlockBytes(HGLOBAL block, uint32_t length);

// Editing. The block is replaced by a new global-memory block in the current
// form with prop_Spare bytes to spare; the old one is freed (checked) and
// `length` updated. An older single-record block is converted, keeping its
// record. A malformed block is refused (result 0) and left as it was, so
// nothing is lost; so is a record over the limit or a failed allocation.
// Add or replace: the first record with the tag takes the data, later
// duplicates go. 1 or 0.
int32_t prop_SetRecord(HGLOBAL *block, uint32_t *length, uint32_t tag, const void *data, uint32_t size);
// Removes every record with the tag: 1 removed, 0 absent or failure.
int32_t prop_RemoveRecord(HGLOBAL *block, uint32_t *length, uint32_t tag);

// The "MARK" record holds the layer's markup text (NUL included).
// Stores `text` (null: an empty text). 1 or 0.
int32_t prop_SetMarkup(HGLOBAL *block, uint32_t *length, const char *text);
// Copies the markup text, cut at its first NUL or the record's end, into
// `out` (out_size >= 1; always terminated). Result: the text's full length
// (may exceed out_size - 1), or -1 when there is no "MARK" record or the
// block is malformed. With out null only the length is returned.
int32_t prop_GetMarkup(const void *block, size_t size, char *out, int32_t out_size);
