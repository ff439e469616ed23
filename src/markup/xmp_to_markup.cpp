// XMP packet to markup lines: a fixed set of properties under the keys the
// EXIF converter writes, so that later stages treat both sources alike.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "markup/markup_internal.h"
#include "markup/markup_text.h"
#include "markup/xmp_scanner.h"
#include "platform/os.h"
#include "vgm/vgm_common.h"

namespace {

// Values are cut to this buffer (terminator included).
constexpr size_t kValueCapacity = 4096;

enum class Rule { kNone, kDate, kLensInfo, kSeconds, kFNumber, kFocalLength, kIso, kFirstItem, kFlashMode };

struct Property {
  const char *names[5];    // tried in order; the first one present is used
  const char *key;
  const char *offset_key;  // the date rule's second key
  Rule rule;
};

// Read first from the attributes of the first rdf:Description start tag,
// then as elements anywhere.
constexpr Property kBothPasses[] = {
    {{"xmp:CreatorTool"}, "exif.software", nullptr, Rule::kNone},
    {{"xmp:CreateDate"}, "exif.date_time", "exif.offset_time", Rule::kDate},
    {{"xmp:Lens", "aux:Lens", "exif:Lens", "XMP:Lens"}, "exif.lens_model", nullptr, Rule::kNone},
    {{"xmp:LensModel", "aux:LensModel", "exif:LensModel", "XMP:LensModel", "exifEX:LensModel"},
     "exif.lens_model", nullptr, Rule::kNone},
    {{"xmp:LensInfo", "aux:LensInfo", "exif:LensInfo", "XMP:LensInfo"}, "exif.lens_specification", nullptr,
     Rule::kLensInfo},
    {{"xmp:LensSerialNumber", "aux:LensSerialNumber", "exif:LensSerialNumber", "XMP:LensSerialNumber"},
     "exif.lens_serial_number", nullptr, Rule::kNone},
    {{"xmp:SerialNumber", "aux:SerialNumber", "exif:SerialNumber", "XMP:SerialNumber"}, "exif.body_serial_number",
     nullptr, Rule::kNone},
};

constexpr Property kElementsOnly[] = {
    {{"tiff:Make"}, "exif.make", nullptr, Rule::kNone},
    {{"tiff:Model"}, "exif.model", nullptr, Rule::kNone},
    {{"tiff:Orientation"}, "exif.orientation", nullptr, Rule::kNone},
    {{"dc:creator"}, "exif.artist", nullptr, Rule::kFirstItem},
    {{"dc:title"}, "exif.title", nullptr, Rule::kFirstItem},
    {{"dc:description"}, "exif.image_description", nullptr, Rule::kFirstItem},
    {{"exif:ColorSpace"}, "exif.color_space", nullptr, Rule::kNone},
    {{"exif:DateTime"}, "exif.date_time", "exif.offset_time", Rule::kDate},
    {{"exif:DateTimeOriginal"}, "exif.date_time_original", "exif.offset_time_original", Rule::kDate},
    {{"exif:DateTimeDigitized"}, "exif.date_time_digitized", "exif.offset_time_digitized", Rule::kDate},
    {{"exif:ExposureTime"}, "exif.exposure_time", nullptr, Rule::kSeconds},
    {{"exif:FNumber"}, "exif.aperture", nullptr, Rule::kFNumber},
    {{"exif:FocalLength"}, "exif.focal_length", nullptr, Rule::kFocalLength},
    {{"exif:ISOSpeedRatings"}, "exif.ISO_speed", nullptr, Rule::kIso},
    {{"exif:Flash"}, "exif.flash", nullptr, Rule::kFlashMode},
};

constexpr const char *kDescription = "rdf:Description";
constexpr size_t kNoTag = SIZE_MAX;

bool isTagTerminator(char c) { return c == '>' || c == '/' || markup_IsLineSpace(c); }

size_t nameCount(const Property &property) {
  size_t count = 0;
  while (count < 5 && property.names[count] != nullptr) ++count;
  return count;
}

// The first place where each name the converter asks for stands as a
// candidate in a span (a tag name after '<', an attribute name after a
// blank), found in one pass, so that forty lookups cost one scan rather
// than forty. xmp_FindElementIn and xmp_FindAttribute then start right
// there and see the same first match a scan of the whole span would.
// Slots follow the tables: for tags rdf:Description, then every name of
// both tables in order; for attributes the names of the first table.
class NameIndex {
 public:
  enum class Kind { kTags, kAttributes };

