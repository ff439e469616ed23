#include <gtest/gtest.h>
#ifndef _WIN32
#include <jpeglib.h>
#endif
#include <libexif/exif-data.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "markup/exif_to_markup.h"
#include "markup/markup_text.h"
#include "markup/markup_to_exif.h"
#include "support/jpeg_app1.h"
#include "support/test_support.h"

// Camera files with GPS positions, big-endian blocks, maker notes, orientations
// 5, 6 and 8, a lens specification, a subject area, a three-byte components list.
const char *const kCameras[] = {
    "Canon_40D.jpg", "Canon_DIGITAL_IXUS_400.jpg", "Fujifilm_FinePix6900ZOOM.jpg", "Kodak_CX7530.jpg",
    "Nikon_D70.jpg", "Olympus_C8080WZ.jpg", "Panasonic_DMC-FZ30.jpg", "Ricoh_Caplio_RR330.jpg", "Sony_HDR-HC3.jpg",
    "exiftool-Apple.jpg", "exiftool-GPS.jpg", "exiftool-NikonD2Hs.jpg", "exiftool-OlympusE1.jpg",
    "exiftool-Pentax.jpg", "exiftool-Sony.jpg", "orientation-Landscape_6.jpg", "paris_exif_orientation_5.jpg",
};

std::string value(const std::string &text, const char *key) {
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
    cfg_Live()->exif_add_structure = structure, cfg_Live()->exif_add_unlisted = unlisted;
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

// EXIF to markup: camera files against libexif's own program and ExifTool,
// blocks built with libexif, and broken blocks under the sanitizers.
namespace {

// Tag, what its value holds and its key without "exif." (GPS tags + 0x10000):
// T text, D "(library description)", N other, S structure, U maker note, - no line.
constexpr const char *kKnownText =
    "1 - - 2 - - 100 S image_width 101 S image_height 102 N bits_per_sample 103 S compression "
    "106 D photometric_interpretation 10d T document_name 10e T image_description 10f T make 110 T model "
    "112 D orientation 115 N samples_per_pixel 11a N resolution.x 11b N resolution.y 128 D resolution.unit "
    "131 T software 132 T date_time 13b T artist 14a - - 212 D YCbCr_subsampling 213 D YCbCr_positioning "
    "828f - - 8298 N copyright 829a N exposure_time 829d N aperture 8769 - - 8822 D exposure_program 8825 - - "
    "8827 N ISO_speed 882a - - 8830 D sensitivity_type 9000 - - 9003 T date_time_original "
    "9004 T date_time_digitized 9010 T offset_time 9011 T offset_time_original 9012 T offset_time_digitized "
    "9101 D components_configuration 9102 N compressed_bits_per_sample 9201 N shutter_speed_value "
    "9202 N aperture_value 9203 N brightness_value 9204 N exposure_bias_value 9205 N max_aperture_value "
    "9206 N subject_distance 9207 D metering_mode 9208 D light_source 9209 D flash 920a N focal_length "
    "9214 D subject_area 927c U maker_note 9286 N user_comment 9290 T subsec_time 9291 T subsec_time_original "
    "9292 T subsec_time_digitized 9c9b T title a000 - - a001 D color_space a002 S pixel_dimension.x "
    "a003 S pixel_dimension.y a005 - - a214 - - a215 N exposure_index a217 D sensing_method a300 N file_source "
    "a301 D scene_type a302 - - a401 D custom_rendered a402 D exposure_mode a403 D white_balance "
    "a404 N digital_zoom_ratio a405 N focal_length_35mm a406 D scene_capture_type a407 D gain_control "
    "a408 D contrast a409 D saturation a40a D sharpness a40c D subject_distance_range a420 T image_unique_id "
    "a430 T camera_owner_name a431 T body_serial_number a432 N lens_specification a433 T lens_make "
    "a434 T lens_model a435 T lens_serial_number a436 T title a460 D composite_image.type "
    "a461 N composite_image.count a462 - - ea1c - - 10000 N GPS.version 10001 N GPS.latitude.ref "
    "10002 N GPS.latitude.pos 10003 N GPS.longitude.ref 10004 N GPS.longitude.pos 10005 N GPS.altitude.ref "
    "10006 N GPS.altitude.pos 10007 N GPS.timestamp 10008 T GPS.satellites 10009 N GPS.status "
    "1000a N GPS.measure_mode 1000b N GPS.DOP 1000c N GPS.speed.ref 1000d N GPS.speed.val 1001d T GPS.datestamp";
struct Known { unsigned tag; char kind; };
const std::map<unsigned, std::pair<char, std::string>> &byTag() {
  static const auto table = [] {
    std::map<unsigned, std::pair<char, std::string>> t;
    std::istringstream in(kKnownText);
    for (std::string tag, kind, key; in >> tag >> kind >> key;) t[std::stoul(tag, nullptr, 16)] = {kind[0], key};
    return t;
  }();
  return table;
}
Known byKey(const std::string &key) {
  for (const auto &[tag, entry] : byTag())
    if (entry.second == key && tag != 0x9c9b) return {tag, entry.first};
  return {0, '?'};
}

// Keys checked against ExifTool; digits: significant digits printed (half a unit of the last one allowed), 0: nearly
// exact, -1: same text. A line ExifTool cannot back must be an entry libexif adds (+ in front of the key).
constexpr const char *kNumericText =
    "exposure_time ExifIFD:ExposureTime 4 aperture ExifIFD:FNumber 3 focal_length ExifIFD:FocalLength 3 "
    "ISO_speed ExifIFD:ISO 0 exposure_bias_value ExifIFD:ExposureCompensation 4 +resolution.x IFD0:XResolution 3 "
    "+resolution.y IFD0:YResolution 3 +pixel_dimension.x ExifIFD:ExifImageWidth 0 "
    "+pixel_dimension.y ExifIFD:ExifImageHeight 0 image_width IFD0:ImageWidth 0 image_height IFD0:ImageHeight 0 "
    "date_time IFD0:ModifyDate -1 date_time_original ExifIFD:DateTimeOriginal -1 "
    "date_time_digitized ExifIFD:CreateDate -1 GPS.latitude.pos GPS:GPSLatitude 0 "
    "GPS.longitude.pos GPS:GPSLongitude 0 GPS.altitude.pos GPS:GPSAltitude 5 GPS.timestamp GPS:GPSTimeStamp 0";

using Lines = std::vector<std::pair<std::string, std::string>>;  // key without "exif.", value

std::string sanitised(std::string text) {
  for (char &c : text) c = (c == '\r' || c == '\n') ? ' ' : c == ';' ? ',' : c;
  text.erase(std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }), text.end());
  return text;
}
// The next number in `text` from *at on (NaN when none); *at moves past it.
double number(const std::string &text, size_t *at = nullptr) {
  size_t from = 0;
  if (at == nullptr) at = &from;
  const size_t start = text.find_first_of("-.0123456789", *at);
  if (start == std::string::npos) return *at = text.size(), NAN;
  char *end = nullptr;
  const double v = std::strtod(text.c_str() + start, &end);
  return *at = std::max(start + 1, static_cast<size_t>(end - text.c_str())), v;
}
// One '"Group:Name": value' row of ExifTool's JSON output, quotes dropped; false for other rows.
bool jsonPair(const std::string &row, std::string *name, std::string *v) {
  const size_t open = row.find('"'), colon = row.find("\": ");
  if (colon == std::string::npos) return false;
  *v = row.substr(colon + 3, row.find_last_not_of(",\r\n") - colon - 2);
  if ((*v)[0] == '"') *v = v->substr(1, v->size() - 2);
  return *name = row.substr(open + 1, colon - open - 1), true;
}
double seconds(const std::string &time) {  // "hh:mm:ss.fff"
  return number(time) * 3600 + number(time.substr(3)) * 60 + number(time.substr(6));
}
class ExifToMarkup : public ExifFixture {
 protected:
  static Lines lines(const std::string &text) {
    Lines result;
    for (size_t at = 0, end; (end = text.find(";\r\n", at)) != std::string::npos; at = end + 3) {
      const size_t equals = text.find('=', at);
      EXPECT_EQ(text.compare(at, 5, "exif."), 0);
      result.emplace_back(text.substr(at + 5, equals - at - 5), text.substr(equals + 1, end - equals - 1));
    }
    return result;
  }
};

