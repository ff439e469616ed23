// Helpers shared by the codec plug-ins, header only so that each plug-in
// stays one module that sees only the public plug-in header: files by UTF-16
// path, probes, options, progress, the markup and colour services, a
// bounds-checked reader and writer for EXIF's first IFD, and the steps every
// save and every export shares. Everything reaches the host through the
// request record; null tables and slots are skipped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <process.h>
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <unistd.h>
#endif

#include "vgm/vgm_plugin.h"

namespace flt {

// Largest surface a plug-in asks for: 2^28 pixels (1 GiB of B, G, R, T).
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;
constexpr size_t kMaxFileSize = size_t(1) << 30;

inline bool sizeAllowed(uint64_t width, uint64_t height) {
  return width > 0 && height > 0 && width <= 65535 && height <= 65535 && width * height <= kMaxPixels;
}

// ---- Files ----------------------------------------------------------------

// UTF-16 to UTF-8 (surrogate pairs joined), for the file system and messages.
inline std::string utf8(const WCHAR *text) {
  std::string out;
  for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[++i]) - 0xDC00);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6), out += char(0x80 | (c & 63));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 63)), out += char(0x80 | (c & 63));
    } else {
      out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 63)), out += char(0x80 | (c >> 6 & 63));
      out += char(0x80 | (c & 63));
    }
  }
  return out;
}

inline std::u16string utf16(const char *ascii) {
  std::u16string out;
  while (ascii != nullptr && *ascii != 0) out += char16_t(uint8_t(*ascii++));
  return out;
}

#if defined(_WIN32)
inline FILE *openPath(const WCHAR *path, bool write) {
  std::wstring name;
  for (size_t i = 0; path[i] != 0; ++i) name.push_back(wchar_t(path[i]));
  return _wfopen(name.c_str(), write ? L"wb" : L"rb");
}
#else
inline FILE *openPath(const WCHAR *path, bool write) { return fopen(utf8(path).c_str(), write ? "wb" : "rb"); }
#endif
inline FILE *openRead(const WCHAR *path) { return path != nullptr && path[0] != 0 ? openPath(path, false) : nullptr; }

// A file written beside the target and moved over it only when complete, so
// a failed save never leaves a partial file in place of a good one.
class SafeFile {
 public:
  explicit SafeFile(const WCHAR *path) : target_(utf8(path)) {
    temp_ = target_ + "." + std::to_string(getpid()) + ".part";
    if (!target_.empty()) file_ = fopen(temp_.c_str(), "wb");
  }
  ~SafeFile() {
    if (file_ != nullptr) fclose(file_);
    if (!committed_) remove(temp_.c_str());
  }
  SafeFile(const SafeFile &) = delete;
  SafeFile &operator=(const SafeFile &) = delete;
  FILE *get() const { return file_; }
  bool commit() {
    if (file_ == nullptr) return false;
    bool ok = fflush(file_) == 0 && !ferror(file_);
    ok = fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (ok && rename(temp_.c_str(), target_.c_str()) == 0) committed_ = true;
    return committed_;
  }

 private:
  std::string target_, temp_;
  FILE *file_ = nullptr;
  bool committed_ = false;
};

// The whole file; a result code.
inline int32_t readFile(const WCHAR *path, std::vector<uint8_t> &data) {
  if (path == nullptr || path[0] == 0) return FLT_ERR_OPEN_READ;
  FILE *file = openPath(path, false);
  if (file == nullptr) return FLT_ERR_OPEN_READ;
  int32_t code = FLT_OK;
  if (fseek(file, 0, SEEK_END) != 0) {
    code = FLT_ERR_READ;
  } else {
    long size = ftell(file);
    if (size < 0) {
      code = FLT_ERR_READ;
    } else if (size_t(size) > kMaxFileSize) {
      code = FLT_ERR_OUT_OF_MEMORY;
    } else {
      rewind(file);
      data.resize(size_t(size));
      if (size > 0 && fread(data.data(), 1, data.size(), file) != data.size()) code = FLT_ERR_READ;
    }
  }
  fclose(file);
  return code;
}

