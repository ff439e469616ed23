#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "markup/markup_text.h"
#include "markup/meta_markup.h"
#include "platform/os.h"
#include "support/test_support.h"
#include "vgm/vgm_common.h"

namespace {

// A pointer into the never-mapped first page: reading it faults.
const char *const kUnreadable = reinterpret_cast<const char *>(uintptr_t{64});

// A heap buffer of exactly `capacity` bytes holding `text`, so that the sanitizer sees any write past the capacity.
std::vector<char> bufferOf(const std::string &text, size_t capacity) {
  std::vector<char> buffer(capacity, '\x7f');
  std::memcpy(buffer.data(), text.c_str(), std::min(text.size() + 1, capacity));
  return buffer;
}

// A call's result and the text it left, in one line.
std::string after(int result, const char *text) { return std::to_string(result) + " " + text; }

std::string get(const char *text, const char *key, int out_size = 256) {
  std::vector<char> out(static_cast<size_t>(out_size));
  if (markup_Get(text, key, out.data(), out_size, nullptr, nullptr) == 0) return "<missing>";
  return out.data();
}

struct Fraction {
  int64_t num, den;
  bool operator==(const Fraction &other) const = default;
};
std::ostream &operator<<(std::ostream &out, const Fraction &f) { return out << f.num << "/" << f.den; }

Fraction toFraction(double value, int bound, int *result = nullptr) {
  int32_t num = -7, den = -7;
  const int r = markup_ToFraction(value, bound, &num, &den);
  if (result != nullptr) *result = r;
  return {num, den};
}

// Independent references, by exhaustive search in extended precision.

// Scans every d up to the bound: the closest n/d (on a tie the smaller d), and every d at which |d v - n| reaches a new
// minimum: the convergents of v (best approximations of the second kind).
Fraction scan(long double v, int64_t bound, std::vector<Fraction> *convergents = nullptr) {
  Fraction best{0, 0};
  long double best_error = std::numeric_limits<long double>::infinity(), least = best_error;
  for (int64_t d = 1; d <= bound; ++d) {
    const long double n = std::floor(v * d + 0.5L);
    if (std::fabs(n / d - v) < best_error) best_error = std::fabs(n / d - v), best = {static_cast<int64_t>(n), d};
    if (convergents != nullptr && std::fabs(v * d - n) < least) {
      least = std::fabs(v * d - n);
      convergents->push_back({static_cast<int64_t>(n), d});
    }
  }
  return best;
}

// The documented rules over the references: bounds below 100 take the best approximation, larger ones the last
// convergent within the bound (the one before when the two denominators together exceed it); values below 1 are worked
// on as reciprocals.
Fraction expectedFraction(double value, int bound) {
  const bool swapped = value < 0.99999;
  const double working = swapped ? 1.0 / value : value;
  Fraction f{};
  if (bound < 100) {
    f = scan(working, bound);
  } else {
    std::vector<Fraction> list;
    scan(working, bound, &list);
    f = list.back();
    if (list.size() >= 2 && list.back().den + list[list.size() - 2].den > bound) f = list[list.size() - 2];
  }
  return swapped ? Fraction{f.den, f.num} : f;
}

// The record's invariants after every operation.
void expectConsistent(const MetaMarkup &m) {
  ASSERT_NE(m.buffer, nullptr);
  EXPECT_EQ(m.text, static_cast<char *>(m.buffer));
  EXPECT_NE(GlobalFlags(m.buffer), GMEM_INVALID_HANDLE);
  EXPECT_GE(GlobalSize(m.buffer), m.capacity);
  const size_t length = strnlen(m.text, m.capacity);
  ASSERT_LT(length, m.capacity);
  EXPECT_EQ(m.size, length > 0 ? length + 1 : 0);
}

std::string value(MetaMarkup *m, const char *key) {
  char out[512];
  if (markup_MetaGet(m, key, out, sizeof out) == 0) return "<missing>";
  return out;
}

// Converts `packet` from a heap block of exactly its size (or, with `terminated`, its size plus a zero and size 0), so
// that the sanitizer sees any read past it. Checks that the result is the text's length.
std::string convert(const std::string &packet, bool terminated = false, int out_size = 1 << 16) {
  terminated = terminated || packet.empty();  // size 0 means "up to the zero byte"
  const size_t bytes = packet.size() + (terminated ? 1 : 0);
  std::unique_ptr<char[]> data(new char[bytes > 0 ? bytes : 1]);
  std::memcpy(data.get(), packet.data(), packet.size());
  if (terminated) data[packet.size()] = '\0';
  std::vector<char> out(static_cast<size_t>(out_size), '#');
  const int result = cmio_MarkupFromXMP(out.data(), out_size, data.get(), terminated ? 0 : static_cast<int>(bytes));
  EXPECT_EQ(result, static_cast<int>(strnlen(out.data(), out.size())));
  return out.data();
}

std::string described(const std::string &attributes, const std::string &elements = "") {
  return "<x:xmpmeta><rdf:RDF><rdf:Description rdf:about=''" + attributes + ">" + elements +
         "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

const char *const kPackets[] = {"BlueSquare.xmp",   "BlueSquare-tif.xmp",       "paris_exif_xmp_icc.xmp",
                                "exiftool-PNG.xmp", "exiftool-GIF.xmp",         "Arbitro.xmp",
                                "exiftool-XMP.xmp", "exiftool-ExtendedXMP.xmp", "exiftool-ExtendedXMP-extension.xmp"};

std::string packet(const std::string &name) { return vgmtest::readFile(vgmtest::dataFile("xmp/" + name)); }

// The string value of `field` in an ExifTool JSON output (no escapes needed here).
std::string exiftoolValue(const std::string &image, const std::string &field) {
  const std::string json = packet(image + ".exiftool.json");
  const size_t at = json.find("\"" + field + "\": \"");
  if (at == std::string::npos) return "<missing>";
  const size_t begin = at + field.size() + 5;
  return json.substr(begin, json.find('"', begin) - begin);
}

std::string line(const std::string &key, const std::string &value) { return key + "=" + value + ";\r\n"; }

TEST(XmpToMarkup, RealPackets) {
  // Against ExifTool's reading of the same images. BlueSquare writes "xap:" prefixes, and its
  // tiff:Orientation and exif:ColorSpace are attributes, which only the element table reads.
  using Fields = std::vector<std::pair<const char *, const char *>>;  // key, ExifTool field
  const Fields blue = {{"exif.title", "XMP-dc:Title"}, {"exif.image_description", "XMP-dc:Description"}};
  const struct { const char *packet, *image; Fields fields; } cases[] = {{"BlueSquare.xmp", "BlueSquare.jpg", blue},
               {"BlueSquare-tif.xmp", "BlueSquare.tif", blue},
               {"paris_exif_xmp_icc.xmp", "paris_exif_xmp_icc.jpg", {{"exif.software", "XMP-xmp:CreatorTool"}}},
               {"exiftool-PNG.xmp", "exiftool-PNG.png", {{"exif.artist", "XMP-dc:Creator"}}},
               {"exiftool-GIF.xmp", "exiftool-GIF.gif", {{"exif.title", "XMP-dc:Title"}}}};
  for (const auto &c : cases) {
    std::string expected;
    for (const auto &[key, field] : c.fields) expected += line(key, exiftoolValue(c.image, field));
    EXPECT_EQ(convert(packet(c.packet)), expected) << c.packet;
  }
  // Nothing of the table, and a UTF-16BE packet (its second byte is zero).
  for (const char *name : {"Arbitro.xmp", "exiftool-ExtendedXMP.xmp", "exiftool-ExtendedXMP-extension.xmp", "exiftool-XMP.xmp"})
    EXPECT_EQ(convert(packet(name)), "") << name;
}

TEST(XmpToMarkup, PropertyRules) {
  const std::pair<std::string, std::string> cases[] = {
      // Attribute pass, then element pass, then the element table.
      {described(" xmp:CreatorTool = 'Tool A'"), "exif.software=Tool A;\r\n"},
      {described("", "<xmp:CreatorTool>Tool B</xmp:CreatorTool>"), "exif.software=Tool B;\r\n"},
      {described(" xap:CreatorTool='old'"), ""},  // prefixes match as written
      {described(" dc:x=\" xmp:CreatorTool =x\" xmp:CreatorTool\t=\t= 'real'"), "exif.software=real;\r\n"},
      {described(" exifEX:LensModel=\"M\" aux:Lens=\"L\""), "exif.lens_model=L;\r\nexif.lens_model=M;\r\n"},
      {described(" xmp:CreatorTool='A'", "<xmp:CreatorTool>B</xmp:CreatorTool>"), "exif.software=A;\r\nexif.software=B;\r\n"},
      // An empty lens-info result does not count: the next name is used.
      {described(" aux:LensInfo=', ,' exif:LensInfo='24/1 70/1,28/10, 4, 99'"), "exif.lens_specification=24, 70, 2.8, 4;\r\n"},
      {"<exif:FNumber>28/10</exif:FNumber><exif:FocalLength>50</exif:FocalLength><exif:ExposureTime>1/60</exif:ExposureTime>",
       "exif.exposure_time=1/60 sec;\r\nexif.aperture=f/2.8;\r\nexif.focal_length=50 mm;\r\n"},
      {"<exif:FNumber>4</exif:FNumber><exif:FocalLength>n/a</exif:FocalLength>", "exif.aperture=f/4.0;\r\nexif.focal_length=n/a;\r\n"},
      {"<exif:ISOSpeedRatings><rdf:Seq><rdf:li>0200</rdf:li><rdf:li>400</rdf:li></rdf:Seq></exif:ISOSpeedRatings>",
       "exif.ISO_speed=ISO-200;\r\n"},
      {"<exif:Flash><exif:Fired>True</exif:Fired></exif:Flash>", ""},
      {"<exif:Flash>\n <exif:Mode>2</exif:Mode></exif:Flash>", "exif.flash=2;\r\n"},
      {"<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>One</rdf:li><rdf:li xml:lang='de'>Eins</rdf:li>"
       "<rdf:li xml:lang='fr'>Un</rdf:li></rdf:Alt></dc:title>",
       "exif.title=One;\r\n"},
      // Present but empty: a list without items, an empty element, "/>".
      {"<dc:title> </dc:title><tiff:Make></tiff:Make><tiff:Model/>", "exif.make=;\r\nexif.model=;\r\nexif.title=;\r\n"},
      // Dates: 16 characters kept whole; a zone after the 16th becomes the offset.
      {"<exif:DateTimeOriginal> 2005-09-07T15:07 </exif:DateTimeOriginal>", "exif.date_time_original=2005-09-07 15:07;\r\n"},
      {described(" xmp:CreateDate='2005-09-07T15:07:40-07:00'"), "exif.offset_time=-07:00;\r\nexif.date_time=2005-09-07 15:07:40;\r\n"},
      // Entities and character references decode; a decoded control is a space.
      {"<tiff:Make>Tom &amp; Jerry &lt;&#x263A;&#65;&#0;&#1114112;&unknown;</tiff:Make>",
       "exif.make=Tom & Jerry <\xE2\x98\xBA" "A &#1114112,&unknown,;\r\n"},
      {"<tiff:Model>a;b\r\nc  d</tiff:Model>", "exif.model=a,b c d;\r\n"},
      // Names match case-insensitively, but only whole and only as start tags.
      {"</tiff:Make><tiff:Makeup>x</tiff:Makeup><<TIFF:MAKE id='1'>Canon</tiff:make>", "exif.make=Canon;\r\n"},
  };
  for (const auto &[in, out] : cases) EXPECT_EQ(convert(in), out) << in;
}

TEST(XmpToMarkup, RefusalsAndBounds) {
  char out[8] = "xyz";
  const char *data = "<tiff:Make>A</tiff:Make>";
  EXPECT_EQ(std::tuple(cmio_MarkupFromXMP(nullptr, 8, data, 0), cmio_MarkupFromXMP(out, 0, data, 0),
                       cmio_MarkupFromXMP(out, 8, nullptr, 0), cmio_MarkupFromXMP(out, 8, data, -1)), std::tuple(0, 0, 0, 0));
  EXPECT_STREQ(out, "xyz");
  EXPECT_EQ(after(cmio_MarkupFromXMP(out, 8, reinterpret_cast<const void *>(uintptr_t{64}), 4), out), "0 ");

  // Every output size: the text is the full one cut, nothing past the buffer.
  const std::string blue = packet("BlueSquare.xmp"), full = convert(blue);
  for (int size = 1; size <= 64; ++size) {
    std::vector<char> buffer(static_cast<size_t>(size) + 8, '#');
    const int result = cmio_MarkupFromXMP(buffer.data(), size, blue.data(), static_cast<int>(blue.size()));
    EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(result)), full.substr(0, static_cast<size_t>(size - 1)));
    EXPECT_EQ(std::string(buffer.end() - 8, buffer.end()), "########") << size;
  }
}

