// The video bridge against the real server (native builds, with clips made
// by the codec libraries) and against a misbehaving stand-in (everywhere).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#ifndef _WIN32
extern "C" {
#include <libavutil/pixfmt.h>
}
#endif

#include "hostenv/error_log.h"
#include "hostenv/folders.h"
#include "platform/os.h"
#include "raster/surface.h"
#include "raster/thread_state.h"
#include "support/test_support.h"
#include "video/video_bridge.h"
#ifndef _WIN32
#  include "video/clips.h"
#  define VGM_REAL_VIDEO_SERVER 1  // the codec libraries are native only
#endif

// Clip settings name only what differs from the default clip.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

using vgmtest::childProcessCount;

// Closes a connection however the test ends, so no server outlives it.
struct Conn {
  FltVideoConnection *c;
  ~Conn() { vid_CloseServer(&c); }
  operator FltVideoConnection *() const { return c; }
  FltVideoConnection *operator->() const { return c; }
};

[[maybe_unused]] uint32_t grey(int k) { return 0x010101u * static_cast<uint32_t>(8 * k); }

}  // namespace

class VideoTest : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  vgmtest::ScopedEnv data_{"VGM_APPDATA_DIR", root_.file("data")}, app_{"VGM_APP_DIR", root_.file("app")};
  std::string real_ = vgmtest::binFolder() + "/vgm_Video64.exe";

  void SetUp() override {
    ASSERT_TRUE(rx_EngineStart());
    fs::create_directories(root_.file("app"));
    env_ResetForTests(nullptr), log_ResetForTests();
  }
  void TearDown() override {
    EXPECT_EQ(childProcessCount(), 0);
    env_ResetForTests(nullptr), log_ResetForTests();
  }
  // The servers the bridge finds; empty means none of that build.
  void servers(const std::string &s32, const std::string &s64) {
    if (!s32.empty()) fs::copy_file(s32, root_.file("app/vgm_Video32.exe"));
    if (!s64.empty()) fs::copy_file(s64, root_.file("app/vgm_Video64.exe"));
  }
  FltVideoConnection *open(uint32_t timeout = 1000) {
    int32_t result = 0;
    FltVideoConnection *c = vid_OpenServer(timeout, &result);
    EXPECT_EQ(result, 1);
    return c;
  }
  int logLines() {
    std::string raw = vgmtest::readFile(root_.file("data/Orvine Photo/suite_error.log"));
    std::u16string text(reinterpret_cast<const char16_t *>(raw.data()), raw.size() / 2);
    int n = 0;
    for (size_t at = 0; (at = text.find(u"Orvine Photo | Out-of-Process Video Server EXE missing", at)) != text.npos; ++at)
      ++n;
    return n;
  }
#ifdef VGM_REAL_VIDEO_SERVER
  std::string clip(const std::string &name, ClipSettings clip = {}) {
    std::string path = root_.file(name);
    if (clip.pixel_format == 0) clip.pixel_format = AV_PIX_FMT_BGR0;
    EXPECT_TRUE(makeClip(path, clip)) << name;
    return path;
  }
  std::string h264() {
    return clip("h264.mkv", {.codec = "libx264rgb", .gop = 10, .b_frames = 2, .private_options = "qp=1"});
  }
  std::vector<uint32_t> frame(FltVideoConnection *c, int k) {
    FltImage image{};
    if (!vid_GetFrame(c, k, 0, &image)) return {};
    return std::vector<uint32_t>(image.pixels, image.pixels + size_t(image.width) * image.height);
  }
#endif
};

#ifdef VGM_REAL_VIDEO_SERVER

