// Eight threads loading every format at once, each through its own host:
// the plug-ins keep no shared state that one load could spoil for another.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "codecs/codec_checks.h"

namespace {

const std::pair<const char *, const char *> kFiles[] = {
    {"PNG", "png/basi6a08.png"},   {"PNG", "png/paris_icc_exif_xmp.png"}, {"JPEG", "jpeg/testimgint.jpg"},
    {"JPEG", "jpeg/paris_exif_xmp_icc.jpg"}, {"BMP", "bmp/pngsuite-basn6a08.bmp"}, {"BMP", "bmp/vgl_6434_0018a.bmp"}};

TEST(CodecPlugins, EightThreadsLoadTheSamePixels) {
  // One host per file stays alive throughout: the modules stay resident, so
  // the threads' own hosts only count references (the loader's first load
  // and last unload are not what this test is about).
  std::vector<std::unique_ptr<vgmtest::RecordingHost>> resident;
  std::vector<std::vector<uint32_t>> alone;
  for (auto [type, file] : kFiles) {
    resident.push_back(std::make_unique<vgmtest::RecordingHost>(type));
    alone.push_back(vgmtest::loadOnly(*resident.back(), vgmtest::dataFile(file)).pixels);
  }
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 4; ++round)
        for (size_t i = 0; i < std::size(kFiles); ++i) {
          size_t pick = (i + t) % std::size(kFiles);
          vgmtest::RecordingHost host(kFiles[pick].first);
          if (host.load(vgmtest::dataFile(kFiles[pick].second)) != FLT_OK || host.layers.size() != 1 ||
              host.layers[0].pixels != alone[pick])
            ++mismatches[t];
        }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

}  // namespace
