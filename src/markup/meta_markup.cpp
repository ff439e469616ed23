// The growable markup record handed to plug-ins.
#include "markup/meta_markup.h"

#include <cstdio>
#include <cstring>

#include "markup/markup_internal.h"
#include "markup/markup_text.h"
#include "platform/os.h"

namespace {

// Blocks stay well inside what the 32-bit fields and int offsets can say.
constexpr size_t kMaxCapacity = 0x7FFFFF00u;

// The record's block as a text, terminated inside its capacity; null when
// the record holds none or what it holds is not a live block of that size
// (the record may have been handled by a plug-in).
char *textOf(MetaMarkup *markup) {
  if (markup->buffer == nullptr || markup->capacity == 0) return nullptr;
  if (GlobalFlags(markup->buffer) == GMEM_INVALID_HANDLE || GlobalSize(markup->buffer) < markup->capacity) {
    return nullptr;
  }
  char *text = static_cast<char *>(markup->buffer);
  text[markup->capacity - 1] = '\0';
  return text;
}

void refresh(MetaMarkup *markup) {
  char *text = textOf(markup);
  if (text == nullptr) return;
  const size_t length = std::strlen(text);
  markup->size = length > 0 ? static_cast<uint32_t>(length + 1) : 0;
  markup->text = text;
}

// Makes room for `extra` more bytes; on failure the record stays as it was.
bool grow(MetaMarkup *markup, size_t extra) {
  char *text = textOf(markup);
  if (text == nullptr && markup->buffer != nullptr) return false;
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  const size_t size = length > 0 ? length + 1 : 0;
  if (text != nullptr) {
    markup->size = static_cast<uint32_t>(size);
    markup->text = text;
  }
  if (extra > kMaxCapacity) return false;
  if (text != nullptr && markup->capacity > size + extra + 16) return true;
  const size_t capacity = (size + extra + 511) / 256 * 256;
  if (capacity > kMaxCapacity) return false;
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, capacity);
  if (block == nullptr) return false;
  char *grown = static_cast<char *>(block);
  std::memcpy(grown, text != nullptr ? text : "", length);
  std::memset(grown + length, 0, capacity - length);
  if (markup->buffer != nullptr) os_GlobalRelease(markup->buffer);
  markup->buffer = block;
  markup->text = grown;
  markup->size = static_cast<uint32_t>(size);
  markup->capacity = static_cast<uint32_t>(capacity);
  return true;
}

// An argument that points into the record's own block would be freed by the
// growth: such arguments are copied first.
class StableArgument {
 public:
  StableArgument(const MetaMarkup *markup, const char *text, size_t length) : text_(text) {
    if (text == nullptr || markup->buffer == nullptr) return;
    const auto from = reinterpret_cast<uintptr_t>(markup->buffer);
    const auto at = reinterpret_cast<uintptr_t>(text);
    if (at < from || at >= from + markup->capacity) return;
    copy_ = GlobalAlloc(GMEM_FIXED, length + 1);
    if (copy_ == nullptr) {
      failed_ = true;
      return;
    }
    std::memcpy(copy_, text, length);
    static_cast<char *>(copy_)[length] = '\0';
    text_ = static_cast<const char *>(copy_);
  }
  ~StableArgument() {
    if (copy_ != nullptr) GlobalFree(copy_);
  }
  StableArgument(const StableArgument &) = delete;
  StableArgument &operator=(const StableArgument &) = delete;
  const char *get() const { return text_; }
  bool failed() const { return failed_; }

 private:
  const char *text_;
  HGLOBAL copy_ = nullptr;
  bool failed_ = false;
};

}  // namespace

