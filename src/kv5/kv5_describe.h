// The short description of a native document that cmio_ImageInfo returns,
// and the number texts it uses. Texts do not depend on the process locale.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kv5_DescriptionCapacity = 4096;
inline constexpr size_t fmt_TextCapacity = 128;

// Writes the description of the document at `path` into `out`
// (kv5_DescriptionCapacity units). 1 written; 0 when the file cannot be
// opened or is no native document of any version (`out` untouched). Reads
// headers and records only, seeking over the pixel data.
int32_t kv5_DescribeFile(const char16_t *path, char16_t *out);

// "1.5 MP", "1000 px", ... and "1023 bytes", "1.5 MB", ... into
// fmt_TextCapacity units.
void fmt_PixelCount(uint64_t count, char16_t *out);
void fmt_FileSize(uint64_t size, char16_t *out);
