// EXIF to markup on libexif. The walk runs under the fault guard: one guard
// per directory, re-entered after a fault at the entry behind the one that
// faulted, so a broken entry costs only itself and a sound block costs no
// system call per entry. Nothing with a destructor lives inside the guard.
#include "markup/exif_to_markup.h"

#include <libexif/exif-data.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostenv/config_record.h"
#include "markup/markup_text.h"
#include "markup/markup_to_exif.h"
#include "platform/os.h"

namespace {

// Ordinary lines are cut at kMarkupLineCapacity; byte blocks get the whole
// room so that the largest block written still decodes to every byte.
constexpr size_t kLineRoom = kMarkupLineCapacity + (kMarkupBlockMax + 2) / 3 * 4 + 64;
constexpr size_t kDescriptionRoom = 4096;
constexpr size_t kComponentsDescriptionRoom = 128;
constexpr size_t kUnknownKeyRoom = 128;
constexpr const char *kListTrimSet = " ,\t\r\n";

enum Kind : uint8_t {
  kInt,      // first value
  kIntDesc,  // first value, the library's description
  kText,     // bytes up to the first zero
  kReal,     // first rational, signed or not by its format
  kSpecial,  // handled by tag in lineForSpecial()
};
enum Gate : uint8_t { kAlways, kStructure, kUnlisted };

struct Row {
  uint16_t tag;
  Kind kind;
  Gate gate;
  const char *format;  // nullptr: the entry gives no line
};

// Entries of IFD 0, 1, 2 and 4; sorted by tag.
constexpr Row kRows[] = {
    {0x0001, kText, kAlways, nullptr},
    {0x0002, kText, kAlways, nullptr},
    {0x0100, kInt, kStructure, "exif.image_width=%i"},
    {0x0101, kInt, kStructure, "exif.image_height=%i"},
    {0x0102, kInt, kAlways, "exif.bits_per_sample=%i"},
    {0x0103, kIntDesc, kStructure, "exif.compression=%i (%s)"},
    {0x0106, kIntDesc, kAlways, "exif.photometric_interpretation=%i (%s)"},
    {0x010D, kText, kAlways, "exif.document_name=%.*s"},
    {0x010E, kText, kAlways, "exif.image_description=%.*s"},
    {0x010F, kText, kAlways, "exif.make=%.*s"},
    {0x0110, kText, kAlways, "exif.model=%.*s"},
    {0x0112, kSpecial, kAlways, "exif.orientation=%i (%s)"},
    {0x0115, kInt, kAlways, "exif.samples_per_pixel=%i"},
    {0x011A, kReal, kAlways, "exif.resolution.x=%.3g"},
    {0x011B, kReal, kAlways, "exif.resolution.y=%.3g"},
    {0x0128, kIntDesc, kAlways, "exif.resolution.unit=%i (%s)"},
    {0x0131, kText, kAlways, "exif.software=%.*s"},
    {0x0132, kText, kAlways, "exif.date_time=%.*s"},
    {0x013B, kText, kAlways, "exif.artist=%.*s"},
    {0x014A, kText, kAlways, nullptr},
    {0x0212, kSpecial, kAlways, "exif.YCbCr_subsampling=%i,%i (%s)"},
    {0x0213, kIntDesc, kAlways, "exif.YCbCr_positioning=%i (%s)"},
    {0x828F, kText, kAlways, nullptr},
    {0x8298, kText, kAlways, "exif.copyright=%.*s"},
    {0x829A, kSpecial, kAlways, "exif.exposure_time=%i/%i sec"},
    {0x829D, kSpecial, kAlways, "exif.aperture=f/%.3g"},
    {0x8769, kText, kAlways, nullptr},
    {0x8822, kIntDesc, kAlways, "exif.exposure_program=%i (%s)"},
    {0x8825, kText, kAlways, nullptr},
    {0x8827, kInt, kAlways, "exif.ISO_speed=ISO-%i"},
    {0x882A, kText, kAlways, nullptr},
    {0x8830, kIntDesc, kAlways, "exif.sensitivity_type=%i (%s)"},
    {0x9000, kText, kAlways, nullptr},
    {0x9003, kText, kAlways, "exif.date_time_original=%.*s"},
    {0x9004, kText, kAlways, "exif.date_time_digitized=%.*s"},
    {0x9010, kText, kAlways, "exif.offset_time=%.*s"},
    {0x9011, kText, kAlways, "exif.offset_time_original=%.*s"},
    {0x9012, kText, kAlways, "exif.offset_time_digitized=%.*s"},
    {0x9101, kSpecial, kAlways, "exif.components_configuration=%s (%s)"},
    {0x9102, kReal, kAlways, "exif.compressed_bits_per_sample=%.4g"},
    {0x9201, kReal, kAlways, "exif.shutter_speed_value=%.3g"},
    {0x9202, kReal, kAlways, "exif.aperture_value=%.3g"},
    {0x9203, kReal, kAlways, "exif.brightness_value=%.3g"},
    {0x9204, kReal, kAlways, "exif.exposure_bias_value=%.4g EV"},
    {0x9205, kReal, kAlways, "exif.max_aperture_value=%.3g"},
    {0x9206, kReal, kAlways, "exif.subject_distance=%.3g m"},
    {0x9207, kIntDesc, kAlways, "exif.metering_mode=%i (%s)"},
    {0x9208, kIntDesc, kAlways, "exif.light_source=%i (%s)"},
    {0x9209, kIntDesc, kAlways, "exif.flash=%i (%s)"},
    {0x920A, kReal, kAlways, "exif.focal_length=%.3g mm"},
    {0x9214, kSpecial, kAlways, "exif.subject_area=%i,%i,%i,%i (%s)"},
    {0x927C, kSpecial, kUnlisted, "exif.maker_note="},
    {0x9286, kSpecial, kAlways, "exif.user_comment="},
    {0x9290, kText, kAlways, "exif.subsec_time=%.*s"},
    {0x9291, kText, kAlways, "exif.subsec_time_original=%.*s"},
    {0x9292, kText, kAlways, "exif.subsec_time_digitized=%.*s"},
    {0x9C9B, kSpecial, kAlways, "exif.title=%.*s"},
    {0xA000, kText, kAlways, nullptr},
    {0xA001, kSpecial, kAlways, "exif.color_space=%i (%s)"},
    {0xA002, kInt, kStructure, "exif.pixel_dimension.x=%i"},
    {0xA003, kInt, kStructure, "exif.pixel_dimension.y=%i"},
    {0xA005, kText, kAlways, nullptr},
    {0xA214, kText, kAlways, nullptr},
    {0xA215, kSpecial, kAlways, "exif.exposure_index=ISO-%i"},
    {0xA217, kIntDesc, kAlways, "exif.sensing_method=%i (%s)"},
    {0xA300, kSpecial, kAlways, "exif.file_source="},
    {0xA301, kIntDesc, kAlways, "exif.scene_type=%i (%s)"},
    {0xA302, kText, kAlways, nullptr},
    {0xA401, kIntDesc, kAlways, "exif.custom_rendered=%i (%s)"},
    {0xA402, kIntDesc, kAlways, "exif.exposure_mode=%i (%s)"},
    {0xA403, kIntDesc, kAlways, "exif.white_balance=%i (%s)"},
    {0xA404, kReal, kAlways, "exif.digital_zoom_ratio=%.3g"},
    {0xA405, kInt, kAlways, "exif.focal_length_35mm=%i mm"},
    {0xA406, kIntDesc, kAlways, "exif.scene_capture_type=%i (%s)"},
    {0xA407, kIntDesc, kAlways, "exif.gain_control=%i (%s)"},
    {0xA408, kIntDesc, kAlways, "exif.contrast=%i (%s)"},
    {0xA409, kIntDesc, kAlways, "exif.saturation=%i (%s)"},
    {0xA40A, kIntDesc, kAlways, "exif.sharpness=%i (%s)"},
    {0xA40C, kIntDesc, kAlways, "exif.subject_distance_range=%i (%s)"},
    {0xA420, kText, kAlways, "exif.image_unique_id=%.*s"},
    {0xA430, kText, kAlways, "exif.camera_owner_name=%.*s"},
    {0xA431, kText, kAlways, "exif.body_serial_number=%.*s"},
    {0xA432, kSpecial, kAlways, "exif.lens_specification="},
    {0xA433, kText, kAlways, "exif.lens_make=%.*s"},
    {0xA434, kText, kAlways, "exif.lens_model=%.*s"},
    {0xA435, kText, kAlways, "exif.lens_serial_number=%.*s"},
    {0xA436, kText, kAlways, "exif.title=%.*s"},
    {0xA460, kIntDesc, kAlways, "exif.composite_image.type=%i (%s)"},
    {0xA461, kSpecial, kAlways, "exif.composite_image.count=%i total, %i used"},
    {0xA462, kText, kAlways, nullptr},
    {0xEA1C, kText, kAlways, nullptr},
};

constexpr bool rowsSorted() {
  for (size_t i = 1; i < sizeof kRows / sizeof kRows[0]; ++i)
    if (kRows[i - 1].tag >= kRows[i].tag) return false;
  return true;
}
static_assert(rowsSorted(), "kRows must stay sorted for the binary search");

// Casting a double the integer cannot hold is undefined: clamp it.
int64_t clampToInt64(double value) {
  if (!(value == value)) return 0;
  if (value >= 9.2e18) return INT64_MAX;
  if (value <= -9.2e18) return INT64_MIN;
  return static_cast<int64_t>(value);
}
int clampToInt(double value) {
  const int64_t wide = clampToInt64(value);
  return wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : static_cast<int>(wide);
}

const Row *findRow(unsigned tag) {
  size_t low = 0, high = sizeof kRows / sizeof kRows[0];
  while (low < high) {
    const size_t mid = (low + high) / 2;
    if (kRows[mid].tag < tag) low = mid + 1;
    else high = mid;
  }
  return low < sizeof kRows / sizeof kRows[0] && kRows[low].tag == tag ? &kRows[low] : nullptr;
}

// One entry's values, read by its stored format.
struct Values {
  const unsigned char *data;
  size_t size;
  ExifFormat format;
  ExifByteOrder order;

