// Just enough PNG (8-bit RGB/RGBA, not interlaced) and TIFF (little-endian,
// 8-bit RGB/RGBA, chunky strips, no compression or Deflate, optional
// horizontal predictor) reading, with zlib, to get the planes of the sample
// images in tests/data/kv5 for the TRVC benchmark.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kv5sample {

struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;           // 3 or 4
  std::vector<uint8_t> data;  // channels bytes per pixel, R G B (A)
};

inline std::vector<uint8_t> readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool inflateAll(const uint8_t *data, size_t size, size_t expected, std::vector<uint8_t> *out) {
  out->resize(expected);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef *>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(expected);
  int rc = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return (rc == Z_STREAM_END || rc == Z_BUF_ERROR) && z.avail_out == 0;
}

inline uint32_t be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline bool decodePng(const std::vector<uint8_t> &file, Image *image) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
  if (file.size() < 8 || std::memcmp(file.data(), kSignature, 8) != 0) return false;
  std::vector<uint8_t> compressed;
  int colourType = -1;
  for (size_t at = 8; at + 12 <= file.size();) {
    uint32_t length = be32(&file[at]);
    if (at + 12 + length > file.size()) return false;
    const uint8_t *type = &file[at + 4];
    const uint8_t *body = &file[at + 8];
    if (std::memcmp(type, "IHDR", 4) == 0) {
      image->width = static_cast<int>(be32(body));
      image->height = static_cast<int>(be32(body + 4));
      if (body[8] != 8 || body[12] != 0) return false;  // 8-bit, not interlaced
      colourType = body[9];
    } else if (std::memcmp(type, "IDAT", 4) == 0) {
      compressed.insert(compressed.end(), body, body + length);
    }
    at += 12 + length;
  }
  if (colourType != 2 && colourType != 6) return false;
  const int bpp = colourType == 6 ? 4 : 3;
  const size_t stride = static_cast<size_t>(image->width) * bpp;
  std::vector<uint8_t> raw;
  if (!inflateAll(compressed.data(), compressed.size(), (stride + 1) * image->height, &raw)) return false;
  image->channels = bpp;
  image->data.assign(stride * image->height, 0);
  for (int y = 0; y < image->height; ++y) {
    const uint8_t *in = &raw[y * (stride + 1)];
    uint8_t *row = &image->data[y * stride];
    const uint8_t *up = y > 0 ? row - stride : nullptr;
    for (size_t x = 0; x < stride; ++x) {
      int a = x >= static_cast<size_t>(bpp) ? row[x - bpp] : 0;
      int b = up != nullptr ? up[x] : 0;
      int c = up != nullptr && x >= static_cast<size_t>(bpp) ? up[x - bpp] : 0;
      int predicted = 0;
      switch (in[0]) {
        case 0: predicted = 0; break;
        case 1: predicted = a; break;
        case 2: predicted = b; break;
        case 3: predicted = (a + b) / 2; break;
        case 4: {
          int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
          break;
        }
        default: return false;
      }
      row[x] = static_cast<uint8_t>(in[1 + x] + predicted);
    }
  }
  return true;
}

inline bool decodeTiff(const std::vector<uint8_t> &file, Image *image) {
  if (file.size() < 8 || file[0] != 'I' || file[1] != 'I') return false;
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(file[at] | (file[at + 1] << 8)); };
  auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
  size_t ifd = u32(4);
  if (ifd + 2 > file.size()) return false;
  uint32_t compression = 1, predictor = 1, samples = 0, planar = 1;
  std::vector<uint32_t> offsets, counts;
  auto values = [&](size_t entry) {
    uint32_t type = u16(entry + 2), count = u32(entry + 4);
    size_t size = type == 3 ? 2 : 4;
    size_t at = count * size <= 4 ? entry + 8 : u32(entry + 8);
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < count && at + size <= file.size(); ++i, at += size) {
      out.push_back(size == 2 ? u16(at) : u32(at));
    }
    return out;
  };
  uint32_t entries = u16(ifd);
  for (uint32_t i = 0; i < entries; ++i) {
    size_t entry = ifd + 2 + 12 * i;
    if (entry + 12 > file.size()) return false;
    std::vector<uint32_t> v = values(entry);
    if (v.empty()) continue;
    switch (u16(entry)) {
      case 256: image->width = static_cast<int>(v[0]); break;
      case 257: image->height = static_cast<int>(v[0]); break;
      case 258: if (v[0] != 8) return false; break;
      case 259: compression = v[0]; break;
      case 273: offsets = v; break;
      case 277: samples = v[0]; break;
      case 279: counts = v; break;
      case 284: planar = v[0]; break;
      case 317: predictor = v[0]; break;
      default: break;
    }
  }
  if ((samples != 3 && samples != 4) || planar != 1 || offsets.size() != counts.size()) return false;
  const size_t stride = static_cast<size_t>(image->width) * samples;
  const size_t total = stride * image->height;
  image->channels = static_cast<int>(samples);
  image->data.clear();
  for (size_t s = 0; s < offsets.size(); ++s) {
    if (offsets[s] + static_cast<size_t>(counts[s]) > file.size()) return false;
    const uint8_t *strip = &file[offsets[s]];
    size_t want = std::min(total - image->data.size(), stride * ((total - image->data.size()) / stride));
    if (compression == 1) {
      image->data.insert(image->data.end(), strip, strip + std::min<size_t>(counts[s], want));
    } else if (compression == 8 || compression == 32946) {
      // A strip holds whole rows; inflate as much as it gives.
      std::vector<uint8_t> rows(want);
      z_stream z{};
      if (inflateInit(&z) != Z_OK) return false;
      z.next_in = const_cast<Bytef *>(strip);
      z.avail_in = counts[s];
      z.next_out = rows.data();
      z.avail_out = static_cast<uInt>(want);
      inflate(&z, Z_FINISH);
      rows.resize(want - z.avail_out);
      inflateEnd(&z);
      image->data.insert(image->data.end(), rows.begin(), rows.end());
    } else {
      return false;
    }
  }
  if (image->data.size() != total) return false;
  if (predictor == 2) {
    for (int y = 0; y < image->height; ++y) {
      uint8_t *row = &image->data[y * stride];
      for (size_t x = samples; x < stride; ++x) row[x] = static_cast<uint8_t>(row[x] + row[x - samples]);
    }
  }
  return true;
}

inline bool loadImage(const std::string &path, Image *image) {
  std::vector<uint8_t> file = readFile(path);
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0) return decodePng(file, image);
  return decodeTiff(file, image);
}

// Blue, green, red (and alpha) planes, in the order the planar format stores them.
inline std::vector<std::vector<uint8_t>> planesOf(const Image &image) {
  size_t n = static_cast<size_t>(image.width) * image.height;
  std::vector<std::vector<uint8_t>> planes(image.channels, std::vector<uint8_t>(n));
  static const int kOrder[4] = {2, 1, 0, 3};  // B G R A from R G B A
  for (int k = 0; k < image.channels; ++k) {
    for (size_t i = 0; i < n; ++i) planes[k][i] = image.data[i * image.channels + kOrder[k]];
  }
  return planes;
}

}  // namespace kv5sample
