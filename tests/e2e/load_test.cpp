// The load pipeline through the load and thumbnail exports, with the test
// plug-ins copied into a private plug-in folder.
#include <thread>

#include "frame/request_options.h"
#include "imageio/load/load_pipeline.h"
#include "imageio/plugin_blacklist.h"
#include "imageio/result_codes.h"
#include "raster/layers/layer_records.h"
#include "load_fixture.h"

TEST_F(LoadTest, FileChecksGiveTheirMessages) {
  auto error = [&](const std::u16string &path) { return load(path).error; };
  EXPECT_EQ(error(put("short.tst", "abc")), "Error: Cannot read data from the file, file may be incomplete");
  std::string zeros(100000, '\0');
  EXPECT_EQ(error(put("zeros.tst", zeros)), "Error: The file is corrupted (all bytes are '00')");
  zeros.back() = 1;  // one byte differs at the very end: the file goes on to the plug-ins
  EXPECT_EQ(error(put("almost.tst", zeros)), "Error: The file is either corrupted or the file format is not supported");
  std::string ies = "IESNA:LM-63-2002\r\n[TEST] a lamp, long enough for any header\r\n";
  Loaded photometric = load(put("lamp.ies", ies));
  EXPECT_EQ(photometric.error.rfind("Error: The file is a known format that is not an image file\n\nHint:\nThis is a photometric", 0), 0u);
  EXPECT_EQ(photometric.handled, 0);
  EXPECT_EQ(error(put("lamp.dat", ies)), "Error: The file is either corrupted or the file format is not supported");
  EXPECT_EQ(error(put("lamp.txt", ies)), "Error: The file is not a recognized image file format");
  EXPECT_EQ(error(u16(root_.file("data/missing.tst"))), "The specified file does not exist");
  std::u16string good = put("good.tst", tst({layer(2, 2)}));
  // Root reads everything: only a made failure stops the open (the first: one look at the file serves every reader).
  os_InjectFault(os_FaultKind::fileOpen, 1);
  EXPECT_EQ(error(good), "Error: Cannot open the file for reading, please check access");
  os_InjectFault(os_FaultKind::fileOpen, 0);
  EXPECT_EQ(error(u16(root_.file("data"))), "The specified file does not exist");  // a folder is no file
  std::string base = root_.file("data/");
  Loaded longPath = load(put(std::string(259 - base.size() - 4, 'n') + ".xyz", "not an image at all, just words in a file"));
  EXPECT_EQ(longPath.error, "The path is too long");
  EXPECT_EQ(load(good).ok, 1);
  fs::create_symlink(root_.file("data/lamp.ies"), root_.file("data/lamp.lnk"));
  EXPECT_EQ(error(u16(root_.file("data/lamp.lnk"))).rfind("Error: The file is a known format", 0), 0u);  // the target's rules
  EXPECT_EQ(load(put("plain.lnk", tst({layer(1, 1)}))).ok, 1);  // a ".lnk" that is no link loads as it is
}

// The native reader is asked (a second open) only for what may be a document: its extension, its magic, or a header
// stating more bytes than the file has.
TEST_F(LoadTest, NativeReaderIsAskedOnlyForPossibleDocuments) {
  std::string plain = tst({layer(2, 2)}).bytes();
  struct Case { std::string name, bytes; bool asked; } cases[] = {{"plain.tst", plain, false},
               {"plain.kv5", plain, true},
               {"magic.tst", "_KV5" + plain.substr(4), true},
               {"short.tst", plain.substr(0, 20), true},   // states 0x31545345 header bytes
               {"small.tst", plain.substr(0, 6), false}};  // too short for the reader to look at
  load(put("warm.tst", plain));  // the registry reads its stored copy at first use
  for (const Case &c : cases) {
    std::u16string path = put(c.name, c.bytes);
    io_BlacklistText();  // fresh now: its refresh would be an open as well
    os_InjectFault(os_FaultKind::fileOpen, 2);
    load(path);
    EXPECT_EQ(!os_FaultArmed(os_FaultKind::fileOpen), c.asked) << c.name;
    os_InjectFault(os_FaultKind::fileOpen, 0);
  }
}