  NameIndex(Kind kind, const char *data, size_t size) {
    if (kind == Kind::kTags) add(kDescription);
    for (const Property &property : kBothPasses) addAll(property);
    if (kind == Kind::kTags) {
      for (const Property &property : kElementsOnly) addAll(property);
      scanTags(data, size);
    } else {
      scanAttributes(data, size);
    }
  }

  size_t first(size_t slot) const { return first_[slot]; }

 private:
  static constexpr size_t kNameMax = 32;
  static constexpr size_t kCapacity = 48;

  void add(const char *name) {
    names_[count_] = name;
    lengths_[count_] = std::strlen(name);
    first_[count_] = kNoTag;
    ++count_;
  }
  void addAll(const Property &property) {
    for (size_t i = 0; i < nameCount(property); ++i) add(property.names[i]);
  }

  // Records `position` for every name still unseen that equals the token.
  void offer(const char *token, size_t length, size_t position) {
    for (size_t i = 0; i < count_; ++i) {
      if (first_[i] != kNoTag || lengths_[i] != length) continue;
      size_t same = 0;
      while (same < length && markup_AsciiLower(token[same]) == markup_AsciiLower(names_[i][same])) ++same;
      if (same == length) first_[i] = position;
    }
  }

  void scanTags(const char *data, size_t size) {
    for (size_t at = 0;;) {
      const void *open = std::memchr(data + at, '<', size - at);
      if (open == nullptr) return;
      const size_t tag = static_cast<size_t>(static_cast<const char *>(open) - data);
      at = tag + 1;
      size_t length = 0;
      while (length <= kNameMax && at + length < size && !isTagTerminator(data[at + length]) &&
             data[at + length] != '<') {
        ++length;
      }
      if (length > 0 && length <= kNameMax && at + length < size && isTagTerminator(data[at + length])) {
        offer(data + at, length, tag);
      }
    }
  }

  void scanAttributes(const char *data, size_t size) {
    auto ends = [](char c) { return markup_IsLineSpace(c) || c == '='; };
    for (size_t at = 1; at < size;) {
      if (!markup_IsLineSpace(data[at - 1]) || ends(data[at])) {
        ++at;
        continue;
      }
      size_t length = 0;
      while (length <= kNameMax && at + length < size && !ends(data[at + length])) ++length;
      if (length <= kNameMax && at + length < size) offer(data + at, length, at - 1);  // from its blank
      at += length;  // no candidate starts inside a token
    }
  }

  const char *names_[kCapacity];
  size_t lengths_[kCapacity];
  size_t first_[kCapacity];
  size_t count_ = 0;
};

// Length of the decimal number at `text` (sign, digits, fraction, exponent);
// 0 when none starts there. Hexadecimal and "inf" are not numbers here.
size_t decimalLength(const char *text) {
  size_t at = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  size_t digits = 0;
  while (markup_IsDigit(text[at])) ++at, ++digits;
  if (text[at] == '.') {
    ++at;
    while (markup_IsDigit(text[at])) ++at, ++digits;
  }
  if (digits == 0) return 0;
  if (text[at] == 'e' || text[at] == 'E') {
    size_t exponent = at + 1;
    if (text[exponent] == '+' || text[exponent] == '-') ++exponent;
    if (markup_IsDigit(text[exponent])) {
      while (markup_IsDigit(text[exponent])) ++exponent;
      at = exponent;
    }
  }
  return at;
}

double parseDecimal(char *text, size_t *length) {
  *length = decimalLength(text);
  if (*length == 0) return 0.0;
  const char saved = text[*length];
  text[*length] = '\0';  // strtod must not read on into a longer number form
  const double value = std::strtod(text, nullptr);
  text[*length] = saved;
  return value;
}

// A number, or a fraction as its quotient. A zero denominator (EXIF's
// "unknown") gives 0 rather than an infinity.
double parseQuotient(char *text) {
  size_t length = 0;
  double value = parseDecimal(text, &length);
  if (length > 0 && text[length] == '/') {
    size_t denominator_length = 0;
    const double denominator = parseDecimal(text + length + 1, &denominator_length);
    if (denominator_length > 0) value = denominator != 0.0 ? value / denominator : 0.0;
  }
  return value;
}

class Converter {
 public:
  Converter(char *out, int out_size, const char *data, size_t size)
      : out_(out), out_size_(out_size), data_(data), size_(size), tags_(NameIndex::Kind::kTags, data, size) {}

