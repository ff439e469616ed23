// Lookup, replacement, deletion and pair walking on markup text.
#include "markup/markup_text.h"

#include <algorithm>
#include <cstring>

#include "markup/markup_internal.h"
#include "platform/os.h"

size_t markup_ArgLength(const char *text, size_t limit, bool *readable) {
  size_t length = 0;
  bool ok = false;
  if (text != nullptr) {
    // Texts come from files and plug-ins: a pointer into nowhere must not
    // take the process down, it only makes the argument empty.
    ok = os_Guard([&] { length = strnlen(text, limit); });
    if (!ok) length = 0;
  }
  if (readable != nullptr) *readable = ok;
  return length;
}

namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);
// A lookup tries key + each of these, in this order.
constexpr char kKeyTerminators[] = {'=', ' ', '\t'};
// Longest key markup_Delete looks for.
constexpr size_t kDeleteKeyMax = 2047;

// First offset where `key` (and `terminator`, unless it is 0) matches,
// ASCII case-insensitively.
size_t findPattern(const char *text, size_t length, const char *key, size_t key_length, char terminator) {
  const size_t pattern = key_length + (terminator != '\0' ? 1 : 0);
  if (pattern == 0) return 0;
  if (pattern > length) return kNotFound;
  const char first = markup_AsciiLower(key_length > 0 ? key[0] : terminator);
  for (size_t at = 0; at + pattern <= length; ++at) {
    if (markup_AsciiLower(text[at]) != first) continue;
    size_t i = 0;
    while (i < key_length && markup_AsciiLower(text[at + i]) == markup_AsciiLower(key[i])) ++i;
    if (i < key_length) continue;
    if (terminator != '\0' && text[at + key_length] != terminator) continue;
    return at;
  }
  return kNotFound;
}

// The first match of key + '=', else of key + ' ', else of key + '\t': one
// pass that notes the first place of each, the same as three scans in turn.
size_t findKey(const char *text, size_t length, const char *key, size_t key_length) {
  size_t first[sizeof kKeyTerminators] = {kNotFound, kNotFound, kNotFound};
  size_t from = 0;
  while (first[0] == kNotFound) {
    const size_t at = findPattern(text + from, length - from, key, key_length, '\0');
    if (at == kNotFound || from + at + key_length >= length) break;
    const size_t match = from + at;
    for (size_t i = 0; i < sizeof kKeyTerminators; ++i) {
      if (text[match + key_length] == kKeyTerminators[i] && first[i] == kNotFound) first[i] = match;
    }
    from = match + 1;
  }
  for (size_t at : first) {
    if (at != kNotFound) return at;
  }
  return kNotFound;
}

size_t findChar(const char *text, size_t from, size_t length, char c) {
  if (from >= length) return kNotFound;
  const void *hit = std::memchr(text + from, c, length - from);
  return hit != nullptr ? static_cast<size_t>(static_cast<const char *>(hit) - text) : kNotFound;
}

// Measures a text the caller lets us write up to `capacity` bytes of. A
// text with no terminator inside its capacity is cut at its last byte, so
// that every later write keeps it terminated.
bool measureBuffer(char *text, int capacity, size_t *length) {
  if (text == nullptr || capacity < 1) return false;
  const size_t limit = std::min(static_cast<size_t>(capacity), kMarkupTextLimit);
  bool readable = false;
  size_t n = markup_ArgLength(text, limit, &readable);
  if (!readable) return false;
  if (n >= limit) {
    n = limit - 1;
    text[n] = '\0';
  }
  *length = n;
  return true;
}

// Appends to a text, never past capacity - 1 bytes plus the terminator.
struct BoundedWriter {
  char *text;
  size_t capacity;
  size_t position;

  void put(const char *bytes, size_t count) {
    const size_t room = capacity - 1 - position;
    if (count > room) count = room;
    if (count > 0) std::memmove(text + position, bytes, count);
    position += count;
  }
  void finish() { text[position] = '\0'; }
};

}  // namespace

int markup_Get(const char *text, const char *key, char *out, int out_size, int *out_start, int *out_end) {
  if (out != nullptr) {
    if (out_size < 1) return 0;
    out[0] = '\0';
  } else if (out_start == nullptr && out_end == nullptr) {
    return 0;
  }
  if (text == nullptr || key == nullptr) return 0;
  const size_t length = markup_ArgLength(text, kMarkupTextLimit, nullptr);
  const size_t key_length = markup_ArgLength(key, kMarkupTextLimit, nullptr);
  // An empty key would match the first '=' and hand out an unrelated value.
  if (key_length == 0) return 0;
  const size_t match = findKey(text, length, key, key_length);
  if (match == kNotFound) return 0;
  const size_t equals = findChar(text, match, length, '=');
  if (equals == kNotFound) return 0;

  const size_t limit = out != nullptr ? static_cast<size_t>(out_size) - 1 : kNotFound;
  size_t at = equals + 1;
  size_t copied = 0;
  while (at < length && text[at] != ';' && text[at] != '\r' && text[at] != '\n' && copied < limit) {
    if (out != nullptr) out[copied] = text[at];
    ++copied;
    ++at;
  }
  if (out != nullptr) out[copied] = '\0';
  if (out_start != nullptr) *out_start = static_cast<int>(match);
  if (out_end != nullptr) *out_end = static_cast<int>(at);
  return 1;
}