TEST_F(LoadTest, OnlyAnIdlePackedHeapSurfaceGivesItsMemoryAway) {
  rx_Surface heap{}, dib{}, wrapped{};
  uint32_t buffer[6];
  ASSERT_EQ(rx_SurfaceCreate(&heap, 3, 2, rx_CreateMemory), 1);
  ASSERT_EQ(rx_SurfaceCreate(&dib, 3, 2, rx_CreateDib), 1);
  ASSERT_EQ(rx_SurfaceWrap(&wrapped, 3, 2, 3, buffer), 1);
  ASSERT_EQ(rx_SurfaceLock(&heap, 0), 1);
  heap.bits[5] = 0x12345678;
  for (rx_Surface *s : {&heap, &dib, &wrapped})  // locked, a bitmap, not its own memory
    EXPECT_TRUE(rx_SurfaceDetachMemory(s) == nullptr && rx_SurfaceIsValid(s) == 1);
  rx_SurfaceUnlock(&heap, 0);
  HGLOBAL block = rx_SurfaceDetachMemory(&heap);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(rx_SurfaceIsValid(&heap), 0);
  EXPECT_EQ(std::pair(static_cast<uint32_t *>(block)[5], GlobalSize(block)), std::pair(0x12345678u, size_t{3 * 2 * 4 + 16}));
  EXPECT_FALSE(os_GlobalShrink(block, 41));  // never larger
  EXPECT_TRUE(os_GlobalShrink(block, 24) && GlobalSize(block) == 24);
  GlobalFree(block);
  EXPECT_FALSE(os_GlobalShrink(block, 0));  // no longer live
  rx_SurfaceFree(&dib), rx_SurfaceFree(&wrapped);
}

TEST_F(LoadTest, MarkupPassesThroughTheHostsMarkupService) {
  Loaded l = load(put("m.tst", tst({layer(1, 1)}, "exif.make = Maker ;\r\nexif.model=M")), withMarkup());
  EXPECT_EQ(l.markup, "exif.make=Maker;\r\nexif.model=M;");
}

TEST_F(LoadTest, RegistryRouteSkipsProbingAndWeakClaimsReplaceNothing) {
  TstFile strong = tst({layer(1, 1)}), weak = tst({layer(1, 1)});
  strong.switches = weak.switches = vgmtest::kTstReportChecks;
  weak.probeFlags = FLT_PROBE_WEAK | FLT_PROBE_WEAKER;  // score 100: not remembered
  auto checks = [&](const std::u16string &path) { return std::stoi(value(load(path, withMarkup()).markup, "tst.checks")); };
  // Fresh module: no probe yet. Later loads use the cached module, whose count goes on.
  std::u16string w = put("a.wk", weak), s = put("b.tst", strong);
  int first = checks(w);
  EXPECT_EQ(checks(w), first + 2);  // probed again: the trap and the real probe
  int probed = checks(s);
  EXPECT_EQ(probed, first + 4);
  EXPECT_EQ(checks(s), probed);     // remembered: no flt_CheckLoad at all

  std::u16string known = u16(plugins_ + "/elsewhere/flt_Missing.dll"), found;
  io_RegistryRemember(kRegistryLoad, u".tsx", known, false);
  weak.strength = 200;  // remembered, but weakly
  for (auto [name, file, kept] : {std::tuple{"c.tsx", weak, known}, {"d.tsx", strong, u16(plugins_ + "/flt_TestGood.dll")}}) {
    EXPECT_EQ(load(put(name, file)).ok, 1);
    EXPECT_TRUE(io_RegistryLookup(kRegistryLoad, u".tsx", &found) && found == kept) << name;
  }
}

