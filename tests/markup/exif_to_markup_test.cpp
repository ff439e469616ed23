// EXIF to markup: camera files against the outputs of two independent tools
// (libexif's own command-line program and ExifTool), blocks built with
// libexif for the worked cases, and broken blocks under the sanitizers.
#include <gtest/gtest.h>
#include <libexif/exif-data.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "markup/markup_text.h"
#include "markup/exif_to_markup.h"
#include "support/jpeg_app1.h"
#include "support/test_support.h"

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;  // key without "exif.", value

// Tag -> key without "exif." and what the value holds: T text, D "(library
// description)", N other, - no line, S structure, U maker note. GPS tags are
// offset by 0x10000.
struct Known { unsigned tag; const char *key; char kind; };
constexpr Known kKnown[] = {
    {0x0001, "", '-'}, {0x0002, "", '-'}, {0x0100, "image_width", 'S'}, {0x0101, "image_height", 'S'},
    {0x0102, "bits_per_sample", 'N'}, {0x0103, "compression", 'S'}, {0x0106, "photometric_interpretation", 'D'},
    {0x010d, "document_name", 'T'}, {0x010e, "image_description", 'T'}, {0x010f, "make", 'T'},
    {0x0110, "model", 'T'}, {0x0112, "orientation", 'D'}, {0x0115, "samples_per_pixel", 'N'},
    {0x011a, "resolution.x", 'N'}, {0x011b, "resolution.y", 'N'}, {0x0128, "resolution.unit", 'D'},
    {0x0131, "software", 'T'}, {0x0132, "date_time", 'T'}, {0x013b, "artist", 'T'}, {0x014a, "", '-'},
    {0x0212, "YCbCr_subsampling", 'D'}, {0x0213, "YCbCr_positioning", 'D'}, {0x828f, "", '-'},
    {0x8298, "copyright", 'N'}, {0x829a, "exposure_time", 'N'}, {0x829d, "aperture", 'N'}, {0x8769, "", '-'},
    {0x8822, "exposure_program", 'D'}, {0x8825, "", '-'}, {0x8827, "ISO_speed", 'N'}, {0x882a, "", '-'},
    {0x8830, "sensitivity_type", 'D'}, {0x9000, "", '-'}, {0x9003, "date_time_original", 'T'},
    {0x9004, "date_time_digitized", 'T'}, {0x9010, "offset_time", 'T'}, {0x9011, "offset_time_original", 'T'},
    {0x9012, "offset_time_digitized", 'T'}, {0x9101, "components_configuration", 'D'},
    {0x9102, "compressed_bits_per_sample", 'N'}, {0x9201, "shutter_speed_value", 'N'},
    {0x9202, "aperture_value", 'N'}, {0x9203, "brightness_value", 'N'}, {0x9204, "exposure_bias_value", 'N'},
    {0x9205, "max_aperture_value", 'N'}, {0x9206, "subject_distance", 'N'}, {0x9207, "metering_mode", 'D'},
    {0x9208, "light_source", 'D'}, {0x9209, "flash", 'D'}, {0x920a, "focal_length", 'N'},
    {0x9214, "subject_area", 'D'}, {0x927c, "maker_note", 'U'}, {0x9286, "user_comment", 'N'},
    {0x9290, "subsec_time", 'T'}, {0x9291, "subsec_time_original", 'T'}, {0x9292, "subsec_time_digitized", 'T'},
    {0x9c9b, "title", 'T'}, {0xa000, "", '-'}, {0xa001, "color_space", 'D'}, {0xa002, "pixel_dimension.x", 'S'},
    {0xa003, "pixel_dimension.y", 'S'}, {0xa005, "", '-'}, {0xa214, "", '-'}, {0xa215, "exposure_index", 'N'},
    {0xa217, "sensing_method", 'D'}, {0xa300, "file_source", 'N'}, {0xa301, "scene_type", 'D'}, {0xa302, "", '-'},
    {0xa401, "custom_rendered", 'D'}, {0xa402, "exposure_mode", 'D'}, {0xa403, "white_balance", 'D'},
    {0xa404, "digital_zoom_ratio", 'N'}, {0xa405, "focal_length_35mm", 'N'}, {0xa406, "scene_capture_type", 'D'},
    {0xa407, "gain_control", 'D'}, {0xa408, "contrast", 'D'}, {0xa409, "saturation", 'D'},
    {0xa40a, "sharpness", 'D'}, {0xa40c, "subject_distance_range", 'D'}, {0xa420, "image_unique_id", 'T'},
    {0xa430, "camera_owner_name", 'T'}, {0xa431, "body_serial_number", 'T'}, {0xa432, "lens_specification", 'N'},
    {0xa433, "lens_make", 'T'}, {0xa434, "lens_model", 'T'}, {0xa435, "lens_serial_number", 'T'},
    {0xa436, "title", 'T'}, {0xa460, "composite_image.type", 'D'}, {0xa461, "composite_image.count", 'N'},
    {0xa462, "", '-'}, {0xea1c, "", '-'}, {0x10000, "GPS.version", 'N'}, {0x10001, "GPS.latitude.ref", 'N'},
    {0x10002, "GPS.latitude.pos", 'N'}, {0x10003, "GPS.longitude.ref", 'N'}, {0x10004, "GPS.longitude.pos", 'N'},
    {0x10005, "GPS.altitude.ref", 'N'}, {0x10006, "GPS.altitude.pos", 'N'}, {0x10007, "GPS.timestamp", 'N'},
    {0x10008, "GPS.satellites", 'T'}, {0x10009, "GPS.status", 'N'}, {0x1000a, "GPS.measure_mode", 'N'},
    {0x1000b, "GPS.DOP", 'N'}, {0x1000c, "GPS.speed.ref", 'N'}, {0x1000d, "GPS.speed.val", 'N'},
    {0x1001d, "GPS.datestamp", 'T'},
};
const Known *known(unsigned tag) {
  for (const Known &k : kKnown)
    if (k.tag == tag) return &k;
  return nullptr;
}
const Known *byKey(const std::string &key) {
  for (const Known &k : kKnown)
    if (key == k.key) return &k;
  return nullptr;
}