// Writes the encoded file whole or not at all.
inline int32_t writeFile(const WCHAR *path, const uint8_t *data, size_t size) {
  SafeFile out(path);
  if (out.get() == nullptr) return FLT_ERR_OPEN_WRITE;
  if (fwrite(data, 1, size, out.get()) != size || !out.commit()) return FLT_ERR_WRITE;
  return FLT_OK;
}

// ---- Probes ---------------------------------------------------------------

// The probe's extension equals `ascii` (lower case with its dot).
inline bool extensionIs(const FltProbe *probe, const char *ascii) {
  size_t i = 0;
  for (; ascii[i] != 0; ++i)
    if (i >= FLT_EXTENSION_CAPACITY || probe->extension[i] != WCHAR(uint8_t(ascii[i]))) return false;
  return i < FLT_EXTENSION_CAPACITY && probe->extension[i] == 0;
}

inline bool extensionIn(const FltProbe *probe, std::initializer_list<const char *> list) {
  for (const char *e : list)
    if (extensionIs(probe, e)) return true;
  return false;
}

// A sure claim scores 128 or more; the extension adds to it.
inline int32_t reply(FltProbe *probe, bool extensionMatches) {
  probe->strength_a = 128;
  probe->strength_b = extensionMatches ? 64 : 0;
  probe->strength_c = 0;
  probe->reply_flags = 0;
  return 1;
}

// ---- Options --------------------------------------------------------------

template <class Request>
std::string optionText(Request *request, const char16_t *key) {
  if (request->query_option == nullptr) return {};
  FltOptionQuery *query = static_cast<FltOptionQuery *>(calloc(1, sizeof(FltOptionQuery)));
  if (query == nullptr) return {};
  query->key = key;
  int32_t n = request->query_option(request, query);
  std::string out;
  for (int32_t i = 0; i < n && i < FLT_OPTION_VALUE_CAPACITY && query->value[i] != 0; ++i)
    out.push_back(query->value[i] < 128 ? char(query->value[i]) : '?');
  free(query);
  while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
  size_t start = out.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : out.substr(start);
}

// The option as a whole number in [low, high]; `fallback` when it is absent
// or not a number.
template <class Request>
int optionInt(Request *request, const char16_t *key, int fallback, int low, int high) {
  std::string text = optionText(request, key);
  if (text.empty()) return fallback;
  char *end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != 0) return fallback;
  return value < low ? low : value > high ? high : int(value);
}

