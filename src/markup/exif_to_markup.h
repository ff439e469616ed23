// EXIF to markup: turns an EXIF block (an APP1 body starting "Exif\0\0" or a
// bare TIFF structure starting "II"/"MM") into markup lines, one per
// understood entry, parsed with libexif. Behind cmio_MarkupFromEXIF and the
// MarkupFromEXIF service of plug-ins.
#pragma once

#include <libexif/exif-data.h>

#include <cstddef>
#include <cstdint>

// Fills `out` (out_size bytes) with "key=value;\r\n" lines. Returns 1 when
// the block was handed to libexif (also when nothing came of it: `out` is
// then empty), 0 when refused: null `out` or `data`, `out_size` or `size`
// below 4, unreadable first bytes, or no EXIF data object. `out[0]` is
// cleared first whenever `out` has room for it. The settings
// exif_add_structure and exif_add_unlisted of the suite configuration are
// re-read at every call.
int markup_FromEXIF(char *out, int32_t out_size, const void *data, int32_t size);

// The walk behind it, over data libexif has loaded: fills `out` with the
// lines of IFD 0, 1, EXIF and Interoperability, then GPS. A fault while
// reading one entry (or opening one directory) skips just that. Returns the
// number of lines written.
int markup_ExifDataToLines(ExifData *data, char *out, size_t out_size, bool structure, bool unlisted);

// Puts back into `exif` (loaded from `block` with libexif's defaults) the
// entries of the EXIF directory that the load dropped although the markup
// writer places them there, and drops the defaults libexif made up for the
// same tags in IFD 0. Blocks without such entries are left alone.
void markup_RecoverExifIfd(ExifData *exif, const unsigned char *block, size_t size);
