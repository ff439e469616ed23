// The load exports' fixture: the test plug-ins in a private plug-in folder, files put into a data folder, loads through
// cmio_LoadImage/cmio_LoadThumb with everything they hand over copied out and freed.
#pragma once

#include "imageio/plugin_fixture.h"
#include "markup/markup_text.h"
#include "vgm/vgm_common.h"

using vgmtest::TstFile;
using vgmtest::TstLayer;

struct Loaded {
  int32_t ok = 0;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
  std::string error, markup;
  uint8_t handled = 0;
};

inline TstLayer layer(uint16_t w, uint16_t h, uint32_t color = 0x00112233) {
  TstLayer l;
  l.width = w, l.height = h, l.color = color;
  return l;
}

inline TstFile tst(std::vector<TstLayer> layers, std::string markup = "") {
  TstFile f;
  f.layers = std::move(layers), f.markup = std::move(markup);
  return f;
}

class LoadTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    fs::create_directories(root_.file("data"));
    install(VGM_TEST_PLUGIN("TestGood"), "flt_TestGood.dll");
  }
  void TearDown() override {
    EXPECT_TRUE(fs::is_empty(root_.file("tmp")));  // no temporary file or session folder left behind
    PluginTest::TearDown();
  }
  std::u16string put(const std::string &name, const std::string &bytes) {
    vgmtest::writeFile(root_.file("data/" + name), bytes);
    return u16(root_.file("data/" + name));
  }
  std::u16string put(const std::string &name, const TstFile &file) { return put(name, file.bytes()); }

 public:  // the loads serve the other e2e suites too
  static Loaded load(const std::u16string &path, CmioRequest request = {}, bool thumb = false) {
    Loaded out;
    CmioImage image{};
    out.ok = thumb ? cmio_LoadThumb(&image, path.c_str(), &request) : cmio_LoadImage(&image, path.c_str(), &request);
    out.error = vgmtest::u8(request.error_text);
    out.handled = request.handled;
    if (out.ok) {
      out.width = image.width, out.height = image.height;
      auto *p = static_cast<uint32_t *>(image.pixels);
      out.pixels.assign(p, p + size_t{image.width} * image.height);
      EXPECT_EQ(GlobalSize(image.pixels), size_t{image.width} * image.height * 4);  // handed over or copied, no spare
      GlobalFree(image.pixels);
    }
    if (request.markup != nullptr) {
      out.markup = static_cast<const char *>(request.markup);
      EXPECT_EQ(request.markup_size, GlobalSize(request.markup));
      GlobalFree(request.markup);
    }
    return out;
  }
  static CmioRequest withMarkup() {
    CmioRequest r{};
    r.want_markup = 1;
    return r;
  }
  static Loaded thumb(const std::u16string &path, uint32_t w, uint32_t h, bool checker = false) {
    CmioRequest r{};
    r.thumb_max_width = w, r.thumb_max_height = h, r.thumb_checkerboard = checker;
    return load(path, r, true);
  }
  static std::string value(const std::string &markup, const char *key) {
    char out[64] = "";
    markup_Get(markup.c_str(), key, out, sizeof out, nullptr, nullptr);
    return out;
  }
};