TEST_F(LoadTest, ContentFoundOnlyByAZeroScoreWarns) {
  install(VGM_TEST_PLUGIN("TestDep"), "flt_TestDep.dll");
  install(VGM_TEST_DEP_LIBRARY, "Dependencies/" VGM_TEST_DEP_NAME);
  std::vector<std::string> notices;
  auto record = [](const os_Notice *notice, void *context) -> int32_t {
    static_cast<std::vector<std::string> *>(context)->push_back(vgmtest::u8(notice->title) + "|" + vgmtest::u8(notice->text));
    return os_AnswerOk;
  };
  void *previous = nullptr;
  os_NoticeHandler old = os_SetNoticeHandler(record, &notices, &previous);
  CmioRequest window{};
  window.owner_window = reinterpret_cast<HWND>(1);
  for (auto [name, request] : {std::pair{"plain.abc", window}, {"plain", window}, {"quiet.abc", CmioRequest{}}})  // quiet: no notice
    EXPECT_EQ(load(put(name, "no plug-in claims this"), request).ok, 1) << name;
  os_SetNoticeHandler(old, previous, nullptr);
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "Warning: File Extension Mismatch|The file extension does not match the file contents",
                         "Warning: File Extension Missing|The file name not does not include a file extension"}));
}

TEST_F(LoadTest, BadPluginsAreContained) {
  install(VGM_TEST_PLUGIN("TestGreedy"), "flt_TestGreedy.dll");
  int tried = 0;
  CmioRequest counting{};
  counting.progress = [](int32_t, int32_t b, uintptr_t user) { return *reinterpret_cast<int *>(user) += b == 1000, 1; };
  counting.progress_user = reinterpret_cast<uintptr_t>(&tried);
  std::u16string good = put("good.tst", tst({layer(3, 1, 0x00ABCDEF)}));
  EXPECT_TRUE(load(good, counting).ok == 1 && tried == 1);  // the greedy one, blacklisted, waits at the end
  EXPECT_NE(vgmtest::readFile(blacklistFile()).find("flt_TestGreedy.dll"), std::string::npos);

  install(VGM_TEST_PLUGIN("TestCrash"), "flt_TestCrash.dll");
  io_PluginListForget();
  std::u16string other = put("other.tsc", tst({layer(1, 1)}));
  Loaded crashed = load(other);
  ASSERT_EQ(crashed.ok, 0);
  for (const char *part : {"Error: A component required by this plug-in encountered an error",
                           "flt_TestCrash.dll crashed (signal", "in flt_CheckLoad"})
    EXPECT_NE(crashed.error.find(part), std::string::npos) << crashed.error;
  EXPECT_EQ(load(other).ok, 1);  // the process lives on and the next load goes elsewhere
}

TEST_F(LoadTest, CrashInLoadImageIsContained) {
  install(VGM_TEST_PLUGIN("TestCrash"), "flt_QOI.dll");  // the table's plug-in for ".qoi"
  std::u16string qoi = put("x.qoi", tst({layer(1, 1)}));
  Loaded crashed = load(qoi);
  EXPECT_NE(crashed.error.find("flt_QOI.dll crashed in flt_LoadImage (signal"), std::string::npos) << crashed.error;
  EXPECT_EQ(load(qoi).ok, 1);
}

TEST_F(LoadTest, HangingPluginIsCancelledOrTimedOut) {
  install(VGM_TEST_PLUGIN("TestHang"), "flt_QOI.dll");
  std::u16string path = put("hang.qoi", "endless data");
  using Clock = std::chrono::steady_clock;
  struct Cancel { Clock::time_point deadline, refused; } cancel;
  // Milliseconds from the start, and from the caller's refusal, to the return.
  auto run = [&](uint32_t limit, int cancel_ms, LoadSaveOptions *options) {
    Clock::time_point start = Clock::now();
    cancel = {start + std::chrono::milliseconds(cancel_ms), Clock::time_point::max()};
    CmioRequest r{};
    r.time_limit_ms = limit, r.progress_user = reinterpret_cast<uintptr_t>(&cancel);
    r.progress = [](int32_t, int32_t, uintptr_t user) {
      auto *c = reinterpret_cast<Cancel *>(user);
      if (Clock::now() < c->deadline) return 1;
      c->refused = std::min(c->refused, Clock::now());
      return 0;
    };
    frame_LoadOptions(&r, options);
    rx_Surface out{};
    EXPECT_EQ(io_LoadFrontEnd(path.c_str(), &out, options, nullptr), 0);
    auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    return std::pair(ms(Clock::now() - start), ms(Clock::now() - std::min(cancel.refused, Clock::now())));
  };
  LoadSaveOptions options;
  auto starts = [&](const char *text) { return vgmtest::u8(options.message).rfind(text, 0) == 0u; };
  EXPECT_LT(run(0, 100, &options).second, 1000);
  EXPECT_TRUE(starts("Cancelled: The operation was cancelled by the user"));
  EXPECT_GE(run(1500, 60000, &options).first, 1500);
  EXPECT_TRUE(starts("Expired: The operation timed out") && options.warnings[kWarnTimeout]);
  run(5, 300, &options);  // 5 ms is out of range: the default applies, the cancel comes first
  EXPECT_TRUE(starts("Cancelled:") && !options.warnings[kWarnTimeout]);
}

