#include "codecs/codec_checks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace vgmtest {

void expectPixels(const RecordedLayer &layer, const std::vector<uint32_t> &expected, int tolerance) {
  ASSERT_EQ(size_t(layer.width) * layer.height, expected.size());
  int mismatches = 0;
  for (uint32_t y = 0; y < layer.height; ++y) {
    EXPECT_EQ(layer.pixels[size_t(y) * layer.stride + layer.width], kUnwritten) << "row " << y << " overrun";
    for (uint32_t x = 0; x < layer.width && mismatches < 5; ++x) {
      uint32_t got = layer.at(x, y), want = expected[size_t(y) * layer.width + x];
      for (int shift = 0; shift < 32; shift += 8) {
        if (std::abs(int(got >> shift & 255) - int(want >> shift & 255)) > tolerance) {
          ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << got << " instead of " << want;
          ++mismatches;
          break;
        }
      }
    }
  }
}

void expectSteadyProgress(const RecordingHost &host) {
  ASSERT_FALSE(host.progress.empty());
  int32_t last = 0, total = host.progress.back().second;
  for (auto [a, b] : host.progress) {
    EXPECT_EQ(b, total);
    EXPECT_LE(a - last, std::max(1, (total + 63) / 64)) << "progress gap before " << a;
    last = a;
  }
  EXPECT_EQ(last, total);
}

void expectErrorOrDamaged(RecordingHost &host, const std::string &path) {
  int32_t code = host.load(path);
  if (code < FLT_OK) {
    EXPECT_LT(code, 0);
    EXPECT_FALSE(host.message.empty() && code != FLT_ERR_UNSUPPORTED) << "no message for " << code;
  } else {
    EXPECT_TRUE(host.request.warnings & FLT_WARN_DATA_NOT_TRANSFERRED) << "success without the damage warning";
    for (const RecordedLayer &l : host.layers)
      for (uint32_t y = 0; y < l.height; ++y)
        for (uint32_t x = 0; x < l.width; ++x) ASSERT_NE(l.at(x, y), kUnwritten) << "unwritten pixel " << x << "," << y;
  }
  EXPECT_EQ(std::pair(host.markupsOpen, host.transformsOpen), std::pair(0, 0));
}

int32_t loadBytes(RecordingHost &host, const std::string &bytes, const std::string &ext) {
  TempFolder folder;
  writeFile(folder.file("file" + ext), bytes);
  return host.load(folder.file("file" + ext));
}

void expectCutsFailCleanly(RecordingHost &host, const std::string &bytes, const std::string &ext) {
  TempFolder folder;
  for (int i = 0; i < 10; ++i) {
    size_t length = bytes.size() * i / 10 + (i == 0 ? 1 : 0);
    SCOPED_TRACE(length);
    writeFile(folder.file("cut" + ext), bytes.substr(0, length));
    expectErrorOrDamaged(host, folder.file("cut" + ext));
  }
}

std::vector<uint32_t> pixelsOf(const RecordedLayer &l) {
  std::vector<uint32_t> out;
  for (uint32_t y = 0; y < l.height; ++y)
    for (uint32_t x = 0; x < l.width; ++x) out.push_back(l.at(x, y));
  return out;
}

std::vector<uint32_t> averageBlocks(const std::vector<uint32_t> &pixels, uint32_t width, uint32_t f) {
  std::vector<uint32_t> out;
  for (uint32_t y = 0; y < pixels.size() / width / f; ++y)
    for (uint32_t x = 0; x < width / f; ++x) {
      double sum[4] = {};
      for (uint32_t i = 0; i < f * f; ++i) {
        uint32_t p = pixels[size_t(y * f + i / f) * width + x * f + i % f], a = 255 - (p >> 24);
        for (int k = 0; k < 3; ++k) sum[k] += double(p >> (8 * k) & 255) * a;
        sum[3] += a;
      }
      uint32_t pixel = uint32_t(255 - std::lround(sum[3] / (f * f))) << 24;
      for (int k = 0; k < 3 && sum[3] > 0; ++k) pixel |= uint32_t(std::lround(sum[k] / sum[3])) << (8 * k);
      out.push_back(pixel);
    }
  return out;
}

double psnr(const RecordedLayer &l, const std::vector<uint32_t> &expected, bool alpha) {
  double squared = 0, samples = 0;
  for (uint32_t y = 0; y < l.height; ++y)
    for (uint32_t x = 0; x < l.width; ++x) {
      uint32_t want = expected[size_t(y) * l.width + x];
      for (int s = alpha && want >> 24 == 255 ? 24 : 0; s < (alpha ? 32 : 24); s += 8, ++samples)
        squared += std::pow(double(int(l.at(x, y) >> s & 255) - int(want >> s & 255)), 2);
    }
  return 10 * std::log10(255.0 * 255.0 * samples / std::max(squared, 1e-9));
}

bool loadSample(RecordingHost &host, const std::string &folder, const Sample &s) {
  int32_t code = host.load(dataFile(folder + "/" + s.file));
  EXPECT_EQ(std::tuple(code, host.layers.size(), host.request.warnings), std::tuple(FLT_OK, s.layers, 0));
  for (const RecordedLayer &l : host.layers) {
    EXPECT_EQ(std::pair(l.width, l.height), std::pair(s.width, s.height));
    if (!s.allSameSize) break;
  }
  return code == FLT_OK && host.layers.size() == s.layers;
}

RecordedLayer loadOnly(RecordingHost &host, const std::string &path) {
  EXPECT_EQ((std::pair{host.load(path), host.layers.size()}), std::pair(FLT_OK, size_t{1})) << path;
  return host.layers.empty() ? RecordedLayer{} : host.layers[0];
}

}  // namespace vgmtest