  void run() {
    xmp_Element description{};
    if (findIndexed(0, kDescription, &description) && description.attr_length > 0) {
      const char *attributes = data_ + description.attr_offset;
      const size_t size = description.attr_length;
      const NameIndex index(NameIndex::Kind::kAttributes, attributes, size);
      size_t slot = 0;
      for (const Property &property : kBothPasses) {
        const size_t count = nameCount(property);
        for (size_t i = 0; i < count; ++i) {
          const size_t first = index.first(slot + i);
          size_t offset = 0;
          size_t length = 0;
          if (first != kNoTag &&
              xmp_FindAttribute(attributes + first, size - first, property.names[i], &offset, &length) &&
              write(property, attributes + first + offset, length)) {
            break;
          }
        }
        slot += count;
      }
    }
    size_t slot = 1;
    for (const Property &property : kBothPasses) slot += writeElement(property, slot);
    for (const Property &property : kElementsOnly) slot += writeElement(property, slot);
  }

 private:
  bool findIndexed(size_t slot, const char *name, xmp_Element *element) const {
    const size_t first = tags_.first(slot);
    if (first == kNoTag || !xmp_FindElementIn(data_ + first, size_ - first, name, element)) return false;
    element->start += first;
    element->attr_offset += first;
    element->content_offset += first;
    return true;
  }

  // The element's value: its content, or that of the first child the rule
  // names. False when the rule finds nothing to write.
  bool valueOf(const xmp_Element &element, Rule rule, const char **value, size_t *length) const {
    *value = data_ + element.content_offset;
    *length = element.has_content ? element.content_length : 0;
    if (rule != Rule::kFirstItem && rule != Rule::kFlashMode) return true;
    xmp_Element child{};
    const bool found =
        element.has_content &&
        xmp_FindElementIn(*value, *length, rule == Rule::kFirstItem ? "rdf:li" : "exif:Mode", &child);
    if (!found) {
      *length = 0;  // a list without items is present but empty
      return rule == Rule::kFirstItem;
    }
    *value += child.content_offset;
    *length = child.has_content ? child.content_length : 0;
    return true;
  }

  // Writes the first of the property's elements present; returns the slots
  // its names take.
  size_t writeElement(const Property &property, size_t slot) {
    const size_t count = nameCount(property);
    for (size_t i = 0; i < count; ++i) {
      xmp_Element element{};
      const char *value = nullptr;
      size_t length = 0;
      if (!findIndexed(slot + i, property.names[i], &element)) continue;
      if (!valueOf(element, property.rule, &value, &length)) break;
      if (write(property, value, length)) break;
    }
    return count;
  }

  void line(const char *key, const char *value) { markup_AppendLine(out_, out_size_, key, value); }

