// Numbers inside markup values. Parsing never depends on the process
// locale: values are written with '.' whatever the host set.
#include <charconv>
#include <cmath>
#include <cstring>

#include "markup/markup_internal.h"
#include "markup/markup_text.h"

namespace {

// Numbers are short; a value longer than this is read only this far.
constexpr size_t kNumberTextMax = 4096;

int32_t parseDigits(const char *text, size_t length, size_t at, bool negative) {
  int64_t magnitude = 0;
  constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
  while (at < length && markup_IsDigit(text[at])) {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > kLimit) magnitude = kLimit;  // saturate, keep scanning
    ++at;
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(magnitude > INT32_MAX ? INT32_MAX : magnitude);
}

}  // namespace

int32_t markup_ParseInt(const char *text) {
  const size_t length = markup_ArgLength(text, kNumberTextMax, nullptr);
  size_t at = 0;
  while (at < length && std::strchr(" \t\r\n\f\v", text[at]) != nullptr) ++at;
  bool negative = false;
  if (at < length && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  // Leading zeros are skipped so that "032" is read as decimal 32.
  while (at + 1 < length && text[at] == '0' && markup_IsDigit(text[at + 1])) ++at;
  return parseDigits(text, length, at, negative);
}

int32_t markup_ParseDigitInt(const char *text) {
  const size_t length = markup_ArgLength(text, kNumberTextMax, nullptr);
  size_t at = 0;
  while (at < length && !markup_IsDigit(text[at])) ++at;
  return parseDigits(text, length, at, false);
}

double markup_ParseReal(const char *text) {
  const size_t length = markup_ArgLength(text, kNumberTextMax, nullptr);
  size_t at = 0;
  while (at < length && std::strchr(".e+-0123456789", text[at]) == nullptr) ++at;
  if (at >= length) return 0.0;
  bool negative = false;
  if (text[at] == '+' || text[at] == '-') negative = text[at++] == '-';
  // Only digits and a point may follow: "inf" and "nan" are not numbers here.
  if (at >= length || !(markup_IsDigit(text[at]) || text[at] == '.')) return 0.0;
  double value = 0.0;
  const auto [end, error] = std::from_chars(text + at, text + length, value, std::chars_format::general);
  if (error == std::errc::invalid_argument) return 0.0;
  if (error == std::errc::result_out_of_range) {
    // Too large or too small for a double: tell them apart by the exponent.
    const char *exponent = text + at;
    while (exponent < end && *exponent != 'e' && *exponent != 'E') ++exponent;
    const bool tiny = exponent + 1 < end && exponent[1] == '-';
    value = tiny ? 0.0 : HUGE_VAL;
  }
  return negative ? -value : value;
}