inline std::string lower(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

// ---- Texts ------------------------------------------------------------------

// Adds an ASCII hint to the message the user sees.
template <class Request>
void tell(Request *request, const char *text) {
  if (request->set_text == nullptr || text == nullptr || text[0] == 0) return;
  std::u16string wide;
  for (size_t i = 0; text[i] != 0 && i < FLT_MESSAGE_CAPACITY - 1; ++i) wide.push_back(char16_t(uint8_t(text[i])));
  request->set_text(request, FLT_TEXT_MESSAGE, wide.c_str());
}

// A hint for a failed load; `detail` from the codec when it gave one.
inline int32_t explain(FltLoadRequest *request, int32_t code, const char *format, const std::string &detail) {
  char text[160] = "";
  switch (code) {
    case FLT_ERR_UNEXPECTED_END:
      snprintf(text, sizeof text, "The %s data ends early", format);
      break;
    case FLT_ERR_BAD_ENCODING:
    case FLT_ERR_INVALID_DATA:
      snprintf(text, sizeof text, "The %s data is damaged", format);
      break;
    case FLT_ERR_DIMENSIONS:
      snprintf(text, sizeof text, "The %s image is too large", format);
      break;
    case FLT_ERR_NOT_IMPLEMENTED:
      snprintf(text, sizeof text, "This kind of %s image is not supported", format);
      break;
    default:
      break;
  }
  tell(request, text);
  if (code < FLT_OK && code != FLT_ERR_CANCELLED) tell(request, detail.c_str());
  return code;
}

// ---- Progress -------------------------------------------------------------

// Progress over `total` steps, reported at least every 1/64 of them and at
// the end; at() is false when the caller cancelled.
template <class Request>
class Progress {
 public:
  Progress(Request *request, uint64_t total)
      : request_(request), total_(total), step_(total / 64 ? total / 64 : 1), next_(step_) {}
  uint64_t step() const { return step_; }
  bool at(uint64_t done) {
    if (done < next_ && done != total_) return true;
    next_ = done + step_;
    if (request_->progress == nullptr) return true;
    return request_->progress(request_, int32_t(std::min<uint64_t>(done, 0x7FFFFFFF)),
                              int32_t(std::min<uint64_t>(total_, 0x7FFFFFFF))) != 0;
  }

 private:
  Request *request_;
  uint64_t total_, step_, next_;
};

// B, G, R, A bytes to the surface's B, G, R, T.
inline void alphaToT(uint32_t *pixels, size_t count) {
  uint8_t *p = reinterpret_cast<uint8_t *>(pixels);
  for (size_t i = 0; i < count; ++i) p[i * 4 + 3] = uint8_t(255 - p[i * 4 + 3]);
}

// ---- Global blocks from the host ------------------------------------------

// The host's GlobalFree: on Windows the system's; elsewhere the host exports
// it, and a plug-in must not link the library for it.
inline void globalFree(HGLOBAL block) {
  if (block == nullptr) return;
#if defined(_WIN32)
  GlobalFree(block);
#else
  using FreeFn = HGLOBAL (*)(HGLOBAL);
  if (auto fn = reinterpret_cast<FreeFn>(dlsym(RTLD_DEFAULT, "GlobalFree"))) fn(block);
#endif
}

// ---- Markup of a loaded layer -----------------------------------------------

// Collects what EXIF and XMP give into one markup text, handed to the layer
// once. Without the markup table, or with markup unwanted, it does nothing.
class LoadMarkup {
 public:
  explicit LoadMarkup(FltLoadRequest *request) : request_(request) {
    const pi_MetaMarkup *t = request->meta_markup;
    if ((request->flags & FLT_FLAG_NO_MARKUP) == 0 && t != nullptr && t->Init != nullptr && t->Free != nullptr)
      open_ = t->Init(&markup_) != 0;
  }
  ~LoadMarkup() {
    if (open_) request_->meta_markup->Free(&markup_);
  }
  LoadMarkup(const LoadMarkup &) = delete;
  LoadMarkup &operator=(const LoadMarkup &) = delete;

  bool wanted() const { return open_; }

  // A whole EXIF block, handed over with its "Exif\0\0" header (added when missing).
  void exif(const uint8_t *data, size_t size) {
    if (!open_ || data == nullptr || size < 8 || size > 0x7FFFFFF0u || request_->meta_markup->MarkupFromEXIF == nullptr)
      return;
    if (memcmp(data, "Exif\0\0", 6) == 0) {
      used_ |= request_->meta_markup->MarkupFromEXIF(&markup_, data, int32_t(size)) != 0;
    } else {
      std::vector<uint8_t> block(size + 6);
      memcpy(block.data(), "Exif\0\0", 6);
      memcpy(block.data() + 6, data, size);
      used_ |= request_->meta_markup->MarkupFromEXIF(&markup_, block.data(), int32_t(block.size())) != 0;
    }
  }
  void xmp(const uint8_t *data, size_t size) {
    if (!open_ || data == nullptr || size < 4 || size > 0x7FFFFFF0u || request_->meta_markup->MarkupFromXMP == nullptr)
      return;
    used_ |= request_->meta_markup->MarkupFromXMP(&markup_, data, int32_t(size)) != 0;
  }
  // "key=value;" lines of the plug-in's own.
  void merge(const std::string &text) {
    if (open_ && !text.empty() && request_->meta_markup->Merge != nullptr)
      used_ |= request_->meta_markup->Merge(&markup_, text.c_str()) != 0;
  }
  // Hands the text to the current layer.
  void commit() {
    if (open_ && used_ && markup_.text != nullptr && markup_.text[0] != 0 && request_->set_metadata != nullptr)
      request_->set_metadata(request_, FLT_TAG_MARK, markup_.text);
  }

 private:
  FltLoadRequest *request_;
  FltMetaMarkup markup_{};
  bool open_ = false;
  bool used_ = false;
};

// Thumbnails skip the converters, yet come out upright: the orientation alone.
inline void setOrientationOnly(FltLoadRequest *request, int orientation) {
  if (orientation < 2 || orientation > 8 || request->set_metadata == nullptr) return;
  char text[32];
  snprintf(text, sizeof text, "exif.orientation=%d;", orientation);
  request->set_metadata(request, FLT_TAG_MARK, text);
}

// ---- Colour profiles --------------------------------------------------------

// Converts the current layer from an embedded profile to sRGB through the
// host's colour service; leaves the pixels as they are without it.
inline void applyProfile(FltLoadRequest *request, const uint8_t *profile, size_t size) {
  const pi_BasicColor *c = request->basic_color;
  if (profile == nullptr || size < 128 || size > 0x7FFFFFF0u || c == nullptr || c->CreateTransform == nullptr ||
      c->ConvertPixels == nullptr || c->DeleteTransform == nullptr || request->pixels == nullptr)
    return;
  // Only an RGB profile describes decoded RGB pixels (grey and CMYK ones do not).
  if (memcmp(profile + 16, "RGB ", 4) != 0) return;
  void *transform = c->CreateTransform(profile, uint32_t(size), nullptr);
  if (transform == nullptr) return;
  for (uint32_t y = 0; y < request->height; ++y) {
    uint32_t *row = request->pixels + size_t(y) * request->stride;
    c->ConvertPixels(row, int32_t(request->width), 0, transform, 0);
  }
  c->DeleteTransform(transform);
}

// ---- EXIF's first IFD -------------------------------------------------------

// A bounds-checked view of the first IFD of a TIFF-structured block (with or
// without the "Exif\0\0" header).
class Ifd0 {
 public:
  Ifd0(const uint8_t *data, size_t size) {
    if (data == nullptr) return;
    if (size >= 6 && memcmp(data, "Exif\0\0", 6) == 0) data += 6, size -= 6;
    if (size < 8) return;
    if (data[0] == 'I' && data[1] == 'I') {
      little_ = true;
    } else if (!(data[0] == 'M' && data[1] == 'M')) {
      return;
    }
    base_ = data;
    size_ = size;
    if (u16(2) != 42) return;
    uint32_t offset = u32(4);
    if (offset < 8 || uint64_t(offset) + 2 > size) return;
    uint32_t count = u16(offset);
    if (uint64_t(offset) + 2 + uint64_t(count) * 12 > size) return;
    dir_ = offset + 2;
    count_ = count;
  }

  explicit Ifd0(const std::string &block) : Ifd0(reinterpret_cast<const uint8_t *>(block.data()), block.size()) {}

  bool valid() const { return count_ > 0; }

  // The first value of a SHORT or LONG tag.
  bool number(uint16_t tag, uint32_t &out) const {
    const uint8_t *e = find(tag);
    if (e == nullptr || (type(e) != 3 && type(e) != 4) || u32at(e + 4) < 1) return false;
    out = type(e) == 3 ? u16at(e + 8) : u32at(e + 8);
    return true;
  }
  // A RATIONAL tag.
  bool rational(uint16_t tag, uint32_t &num, uint32_t &den) const {
    const uint8_t *v = value(tag, 5, 8);
    if (v == nullptr) return false;
    num = u32at(v), den = u32at(v + 4);
    return true;
  }
  // An ASCII tag without its terminator.
  bool text(uint16_t tag, std::string &out) const {
    const uint8_t *e = find(tag);
    if (e == nullptr || type(e) != 2) return false;
    uint32_t n = u32at(e + 4);
    const uint8_t *v = value(tag, 2, n);
    if (v == nullptr) return false;
    out.assign(reinterpret_cast<const char *>(v), n);
    out.resize(strnlen(out.c_str(), out.size()));
    return true;
  }

 private:
  uint16_t u16at(const uint8_t *p) const { return little_ ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]); }
  uint32_t u32at(const uint8_t *p) const {
    return little_ ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                   : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
  }
  uint16_t u16(size_t at) const { return u16at(base_ + at); }
  uint32_t u32(size_t at) const { return u32at(base_ + at); }
  uint16_t type(const uint8_t *e) const { return u16at(e + 2); }
  const uint8_t *find(uint16_t tag) const {
    for (uint32_t i = 0; i < count_; ++i)
      if (u16(dir_ + i * 12) == tag) return base_ + dir_ + i * 12;
    return nullptr;
  }
  // The bytes of a tag of `wantType` holding `bytes` bytes, in place or at its offset.
  const uint8_t *value(uint16_t tag, uint16_t wantType, uint32_t bytes) const {
    const uint8_t *e = find(tag);
    if (e == nullptr || type(e) != wantType || bytes == 0) return nullptr;
    if (bytes <= 4) return e + 8;
    uint32_t offset = u32at(e + 8);
    if (uint64_t(offset) + bytes > size_) return nullptr;
    return base_ + offset;
  }

  const uint8_t *base_ = nullptr;
  size_t size_ = 0;
  bool little_ = false;
  size_t dir_ = 0;
  uint32_t count_ = 0;
};