TEST_F(ExifToMarkup, CamerasAgreeWithIndependentReferences) {
  for (const char *camera : kCameras) {
    SCOPED_TRACE(camera);
    const std::string block = payload(camera);
    ASSERT_GT(block.size(), 8u);
    settings(true, true);
    const Lines on = lines(fromExif(block));

    // libexif's tool: tag -> values; GPS tags share numbers with the interoperability ones and are told by value. The
    // tool stops listing at an entry it finds corrupt: then the listing has no closing line.
    std::map<unsigned, std::multiset<std::string>> tool;
    std::ifstream listing(vgmtest::dataFile(std::string("exif/") + camera + ".exif.txt"));
    bool complete = false;
    for (std::string row; std::getline(listing, row);) {
      complete = complete || row.rfind("ThumbnailSize\t", 0) == 0;
      if (row.size() < 7 || row[6] != '\t') continue;
      unsigned tag = static_cast<unsigned>(std::stoul(row.substr(2, 4), nullptr, 16));
      const std::string v = row.substr(7);
      if (tag == 0 || (tag == 1 && (v == "N" || v == "S")) || (tag == 2 && v.find(',') != v.npos) || (tag > 2 && tag < 0x20))
        tag |= 0x10000;
      tool[tag].insert(sanitised(v));
    }
    std::map<std::string, std::string> exiftool;  // "Group:Name": value
    std::ifstream json(vgmtest::dataFile(std::string("exif/") + camera + ".exiftool.json"));
    for (std::string row, name, v; std::getline(json, row);)
      if (jsonPair(row, &name, &v)) exiftool[name] = v;

    std::map<unsigned, std::multiset<std::string>> descriptions, texts;
    std::map<unsigned, int> count;  // lines per tag
    for (const auto &[key, text] : on) {
      const bool unknown = key.rfind("unknown.IFD", 0) == 0;
      const Known k = unknown ? Known{static_cast<unsigned>(std::stoul(key.substr(13), nullptr, 16)), 'X'} : byKey(key);
      ASSERT_NE(k.kind, '?') << key;
      ++count[k.tag];
      // (d) every line stands for an entry libexif's tool listed.
      EXPECT_TRUE(!complete || tool.count(k.tag)) << key;
      if (k.kind == 'D') descriptions[k.tag].insert(text.substr(text.find(" (") + 2, text.size() - text.find(" (") - 3));
      if (k.kind == 'T') texts[k.tag].insert(text);
      if (k.kind == 'U') { EXPECT_EQ(number(text), number(*tool[k.tag].begin())) << "maker note byte count"; }
    }
    for (const auto &[tag, values] : tool) {
      const auto known = byTag().find(tag);
      const char kind = known == byTag().end() ? 'X' : known->second.first;
      std::multiset<std::string> present;  // an empty value may go either way
      for (const std::string &v : values)
        if (!v.empty() && (tag != 0x9286 || v.find_first_not_of(' ') != std::string::npos)) present.insert(v);
      if (tag == 0x0112) {  // one line, the first Orientation
        EXPECT_EQ(count[tag], 1);
        EXPECT_TRUE(values.count(*descriptions[tag].begin()));
      } else if (tag == 0x927c) {
        EXPECT_EQ(count[tag], number(*values.begin()) <= 3070 ? 1 : 0);
      } else if (kind != '-' && !(kind == 'X' && tag >= 0x10000)) {
        // (d) its line, or an unknown-entry line; GPS tags off the table give none.
        EXPECT_GE(count[tag], static_cast<int>(present.size())) << std::hex << tag;
        EXPECT_LE(count[tag], static_cast<int>(values.size())) << std::hex << tag;
      }
      if (kind == 'D' && tag != 0x0112) { EXPECT_EQ(descriptions[tag], values) << std::hex << tag; }  // (a)
      if (kind == 'T') { EXPECT_EQ(texts[tag], values) << std::hex << tag; }                         // (b)
    }

    // (c) numbers and dates against ExifTool.
    std::istringstream numeric(kNumericText);
    for (std::string key, name, digits_text; numeric >> key >> name >> digits_text;) {
      const bool added = key[0] == '+';
      if (added) key.erase(0, 1);
      const auto line = std::find_if(on.begin(), on.end(), [&](const auto &l) { return l.first == key; });
      const auto reference = exiftool.find(name);
      if (reference == exiftool.end()) { EXPECT_TRUE(line == on.end() || added) << key; continue; }
      ASSERT_NE(line, on.end()) << key;
      const std::string &ours = line->second, &theirs = reference->second;
      const int digits = std::stoi(digits_text);
      double want = number(theirs), got = number(key == "ISO_speed" ? ours.substr(4) : ours);
      if (digits < 0) { EXPECT_EQ(ours, theirs); continue; }
      if (key == "exposure_time") got /= number(ours.substr(ours.find('/') + 1));
      if (key == "aperture" && want < 0.7) want = 1 / want;  // stored upside down
      if (key == "GPS.timestamp") want = seconds(theirs), got = seconds(ours);
      const double allowed = digits > 0 && want != 0
                                 ? 0.50001 * std::pow(10.0, std::floor(std::log10(std::fabs(want))) - digits + 1)
                                 : key == "GPS.timestamp" ? 1e-3 : 1e-9;
      EXPECT_NEAR(got, want, allowed) << key << ": " << ours << " vs " << theirs;
    }

    // Settings off: the same lines less the structure, maker-note and unknown ones.
    settings(false, false);
    Lines expected;
    for (const auto &line : on)
      if (const char kind = byKey(line.first).kind; kind != 'S' && kind != 'U' && kind != '?') expected.push_back(line);
    EXPECT_EQ(lines(fromExif(block)), expected);
  }
}

