// Helpers shared by the surface sources. Fields that other threads change
// while a record is in use (state, lock count, owner, signature, kind, and
// the descriptor fields that locks refresh) are read and written with atomic
// operations; everything else is plain.
#pragma once

#include <cstdint>

#include "platform/os_bitmap.h"
#include "raster/surface.h"
#include "raster/thread_state.h"

namespace rx_detail {

template <typename T>
inline T loadRelaxed(const T *field) {
  return __atomic_load_n(field, __ATOMIC_RELAXED);
}
template <typename T>
inline void storeRelaxed(T *field, T value) {
  __atomic_store_n(field, value, __ATOMIC_RELAXED);
}
// Lock holders refresh the same values again and again: writing only what
// changed keeps their readers free of needless writes.
template <typename T>
inline void storeIfChanged(T *field, T value) {
  if (loadRelaxed(field) != value) storeRelaxed(field, value);
}

inline uint8_t loadState(const rx_Surface *s) { return __atomic_load_n(&s->state, __ATOMIC_SEQ_CST); }
inline bool isClosingOrAborting(const rx_Surface *s) {
  return (loadState(s) & (rx_StateClosing | rx_StateAbort)) != 0;
}
inline bool hasSignature(const rx_Surface *s) {
  uint8_t kind = loadRelaxed(&s->kind);
  return loadRelaxed(&s->signature) == rx_SurfaceSignature && kind >= rx_KindDib && kind <= rx_KindView;
}
inline uint32_t loadOwner(const rx_Surface *s) { return __atomic_load_n(&s->owner, __ATOMIC_ACQUIRE); }
inline bool releaseOwner(rx_Surface *s, uint32_t self) {
  uint32_t expected = self;
  return __atomic_compare_exchange_n(&s->owner, &expected, 0u, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED);
}

// The record can be read and written over its whole size.
inline bool recordUsable(const rx_Surface *s) { return rx_ProbeMemory(s, sizeof *s, true) == 0; }

// A null state is looked up here: checks that succeed need none.
inline int32_t fail(rx_ThreadState *state, int32_t code) {
  if (state == nullptr) state = rx_GetThreadState();
  if (state != nullptr) state->lastError = code;
  return 0;
}

// View rectangle packed into the storage words.
inline uint32_t viewLeft(const rx_Surface *s) { return static_cast<uint32_t>(s->storage2 & 0xFFFF); }
inline uint32_t viewTop(const rx_Surface *s) { return static_cast<uint32_t>((s->storage2 >> 16) & 0xFFFF); }
inline uint32_t viewRight(const rx_Surface *s) { return static_cast<uint32_t>(s->storage3 & 0xFFFF); }
inline uint32_t viewBottom(const rx_Surface *s) { return static_cast<uint32_t>((s->storage3 >> 16) & 0xFFFF); }

inline HDC dibContext(const rx_Surface *s) { return static_cast<HDC>(s->storage1); }
inline HBITMAP dibBitmap(const rx_Surface *s) { return reinterpret_cast<HBITMAP>(s->storage2); }
inline HGDIOBJ dibInitialBitmap(const rx_Surface *s) { return reinterpret_cast<HGDIOBJ>(s->storage3); }

// Views may sit on views; chains longer than this (or cycles) are refused.
inline constexpr int kMaxViewDepth = 16;

// Outcome of waiting for another thread's exclusive use.
enum class WaitEnd { free, closing, timedOut };
// Polls while another live thread holds exclusive use: yielding for 2,000
// polls, then 10 ms sleeps up to `sleep_limit`; a timeout sends the
// diagnostic. With `stop_when_closing` gives up as soon as the surface closes.
WaitEnd waitForOwner(rx_Surface *s, uint32_t self, bool stop_when_closing);

// The version-5 header of a top-down 32-bit surface of the given size.
void fillDibHeader(BITMAPV5HEADER *header, int32_t width, int32_t height);
// Reads the DIB section behind a kind 1 surface into width, height, stride
// and bits; retried once after a flush. False when it cannot be read.
bool readDibInfo(rx_Surface *s);

// One channel of a bit-field pixel scaled to 0..255.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
  Channel() = default;
  explicit Channel(uint32_t m) : mask(m) {
    if (mask == 0) return;
    while (((mask >> shift) & 1) == 0) ++shift;
    max = mask >> shift;
  }
  uint32_t operator()(uint32_t value) const {
    if (max == 0) return 0;
    return (((value & mask) >> shift) * 255 + max / 2) / max;
  }
};

struct DibLayout {
  int32_t width;
  int32_t height;  // negative: top-down
  uint16_t bitCount;
  uint32_t compression;
  uint32_t masks[3];
  uint32_t colours;      // colour table entries
  uint32_t entryBytes;   // 3 for core headers, else 4
  uint64_t tableOffset;
  uint64_t pixelOffset;
  uint64_t rowBytes;
};

// A checked packed DIB decoded a row at a time (rows numbered top-down,
// pixels B, G, R and a fourth byte): the one decoder behind
// rx_SurfaceFromDib and the colour conversion of DIB rows.
struct DibRowDecoder {
  DibLayout layout;
  int32_t rows;
  const unsigned char *pixels;
  uint32_t palette[256];
  uint32_t paletteSize;
  Channel red, green, blue;
  bool fields;
};
// Checks the DIB as rx_SurfaceFromDib does (`size` 0: probe the memory).
bool openDibRows(const void *packed_dib, size_t size, DibRowDecoder *decoder);
bool readDibLayout(const unsigned char *dib, size_t size, DibLayout *layout);
void prepareDibRows(const unsigned char *dib, const DibLayout &layout, DibRowDecoder *decoder);
void decodeDibRow(const DibRowDecoder &decoder, int32_t y, uint32_t *dst);

// Destroys a half-made result and keeps `code` as the thread's error.
int32_t discard(rx_ThreadState *state, rx_Surface *s, int32_t code);

}  // namespace rx_detail
