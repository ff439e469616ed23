// What each codec's simplest call decodes, as B G R T pixels (T = 255 - alpha), for the plug-in tests to compare with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vgmtest {

struct Decoded {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
  uint32_t delay = 0;  // GIF: the frame's delay in hundredths of a second
  bool operator==(const Decoded &) const = default;
};

// The chunks of a PNG file in order: type, data, and the whole chunk.
struct PngChunk {
  std::string type, data, whole;
};
std::vector<PngChunk> pngChunks(const std::string &file);
// png_image, without the colour chunks (the plug-in leaves gamma alone) and with 16-bit samples taken as sRGB.
Decoded pngReference(const std::string &path);
// tjDecompress2 of the file's bytes: BGRA with T 0, or another TJPF format as it comes.
Decoded jpegReference(const std::string &bytes, int format = -1);
Decoded webpReference(const std::string &path);  // WebPDecodeBGRA
// TIFFReadRGBAImageOriented of a page (colour premultiplied where there is alpha).
Decoded tiffReference(const std::string &path, int page = 0);
// DGifSlurp's image `frame` alone on a clear (transparent) screen.
Decoded gifReference(const std::string &path, int frame = 0);

}  // namespace vgmtest
