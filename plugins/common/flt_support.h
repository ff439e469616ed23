// Helpers shared by the codec plug-ins: paths, options, progress, metadata
// hand-over and safe file writing. Header-only, so each plug-in stays one
// module that sees only the public plug-in header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "vgm/vgm_plugin.h"

// Host blocks are released with the host's GlobalFree; weak, so that the
// plug-in needs no link to the library and only calls it when a host is there.
#pragma weak GlobalFree

namespace flt {

inline std::string utf8(const WCHAR *text) {
  std::string out;
  for (size_t i = 0; text && text[i]; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6), out += char(0x80 | (c & 63));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 63)), out += char(0x80 | (c & 63));
    } else {
      out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 63)), out += char(0x80 | (c >> 6 & 63)),
          out += char(0x80 | (c & 63));
    }
  }
  return out;
}

inline std::u16string utf16(const char *ascii) {
  std::u16string out;
  while (ascii && *ascii) out += char16_t(static_cast<unsigned char>(*ascii++));
  return out;
}

inline bool extensionIs(const FltProbe *probe, const char *ext) {
  size_t i = 0;
  for (; ext[i]; ++i)
    if (probe->extension[i] != char16_t(ext[i])) return false;
  return probe->extension[i] == 0;
}

template <class Request>
inline void message(Request *r, const char *text) {
  if (r->set_text) r->set_text(r, FLT_TEXT_MESSAGE, utf16(text).c_str());
}

// An option's integer value, `fallback` when absent or not a number.
template <class Request>
inline long optionInt(Request *r, const char *key, long fallback) {
  if (!r->query_option) return fallback;
  std::u16string k = utf16(key);
  FltOptionQuery q{};
  q.key = k.c_str();
  if (r->query_option(r, &q) <= 0) return fallback;
  std::string value = utf8(q.value);
  char *end = nullptr;
  long v = strtol(value.c_str(), &end, 10);
  return end == value.c_str() ? fallback : v;
}

template <class Request>
inline std::string optionText(Request *r, const char *key) {
  if (!r->query_option) return "";
  std::u16string k = utf16(key);
  FltOptionQuery q{};
  q.key = k.c_str();
  return r->query_option(r, &q) > 0 ? utf8(q.value) : "";
}

// Progress over `total` steps, reported at least every 1/64 of them.
template <class Request>
class Progress {
 public:
  Progress(Request *r, uint32_t total) : r_(r), total_(total), step_(total / 64 ? total / 64 : 1) {}
  // False when the caller cancelled.
  bool at(uint32_t done) {
    if (done % step_ != 0 && done != total_) return true;
    return !r_->progress || r_->progress(r_, int32_t(done), int32_t(total_)) != 0;
  }

 private:
  Request *r_;
  uint32_t total_, step_;
};

// Reads the EXIF orientation from IFD0 of a TIFF block (with or without the
// "Exif\0\0" prefix), every offset checked; 0 when absent or unreadable.
inline int exifOrientation(const uint8_t *p, size_t n) {
  if (n >= 6 && memcmp(p, "Exif\0\0", 6) == 0) p += 6, n -= 6;
  if (n < 8 || !((p[0] == 'I' && p[1] == 'I') || (p[0] == 'M' && p[1] == 'M'))) return 0;
  bool le = p[0] == 'I';
  auto u16 = [&](size_t o) { return le ? uint32_t(p[o] | p[o + 1] << 8) : uint32_t(p[o] << 8 | p[o + 1]); };
  auto u32 = [&](size_t o) { return le ? u16(o) | u16(o + 2) << 16 : u16(o) << 16 | u16(o + 2); };
  size_t ifd = u32(4);
  if (ifd > n - 2) return 0;
  size_t count = u16(ifd);
  for (size_t i = 0; i < count && ifd + 2 + i * 12 + 12 <= n; ++i) {
    size_t e = ifd + 2 + i * 12;
    if (u16(e) == 0x0112 && u16(e + 2) == 3) {
      uint32_t v = u16(e + 8);
      return v >= 1 && v <= 8 ? int(v) : 0;
    }
  }
  return 0;
}

