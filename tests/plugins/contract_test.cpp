// The contract over every test plug-in that is meant to return (crash and
// hang have their own tests with the fault guard): exports, traps, random
// probes; and flt_TestGood's format through a small stand-in host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/os.h"
#include "plugins/test_plugins.h"
#include "support/test_support.h"
#include "vgm/vgm_plugin.h"

namespace {

using vgmtest::TstFile;
using vgmtest::TstLayer;

struct Plugin {
  os_Module *handle = nullptr;
  flt_CheckLoadFn checkLoad = nullptr;
  flt_LoadImageFn loadImage = nullptr;
  flt_CheckSaveFn checkSave = nullptr;
  flt_SaveImageFn saveImage = nullptr;

  explicit Plugin(const char *path) {
    // flt_TestDep finds its library only when it is already loaded: the
    // search sequence is the registry's business, not this suite's.
    static os_Module *dependency = os_ModuleLoad(vgmtest::u16(VGM_TEST_DEP_LIBRARY).c_str());
    EXPECT_NE(dependency, nullptr) << VGM_TEST_DEP_LIBRARY;
    handle = os_ModuleLoad(vgmtest::u16(path).c_str());
    EXPECT_NE(handle, nullptr) << "cannot load " << path;  // then every entry point is null
    checkLoad = reinterpret_cast<flt_CheckLoadFn>(os_ModuleSymbol(handle, "flt_CheckLoad"));
    loadImage = reinterpret_cast<flt_LoadImageFn>(os_ModuleSymbol(handle, "flt_LoadImage"));
    checkSave = reinterpret_cast<flt_CheckSaveFn>(os_ModuleSymbol(handle, "flt_CheckSave"));
    saveImage = reinterpret_cast<flt_SaveImageFn>(os_ModuleSymbol(handle, "flt_SaveImage"));
  }
  ~Plugin() { os_ModuleFree(handle); }
};

void setExtension(FltProbe &probe, const std::string &extension) {
  for (size_t i = 0; i < extension.size() && i + 1 < FLT_EXTENSION_CAPACITY; ++i)
    probe.extension[i] = static_cast<WCHAR>(extension[i]);
}

// The host's scores, worked out from the reply rules: a load reply counts
// a+b+c plus 1000 for each weak flag left clear; a save reply a+b+c.
int score(Plugin &p, const std::string &extension, const std::string *header) {
  FltProbe probe{};
  setExtension(probe, extension);
  if (header != nullptr) probe.header_size = static_cast<uint32_t>(header->size());
  if (header != nullptr) memcpy(probe.header, header->data(), header->size());
  if ((header ? p.checkLoad(&probe) : p.checkSave(&probe)) == 0 || probe.strength_a == 0) return 0;
  const int weak = header ? (probe.reply_flags & 1 ? 0 : 1000) + (probe.reply_flags & 2 ? 0 : 1000) : 0;
  return std::max(1, probe.strength_a + probe.strength_b + probe.strength_c + weak);
}
int loadScore(Plugin &p, const std::string &extension, const std::string &header) { return score(p, extension, &header); }
int saveScore(Plugin &p, const std::string &extension) { return score(p, extension, nullptr); }

// Every plug-in the build made, test and real ones alike, except those
// that fault or hang on purpose.
std::vector<std::string> builtPlugins() {
  std::vector<std::string> found;
  for (const std::string &root : {std::string(VGM_TEST_PLUGIN_DIR), vgmtest::binFolder() + "/Plugins"}) {
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      std::string name = it->path().filename().string();
      if (it->is_regular_file() && name.starts_with("flt_") && name.ends_with(".dll") &&
          name != "flt_TestCrash.dll" && name != "flt_TestHang.dll")
        found.push_back(it->path().string());
    }
  }
  return found;
}

class PluginContract : public ::testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Built, PluginContract, ::testing::ValuesIn(builtPlugins()),
                         [](const auto &info) { return std::filesystem::path(info.param).stem().string(); });