TEST(XmpToMarkup, HostilePackets) {
  // Declared entities never expand.
  std::string laughs = "<!DOCTYPE r [<!ENTITY lol0 'lol'>";
  for (int i = 1; i <= 9; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " '";
    for (int j = 0; j < 10; ++j) laughs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "'>";
  }
  laughs += "]><dc:title><rdf:Alt><rdf:li>&lol9;</rdf:li></rdf:Alt></dc:title>";
  EXPECT_EQ(convert(laughs), "exif.title=&lol9,;\r\n");

  // A million nested elements: nesting is a counter. Without end tags the
  // outer dc:title never closes, so it is absent and nothing is written.
  std::string unclosed, closing;
  for (int i = 0; i < 1000000; ++i) unclosed += "<dc:title>", closing += "</dc:title>";
  unclosed += "<rdf:li>x</rdf:li>";
  EXPECT_EQ(convert(unclosed + closing), "exif.title=x;\r\n");
  EXPECT_EQ(convert(unclosed), "");

  EXPECT_EQ(convert(std::string(100000, '<') + "tiff:Make tiff:Make"), "");  // no '>' anywhere
  EXPECT_EQ(convert(described(" xmp:CreatorTool=\"GIMP", "<tiff:Make>Canon</tiff:Make>")), "exif.make=Canon;\r\n");
  const std::string huge = convert("<tiff:Make>" + std::string(4 << 20, 'a') + "</tiff:Make>");
  EXPECT_EQ(huge, "exif.make=" + std::string(4095 - 10, 'a') + ";\r\n");
  // The packet ends at its first zero byte.
  EXPECT_EQ(convert(std::string("<tiff:Model>X</tiff:Model><tiff:Make>Ca\0non</tiff:Make>", 55)), "exif.model=X;\r\n");
  EXPECT_EQ(convert("<tiff:Make>\xC3\x28\xFF\xFE</tiff:Make>"), "exif.make=\xC3\x28\xFF\xFE;\r\n");

  // Wide encodings hold zero bytes in every character: nothing is guessed.
  const std::string paris = packet("paris_exif_xmp_icc.xmp");
  for (size_t width : {2u, 4u})
    for (bool big_endian : {false, true}) {
      std::string wide;
      for (char c : paris) wide += std::string(width, '\0'), wide[wide.size() - (big_endian ? 1 : width)] = c;
      EXPECT_EQ(convert(wide), "") << width << big_endian;
    }

  // Every real packet cut at every length: only whole lines of the full text come out, in its order.
  for (const char *name : kPackets) {
    const std::string whole = packet(name), full = convert(whole);
    for (size_t size = 0; size <= whole.size(); ++size) {
      for (bool terminated : {false, true}) {
        const std::string cut = convert(whole.substr(0, size), terminated, 8192);
        ASSERT_EQ(full.compare(0, cut.size(), cut), 0) << name << " cut at " << size;
        ASSERT_TRUE(cut.empty() || cut.ends_with("\r\n")) << name << " cut at " << size;
        if (size == whole.size()) { EXPECT_EQ(cut, full); }
      }
    }
  }
}

}  // namespace

