// What the EXIF reader and writer tests share: the camera files, a run
// against its own settings file, and the conversions with their checks.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "markup/exif_to_markup.h"
#include "markup/markup_text.h"
#include "support/jpeg_app1.h"
#include "support/test_support.h"

// Together they hold GPS positions, big-endian blocks, maker notes,
// orientations 5, 6 and 8, a lens specification, a subject area and a
// three-byte components configuration.
inline const char *const kCameras[] = {
    "Canon_40D.jpg", "Canon_DIGITAL_IXUS_400.jpg", "Fujifilm_FinePix6900ZOOM.jpg", "Kodak_CX7530.jpg",
    "Nikon_D70.jpg", "Olympus_C8080WZ.jpg", "Panasonic_DMC-FZ30.jpg", "Ricoh_Caplio_RR330.jpg", "Sony_HDR-HC3.jpg",
    "exiftool-Apple.jpg", "exiftool-GPS.jpg", "exiftool-NikonD2Hs.jpg", "exiftool-OlympusE1.jpg",
    "exiftool-Pentax.jpg", "exiftool-Sony.jpg", "orientation-Landscape_6.jpg", "paris_exif_orientation_5.jpg",
};

inline std::string value(const std::string &text, const char *key) {
  char out[8192];
  return markup_Get(text.c_str(), key, out, sizeof out, nullptr, nullptr) ? out : "<none>";
}

class ExifFixture : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  vgmtest::ScopedEnv appData_{"VGM_APPDATA_DIR", root_.path()};
  void SetUp() override { TearDown(); }
  void TearDown() override { env_ResetForTests(nullptr), cfg_ResetForTests(); }
  static void settings(bool structure, bool unlisted) {
    cfg_Load(1);
    cfg_Live()->exif_add_structure = structure;
    cfg_Live()->exif_add_unlisted = unlisted;
    ASSERT_EQ(cfg_Save(), 1);
  }
  static std::string fromExif(const std::string &block) {
    std::vector<char> out(65536, 'x');
    EXPECT_EQ(markup_FromEXIF(out.data(), 65536, block.data(), static_cast<int32_t>(block.size())), 1);
    return out.data();
  }
  static std::string payload(const std::string &file) {
    return vgmtest::jpegExifPayload(vgmtest::readFile(vgmtest::dataFile("exif/" + file)));
  }
};
