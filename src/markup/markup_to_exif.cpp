// Markup to EXIF on libexif. The key vocabulary is the one the EXIF reader
// writes, so a load followed by a save carries the metadata over; the
// caller's block, when given, keeps every entry the markup does not name.
#include "markup/markup_to_exif.h"

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "markup/exif_to_markup.h"
#include "markup/markup_internal.h"
#include "markup/markup_text.h"
#include "platform/os.h"
#include "vgm/vgm_common.h"

namespace {

constexpr const char *kSoftware = "Orvine Photo 5.43.01";
constexpr int kValueRoom = 4096;
// Byte blocks are read whole: their base64 is longer than an ordinary value.
constexpr int kBlockValueRoom = kValueRoom + (kMarkupBlockMax + 2) / 3 * 4 + 16;
constexpr uint32_t kBlockMin = 5;
constexpr uint32_t kBlockMax = 32767;
// Every directory entry costs 12 bytes: beyond this many the block cannot
// come out small enough, and the conversion stops early.
constexpr unsigned kEntriesMax = kBlockMax / 12;
// Lookups of unknown keys that cannot be answered from the index try every
// "exif." of the text; past this many such tries the rest are skipped, so
// that a hostile text costs seconds, not hours.
constexpr size_t kSlowLookupBudget = size_t{16} << 20;

enum Method : uint8_t {
  kText,
  kInteger,       // decimal from the start
  kDigit,         // from the first digit
  kList,          // Digit pieces at ',', up to `limit` (0: as many as the entry holds)
  kReal,          // x 1000 over 1000
  kSignedReal,    // the same, a sign kept
  kMicro,         // x 1 000 000 over 1 000 000
  kRatio,         // Digit n stored as n/1
  kExposureTime,  // numerator / denominator as written
  kLensSpec,
  kFNumber,
  kComment,
  kColorSpace,  // Digit, 1 when missing
  kMakerNote,
  kSoftwareText,  // the suite's name, whatever the markup says
};

struct KeyRow {
  const char *key;
  ExifIfd ifd;
  uint16_t tag;
  Method method;
  uint8_t limit;
};

constexpr ExifIfd k0 = EXIF_IFD_0, k2 = EXIF_IFD_EXIF;

// Applied in this order; artist and description go into two tags each.
constexpr KeyRow kKeys[] = {
    {"exif.make", k0, 0x010F, kText, 0},
    {"exif.model", k0, 0x0110, kText, 0},
    {"exif.artist", k0, 0x013B, kText, 0},
    {"exif.artist", k2, 0x9C9D, kText, 0},
    {nullptr, k0, 0x0131, kSoftwareText, 0},
    {"exif.copyright", k0, 0x8298, kText, 0},
    {"exif.document_name", k0, 0x010D, kText, 0},
    {"exif.title", k2, 0x9C9B, kText, 0},
    {"exif.image_description", k0, 0x010E, kText, 0},
    {"exif.image_description", k2, 0x9C9C, kText, 0},
    {"exif.file_source", k2, 0xA300, kInteger, 0},
    {"exif.user_comment", k2, 0x9286, kComment, 0},
    {"exif.image_unique_id", k2, 0xA420, kText, 0},
    {"exif.lens_make", k2, 0xA433, kText, 0},
    {"exif.lens_model", k2, 0xA434, kText, 0},
    {"exif.lens_specification", k2, 0xA432, kLensSpec, 0},
    {"exif.lens_serial_number", k2, 0xA435, kText, 0},
    {"exif.body_serial_number", k2, 0xA431, kText, 0},
    {"exif.camera_owner_name", k2, 0xA430, kText, 0},
    {"exif.date_time", k2, 0x0132, kText, 0},
    {"exif.offset_time", k2, 0x9010, kText, 0},
    {"exif.subsec_time", k2, 0x9290, kText, 0},
    {"exif.date_time_original", k2, 0x9003, kText, 0},
    {"exif.offset_time_original", k2, 0x9011, kText, 0},
    {"exif.subsec_time_original", k2, 0x9291, kText, 0},
    {"exif.date_time_digitized", k2, 0x9004, kText, 0},
    {"exif.offset_time_digitized", k2, 0x9012, kText, 0},
    {"exif.subsec_time_digitized", k2, 0x9292, kText, 0},
    {"exif.orientation", k0, 0x0112, kInteger, 0},
    {"exif.resolution.unit", k2, 0x0128, kInteger, 0},
    {"exif.resolution.x", k2, 0x011A, kReal, 0},
    {"exif.resolution.y", k2, 0x011B, kReal, 0},
    {"exif.pixel_dimension.x", k2, 0xA002, kInteger, 0},
    {"exif.pixel_dimension.y", k2, 0xA003, kInteger, 0},
    {"exif.image_width", k2, 0x0100, kInteger, 0},
    {"exif.image_height", k2, 0x0101, kInteger, 0},
    {"exif.samples_per_pixel", k2, 0x0115, kDigit, 0},
    {"exif.bits_per_sample", k2, 0x0102, kDigit, 0},
    {"exif.compressed_bits_per_sample", k2, 0x9102, kMicro, 0},
    {"exif.components_configuration", k2, 0x9101, kList, 4},
    {"exif.composite_image.type", k2, 0xA460, kDigit, 0},
    {"exif.composite_image.count", k2, 0xA461, kList, 0},
    {"exif.compression", k2, 0x0103, kDigit, 0},
    {"exif.photometric_interpretation", k2, 0x0106, kDigit, 0},
    {"exif.exposure_index", k2, 0xA215, kRatio, 0},
    {"exif.exposure_time", k2, 0x829A, kExposureTime, 0},
    {"exif.aperture", k2, 0x829D, kFNumber, 0},
    {"exif.ISO_speed", k2, 0x8827, kDigit, 0},
    {"exif.focal_length", k2, 0x920A, kReal, 0},
    {"exif.focal_length_35mm", k2, 0xA405, kDigit, 0},
    {"exif.flash", k2, 0x9209, kDigit, 0},
    {"exif.metering_mode", k2, 0x9207, kDigit, 0},
    {"exif.light_source", k2, 0x9208, kDigit, 0},
    {"exif.custom_rendered", k2, 0xA401, kDigit, 0},
    {"exif.exposure_mode", k2, 0xA402, kDigit, 0},
    {"exif.white_balance", k2, 0xA403, kDigit, 0},
    {"exif.scene_capture_type", k2, 0xA406, kDigit, 0},
    {"exif.gain_control", k2, 0xA407, kDigit, 0},
    {"exif.contrast", k2, 0xA408, kDigit, 0},
    {"exif.saturation", k2, 0xA409, kDigit, 0},
    {"exif.sharpness", k2, 0xA40A, kDigit, 0},
    {"exif.sensing_method", k2, 0xA217, kDigit, 0},
    {"exif.YCbCr_positioning", k2, 0x0213, kDigit, 0},
    {"exif.YCbCr_subsampling", k2, 0x0212, kList, 0},
    {"exif.exposure_program", k2, 0x8822, kDigit, 0},
    {"exif.sensitivity_type", k2, 0x8830, kDigit, 0},
    {"exif.digital_zoom_ratio", k2, 0xA404, kReal, 0},
    {"exif.shutter_speed_value", k2, 0x9201, kSignedReal, 0},
    {"exif.aperture_value", k2, 0x9202, kReal, 0},
    {"exif.brightness_value", k2, 0x9203, kSignedReal, 0},
    {"exif.exposure_bias_value", k2, 0x9204, kSignedReal, 0},
    {"exif.max_aperture_value", k2, 0x9205, kReal, 0},
    {"exif.color_space", k2, 0xA001, kColorSpace, 0},
    {"exif.subject_area", k2, 0x9214, kList, 0},
    {"exif.subject_distance", k2, 0x9206, kReal, 0},
    {"exif.subject_distance_range", k2, 0xA40C, kDigit, 0},
    {"exif.scene_type", k2, 0xA301, kDigit, 0},
    {"exif.maker_note", k0, 0x927C, kMakerNote, 0},
};

// Truncation of a product such as 5.8 x 1000 (5799.999... in binary) must
// see the number as written: a result within a few units of the last place
// of an integer counts as that integer.
double guarded(double value) {
  const double nearest = std::nearbyint(value);
  return std::fabs(value - nearest) <= std::fabs(value) * 8 * DBL_EPSILON ? nearest : value;
}
int64_t integerPart(double value) {
  if (!(value == value)) return 0;
  value = std::trunc(guarded(value));
  if (value >= 9.2e18) return INT64_MAX;
  if (value <= -9.2e18) return INT64_MIN;
  return static_cast<int64_t>(value);
}
int64_t clampTo(int64_t value, int64_t low, int64_t high) { return value < low ? low : value > high ? high : value; }

// A real number from `text` (which must start with a digit or '.'), as
// from_chars reads it; 0 when none parses, +-HUGE_VAL beyond a double.
double parseNumber(const char *text, const char *end) {
  double value = 0.0;
  const auto [stop, error] = std::from_chars(text, end, value, std::chars_format::general);
  if (error == std::errc::invalid_argument) return 0.0;
  if (error == std::errc::result_out_of_range) {
    const char *exponent = text;
    while (exponent < stop && *exponent != 'e' && *exponent != 'E') ++exponent;
    return exponent + 1 < stop && exponent[1] == '-' ? 0.0 : HUGE_VAL;
  }
  return value;
}

// Real x 1000 style numbers: from the first digit (or, signed, from the
// first of "-+0123456789") to the first character outside ".e/-+0123456789";
// "a/b" yields the quotient (0 for a zero divisor).
double parseScaled(const char *text, bool is_signed) {
  const char *at = text;
  while (*at != '\0' && !(markup_IsDigit(*at) || (is_signed && (*at == '-' || *at == '+')))) ++at;
  const char *end = at;
  while (*end != '\0' && std::strchr(".e/-+0123456789", *end) != nullptr) ++end;
  bool negative = false;
  if (at < end && (*at == '-' || *at == '+')) negative = *at++ == '-';
  if (at >= end || !(markup_IsDigit(*at) || *at == '.')) return 0.0;
  double value = parseNumber(at, end);
  if (const char *slash = static_cast<const char *>(std::memchr(at, '/', static_cast<size_t>(end - at)))) {
    const char *denominator = slash + 1;
    if (denominator < end && (*denominator == '+' || *denominator == '-')) ++denominator;
    const double divisor = denominator < end ? parseNumber(denominator, end) : 0.0;
    value = divisor == 0.0 ? 0.0 : value / divisor;
  }
  return negative ? -value : value;
}

// A real number at the start of the value (after blanks), like atof.
double parseLeading(const char *text) {
  const char *at = text;
  while (*at == ' ' || *at == '\t') ++at;
  bool negative = false;
  if (*at == '-' || *at == '+') negative = *at++ == '-';
  if (!(markup_IsDigit(*at) || *at == '.')) return 0.0;
  const double value = parseNumber(at, at + std::strlen(at));
  return negative ? -value : value;
}

// markup_ParseInt and markup_ParseDigitInt on our own buffer: the same
// numbers without a fault guard (and its signal-mask calls) per value.
int32_t saturatedDigits(const char *at, bool negative) {
  int64_t magnitude = 0;
  for (; markup_IsDigit(*at); ++at) magnitude = std::min<int64_t>(magnitude * 10 + (*at - '0'), int64_t{INT32_MAX} + 1);
  return static_cast<int32_t>(negative ? -magnitude : std::min<int64_t>(magnitude, INT32_MAX));
}
int32_t parseInteger(const char *text) {
  while (*text != '\0' && std::strchr(" \t\r\n\f\v", *text) != nullptr) ++text;
  bool negative = false;
  if (*text == '-' || *text == '+') negative = *text++ == '-';
  return saturatedDigits(text, negative);
}
int32_t parseDigitInteger(const char *text) {
  while (*text != '\0' && !markup_IsDigit(*text)) ++text;
  return saturatedDigits(text, false);
}

// Unsigned 32-bit integer from the first digit (saturating); a '-' right
// before the digits negates it when `is_signed`.
int64_t parseDigits32(const char *text, bool is_signed) {
  const char *at = text;
  while (*at != '\0' && !markup_IsDigit(*at)) ++at;
  const bool negative = is_signed && at > text && at[-1] == '-';
  int64_t value = 0;
  for (; markup_IsDigit(*at); ++at) value = value * 10 + (*at - '0') > 0xFFFFFFFFll ? 0xFFFFFFFFll : value * 10 + (*at - '0');
  return negative ? -clampTo(value, 0, 0x80000000ll) : value;
}

size_t unitOf(const ExifEntry *entry) {
  const size_t unit = exif_format_get_size(entry->format);
  return unit == 0 ? 1 : unit;
}
bool holds(const ExifEntry *entry, size_t index) { return (index + 1) * unitOf(entry) <= entry->size; }

// Stores an integer as value `index` of the entry, in whatever format the
// entry has (a camera block may use LONG where a SHORT is usual).
void setInteger(ExifEntry *entry, size_t index, int64_t value, ExifByteOrder order) {
  if (!holds(entry, index)) return;
  unsigned char *at = entry->data + index * unitOf(entry);
  switch (entry->format) {
    case EXIF_FORMAT_SHORT: exif_set_short(at, order, static_cast<ExifShort>(clampTo(value, 0, 0xFFFF))); break;
    case EXIF_FORMAT_SSHORT: exif_set_sshort(at, order, static_cast<ExifSShort>(clampTo(value, -32768, 32767))); break;
    case EXIF_FORMAT_LONG: exif_set_long(at, order, static_cast<ExifLong>(clampTo(value, 0, 0xFFFFFFFFll))); break;
    case EXIF_FORMAT_SLONG: exif_set_slong(at, order, static_cast<ExifSLong>(clampTo(value, INT32_MIN, INT32_MAX))); break;
    case EXIF_FORMAT_RATIONAL:
      exif_set_rational(at, order, {static_cast<ExifLong>(clampTo(value, 0, 0xFFFFFFFFll)), 1});
      break;
    case EXIF_FORMAT_SRATIONAL:
      exif_set_srational(at, order, {static_cast<ExifSLong>(clampTo(value, INT32_MIN, INT32_MAX)), 1});
      break;
    case EXIF_FORMAT_FLOAT: {
      const float real = static_cast<float>(value);
      uint32_t bits;
      std::memcpy(&bits, &real, sizeof bits);
      exif_set_long(at, order, bits);
      break;
    }
    case EXIF_FORMAT_DOUBLE: {
      const double real = static_cast<double>(value);
      uint64_t bits;
      std::memcpy(&bits, &real, sizeof bits);
      const bool big = order == EXIF_BYTE_ORDER_MOTOROLA;
      exif_set_long(at, order, static_cast<ExifLong>(big ? bits >> 32 : bits));
      exif_set_long(at + 4, order, static_cast<ExifLong>(big ? bits : bits >> 32));
      break;
    }
    default: *at = static_cast<unsigned char>(value); break;
  }
}

// Stores num/den as value `index`; the numerator is clamped to what the
// entry's format holds, and formats without a denominator get the quotient.
void setRational(ExifEntry *entry, size_t index, int64_t num, int64_t den, ExifByteOrder order) {
  if (!holds(entry, index)) return;
  unsigned char *at = entry->data + index * unitOf(entry);
  if (entry->format == EXIF_FORMAT_RATIONAL) {
    exif_set_rational(at, order,
                      {static_cast<ExifLong>(clampTo(num, 0, 0xFFFFFFFFll)), static_cast<ExifLong>(clampTo(den, 0, 0xFFFFFFFFll))});
  } else if (entry->format == EXIF_FORMAT_SRATIONAL) {
    exif_set_srational(at, order, {static_cast<ExifSLong>(clampTo(num, INT32_MIN, INT32_MAX)),
                                   static_cast<ExifSLong>(clampTo(den, INT32_MIN, INT32_MAX))});
  } else {
    setInteger(entry, index, den == 0 ? 0 : num / den, order);
  }
}

// Real x scale, truncated, over scale.
void setScaled(ExifEntry *entry, double value, int64_t scale, ExifByteOrder order) {
  setRational(entry, 0, integerPart(value * static_cast<double>(scale)), scale, order);
}

bool isXpTag(unsigned tag) { return tag >= 0x9C9B && tag <= 0x9C9F; }

// UTF-8 into UTF-16 code units; a byte that starts no valid sequence is
// taken as the Latin-1 character of that value, so nothing is dropped.
std::u16string utf16Of(const char *text) {
  std::u16string out;
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  for (size_t i = 0; s[i] != 0;) {
    const unsigned lead = s[i];
    const int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? (lead < 0xF0 ? 2 : -1) : lead >= 0xC2 ? 1 : 0;
    uint32_t code = lead;
    bool valid = extra >= 0 && !(lead >= 0x80 && extra == 0);
    for (int k = 1; valid && k <= extra; ++k) valid = (s[i + k] & 0xC0) == 0x80;
    if (valid && extra > 0) {
      code = lead & (0x3F >> extra);
      for (int k = 1; k <= extra; ++k) code = code << 6 | (s[i + k] & 0x3F);
      valid = !(extra == 2 && code < 0x800) && !(extra == 3 && (code < 0x10000 || code > 0x10FFFF)) &&
              !(code >= 0xD800 && code <= 0xDFFF);
    }
    if (!valid) {
      out.push_back(static_cast<char16_t>(lead));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

int64_t blockCount(const char *value);

class Writer {
 public:
  Writer(const char *markup, size_t length, const std::vector<size_t> &starts, ExifData *data)
      : markup_(markup), length_(length), starts_(starts), data_(data), order_(exif_data_get_byte_order(data)) {}

  void run() {
    for (const KeyRow &row : kKeys) applyRow(row);
    applyGps();
    applyUnknown();
  }
  bool tooLarge() const { return too_large_; }

 private:
  // The value of `key`, trimmed, in value_; false when missing or empty.
  // The same lookup as markup_Get (key + '=', else + ' ', else + '\t', at
  // the first place it matches, ASCII case-insensitively), but every key
  // starts with "exif.", so only the places where that stands are tried.
  bool read(const char *key, size_t room = kValueRoom) {
    const size_t key_length = std::strlen(key);
    size_t match = length_;
    for (const char terminator : {'=', ' ', '\t'}) {
      for (const size_t at : starts_) {
        if (at + key_length >= length_ || markup_[at + key_length] != terminator) continue;
        size_t i = 5;  // the "exif." every start has
        while (i < key_length && markup_AsciiLower(markup_[at + i]) == markup_AsciiLower(key[i])) ++i;
        if (i == key_length) {
          match = at;
          break;
        }
      }
      if (match < length_) break;
    }
    if (match >= length_) return false;
    const void *equals = std::memchr(markup_ + match, '=', length_ - match);
    if (equals == nullptr) return false;
    size_t from = static_cast<size_t>(static_cast<const char *>(equals) - markup_) + 1, copied = 0;
    while (from < length_ && copied + 1 < room && markup_[from] != ';' && markup_[from] != '\r' && markup_[from] != '\n')
      value_[copied++] = markup_[from++];
    value_[copied] = '\0';
    return trimValue();
  }
  bool trimValue() {
    size_t begin = 0, end = std::strlen(value_);
    while (begin < end && markup_IsLineSpace(value_[begin])) ++begin;
    while (end > begin && markup_IsLineSpace(value_[end - 1])) --end;
    std::memmove(value_, value_ + begin, end - begin);
    value_[end - begin] = '\0';
    return end > begin;
  }
  ExifEntry *fetch(ExifIfd ifd, unsigned tag, unsigned size = 0) {
    return markup_FetchEntrySized(data_, ifd, static_cast<ExifTag>(tag), size);
  }

  void setText(ExifEntry *entry, const char *text) {
    // Other writers keep these titles as UTF-16 bytes, and so does our reader.
    if (isXpTag(entry->tag) && entry->format == EXIF_FORMAT_BYTE) {
      const std::u16string wide = utf16Of(text);
      if (!markup_ResizeEntry(entry, static_cast<unsigned>(wide.size() + 1) * 2)) return;
      for (size_t i = 0; i <= wide.size(); ++i) {
        const char16_t unit = i < wide.size() ? wide[i] : 0;
        entry->data[2 * i] = static_cast<unsigned char>(unit), entry->data[2 * i + 1] = static_cast<unsigned char>(unit >> 8);
      }
      return;
    }
    const size_t length = std::strlen(text);
    if (!markup_ResizeEntry(entry, static_cast<unsigned>(length + 1))) return;
    std::memset(entry->data, 0, entry->size);
    // A block may hold a text tag in a wider format; the bytes still go first.
    std::memcpy(entry->data, text, length + 1 <= entry->size ? length + 1 : entry->size);
  }

  // Digit pieces at `separators`, one per value the entry holds (and no
  // more than `limit` when given).
  void setList(ExifEntry *entry, const char *separators, size_t limit) {
    const size_t capacity = entry->size / unitOf(entry);
    size_t index = 0;
    for (const char *piece = value_; index < capacity && (limit == 0 || index < limit); ++index) {
      const size_t length = std::strcspn(piece, separators);
      std::string text(piece, length);
      setInteger(entry, index, parseDigitInteger(text.c_str()), order_);
      if (piece[length] == '\0') break;
      piece += length + 1;
    }
  }

  void applyRow(const KeyRow &row) {
    if (row.method == kSoftwareText) {
      if (ExifEntry *entry = fetch(row.ifd, row.tag)) setText(entry, kSoftware);
      return;
    }
    if (row.method == kMakerNote) return applyMakerNote(row);
    bool present = read(row.key);
    if (!present && row.method == kFNumber) present = read("exif.f_number");
    if (!present && row.method == kColorSpace) std::strcpy(value_, "1"), present = true;
    if (!present) return;
    ExifEntry *entry = fetch(row.ifd, row.tag);
    if (entry == nullptr) return;
    switch (row.method) {
      case kText: setText(entry, value_); break;
      case kInteger: setInteger(entry, 0, parseInteger(value_), order_); break;
      case kDigit:
      case kColorSpace: setInteger(entry, 0, parseDigitInteger(value_), order_); break;
      case kList: setList(entry, ",", row.limit); break;
      case kReal: setScaled(entry, parseScaled(value_, false), 1000, order_); break;
      case kSignedReal: setScaled(entry, parseScaled(value_, true), 1000, order_); break;
      case kMicro: setScaled(entry, parseScaled(value_, false), 1000000, order_); break;
      case kRatio: setRational(entry, 0, parseDigitInteger(value_), 1, order_); break;
      case kExposureTime: {
        const char *slash = std::strchr(value_, '/');
        setRational(entry, 0, parseInteger(value_), slash != nullptr ? parseDigitInteger(slash + 1) : 1, order_);
        break;
      }
      case kLensSpec: {
        size_t index = 0;
        for (const char *piece = value_; index < 4; ++index) {
          int32_t num = 0, den = 1;
          markup_ToFraction(parseScaled(std::string(piece, std::strcspn(piece, ",")).c_str(), false), 1000, &num, &den);
          setRational(entry, index, num, den, order_);
          piece += std::strcspn(piece, ",");
          if (*piece++ == '\0') break;
        }
        break;
      }
      case kFNumber: setFNumber(entry); break;
      case kComment: setComment(entry); break;
      default: break;
    }
  }

  void setFNumber(ExifEntry *entry) {
    int divisor = 1;
    double number = 2.8;  // a value without '/' is not an f-number we can read
    if (char *slash = std::strchr(value_, '/'); slash != nullptr) {
      if (slash != value_) {
        *slash = '\0';
        const int32_t before = parseInteger(value_);
        if (before >= 1 && before <= 999) divisor = before;
      }
      number = parseScaled(slash + 1, false);
    }
    int32_t num = 0, den = 1;
    markup_ToFraction(number / divisor, 1000, &num, &den);
    setRational(entry, 0, num, den, order_);
  }

  void setComment(ExifEntry *entry) {
    bool wide = false;
    for (const char *at = value_; *at != '\0'; ++at) wide = wide || static_cast<unsigned char>(*at) > 0x7F;
    entry->format = EXIF_FORMAT_UNDEFINED;
    if (wide) {
      const std::u16string text = utf16Of(value_);
      if (!markup_ResizeEntry(entry, static_cast<unsigned>(8 + 2 * (text.size() + 1)))) return;
      std::memset(entry->data, 0, 8);
      std::memcpy(entry->data, "UNICODE", 7);
      for (size_t i = 0; i <= text.size(); ++i) {
        const char16_t unit = i < text.size() ? text[i] : 0;
        entry->data[8 + 2 * i] = static_cast<unsigned char>(unit);
        entry->data[9 + 2 * i] = static_cast<unsigned char>(unit >> 8);
      }
    } else {
      const size_t length = std::strlen(value_);
      if (!markup_ResizeEntry(entry, static_cast<unsigned>(length + 9))) return;
      std::memset(entry->data, 0, 8);
      std::memcpy(entry->data, "ASCII", 5);
      std::memcpy(entry->data + 8, value_, length + 1);
    }
  }

  // A byte-block value into an entry of `count` bytes (the count the value
  // gives; an existing UNDEFINED entry of another size is resized to it).
  void setBlock(ExifEntry *entry, int64_t count) {
    if (count > 0 && entry->format == EXIF_FORMAT_UNDEFINED && static_cast<uint64_t>(count) != entry->size &&
        !markup_ResizeEntry(entry, static_cast<unsigned>(count)))
      return;
    markup_DecodeBlock(value_, entry->data, entry->size);
  }

  // A block larger than the limit cannot be written: say so instead of
  // allocating it.
  bool countFits(int64_t count) {
    if (count <= static_cast<int64_t>(kBlockMax)) return true;
    too_large_ = true;
    return false;
  }

  void applyMakerNote(const KeyRow &row) {
    if (!read(row.key, kBlockValueRoom)) return;
    const int64_t count = parseInteger(value_);
    if (!countFits(count)) return;
    if (ExifEntry *entry = fetch(row.ifd, row.tag, count > 0 ? static_cast<unsigned>(count) : 0)) setBlock(entry, count);
  }

  // "first character of the value in `letters`, upper-cased, then a zero".
  void setLetter(unsigned tag, const char *key, const char *letters) {
    if (!read(key)) return;
    ExifEntry *entry = fetch(EXIF_IFD_GPS, tag);
    if (entry == nullptr) return;
    const char *found = value_ + std::strcspn(value_, letters);
    char letter = *found;
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
    storeLetter(entry, letter);
  }
  void storeLetter(ExifEntry *entry, char letter) {
    if (entry->format == EXIF_FORMAT_ASCII && entry->size != 2 && !markup_ResizeEntry(entry, 2)) return;
    entry->data[0] = static_cast<unsigned char>(letter);
    if (entry->size > 1) entry->data[1] = 0;
  }

  void setCoordinate(unsigned tag, const char *key) {
    if (!read(key)) return;
    ExifEntry *entry = fetch(EXIF_IFD_GPS, tag);
    if (entry == nullptr) return;
    const double v = parseLeading(value_);
    // RATIONAL is unsigned: a negative angle is stored as its two's complement.
    auto put = [&](size_t index, int64_t num, int64_t den) {
      if (!holds(entry, index)) return;
      unsigned char *at = entry->data + index * unitOf(entry);
      const auto n = static_cast<uint32_t>(clampTo(num, INT32_MIN, UINT32_MAX));
      if (entry->format == EXIF_FORMAT_RATIONAL || entry->format == EXIF_FORMAT_SRATIONAL)
        exif_set_rational(at, order_, {n, static_cast<ExifLong>(den)});
      else
        setInteger(entry, index, num / den, order_);
    };
    if (entry->size < 24) {
      put(0, integerPart(v > 0 ? v * 10000000.0 + 0.5 : v * 10000000.0 - 0.5), 10000000);
      return;
    }
    const int64_t t = integerPart(std::fabs(v * 60.0 * 100000.0));
    const int64_t sign = v > 0 ? 1 : -1;
    put(0, sign * (t / 100000 / 60), 1);
    put(1, sign * ((t / 100000) % 60), 1);
    put(2, sign * ((t % 100000) * 60), 100000);
  }

  void applyGps() {
    const ExifIfd gps = EXIF_IFD_GPS;
    if (read("exif.GPS.version")) {
      if (ExifEntry *entry = fetch(gps, 0x00)) setList(entry, ",.", 4);
    } else {
      bool any = false;
      for (const char *key : {"exif.GPS.longitude.pos", "exif.GPS.latitude.pos", "exif.GPS.speed.val",
                              "exif.GPS.datestamp", "exif.GPS.timestamp"})
        any = any || read(key);
      if (ExifEntry *entry = any ? fetch(gps, 0x00) : nullptr) {
        std::strcpy(value_, "2,2,0,0");
        setList(entry, ",", 4);
      }
    }
    setLetter(0x01, "exif.GPS.latitude.ref", "NSns");
    setCoordinate(0x02, "exif.GPS.latitude.pos");
    setLetter(0x03, "exif.GPS.longitude.ref", "EWew");
    setCoordinate(0x04, "exif.GPS.longitude.pos");
    if (read("exif.GPS.altitude.ref"))
      if (ExifEntry *entry = fetch(gps, 0x05)) setInteger(entry, 0, parseDigitInteger(value_) != 0 ? 1 : 0, order_);
    if (read("exif.GPS.altitude.pos"))
      if (ExifEntry *entry = fetch(gps, 0x06)) setScaled(entry, parseLeading(value_), 1000, order_);
    if (read("exif.GPS.timestamp"))
      if (ExifEntry *entry = fetch(gps, 0x07)) {
        const char *minutes = std::strchr(value_, ':');
        const char *seconds = minutes != nullptr ? std::strchr(minutes + 1, ':') : nullptr;
        setRational(entry, 0, parseInteger(value_), 1, order_);
        setRational(entry, 1, minutes != nullptr ? parseInteger(minutes + 1) : 0, 1, order_);
        const double s = seconds != nullptr ? parseLeading(seconds + 1) : 0.0;
        setRational(entry, 2, integerPart(s * 1000.0 + 0.5), 1000, order_);
      }
    if (read("exif.GPS.satellites"))
      if (ExifEntry *entry = fetch(gps, 0x08)) setText(entry, value_);
    setLetter(0x09, "exif.GPS.status", "AVav");
    if (read("exif.GPS.measure_mode"))
      if (ExifEntry *entry = fetch(gps, 0x0A)) storeLetter(entry, parseDigitInteger(value_) == 3 ? '3' : '2');
    if (read("exif.GPS.DOP"))
      if (ExifEntry *entry = fetch(gps, 0x0B)) setScaled(entry, parseLeading(value_), 1000, order_);
    setLetter(0x0C, "exif.GPS.speed.ref", "KMNkmn");
    if (read("exif.GPS.speed.val"))
      if (ExifEntry *entry = fetch(gps, 0x0D)) setScaled(entry, parseLeading(value_), 1000, order_);
    if (read("exif.GPS.datestamp"))
      if (ExifEntry *entry = fetch(gps, 0x1D)) setText(entry, value_);
  }

  unsigned entryCount() const {
    unsigned count = 0;
    for (ExifContent *content : data_->ifd) count += content != nullptr ? content->count : 0;
    return count;
  }

  void applyUnknown();
  void storeUnknown(ExifEntry *entry);

  const char *markup_;
  size_t length_;
  const std::vector<size_t> &starts_;  // where "exif." stands, in order
  ExifData *data_;
  ExifByteOrder order_;
  bool too_large_ = false;
  char value_[kBlockValueRoom];
};

bool startsWithCi(const char *text, const char *prefix) {
  for (; *prefix != '\0'; ++text, ++prefix)
    if (markup_AsciiLower(*text) != markup_AsciiLower(*prefix)) return false;
  return true;
}

std::string lowered(std::string text) {
  for (char &c : text) c = markup_AsciiLower(c);
  return text;
}

// The pointers and the thumbnail's place are libexif's to write; a second
// copy from a key would point somewhere else.
bool managedByLibrary(ExifIfd ifd, unsigned tag) {
  return ifd != EXIF_IFD_GPS && (tag == 0x8769 || tag == 0x8825 || tag == 0xA005 || tag == 0x0201 || tag == 0x0202);
}

void Writer::storeUnknown(ExifEntry *entry) {
  switch (entry->format) {
    case EXIF_FORMAT_BYTE:
    case EXIF_FORMAT_SBYTE:
    case EXIF_FORMAT_SHORT:
    case EXIF_FORMAT_SSHORT: setInteger(entry, 0, parseDigitInteger(value_), order_); break;
    // LONG holds values past 2^31, SLONG negative ones: read them whole.
    case EXIF_FORMAT_LONG: setInteger(entry, 0, parseDigits32(value_, false), order_); break;
    case EXIF_FORMAT_SLONG: setInteger(entry, 0, parseDigits32(value_, true), order_); break;
    case EXIF_FORMAT_ASCII: setText(entry, value_); break;
    case EXIF_FORMAT_RATIONAL: setScaled(entry, parseScaled(value_, false), 1000, order_); break;
    case EXIF_FORMAT_SRATIONAL: setScaled(entry, parseScaled(value_, true), 1000, order_); break;
    // Not written by the reader's rule either way; a number is what a user
    // would put there, so the first value takes the real.
    case EXIF_FORMAT_FLOAT:
    case EXIF_FORMAT_DOUBLE: {
      const double real = parseScaled(value_, true);
      unsigned char *at = entry->data;
      if (entry->format == EXIF_FORMAT_FLOAT && entry->size >= 4) {
        const float single = static_cast<float>(real);
        uint32_t bits;
        std::memcpy(&bits, &single, sizeof bits);
        exif_set_long(at, order_, bits);
      } else if (entry->format == EXIF_FORMAT_DOUBLE && entry->size >= 8) {
        uint64_t bits;
        std::memcpy(&bits, &real, sizeof bits);
        const bool big = order_ == EXIF_BYTE_ORDER_MOTOROLA;
        exif_set_long(at, order_, static_cast<ExifLong>(big ? bits >> 32 : bits));
        exif_set_long(at + 4, order_, static_cast<ExifLong>(big ? bits : bits >> 32));
      }
      break;
    }
    default: setBlock(entry, blockCount(value_)); break;
  }
}

void Writer::applyUnknown() {
  static constexpr const char kPrefix[] = "exif.unknown.IFD";
  constexpr size_t kKeyMax = 127;
  // First pass: where each key stands directly before its '=' for the first
  // time, which is where a lookup of it lands.
  std::unordered_map<std::string, size_t> equals_at;
  std::vector<std::pair<size_t, std::string>> keys;  // occurrence, trimmed key
  for (const size_t at : starts_) {
    if (!startsWithCi(markup_ + at, kPrefix)) continue;
    const size_t limit = std::min(length_, at + kKeyMax + 1);
    size_t end = at;
    while (end < limit && markup_[end] != '=' && markup_[end] != '\r' && markup_[end] != '\n') ++end;
    std::string key(markup_ + at, std::min(end - at, kKeyMax));
    if (end < limit && markup_[end] == '=') equals_at.try_emplace(lowered(key), end);
    key.erase(key.find_last_not_of(" \t") + 1);
    keys.emplace_back(at, std::move(key));
  }

  std::unordered_set<std::string> done;
  size_t slow_budget = kSlowLookupBudget;
  for (const auto &[at, key] : keys) {
    (void)at;
    // A key repeated later reads the same value: once is enough.
    if (!done.insert(lowered(key)).second) continue;
    size_t digit = 0;
    while (digit < key.size() && !markup_IsDigit(key[digit])) ++digit;
    int64_t ifd = 0;
    size_t after = digit;
    while (after < key.size() && markup_IsDigit(key[after]) && ifd < 100) ifd = ifd * 10 + (key[after++] - '0');
    if (digit == key.size() || ifd > EXIF_IFD_INTEROPERABILITY) continue;
    const size_t dot = key.find('.', after);
    if (dot == std::string::npos) continue;
    size_t hex = dot + 1;
    if (key.compare(hex, 2, "0x") == 0 || key.compare(hex, 2, "0X") == 0) hex += 2;
    uint32_t tag = 0;
    const auto [stop, error] = std::from_chars(key.data() + hex, key.data() + key.size(), tag, 16);
    if (error != std::errc() || stop == key.data() + hex || tag > 0xFFFF) continue;
    if (managedByLibrary(static_cast<ExifIfd>(ifd), tag)) continue;

    // The value, as the lookup would find it: directly where the key first
    // stands before its '=', else by the lookup itself.
    if (const auto found = equals_at.find(lowered(key)); found != equals_at.end()) {
      size_t from = found->second + 1, copied = 0;
      while (from < length_ && copied + 1 < sizeof value_ && markup_[from] != ';' && markup_[from] != '\r' &&
             markup_[from] != '\n')
        value_[copied++] = markup_[from++];
      value_[copied] = '\0';
      if (!trimValue()) continue;
    } else {
      if (slow_budget < starts_.size()) continue;
      slow_budget -= starts_.size();
      if (!read(key.c_str(), kBlockValueRoom)) continue;
    }
    const int64_t count = blockCount(value_);
    if (!countFits(count) || entryCount() >= kEntriesMax) {
      too_large_ = true;
      return;
    }
    ExifEntry *entry = fetch(static_cast<ExifIfd>(ifd), tag, count > 0 ? static_cast<unsigned>(count) : 0);
    if (entry != nullptr) storeUnknown(entry);
  }
}

// The byte count of a value written as a byte block ("<count>, <base64>"
// with base64 enough for the count); 0 for any other value, so that a
// number such as "1704" does not turn into a block of 1704 bytes.
int64_t blockCount(const char *value) {
  const char *at = value;
  while (markup_IsDigit(*at)) ++at;
  if (at == value || *at != ',') return 0;
  size_t sextets = 0;
  for (const char *c = at + 1; *c != '\0'; ++c) {
    const char lower = markup_AsciiLower(*c);
    if ((lower >= 'a' && lower <= 'z') || markup_IsDigit(*c) || std::strchr("+/-_", *c) != nullptr) ++sextets;
    else if (std::strchr(" \t\r\n=", *c) == nullptr) return 0;
  }
  const int64_t count = parseInteger(value);
  return static_cast<int64_t>(sextets) >= (count * 4 + 2) / 3 ? count : 0;
}

}  // namespace

bool markup_WrittenToExifIfd(unsigned tag) {
  for (const KeyRow &row : kKeys)
    if (row.ifd == EXIF_IFD_EXIF && row.tag == tag) return true;
  return false;
}

int markup_ToEXIF(const char *markup, HGLOBAL *data, uint32_t *size) {
  if (markup == nullptr || data == nullptr || size == nullptr) return 0;
  bool readable = false;
  const size_t length = markup_ArgLength(markup, kMarkupTextLimit, &readable);
  std::vector<size_t> starts;
  if (readable) {
    for (size_t at = 0; at + 5 <= length; ++at)
      if (markup_AsciiLower(markup[at]) == 'e' && startsWithCi(markup + at, "exif.")) starts.push_back(at);
  }
  if (starts.empty()) return 0;

  ExifData *exif = nullptr;
  if (*data != nullptr && *size != 0) {
    // The caller's block may be anything. It is copied first, so that memory
    // it does not really have costs only the copy; a fault inside libexif
    // itself leaves a half-built object that is not trusted with its own
    // release, and is leaked.
    const unsigned byte_count = *size;
    auto *copy = static_cast<unsigned char *>(std::malloc(byte_count));
    const auto *bytes = static_cast<const unsigned char *>(*data);
    if (copy != nullptr && os_Guard([&] { std::memcpy(copy, bytes, byte_count); })) {
      ExifData *volatile loaded = nullptr;
      if (os_Guard([&] { loaded = exif_data_new_from_data(copy, byte_count); })) exif = loaded;
      // Entries an earlier save put into the EXIF directory come back too,
      // so that defaults libexif makes up in IFD 0 do not shadow them.
      if (exif != nullptr) os_Guard([&] { markup_RecoverExifIfd(exif, copy, byte_count); });
    }
    std::free(copy);
  }
  if (exif == nullptr) exif = exif_data_new();
  *data = nullptr;
  *size = 0;
  if (exif == nullptr) return 0;
  exif_data_set_byte_order(exif, EXIF_BYTE_ORDER_INTEL);

  auto writer = std::make_unique<Writer>(markup, length, starts, exif);
  writer->run();
  unsigned char *volatile saved = nullptr;
  volatile unsigned saved_size = 0;
  const bool clean = !writer->tooLarge() && os_Guard([&] {
    unsigned char *bytes = nullptr;
    unsigned count = 0;
    exif_data_save_data(exif, &bytes, &count);
    saved = bytes;
    saved_size = count;
  });
  // A save that faulted leaves the object in an unknown state: it is leaked.
  const bool faulted = !writer->tooLarge() && !clean;
  int result = 0;
  if (clean && saved != nullptr && saved_size >= kBlockMin && saved_size <= kBlockMax) {
    if (HGLOBAL block = GlobalAlloc(GPTR, saved_size + 1024); block != nullptr) {
      std::memcpy(block, saved, saved_size);
      *data = block;
      *size = saved_size;
      result = 1;
    }
  }
  std::free(saved);
  if (!faulted) exif_data_unref(exif);
  return result;
}

extern "C" VGM_EXPORT int32_t VGM_API cmio_MarkupToEXIF(const char *markup, HGLOBAL *data, uint32_t *size) {
  return markup_ToEXIF(markup, data, size);
}