// The EXIF orientation (1..8) of a block, 0 when absent or unreadable.
inline int exifOrientation(const std::string &block) {
  uint32_t value = 0;
  return Ifd0(block).number(0x0112, value) && value >= 1 && value <= 8 ? int(value) : 0;
}

// Builds a little-endian "Exif\0\0" block with one IFD, for data that comes
// as plain tags (TIFF files) but should reach the EXIF converter.
class Ifd0Writer {
 public:
  void number(uint16_t tag, uint16_t value) { add(tag, 3, 1, {uint8_t(value), uint8_t(value >> 8)}); }
  void rational(uint16_t tag, uint32_t num, uint32_t den) {
    std::vector<uint8_t> v(8);
    for (int i = 0; i < 4; ++i) v[i] = uint8_t(num >> (8 * i)), v[4 + i] = uint8_t(den >> (8 * i));
    add(tag, 5, 1, v);
  }
  void text(uint16_t tag, const std::string &value) {
    std::vector<uint8_t> v(value.begin(), value.end());
    v.push_back(0);
    add(tag, 2, uint32_t(v.size()), v);
  }
  bool empty() const { return entries_.empty(); }

  std::vector<uint8_t> build() const {
    std::vector<Entry> sorted = entries_;
    std::sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) { return a.tag < b.tag; });
    std::vector<uint8_t> out = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
    size_t dataAt = 8 + 2 + sorted.size() * 12 + 4;
    put(out, uint32_t(sorted.size()), 2);
    std::vector<uint8_t> extra;
    for (const Entry &e : sorted) {
      put(out, e.tag, 2);
      put(out, e.type, 2);
      put(out, e.count, 4);
      if (e.bytes.size() <= 4) {
        std::vector<uint8_t> v = e.bytes;
        v.resize(4, 0);
        out.insert(out.end(), v.begin(), v.end());
      } else {
        put(out, uint32_t(dataAt + extra.size()), 4);
        extra.insert(extra.end(), e.bytes.begin(), e.bytes.end());
        if (extra.size() & 1) extra.push_back(0);
      }
    }
    put(out, 0, 4);
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  }

 private:
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> bytes;
  };
  void add(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> bytes) {
    entries_.push_back({tag, type, count, std::move(bytes)});
  }
  static void put(std::vector<uint8_t> &out, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(uint8_t(value >> (8 * i)));
  }
  std::vector<Entry> entries_;
};