// ExifTool's name for keys whose numbers and dates are checked against it.
// digits: significant digits printed (half a unit of the last one allowed);
// 0: absolute tolerance below; -1: same text.
struct Numeric { const char *key; const char *name; int digits; };
constexpr Numeric kNumeric[] = {
    {"exposure_time", "ExifIFD:ExposureTime", 4}, {"aperture", "ExifIFD:FNumber", 3},
    {"focal_length", "ExifIFD:FocalLength", 3}, {"ISO_speed", "ExifIFD:ISO", 0},
    {"exposure_bias_value", "ExifIFD:ExposureCompensation", 4}, {"resolution.x", "IFD0:XResolution", 3},
    {"resolution.y", "IFD0:YResolution", 3}, {"pixel_dimension.x", "ExifIFD:ExifImageWidth", 0},
    {"pixel_dimension.y", "ExifIFD:ExifImageHeight", 0}, {"image_width", "IFD0:ImageWidth", 0},
    {"image_height", "IFD0:ImageHeight", 0}, {"date_time", "IFD0:ModifyDate", -1},
    {"date_time_original", "ExifIFD:DateTimeOriginal", -1}, {"date_time_digitized", "ExifIFD:CreateDate", -1},
    {"GPS.latitude.pos", "GPS:GPSLatitude", 0}, {"GPS.longitude.pos", "GPS:GPSLongitude", 0},
    {"GPS.altitude.pos", "GPS:GPSAltitude", 5}, {"GPS.timestamp", "GPS:GPSTimeStamp", 0},
};
// Of those, the entries libexif adds to a block that lacks them.
const std::set<std::string> kAddedByLibexif = {"resolution.x", "resolution.y", "pixel_dimension.x",
                                               "pixel_dimension.y"};

std::string sanitised(std::string text) {
  for (char &c : text) c = (c == '\r' || c == '\n') ? ' ' : c == ';' ? ',' : c;
  text.erase(std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }), text.end());
  return text;
}
double number(const std::string &text) {
  const size_t at = text.find_first_of("-.0123456789");
  return at == std::string::npos ? NAN : std::strtod(text.c_str() + at, nullptr);
}
double seconds(const std::string &time) {  // "hh:mm:ss.fff"
  return number(time) * 3600 + number(time.substr(3)) * 60 + number(time.substr(6));
}