TEST(MarkupGet, TerminatorsMatchingOffsetsAndBadArguments) {
  // "=" finds nothing, the space after the key matches; the value keeps its space.
  const char *text = "exif.flash = fired;\r\nexif.mode=2;";
  char out[64];
  int start = -1, end = -1;
  ASSERT_EQ(markup_Get(text, "exif.flash", out, sizeof out, &start, &end), 1);
  EXPECT_EQ(std::tuple(std::string(out), start, end), std::tuple(" fired", 0, 18));  // up to the ';'
  const char *const cases[][3] = {
      {"a.b\t= v;", "a.b", " v"},                  // a tab after the key: the third terminator
      {"note=k x;\r\nk=real;", "k", "real"},       // "=" wins over an earlier space-terminated match
      {"exif.make=Orvine;", "EXIF.MAKE", "Orvine"},
      {"exif.camera_model=M2;\r\nmodel=other;", "model", "M2"},  // the tail of a longer key
      {"image.note=see exif.flash=on;\r\nexif.flash=off;", "exif.flash", "on"},  // inside a value
      {"a=1;\r\na=2;", "a", "1"}, {"a=", "a", ""},
      {"a=1\r\nb=2", "a", "1"}, {"a=1\r\nb=2", "b", "2"},  // line breaks and the end of the text end a value
      // Missing: a space-terminated match with no '=' after it is not a pair.
      {"exif.flash fired", "exif.flash", "<missing>"}, {"exif.flash=1;", "exif.flashes", "<missing>"},
      {"", "a", "<missing>"}, {"a=1;", "", "<missing>"},
  };
  for (const auto &c : cases) EXPECT_EQ(get(c[0], c[1]), c[2]) << c[0] << " / " << c[1];
  // Bad and unreadable arguments (unreadable counts as empty); a null text still empties the output.
  char junk[8] = "junk";
  EXPECT_EQ(std::tuple(markup_Get(nullptr, "a", junk, sizeof junk, nullptr, nullptr),
                       markup_Get("a=1;", nullptr, out, sizeof out, nullptr, nullptr),
                       markup_Get("a=1;", "a", out, 0, nullptr, nullptr), markup_Get("a=1;", "a", nullptr, 0, nullptr, nullptr),
                       markup_Get("a=1;", "a", nullptr, 0, &start, nullptr),
                       markup_Get(kUnreadable, "a", out, sizeof out, nullptr, nullptr),
                       markup_Get("a=1;", kUnreadable, out, sizeof out, nullptr, nullptr)),
            std::tuple(0, 0, 0, 0, 1, 0, 0));
  EXPECT_STREQ(junk, "");
  // A value cut to the output: `end` is the first byte that did not fit.
  const char *cut = "x=1;\r\nkey=abcdef;";
  ASSERT_EQ(markup_Get(cut, "key", out, 4, &start, &end), 1);
  EXPECT_EQ(std::tuple(std::string(out), start, end), std::tuple("abc", 6, 13));
  EXPECT_EQ(std::pair(markup_PairLength(cut, "key"), markup_PairLength(cut, "none")), std::pair(10, 0));  // "key=abcdef"
}