// A block built with libexif: entries of raw bytes or of numbers in the block's byte order, saved as an APP1 body.
struct Block {
  ExifData *data = exif_data_new();
  ExifByteOrder order;
  explicit Block(ExifByteOrder byte_order = EXIF_BYTE_ORDER_INTEL) : order(byte_order) { exif_data_set_byte_order(data, order); }
  ~Block() { exif_data_unref(data); }
  Block &raw(ExifIfd ifd, unsigned tag, ExifFormat format, const std::string &bytes) {
    ExifEntry *entry = exif_entry_new();
    entry->tag = static_cast<ExifTag>(tag);
    entry->format = format;
    entry->components = bytes.size() / exif_format_get_size(format);
    entry->size = static_cast<unsigned>(bytes.size());
    entry->data = static_cast<unsigned char *>(malloc(bytes.size()));
    memcpy(entry->data, bytes.data(), bytes.size());
    exif_content_add_entry(data->ifd[ifd], entry);
    exif_entry_unref(entry);
    return *this;
  }
  // SHORT values, or RATIONAL ones given as numerator, denominator, ...
  Block &add(ExifIfd ifd, unsigned tag, ExifFormat format, std::initializer_list<unsigned> values) {
    std::string bytes(values.size() * (format == EXIF_FORMAT_SHORT ? 2 : 4), '\0');
    auto *at = reinterpret_cast<unsigned char *>(bytes.data());
    for (unsigned v : values) {
      if (format == EXIF_FORMAT_SHORT) exif_set_short(at, order, static_cast<ExifShort>(v)), at += 2;
      else exif_set_long(at, order, v), at += 4;
    }
    return raw(ifd, tag, format, bytes);
  }
  // libexif keeps the thumbnail directory only when a thumbnail goes with it.
  Block &thumbnail() {
    data->data = static_cast<unsigned char *>(malloc(4));
    data->size = 4;
    memcpy(data->data, "\xFF\xD8\xFF\xD9", 4);
    return *this;
  }
  std::string save() const {
    unsigned char *bytes = nullptr;
    unsigned size = 0;
    exif_data_save_data(data, &bytes, &size);
    std::string block(reinterpret_cast<char *>(bytes), size);
    free(bytes);
    return block;
  }
};
constexpr ExifFormat kShort = EXIF_FORMAT_SHORT, kRational = EXIF_FORMAT_RATIONAL;

