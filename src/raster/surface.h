// Surfaces: the one container of 32-bit pixels (bytes blue, green, red, T;
// T = transparency, 0 opaque), rows top-down, stride in pixels. The record is
// owned by the caller; it names its storage: a DIB section with its own
// memory device context (kind 1), a heap block (2), a caller's buffer (3) or
// a rectangle of another surface (4). Every operation leaves its error code
// in the calling thread's state (rx_GetLastError).
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/raster_codes.h"
#include "vgm/vgm_compat.h"

struct rx_ThreadState;

inline constexpr uint8_t rx_SurfaceSignature = 154;

enum : uint8_t {
  rx_KindDib = 1,
  rx_KindMemory = 2,
  rx_KindWrapped = 3,
  rx_KindView = 4,
};

// State bits.
enum : uint8_t { rx_StateClosing = 1, rx_StateAbort = 2 };

struct rx_Surface {
  uint32_t width;   // width, height, stride and bits are to be trusted only while locked
  uint32_t height;
  uint32_t stride;  // pixels
  uint32_t *bits;   // first pixel of the top row
  uint8_t signature;
  uint8_t kind;
  uint8_t state;      // changed with atomic operations
  int32_t lockCount;  // changed with atomic operations
  uint32_t owner;     // thread holding exclusive use; atomic
  // Kind 1: device context; 2 and 3: pixel memory; 4: parent record.
  void *storage1;
  // Kind 1: the DIB section; 2 and 3: width; 4: left | top << 16.
  uintptr_t storage2;
  // Kind 1: the context's initial bitmap; 2 and 3: height; 4: right | bottom << 16.
  uintptr_t storage3;
  // Kinds 2 and 3: stride; 0 otherwise.
  int32_t storage4;
};

// Creation flags.
enum : uint32_t {
  rx_CreateMemory = 1,
  rx_CreateDib = 2,
  rx_CreateNoTotalLimit = 0x10,
  rx_CreateNoShrink = 0x20,
  rx_CreateLowerLimit = 0x40,
};

// Lock flags.
enum : uint32_t { rx_LockExclusive = 1 };

// Alpha conversion modes (flags & 0xF000).
enum : uint32_t {
  rx_AlphaOpaque = 0x1000,
  rx_AlphaInvert = 0x2000,
  rx_AlphaToPremultiplied = 0x3000,
  rx_AlphaFromPremultiplied = 0x4000,
  rx_AlphaSetFourth = 0x5000,
};

// 1: created at the requested size; 3: created smaller; 0: failed.
int32_t rx_SurfaceCreate(rx_Surface *surface, int32_t width, int32_t height, uint32_t flags);
int32_t rx_SurfaceWrap(rx_Surface *surface, int32_t width, int32_t height, int32_t stride, void *bits);
int32_t rx_SurfaceView(rx_Surface *view, rx_Surface *parent, int32_t left, int32_t top, int32_t right,
                       int32_t bottom);
int32_t rx_SurfaceFree(rx_Surface *surface);
int32_t rx_SurfaceIsValid(rx_Surface *surface);
// The same answer for a record the library holds itself (its layer tables,
// its own locals), which needs no probe: never for a record a caller gave.
int32_t rx_SurfaceIsValidOwned(rx_Surface *surface);

// Operations on records the library holds itself, as above: no probe of the
// record, and the calling thread's state (rx_GetThreadState, not null) handed
// in by a caller that already has it. Memory a record points at (a parent,
// pixels) is checked as by the public operations. Never for a record that
// came from a caller or a plug-in.
int32_t rx_OwnedCreate(rx_ThreadState *state, rx_Surface *surface, int32_t width, int32_t height, uint32_t flags);
int32_t rx_OwnedFree(rx_ThreadState *state, rx_Surface *surface);
int32_t rx_OwnedLock(rx_ThreadState *state, rx_Surface *surface, uint32_t flags);
void rx_OwnedUnlock(rx_Surface *surface, uint32_t flags);
void rx_OwnedSwap(rx_Surface *a, rx_Surface *b);
HGLOBAL rx_OwnedDetachMemory(rx_ThreadState *state, rx_Surface *surface);
int32_t rx_SurfaceRefresh(rx_Surface *surface);
int32_t rx_SurfaceLock(rx_Surface *surface, uint32_t flags);
int32_t rx_SurfaceUnlock(rx_Surface *surface, uint32_t flags);

HDC rx_SurfaceGetDC(rx_Surface *surface, HDC *out_dc, bool clip);
int32_t rx_SurfaceReleaseDC(rx_Surface *surface, HDC *inout_dc);
int32_t rx_SurfaceMakeDib(rx_Surface *surface);
// The DIB section, now owned by the caller; the surface is destroyed.
HBITMAP rx_SurfaceDetachBitmap(rx_Surface *surface);
// The global-memory block of an idle heap-memory surface whose rows are
// packed (stride = width), now owned by the caller; the surface is destroyed.
// Null, with the surface untouched, for any other surface or while it is
// locked (code 10) or not a packed heap surface (code 5).
HGLOBAL rx_SurfaceDetachMemory(rx_Surface *surface);
int32_t rx_SurfaceFromBitmap(rx_Surface *surface, HBITMAP bitmap, uint32_t flags);
// A packed DIB: header, colour table or masks, rows padded to 4 bytes. `size`
// 0 means unknown (the memory is probed instead). `flags`: creation bits
// 0x10 and 0x40.
int32_t rx_SurfaceFromDib(rx_Surface *surface, const void *packed_dib, size_t size, uint32_t flags);

// Flags: 1 discard contents, 2 force heap memory, 4 allow shrinking, 0x10
// and (flags & 0xF0) == 0x20 choose how pixels are carried over. Result 1,
// or 99 when the new size differs from the one asked for.
int32_t rx_SurfaceResize(rx_Surface *surface, int32_t width, int32_t height, uint32_t flags);
int32_t rx_SurfaceRotate(rx_Surface *surface, int32_t quarter_turns);
// Flag 1 mirrors left to right, 2 top to bottom.
int32_t rx_SurfaceFlip(rx_Surface *surface, uint32_t flags);
int32_t rx_SurfaceSwap(rx_Surface *a, rx_Surface *b);
int32_t rx_SurfaceSwapLocked(rx_Surface *a, rx_Surface *b);
int32_t rx_SurfaceCopy(rx_Surface *dst, rx_Surface *src);
// 1: differences inside `rect`; -1: identical; 0: not comparable.
int32_t rx_SurfaceCompare(rx_Surface *a, rx_Surface *b, int32_t tolerance, rx_Rect *rect);
// Copies an inclusive source rectangle to an inclusive rectangle of `dc`.
int32_t rx_SurfacePaint(HDC dc, int32_t left, int32_t top, int32_t right, int32_t bottom, rx_Surface *surface,
                        int32_t src_left, int32_t src_top, int32_t src_right, int32_t src_bottom);
int32_t rx_SurfaceMapChannels(rx_Surface *surface, int32_t left, int32_t top, int32_t right, int32_t bottom,
                              const uint8_t *blue_table, const uint8_t *green_table, const uint8_t *red_table,
                              const uint8_t *t_table);
int32_t rx_SurfaceFixAlpha(rx_Surface *surface, uint32_t mode);
int32_t rx_ConvertAlphaRow(uint32_t *row, size_t count, uint32_t mode);