int markup_PairLength(const char *text, const char *key) {
  int start = 0;
  int end = 0;
  if (markup_Get(text, key, nullptr, 0, &start, &end) == 0) return 0;
  return end - start;
}

int markup_Set(char *text, int capacity, const char *key, const char *value) {
  if (text == nullptr || key == nullptr || value == nullptr || capacity < 1) return 0;
  const size_t key_length = markup_ArgLength(key, kMarkupTextLimit, nullptr);
  if (key_length == 0) return 0;
  const size_t value_length = markup_ArgLength(value, kMarkupTextLimit, nullptr);
  if (value_length == 0) return 0;
  size_t length = 0;
  if (!measureBuffer(text, capacity, &length)) return 0;
  const size_t cap = static_cast<size_t>(capacity);

  const size_t match = findKey(text, length, key, key_length);
  if (match != kNotFound) {
    const size_t equals = findChar(text, match, length, '=');
    if (equals == kNotFound) return 0;
    const size_t semicolon = findChar(text, equals + 1, length, ';');
    const size_t rest = semicolon != kNotFound ? semicolon + 1 : length;
    const size_t rest_length = length - rest;
    // The new value, its ';' and the kept rest are staged in one block, so
    // that a value pointing into the text itself is read before it moves.
    const size_t staged = value_length + 1 + rest_length;
    HGLOBAL block = GlobalAlloc(GMEM_FIXED, staged + 32);
    if (block == nullptr) return 0;
    char *copy = static_cast<char *>(block);
    std::memcpy(copy, value, value_length);
    copy[value_length] = ';';
    std::memcpy(copy + value_length + 1, text + rest, rest_length);
    BoundedWriter writer{text, cap, equals + 1};
    writer.put(copy, staged);
    writer.finish();
    GlobalFree(block);
    return 3;
  }

  // Trailing line breaks go first, so that no blank line results.
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
  text[length] = '\0';
  BoundedWriter writer{text, cap, length};
  if (length > 0) writer.put("\r\n", 2);
  writer.put(key, key_length);
  writer.put("=", 1);
  writer.put(value, value_length);
  writer.put(";", 1);
  writer.finish();
  return 1;
}

int markup_Delete(char *text, const char *key) {
  if (text == nullptr || key == nullptr) return 0;
  const size_t length = markup_ArgLength(text, kMarkupTextLimit, nullptr);
  if (length == 0) return 0;
  char bare[kDeleteKeyMax + 1];
  bool readable = false;
  size_t key_length = markup_ArgLength(key, kDeleteKeyMax, &readable);
  // An empty key removes the first pair, but a key we cannot read must not.
  if (!readable) return 0;
  std::memcpy(bare, key, key_length);
  const void *equals = std::memchr(bare, '=', key_length);
  if (equals != nullptr) key_length = static_cast<size_t>(static_cast<const char *>(equals) - bare);

  const size_t match = findPattern(text, length, bare, key_length, '\0');
  if (match == kNotFound) return 0;
  size_t end = findChar(text, match, length, ';');
  if (end == kNotFound) end = length;
  while (end < length && markup_IsPairSeparator(text[end])) ++end;
  std::memmove(text + match, text + end, length - end);
  text[match + (length - end)] = '\0';
  return 1;
}

int markup_NextPair(const char *text, char *key_out, char *value_out) {
  if (key_out != nullptr) key_out[0] = '\0';
  if (value_out != nullptr) value_out[0] = '\0';
  if (text == nullptr) return 0;
  const size_t length = markup_ArgLength(text, kMarkupTextLimit, nullptr);
  size_t at = 0;
  while (at < length && markup_IsPairSeparator(text[at])) ++at;
  if (at >= length) return 0;
  const size_t equals = findChar(text, at, length, '=');
  if (equals == kNotFound) return 0;

  // Keys hold no whitespace: a space before the '=' ends the key.
  size_t key_end = at;
  while (key_end < equals && !markup_IsLineSpace(text[key_end])) ++key_end;
  const size_t key_length = std::min(key_end - at, static_cast<size_t>(kMarkupKeyMax));
  if (key_out != nullptr) {
    std::memcpy(key_out, text + at, key_length);
    key_out[key_length] = '\0';
  }

  size_t value_start = equals;
  while (value_start < length && text[value_start] == '=') ++value_start;
  while (value_start < length && markup_IsLineSpace(text[value_start])) ++value_start;
  if (value_start >= length) return static_cast<int>(value_start);

  size_t value_end = findChar(text, value_start, length, ';');
  if (value_end == kNotFound) value_end = length;
  size_t kept = value_end;
  while (kept > value_start && markup_IsPairSeparator(text[kept - 1])) --kept;
  const size_t value_length = std::min(kept - value_start, static_cast<size_t>(kMarkupValueMax));
  if (value_out != nullptr) {
    std::memcpy(value_out, text + value_start, value_length);
    value_out[value_length] = '\0';
  }
  size_t next = value_end;
  while (next < length && markup_IsPairSeparator(text[next])) ++next;
  return static_cast<int>(next);
}

