#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "markup/xmp_scanner.h"
#include "support/test_support.h"
#include "vgm/vgm_common.h"

namespace {

// Converts `packet` from a heap block of exactly its size (or, with
// `terminated`, its size plus a zero and size 0), so that the sanitizer
// sees any read past it. Checks that the result is the text's length.
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
  const struct {
    const char *packet, *image;
    Fields fields;
  } cases[] = {{"BlueSquare.xmp", "BlueSquare.jpg", blue},
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

TEST(XmpToMarkup, ScannerSpans) {
  const std::string text = "<a:b x='1'><a:b>in</a:b> tail</a:b>";
  xmp_Element element{};
  ASSERT_EQ(xmp_FindElement(text.data(), text.size(), "A:B", &element), 1);
  EXPECT_EQ(text.substr(element.attr_offset, element.attr_length), " x='1'");
  EXPECT_EQ(text.substr(element.content_offset, element.content_length), "<a:b>in</a:b> tail");
  // Cut before its matching end tag, the element is absent.
  for (size_t size = 0; size < text.size(); ++size) EXPECT_EQ(xmp_FindElement(text.data(), size, "a:b", &element), 0);
  EXPECT_EQ(xmp_FindElement(text.data(), text.size(), "a", &element), 0);

  size_t offset = 0, length = 0;
  const std::string attributes = " ab='no' b\t=\t= \"yes\" c='open";
  ASSERT_EQ(xmp_FindAttribute(attributes.data(), attributes.size(), "B", &offset, &length), 1);
  EXPECT_EQ(attributes.substr(offset, length), "yes");
  EXPECT_EQ(xmp_FindAttribute(attributes.data(), attributes.size(), "c", &offset, &length), 0);
  EXPECT_EQ(xmp_FindAttribute(attributes.data(), 7, "ab", &offset, &length), 0);  // quote cut off
}

TEST(XmpToMarkup, RefusalsAndBounds) {
  char out[8] = "xyz";
  const char *data = "<tiff:Make>A</tiff:Make>";
  EXPECT_EQ(cmio_MarkupFromXMP(nullptr, 8, data, 0), 0);
  EXPECT_EQ(cmio_MarkupFromXMP(out, 0, data, 0), 0);
  EXPECT_EQ(cmio_MarkupFromXMP(out, 8, nullptr, 0), 0);
  EXPECT_EQ(cmio_MarkupFromXMP(out, 8, data, -1), 0);
  EXPECT_STREQ(out, "xyz");
  EXPECT_EQ(cmio_MarkupFromXMP(out, 8, reinterpret_cast<const void *>(uintptr_t{64}), 4), 0);
  EXPECT_STREQ(out, "");

  // Every output size: the text is the full one cut, nothing past the buffer.
  const std::string blue = packet("BlueSquare.xmp");
  const std::string full = convert(blue);
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
  std::string nested;
  const int depth = 1000000;
  for (int i = 0; i < depth; ++i) nested += "<dc:title>";
  std::string unclosed = nested + "<rdf:li>x</rdf:li>";
  nested = unclosed;
  for (int i = 0; i < depth; ++i) nested += "</dc:title>";
  EXPECT_EQ(convert(nested), "exif.title=x;\r\n");
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

  // Every real packet cut at every length: only whole lines of the full
  // text come out, in its order.
  for (const char *name : kPackets) {
    const std::string whole = packet(name);
    const std::string full = convert(whole);
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