// Readers standing in for the plug-ins, to shape the layer table at will.
namespace {
int gReads = 0;
int32_t brokenReader(rx_LayerEntry *layers, LoadSaveOptions *, const char16_t *) {
  ++gReads;
  rx_SurfaceCreate(&layers[0].surface, 2, 2, 0);
  layers[1].surface.signature = 1;  // a surface record no engine call accepts
  return 2;
}
int32_t twoMarkedLayers(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  io_LoadCall call;
  io_PrepareLoadCall(&call, path, layers, options);
  const char *texts[] = {"exif.make=First;exif.model=One;", "exif.make=Second;exif.artist=Two;"};
  for (const char *text : texts) {
    call.request.width = call.request.height = 1;
    EXPECT_EQ(io_BeginLayer(&call.request, 0), 1);
    EXPECT_EQ(io_SetLayerMetadata(&call.request, FLT_TAG_MARK, text), 1);
  }
  rx_SurfaceUnlock(&layers[1].surface, 0);
  options->handled = 1;
  return 2;
}
}  // namespace

TEST_F(LoadTest, LayerTableLimitsAndKinds) {
  LoadSaveOptions options;
  rx_LayerEntry *table = rx_LayerTableCreate();
  auto drive = [&](const TstFile &file) {
    std::memset(&options, 0, sizeof options);
    return io_LoadDriver(put("layers.tst", file).c_str(), table, &options);
  };
  TstFile many = tst(std::vector<TstLayer>(1025, layer(1, 1)));
  EXPECT_EQ(drive(many), 1024);
  EXPECT_TRUE(options.warnings[kWarnLayersDropped] && options.pluginFlagBit1 == 0);
  many.switches = vgmtest::kTstReportBit;  // the plug-in's flag bit 1 comes back in the options
  EXPECT_TRUE(drive(many) == 1024 && options.pluginFlagBit1 == 1);
  EXPECT_TRUE(drive(tst({layer(0, 5)})) == 0 && vgmtest::u8(options.message).rfind("Error: The requested bitmap size is zero", 0) == 0u);

  TstFile frames = tst({layer(4, 2), layer(2, 6)});
  frames.kind = 7, frames.layers[0].delay = 90, frames.layers[1].delay = 40;
  EXPECT_TRUE(drive(frames) == 2 && options.documentKind == rx_DocFrames);
  EXPECT_EQ(std::pair(options.resultWidth, options.resultHeight), std::pair(4u, 6u));
  TstFile list = tst({layer(2, 3), layer(3, 2), layer(1, 1)});
  list.kind = 1;
  EXPECT_EQ(drive(list), 3);
  EXPECT_EQ(std::pair(options.resultWidth, options.resultHeight), std::pair(3u, 2u));  // equal areas: the later
  EXPECT_EQ(std::pair(options.sourceWidth, options.sourceHeight), std::pair(3u, 3u));
  rx_LayerTableFree(table);

  // A reader whose layers lose their surfaces is tried three times, then the load fails.
  gReads = 0;
  io_SetLoadReadersForTests(nullptr, brokenReader);
  rx_Surface out{};
  std::memset(&options, 0, sizeof options);
  EXPECT_EQ(io_LoadFrontEnd(u16(root_.file("data/layers.tst")).c_str(), &out, &options, nullptr), 0);
  EXPECT_EQ(std::to_string(gReads) + " " + vgmtest::u8(options.message), "3 An unknown error occurred during load");

  // Markup of all layers merged, the first layer's values kept.
  io_SetLoadReadersForTests(nullptr, twoMarkedLayers);
  HGLOBAL markup = nullptr;
  std::memset(&options, 0, sizeof options);
  EXPECT_EQ(io_LoadFrontEnd(u16(root_.file("data/layers.tst")).c_str(), &out, &options, &markup), 2);
  io_SetLoadReadersForTests(nullptr, nullptr);
  ASSERT_NE(markup, nullptr);
  std::string text = static_cast<const char *>(markup);
  EXPECT_EQ(value(text, "exif.make") + value(text, "exif.model") + value(text, "exif.artist"), "FirstOneTwo");
  GlobalFree(markup);
  rx_SurfaceFree(&out);
}