TEST(PluginContractSet, TestAndRealPluginsAreAllThere) {
  std::vector<std::string> names;
  for (const std::string &path : builtPlugins()) names.push_back(std::filesystem::path(path).filename().string());
  std::vector<const char *> wanted = {"flt_TestGood.dll", "flt_TestGreedy.dll", "flt_TestDep.dll"};
#ifdef VGM_REAL_PLUGINS
  wanted.insert(wanted.end(), {"flt_PNG.dll", "flt_JPEG.dll", "flt_GIF.dll", "flt_TIFF.dll", "flt_WebP.dll", "flt_BMP.dll"});
#endif
  for (const char *name : wanted)
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

TEST_P(PluginContract, ExportsTrapsAndRandomProbes) {
  const std::string &path = GetParam();
  Plugin p(path.c_str());
  // An operation needs both of its entry points; test plug-ins export all four.
  EXPECT_EQ(p.checkLoad == nullptr, p.loadImage == nullptr);
  EXPECT_EQ(p.checkSave == nullptr, p.saveImage == nullptr);
  const std::string name = std::filesystem::path(path).filename().string();
  EXPECT_TRUE(name.starts_with("flt_Test") ? p.checkLoad && p.checkSave : p.checkLoad || p.checkSave);

  // Only the greedy plug-in may fall into a trap; it must fall into all.
  bool greedy = name == "flt_TestGreedy.dll";
  if (p.checkSave) {
    for (const char *trap : {".***", ".???", ".!@#"}) EXPECT_EQ(saveScore(p, trap) >= 1, greedy) << trap;
    for (const char *trap : {".sys", ".vxd", ".ini"}) EXPECT_EQ(saveScore(p, trap) >= 64, greedy) << trap;
  }
  if (!p.checkLoad) return;
  EXPECT_EQ(loadScore(p, ".***", FLT_TRAP_HEADER) >= 2, greedy);

  // Random probes: no fault, nothing written outside the reply, and the
  // same answer twice. A quarter start with a test magic to reach further.
  std::mt19937 random(20261206);
  const std::string extensions[] = {"", ".tst", ".***", ".png", ".x"};
  for (int i = 0; i < 10000; ++i) {
    FltProbe probe{};
    std::string extension = extensions[random() % 5];
    if (i % 7 == 0)
      for (int n = 1 + random() % 15; n > 0; --n) extension += static_cast<char>(' ' + random() % 95);
    setExtension(probe, extension);
    probe.header_size = random() % (FLT_PROBE_HEADER_MAX + 1);
    for (uint8_t &b : probe.header) b = static_cast<uint8_t>(random());
    if (i % 4 == 0) memcpy(probe.header, i % 8 ? "VGMTEST1" : "VGMTDEP1", 8);
    FltProbe before = probe, again = probe;
    int32_t answer = p.checkLoad(&probe);
    ASSERT_EQ(memcmp(&probe, &before, 124), 0) << "probe " << i;
    ASSERT_EQ(p.checkLoad(&again), answer);
    ASSERT_EQ(memcmp(&again, &probe, sizeof probe), 0);
    if (p.checkSave && i % 10 == 0) {
      FltProbe save{};
      setExtension(save, extension);
      FltProbe saveBefore = save;
      p.checkSave(&save);
      ASSERT_EQ(memcmp(&save, &saveBefore, 124), 0);
    }
  }
}

// A stand-in host: layers in vectors with a stride wider than the width.
struct Layer {
  uint32_t width, height, stride;
  std::vector<uint32_t> pixels;
  int16_t x, y;
  std::u16string name;
  uint16_t flags, delay;
  uint8_t attribute, transparency;
  std::string markup;
};

struct Host {
  FltLoadRequest load{};
  FltSaveRequest save{};
  std::vector<Layer> layers;
  std::u16string message, path;
  int progressCalls = 0, cancelAt = -1;
  int32_t lastLayer = FLT_LAST_LAYER_INDEX;

  static inline Host *current = nullptr;  // one request at a time

  static int32_t VGM_API beginLayer(FltLoadRequest *r, uint32_t) {
    r->status = -30;
    if (r->layers_begun > r->last_layer_index) return 0;
    if (r->width == 0 || r->height == 0) {
      r->status = FLT_ERR_BITMAP_ZERO;
      return 0;
    }
    Host &h = *current;
    Layer l{r->width, r->height, r->width + 3, std::vector<uint32_t>((r->width + 3) * r->height, 0xDEADBEEF),
            r->x, r->y, std::u16string(r->name, std::find(r->name, r->name + FLT_NAME_CAPACITY, 0)),
            r->layer_flags, r->frame_delay, r->layer_attribute, r->layer_transparency, {}};
    h.layers.push_back(std::move(l));
    Layer &added = h.layers.back();
    r->stride = added.stride;
    r->pixels = added.pixels.data();
    r->current_layer = r->layers_begun++;
    r->layer_number = r->layers_begun;
    r->status = 1;
    return 1;
  }
  static int32_t VGM_API setMetadata(FltLoadRequest *r, uint32_t tag, const void *value) {
    if (tag != FLT_TAG_MARK || r->current_layer < 0) return 0;
    current->layers[r->current_layer].markup = static_cast<const char *>(value);
    return 1;
  }
  static int32_t VGM_API setText(FltLoadRequest *, int32_t, const WCHAR *text) {
    current->message = reinterpret_cast<const char16_t *>(text);
    return 1;
  }
  template <class Request>
  static int32_t VGM_API progress(Request *, int32_t, int32_t) {
    return current->progressCalls++ == current->cancelAt ? 0 : 1;
  }
  static int32_t VGM_API selectLayer(FltSaveRequest *r, int32_t index, uint32_t) {
    Host &h = *current;
    if (index < 0 || index >= static_cast<int32_t>(h.layers.size())) return 0;
    const Layer &l = h.layers[index];
    r->width = l.width, r->height = l.height, r->stride = l.stride;
    r->pixels = const_cast<uint32_t *>(l.pixels.data());
    r->x = l.x, r->y = l.y, r->layer_flags = l.flags, r->frame_delay = l.delay;
    r->layer_attribute = l.attribute, r->layer_transparency = l.transparency;
    memset(r->name, 0, sizeof r->name);
    std::copy(l.name.begin(), l.name.end(), r->name);
    r->selected_layer = index;
    return 1;
  }
  static const void *VGM_API getMetadata(FltSaveRequest *r, uint32_t tag) {
    const Layer &l = current->layers[r->selected_layer];
    if (tag != FLT_TAG_MARK || l.markup.empty()) return nullptr;
    r->metadata_result = l.markup.size() + 1;
    return l.markup.c_str();
  }

  int32_t runLoad(Plugin &p, const std::string &file, bool callbacks = true) {
    layers.clear();
    progressCalls = 0;
    path = vgmtest::u16(file);
    load = FltLoadRequest{};
    load.path = reinterpret_cast<const WCHAR *>(path.c_str());
    load.begin_layer = beginLayer;
    if (callbacks) load.set_metadata = setMetadata, load.set_text = setText, load.progress = progress<FltLoadRequest>;
    load.current_layer = -1;
    load.last_layer_index = lastLayer;
    static pi_StateStore store{};  // every slot null: the plug-in must check them
    store.version = PI_STATESTORE_VERSION;
    static pi_MetaMarkup emptyMarkup{};  // every slot null: the plug-in must fall back
    load.state_store = &store;
    load.meta_markup = &emptyMarkup;
    current = this;
    return p.loadImage(&load);
  }
  int32_t runSave(Plugin &p, const std::string &file) {
    path = vgmtest::u16(file);
    save = FltSaveRequest{};
    save.path = reinterpret_cast<const WCHAR *>(path.c_str());
    save.select_layer = selectLayer, save.get_metadata = getMetadata;
    save.progress = progress<FltSaveRequest>;
    save.layer_count = static_cast<uint32_t>(layers.size());
    save.layers = static_cast<int32_t>(layers.size());
    save.document_kind = load.document_kind, save.document_sub_kind = load.document_sub_kind;
    save.selected_layer = -1;
    current = this;
    if (!selectLayer(&save, 0, 0)) return 0;
    return p.saveImage(&save);
  }
};

// The host-facing rules on each real plug-in, with one sample file: every
// pixel of every row written and nothing past a row, a bare request (no
// optional callbacks) served, a cancel obeyed, a refused layer's status
// returned, a missing file named (save round trips are the codec suites').
class RealPluginContract : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};
// Builds without the codec plug-ins (the 32-bit emulated one) check them natively.
#ifdef VGM_REAL_PLUGINS
INSTANTIATE_TEST_SUITE_P(Six, RealPluginContract,
                         ::testing::Values(std::pair("PNG", "png/basn6a08.png"), std::pair("JPEG", "jpeg/testimgint.jpg"),
                                           std::pair("GIF", "gif/porsche.gif"), std::pair("TIFF", "tiff/shapes_lzw.tif"),
                                           std::pair("WebP", "webp/test.webp"), std::pair("BMP", "bmp/pngsuite-basn6a08.bmp")),
                         [](const auto &info) { return info.param.first; });