// A layered image that is not saved layer by layer goes out flattened;
// false when the host cannot flatten it.
inline bool selectFlat(FltSaveRequest *request) {
  if (request->layer_count <= 1) return true;
  return request->select_layer != nullptr && request->select_layer(request, -1, 0) != 0;
}

// ---- Markup of a saved layer ------------------------------------------------

// The EXIF block MarkupToEXIF makes of the selected layer's markup; empty
// when there is no markup or no converter.
inline std::string exifForSave(FltSaveRequest *request) {
  std::string out;
  const pi_MetaMarkup *t = request->meta_markup;
  if (request->get_metadata == nullptr || t == nullptr || t->Init == nullptr || t->Free == nullptr ||
      t->Merge == nullptr || t->MarkupToEXIF == nullptr)
    return out;
  const char *text = static_cast<const char *>(request->get_metadata(request, FLT_TAG_MARK));
  if (text == nullptr) return out;
  std::string copy(text, strnlen(text, size_t(request->metadata_result)));
  if (copy.empty()) return out;
  FltMetaMarkup markup{};
  if (t->Init(&markup) == 0) return out;
  HGLOBAL block = nullptr;
  uint32_t size = 0;
  if (t->Merge(&markup, copy.c_str()) != 0 && t->MarkupToEXIF(&markup, &block, &size) != 0 && block != nullptr)
    out.assign(static_cast<const char *>(block), size);
  globalFree(block);
  t->Free(&markup);
  return out;
}

