// Where the build put the test plug-ins, and a writer for flt_TestGood's
// ".tst" files. Link vgm_test_plugins to get the paths (and the plug-ins
// built first); include as "plugins/test_plugins.h".
//
//   flt_TestGood    reads and writes ".tst" (magic "VGMTEST1"), below; with
//                   "no markup" it still gives "exif.orientation"
//   flt_TestGreedy  accepts every probe; its loads and saves fail with -1
//   flt_TestCrash   writes through null in flt_CheckLoad and flt_LoadImage
//   flt_TestHang    sleeps for ever in flt_CheckLoad on a header starting
//                   with "HANG"; flt_LoadImage calls the progress callback
//                   until it refuses, then returns -99
//   flt_TestDep     needs VGM_TEST_DEP_NAME (found only in "Dependencies");
//                   accepts headers starting with "VGMTDEP1" with strength
//                   77 and loads one 1x1 layer of pixel 0x00336699
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if !defined(VGM_TEST_PLUGIN_DIR) || !defined(VGM_TEST_DEP_LIBRARY) || !defined(VGM_TEST_DEP_NAME)
#  error "link the test with vgm_test_plugins"
#endif

// VGM_TEST_PLUGIN_DIR holds the plug-ins, VGM_TEST_DEP_LIBRARY is its
// Dependencies/VGM_TEST_DEP_NAME (libvgmtestdep.so or libvgmtestdep.dll).
// VGM_TEST_PLUGIN("TestGood") -> the full path of flt_TestGood.dll
#define VGM_TEST_PLUGIN(name) VGM_TEST_PLUGIN_DIR "/flt_" name ".dll"

namespace vgmtest {

// Switches of a ".tst" header.
enum : uint16_t {
  kTstFailBefore = 0x01,    // return `code` before any layer (message "TestGood: failure requested")
  kTstFailAfter = 0x02,     // deliver the layers, then return `code`
  kTstNoLayers = 0x04,      // return success without a layer
  kTstRestartClock = 0x08,  // set request flag bit 0 before each layer
  kTstReportBit = 0x10,     // set request flag bit 1
  kTstReportChecks = 0x20,  // add "tst.checks=N;" (flt_CheckLoad calls while loaded) to the markup
};

struct TstLayer {
  uint16_t width = 1, height = 1;
  int16_t x = 0, y = 0;
  uint16_t flags = 0, delay = 0;       // layer values 1 and 2
  uint8_t attribute = 0, transparency = 0;  // values 3 and 4
  std::u16string name;                 // at most 31 units
  uint32_t color = 0;                  // every pixel, unless `pixels` is given
  std::vector<uint32_t> pixels;        // width * height, row by row
};

// A ".tst" file: a 32-byte header, the layer records, the markup text (given
// to the first layer).
struct TstFile {
  uint8_t kind = 0, subKind = 0;
  uint16_t warnings = 0;    // handed back as the warning mask
  uint16_t switches = 0;
  int32_t code = 0;         // result for kTstFailBefore / kTstFailAfter
  uint8_t strength = 0;     // probe strength a, 0 = 100
  uint8_t probeFlags = 0;   // probe reply flags
  std::string markup;
  std::vector<TstLayer> layers;

  std::string bytes() const {
    std::string out("VGMTEST1", 8);
    auto put = [&out](uint64_t value, int size) {
      for (int i = 0; i < size; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    };
    put(kind, 1), put(subKind, 1), put(layers.size(), 2), put(warnings, 2), put(switches, 2);
    put(static_cast<uint32_t>(code), 4), put(0, 2), put(strength, 1), put(probeFlags, 1);
    put(markup.size(), 4), put(0, 4);
    for (const TstLayer &l : layers) {
      put(l.width, 2), put(l.height, 2), put(static_cast<uint16_t>(l.x), 2), put(static_cast<uint16_t>(l.y), 2);
      put(l.flags, 2), put(l.delay, 2), put(l.attribute, 1), put(l.transparency, 1);
      put(l.name.size(), 1), put(l.pixels.empty() ? 0 : 1, 1), put(l.color, 4);
      for (char16_t c : l.name) put(c, 2);
      for (uint32_t p : l.pixels) put(p, 4);
    }
    return out + markup;
  }
};

}  // namespace vgmtest