#else
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealPluginContract);
#endif

TEST_P(RealPluginContract, LoadsCancelsAndRefuses) {
  const auto &[type, sample] = GetParam();
  Plugin p((vgmtest::binFolder() + "/Plugins/" + type + "/flt_" + type + ".dll").c_str());
  ASSERT_TRUE(p.loadImage && p.saveImage);
  std::string file = vgmtest::dataFile(sample), ext = std::filesystem::path(sample).extension().string();
  Host h;
  ASSERT_EQ(h.runLoad(p, file), FLT_OK);
  ASSERT_EQ(h.layers.size(), 1u);
  const Layer l = h.layers[0];
  EXPECT_GE(h.progressCalls, 1);
  for (uint32_t y = 0; y < l.height; ++y) {
    EXPECT_EQ(std::count(l.pixels.begin() + y * l.stride, l.pixels.begin() + y * l.stride + l.width, 0xDEADBEEFu), 0) << y;
    EXPECT_EQ(l.pixels[y * l.stride + l.width], 0xDEADBEEFu) << "wrote past row " << y;
  }
  Host bare, cancel, refused;
  EXPECT_EQ(bare.runLoad(p, file, false), FLT_OK);
  EXPECT_EQ(bare.layers.size(), 1u);
  cancel.cancelAt = 0;
  EXPECT_EQ(cancel.runLoad(p, file), FLT_ERR_CANCELLED);
  refused.lastLayer = -1;  // the host refuses the first layer with status -30
  EXPECT_EQ(refused.runLoad(p, file), -30);
  EXPECT_TRUE(refused.layers.empty());
  vgmtest::TempFolder folder;
  EXPECT_EQ(h.runLoad(p, folder.file("missing" + ext)), FLT_ERR_OPEN_READ);
}