TEST_F(ExifToMarkup, WorkedCases) {
  settings(false, true);
  // A bare big-endian TIFF structure converts like the same block behind "Exif\0\0".
  const std::string motorola = Block(EXIF_BYTE_ORDER_MOTOROLA)
                                   .raw(EXIF_IFD_0, 0x010F, EXIF_FORMAT_ASCII, std::string("Maker\0", 6))
                                   .add(EXIF_IFD_EXIF, 0x829A, kRational, {10, 2500})
                                   .save();
  ASSERT_EQ(motorola.compare(0, 8, std::string("Exif\0\0MM", 8)), 0);
  EXPECT_EQ(fromExif(motorola.substr(6)), fromExif(motorola));
  EXPECT_EQ(value(fromExif(motorola), "exif.make") + "|" + value(fromExif(motorola), "exif.exposure_time"), "Maker|1/250 sec");
  const std::string chunk = vgmtest::pngChunk(vgmtest::readFile(vgmtest::dataFile("exif/exif2c08.png")), "eXIf");
  ASSERT_EQ(chunk.compare(0, 2, "MM"), 0);
  EXPECT_EQ(fromExif(chunk), fromExif(std::string("Exif\0\0", 6) + chunk));
  EXPECT_EQ(value(fromExif(chunk), "exif.copyright") + "|" + value(fromExif(chunk), "exif.user_comment"),
            "2017 Willem van Schaik|PngSuite");  // as ExifTool reads them

  // One orientation line, the first; a resolution per directory, the primary one first.
  const std::string two = fromExif(Block()
                                      .add(EXIF_IFD_0, 0x0112, kShort, {6})
                                      .add(EXIF_IFD_0, 0x011A, kRational, {1200, 1})
                                      .add(EXIF_IFD_1, 0x0112, kShort, {3})
                                      .add(EXIF_IFD_1, 0x011A, kRational, {72, 1})
                                      .thumbnail()
                                      .save());
  EXPECT_TRUE(two.find("exif.orientation=") == two.rfind("exif.orientation=") && value(two, "exif.orientation").substr(0, 3) == "6 (");
  EXPECT_LT(two.find("exif.resolution.x=1.2e+03;\r\n"), two.find("exif.resolution.x=72;\r\n")) << two;
  EXPECT_NE(two.find("exif.resolution.x=72;\r\n"), std::string::npos);

  const std::string unicode = std::string("UNICODE\0G\0r\0\xFC\0\xDF\0e\0", 18);
  const std::string exif = fromExif(Block()
                                       .add(EXIF_IFD_EXIF, 0x829D, kRational, {5, 10})
                                       .raw(EXIF_IFD_EXIF, 0x9101, EXIF_FORMAT_UNDEFINED, std::string("\1\2\3\0", 4))
                                       .raw(EXIF_IFD_EXIF, 0x9286, EXIF_FORMAT_UNDEFINED, unicode)
                                       .add(EXIF_IFD_EXIF, 0xA210, kShort, {1, 2})
                                       .raw(EXIF_IFD_0, 0x9C9D, EXIF_FORMAT_BYTE, "\1\2")
                                       .add(EXIF_IFD_GPS, 0x02, kRational, {48, 1, 30, 1, 0, 1})
                                       .add(EXIF_IFD_GPS, 0x07, kRational, {13, 1, 5, 1, 29, 4})
                                       .save());
  for (auto [key, want] : {std::pair{"exif.aperture", "f/2"}, {"exif.user_comment", "Gr\xC3\xBC\xC3\x9F" "e"},
                            {"exif.unknown.IFD2.0xa210", "1, 2"}, {"exif.unknown.IFD0.0x9c9d", "1,2,"},
                            {"exif.GPS.latitude.pos", "48.5\xC2\xB0"}, {"exif.GPS.timestamp", "13:05:07.250"}})
    EXPECT_EQ(value(exif, key), want) << key;
  EXPECT_EQ(value(exif, "exif.components_configuration").substr(0, 9), "1,2,3,0 (");

  // A zero denominator; user comments of an ASCII word and of a bare code.
  EXPECT_EQ(value(fromExif(Block().add(EXIF_IFD_EXIF, 0x829A, kRational, {1, 0}).save()), "exif.exposure_time"), "0/1 sec");
  const auto comment = [&](const std::string &bytes) {
    return value(fromExif(Block().raw(EXIF_IFD_EXIF, 0x9286, EXIF_FORMAT_UNDEFINED, bytes).save()), "exif.user_comment");
  };
  EXPECT_EQ(comment(std::string("ASCII\0\0\0word", 12)) + "|" + comment(std::string(8, '\0')), "word|<none>");
}

TEST_F(ExifToMarkup, BadInputTouchesNothingOutsideItsBuffers) {
  settings(true, true);
  char out[8] = "canary";
  const std::string block = payload("Canon_40D.jpg");
  // The output is emptied whenever there is one; "garbage" is parsed with nothing to say.
  using Call = std::tuple<char *, int, const void *, int, int>;  // out, its size, block, its size, result
  for (auto [text, size, data, length, result] :
       {Call{nullptr, 64, block.data(), 64, 0}, Call{out, 8, nullptr, 64, 0}, Call{out, 3, block.data(), 64, 0},
        Call{out, 8, block.data(), 3, 0}, Call{out, 8, reinterpret_cast<const void *>(uintptr_t{64}), 64, 0},
        Call{out, 8, "Exif\0\0garbage!", 16, 1}}) {
    out[0] = 'c';
    EXPECT_EQ(markup_FromEXIF(text, size, data, length), result) << size << " " << length;
    EXPECT_EQ(std::string(out, 6), text ? std::string("\0anary", 6) : "canary") << size << " " << length;
  }

  // Every prefix of a real block, in a buffer of exactly its size.
  for (size_t n = 0; n <= block.size(); ++n) {
    std::vector<char> cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n)), text(64 + 16, '#');
    ASSERT_EQ(markup_FromEXIF(text.data(), 64, cut.data(), static_cast<int32_t>(n)), n >= 4 ? 1 : 0) << n;
    ASSERT_EQ(std::string(text.begin() + 64, text.end()), std::string(16, '#'));
  }
  // Small outputs hold the start of the full text, cut and terminated.
  const std::string full = fromExif(block);
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
  const std::string text = fromExif(std::string("II*\0", 4) + le32(8) + std::string("\4\0", 2) +
                                   entry(0x010F, 2, 4, 0x636261) + entry(0x0102, 3, 0x80000001u, 8) +
                                   entry(0x8769, 4, 1, 8) + entry(0x9286, 7, 0xFFFFFFFFu, 0) + le32(8));
  EXPECT_EQ(value(text, "exif.make") + "|" + value(text, "exif.bits_per_sample"), "abc|<none>");

  // A fault on one entry or one directory skips just that.
  Block built;
  built.raw(EXIF_IFD_0, 0x010F, EXIF_FORMAT_ASCII, std::string("A\0", 2))
      .raw(EXIF_IFD_0, 0x0110, EXIF_FORMAT_ASCII, std::string("B\0", 2))
      .raw(EXIF_IFD_EXIF, 0x9003, EXIF_FORMAT_ASCII, std::string("C\0", 2));
  ExifContent *primary = built.data->ifd[EXIF_IFD_0], *thumbnail = built.data->ifd[EXIF_IFD_1];
  ExifEntry *make = primary->entries[0];
  primary->entries[0] = reinterpret_cast<ExifEntry *>(uintptr_t{64});
  thumbnail->entries = reinterpret_cast<ExifEntry **>(uintptr_t{64});
  thumbnail->count = 2;
  char lines_out[256];
  const int written = markup_ExifDataToLines(built.data, lines_out, sizeof lines_out, true, true);
  primary->entries[0] = make;
  thumbnail->entries = nullptr;
  thumbnail->count = 0;
  EXPECT_EQ(std::to_string(written) + " " + lines_out, "2 exif.model=B;\r\nexif.date_time_original=C;\r\n");
}

