// Colour profiles and transforms: the system's colour management behind one
// small interface (Little CMS 2 on POSIX). A transform goes from a source
// profile to the standard sRGB profile with the relative colorimetric intent
// in best quality, and translates runs of pixels between the formats below.
// Nothing is cached process-wide: each transform owns what it made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct os_ColourProfile;
struct os_ColourTransform;

enum class os_ColourFormat {
  xrgb,   // 4 bytes: blue, green, red, a fourth byte left as it is
  kymc,   // 4 bytes: ink amounts K, Y, M, C (0 no ink, 255 full)
  lab8,   // 3 bytes: L* x 255/100, a* + 128, b* + 128
  xyz16,  // 3 x 16 bits: X, Y, Z with 0x8000 = 1.0
};

// Larger files are not profiles anyone embeds; refusing them bounds the read.
inline constexpr int64_t os_MaxColourProfileBytes = 64 << 20;

// Opened for reading only; null for anything that is not a usable profile.
// The memory form copies the bytes.
// The file form reads the file through the file layer, then opens it as the
// memory form does.
os_ColourProfile *os_ColourProfileFromMemory(const void *data, size_t size);
os_ColourProfile *os_ColourProfileFromFile(const char16_t *path);
os_ColourProfile *os_ColourProfileSrgb();
void os_ColourProfileClose(os_ColourProfile *profile);
// Profiles open right now, process-wide (leak checks in tests).
int os_ColourOpenProfiles();

// Takes both profiles, also on failure. Fails when the source profile
// cannot be joined to the destination in its own colour space.
os_ColourTransform *os_ColourTransformCreate(os_ColourProfile *source, os_ColourProfile *dest);
void os_ColourTransformDelete(os_ColourTransform *transform);
// Translates `count` pixels from `from` into xRGB quads at `dest` (which may
// be `source` when both take four bytes). False when the source profile
// cannot take the format; `dest` is then untouched.
bool os_ColourTranslate(os_ColourTransform *transform, os_ColourFormat from, const void *source, uint32_t *dest,
                        size_t count);

// The system's own colour-profile folders, searched below by the caller:
// on POSIX /usr/share/color/icc and $XDG_DATA_HOME/icc (else
// ~/.local/share/icc); VGM_ICC_DIRS, when set, replaces them with its
// ':'-separated list (set but empty: none).
std::vector<std::u16string> os_ColourSystemFolders();