TEST(MarkupSet, ReplaceAppendAndCapacity) {
  const std::string tail = "  \r\n c=3;\r\n\tweird   line\r\n";
  struct Case { std::string text; size_t capacity; const char *key, *value; int result; std::string after; };
  const Case cases[] = {
      {"a=1;\r\nb=2;" + tail, 128, "B", "22", 3, "a=1;\r\nb=22;" + tail},  // the rest stays byte for byte
      {"k=old", 32, "k", "new", 3, "k=new;"},                                // a pair without ';' gets one
      {"key word;\r\nb=1;", 64, "key", "v", 3, "key word;\r\nb=v;"},       // the next '=' wherever it stands
      {"", 64, "image.dpi", "72", 1, "image.dpi=72;"},
      {"a=1;\r\n\r\n", 64, "b", "2", 1, "a=1;\r\nb=2;"},  // trailing breaks go: no blank line
      {"\r\n\n", 64, "b", "2", 1, "b=2;"},
      {"a=1;", 12, "long.key", "value", 1, "a=1;\r\nlong."},  // 11 characters and the terminator
      {"a=1;b=2;", 10, "a", "123456789", 3, "a=1234567"},
      {"", 1, "k", "v", 1, ""},
  };
  for (const Case &c : cases) {
    auto buffer = bufferOf(c.text, c.capacity);
    EXPECT_EQ(after(markup_Set(buffer.data(), static_cast<int>(c.capacity), c.key, c.value), buffer.data()),
              std::to_string(c.result) + " " + c.after) << c.text;
  }
  // A value taken from the text itself is read before the text moves.
  auto alias = bufferOf("a=1;b=hello", 64);
  EXPECT_EQ(after(markup_Set(alias.data(), 64, "a", alias.data() + 6), alias.data()), "3 a=hello;b=hello");
  // A text with no terminator inside its capacity is cut at its last byte.
  std::vector<char> full(16, 'x');
  EXPECT_EQ(after(markup_Set(full.data(), 16, "k", "v"), full.data()), "1 " + std::string(15, 'x'));
}

TEST(MarkupSet, FailuresLeaveTheTextAlone) {
  auto buffer = bufferOf("a=1;\r\nkey word", 64);
  // "key" matches but no '=' follows; empty and unreadable values are refused.
  for (auto [key, value] : {std::pair<const char *, const char *>{"key", "v"}, {"", "v"}, {nullptr, "v"}, {"a", nullptr},
                            {"a", ""}, {"new", ""}, {"a", kUnreadable}})
    EXPECT_EQ(markup_Set(buffer.data(), 64, key, value), 0) << (key ? key : "null");
  EXPECT_EQ(std::tuple(markup_Set(buffer.data(), 0, "a", "2"), markup_Set(nullptr, 64, "a", "2"),
                       markup_Set(const_cast<char *>(kUnreadable), 64, "a", "2")), std::tuple(0, 0, 0));
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_EQ(markup_Set(buffer.data(), 64, "a", "2"), 0);  // no memory for the tail copy
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_STREQ(buffer.data(), "a=1;\r\nkey word");
}

TEST(MarkupDelete, PrefixWholePairAndEmptyKey) {
  char text[] = "exif.make=A;\r\nexif.GPS.latitude=1;\r\nexif.GPS.longitude=2;\r\nimage.dpi=72;";
  EXPECT_EQ(after(markup_Delete(text, "exif.gps"), text), "1 exif.make=A;\r\nexif.GPS.longitude=2;\r\nimage.dpi=72;");
  EXPECT_EQ(after(markup_Delete(text, "image.dpi=72"), text), "1 exif.make=A;\r\nexif.GPS.longitude=2;\r\n");
  EXPECT_EQ(after(markup_Delete(text, ""), text), "1 exif.GPS.longitude=2;\r\n");  // the first pair
  EXPECT_EQ(markup_Delete(text, "missing"), 0);
  EXPECT_EQ(after(markup_Delete(text, kUnreadable), text), "0 exif.GPS.longitude=2;\r\n");
  // A pair without ';' goes to the end of the text.
  char last[] = "a=1; b=2";
  EXPECT_EQ(after(markup_Delete(last, "b"), last), "1 a=1; ");
  char empty[] = "";
  EXPECT_EQ(std::tuple(markup_Delete(empty, ""), markup_Delete(nullptr, "a"), markup_Delete(last, nullptr)), std::tuple(0, 0, 0));
}