  size_t unit() const { return exif_format_get_size(format); }
  size_t count() const { return unit() == 0 ? 0 : size / unit(); }
  const unsigned char *at(size_t i) const { return data + i * unit(); }

  double real(size_t i) const {
    if (i >= count()) return 0;
    switch (format) {
      case EXIF_FORMAT_RATIONAL: {
        const ExifRational r = exif_get_rational(at(i), order);
        return r.denominator == 0 ? 0.0 : static_cast<double>(r.numerator) / r.denominator;
      }
      case EXIF_FORMAT_SRATIONAL: {
        const ExifSRational r = exif_get_srational(at(i), order);
        return r.denominator == 0 ? 0.0 : static_cast<double>(r.numerator) / r.denominator;
      }
      case EXIF_FORMAT_FLOAT: {
        const uint32_t bits = exif_get_long(at(i), order);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
      case EXIF_FORMAT_DOUBLE: {
        const bool big = order == EXIF_BYTE_ORDER_MOTOROLA;
        const uint64_t first = exif_get_long(at(i), order), second = exif_get_long(at(i) + 4, order);
        const uint64_t bits = big ? (first << 32 | second) : (second << 32 | first);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
      default:
        return static_cast<double>(integer(i));
    }
  }

  // SHORT and LONG unsigned, SSHORT and SLONG signed, bytes unsigned;
  // "%i" rows read whatever format the entry came in rather than guess.
  int64_t integer(size_t i) const {
    if (i >= count()) return 0;
    switch (format) {
      case EXIF_FORMAT_BYTE:
      case EXIF_FORMAT_UNDEFINED:
      case EXIF_FORMAT_ASCII:
        return data[i];
      case EXIF_FORMAT_SBYTE:
        return static_cast<int8_t>(data[i]);
      case EXIF_FORMAT_SHORT:
        return exif_get_short(at(i), order);
      case EXIF_FORMAT_SSHORT:
        return exif_get_sshort(at(i), order);
      case EXIF_FORMAT_LONG:
        return exif_get_long(at(i), order);
      case EXIF_FORMAT_SLONG:
        return exif_get_slong(at(i), order);
      default:
        return clampToInt64(real(i));
    }
  }
  int first(size_t i = 0) const { return static_cast<int>(integer(i)); }
  int textLength() const {
    const size_t length = strnlen(reinterpret_cast<const char *>(data), size);
    return static_cast<int>(length < kMarkupLineCapacity ? length : kMarkupLineCapacity);
  }
  const char *text() const { return reinterpret_cast<const char *>(data); }
};

// UTF-16LE up to the first zero unit into UTF-8; an unpaired surrogate makes
// the whole text fall back to the low byte of each unit. Returns the length.
size_t utf16ToUtf8(const unsigned char *bytes, size_t size, char *out, size_t room) {
  size_t at = 0;
  bool failed = false;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint32_t unit = bytes[i] | (bytes[i + 1] << 8u);
    if (unit == 0) break;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      failed = true;
      break;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const uint32_t low = i + 3 < size ? bytes[i + 2] | (bytes[i + 3] << 8u) : 0;
      if (low < 0xDC00 || low > 0xDFFF) {
        failed = true;
        break;
      }
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    char encoded[4];
    size_t length;
    if (unit < 0x80) {
      encoded[0] = static_cast<char>(unit), length = 1;
    } else if (unit < 0x800) {
      encoded[0] = static_cast<char>(0xC0 | unit >> 6), encoded[1] = static_cast<char>(0x80 | (unit & 0x3F)), length = 2;
    } else if (unit < 0x10000) {
      encoded[0] = static_cast<char>(0xE0 | unit >> 12), encoded[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      encoded[2] = static_cast<char>(0x80 | (unit & 0x3F)), length = 3;
    } else {
      encoded[0] = static_cast<char>(0xF0 | unit >> 18), encoded[1] = static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
      encoded[2] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F)), encoded[3] = static_cast<char>(0x80 | (unit & 0x3F));
      length = 4;
    }
    if (at + length >= room) break;
    std::memcpy(out + at, encoded, length);
    at += length;
  }
  if (failed) {
    at = 0;
    for (size_t i = 0; i + 1 < size && at + 1 < room && bytes[i] != 0; i += 2) out[at++] = static_cast<char>(bytes[i]);
  }
  out[at] = '\0';
  return at;
}

// Removes characters of `set` from both ends of the `length` bytes at `text`.
size_t trimEnds(char *text, size_t length, const char *set) {
  size_t start = 0;
  while (start < length && std::strchr(set, text[start]) != nullptr) ++start;
  while (length > start && std::strchr(set, text[length - 1]) != nullptr) --length;
  std::memmove(text, text + start, length - start);
  text[length - start] = '\0';
  return length - start;
}

// Appends formatted text to a line, never past its room.
struct LineWriter {
  char *line;
  size_t room;
  size_t at = 0;
  bool full() const { return at + 1 >= room; }
  void add(const char *format, auto... args) {
    if (full()) return;
    const int written = std::snprintf(line + at, room - at, format, args...);
    if (written > 0) at += static_cast<size_t>(written) < room - at ? static_cast<size_t>(written) : room - at - 1;
  }
};

// FNumber stored as a fraction either way round: a value below 0.7 is taken
// as its reciprocal, one near 1 goes whichever way is a round number.
double normalisedFNumber(double value) {
  const double x = std::fabs(value), r = 1.0 / x;
  if (x < 0.7) return r;
  if (r < 0.7) return x;
  auto roundness = [](double v) {
    return clampToInt64(std::pow(10.0, std::trunc(4.0 - std::log10(v))) * v + 0.5);
  };
  if (roundness(x) % 100 == 0) return x;
  return roundness(r) % 100 == 0 ? r : x;
}

struct Conversion {
  char *out;
  size_t capacity;
  size_t used = 0;
  int lines = 0;
  bool structure;
  bool unlisted;
  bool orientation_seen = false;
  ExifByteOrder order;
  char line[kLineRoom];
  char description[kDescriptionRoom];
  char scratch[kLineRoom];