TstFile sampleFile() {
  TstFile f;
  f.kind = FLT_DOC_FRAME_ANIMATION, f.subKind = 1, f.warnings = FLT_WARN_RESIZED | FLT_WARN_LAYER_TYPES;
  f.markup = "exif.make=Test;image.dpi=300;";
  TstLayer a{3, 2, 0, 0, 0x0002, 40, 7, 0, u"base", 0, {1, 2, 3, 4, 5, 0xFF000006}};
  TstLayer b{2, 1, -5, 9, FLT_LAYER_HIDDEN, 0, 0, 128, u"second layer", 0x80112233, {}};
  TstLayer c{1, 1, 300, -300, 0, 100, 0, 255, std::u16string(31, u'n'), 0x01020304, {}};
  f.layers = {a, b, c};
  return f;
}

void expectLayers(const Host &h, const TstFile &f) {
  ASSERT_EQ(h.layers.size(), f.layers.size());
  for (size_t i = 0; i < f.layers.size(); ++i) {
    const Layer &got = h.layers[i];
    const TstLayer &want = f.layers[i];
    SCOPED_TRACE(i);
    auto fields = [](const auto &l) {
      return std::tuple(uint32_t{l.width}, uint32_t{l.height}, l.x, l.y, l.name, l.flags, l.delay, l.attribute, l.transparency);
    };
    EXPECT_EQ(fields(got), fields(want));
    EXPECT_EQ(got.markup, i == 0 ? f.markup : "");
    for (uint32_t y = 0; y < want.height; ++y) {
      for (uint32_t x = 0; x < want.width; ++x)
        EXPECT_EQ(got.pixels[y * got.stride + x], want.pixels.empty() ? want.color : want.pixels[y * want.width + x]);
      EXPECT_EQ(got.pixels[y * got.stride + want.width], 0xDEADBEEFu) << "wrote past the row";
    }
  }
}