TEST(MarkupNextPair, SpacedPairsCutsAndNoFinalSemicolon) {
  const char *text = "  key1 = value one ;\r\n key2  =  v2  ";
  std::vector<std::pair<std::string, std::string>> pairs;
  char key[kMarkupKeyMax + 1], value[kMarkupValueMax + 1];
  const char *at = text;
  int steps = 0;
  while (int next = markup_NextPair(at, key, value)) {
    pairs.emplace_back(key, value);
    at += next;
    ASSERT_LT(++steps, 10);
  }
  EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{{"key1", "value one"}, {"key2", "v2"}}));
  EXPECT_EQ(static_cast<size_t>(at - text), std::strlen(text));

  EXPECT_EQ(std::tuple(markup_NextPair("no pair here", key, value), markup_NextPair(" ;\r\n", key, value),
                       markup_NextPair(nullptr, key, value)), std::tuple(0, 0, 0));
  // A key with nothing after its '=' ends the text with an empty value.
  EXPECT_EQ(markup_NextPair("k== \r\n", key, value), 6);
  EXPECT_EQ(std::string(key) + "|" + value, "k|");
  // Long keys and values are cut; exactly sized heap buffers show a write past the limits.
  const std::string text2 = std::string(300, 'k') + "=" + std::string(5000, 'v') + ";\r\nz=1;";
  std::vector<char> k(kMarkupKeyMax + 1), v(kMarkupValueMax + 1);
  const int next = markup_NextPair(text2.c_str(), k.data(), v.data());
  EXPECT_EQ(std::string(k.data()) + "|" + v.data(), std::string(255, 'k') + "|" + std::string(4095, 'v'));
  EXPECT_EQ(next, 300 + 1 + 5000 + 3);
  EXPECT_TRUE(markup_NextPair(text2.c_str() + next, k.data(), v.data()) > 0 && std::string(k.data()) == "z");
}

TEST(MarkupAppendLine, SanitisesAndBounds) {
  auto buffer = bufferOf("a=1;\r\n", 128);
  EXPECT_EQ(after(markup_AppendLine(buffer.data(), 128, "exif.comment", "x;y\r\nz  w   end"), buffer.data()),
            "1 a=1;\r\nexif.comment=x,y z w end;\r\n");
  auto small = bufferOf("", 8);
  EXPECT_EQ(after(markup_AppendLine(small.data(), 8, "key", "value"), small.data()), "1 key=val");
  // Lines are cut at 4095 characters before the ";\r\n".
  std::vector<char> big(10000, '\0');
  EXPECT_EQ(after(markup_AppendLine(big.data(), 10000, "k", std::string(6000, 'v').c_str()), big.data()),
            "1 k=" + std::string(4093, 'v') + ";\r\n");
  EXPECT_EQ(std::tuple(markup_AppendLine(nullptr, 8, "k", "v"), markup_AppendLine(small.data(), 8, nullptr, "v")), std::tuple(0, 0));
}

TEST(MarkupCopyMissing, CopiesOnlyAbsentKeysUnderThePrefix) {
  auto dest = bufferOf("exif.make=Mine;\r\n", 256);
  const char *src = "EXIF.MAKE=Theirs;\r\n exif.model=M2;\r\nbrush.size=3;\r\n\texif.iso=200";
  EXPECT_EQ(after(markup_CopyMissing(dest.data(), 256, src, "exif."), dest.data()),
            "1 exif.make=Mine;\r\nexif.model=M2;\r\nexif.iso=200;");
  EXPECT_EQ(after(markup_CopyMissing(dest.data(), 256, src, nullptr), dest.data()),
            "1 exif.make=Mine;\r\nexif.model=M2;\r\nexif.iso=200;\r\nbrush.size=3;");
  // Copying a text into itself finds every key present.
  EXPECT_EQ(after(markup_CopyMissing(dest.data(), 256, dest.data(), ""), dest.data()),
            "1 exif.make=Mine;\r\nexif.model=M2;\r\nexif.iso=200;\r\nbrush.size=3;");
  EXPECT_EQ(std::tuple(markup_CopyMissing(nullptr, 256, src, ""), markup_CopyMissing(dest.data(), 256, nullptr, "")), std::tuple(0, 0));
}

TEST(MarkupTrim, BothEndsAndResults) {
  const struct { std::string text; const char *chars, *after; int result; } rows[] = {{" \t a b \r\n\f", nullptr, "a b", 1}, {" \r\n ", nullptr, "", -1}, {"", nullptr, "", 0},
              {"= 'x' =", "= '", "x", 1}};
  for (const auto &row : rows) {
    std::vector<char> text(row.text.begin(), row.text.end());
    text.push_back('\0');
    EXPECT_EQ(after(markup_Trim(text.data(), row.chars), text.data()), std::to_string(row.result) + " " + row.after) << row.text;
  }
  EXPECT_EQ(markup_Trim(nullptr, nullptr), 0);
}