int markup_AppendLine(char *buffer, int capacity, const char *key, const char *value) {
  if (buffer == nullptr || key == nullptr) return 0;
  size_t length = 0;
  if (!measureBuffer(buffer, capacity, &length)) return 0;

  constexpr size_t kLineMax = kMarkupLineCapacity - 1;
  char line[kMarkupLineCapacity];
  size_t used = 0;
  auto add = [&](const char *bytes, size_t count) {
    count = std::min(count, kLineMax - used);
    std::memcpy(line + used, bytes, count);
    used += count;
  };
  add(key, markup_ArgLength(key, kLineMax, nullptr));
  add("=", 1);
  add(value, markup_ArgLength(value, kLineMax, nullptr));

  // Values cannot carry the pair's own delimiters.
  size_t kept = 0;
  for (size_t i = 0; i < used; ++i) {
    char c = line[i];
    if (c == '\r' || c == '\n') c = ' ';
    if (c == ';') c = ',';
    if (c == ' ' && kept > 0 && line[kept - 1] == ' ') continue;
    line[kept++] = c;
  }

  BoundedWriter writer{buffer, static_cast<size_t>(capacity), length};
  writer.put(line, kept);
  writer.put(";\r\n", 3);
  writer.finish();
  return 1;
}

int markup_CopyMissing(char *dest, int capacity, const char *src, const char *prefix) {
  if (dest == nullptr || src == nullptr || capacity < 1) return 0;
  size_t dest_length = 0;
  if (!measureBuffer(dest, capacity, &dest_length)) return 0;
  size_t src_length = markup_ArgLength(src, kMarkupTextLimit, nullptr);
  const size_t prefix_length = markup_ArgLength(prefix, kMarkupTextLimit, nullptr);

  // Setting into `dest` moves its bytes: a source inside it is walked from
  // a copy.
  HGLOBAL copy = nullptr;
  const auto dest_from = reinterpret_cast<uintptr_t>(dest);
  const auto src_from = reinterpret_cast<uintptr_t>(src);
  if (src_length > 0 && src_from < dest_from + static_cast<size_t>(capacity) && src_from + src_length >= dest_from) {
    copy = GlobalAlloc(GMEM_FIXED, src_length + 1);
    if (copy == nullptr) return 0;
    std::memcpy(copy, src, src_length);
    static_cast<char *>(copy)[src_length] = '\0';
    src = static_cast<const char *>(copy);
  }

  char key[kMarkupKeyMax + 1];
  char value[1024];
  size_t at = 0;
  for (;;) {
    while (at < src_length && (src[at] == ' ' || src[at] == '\t')) ++at;
    if (src_length - at < 3) break;
    size_t end = at;
    while (end < src_length && src[end] != ';' && src[end] != '\r' && src[end] != '\n') ++end;
    const size_t equals = findChar(src, at, end, '=');
    if (equals != kNotFound) {
      const size_t key_length = std::min(equals - at, static_cast<size_t>(kMarkupKeyMax));
      std::memcpy(key, src + at, key_length);
      key[key_length] = '\0';
      bool wanted = key_length > 0 && key_length >= prefix_length;
      for (size_t i = 0; wanted && i < prefix_length; ++i) {
        wanted = markup_AsciiLower(key[i]) == markup_AsciiLower(prefix[i]);
      }
      int held = 0;
      if (wanted && markup_Get(src, key, value, sizeof value, nullptr, nullptr) != 0 &&
          markup_Get(dest, key, nullptr, 0, &held, nullptr) == 0) {
        markup_Set(dest, capacity, key, value);
      }
    }
    at = end < src_length ? end + 1 : src_length;
  }
  if (copy != nullptr) GlobalFree(copy);
  return 1;
}

int markup_Trim(char *text, const char *set) {
  if (text == nullptr) return 0;
  const size_t length = markup_ArgLength(text, kMarkupTextLimit, nullptr);
  if (length == 0) return 0;
  const char *chars = kMarkupTrimSet;
  size_t chars_length = std::strlen(kMarkupTrimSet);
  if (const size_t given = markup_ArgLength(set, 256, nullptr); given > 0) {
    chars = set;
    chars_length = given;
  }
  auto trimmed = [&](char c) { return std::memchr(chars, c, chars_length) != nullptr; };
  size_t begin = 0;
  while (begin < length && trimmed(text[begin])) ++begin;
  if (begin == length) {
    text[0] = '\0';
    return -1;
  }
  size_t end = length;
  while (end > begin && trimmed(text[end - 1])) --end;
  std::memmove(text, text + begin, end - begin);
  text[end - begin] = '\0';
  return 1;
}
