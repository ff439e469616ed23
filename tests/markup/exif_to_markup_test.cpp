// EXIF to markup: camera files against the outputs of two independent tools
// (libexif's own command-line program and ExifTool), blocks built with
// libexif for the worked cases, and broken blocks under the sanitizers.
#include <libexif/exif-data.h>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "exif_fixture.h"

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

// Keys checked against ExifTool; digits: significant digits printed (half a
// unit of the last one allowed), 0: nearly exact, -1: same text. A line
// ExifTool cannot back must be an entry libexif adds (+ in front of the key).
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
double number(const std::string &text) {
  const size_t at = text.find_first_of("-.0123456789");
  return at == std::string::npos ? NAN : std::strtod(text.c_str() + at, nullptr);
}
double seconds(const std::string &time) {  // "hh:mm:ss.fff"
  return number(time) * 3600 + number(time.substr(3)) * 60 + number(time.substr(6));
}
class ExifToMarkup : public ExifFixture {
 protected:
  static std::string convert(const std::string &block) { return fromExif(block); }
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
    const Lines on = lines(convert(block));

    // libexif's tool: tag -> values; GPS tags share numbers with the
    // interoperability ones and are told by value. The tool stops listing at
    // an entry it finds corrupt: then the listing has no closing line.
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
    for (std::string row; std::getline(json, row);) {
      const size_t open = row.find('"'), colon = row.find("\": ");
      if (colon == std::string::npos) continue;
      std::string v = row.substr(colon + 3, row.size() - colon - 3 - (row.back() == ',' ? 1 : 0));
      exiftool[row.substr(open + 1, colon - open - 1)] = v[0] == '"' ? v.substr(1, v.size() - 2) : v;
    }

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
    EXPECT_EQ(lines(convert(block)), expected);
  }
}

// A block built with libexif: entries of raw bytes or of numbers in the
// block's byte order, saved as an APP1 body.
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
                                      .add(EXIF_IFD_0, 0x0112, kShort, {6})
                                      .add(EXIF_IFD_0, 0x011A, kRational, {1200, 1})
                                      .add(EXIF_IFD_1, 0x0112, kShort, {3})
                                      .add(EXIF_IFD_1, 0x011A, kRational, {72, 1})
                                      .thumbnail()
                                      .save());
  EXPECT_EQ(two.find("exif.orientation="), two.rfind("exif.orientation="));
  EXPECT_EQ(value(two, "exif.orientation").substr(0, 3), "6 (");
  EXPECT_NE(two.find("exif.resolution.x=1.2e+03;\r\n"), std::string::npos);
  EXPECT_NE(two.find("exif.resolution.x=72;\r\n"), std::string::npos);
  EXPECT_EQ(value(two, "exif.resolution.x"), "1.2e+03");

  const std::string unicode = std::string("UNICODE\0G\0r\0\xFC\0\xDF\0e\0", 18);
  const std::string exif = convert(Block()
                                       .add(EXIF_IFD_EXIF, 0x829D, kRational, {5, 10})
                                       .raw(EXIF_IFD_EXIF, 0x9101, EXIF_FORMAT_UNDEFINED, std::string("\1\2\3\0", 4))
                                       .raw(EXIF_IFD_EXIF, 0x9286, EXIF_FORMAT_UNDEFINED, unicode)
                                       .add(EXIF_IFD_EXIF, 0xA210, kShort, {1, 2})
                                       .raw(EXIF_IFD_0, 0x9C9D, EXIF_FORMAT_BYTE, "\1\2")
                                       .add(EXIF_IFD_GPS, 0x02, kRational, {48, 1, 30, 1, 0, 1})
                                       .add(EXIF_IFD_GPS, 0x07, kRational, {13, 1, 5, 1, 29, 4})
                                       .save());
  EXPECT_EQ(value(exif, "exif.aperture"), "f/2");
  EXPECT_EQ(value(exif, "exif.components_configuration").substr(0, 9), "1,2,3,0 (");
  EXPECT_EQ(value(exif, "exif.user_comment"), "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(value(exif, "exif.unknown.IFD2.0xa210"), "1, 2");
  EXPECT_EQ(value(exif, "exif.unknown.IFD0.0x9c9d"), "1,2,");
  EXPECT_EQ(value(exif, "exif.GPS.latitude.pos"), "48.5\xC2\xB0");
  EXPECT_EQ(value(exif, "exif.GPS.timestamp"), "13:05:07.250");

  // A zero denominator; user comments of an ASCII word and of a bare code.
  EXPECT_EQ(value(convert(Block().add(EXIF_IFD_EXIF, 0x829A, kRational, {1, 0}).save()), "exif.exposure_time"), "0/1 sec");
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
  EXPECT_EQ(markup_FromEXIF(out, 8, "Exif\0\0garbage!", 16), 1);  // parsed, nothing to say
  EXPECT_EQ(out[0], '\0');

  // Every prefix of a real block, in a buffer of exactly its size.
  for (size_t n = 0; n <= block.size(); ++n) {
    std::vector<char> cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n)), text(64 + 16, '#');
    ASSERT_EQ(markup_FromEXIF(text.data(), 64, cut.data(), static_cast<int32_t>(n)), n >= 4 ? 1 : 0) << n;
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
  const std::string text = convert(std::string("II*\0", 4) + le32(8) + std::string("\4\0", 2) +
                                   entry(0x010F, 2, 4, 0x636261) + entry(0x0102, 3, 0x80000001u, 8) +
                                   entry(0x8769, 4, 1, 8) + entry(0x9286, 7, 0xFFFFFFFFu, 0) + le32(8));
  EXPECT_EQ(value(text, "exif.make"), "abc");
  EXPECT_EQ(value(text, "exif.bits_per_sample"), "<none>");

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
  EXPECT_EQ(written, 2);
  EXPECT_STREQ(lines_out, "exif.model=B;\r\nexif.date_time_original=C;\r\n");
}

}  // namespace