// What a decoder found besides the pixels, handed to the current layer.
struct Metadata {
  std::string exif, xmp, icc;
  std::string extra;  // "key=value;" lines set as they are

  // Markup to the current layer: EXIF and XMP through the host's
  // converters; without them (or under FLT_FLAG_NO_MARKUP) only the
  // orientation, so that thumbnails still come out upright.
  void deliver(FltLoadRequest *r) const {
    if (!r->set_metadata) return;
    const pi_MetaMarkup *m = r->meta_markup;
    bool convert = !(r->flags & FLT_FLAG_NO_MARKUP) && m && m->Init && m->Free;
    std::string text;
    if (convert) {
      FltMetaMarkup markup{};
      if (!m->Init(&markup)) return;
      if (exif.size() >= 4 && m->MarkupFromEXIF) m->MarkupFromEXIF(&markup, exif.data(), int32_t(exif.size()));
      if (xmp.size() >= 4 && m->MarkupFromXMP) m->MarkupFromXMP(&markup, xmp.data(), int32_t(xmp.size()));
      if (!extra.empty() && m->Merge) m->Merge(&markup, extra.c_str());
      if (markup.text) text = markup.text;
      m->Free(&markup);
    } else {
      int o = exifOrientation(reinterpret_cast<const uint8_t *>(exif.data()), exif.size());
      if (o) text = "exif.orientation=" + std::to_string(o) + ";\r\n";
      if (!(r->flags & FLT_FLAG_NO_MARKUP)) text += extra;
    }
    if (!text.empty()) r->set_metadata(r, FLT_TAG_MARK, text.c_str());
  }

  // The embedded profile applied to the current layer's rows (B G R bytes;
  // the T byte passes through). Without the colour service nothing changes.
  bool applyProfile(FltLoadRequest *r) const {
    const pi_BasicColor *c = r->basic_color;
    if (icc.empty() || !c || !c->CreateTransform || !c->TransformPixels || !c->DeleteTransform) return false;
    // A null destination profile stands for sRGB.
    void *t = c->CreateTransform(icc.data(), uint32_t(icc.size()), nullptr, 0, 0);
    if (!t) return false;
    for (uint32_t y = 0; y < r->height; ++y) c->TransformPixels(t, r->pixels + size_t(y) * r->stride, r->pixels + size_t(y) * r->stride, r->width);
    c->DeleteTransform(t);
    return true;
  }
};

// The EXIF block a save embeds: the selected layer's markup turned into EXIF
// by the host; empty when there is no markup or no converter.
inline std::string exifForSave(FltSaveRequest *r) {
  const pi_MetaMarkup *m = r->meta_markup;
  if (!r->get_metadata || !m || !m->Init || !m->Merge || !m->MarkupToEXIF || !m->Free) return "";
  const char *text = static_cast<const char *>(r->get_metadata(r, FLT_TAG_MARK));
  if (!text || !*text) return "";
  std::string block;
  FltMetaMarkup markup{};
  if (!m->Init(&markup)) return "";
  HGLOBAL data = nullptr;
  uint32_t size = 0;
  if (m->Merge(&markup, text) && m->MarkupToEXIF(&markup, &data, &size) && data) {
    block.assign(static_cast<const char *>(data), size);
    if (GlobalFree) GlobalFree(data);
  }
  m->Free(&markup);
  return block;
}

// A file written beside the target and moved over it only when complete, so
// a failed save never leaves a partial file in place of a good one.
class SafeFile {
 public:
  explicit SafeFile(const WCHAR *path) : target_(utf8(path)) {
    temp_ = target_ + "." + std::to_string(getpid()) + ".part";
    file_ = fopen(temp_.c_str(), "wb");
  }
  ~SafeFile() {
    if (file_) fclose(file_);
    if (!committed_) remove(temp_.c_str());
  }
  SafeFile(const SafeFile &) = delete;
  SafeFile &operator=(const SafeFile &) = delete;
  FILE *get() const { return file_; }
  bool commit() {
    bool ok = file_ && fflush(file_) == 0 && !ferror(file_);
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

inline FILE *openRead(const WCHAR *path) { return path ? fopen(utf8(path).c_str(), "rb") : nullptr; }

}  // namespace flt