TEST_F(VideoTest, LosslessClipsDecodeExactlyInAnyOrder) {
  servers(real_, real_);
  const std::pair<std::string, std::u16string> clips[] = {{clip("ffv1.mkv"), u"ffv1 64x48"}, {h264(), u"h264 64x48"}};
  for (const auto &[path, codec] : clips) {
    SCOPED_TRACE(path);
    RefFrames ref = decodeReference(path);
    ASSERT_EQ(ref.frames.size(), 30u);
    Conn c{open()};
    int32_t result = 0;
    ASSERT_EQ(vid_OpenFile(c, vgmtest::u16(path).c_str(), 0, &result), 1);
    uint32_t count = 0, ms = 0;
    double fps = 0;
    char16_t text[64];
    EXPECT_TRUE(vid_GetCount(c, &count) && count == 30);
    EXPECT_TRUE(vid_GetReal(c, &fps) && fps == 30.0);
    EXPECT_TRUE(vid_GetMsec(c, &ms) && ms == 1000);
    EXPECT_TRUE(vid_GetTextA(c, text, 64) == static_cast<int>(codec.size()) && std::u16string(text) == codec);
    EXPECT_TRUE(vid_GetTextB(c, text, 9) == 8 && std::u16string(text) == u"matroska");
    std::vector<int> order(60);  // in order, then shuffled
    for (int k = 0; k < 60; ++k) order[k] = k % 30;
    std::shuffle(order.begin() + 30, order.end(), std::mt19937(7));
    for (int k : order) {
      std::vector<uint32_t> got = frame(c, k);
      ASSERT_EQ(got, ref.frames[k]) << "frame " << k;
      EXPECT_EQ(got[100], grey(k)) << "frame " << k;
    }
    EXPECT_TRUE(frame(c, 30).empty() && frame(c, -1).empty());
    EXPECT_TRUE(vid_CloseServer(&c.c) == 1 && c.c == nullptr);
  }
}

TEST_F(VideoTest, AlphaAnamorphicAndFrameBuffers) {
  servers(real_, real_);
  std::string alpha = clip("alpha.mov", {.muxer = "mov", .codec = "png", .pixel_format = AV_PIX_FMT_RGBA,
                                         .frames = 3, .colour = [](int, int, int) { return 0x80204060u; }});
  std::string wide = clip("wide.mkv", {.frames = 3, .sar_num = 2, .sar_den = 1});
  Conn c{open()};
  int32_t result = 0;
  ASSERT_EQ(vid_OpenFile(c, vgmtest::u16(alpha).c_str(), 0, &result), 1);
  EXPECT_EQ(frame(c, 1)[0], 0x7F204060u);  // alpha 128 arrives as T = 127
  ASSERT_EQ(vid_OpenFile(c, vgmtest::u16(clip("ffv1.mkv")).c_str(), 0, &result), 1);
  FltImage image{};
  ASSERT_EQ(vid_GetFrame(c, 2, 0, &image), 1);
  void *first = c->frame_buffer;
  EXPECT_EQ(c->frame_capacity, 64u * 48 * 4 + 1024 + 64 * 48 * 4 / 16);
  EXPECT_TRUE(vid_GetFrame(c, 3, 0, &image) == 1 && c->frame_buffer == first);  // the buffer is reused
  ASSERT_EQ(vid_OpenFile(c, vgmtest::u16(wide).c_str(), 0, &result), 1);
  ASSERT_EQ(vid_GetFrame(c, 2, 0, &image), 1);
  EXPECT_EQ(std::pair(image.width, image.height), std::pair(128u, 48u));
  EXPECT_EQ(c->frame_capacity, 128u * 48 * 4 + 1024 + 128 * 48 * 4 / 16);
  EXPECT_EQ(frame(c, 2), decodeReference(wide).frames[2]);
  // Bit 1: an image of its own, outside the connection's buffer.
  ASSERT_TRUE(vid_GetFrame(c, 1, 2, &image) == 1 && image.surface != nullptr);
  EXPECT_NE(static_cast<void *>(image.pixels), c->frame_buffer);
  EXPECT_EQ(image.pixels[image.stride * 47 + 127], grey(1));
  rx_SurfaceFree(static_cast<rx_Surface *>(image.surface)), GlobalFree(image.surface);
}

