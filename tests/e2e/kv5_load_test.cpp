// Native documents through the load and thumbnail exports, and the pixel budget a load gives a document's layers.
#include "kv5/kv5_doc_writer.h"
#include "kv5/kv5_reader.h"
#include "load_fixture.h"
#include "raster/layers/layers.h"

namespace {

kv5doc::Item item(uint32_t w, uint32_t h, std::vector<uint32_t> pixels, int32_t x = 0, int32_t y = 0) {
  kv5doc::Item out;
  out.width = w, out.height = h, out.x = x, out.y = y, out.pixels = kv5doc::planar(pixels, 4);
  return out;
}

}  // namespace

class Kv5LoadTest : public LoadTest {
 protected:
  std::u16string put(const kv5doc::Doc &doc) {
    kv5doc::Bytes bytes = kv5doc::writeV4(doc);
    return LoadTest::put("doc.kv5", std::string(bytes.begin(), bytes.end()));
  }
  // Width, height, then the pixels without T.
  static std::vector<uint32_t> image(const Loaded &l) {
    std::vector<uint32_t> out{l.width, l.height};
    for (uint32_t p : l.pixels) out.push_back(p & 0xFFFFFF);
    return out;
  }
};

TEST_F(Kv5LoadTest, CompositeLoadsAsItsLayersFlattenedAndThumbnailsComeFromTheFile) {
  const uint32_t A = 0x204060, B = 0xA0B0C0, C = 0xD0E0F0, clear = 0xFF123456;
  kv5doc::Doc doc;
  doc.items = {item(4, 3, std::vector<uint32_t>(12, A)), item(2, 1, {B, B}, 1, 1),
               item(2, 2, {clear, C, clear, clear}, 2, 0)};  // one opaque pixel, the rest invisible
  doc.items.back().compress = true;
  EXPECT_EQ(image(load(put(doc))), (std::vector<uint32_t>{4, 3, A, A, A, C, A, B, B, A, A, A, A, A}));

  doc.items = {item(4, 2, std::vector<uint32_t>(8, A)), item(40, 20, std::vector<uint32_t>(800, B))};
  doc.items[0].kind = kv5doc::Item::thumbnail;
  std::vector<uint32_t> thumb{4, 2}, full{40, 20};
  thumb.resize(10, A), full.resize(802, B);
  EXPECT_EQ(image(LoadTest::thumb(put(doc), 64, 64)), thumb);
  EXPECT_EQ(image(load(put(doc))), full);  // the image itself skips the thumbnail
}

// 15000 x 15000 leaves 43,435,456 pixels of the 2^28: a 7000 x 7000 layer (which the engine alone would make) is
// refused before allocation, a 6000 x 6000 one after it still fits. The streams are empty: nothing is written into the
// large surfaces.
TEST_F(Kv5LoadTest, DocumentLayersCountAgainstTheLoadsPixelBudget) {
  kv5doc::Doc doc;
  for (uint32_t side : {15000u, 7000u, 6000u}) doc.items.push_back(item(side, side, {}));
  std::u16string path = put(doc);
  rx_LayerEntry *table = rx_LayerTableCreate();
  ASSERT_NE(table, nullptr);
  LoadSaveOptions options{};
  options.quiet = 1;
  EXPECT_EQ(kv5_Read(table, &options, path.c_str()), 2);
  std::string message = vgmtest::u8(options.message);
  EXPECT_NE(message.find("Error creating target bitmap (7000x7000) for layer #2\n"), std::string::npos) << message;
  EXPECT_EQ(std::pair(table[0].surface.width, table[1].surface.width), std::pair(15000u, 6000u));
  rx_LayerTableFree(table);
}