class ExifToMarkup : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  vgmtest::ScopedEnv appData_{"VGM_APPDATA_DIR", root_.path()};
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    env_ResetForTests(nullptr);
    cfg_ResetForTests();
  }
  static void settings(bool structure, bool unlisted) {
    cfg_Load(1);
    cfg_Live()->exif_add_structure = structure;
    cfg_Live()->exif_add_unlisted = unlisted;
    ASSERT_EQ(cfg_Save(), 1);
  }
  static std::string convert(const std::string &block) {
    std::vector<char> out(65536, 'x');
    EXPECT_EQ(markup_FromEXIF(out.data(), 65536, block.data(), static_cast<int32_t>(block.size())), 1);
    return out.data();
  }
  static Lines lines(const std::string &text) {
    Lines result;
    for (size_t at = 0, end; (end = text.find(";\r\n", at)) != std::string::npos; at = end + 3) {
      const std::string line = text.substr(at, end - at);
      const size_t equals = line.find('=');
      EXPECT_EQ(line.rfind("exif.", 0), 0u) << line;
      result.emplace_back(line.substr(5, equals - 5), line.substr(equals + 1));
    }
    return result;
  }
  static std::string payload(const std::string &file) {
    return vgmtest::jpegExifPayload(vgmtest::readFile(vgmtest::dataFile("exif/" + file)));
  }
};

// Files with both references; together they hold GPS positions, big-endian
// blocks, maker notes, orientations 5, 6 and 8, a lens specification, a
// subject area and a three-byte components configuration.
const char *const kCameras[] = {
    "Canon_40D.jpg", "Canon_DIGITAL_IXUS_400.jpg", "Fujifilm_FinePix6900ZOOM.jpg", "Kodak_CX7530.jpg",
    "Nikon_D70.jpg", "Olympus_C8080WZ.jpg", "Panasonic_DMC-FZ30.jpg", "Ricoh_Caplio_RR330.jpg", "Sony_HDR-HC3.jpg",
    "exiftool-Apple.jpg", "exiftool-GPS.jpg", "exiftool-NikonD2Hs.jpg", "exiftool-OlympusE1.jpg",
    "exiftool-Pentax.jpg", "exiftool-Sony.jpg", "orientation-Landscape_6.jpg", "paris_exif_orientation_5.jpg",
};

