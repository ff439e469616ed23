// Native documents through the load and thumbnail exports, and the pixel
// budget a load gives a document's layers.
#include "imageio/load_save_options.h"
#include "imageio/plugin_fixture.h"
#include "kv5/kv5_doc_writer.h"
#include "kv5/kv5_reader.h"
#include "raster/layers/layers.h"
#include "vgm/vgm_common.h"

namespace {

kv5doc::Item layer(uint32_t w, uint32_t h, std::vector<uint32_t> pixels, int32_t x = 0, int32_t y = 0) {
  kv5doc::Item item;
  item.width = w, item.height = h, item.x = x, item.y = y;
  item.pixels = kv5doc::planar(pixels, 4);
  return item;
}

struct Image {
  int32_t ok = 0;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
};

}  // namespace

class Kv5LoadTest : public PluginTest {
 protected:
  std::u16string put(const std::string &name, const kv5doc::Doc &doc) {
    kv5doc::Bytes bytes = kv5doc::writeV4(doc);
    vgmtest::writeFile(root_.file(name), std::string(bytes.begin(), bytes.end()));
    return u16(root_.file(name));
  }
  static Image load(const std::u16string &path, bool thumb) {
    CmioRequest request{};
    request.thumb_max_width = request.thumb_max_height = 64;
    CmioImage image{};
    Image out;
    out.ok = thumb ? cmio_LoadThumb(&image, path.c_str(), &request) : cmio_LoadImage(&image, path.c_str(), &request);
    if (out.ok) {
      out.width = image.width, out.height = image.height;
      auto *p = static_cast<uint32_t *>(image.pixels);
      for (size_t i = 0; i < size_t{image.width} * image.height; ++i) out.pixels.push_back(p[i] & 0x00FFFFFF);
      GlobalFree(image.pixels);
    }
    return out;
  }
};

TEST_F(Kv5LoadTest, CompositeLoadsAsItsLayersFlattened) {
  const uint32_t A = 0x204060, B = 0xA0B0C0, C = 0xD0E0F0, clear = 0xFF000000u | 0x123456;
  kv5doc::Doc doc;
  doc.items.push_back(layer(4, 3, std::vector<uint32_t>(12, A)));
  doc.items.push_back(layer(2, 1, {B, B}, 1, 1));
  doc.items.push_back(layer(2, 2, {clear, C, clear, clear}, 2, 0));  // one opaque pixel, the rest invisible
  doc.items.back().compress = true;
  Image image = load(put("three.kv5", doc), false);
  ASSERT_EQ(image.ok, 1);
  ASSERT_EQ(image.width, 4u);
  ASSERT_EQ(image.height, 3u);
  EXPECT_EQ(image.pixels, (std::vector<uint32_t>{A, A, A, C, A, B, B, A, A, A, A, A}));
}

TEST_F(Kv5LoadTest, ThumbnailExportTakesTheStoredThumbnail) {
  kv5doc::Doc doc;
  kv5doc::Item thumbnail = layer(4, 2, std::vector<uint32_t>(8, 0x112233));
  thumbnail.kind = kv5doc::Item::thumbnail;
  doc.items.push_back(thumbnail);
  doc.items.push_back(layer(40, 20, std::vector<uint32_t>(800, 0x445566)));
  std::u16string path = put("thumbed.kv5", doc);
  Image thumb = load(path, true);
  ASSERT_EQ(thumb.ok, 1);
  EXPECT_EQ(thumb.width, 4u);
  EXPECT_EQ(thumb.height, 2u);
  EXPECT_EQ(thumb.pixels, std::vector<uint32_t>(8, 0x112233));
  Image full = load(path, false);  // the image itself skips the thumbnail
  ASSERT_EQ(full.ok, 1);
  EXPECT_EQ(full.width, 40u);
  EXPECT_EQ(full.pixels, std::vector<uint32_t>(800, 0x445566));
}

// 15000 x 15000 leaves 43,435,456 pixels of the 2^28: a 7000 x 7000 layer
// (which the engine alone would make) is refused before allocation, a
// 6000 x 6000 one after it still fits. Streams are empty, so nothing is
// written into the large surfaces.
TEST_F(Kv5LoadTest, DocumentLayersCountAgainstTheLoadsPixelBudget) {
  kv5doc::Doc doc;
  for (uint32_t side : {15000u, 7000u, 6000u}) {
    kv5doc::Item item;
    item.width = item.height = side;
    doc.items.push_back(item);
  }
  std::u16string path = put("big.kv5", doc);
  rx_LayerEntry *table = rx_LayerTableCreate();
  ASSERT_NE(table, nullptr);
  LoadSaveOptions options{};
  options.quiet = 1;
  EXPECT_EQ(kv5_Read(table, &options, path.c_str()), 2);
  std::string message = vgmtest::u8(options.message);
  EXPECT_NE(message.find("Error creating target bitmap (7000x7000) for layer #2\n"), std::string::npos) << message;
  EXPECT_EQ(table[0].surface.width, 15000u);
  EXPECT_EQ(table[1].surface.width, 6000u);
  rx_LayerTableFree(table);
}
