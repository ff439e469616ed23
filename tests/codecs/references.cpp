#include "codecs/references.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <webp/decode.h>

#include <cstring>

#include "support/test_support.h"

namespace vgmtest {

std::vector<PngChunk> pngChunks(const std::string &png) {
  std::vector<PngChunk> out;
  for (size_t at = 8; at + 12 <= png.size();) {
    size_t n = size_t(uint8_t(png[at])) << 24 | uint8_t(png[at + 1]) << 16 | uint8_t(png[at + 2]) << 8 | uint8_t(png[at + 3]);
    if (at + 12 + n > png.size()) break;
    out.push_back({png.substr(at + 4, 4), png.substr(at + 8, n), png.substr(at, 12 + n)});
    at += 12 + n;
  }
  return out;
}

Decoded pngReference(const std::string &path) {
  std::string file = readFile(path), png = file.substr(0, 8);
  for (const PngChunk &c : pngChunks(file))
    if (c.type != "gAMA" && c.type != "cHRM" && c.type != "iCCP") png += c.whole;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Decoded out;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return out;
  image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  image.format = PNG_FORMAT_BGRA;
  out.pixels.resize(size_t(image.width) * image.height);
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) return {};
  for (uint32_t &p : out.pixels) p ^= 0xFF000000u;
  out.width = image.width, out.height = image.height;
  return out;
}

Decoded jpegReference(const std::string &bytes, int format) {
  auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  Decoded out;
  if (tjDecompressHeader3(tj, data, bytes.size(), &w, &h, &sub, &space) == 0) {
    out.pixels.resize(size_t(w) * h);
    if (tjDecompress2(tj, data, bytes.size(), reinterpret_cast<unsigned char *>(out.pixels.data()), w, 0, h,
                      format < 0 ? TJPF_BGRA : format, 0) == 0)
      out.width = w, out.height = h;
  }
  tjDestroy(tj);
  if (format < 0)
    for (uint32_t &p : out.pixels) p &= 0x00FFFFFFu;
  return out;
}

Decoded webpReference(const std::string &path) {
  std::string file = readFile(path);
  int w = 0, h = 0;
  uint8_t *bgra = WebPDecodeBGRA(reinterpret_cast<const uint8_t *>(file.data()), file.size(), &w, &h);
  Decoded out{uint32_t(w), uint32_t(h), std::vector<uint32_t>(size_t(w) * h)};
  if (bgra != nullptr) memcpy(out.pixels.data(), bgra, out.pixels.size() * 4);
  WebPFree(bgra);
  for (uint32_t &p : out.pixels) p ^= 0xFF000000u;
  return out;
}

Decoded tiffReference(const std::string &path, int page) {
  Decoded out;
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr || !TIFFSetDirectory(tif, tdir_t(page))) {
    if (tif) TIFFClose(tif);
    return out;
  }
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out.height);
  std::vector<uint32_t> abgr(size_t(out.width) * out.height);
  if (TIFFReadRGBAImageOriented(tif, out.width, out.height, abgr.data(), ORIENTATION_TOPLEFT, 0))
    for (uint32_t p : abgr) out.pixels.push_back((p & 0xFF) << 16 | (p & 0xFF00) | (p >> 16 & 0xFF) | (255 - (p >> 24)) << 24);
  TIFFClose(tif);
  return out;
}

Decoded gifReference(const std::string &path, int frame) {
  int error = 0;
  GifFileType *gif = DGifOpenFileName(path.c_str(), &error);
  Decoded out;
  if (gif != nullptr && DGifSlurp(gif) == GIF_OK && gif->ImageCount > frame) {
    const SavedImage &img = gif->SavedImages[frame];
    const ColorMapObject *map = img.ImageDesc.ColorMap ? img.ImageDesc.ColorMap : gif->SColorMap;
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    DGifSavedExtensionToGCB(gif, frame, &gcb);
    out.width = uint32_t(gif->SWidth), out.height = uint32_t(gif->SHeight), out.delay = uint32_t(gcb.DelayTime);
    out.pixels.assign(size_t(out.width) * out.height, 0xFF000000u);
    for (int y = 0; y < img.ImageDesc.Height; ++y)
      for (int x = 0; x < img.ImageDesc.Width; ++x) {
        int i = img.RasterBits[y * img.ImageDesc.Width + x];
        if (i == gcb.TransparentColor) continue;
        const GifColorType &c = map->Colors[i];
        out.pixels[size_t(img.ImageDesc.Top + y) * out.width + img.ImageDesc.Left + x] =
            uint32_t(c.Blue) | uint32_t(c.Green) << 8 | uint32_t(c.Red) << 16;
      }
  }
  if (gif != nullptr) DGifCloseFile(gif, &error);
  return out;
}

}  // namespace vgmtest