TEST(MarkupBlock, RoundTripsEverySizeUpToTheLimitAndNoneBeyond) {
  std::vector<unsigned char> data(kMarkupBlockMax);
  uint32_t seed = 12345;
  for (auto &byte : data) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(seed >> 16);
  }
  std::vector<char> text(5000);
  std::vector<unsigned char> back(kMarkupBlockMax + 8);
  for (size_t size = 0; size <= static_cast<size_t>(kMarkupBlockMax); ++size) {
    const int length = markup_FormatBlock(text.data(), static_cast<int>(text.size()), data.data(), size);
    ASSERT_EQ(length, markup_BlockTextLength(size)) << size;
    ASSERT_EQ(std::string(text.data()).substr(0, std::to_string(size).size() + 2), std::to_string(size) + ", ");
    ASSERT_EQ(markup_ParseInt(text.data()), static_cast<int32_t>(size));
    const int decoded = markup_DecodeBlock(text.data(), back.data(), back.size());
    ASSERT_TRUE(decoded == static_cast<int>(size) && std::memcmp(back.data(), data.data(), size) == 0) << size;
  }
  // Through a markup text: the largest block survives a lookup whole.
  std::vector<char> markup(8000, '\0');
  ASSERT_EQ(markup_AppendBlock(markup.data(), 8000, "exif.maker_note", data.data(), kMarkupBlockMax), 1);
  std::vector<char> value(5000);
  ASSERT_EQ(markup_Get(markup.data(), "exif.maker_note", value.data(), 5000, nullptr, nullptr), 1);
  ASSERT_EQ(markup_DecodeBlock(value.data(), back.data(), back.size()), kMarkupBlockMax);
  EXPECT_EQ(std::memcmp(back.data(), data.data(), kMarkupBlockMax), 0);
  // A buffer that is one byte short gets nothing.
  EXPECT_TRUE(markup_FormatBlock(text.data(), markup_BlockTextLength(10), data.data(), 10) == 0 && text[0] == 0);
  // One byte over the limit: no text, and the key is left out.
  data.push_back(0xAB);
  EXPECT_EQ(std::pair(markup_BlockTextLength(data.size()), markup_FormatBlock(text.data(), 5000, data.data(), data.size())),
            std::pair(0, 0));
  auto small = bufferOf("a=1;\r\n", 8000);
  EXPECT_EQ(markup_AppendBlock(small.data(), 8000, "exif.maker_note", data.data(), data.size()), 0);
  EXPECT_STREQ(small.data(), "a=1;\r\n");
}

TEST(MarkupBlock, DecoderIsTolerant) {
  unsigned char out[16] = {};
  // '-' is 62, '_' and ',' are 63; whitespace after the comma is skipped.
  const auto decoded = [&](const char *text, size_t room = sizeof out) {
    const int n = markup_DecodeBlock(text, out, room);
    return std::vector<int>(out, out + std::max(n, 0));
  };
  EXPECT_EQ(decoded("3, \r\n-_-,"), std::vector<int>({0xFB, 0xFF, 0xBF}));
  EXPECT_EQ(decoded("2,  AQ *\r\n I=ignored"), std::vector<int>({0x01, 0x02}));  // other characters ignored; '=' ends the data
  EXPECT_EQ(decoded("+/+/"), std::vector<int>({0xFB, 0xFF, 0xBF}));  // without a comma the whole value is data
  EXPECT_EQ(decoded("4, AAAAAA==", 2), std::vector<int>({0, 0}));  // the output bound holds
  EXPECT_EQ(std::tuple(markup_DecodeBlock(nullptr, out, sizeof out), markup_DecodeBlock(kUnreadable, out, sizeof out)), std::tuple(0, 0));
}

TEST(MarkupNumbers, IntegersAndReals) {
  for (auto [text, value] : {std::pair{"  032", 32}, {"\t-12abc", -12}, {"0", 0}, {"0x1F", 0}, {"ISO-200", 0},
                             {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}, {nullptr, 0}})
    EXPECT_EQ(markup_ParseInt(text), value) << (text ? text : "null");
  for (auto [text, value] : {std::pair{"ISO-200", 200}, {"  0024 bits", 24}, {"none", 0}})
    EXPECT_EQ(markup_ParseDigitInt(text), value) << text;
  // 'e' in "exif" starts a number, which then fails; unreadable text reads as empty.
  for (auto [text, value] : {std::pair{"f/2.8", 2.8}, {"x=-1.5e3 m", -1500.0}, {"  +.25", 0.25}, {"72.000 (dpi)", 72.0},
                             {"exif", 0.0}, {"-inf", 0.0}, {"nan", 0.0}, {"1e999", HUGE_VAL}, {"1e-999", 0.0},
                             {kUnreadable, 0.0}})
    EXPECT_DOUBLE_EQ(markup_ParseReal(text), value) << (text == kUnreadable ? "unreadable" : text);
}

TEST(MarkupFraction, SpecialValuesAndDocumentedExamples) {
  struct Case { double value; int bound; Fraction expected; int result; };
  const Case cases[] = {
      {0.0, 1000, {0, 1}, 0}, {std::nan(""), 1000, {1, 0}, 0}, {HUGE_VAL, 1000, {1, 0}, 0},
      // Too small to tell from 0 once inverted, and too large for the fields.
      {1e-320, 1000, {0, 1}, 0}, {1e-12, 1000, {0, 1}, 0}, {3e9, 1000, {INT32_MAX, 1}, 0},
      {0.004, 1000, {1, 250}, 1}, {2.5, 1000, {5, 2}, 1},
      {1.0 / 8000, 1000, {1, 8000}, 1},  // the bound applies to the reciprocal
      {std::numbers::pi, 7, {22, 7}, 1}, {std::numbers::pi, 100, {22, 7}, 1},  // 311/99 is closer but not simpler
      {std::numbers::pi, 110, {22, 7}, 1},                         // 333/106 fits, but 106 + 7 > 110
      {std::numbers::pi, 1000, {355, 113}, 1}, {std::numbers::pi, 1000000, {1146408, 364913}, 1},
      // Small bounds: rounding, and the exhaustive search.
      {2.6, 0, {3, 1}, 1}, {0.3, 10, {3, 10}, 1}, {0.999995, 1000, {1, 1}, 1},
      // Negative values keep their sign on the numerator.
      {-2.5, 1000, {-5, 2}, 1}, {-0.004, 1000, {-1, 250}, 1},
  };
  for (const Case &c : cases) {
    int result = -1;
    EXPECT_EQ(toFraction(c.value, c.bound, &result), c.expected) << c.value << " bound " << c.bound;
    EXPECT_EQ(result, c.result) << c.value << " bound " << c.bound;
  }
  EXPECT_EQ(markup_ToFraction(2.5, 1000, nullptr, nullptr), 1);  // null outputs are tolerated
}