TEST_F(LoadTest, BeginLayerRefusesABombBeforeAllocating) {
  rx_LayerEntry *table = rx_LayerTableCreate();
  LoadSaveOptions options{};
  io_LoadCall call;
  io_PrepareLoadCall(&call, u"x", table, &options);
  static int64_t allocated = 0;
  os_SetAllocationHook([](int64_t bytes) { allocated += bytes > 0 ? bytes : 0; });
  call.request.width = call.request.height = 70000;
  EXPECT_EQ(io_BeginLayer(&call.request, 0), 0);
  os_SetAllocationHook(nullptr);
  EXPECT_TRUE(call.request.status == FLT_ERR_BITMAP_TOO_BIG && call.request.layers_begun == 0 && allocated < (1 << 20));
  EXPECT_EQ(vgmtest::u8(call.message), "A layer of 70000 x 70000 pixels would take the image past 268435456 pixels");
  rx_LayerTableFree(table);
}

TEST_F(LoadTest, TimeLimitRestartsOnlyForAWindow) {
  rx_LayerEntry *table = rx_LayerTableCreate();
  int window = 0;
  for (bool owned : {false, true}) {
    for (bool restart : {false, true}) {
      SCOPED_TRACE(std::to_string(owned) + std::to_string(restart));
      LoadSaveOptions options{};
      options.timeLimitMs = 1000;
      options.ownerWindow = owned ? reinterpret_cast<HWND>(&window) : nullptr;
      io_LoadCall call;
      io_PrepareLoadCall(&call, u"x", table, &options);
      call.request.start_time -= 2 * call.counterHz;  // two seconds spent already
      if (restart) call.request.flags |= FLT_FLAG_RESTART_TIME_LIMIT;
      call.request.width = call.request.height = 1;
      int32_t begun = io_BeginLayer(&call.request, 0);
      EXPECT_EQ(begun, owned && restart ? 1 : 0);
      EXPECT_EQ(call.request.flags & FLT_FLAG_RESTART_TIME_LIMIT, 0);  // used once
      if (begun == 1) {
        rx_SurfaceUnlock(&table[0].surface, 0);
      } else {
        EXPECT_TRUE(call.request.status == FLT_ERR_TIMEOUT && (call.request.warnings & FLT_WARN_TIMEOUT));
      }
    }
  }
  rx_LayerTableFree(table);
}