TEST_F(ExifToMarkup, CamerasAgreeWithIndependentReferences) {
  for (const char *camera : kCameras) {
    SCOPED_TRACE(camera);
    const std::string block = payload(camera);
    ASSERT_GT(block.size(), 8u);
    settings(true, true);
    const Lines on = lines(convert(block));

    // libexif's own tool: tag -> values, one line per entry (a value with a
    // line break goes on over several lines).
    std::map<unsigned, std::multiset<std::string>> tool;
    std::ifstream listing(vgmtest::dataFile(std::string("exif/") + camera + ".exif.txt"));
    unsigned last = 0;
    std::string value;
    bool complete = false;  // the tool stops listing at an entry it finds corrupt
    for (std::string row; std::getline(listing, row);) {
      complete = complete || row.rfind("ThumbnailSize\t", 0) == 0;
      if (row.size() >= 7 && row.compare(0, 2, "0x") == 0 && row[6] == '\t') {
        last = static_cast<unsigned>(std::stoul(row.substr(2, 4), nullptr, 16));
        value = row.substr(7);
        // GPS tags share numbers with the interoperability ones: tell them by value.
        if ((last == 1 && (value == "N" || value == "S")) || (last == 2 && value.find(',') != std::string::npos) ||
            last == 0 || (last > 2 && last < 0x20))
          last |= 0x10000;
        tool[last].insert(sanitised(value));
      } else if (last != 0 && row.find('\t') == std::string::npos) {
        auto &values = tool[last];
        std::string joined = *values.rbegin() + " " + row;
        values.erase(std::prev(values.end()));
        values.insert(sanitised(joined));
      }
    }
    // ExifTool: "Group:Name": value.
    std::map<std::string, std::string> exiftool;
    std::ifstream json(vgmtest::dataFile(std::string("exif/") + camera + ".exiftool.json"));
    for (std::string row; std::getline(json, row);) {
      const size_t open = row.find('"'), colon = row.find("\": ");
      if (open == std::string::npos || colon == std::string::npos) continue;
      std::string v = row.substr(colon + 3);
      if (!v.empty() && v.back() == ',') v.pop_back();
      if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
      exiftool[row.substr(open + 1, colon - open - 1)] = v;
    }

    std::map<unsigned, std::multiset<std::string>> descriptions, texts;
    std::map<std::string, int> count;
    for (const auto &[key, value] : on) {
      ++count[key];
      if (key.rfind("unknown.IFD", 0) == 0) {
        EXPECT_TRUE(!complete || tool.count(std::stoul(key.substr(key.find(".0x") + 3), nullptr, 16))) << key;
        continue;
      }
      const Known *k = byKey(key);
      ASSERT_NE(k, nullptr) << key;
      // (d) every line stands for an entry libexif's tool saw.
      EXPECT_TRUE(!complete || tool.count(k->tag) || (k->tag == 0x9c9b && tool.count(0xa436))) << key;
      if (k->kind == 'D') {
        ASSERT_EQ(value.back(), ')') << key;
        const size_t open = value.find(" (");
        descriptions[k->tag].insert(value.substr(open + 2, value.size() - open - 3));
      }
      if (k->kind == 'T') texts[k->tag].insert(value);
      if (k->kind == 'U') {
        EXPECT_EQ(number(value), number(*tool[k->tag].begin())) << "maker note byte count";
      }
    }
    for (const auto &[tag, values] : tool) {
      const Known *k = known(tag);
      std::multiset<std::string> present;
      for (const std::string &v : values)
        if (!v.empty() && (tag != 0x9286 || v.find_first_not_of(' ') != std::string::npos)) present.insert(v);
      const int lines_for_tag = k == nullptr ? 0 : count[k->key];
      // (a) descriptions as libexif's tool printed them; only the first Orientation.
      if (k != nullptr && k->kind == 'D') {
        if (tag == 0x0112) {
          EXPECT_TRUE(present.count(*descriptions[tag].begin())) << k->key;
        } else {
          EXPECT_EQ(descriptions[tag], values) << k->key;
        }
      }
      // (b) text as printed, after the line writer's sanitising.
      if (k != nullptr && k->kind == 'T') {
        EXPECT_EQ(texts[tag], values) << k->key;
      }
      // (d) coverage: each entry has its line, a deliberate no-line, or an unknown-entry line.
      if (k == nullptr && tag < 0x10000) {
        int unknown = 0;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".0x%04x", tag);
        for (const auto &[key, n] : count)
          if (key.rfind("unknown.IFD", 0) == 0 && key.find(suffix) != std::string::npos) unknown += n;
        EXPECT_EQ(unknown, static_cast<int>(values.size())) << std::hex << tag;
      } else if (k != nullptr && k->kind != '-' && tag != 0x0112 && tag != 0x927c) {
        // An empty value may go either way.
        EXPECT_GE(lines_for_tag, static_cast<int>(present.size())) << k->key;
        EXPECT_LE(lines_for_tag, static_cast<int>(values.size())) << k->key;
      }
    }
    EXPECT_EQ(count["orientation"], tool.count(0x0112) ? 1 : 0);
    if (tool.count(0x927c)) {
      EXPECT_EQ(count["maker_note"], number(*tool[0x927c].begin()) <= 3070 ? 1 : 0);
    }

    // (c) numbers and dates against ExifTool; a line ExifTool cannot back
    // must be an entry libexif added.
    for (const Numeric &n : kNumeric) {
      const std::string key = n.key;
      auto line = std::find_if(on.begin(), on.end(), [&](const auto &l) { return l.first == key; });
      const auto reference = exiftool.find(n.name);
      if (reference == exiftool.end()) {
        EXPECT_TRUE(line == on.end() || kAddedByLibexif.count(n.key)) << n.key;
        continue;
      }
      ASSERT_NE(line, on.end()) << n.key;
      const std::string &ours = line->second, &theirs = reference->second;
      double want = number(theirs), got = number(ours);
      if (n.digits < 0) {
        EXPECT_EQ(ours, theirs);
        continue;
      }
      if (key == "ISO_speed") got = number(ours.substr(4));
      if (key == "exposure_time") got /= number(ours.substr(ours.find('/') + 1));
      if (key == "aperture" && want < 0.7) want = 1 / want;  // stored upside down
      if (key == "GPS.timestamp") want = seconds(theirs), got = seconds(ours);
      const double allowed = n.digits > 0 && want != 0
                                 ? 0.50001 * std::pow(10.0, std::floor(std::log10(std::fabs(want))) - n.digits + 1)
                                 : key == "GPS.timestamp" ? 1e-3 : 1e-9;
      EXPECT_NEAR(got, want, allowed) << n.key << ": " << ours << " vs " << theirs;
    }

    // Settings off: the same lines less the structure, maker-note and unknown ones.
    settings(false, false);
    Lines expected;
    for (const auto &line : on) {
      const Known *k = byKey(line.first);
      if (k != nullptr && k->kind != 'S' && k->kind != 'U') expected.push_back(line);
    }
    EXPECT_EQ(lines(convert(block)), expected);
  }
}