TEST_F(VideoTest, FilesThatAreNoVideoFailWithTheirCodes) {
  servers(real_, real_);
  std::string cut = root_.file("cut.mkv"), whole = vgmtest::readFile(h264());
  vgmtest::writeFile(cut, whole.substr(0, whole.size() * 4 / 10));
  std::string wav(44, '\0');
  for (int i = 0; i < 8000; ++i) wav += static_cast<char>(i * 7);
  uint32_t fields[] = {0x46464952, 36 + 8000, 0x45564157, 0x20746d66, 16, 0x00010001, 8000, 8000, 0x00080001,
                       0x61746164, 8000};
  std::memcpy(wav.data(), fields, sizeof fields);
  vgmtest::writeFile(root_.file("audio.wav"), wav);
  vgmtest::writeFile(root_.file("notes.txt"), "not a video at all\n");
  Conn c{open()};
  int32_t result = 0;
  const std::pair<std::string, int32_t> bad[] = {
      {"audio.wav", FLT_ERR_NO_IMAGE_DATA}, {"notes.txt", FLT_ERR_UNSUPPORTED}, {"missing.mkv", FLT_ERR_OPEN_READ}};
  for (const auto &[name, code] : bad) {
    EXPECT_EQ(vid_OpenFile(c, vgmtest::u16(root_.file(name)).c_str(), 0, &result), 0);
    EXPECT_EQ(result, code) << name;
  }
  auto start = Clock::now();
  if (vid_OpenFile(c, vgmtest::u16(cut).c_str(), 0, &result)) {
    uint32_t count = 0;
    EXPECT_TRUE(vid_GetCount(c, &count) && count < 30u);
    for (int k = 29; k >= 0; --k) frame(c, k);
    EXPECT_TRUE(frame(c, static_cast<int>(count)).empty());
  } else {
    EXPECT_LT(result, 0);
  }
  EXPECT_LT(msSince(start), 30 * 1200);
}

TEST_F(VideoTest, TwoConnectionsInTwoThreads) {
  servers(real_, real_);
  std::string path = clip("ffv1.mkv");
  auto work = [&](int *good) {
    FltVideoConnection *c = vid_OpenServer(1000, nullptr);
    int32_t result = 0;
    if (c != nullptr && vid_OpenFile(c, vgmtest::u16(path).c_str(), 0, &result))
      for (int k = 0; k < 30; ++k) *good += frame(c, k) == std::vector<uint32_t>(64 * 48, grey(k));
    vid_CloseServer(&c);
  };
  int a = 0, b = 0;
  std::thread other(work, &b);
  work(&a);
  other.join();
  EXPECT_EQ(std::pair(a, b), std::pair(30, 30));
}

#endif