TEST_F(LoadTest, OptionQueryAndTextCallback) {
  char16_t value[FLT_OPTION_VALUE_CAPACITY];
  const char16_t *text = u"tst.alpha=1\rTST.Beta \t= two words\rtst.betamax=9\r\ntst.gamma:3\ntst.beta=late";
  EXPECT_EQ(io_FindOption(text, u"tst.beta", value, std::size(value)), 10);
  EXPECT_EQ(std::u16string(value), u" two words");  // first match; the longer key and later lines lose
  EXPECT_EQ(io_FindOption(text, u"Tst.Alpha", value, std::size(value)), 1);
  for (const char16_t *absent : {u"tst.gamma", u"tst.bet"}) EXPECT_EQ(io_FindOption(text, absent, value, 99), 0);

  LoadSaveOptions options{};
  io_LoadCall call;
  io_PrepareLoadCall(&call, u"x", nullptr, &options);
  FltLoadRequest *r = &call.request;
  // Lengths with the terminator; a message already there is not added again.
  EXPECT_EQ((std::vector<int32_t>{io_SetLoadText(r, FLT_TEXT_MESSAGE, u"first"), io_SetLoadText(r, FLT_TEXT_MESSAGE, u"second"),
                                  io_SetLoadText(r, FLT_TEXT_MESSAGE, u"first")}), (std::vector<int32_t>{6, 13, 13}));
  EXPECT_EQ(std::u16string(call.message), u"first\nsecond");
  EXPECT_EQ(io_SetLoadText(r, FLT_TEXT_SHORT, u"ABCDEFGHIJ"), 8);
  EXPECT_EQ(std::u16string(options.shortText), u"ABCDEFG");
  EXPECT_EQ(std::pair(io_SetLoadText(r, FLT_TEXT_MODULE, u"flt_X.dll"), io_SetLoadText(r, 7, u"nothing")), std::pair(10, 0));
}

TEST_F(LoadTest, ResolutionRecordFollowsTheMarkup) {
  auto phys = [](const char *markup) {
    rx_LayerEntry entry{};
    prop_SetMarkup(&entry.properties, &entry.propertiesLength, markup);
    prop_Phys p{-1, -1, 9};
    prop_Record record{};
    if (io_ResolutionFromMarkup(&entry) == 1 && rx_LayerFindRecord(&entry, prop_TagPhys, &record) == 1)
      prop_ReadPhys(&record, &p);
    rx_LayerEntryRelease(&entry);
    return std::tuple(p.x, p.y, p.unit);
  };
  EXPECT_EQ(phys("exif.resolution.x=300;"), std::tuple(300.0, 300.0, 0));
  EXPECT_EQ(phys("exif.resolution.x=abc;exif.resolution.y=72.5;"), std::tuple(72.5, 72.5, 0));
  EXPECT_EQ(phys("exif.resolution.x=0;exif.resolution.y=96;"), std::tuple(96.0, 96.0, 0));
  EXPECT_EQ(phys("exif.resolution.x=0;exif.resolution.y=abc;"), std::tuple(-1.0, -1.0, 9));
  EXPECT_EQ(phys("exif.make=Nobody;"), std::tuple(-1.0, -1.0, 9));
}

TEST_F(LoadTest, ImageExportsScaleAndHandOverBitmaps) {
  std::u16string path = put("big.tst", tst({layer(101, 51, 0x00405060)}));
  CmioRequest scaled{};
  scaled.scale = 0.5;
  Loaded full = load(path, scaled);
  EXPECT_EQ(std::pair(full.width, full.height), std::pair(101u, 51u));  // byte 0x20 clear: no scaling
  scaled.apply_scale = 1;
  Loaded half = load(path, scaled);
  EXPECT_EQ(std::tuple(half.width, half.height, half.pixels.at(0)), std::tuple(51u, 26u, 0x00405060u));

  TstLayer art = layer(3, 2);
  art.pixels = {0x00000001, 0x80000002, 0x00000003, 0x00000004, 0x00000005, 0xFF000006};
  path = put("art.tst", tst({art}));
  Loaded plain = load(path);
  EXPECT_EQ(plain.pixels, art.pixels);
  CmioRequest request{};
  HBITMAP bitmap = cmio_LoadImageGDI(path.c_str(), &request);
  ASSERT_NE(bitmap, nullptr);
  BITMAP info{};
  ASSERT_EQ(GetObjectW(bitmap, sizeof info, &info), static_cast<int>(sizeof info));
  ASSERT_EQ(std::tuple(info.bmWidth, info.bmHeight, info.bmBitsPixel), std::tuple(3, 2, 32));
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x)
      EXPECT_EQ(static_cast<uint32_t *>(info.bmBits)[y * info.bmWidthBytes / 4 + x], art.pixels[y * 3 + x]) << x << "," << y;
  EXPECT_TRUE(DeleteObject(bitmap));

  // Without a request: refused, the image left as it was.
  CmioImage untouched{7, 7, 7, nullptr};
  EXPECT_EQ(std::tuple(cmio_LoadImage(&untouched, path.c_str(), nullptr), cmio_LoadThumb(&untouched, path.c_str(), nullptr),
                       untouched.width), std::tuple(0, 0, 7u));
  EXPECT_TRUE(cmio_LoadImageGDI(path.c_str(), nullptr) == nullptr && cmio_LoadThumbGDI(path.c_str(), nullptr) == nullptr);
}