// A block built with libexif: entries of raw values, saved as an APP1 body.
class Block {
 public:
  explicit Block(ExifByteOrder order = EXIF_BYTE_ORDER_INTEL) : data_(exif_data_new()), order_(order) {
    exif_data_set_byte_order(data_, order);
  }
  ~Block() { exif_data_unref(data_); }
  Block &raw(ExifIfd ifd, unsigned tag, ExifFormat format, const std::string &bytes) {
    ExifEntry *entry = exif_entry_new();
    entry->tag = static_cast<ExifTag>(tag);
    entry->format = format;
    entry->components = bytes.size() / exif_format_get_size(format);
    entry->size = static_cast<unsigned>(bytes.size());
    entry->data = static_cast<unsigned char *>(malloc(bytes.size()));
    memcpy(entry->data, bytes.data(), bytes.size());
    exif_content_add_entry(data_->ifd[ifd], entry);
    exif_entry_unref(entry);
    return *this;
  }
  Block &shorts(ExifIfd ifd, unsigned tag, std::initializer_list<unsigned> values) {
    std::string bytes(values.size() * 2, '\0');
    size_t at = 0;
    for (unsigned v : values) exif_set_short(reinterpret_cast<unsigned char *>(&bytes[at]), order_, v), at += 2;
    return raw(ifd, tag, EXIF_FORMAT_SHORT, bytes);
  }
  Block &rationals(ExifIfd ifd, unsigned tag, std::initializer_list<std::pair<unsigned, unsigned>> values) {
    std::string bytes(values.size() * 8, '\0');
    size_t at = 0;
    for (auto [n, d] : values)
      exif_set_rational(reinterpret_cast<unsigned char *>(&bytes[at]), order_, {n, d}), at += 8;
    return raw(ifd, tag, EXIF_FORMAT_RATIONAL, bytes);
  }
  ExifData *data() { return data_; }
  // libexif keeps the thumbnail directory only when a thumbnail goes with it.
  Block &thumbnail() {
    data_->data = static_cast<unsigned char *>(malloc(4));
    memcpy(data_->data, "\xFF\xD8\xFF\xD9", 4);
    data_->size = 4;
    return *this;
  }
  std::string save() const {
    unsigned char *bytes = nullptr;
    unsigned size = 0;
    exif_data_save_data(data_, &bytes, &size);
    std::string block(reinterpret_cast<char *>(bytes), size);
    free(bytes);
    return block;
  }

 private:
  ExifData *data_;
  ExifByteOrder order_;
};

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string value(const std::string &text, const char *key) {
  char out[4096];
  return markup_Get(text.c_str(), key, out, sizeof out, nullptr, nullptr) ? out : "<none>";
}