TEST_F(VideoTest, MisbehavingServersCostNoMoreThanTheirLimitsAndAreTerminated) {
  servers(VGM_FAKE_SERVER, "");
  auto run = [&](const char *script, auto &&check) {
    vgmtest::ScopedEnv env("VGM_FAKE_VIDEO", script);
    Conn c{open(500)};
    ASSERT_NE(c.c, nullptr);
    check(c);
  };
  FltImage image{};
  uint32_t count = 0;
  WCHAR text[8];
  // Each failing call returns within its limit (500 ms, plus 100) and a margin.
  for (const char *script : {"crash_frame", "silent", "short_header"}) {
    run(script, [&](FltVideoConnection *c) {
      auto start = Clock::now();
      EXPECT_EQ(vid_GetFrame(c, 0, 0, &image), 0) << script;
      EXPECT_EQ(image.pixels, nullptr);
      EXPECT_GE(msSince(start), std::string(script) == "silent" ? 500 : 0);
      EXPECT_LT(msSince(start), 600 + 1000) << script;
    });
  }
  run("late", [&](FltVideoConnection *c) {
    EXPECT_EQ(vid_GetCount(c, &count), 0);
    EXPECT_TRUE(vid_GetCount(c, &count) == 1 && count == 2u);  // its own reply, not the late first one
  });
  run("wrong_code", [&](FltVideoConnection *c) {
    EXPECT_EQ(vid_Ping(c), 0);
    EXPECT_EQ(vid_Ping(c), 1);  // the stray reply is dropped with the first ping
  });
  run("huge", [&](FltVideoConnection *c) {
    static int64_t largest;
    largest = 0;
    os_SetAllocationHook([](int64_t bytes) { largest = std::max(largest, bytes); });
    EXPECT_EQ(vid_GetTextA(c, text, 8), 0);
    os_SetAllocationHook(nullptr);
    EXPECT_EQ(largest, 0);  // no allocation sized by the stated payload
    EXPECT_EQ(vid_Ping(c), 0);  // the link is dropped, not read on
  });
  // Servers that do not connect or do not quit are terminated.
  {
    vgmtest::ScopedEnv env("VGM_FAKE_VIDEO", "no_connect");
    int32_t result = 0;
    auto start = Clock::now();
    EXPECT_TRUE(vid_OpenServer(100, &result) == nullptr && result == FLT_ERR_COMPONENT_MISSING);
    EXPECT_TRUE(msSince(start) >= 2500 && msSince(start) < 2500 + 1500) << msSince(start);
    EXPECT_EQ(childProcessCount(), 0);
  }
  vgmtest::ScopedEnv env("VGM_FAKE_VIDEO", "ignore_quit");
  Conn c{open(100)};
  auto start = Clock::now();
  EXPECT_EQ(vid_CloseServer(&c.c), 1);
  EXPECT_TRUE(msSince(start) >= 2500 && msSince(start) < 2500 + 300 + 1500) << msSince(start);
}

TEST_F(VideoTest, OpenStatusesMapToResultCodes) {
  servers(VGM_FAKE_SERVER, VGM_FAKE_SERVER);
  const std::pair<int, int32_t> table[] = {{0, 1},    {1, -1},   {2, -1},   {3, -1},   {4, -3},   {5, -3},
                                           {6, -3},   {7, -5},   {8, -25},  {9, -20},  {10, -40}, {11, -42},
                                           {12, -30}, {13, -30}, {14, -30}, {15, -98}, {99, -30}};
  for (const auto &[status, code] : table) {
    vgmtest::ScopedEnv env("VGM_FAKE_VIDEO", "status:" + std::to_string(status));
    Conn c{open()};
    int32_t result = 1;
    EXPECT_EQ(vid_OpenFile(c, reinterpret_cast<const WCHAR *>(u"/any/file.mkv"), 0, &result), status == 0 ? 1 : 0);
    EXPECT_EQ(result, code) << "status " << status;
  }
}

#ifdef VGM_REAL_VIDEO_SERVER
TEST_F(VideoTest, RefusedFileRestartsWithTheOtherBuild) {
  vgmtest::ScopedEnv env("VGM_FAKE_VIDEO", "status:10");
  std::u16string path = vgmtest::u16(clip("ffv1.mkv"));
  int32_t result = 0;
  servers(VGM_FAKE_SERVER, real_);
  Conn c{open()};
  EXPECT_TRUE(vid_OpenFile(c, path.c_str(), 0, &result) == 1 && c->use_64bit == 1);
  EXPECT_EQ(frame(c, 4)[0], grey(4));
  vid_CloseServer(&c.c);

  fs::remove(root_.file("app/vgm_Video64.exe"));
  c.c = open();
  EXPECT_TRUE(vid_OpenFile(c, path.c_str(), 0, &result) == 0 && result == FLT_ERR_COMPONENT_FAILED);
  EXPECT_EQ(vid_Ping(c), 1);  // the 32-bit server runs again
  vid_CloseServer(&c.c);
  EXPECT_EQ(logLines(), 1);

  fs::remove(root_.file("app/vgm_Video32.exe"));
  EXPECT_TRUE(vid_OpenServer(1000, &result) == nullptr && result == FLT_ERR_COMPONENT_MISSING);
  EXPECT_EQ(logLines(), 3);
}
#endif
