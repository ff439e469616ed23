// The EXIF payload of a JPEG ("Exif\0\0" and the TIFF structure behind it),
// found by walking the markers up to the start of the scan. Header-only so
// that tests, benchmarks and fuzz seed tools can share it.
#pragma once

#include <cstring>
#include <string>

namespace vgmtest {

// Empty when the file has no EXIF APP1 segment before its scan.
inline std::string jpegExifPayload(const std::string &jpeg) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.data());
  const size_t size = jpeg.size();
  if (size < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return {};
  size_t at = 2;
  while (at + 4 <= size) {
    if (bytes[at] != 0xFF) return {};
    const unsigned char marker = bytes[at + 1];
    if (marker == 0xFF) { ++at; continue; }  // fill byte
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) { at += 2; continue; }  // no length
    if (marker == 0xDA || marker == 0xD9) return {};
    const size_t length = static_cast<size_t>(bytes[at + 2]) << 8 | bytes[at + 3];
    if (length < 2 || at + 2 + length > size) return {};
    if (marker == 0xE1 && length >= 8 && std::memcmp(bytes + at + 4, "Exif\0\0", 6) == 0)
      return jpeg.substr(at + 4, length - 2);
    at += 2 + length;
  }
  return {};
}

// The body of the first PNG chunk of `type` ("eXIf", ...); empty when absent.
inline std::string pngChunk(const std::string &png, const char *type) {
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const auto *b = reinterpret_cast<const unsigned char *>(png.data() + at);
    const size_t length = size_t{b[0]} << 24 | size_t{b[1]} << 16 | size_t{b[2]} << 8 | b[3];
    if (length > png.size() - at - 12) return {};
    if (std::memcmp(b + 4, type, 4) == 0) return png.substr(at + 8, length);
    at += 12 + length;
  }
  return {};
}

}  // namespace vgmtest