TEST_F(ExifToMarkup, WorkedCases) {
  settings(false, true);
  // A bare big-endian TIFF structure converts like the same block behind "Exif\0\0".
  const std::string motorola = Block(EXIF_BYTE_ORDER_MOTOROLA)
                                   .raw(EXIF_IFD_0, 0x010F, EXIF_FORMAT_ASCII, std::string("Maker\0", 6))
                                   .rationals(EXIF_IFD_EXIF, 0x829A, {{10, 2500}})
                                   .save();
  ASSERT_EQ(motorola.compare(0, 8, std::string("Exif\0\0MM", 8)), 0);
  EXPECT_EQ(convert(motorola.substr(6)), convert(motorola));
  EXPECT_EQ(value(convert(motorola), "exif.make"), "Maker");
  EXPECT_EQ(value(convert(motorola), "exif.exposure_time"), "1/250 sec");
  const std::string chunk = vgmtest::pngChunk(vgmtest::readFile(vgmtest::dataFile("exif/exif2c08.png")), "eXIf");
  ASSERT_EQ(chunk.compare(0, 2, "MM"), 0);
  EXPECT_EQ(convert(chunk), convert(std::string("Exif\0\0", 6) + chunk));
  EXPECT_EQ(value(convert(chunk), "exif.copyright"), "2017 Willem van Schaik");  // as ExifTool reads it
  EXPECT_EQ(value(convert(chunk), "exif.user_comment"), "PngSuite");

  // One orientation line, the first; a resolution per directory, the primary one first.
  const std::string two = convert(Block()
                                      .shorts(EXIF_IFD_0, 0x0112, {6})
                                      .rationals(EXIF_IFD_0, 0x011A, {{1200, 1}})
                                      .shorts(EXIF_IFD_1, 0x0112, {3})
                                      .rationals(EXIF_IFD_1, 0x011A, {{72, 1}})
                                      .thumbnail()
                                      .save());
  EXPECT_EQ(count(two, "exif.orientation="), 1);
  EXPECT_EQ(value(two, "exif.orientation").substr(0, 3), "6 (");
  EXPECT_NE(two.find("exif.resolution.x=1.2e+03;\r\n"), std::string::npos);
  EXPECT_NE(two.find("exif.resolution.x=72;\r\n"), std::string::npos);
  EXPECT_EQ(value(two, "exif.resolution.x"), "1.2e+03");

  const std::string unicode = std::string("UNICODE\0", 8) + std::string("G\0r\0\xFC\0\xDF\0e\0", 10);
  const std::string exif = convert(Block()
                                       .rationals(EXIF_IFD_EXIF, 0x829D, {{5, 10}})
                                       .raw(EXIF_IFD_EXIF, 0x9101, EXIF_FORMAT_UNDEFINED, std::string("\1\2\3\0", 4))
                                       .raw(EXIF_IFD_EXIF, 0x9286, EXIF_FORMAT_UNDEFINED, unicode)
                                       .shorts(EXIF_IFD_EXIF, 0xA210, {1, 2})
                                       .raw(EXIF_IFD_0, 0x9C9D, EXIF_FORMAT_BYTE, "\1\2")
                                       .rationals(EXIF_IFD_GPS, 0x02, {{48, 1}, {30, 1}, {0, 1}})
                                       .rationals(EXIF_IFD_GPS, 0x07, {{13, 1}, {5, 1}, {29, 4}})
                                       .save());
  EXPECT_EQ(value(exif, "exif.aperture"), "f/2");
  EXPECT_EQ(value(exif, "exif.components_configuration").substr(0, 9), "1,2,3,0 (");
  EXPECT_EQ(value(exif, "exif.user_comment"), "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(value(exif, "exif.unknown.IFD2.0xa210"), "1, 2");
  EXPECT_EQ(value(exif, "exif.unknown.IFD0.0x9c9d"), "1,2,");
  EXPECT_EQ(value(exif, "exif.GPS.latitude.pos"), "48.5\xC2\xB0");
  EXPECT_EQ(value(exif, "exif.GPS.timestamp"), "13:05:07.250");

  // A zero denominator; user comments of an ASCII word and of a bare code.
  EXPECT_EQ(value(convert(Block().rationals(EXIF_IFD_EXIF, 0x829A, {{1, 0}}).save()), "exif.exposure_time"), "0/1 sec");
  const auto comment = [&](const std::string &bytes) {
    return value(convert(Block().raw(EXIF_IFD_EXIF, 0x9286, EXIF_FORMAT_UNDEFINED, bytes).save()), "exif.user_comment");
  };
  EXPECT_EQ(comment(std::string("ASCII\0\0\0word", 12)), "word");
  EXPECT_EQ(comment(std::string(8, '\0')), "<none>");
}

TEST_F(ExifToMarkup, BadInputTouchesNothingOutsideItsBuffers) {
  settings(true, true);
  char out[8] = "canary";
  const std::string block = payload("Canon_40D.jpg");
  EXPECT_EQ(markup_FromEXIF(nullptr, 64, block.data(), 64), 0);
  EXPECT_EQ(markup_FromEXIF(out, 8, nullptr, 64), 0);
  EXPECT_EQ(out[0], '\0');
  out[0] = 'c';
  EXPECT_EQ(markup_FromEXIF(out, 3, block.data(), 64), 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(markup_FromEXIF(out, 8, block.data(), 3), 0);
  EXPECT_EQ(markup_FromEXIF(out, 8, reinterpret_cast<const void *>(uintptr_t{64}), 64), 0);
  EXPECT_EQ(std::string(out + 1), "anary");
  // Not EXIF at all: parsed, nothing to say.
  EXPECT_EQ(markup_FromEXIF(out, 8, "Exif\0\0garbage!", 16), 1);
  EXPECT_EQ(out[0], '\0');

  // Every prefix of a real block, in a buffer of exactly its size.
  for (size_t n = 0; n <= block.size(); ++n) {
    std::vector<char> cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<char> text(64 + 16, '#');
    ASSERT_EQ(markup_FromEXIF(text.data(), 64, cut.data(), static_cast<int32_t>(n)), n >= 4 ? 1 : 0) << n;
    ASSERT_LT(strnlen(text.data(), 64), 64u);
    ASSERT_EQ(std::string(text.begin() + 64, text.end()), std::string(16, '#'));
  }
  // Small outputs hold the start of the full text, cut and terminated.
  const std::string full = convert(block);
  for (int size = 4; size <= 64; ++size) {
    std::vector<char> text(static_cast<size_t>(size) + 16, '#');
    ASSERT_EQ(markup_FromEXIF(text.data(), size, block.data(), static_cast<int32_t>(block.size())), 1);
    EXPECT_EQ(std::string(text.data()), full.substr(0, static_cast<size_t>(size) - 1));
    EXPECT_EQ(std::string(text.end() - 16, text.end()), std::string(16, '#'));
  }
  // Directories that point at themselves, counts near 2^32.
  const auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  const auto entry = [&](uint16_t tag, uint16_t format, uint32_t count, uint32_t value) {
    return std::string{char(tag), char(tag >> 8), char(format), char(format >> 8)} + le32(count) + le32(value);
  };
  const std::string looped = std::string("II*\0", 4) + le32(8) + std::string("\4\0", 2) +
                             entry(0x010F, 2, 4, 0x636261) + entry(0x0102, 3, 0x80000001u, 8) +
                             entry(0x8769, 4, 1, 8) + entry(0x9286, 7, 0xFFFFFFFFu, 0) + le32(8);
  const std::string text = convert(looped);
  EXPECT_EQ(value(text, "exif.make"), "abc");
  EXPECT_EQ(value(text, "exif.bits_per_sample"), "<none>");
}

TEST_F(ExifToMarkup, FaultSkipsOnlyTheEntryOrDirectoryItHitsOn) {
  Block block;
  block.raw(EXIF_IFD_0, 0x010F, EXIF_FORMAT_ASCII, std::string("A\0", 2))
      .raw(EXIF_IFD_0, 0x0110, EXIF_FORMAT_ASCII, std::string("B\0", 2))
      .raw(EXIF_IFD_EXIF, 0x9003, EXIF_FORMAT_ASCII, std::string("C\0", 2));
  ExifContent *primary = block.data()->ifd[EXIF_IFD_0], *thumbnail = block.data()->ifd[EXIF_IFD_1];
  ExifEntry *make = primary->entries[0];
  primary->entries[0] = reinterpret_cast<ExifEntry *>(uintptr_t{64});
  thumbnail->entries = reinterpret_cast<ExifEntry **>(uintptr_t{64});
  thumbnail->count = 2;
  char out[256];
  const int written = markup_ExifDataToLines(block.data(), out, sizeof out, true, true);
  primary->entries[0] = make;
  thumbnail->entries = nullptr;
  thumbnail->count = 0;
  EXPECT_EQ(written, 2);
  EXPECT_STREQ(out, "exif.model=B;\r\nexif.date_time_original=C;\r\n");
}

}  // namespace