TEST(TestPlugins, LoadSaveAndFailAsDescribedInTheirHeader) {
  Plugin p(VGM_TEST_PLUGIN("TestGood"));
  ASSERT_TRUE(p.loadImage && p.saveImage);
  vgmtest::TempFolder folder;
  TstFile f = sampleFile();
  vgmtest::writeFile(folder.file("a.tst"), f.bytes());

  Host h;
  ASSERT_EQ(h.runLoad(p, folder.file("a.tst")), FLT_OK);
  expectLayers(h, f);
  EXPECT_EQ(std::tuple(int(h.load.document_kind), int(h.load.document_sub_kind), int(h.load.warnings), h.progressCalls),
            std::tuple(FLT_DOC_FRAME_ANIMATION, 1, int(FLT_WARN_RESIZED | FLT_WARN_LAYER_TYPES), 3));

  // Saving what was loaded writes what an independent writer would (pixels
  // always explicit, no warnings), and reads back the same.
  ASSERT_EQ(h.runSave(p, folder.file("b.tst")), FLT_OK);
  TstFile expected = f;
  expected.warnings = 0;
  for (TstLayer &l : expected.layers)
    if (l.pixels.empty()) l.pixels.assign(l.width * l.height, l.color), l.color = 0;
  EXPECT_EQ(vgmtest::readFile(folder.file("b.tst")), expected.bytes());

  // Failure switches and bad files.
  std::string file = folder.file("x.tst");
  auto load = [&](const std::string &bytes) {
    vgmtest::writeFile(file, bytes);
    return h.runLoad(p, file);
  };
  using namespace vgmtest;
  const struct { uint16_t switches; int32_t code; size_t layers; uint32_t flags; } switchCases[] = {{kTstFailBefore, FLT_ERR_INVALID_DATA, 0, 0},
                     {kTstFailAfter, FLT_ERR_COMPONENT_FAILED, 3, 0},
                     {kTstNoLayers | kTstRestartClock | kTstReportBit, FLT_OK, 0, FLT_FLAG_REPORTED},
                     {kTstRestartClock, FLT_OK, 3, FLT_FLAG_RESTART_TIME_LIMIT}};
  for (const auto &c : switchCases) {
    SCOPED_TRACE(c.switches);
    f.switches = c.switches, f.code = c.code, h.message.clear();
    EXPECT_EQ(load(f.bytes()), c.code);
    EXPECT_EQ(h.layers.size(), c.layers);
    EXPECT_EQ(h.load.flags, c.flags);
    EXPECT_EQ(h.message, c.switches & (kTstFailBefore | kTstFailAfter) ? u"TestGood: failure requested" : u"");
  }

  f.switches = 0;
  h.cancelAt = 1;
  EXPECT_EQ(load(f.bytes()), FLT_ERR_CANCELLED);
  EXPECT_EQ(h.layers.size(), 1u);
  h.cancelAt = -1;
  // A damaged file delivers nothing at all.
  const std::string bytes = f.bytes();
  TstFile zero;
  zero.layers.resize(1);
  zero.layers[0].width = 0;
  const std::pair<std::string, int32_t> damaged[] = {{bytes.substr(0, bytes.size() - 1), FLT_ERR_UNEXPECTED_END},
                                                     {bytes.substr(0, 20), FLT_ERR_UNEXPECTED_END},
                                                     {"VGMTEST2" + bytes.substr(8), FLT_ERR_UNSUPPORTED},
                                                     {zero.bytes(), FLT_ERR_BITMAP_ZERO}};
  for (const auto &[file, code] : damaged) {
    EXPECT_EQ(load(file), code) << file.size();
    EXPECT_TRUE(h.layers.empty());
  }
  EXPECT_EQ(h.runLoad(p, folder.file("missing.tst")), FLT_ERR_OPEN_READ);

  // Saves (the option switches and a full host are the save and load suites'):
  // a save cancelled half-way leaves no file; an unwritable target gives -41.
  ASSERT_EQ(load(f.bytes()), FLT_OK);
  h.cancelAt = h.progressCalls + 1;
  EXPECT_EQ(h.runSave(p, folder.file("out.tst")), FLT_ERR_CANCELLED);
  EXPECT_FALSE(std::filesystem::exists(folder.file("out.tst")));
  h.cancelAt = -1;
  EXPECT_EQ(h.runSave(p, folder.file("no/such/folder/out.tst")), FLT_ERR_OPEN_WRITE);

  // flt_TestDep and flt_TestGreedy.
  Plugin dep(VGM_TEST_PLUGIN("TestDep"));
  EXPECT_EQ(loadScore(dep, "", "VGMTDEP1"), 2077);
  ASSERT_EQ(h.runLoad(dep, "unused"), FLT_OK);
  ASSERT_EQ(h.layers.size(), 1u);
  EXPECT_EQ(h.layers[0].pixels[0], 0x00336699u);

  Plugin greedy(VGM_TEST_PLUGIN("TestGreedy"));
  EXPECT_EQ(h.runLoad(greedy, "unused"), FLT_ERR_UNSUPPORTED);
}

}  // namespace