// Markup to EXIF: values read back with libexif, round trips, ExifTool and
// libjpeg-turbo reading spliced JPEGs, the size limit and broken input.

// Entries as a text: "Format[count] values"; bytes of texts and undefined
// data as they stand, \xNN for the unprintable ones.
std::string describe(ExifEntry *e, ExifByteOrder order) {
  if (e == nullptr) return "<none>";
  std::string out = std::string(exif_format_get_name(e->format)) + '[' + std::to_string(e->components) + "] ";
  const size_t unit = exif_format_get_size(e->format);
  for (size_t i = 0; i + unit <= e->size; i += unit) {
    const unsigned char *at = e->data + i;
    char text[32];
    if (e->format == EXIF_FORMAT_SHORT) std::snprintf(text, sizeof text, " %u", exif_get_short(at, order));
    else if (e->format == EXIF_FORMAT_RATIONAL) std::snprintf(text, sizeof text, " %u/%u", exif_get_rational(at, order).numerator, exif_get_rational(at, order).denominator);
    else if (e->format == EXIF_FORMAT_SRATIONAL) std::snprintf(text, sizeof text, " %d/%d", exif_get_srational(at, order).numerator, exif_get_srational(at, order).denominator);
    else if (e->format == EXIF_FORMAT_LONG) std::snprintf(text, sizeof text, " %u", exif_get_long(at, order));
    else if (unit > 1) std::snprintf(text, sizeof text, " %02X%02X", at[0], at[1]);  // not written by these tests
    else if (e->format == EXIF_FORMAT_BYTE) std::snprintf(text, sizeof text, "%s%u", i ? "," : "", *at);
    else std::snprintf(text, sizeof text, *at >= 32 && *at < 127 ? "%c" : "\\x%02X", *at);
    out += unit > 1 && i == 0 ? text + 1 : text;
  }
  return out;
}