// ---- What a decoder found besides the pixels ---------------------------------

struct Metadata {
  std::string exif, xmp, icc;
  std::string xmpExtension;  // a second packet continuing `xmp` (JPEG's extended XMP)
  std::string extra;         // "key=value;" lines set as they are

  // Markup to the current layer: EXIF and XMP through the host's converters;
  // without them (or for thumbnails) only the orientation, so that
  // thumbnails still come out upright.
  void deliver(FltLoadRequest *request) const {
    LoadMarkup markup(request);
    if (markup.wanted()) {
      auto bytes = [](const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); };
      markup.exif(bytes(exif), exif.size());
      markup.xmp(bytes(xmp), xmp.size());
      markup.xmp(bytes(xmpExtension), xmpExtension.size());
      markup.merge(extra);
      markup.commit();
      return;
    }
    if (request->set_metadata == nullptr) return;
    std::string text;
    if (int o = exifOrientation(exif)) text = "exif.orientation=" + std::to_string(o) + ";\r\n";
    if (!(request->flags & FLT_FLAG_NO_MARKUP)) text += extra;
    if (!text.empty()) request->set_metadata(request, FLT_TAG_MARK, text.c_str());
  }
  void applyProfile(FltLoadRequest *request) const {
    flt::applyProfile(request, reinterpret_cast<const uint8_t *>(icc.data()), icc.size());
  }
};

// ---- Steps every plug-in shares -----------------------------------------------

// Runs a load or save step; a failed allocation anywhere in it is -20.
template <class Step>
int32_t guarded(Step &&step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc &) {
    return FLT_ERR_OUT_OF_MEMORY;
  }
}

// flt_CheckSave: a sure claim for the plug-in's own extensions only.
inline int32_t checkSave(FltProbe *probe, std::initializer_list<const char *> extensions) {
  if (probe == nullptr || !extensionIn(probe, extensions)) return 0;
  return reply(probe, true);
}

// flt_SaveImage: a request with pixels, saved under the allocation guard.
template <class Save>
int32_t runSave(FltSaveRequest *request, Save &&save) noexcept {
  if (request == nullptr || request->pixels == nullptr) return FLT_ERR_BAD_REQUEST;
  return guarded([&] { return save(request); });
}

}  // namespace flt