extern "C" {

int32_t VGM_API markup_MetaInit(MetaMarkup *markup) {
  if (markup == nullptr) return 0;
  std::memset(markup, 0, sizeof *markup);
  HGLOBAL block = GlobalAlloc(GPTR, kMetaMarkupInitialCapacity);
  if (block == nullptr) return 0;
  markup->buffer = block;
  markup->text = static_cast<char *>(block);
  markup->capacity = kMetaMarkupInitialCapacity;
  return 1;
}

int32_t VGM_API markup_MetaInitFromData(MetaMarkup *markup, const void *data, uint32_t size) {
  if (markup_MetaInit(markup) == 0) return 0;
  if (data == nullptr || size == 0) return 1;
  if (!grow(markup, static_cast<size_t>(size) + 4)) {
    markup_MetaFree(markup);
    return 0;
  }
  char *text = static_cast<char *>(markup->buffer);
  const size_t count = size < markup->capacity ? size : markup->capacity - 1;
  // The data comes from a file or a plug-in: a fault while copying leaves
  // the text empty.
  if (!os_Guard([&] { std::memcpy(text, data, count); })) {
    std::memset(text, 0, markup->capacity);
  }
  text[count] = '\0';
  refresh(markup);
  return 1;
}

int32_t VGM_API markup_MetaFree(MetaMarkup *markup) {
  if (markup == nullptr) return 0;
  os_GlobalRelease(markup->buffer);
  std::memset(markup, 0, sizeof *markup);
  return 1;
}

int32_t VGM_API markup_MetaMerge(MetaMarkup *markup, const char *text) {
  if (markup == nullptr || text == nullptr) return 0;
  const size_t length = markup_ArgLength(text, kMarkupTextLimit, nullptr);
  StableArgument source(markup, text, length);
  if (source.failed() || !grow(markup, length + 4)) return 0;
  const char *walk = source.get();
  size_t at = 0;
  while (at < length && markup_IsLineSpace(walk[at])) ++at;
  if (at >= length) return 0;
  char key[kMarkupKeyMax + 1];
  char value[kMarkupValueMax + 1];
  bool complete = true;
  for (;;) {
    const int next = markup_NextPair(walk + at, key, value);
    if (next <= 0) break;
    at += static_cast<size_t>(next);
    // Room for this pair as the set writes it: the text's own length does
    // not cover the line breaks and ';' that pairs gain.
    if (!grow(markup, std::strlen(key) + std::strlen(value) + 16)) {
      complete = false;
      break;
    }
    markup_Set(static_cast<char *>(markup->buffer), static_cast<int>(markup->capacity), key, value);
  }
  refresh(markup);
  return complete ? 1 : 0;
}

int32_t VGM_API markup_MetaGet(MetaMarkup *markup, const char *key, char *out, int32_t out_size) {
  if (out != nullptr && out_size >= 1) out[0] = '\0';
  if (markup == nullptr) return 0;
  const char *text = textOf(markup);
  if (text == nullptr) return 0;
  if (out == nullptr) return markup_PairLength(text, key);
  return markup_Get(text, key, out, out_size, nullptr, nullptr);
}

int32_t VGM_API markup_MetaSet(MetaMarkup *markup, const char *key, const char *value) {
  if (markup == nullptr || key == nullptr || value == nullptr) return 0;
  const size_t key_length = markup_ArgLength(key, kMarkupTextLimit, nullptr);
  const size_t value_length = markup_ArgLength(value, kMarkupTextLimit, nullptr);
  if (key_length == 0) return 0;
  StableArgument stable_key(markup, key, key_length);
  StableArgument stable_value(markup, value, value_length);
  if (stable_key.failed() || stable_value.failed()) return 0;
  if (!grow(markup, key_length + value_length + 16)) return 0;
  const int result = markup_Set(static_cast<char *>(markup->buffer), static_cast<int>(markup->capacity),
                                stable_key.get(), stable_value.get());
  refresh(markup);
  return result != 0 ? 1 : 0;
}

int32_t VGM_API markup_MetaGetBpp(MetaMarkup *markup, int32_t *bpp) {
  if (bpp == nullptr) return 0;
  char value[kMarkupKeyMax + 1];
  if (markup_MetaGet(markup, "image.bpp", value, sizeof value) == 0) return 0;
  const int32_t parsed = markup_ParseDigitInt(value);
  if (parsed == 0) return 0;
  *bpp = parsed;
  return 1;
}

int32_t VGM_API markup_MetaSetBpp(MetaMarkup *markup, int32_t bpp) {
  char value[16];
  std::snprintf(value, sizeof value, "%i", static_cast<int>(bpp));
  return markup_MetaSet(markup, "image.bpp", value);
}

}  // extern "C"