  // Adds "line;\r\n" while the text is shorter than capacity - 1; the last
  // line may be cut.
  void append(size_t length, bool sanitise) {
    if (length == 0 || used + 1 >= capacity) return;
    if (sanitise) {
      size_t kept = 0;
      for (size_t i = 0; i < length; ++i) {
        char c = line[i];
        if (c == '\r' || c == '\n') c = ' ';
        else if (c == ';') c = ',';
        if (c == ' ' && kept > 0 && line[kept - 1] == ' ') continue;
        line[kept++] = c;
      }
      length = kept;
    }
    if (length + 3 < sizeof line) std::memcpy(line + length, ";\r\n", 3), length += 3;
    const size_t room = capacity - 1 - used;
    if (length > room) length = room;
    std::memcpy(out + used, line, length);
    used += length;
    out[used] = '\0';
    ++lines;
  }

  const char *describe(ExifEntry *entry, size_t room) {
    description[0] = '\0';
    exif_entry_get_value(entry, description, static_cast<unsigned>(room));
    description[room - 1] = '\0';
    return description;
  }

  size_t ifdLine(ExifEntry *entry, int ifd);
  size_t specialLine(ExifEntry *entry, const Row &row, const Values &v);
  size_t unknownLine(int ifd, const Values &v, unsigned tag);
  size_t gpsLine(const Values &v, unsigned tag);
  void convert(ExifEntry *entry, int ifd);
};

size_t Conversion::ifdLine(ExifEntry *entry, int ifd) {
  const Values v{entry->data, entry->data ? entry->size : 0u, entry->format, order};
  const Row *row = findRow(entry->tag);
  if (row == nullptr) return unlisted ? unknownLine(ifd, v, entry->tag) : 0;
  if (row->format == nullptr || (row->gate == kStructure && !structure) || (row->gate == kUnlisted && !unlisted))
    return 0;
  LineWriter w{line, kMarkupLineCapacity};
  switch (row->kind) {
    case kInt: w.add(row->format, v.first()); break;
    case kIntDesc: w.add(row->format, v.first(), describe(entry, kDescriptionRoom)); break;
    case kText: w.add(row->format, v.textLength(), v.text()); break;
    case kReal: w.add(row->format, v.real(0)); break;
    case kSpecial: return specialLine(entry, *row, v);
  }
  return w.at;
}

size_t Conversion::specialLine(ExifEntry *entry, const Row &row, const Values &v) {
  LineWriter w{line, kMarkupLineCapacity};
  switch (row.tag) {
    case 0x0112:
      if (orientation_seen) return 0;
      orientation_seen = true;
      w.add(row.format, v.first(), describe(entry, kDescriptionRoom));
      break;
    case 0x0212: w.add(row.format, v.first(0), v.first(1), describe(entry, kDescriptionRoom)); break;
    case 0x829A: {
      int32_t num = 0, den = 1;
      markup_ToFraction(v.real(0), 1000, &num, &den);
      w.add(row.format, static_cast<int>(num), static_cast<int>(den));
      break;
    }
    case 0x829D: w.add(row.format, normalisedFNumber(v.real(0))); break;
    case 0x9101: {
      LineWriter bytes{scratch, kMarkupLineCapacity};
      for (size_t i = 0; i < v.size && !bytes.full(); ++i) bytes.add("%i,", v.data[i]);
      trimEnds(scratch, bytes.at, kListTrimSet);
      w.add(row.format, scratch, describe(entry, kComponentsDescriptionRoom));
      break;
    }
    case 0x9214:
      w.add(row.format, v.first(0), v.first(1), v.first(2), v.first(3), describe(entry, kDescriptionRoom));
      break;
    case 0x927C: {
      if (v.size > static_cast<size_t>(kMarkupBlockMax)) return 0;
      w.add("%s", row.format);
      return w.at + static_cast<size_t>(markup_FormatBlock(line + w.at, static_cast<int>(kLineRoom - w.at), v.data, v.size));
    }
    case 0x9286: {
      const char *text = v.text();
      size_t length = static_cast<size_t>(v.textLength());
      if (v.size > 8 && std::memcmp(v.data, "ASCII", 5) == 0) {
        text += 8;
        length = strnlen(text, v.size - 8);
      } else if (v.size >= 7 && std::memcmp(v.data, "UNICODE", 7) == 0) {
        const size_t bytes = v.size > 8 ? (v.size - 8 < 4094 ? v.size - 8 : 4094) : 0;
        length = utf16ToUtf8(v.data + 8, bytes, scratch, sizeof scratch);
        text = scratch;
      }
      if (length >= sizeof scratch) length = sizeof scratch - 1;
      std::memmove(scratch, text, length);
      if (trimEnds(scratch, length, kMarkupTrimSet) == 0) return 0;
      w.add("%s%s", row.format, scratch);
      break;
    }
    case 0x9C9B:
      // Other writers store the title as UTF-16LE bytes; 8-bit text would
      // end at its first character.
      if (v.format == EXIF_FORMAT_BYTE && v.size % 2 == 0) {
        const size_t length = utf16ToUtf8(v.data, v.size, scratch, sizeof scratch);
        w.add(row.format, static_cast<int>(length), scratch);
      } else {
        w.add(row.format, v.textLength(), v.text());
      }
      break;
    case 0xA001:
      w.add(row.format, v.first(), v.first() == 1 ? "sRGB" : describe(entry, kDescriptionRoom));
      break;
    case 0xA215: w.add(row.format, clampToInt(v.real(0) + 0.5)); break;
    case 0xA300: {
      const int source = v.size > 0 ? v.data[0] : 0;
      w.add("%s%s", row.format,
            source == 1 ? "1 (Film Scanner)" : source == 2 ? "2 (Print Scanner)" : "3 (Digital Camera)");
      break;
    }
    case 0xA432: {
      if (v.size < 32) return 0;
      LineWriter list{scratch, kMarkupLineCapacity};
      for (size_t i = 0; i < v.count() && !list.full(); ++i) list.add("%g, ", v.real(i));
      trimEnds(scratch, list.at, kListTrimSet);
      w.add("%s%s", row.format, scratch);
      break;
    }
    case 0xA461: w.add(row.format, v.first(0), v.first(1)); break;
    default: return 0;
  }
  return w.at;
}

size_t Conversion::unknownLine(int ifd, const Values &v, unsigned tag) {
  if (v.size == 0) return 0;
  LineWriter w{line, kMarkupLineCapacity};
  char key[kUnknownKeyRoom];
  std::snprintf(key, sizeof key, "exif.unknown.IFD%i.0x%04x", ifd, tag);
  w.add("%s=", key);
  const size_t value_start = w.at;
  switch (v.format) {
    case EXIF_FORMAT_BYTE:
    case EXIF_FORMAT_SBYTE:
      for (size_t i = 0; i < v.size && !w.full(); ++i) w.add("%i,", v.data[i]);
      break;
    case EXIF_FORMAT_ASCII: w.add("%.*s", v.textLength(), v.text()); break;
    case EXIF_FORMAT_SHORT:
    case EXIF_FORMAT_SSHORT:
      for (size_t i = 0; i < v.count() && !w.full(); ++i) w.add("%i, ", exif_get_short(v.at(i), order));
      break;
    // LONG is unsigned by definition; printing it signed would turn large
    // counts and offsets negative.
    case EXIF_FORMAT_LONG:
      for (size_t i = 0; i < v.count() && !w.full(); ++i) w.add("%u, ", exif_get_long(v.at(i), order));
      break;
    case EXIF_FORMAT_SLONG:
      for (size_t i = 0; i < v.count() && !w.full(); ++i) w.add("%i, ", exif_get_slong(v.at(i), order));
      break;
    // FLOAT and DOUBLE read like the rationals: numbers a reader can use.
    case EXIF_FORMAT_RATIONAL:
    case EXIF_FORMAT_SRATIONAL:
    case EXIF_FORMAT_FLOAT:
    case EXIF_FORMAT_DOUBLE:
      for (size_t i = 0; i < v.count() && !w.full(); ++i) w.add("%g, ", v.real(i));
      break;
    default: {
      if (v.size > static_cast<size_t>(kMarkupBlockMax)) return 0;
      const int length = markup_FormatBlock(line + w.at, static_cast<int>(kLineRoom - w.at), v.data, v.size);
      return length > 0 ? w.at + static_cast<size_t>(length) : 0;
    }
  }
  size_t value_length = w.at - value_start;
  if (v.format != EXIF_FORMAT_BYTE && v.format != EXIF_FORMAT_SBYTE && v.format != EXIF_FORMAT_ASCII)
    value_length = trimEnds(line + value_start, value_length, kListTrimSet);
  return value_length == 0 ? 0 : value_start + value_length;
}

size_t Conversion::gpsLine(const Values &v, unsigned tag) {
  LineWriter w{line, kMarkupLineCapacity};
  const char first = v.size > 0 ? static_cast<char>(v.data[0]) : '\0';
  const int first_length = v.size > 0 ? 1 : 0;
  switch (tag) {
    case 0x00: {
      int parts[4] = {};
      for (size_t i = 0; i < 4 && i < v.size; ++i) parts[i] = v.data[i];
      w.add("exif.GPS.version=%i,%i,%i,%i", parts[0], parts[1], parts[2], parts[3]);
      break;
    }
    case 0x01: w.add("exif.GPS.latitude.ref=%.*s", first_length, &first); break;
    case 0x03: w.add("exif.GPS.longitude.ref=%.*s", first_length, &first); break;
    case 0x02:
    case 0x04: {
      const size_t parts = (v.size < 24 ? v.size : 24) / 8;
      double dms[3] = {};
      for (size_t i = 0; i < parts; ++i) dms[i] = v.real(i);
      w.add(tag == 0x02 ? "exif.GPS.latitude.pos=%.12g%s" : "exif.GPS.longitude.pos=%.12g%s",
            dms[0] + dms[1] / 60.0 + dms[2] / 3600.0, "\xC2\xB0");
      break;
    }
    case 0x05: w.add("exif.GPS.altitude.ref=%s", first == 0 ? "0 (above sea-level)" : "1 (below sea-level)"); break;
    case 0x06: w.add("exif.GPS.altitude.pos=%.5g m", v.real(0)); break;
    case 0x07: {
      const double hours = v.real(0), minutes = v.real(1), seconds = v.real(2);
      w.add("exif.GPS.timestamp=%02i:%02i:%02i.%03i", clampToInt(hours), clampToInt(minutes), clampToInt(seconds),
            static_cast<int>(clampToInt64(seconds * 1000) % 1000));
      break;
    }
    case 0x08: w.add("exif.GPS.satellites=%.*s", v.textLength(), v.text()); break;
    case 0x09: w.add("exif.GPS.status=%s", first == 'V' ? "V (Void)" : "A (Active)"); break;
    case 0x0A: w.add("exif.GPS.measure_mode=%.*s-D", first_length, &first); break;
    case 0x0B: w.add("exif.GPS.DOP=%.5g", v.real(0)); break;
    case 0x0C: {
      const char unit = first >= 'a' && first <= 'z' ? static_cast<char>(first - 32) : first;
      w.add("exif.GPS.speed.ref=%s", unit == 'M' ? "M (mph)" : unit == 'N' ? "N (knots)" : "K (km/h)");
      break;
    }
    case 0x0D: w.add("exif.GPS.speed.val=%.5g", v.real(0)); break;
    case 0x1D: w.add("exif.GPS.datestamp=%.*s", v.textLength(), v.text()); break;
    default: return 0;
  }
  return w.at;
}

void Conversion::convert(ExifEntry *entry, int ifd) {
  if (entry == nullptr) return;
  if (ifd == EXIF_IFD_GPS) {
    const Values v{entry->data, entry->data ? entry->size : 0u, entry->format, order};
    append(gpsLine(v, entry->tag), false);
  } else {
    append(ifdLine(entry, ifd), true);
  }
}

// One guard for the whole walk; a fault re-enters it behind the entry that
// faulted, or behind the directory that could not be opened.
void walk(Conversion &conversion, ExifData *data) {
  static constexpr int kOrder[] = {EXIF_IFD_0, EXIF_IFD_1, EXIF_IFD_EXIF, EXIF_IFD_INTEROPERABILITY, EXIF_IFD_GPS};
  constexpr int kStages = sizeof kOrder / sizeof kOrder[0];
  volatile int stage = 0;
  volatile unsigned next = 0;  // advanced before each entry is converted
  volatile bool opened = false;
  while (stage < kStages) {
    const bool clean = os_Guard([&] {
      while (stage < kStages) {
        const int ifd = kOrder[stage];
        ExifContent *content = data->ifd[ifd];
        const unsigned count = content != nullptr && content->entries != nullptr ? content->count : 0;
        opened = true;
        while (next < count) {
          const unsigned index = next;
          next = index + 1;
          conversion.convert(content->entries[index], ifd);
        }
        stage = stage + 1;
        next = 0;
        opened = false;
      }
    });
    if (!clean && !opened) {
      stage = stage + 1;
      next = 0;
    }
  }
}

// Whether the EXIF directory of a TIFF structure holds a tag that the
// writer puts there and `loaded` lacks. Reads only inside the block.
bool exifIfdLost(const unsigned char *tiff, size_t size, const ExifContent *loaded) {
  if (size < 8 || tiff[0] != tiff[1] || (tiff[0] != 'I' && tiff[0] != 'M')) return false;
  const ExifByteOrder order = tiff[0] == 'I' ? EXIF_BYTE_ORDER_INTEL : EXIF_BYTE_ORDER_MOTOROLA;
  auto directory = [&](uint32_t offset, uint16_t *count) {
    if (offset > size - 2) return false;
    *count = exif_get_short(tiff + offset, order);
    return *count <= (size - offset - 2) / 12;
  };
  uint32_t offset = exif_get_long(tiff + 4, order), exif_offset = 0;
  uint16_t count = 0;
  if (!directory(offset, &count)) return false;
  for (unsigned i = 0; i < count && exif_offset == 0; ++i)
    if (exif_get_short(tiff + offset + 2 + 12 * i, order) == EXIF_TAG_EXIF_IFD_POINTER)
      exif_offset = exif_get_long(tiff + offset + 2 + 12 * i + 8, order);
  if (exif_offset == 0 || !directory(exif_offset, &count)) return false;
  for (unsigned i = 0; i < count; ++i) {
    const auto tag = static_cast<ExifTag>(exif_get_short(tiff + exif_offset + 2 + 12 * i, order));
    if (markup_WrittenToExifIfd(tag) && (loaded == nullptr || exif_content_get_entry(const_cast<ExifContent *>(loaded), tag) == nullptr))
      return true;
  }
  return false;
}

}  // namespace

