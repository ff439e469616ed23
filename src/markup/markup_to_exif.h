// Markup to EXIF: writes the exif. keys of a markup text into an EXIF block
// (a caller's block updated in place of its entries, or a new one) with
// libexif. Behind cmio_MarkupToEXIF and the MarkupToEXIF service of plug-ins.
#pragma once

#include <libexif/exif-data.h>

#include <cstdint>

#include "vgm/vgm_compat.h"

// The entry of `tag` in directory `ifd` (0..4), created with libexif's
// defaults when the directory has none. A new entry that libexif leaves
// without data takes its format and count from a small table of our own,
// zero-filled; one that still has none is removed again and the result is
// null (the key is then skipped).
ExifEntry *markup_FetchEntry(ExifData *data, ExifIfd ifd, ExifTag tag);
// As markup_FetchEntry, but an entry still without data becomes UNDEFINED
// with `size` zero bytes (a size of 0 leaves it out as above).
ExifEntry *markup_FetchEntrySized(ExifData *data, ExifIfd ifd, ExifTag tag, unsigned size);
// Sets the entry's count to `count` and its size to count x the size of
// its format, reallocating (zero-filled growth) when the size changes.
// false, with the entry unchanged, when memory runs out or the size would
// not fit 32 bits.
bool markup_ResizeEntry(ExifEntry *entry, unsigned count);

// Whether the writer puts `tag` into the EXIF directory (IFD 2) although
// libexif records it only elsewhere; the reader looks for such entries
// in a block when libexif's default load dropped them.
bool markup_WrittenToExifIfd(unsigned tag);

// The conversion behind cmio_MarkupToEXIF: 1 and a new global block in
// *data (*size bytes, zero-filled room of 1024 bytes behind the block), or
// 0 with both cleared. An argument that is null, or a markup without
// "exif.", returns 0 and leaves *data and *size as they were. A non-null
// *data with a non-zero *size on entry is the caller's block to update; it
// stays the caller's.
int markup_ToEXIF(const char *markup, HGLOBAL *data, uint32_t *size);