TEST(MarkupFraction, BoundIsRaisedWhileTheResultIsZero) {
  // Below 1 the first convergent is 0/1; the bound grows tenfold until the next one fits. (markup_ToFraction never gets
  // here: it inverts values below 1 first.)
  int32_t num = 0, den = 0;
  // Raising stops once the bound reached 1 000 000.
  for (auto [value, n, d] : {std::tuple{0.0004, 1, 2500}, std::tuple{1.0 / 500000, 1, 500000}, std::tuple{4e-7, 0, 1}}) {
    EXPECT_EQ(markup_FractionSearch(value, 100, &num, &den), 1) << value;
    EXPECT_EQ(Fraction({num, den}), Fraction({n, d})) << value;
  }
  // Without any convergent within the bound: a fixed denominator by magnitude.
  for (auto [value, n, d] : {std::tuple{0.5, 5000, 10000}, {5.25, 5250, 1000}, {50.0, 5000, 100}, {123.4, 1234, 10},
                             {5000.7, 5001, 1}}) {
    EXPECT_EQ(markup_FractionSearch(value, 0, &num, &den), 0) << value;
    EXPECT_EQ(Fraction({num, den}), Fraction({n, d})) << value;
  }
}

TEST(MarkupFraction, TableAgainstExhaustiveSearch) {
  const struct { double value; int bound; } table[] = {
      {std::numbers::pi, 7},         {std::numbers::pi, 50},          {std::numbers::pi, 100},         {std::numbers::pi, 110},        {std::numbers::pi, 1000},
      {std::numbers::pi, 1000000},   {std::numbers::e, 10},           {std::numbers::e, 1000},         {std::numbers::e, 100000},      {std::numbers::sqrt2, 99},
      {std::numbers::sqrt2, 1000},   {std::numbers::sqrt2, 1000000},  {1.6180339887, 500}, {0.004, 1000},      {1.0 / 3, 1000},
      {1.0 / 8000, 1000}, {1.0 / 60, 100},    {0.3, 10},           {0.7, 1000},        {0.0625, 1000},
      {2.8, 1000},       {5.6, 1000},         {1.4, 1000},         {29.97, 1000},      {23.976, 1000},
      {0.017, 1000},     {0.15, 1000},        {1.23456, 1000},     {72.0, 1000},       {299.7, 100000},
      {0.999995, 1000},  {1.00001, 1000},     {12.34, 37},         {0.123, 64},        {7.389, 3},
      {100.5, 1000},     {0.45, 200},         {2.0 / 7, 1000},     {0.333, 1000},      {1.0 / 1.4, 1000},
  };
  for (const auto &row : table) {
    const Fraction got = toFraction(row.value, row.bound);
    EXPECT_EQ(got, expectedFraction(row.value, row.bound)) << row.value << " bound " << row.bound;
    // Whatever was chosen, no fraction with a denominator up to its own comes closer (in the worked-on orientation).
    const bool swapped = row.value < 0.99999;
    const long double working = swapped ? 1.0 / row.value : row.value;
    const Fraction oriented = swapped ? Fraction{got.den, got.num} : got;
    ASSERT_GT(oriented.den, 0) << row.value;
    EXPECT_LE(oriented.den, std::max(row.bound, 1)) << row.value;
    EXPECT_EQ(scan(working, oriented.den), oriented) << row.value << " bound " << row.bound;
  }
}

TEST(MetaMarkup, InitAndFree) {
  MetaMarkup m;
  std::memset(&m, 0xCD, sizeof m);
  ASSERT_EQ(markup_MetaInit(&m), 1);
  expectConsistent(m);
  EXPECT_EQ(std::tuple(m.capacity, m.size), std::tuple(4096u, 0u));
  EXPECT_EQ(std::string(m.text, m.capacity), std::string(4096, '\0'));
  [[maybe_unused]] HGLOBAL block = m.buffer;
  const MetaMarkup zero{};
  EXPECT_EQ(markup_MetaFree(&m), 1);
  EXPECT_EQ(std::memcmp(&m, &zero, sizeof m), 0);
#ifndef _WIN32  // the system cannot tell a freed fixed block from a live one
  EXPECT_EQ(GlobalFlags(block), UINT{GMEM_INVALID_HANDLE});
  // A record whose block someone else already freed is only zeroed.
  ASSERT_EQ(markup_MetaInit(&m), 1);
  GlobalFree(m.buffer);
  EXPECT_TRUE(markup_MetaFree(&m) == 1 && m.buffer == nullptr);
#endif
  EXPECT_EQ(std::tuple(markup_MetaFree(nullptr), markup_MetaInit(nullptr)), std::tuple(0, 0));
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_TRUE(markup_MetaInit(&m) == 0 && m.buffer == nullptr);
}

TEST(MetaMarkup, InitFromData) {
  // Only `size` bytes are taken, a NUL inside them ends the text, and unreadable data is empty data.
  const std::string big(10000, 'z');
  for (auto [data, size, text] : {std::tuple{"a=1;\r\nb=2;", 10, "a=1;\r\nb=2;"}, std::tuple{"a=1;\r\nb=2;", 4, "a=1;"},
                                  std::tuple{"x=1\0y=2", 7, "x=1"}, std::tuple{big.c_str(), 10000, big.c_str()},
                                  std::tuple{reinterpret_cast<const char *>(uintptr_t{64}), 100, ""}}) {
    MetaMarkup m{};
    ASSERT_EQ(markup_MetaInitFromData(&m, data, static_cast<uint32_t>(size)), 1);
    expectConsistent(m);
    EXPECT_EQ(std::string(m.text), text);
    EXPECT_TRUE(size != 10000 || m.capacity == (10000u + 4 + 511) / 256 * 256) << m.capacity;  // grown by the rule
    markup_MetaFree(&m);
  }
}