// libexif's default load drops from the EXIF directory the tags it records
// only in IFD 0, and our writer puts several there (DateTime, resolution,
// dimensions, the XP texts). When a block holds such entries, a second load
// that keeps unknown tags brings back those, and only those; where libexif
// made up a default for the same tag in IFD 0, the block's own value wins.
// Runs inside the caller's guard; a fault leaks the second object.
void markup_RecoverExifIfd(ExifData *exif, const unsigned char *block, size_t size) {
  const bool framed = size >= 6 && std::memcmp(block, "Exif\0\0", 6) == 0;
  if (!exifIfdLost(framed ? block + 6 : block, framed ? size - 6 : size, exif->ifd[EXIF_IFD_EXIF])) return;
  ExifData *raw = exif_data_new();
  if (raw == nullptr) return;
  exif_data_unset_option(raw, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
  exif_data_unset_option(raw, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(raw, block, static_cast<unsigned>(size));
  ExifContent *target = exif->ifd[EXIF_IFD_EXIF], *source = raw->ifd[EXIF_IFD_EXIF];
  for (unsigned i = 0; source != nullptr && i < source->count; ++i) {
    ExifEntry *entry = source->entries[i];
    if (!markup_WrittenToExifIfd(entry->tag) || exif_content_get_entry(target, entry->tag) != nullptr) continue;
    entry->parent = nullptr;  // a directory takes only entries that belong to none
    exif_content_add_entry(target, entry);
    if (entry->parent != target) continue;
    ExifEntry *made_up = exif_content_get_entry(exif->ifd[EXIF_IFD_0], entry->tag);
    if (made_up != nullptr && exif_content_get_entry(raw->ifd[EXIF_IFD_0], entry->tag) == nullptr)
      exif_content_remove_entry(exif->ifd[EXIF_IFD_0], made_up);
  }
  exif_data_unref(raw);
}

int markup_ExifDataToLines(ExifData *data, char *out, size_t out_size, bool structure, bool unlisted) {
  if (data == nullptr || out == nullptr || out_size < 1) return 0;
  Conversion conversion;  // default-initialised: the buffers are not cleared
  conversion.out = out;
  conversion.capacity = out_size;
  conversion.structure = structure;
  conversion.unlisted = unlisted;
  conversion.order = exif_data_get_byte_order(data);
  out[0] = '\0';
  walk(conversion, data);
  if (conversion.lines == 0) out[0] = '\0';
  return conversion.lines;
}

int markup_FromEXIF(char *out, int32_t out_size, const void *data, int32_t size) {
  if (out != nullptr && out_size >= 1) out[0] = '\0';
  if (out == nullptr || data == nullptr || out_size < 4 || size < 4) return 0;
  ExifData *exif = exif_data_new();
  if (exif == nullptr) return 0;
  cfg_Record settings;  // a copy: loads on other threads may reload the record
  cfg_Snapshot(&settings);

  // The first bytes are read, the block framed and loaded under one guard.
  volatile bool head_read = false;
  unsigned char *volatile framed = nullptr;
  const unsigned char *volatile loaded_block = nullptr;
  volatile size_t loaded_size = 0;
  const bool loaded = os_Guard([&] {
    unsigned char head[6] = {};
    std::memcpy(head, data, size < 6 ? static_cast<size_t>(size) : 6);
    head_read = true;
    const unsigned char *block = static_cast<const unsigned char *>(data);
    size_t block_size = static_cast<size_t>(size);
    // libexif finds a bare TIFF structure only behind the APP1 header.
    if (head[0] == head[1] && (head[0] == 'I' || head[0] == 'M')) {
      framed = static_cast<unsigned char *>(std::malloc(block_size + 38));
      if (framed != nullptr) {
        std::memcpy(framed, "Exif\0\0", 6);
        std::memcpy(framed + 6, data, block_size);
        block = framed;
        block_size += 6;
      }
    }
    exif_data_load_data(exif, block, static_cast<unsigned>(block_size));
    loaded_block = block;
    loaded_size = block_size;
  });
  // Its own guard: a fault there costs only the recovered entries.
  if (loaded) os_Guard([&] { markup_RecoverExifIfd(exif, loaded_block, loaded_size); });
  std::free(framed);
  if (!head_read) {
    exif_data_unref(exif);
    return 0;
  }
  // A libexif object left half-built by a fault is not trusted with its own
  // release: it is leaked instead, and the block counts as unreadable.
  if (loaded) {
    markup_ExifDataToLines(exif, out, static_cast<size_t>(out_size), settings.exif_add_structure != 0,
                           settings.exif_add_unlisted != 0);
    exif_data_unref(exif);
  }
  return 1;
}