// A block as libexif loads it by default, or raw: every tag where it stands.
struct Loaded {
  ExifData *data;
  Loaded(const std::string &block, bool raw) : data(exif_data_new()) {
    if (raw) {
      exif_data_unset_option(data, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
      exif_data_unset_option(data, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    }
    exif_data_load_data(data, reinterpret_cast<const unsigned char *>(block.data()), static_cast<unsigned>(block.size()));
  }
  ~Loaded() { exif_data_unref(data); }
  std::string entry(int ifd, unsigned tag) const {
    return describe(exif_content_get_entry(data->ifd[ifd], static_cast<ExifTag>(tag)), exif_data_get_byte_order(data));
  }
};

// "key: first -> second" for each key (first occurrence) whose value differs in text and in its numbers by more than
// the writer's resolution (GPS angles 1e-5 minute, the rest thousandths).
std::vector<std::string> differences(const std::string &first, const std::string &second) {
  std::vector<std::string> out;
  std::set<std::string> keys;
  char key[kMarkupKeyMax + 1], ignored[kMarkupValueMax + 1];
  for (const std::string *text : {&first, &second})
    for (int at = 0, next; (next = markup_NextPair(text->c_str() + at, key, ignored)) > 0; at += next) keys.insert(key);
  for (const std::string &k : keys) {
    const std::string a = value(first, k.c_str()), b = value(second, k.c_str());
    const double step = k.find("GPS.l") != std::string::npos ? 1e-5 / 60 : 1e-3;
    bool same = a == b || (a != "<none>" && b != "<none>");
    for (size_t i = 0, j = 0; a != b && same && (i < a.size() || j < b.size());) {
      const double x = number(a, &i), y = number(b, &j);
      same = std::isnan(x) == std::isnan(y) && !(std::fabs(x - y) > step * 1.0001 + std::fabs(x) * 2e-3);
    }
    if (!same) out.push_back(k + ": " + a + " -> " + b);
  }
  return out;
}

class MarkupToExif : public ExifFixture {
 protected:
  // The new block ("" for result 0, with *data and *size cleared); the caller's block goes in as a global one.
  static std::string toExif(const std::string &markup, const std::string &original = "") {
    HGLOBAL given = original.empty() ? nullptr : GlobalAlloc(GPTR, original.size()), data = given;
    uint32_t size = static_cast<uint32_t>(original.size());
    if (given != nullptr) std::memcpy(given, original.data(), size);
    const int result = markup_ToEXIF(markup.c_str(), &data, &size);
    GlobalFree(given);
    EXPECT_EQ(result == 1, data != nullptr && size > 0);
    if (result != 1) return "";
    EXPECT_GE(GlobalSize(data), size + 1024u);  // with 1024 zero bytes behind the block
    std::string block(static_cast<char *>(data), size), room(static_cast<char *>(data) + size, 1024);
    EXPECT_EQ(room, std::string(1024, '\0'));
    GlobalFree(data);
    return block;
  }
};

TEST_F(MarkupToExif, WorkedCasesReadBackEntryByEntry) {
  struct Case { const char *markup; int ifd; unsigned tag; const char *entry; };
  const Case cases[] = {
      {"exif.make=Test;", 0, 0x010F, "ASCII[5] Test\\x00"},
      {"exif.make=Test;", 0, 0x0131, "ASCII[21] Orvine Photo 5.43.01\\x00"},
      {"exif.make=Test;", 2, 0xA001, "Short[1] 1"},
      {"exif.make=Test;", 3, 0x00, "<none>"},
      {"exif.exposure_time=1/250 sec;", 2, 0x829A, "Rational[1] 1/250"},
      {"exif.exposure_time=2;", 2, 0x829A, "Rational[1] 2/1"},
      {"exif.aperture=f/2.8;", 2, 0x829D, "Rational[1] 14/5"},
      {"exif.aperture=4;", 2, 0x829D, "Rational[1] 14/5"},
      {"exif.aperture=;exif.f_number=2/11;", 2, 0x829D, "Rational[1] 11/2"},
      {"exif.exposure_bias_value=-0.7 EV;", 2, 0x9204, "SRational[1] -700/1000"},
      {"exif.resolution.x=5.8;", 2, 0x011A, "Rational[1] 5800/1000"},
      {"exif.focal_length=4.35 mm;", 2, 0x920A, "Rational[1] 4350/1000"},
      {"exif.compressed_bits_per_sample=4.1;", 2, 0x9102, "Rational[1] 4100000/1000000"},
      {"exif.GPS.latitude.pos=48.5\xC2\xB0;", 3, 0x02, "Rational[3] 48/1 30/1 0/100000"},
      {"exif.GPS.latitude.pos=48.5\xC2\xB0;", 3, 0x00, "Byte[4] 2,2,0,0"},
      {"exif.GPS.longitude.pos=-0.1;", 3, 0x04, "Rational[3] 0/1 4294967290/1 0/100000"},
      {"exif.GPS.longitude.pos=12.3456;", 3, 0x04, "Rational[3] 12/1 20/1 4416000/100000"},
      {"exif.GPS.timestamp=13:05:07.250;", 3, 0x07, "Rational[3] 13/1 5/1 7250/1000"},
      {"exif.GPS.version=2.3;exif.GPS.latitude.ref=south;", 3, 0x00, "Byte[4] 2,3,0,0"},
      {"exif.GPS.latitude.ref=south;", 3, 0x01, "ASCII[2] S\\x00"},
      {"exif.GPS.speed.ref=x;", 3, 0x0C, "ASCII[2] \\x00\\x00"},
      {"exif.GPS.measure_mode=3-D;", 3, 0x0A, "ASCII[2] 3\\x00"},
      {"exif.GPS.altitude.pos=12.3 m;", 3, 0x06, "Rational[1] 12300/1000"},
      {"exif.user_comment=Hello;", 2, 0x9286, "Undefined[14] ASCII\\x00\\x00\\x00Hello\\x00"},
      {"exif.user_comment=\xC3\xA9;", 2, 0x9286, "Undefined[12] UNICODE\\x00\\xE9\\x00\\x00\\x00"},
      {"exif.ISO_speed=ISO-100;", 2, 0x8827, "Short[1] 100"},
      {"exif.components_configuration=1,2,3,0 (Y Cb Cr -);", 2, 0x9101, "Undefined[4] \\x01\\x02\\x03\\x00"},
      {"exif.lens_specification=17, 85, 4, 5.6;", 2, 0xA432, "Rational[4] 17/1 85/1 4/1 28/5"},
      {"exif.maker_note=4, AQIDBA==;", 0, 0x927C, "Undefined[4] \\x01\\x02\\x03\\x04"},
      {"exif.maker_note=6, AQID;", 0, 0x927C, "Undefined[6] \\x01\\x02\\x03\\x00\\x00\\x00"},
      {"exif.title=T;", 2, 0x9C9B, "<none>"},  // libexif cannot create it
      {"exif.unknown.IFD2.0xc000=3, AQID;", 2, 0xC000, "Undefined[3] \\x01\\x02\\x03"},
      {"exif.unknown.IFD2.0xa210=3;", 2, 0xA210, "Short[1] 3"},
      {"exif.unknown.IFD9.0xc000=3, AQID;exif.unknown.IFD2=3;exif.unknown.IFD2.0xc001=;", 2, 0xC000, "<none>"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.markup);
    const std::string block = toExif(c.markup);
    ASSERT_EQ(block.compare(0, 8, std::string("Exif\0\0II", 8)), 0);
    EXPECT_EQ(Loaded(block, true).entry(c.ifd, c.tag), c.entry);
  }

  // DateTime of IFD 0 stays; the key goes into IFD 2. Tags libexif leaves empty are written when the block holds them.
  const std::string date("2001:01:01 01:01:01\0", 20);
  const Loaded rewritten(toExif("exif.date_time=2020:02:02 02:02:02;exif.camera_owner_name=T;exif.image_unique_id=U;",
                                Block().raw(EXIF_IFD_0, 0x0132, EXIF_FORMAT_ASCII, date)
                                    .raw(EXIF_IFD_EXIF, 0xA430, EXIF_FORMAT_ASCII, date)
                                    .raw(EXIF_IFD_EXIF, 0xA420, EXIF_FORMAT_ASCII, date).save()), true);
  EXPECT_EQ(rewritten.entry(0, 0x0132), "ASCII[20] 2001:01:01 01:01:01\\x00");
  EXPECT_EQ(rewritten.entry(2, 0x0132), "ASCII[20] 2020:02:02 02:02:02\\x00");
  EXPECT_EQ(rewritten.entry(2, 0xA430) + " " + rewritten.entry(2, 0xA420), "ASCII[2] T\\x00 ASCII[2] U\\x00");

  // No "exif." anywhere (case aside): nothing happens.
  HGLOBAL data = reinterpret_cast<HGLOBAL>(uintptr_t{0x1234});
  uint32_t size = 77;
  EXPECT_EQ(markup_ToEXIF("image.dpi=72;exif_make=x;", &data, &size), 0);
  EXPECT_TRUE(data == reinterpret_cast<HGLOBAL>(uintptr_t{0x1234}) && size == 77u);
  EXPECT_EQ(Loaded(toExif("EXIF.MAKE=Loud;"), false).entry(0, 0x010F), "ASCII[5] Loud\\x00");
}

// Keys that may differ after a round trip: our software name, a re-serialised maker note, an added GPS version; in new
// blocks also what libexif cannot create or writes its own way (four-byte components, first list values only).
const std::set<std::string> kMayDiffer = {"exif.software", "exif.maker_note", "exif.GPS.version"};
const std::set<std::string> kMayDifferNew = {
    "exif.subsec_time", "exif.subsec_time_original", "exif.subsec_time_digitized", "exif.subject_area",
    "exif.image_unique_id", "exif.unknown.IFD4.0x1001", "exif.unknown.IFD4.0x1002",
    "exif.components_configuration", "exif.unknown.IFD0.0x0214"};

// Whether the reader gives the entry a line of its own (with these settings).
bool named(ExifEntry *e, int ifd, ExifByteOrder order, bool on) {
  ExifData *one = exif_data_new();
  exif_data_set_byte_order(one, order);
  ExifContent *home = e->parent;
  e->parent = nullptr;
  exif_content_add_entry(one->ifd[ifd], e);
  char out[16384];
  const int lines = markup_ExifDataToLines(one, out, sizeof out, on, on);
  exif_data_unref(one);
  e->parent = home;
  return lines > 0;
}

TEST_F(MarkupToExif, RoundTripOverCameraFiles) {
  for (const bool on : {false, true}) {
    settings(on, on);
    for (const char *camera : kCameras) {
      const std::string block = payload(camera), first = fromExif(block);
      for (const bool with_original : {true, false}) {
        SCOPED_TRACE(std::string(camera) + (on ? " settings on" : " settings off") + (with_original ? " with block" : " new block"));
        const std::string second_block = toExif(first, with_original ? block : "");
        ASSERT_FALSE(second_block.empty());
        const std::string second = fromExif(second_block);
        for (const std::string &d : differences(first, second)) {
          const std::string key = d.substr(0, d.find(':')), was = value(first, key.c_str());
          const bool blank = was.find_first_not_of(' ') == std::string::npos;  // blank values are not written
          EXPECT_TRUE(kMayDiffer.count(key) || (!with_original && (kMayDifferNew.count(key) || blank))) << d;
        }
        // A second trip drifts no further.
        EXPECT_EQ(differences(second, fromExif(toExif(second, second_block))), std::vector<std::string>{});
        if (!with_original) continue;
        // The thumbnail and every entry the markup does not name survive.
        const Loaded before(block, false), after(second_block, false);
        ASSERT_EQ(before.data->size, after.data->size);
        EXPECT_TRUE(before.data->size == 0 || std::memcmp(before.data->data, after.data->data, before.data->size) == 0);
        for (int ifd = 0; ifd < EXIF_IFD_COUNT; ++ifd)
          for (unsigned i = 0; i < before.data->ifd[ifd]->count; ++i) {
            ExifEntry *e = before.data->ifd[ifd]->entries[i];
            if (e->tag == EXIF_TAG_MAKER_NOTE || named(e, ifd, exif_data_get_byte_order(before.data), on)) continue;
            EXPECT_EQ(after.entry(ifd, e->tag), before.entry(ifd, e->tag)) << ifd << " " << std::hex << e->tag;
          }
      }
    }
  }
}

#ifndef _WIN32  // ExifTool and libjpeg are the build machine's, not the target's
// The file with its EXIF segment replaced by `block`, right after SOI.
std::string splice(const std::string &jpeg, const std::string &block) {
  std::string out = jpeg;
  const std::string old = vgmtest::jpegExifPayload(jpeg);
  if (!old.empty()) out.erase(out.find(old) - 4, old.size() + 4);
  const size_t length = block.size() + 2;
  return out.insert(2, std::string("\xFF\xE1") + char(length >> 8) + char(length & 0xFF) + block);
}

// libjpeg-turbo reads every scanline without an error.
bool decodes(const std::string &jpeg) {
  struct Failure : jpeg_error_mgr { jmp_buf back; } failure;
  jpeg_decompress_struct info;
  info.err = jpeg_std_error(&failure);
  failure.error_exit = [](j_common_ptr c) { longjmp(static_cast<Failure *>(c->err)->back, 1); };
  failure.output_message = [](j_common_ptr) {};
  jpeg_create_decompress(&info);
  if (setjmp(failure.back)) return jpeg_destroy_decompress(&info), false;
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(jpeg.data()), jpeg.size());
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  std::vector<unsigned char> row(info.output_width * info.output_components);
  for (JSAMPROW rows[1] = {row.data()}; info.output_scanline < info.output_height;) jpeg_read_scanlines(&info, rows, 1);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return failure.num_warnings == 0;
}

TEST_F(MarkupToExif, ExifToolAndLibjpegReadTheSplicedBlocks) {
  settings(true, true);
  std::map<std::string, std::string> markups;  // file name: markup written
  std::string files;
  for (const char *camera : kCameras) {
    const std::string jpeg = vgmtest::readFile(vgmtest::dataFile(std::string("exif/") + camera));
    const std::string first = fromExif(payload(camera)), file = root_.file(camera);
    vgmtest::writeFile(file, splice(jpeg, toExif(first, payload(camera))));
    EXPECT_TRUE(decodes(vgmtest::readFile(file))) << camera;
    markups[file] = first;
    files += " '" + file + "'";
  }
  // ExifTool must be there: install-deps puts it there.
  FILE *tool = popen(("exiftool -j -G1 -n" + files + " 2>&1").c_str(), "r");
  ASSERT_NE(tool, nullptr);
  std::map<std::string, std::map<std::string, std::string>> read;  // file: "Group:Tag": value
  std::string current, name, v;
  for (char line[65536]; std::fgets(line, sizeof line, tool);)
    if (jsonPair(line, &name, &v)) read[current = name == "SourceFile" ? v : current][name] = v;
  ASSERT_EQ(pclose(tool), 0) << "exiftool failed or is missing";
  for (const auto &[file, markup] : markups) {
    SCOPED_TRACE(file);
    auto &tags = read[file];
    EXPECT_EQ(tags.count("ExifTool:Error"), 0u) << tags["ExifTool:Error"];
    // Maker notes that moved with the block may make ExifTool guess at their offsets.
    if (tags.count("ExifTool:Warning")) {
      std::printf("%s: %s\n", file.c_str(), tags["ExifTool:Warning"].c_str());
      EXPECT_NE(tags["ExifTool:Warning"].find("offset"), std::string::npos);
    }
    // Texts as ExifTool prints them (trimmed), numbers within the writer's resolution.
    EXPECT_EQ(tags["IFD0:Software"], "Orvine Photo 5.43.01");
    for (auto [tag, key, within] : {std::tuple{"IFD0:Make", "exif.make", -1.0}, {"IFD0:Model", "exif.model", -1.0},
                                    {"ExifIFD:DateTimeOriginal", "exif.date_time_original", -1.0},
                                    {"ExifIFD:ColorSpace", "exif.color_space", 0.0}, {"ExifIFD:ISO", "exif.ISO_speed", 0.0},
                                    {"ExifIFD:ExposureTime", "exif.exposure_time", 1e-9},
                                    {"ExifIFD:FocalLength", "exif.focal_length", 1e-3},
                                    {"GPS:GPSLatitude", "exif.GPS.latitude.pos", 1e-5 / 60}}) {
      const std::string want = value(markup, key);
      size_t at = 0;
      double n = std::fabs(number(want, &at));
      if (std::string(key) == "exif.exposure_time") n /= number(want, &at);
      if (want == "<none>") EXPECT_EQ(tags.count(tag), 0u) << tag;
      else if (within < 0) EXPECT_EQ(tags[tag], want.substr(0, want.find_last_not_of(' ') + 1)) << tag;
      else EXPECT_NEAR(std::stod(tags[tag]), n, within) << tag;
    }
  }
}
#endif

TEST_F(MarkupToExif, BlocksPastTheLimitAreRefused) {
  const auto block = [](int count) {
    std::vector<unsigned char> bytes(static_cast<size_t>(count), 7);
    char text[8192];
    markup_FormatBlock(text, sizeof text, bytes.data(), bytes.size());
    return std::string(text);
  };
  std::string big = "exif.maker_note=" + block(3070) + ";exif.user_comment=";
  for (int i = 0; i < 4000; ++i) big += "\xC3\xA9";
  big += ";";
  for (int i = 0; i < 2500; ++i) big += "exif.unknown.IFD2.0x" + std::to_string(1000 + i) + "=4, AQIDBA==;";  // read as hex
  EXPECT_EQ(toExif(big), "");

  // The largest block that still comes out is at the limit, and fits an APP1 segment.
  const auto sized = [&](int last) {
    std::string markup = "exif.make=X;";
    for (int i = 0; i < 10; ++i) markup += "exif.unknown.IFD2.0xc" + std::to_string(100 + i) + "=" + block(3000) + ";";
    return toExif(markup + "exif.unknown.IFD2.0xc200=" + block(last) + ";").size();
  };
  int low = 0, high = 3000;  // sized(low) > 0, sized(high) == 0
  ASSERT_GT(sized(low), 0u);
  ASSERT_EQ(sized(high), 0u);
  while (high - low > 1) (sized((low + high) / 2) > 0 ? low : high) = (low + high) / 2;
  EXPECT_GE(sized(low), 32766u);
  EXPECT_LE(sized(low) + 2, 65535u);
}

TEST_F(MarkupToExif, BadInputGivesAClearResultAndKeepsTheCallersBlock) {
  HGLOBAL data = nullptr;
  uint32_t size = 0;
  EXPECT_EQ(std::tuple(markup_ToEXIF(nullptr, &data, &size), markup_ToEXIF("exif.make=X;", nullptr, &size),
                       markup_ToEXIF("exif.make=X;", &data, nullptr),
                       markup_ToEXIF(reinterpret_cast<const char *>(uintptr_t{64}), &data, &size)),
            std::tuple(0, 0, 0, 0));

  // A caller's block that faults or is cut anywhere: a new block, still success.
  data = reinterpret_cast<HGLOBAL>(uintptr_t{64});
  size = 4096;
  ASSERT_EQ(markup_ToEXIF("exif.make=Faulted;", &data, &size), 1);
  EXPECT_EQ(Loaded(std::string(static_cast<char *>(data), size), false).entry(0, 0x010F), "ASCII[8] Faulted\\x00");
  GlobalFree(data);
  const std::string camera = payload("Canon_40D.jpg");
  for (size_t n = 1; n < camera.size(); n += 97) {
    const std::string cut = toExif("exif.model=Cut;", camera.substr(0, n));
    ASSERT_EQ(Loaded(cut, false).entry(0, 0x0110), "ASCII[4] Cut\\x00") << n;
  }

  // Keys without values, a count past the limit, and a 1 MiB text.
  EXPECT_EQ(Loaded(toExif("exif.make;exif.model=;exif.artist= ;exif.unknown.IFD2.0xc000;"), true).entry(0, 0x010F), "<none>");
  EXPECT_EQ(toExif("exif.maker_note=40000, AQID;"), "");
  std::string huge = "exif.make=" + std::string(1 << 20, 'm');
  EXPECT_EQ(Loaded(toExif(huge), false).entry(0, 0x010F).size(), std::string("ASCII[4096] ").size() + 4095 + 4);
  huge.clear();
  for (int i = 0; huge.size() < (1u << 20); ++i) huge += "exif.unknown.IFD" + std::to_string(i % 7) + ".0x" + std::to_string(i) + "=1, AQ==;";
  EXPECT_EQ(toExif(huge), "");  // more entries than a block can hold
}

}  // namespace