TEST_F(LoadTest, ThumbnailsFitOrientAndCompose) {
  // Never enlarged; below 16 no fitting.
  for (auto [w, h, box, fw, fh] : {std::tuple{20, 10, 64, 20u, 10u}, {100, 50, 7, 100u, 50u}, {400, 100, 64, 64u, 16u}}) {
    Loaded t = thumb(put("f.tst", tst({layer(uint16_t(w), uint16_t(h))})), box, box);
    EXPECT_EQ(std::pair(t.width, t.height), std::pair(fw, fh)) << w << "x" << h << " in " << box;
  }

  // 1 2 3 / 4 5 6 stored; upright for orientations 1 to 8 (5 to 8 two wide, three high).
  const std::vector<uint32_t> upright[8] = {{1, 2, 3, 4, 5, 6}, {3, 2, 1, 6, 5, 4}, {6, 5, 4, 3, 2, 1}, {4, 5, 6, 1, 2, 3},
                                            {1, 4, 2, 5, 3, 6}, {4, 1, 5, 2, 6, 3}, {6, 3, 5, 2, 4, 1}, {3, 6, 2, 5, 1, 4}};
  TstLayer art = layer(3, 2);
  art.pixels = {1, 2, 3, 4, 5, 6};
  for (int o = 1; o <= 8; ++o) {
    Loaded t = thumb(put("o.tst", tst({art}, "exif.orientation= " + std::to_string(o) + " ;")), 0, 0);
    EXPECT_EQ(std::pair(t.width, t.height), std::pair(o >= 5 ? 2u : 3u, o >= 5 ? 3u : 2u)) << o;
    for (uint32_t &p : t.pixels) p ^= 0xFF000000u;  // T inverted
    EXPECT_EQ(t.pixels, upright[o - 1]) << o;
  }

  TstLayer clear = layer(8, 8, 0xFF000000);  // fully transparent: only the board shows
  clear.pixels.assign(64, 0xFF000000);
  clear.pixels[0] = 0x00123456;
  Loaded board = thumb(put("c.tst", tst({clear})), 0, 0, true);
  ASSERT_EQ(board.pixels.size(), 64u);
  EXPECT_EQ(board.pixels[0], 0x00123456u);
  uint32_t a = board.pixels[1], b = board.pixels[4];  // 4 x 4 squares of the two colours
  EXPECT_TRUE(a != b && (a == 0xFFFFFFu || a == 0xF0F0FFu) && (b == 0xFFFFFFu || b == 0xF0F0FFu)) << std::hex << a << " " << b;
  EXPECT_TRUE(board.pixels[4 * 8 + 4] == a && board.pixels[4 * 8 + 1] == b);
}

TEST_F(LoadTest, ParallelLoadsAndNoLeaks) {
  std::u16string path = put("p.tst", tst({layer(16, 16, 0x00010203)}, "exif.make=Par;"));
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        Loaded l = i % 2 ? thumb(path, 8, 8) : load(path);
        good += l.ok && l.pixels.size() == 256 && (l.pixels[0] & 0xFFFFFF) == 0x010203;
      }
    });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(good.load(), 80);

  static int64_t net = 0;
  for (int i = 0; i < 6; ++i) load(path), thumb(path, i % 2 ? 8 : 64, 64, i % 3 == 0);  // per-thread state set up
  os_SetAllocationHook([](int64_t bytes) { net += bytes; });
  for (int i = 0; i < 1000; ++i) {
    load(path, withMarkup());
    thumb(path, i % 2 ? 8 : 64, 64, i % 3 == 0);
  }
  os_SetAllocationHook(nullptr);
  EXPECT_EQ(net, 0);
}