TEST(MetaMarkup, GrowsAcrossManySets) {
  MetaMarkup m{};
  ASSERT_EQ(markup_MetaInit(&m), 1);
  uint32_t last_capacity = m.capacity;
  int growths = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string key = "image.key" + std::to_string(i), v = "value-" + std::to_string(i * 7);
    ASSERT_EQ(markup_MetaSet(&m, key.c_str(), v.c_str()), 1) << i;
    if (m.capacity != last_capacity) {
      ++growths;
      EXPECT_EQ(m.capacity % 256, 0u);
      last_capacity = m.capacity;
    }
    EXPECT_GT(m.capacity, m.size);
  }
  expectConsistent(m);
  EXPECT_GT(growths, 5);
  for (int i = 0; i < 2000; i += 37) {
    const std::string key = "image.key" + std::to_string(i);
    EXPECT_EQ(value(&m, (key + "=").c_str()), "<missing>");  // the '=' is part of the pattern
    EXPECT_EQ(value(&m, key.c_str()), "value-" + std::to_string(i * 7));
  }
  // Replacing keeps the pair count: no key appears twice.
  ASSERT_EQ(markup_MetaSet(&m, "image.key5", "changed"), 1);
  const std::string text = m.text;
  EXPECT_TRUE(value(&m, "image.key5") == "changed" && text.find("image.key5=") == text.rfind("image.key5="));
  markup_MetaFree(&m);

  // The exact rule: room is made when capacity <= size + extra + 16.
  ASSERT_EQ(markup_MetaInit(&m), 1);
  const std::string long_value(4100, 'v');
  ASSERT_EQ(markup_MetaSet(&m, "k", long_value.c_str()), 1);
  EXPECT_EQ(m.capacity, (0u + (1 + 4100 + 16) + 511) / 256 * 256);
  // Cut by the 512-byte output only; without an output the pair's length.
  EXPECT_EQ(std::pair(value(&m, "k").size(), markup_MetaGet(&m, "k", nullptr, 0)), std::pair(size_t{511}, 1 + 1 + 4100));
  markup_MetaFree(&m);
}

TEST(MetaMarkup, FailedGrowthLeavesTheRecordAsItWas) {
  MetaMarkup m{};
  ASSERT_EQ(markup_MetaInit(&m), 1);
  const std::string filler(4000, 'f');
  ASSERT_EQ(markup_MetaSet(&m, "a", filler.c_str()), 1);
  const MetaMarkup before = m;
  const std::string text_before = m.text;
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_EQ(markup_MetaSet(&m, "b", filler.c_str()), 0);
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_TRUE(std::memcmp(&m, &before, sizeof m) == 0 && m.text == text_before);
  // A record that does not hold a live block is refused, not written.
  char stack[64] = "a=1;";
  MetaMarkup forged{stack, 5, stack, sizeof stack};
  EXPECT_EQ(std::pair(markup_MetaSet(&forged, "b", "2"), markup_MetaGet(&forged, "a", nullptr, 0)), std::pair(0, 0));
  EXPECT_STREQ(stack, "a=1;");
  markup_MetaFree(&m);
}

TEST(MetaMarkup, MergeWithDuplicateKeys) {
  MetaMarkup m{};
  ASSERT_EQ(markup_MetaInitFromData(&m, "keep=1;", 7), 1);
  ASSERT_EQ(markup_MetaMerge(&m, "  a = 1 ;\r\nb=2;\r\nA=3;\r\nkeep=2"), 1);
  EXPECT_STREQ(m.text, "keep=2;\r\na=3;\r\nb=2;");
  EXPECT_EQ(std::tuple(markup_MetaMerge(&m, " \r\n\t"), markup_MetaMerge(&m, nullptr), markup_MetaMerge(nullptr, "a=1;")), std::tuple(0, 0, 0));
  // Many short pairs gain line breaks: every one of them must still fit.
  std::string many;
  for (int i = 0; i < 2000; ++i) many += "k" + std::to_string(i) + "=v;";
  ASSERT_EQ(markup_MetaMerge(&m, many.c_str()), 1);
  expectConsistent(m);
  EXPECT_EQ(value(&m, "k0") + value(&m, "k1999"), "vv");
  // Merging the record's own text moves nothing it still reads.
  const std::string before = m.text;
  ASSERT_EQ(markup_MetaMerge(&m, m.text), 1);
  EXPECT_EQ(std::string(m.text), before);
  markup_MetaFree(&m);
}

TEST(MetaMarkup, BitsPerPixel) {
  MetaMarkup m{};
  const auto bpp = [&m] {  // the result and what it left in a -1
    int32_t bits = -1;
    const int32_t result = markup_MetaGetBpp(&m, &bits);
    return std::pair(result, bits);
  };
  ASSERT_EQ(markup_MetaInitFromData(&m, "image.bpp=  032;", 16), 1);
  EXPECT_EQ(bpp(), std::pair(1, 32));
  ASSERT_EQ(markup_MetaSetBpp(&m, 24), 1);
  EXPECT_TRUE(bpp() == std::pair(1, 24) && std::string(m.text) == "image.bpp=24;");
  ASSERT_EQ(markup_MetaSetBpp(&m, 0), 1);
  EXPECT_EQ(bpp(), std::pair(0, -1));  // 0 counts as absent
  markup_MetaFree(&m);
  ASSERT_EQ(markup_MetaInitFromData(&m, "exif.make=X;", 12), 1);
  EXPECT_TRUE(bpp() == std::pair(0, -1) && markup_MetaGetBpp(&m, nullptr) == 0);
  markup_MetaFree(&m);
}