  // Converts and writes one property; false when its value does not count
  // as present (an empty lens-info result).
  bool write(const Property &property, const char *raw, size_t raw_length) {
    char value[kValueCapacity];
    xmp_DecodeValue(raw, raw_length, value, sizeof value);
    char text[kValueCapacity + 16];
    // Present but empty: the key with an empty value, whatever the rule.
    if (value[0] == '\0' && property.rule != Rule::kLensInfo) {
      line(property.key, "");
      return true;
    }
    switch (property.rule) {
      case Rule::kDate:
        writeDate(property, value);
        return true;
      case Rule::kLensInfo:
        lensInfo(value, text, sizeof text);
        if (text[0] == '\0') return false;
        line(property.key, text);
        return true;
      case Rule::kSeconds:
        std::snprintf(text, sizeof text, "%s sec", value);
        line(property.key, text);
        return true;
      case Rule::kFNumber:
      case Rule::kFocalLength:
        if (char *number = std::strpbrk(value, "-+0123456789"); number != nullptr) {
          const double quotient = parseQuotient(number);
          if (property.rule == Rule::kFNumber) {
            std::snprintf(text, sizeof text, "f/%.1f", quotient);
          } else {
            std::snprintf(text, sizeof text, "%g mm", quotient);
          }
          line(property.key, text);
        } else {
          line(property.key, value);
        }
        return true;
      case Rule::kIso: {
        const char *digits = std::strpbrk(value, "123456789");
        const int run = digits != nullptr ? static_cast<int>(std::strspn(digits, "0123456789")) : 0;
        std::snprintf(text, sizeof text, "ISO-%.*s", run, digits != nullptr ? digits : "");
        line(property.key, text);
        return true;
      }
      default:
        line(property.key, value);
        return true;
    }
  }

  void writeDate(const Property &property, char *value) {
    markup_Trim(value, nullptr);
    if (std::strlen(value) > 16) {
      if (char *zone = std::strpbrk(value + 16, "+-"); zone != nullptr) {
        line(property.offset_key, zone);
        *zone = '\0';
      }
    }
    for (char *c = value; *c != '\0'; ++c) {
      if (*c == 'T') *c = ' ';
    }
    line(property.key, value);
  }

  // Up to four numbers separated by commas or blanks, each as "%g, ", with
  // the trailing separators trimmed. Blanks other than the space count as
  // separators too: element content may span lines.
  static void lensInfo(char *value, char *text, size_t text_size) {
    static constexpr const char *kSeparators = ", \t\r\n";
    size_t used = 0;
    text[0] = '\0';
    char *piece = value;
    for (int pieces = 0; pieces < 4; ++pieces) {
      piece += std::strspn(piece, kSeparators);
      if (*piece == '\0') break;
      char *end = piece + std::strcspn(piece, kSeparators);
      const char saved = *end;
      *end = '\0';
      const int written = std::snprintf(text + used, text_size - used, "%g, ", parseQuotient(piece));
      if (written > 0) used += static_cast<size_t>(written);
      *end = saved;
      piece = end;
    }
    markup_Trim(text, kSeparators);
  }

  char *out_;
  int out_size_;
  const char *data_;
  size_t size_;
  NameIndex tags_;
};

}  // namespace

int xmp_MarkupFromPacket(char *out, int out_size, const char *data, size_t size) {
  if (out == nullptr || out_size < 1 || data == nullptr) return 0;
  out[0] = '\0';
  const size_t length = strnlen(data, size);  // the packet ends at its first zero byte
  Converter(out, out_size, data, length).run();
  return static_cast<int>(strnlen(out, static_cast<size_t>(out_size)));
}

extern "C" VGM_EXPORT int32_t VGM_API cmio_MarkupFromXMP(char *out, int32_t out_size, const void *data,
                                                         int32_t size) {
  // A negative size is refused like a null pointer: no caller means "unbounded" by it.
  if (out == nullptr || out_size < 1 || data == nullptr || size < 0) return 0;
  int result = 0;
  // The packet comes from a file through a plug-in: a pointer into nowhere
  // (its first bytes unreadable, or a size larger than the block) fails
  // the call instead of the process.
  const bool completed = os_Guard([&] {
    const size_t limit = size == 0 ? kMarkupTextLimit : static_cast<size_t>(size);
    result = xmp_MarkupFromPacket(out, out_size, static_cast<const char *>(data), limit);
  });
  if (!completed) {
    os_Guard([&] { out[0] = '\0'; });
    return 0;
  }
  return result;
}
