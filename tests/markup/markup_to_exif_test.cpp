// Markup to EXIF: worked values read back entry by entry with libexif, the
// round trip over the camera files, ExifTool and libjpeg-turbo reading the
// blocks spliced into real JPEGs, the size limit and broken input.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <libexif/exif-data.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <map>
#include <set>

#include "exif_fixture.h"
#include "markup/markup_to_exif.h"

namespace {

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

double number(const std::string &text, size_t *at) {  // the next number from *at on
  const size_t start = text.find_first_of("-.0123456789", *at);
  if (start == std::string::npos) return *at = text.size(), NAN;
  char *end = nullptr;
  const double v = std::strtod(text.c_str() + start, &end);
  return *at = std::max(start + 1, static_cast<size_t>(end - text.c_str())), v;
}
// "key: first -> second" for each key (first occurrence) whose value differs
// in text and in its numbers by more than the writer's resolution (GPS
// angles 1e-5 minute, the rest thousandths).
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
  // The new block ("" for result 0, with *data and *size cleared); the
  // caller's block goes in as a global one.
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

  // DateTime of IFD 0 stays; the key goes into IFD 2. Tags libexif leaves
  // empty are written when the block holds them.
  Loaded base("", true);
  for (auto [ifd, tag] : {std::pair{0, 0x0132u}, {2, 0xA430u}, {2, 0xA420u}}) {
    ExifEntry *e = exif_entry_new();
    exif_content_add_entry(base.data->ifd[ifd], e);
    exif_entry_initialize(e, EXIF_TAG_DATE_TIME);  // an ASCII entry of 20 bytes
    e->tag = static_cast<ExifTag>(tag);
    exif_entry_unref(e);
  }
  const std::string kept = base.entry(0, 0x0132);
  unsigned char *saved = nullptr;
  unsigned saved_size = 0;
  exif_data_save_data(base.data, &saved, &saved_size);
  const Loaded rewritten(toExif("exif.date_time=2020:02:02 02:02:02;exif.camera_owner_name=T;exif.image_unique_id=U;",
                                std::string(reinterpret_cast<char *>(saved), saved_size)), true);
  free(saved);
  EXPECT_EQ(rewritten.entry(0, 0x0132), kept);
  EXPECT_EQ(rewritten.entry(2, 0x0132), "ASCII[20] 2020:02:02 02:02:02\\x00");
  EXPECT_EQ(rewritten.entry(2, 0xA430), "ASCII[2] T\\x00");
  EXPECT_EQ(rewritten.entry(2, 0xA420), "ASCII[2] U\\x00");

  // No "exif." anywhere (case aside): nothing happens.
  HGLOBAL data = reinterpret_cast<HGLOBAL>(uintptr_t{0x1234});
  uint32_t size = 77;
  EXPECT_EQ(markup_ToEXIF("image.dpi=72;exif_make=x;", &data, &size), 0);
  EXPECT_EQ(data, reinterpret_cast<HGLOBAL>(uintptr_t{0x1234}));
  EXPECT_EQ(size, 77u);
  EXPECT_EQ(Loaded(toExif("EXIF.MAKE=Loud;"), false).entry(0, 0x010F), "ASCII[5] Loud\\x00");
}

// Keys that may still differ after a round trip. Always: the software (our
// name replaces it), a maker note libexif re-serialises, GPS version 2.2
// added where positions stand without one. New blocks only: entries libexif
// cannot create (sub-second times, subject area, unique id, interoperability
// sizes), a components configuration it creates with four bytes, unknown
// lists of which only the first value is written, and a maker note in IFD 0,
// which libexif's load drops there.
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
  std::string current;
  for (char line[65536]; std::fgets(line, sizeof line, tool);) {
    const std::string row(line);
    const size_t open = row.find('"'), colon = row.find("\": ");
    if (colon == std::string::npos) continue;
    std::string v = row.substr(colon + 3, row.find_last_not_of(",\r\n") - colon - 2);
    if (v[0] == '"') v = v.substr(1, v.size() - 2);
    if (row.compare(open, 12, "\"SourceFile\"") == 0) current = v;
    read[current][row.substr(open + 1, colon - open - 1)] = v;
  }
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
  EXPECT_EQ(markup_ToEXIF(nullptr, &data, &size), 0);
  EXPECT_EQ(markup_ToEXIF("exif.make=X;", nullptr, &size), 0);
  EXPECT_EQ(markup_ToEXIF("exif.make=X;", &data, nullptr), 0);
  EXPECT_EQ(markup_ToEXIF(reinterpret_cast<const char *>(uintptr_t{64}), &data, &size), 0);

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
