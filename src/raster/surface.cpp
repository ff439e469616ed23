// Surface records: creation, wrapping, views, validity, refresh, locking and
// the destroy protocol, plus the whole-surface pixel operations (copy,
// compare, channel mapping, alpha conversion).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/surface_internal.h"

using namespace rx_detail;

namespace {

constexpr uint32_t kYieldPolls = 2000;
constexpr double kDibPixelLimit = 50000000.0;  // larger surfaces use heap memory

// Zeroes the record; signature before state, so that a thread that sees the
// state cleared also sees the record empty.
void zeroRecord(rx_Surface *s) {
  __atomic_store_n(&s->signature, uint8_t{0}, __ATOMIC_RELAXED);
  __atomic_store_n(&s->kind, uint8_t{0}, __ATOMIC_RELAXED);
  storeRelaxed(&s->width, 0u);
  storeRelaxed(&s->height, 0u);
  storeRelaxed(&s->stride, 0u);
  storeRelaxed(&s->bits, static_cast<uint32_t *>(nullptr));
  storeRelaxed(&s->storage1, static_cast<void *>(nullptr));
  storeRelaxed(&s->storage2, uintptr_t{0});
  storeRelaxed(&s->storage3, uintptr_t{0});
  storeRelaxed(&s->storage4, 0);
  __atomic_store_n(&s->owner, 0u, __ATOMIC_RELAXED);
  __atomic_store_n(&s->lockCount, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&s->state, uint8_t{0}, __ATOMIC_SEQ_CST);
}

// Takes back one count unless something already reset it.
void dropCount(rx_Surface *s) {
  int32_t count = __atomic_load_n(&s->lockCount, __ATOMIC_RELAXED);
  while (count > 0 &&
         !__atomic_compare_exchange_n(&s->lockCount, &count, count - 1, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
  }
}

bool storageConsistent(const rx_Surface *s) {
  return s->storage2 >= 1 && s->storage3 >= 1 && s->storage4 >= 1 &&
         reinterpret_cast<uintptr_t>(s->storage1) > 0x10000;
}

void refreshFromStorage(rx_Surface *s) {
  storeIfChanged(&s->width, static_cast<uint32_t>(s->storage2));
  storeIfChanged(&s->height, static_cast<uint32_t>(s->storage3));
  storeIfChanged(&s->stride, static_cast<uint32_t>(s->storage4));
  storeIfChanged(&s->bits, static_cast<uint32_t *>(s->storage1));
}

// Width, height and bits of a view from its (refreshed or locked) parent;
// false when the view starts outside the parent.
bool refreshView(rx_Surface *view, const rx_Surface *parent) {
  uint32_t parentWidth = loadRelaxed(&parent->width), parentHeight = loadRelaxed(&parent->height);
  uint32_t left = viewLeft(view), top = viewTop(view);
  if (left >= parentWidth || top >= parentHeight) return false;
  uint32_t stride = loadRelaxed(&parent->stride);
  uint32_t *parentBits = loadRelaxed(&parent->bits);
  storeIfChanged(&view->width, std::min(viewRight(view), parentWidth - 1) - left + 1);
  storeIfChanged(&view->height, std::min(viewBottom(view), parentHeight - 1) - top + 1);
  storeIfChanged(&view->stride, stride);
  storeIfChanged(&view->bits, parentBits != nullptr ? parentBits + (static_cast<size_t>(top) * stride + left) : nullptr);
  return true;
}

// Polls while the lock count is at least 1: 2,000 yields, then up to
// `sleeps` sleeps of 10 ms. False when the holders did not leave.
bool waitForLockHolders(rx_Surface *s, uint32_t sleeps) {
  for (uint32_t poll = 0;; ++poll) {
    if (__atomic_load_n(&s->lockCount, __ATOMIC_ACQUIRE) <= 0) return true;
    if (poll < kYieldPolls) {
      os_Sleep(0);
    } else if (poll < kYieldPolls + sleeps) {
      os_Sleep(10);
    } else {
      return false;
    }
  }
}

void freeStorage(rx_Surface *s) {
  switch (s->kind) {
    case rx_KindDib:
      GdiFlush();
      if (HDC dc = dibContext(s)) {
        SelectObject(dc, dibInitialBitmap(s));
        DeleteDC(dc);
      }
      if (HBITMAP bitmap = dibBitmap(s)) DeleteObject(bitmap);
      break;
    case rx_KindMemory:
      os_GlobalRelease(s->storage1);
      break;
    default:  // wrapped buffers and views own nothing
      break;
  }
}

int32_t createDib(rx_ThreadState *state, rx_Surface *s, int32_t width, int32_t height) {
  s->kind = rx_KindDib;
  os_SetLastError(os_Error::none);
  HDC dc = CreateCompatibleDC(nullptr);
  if (dc == nullptr) return discard(state, s, os_BitmapFailedForMemory() ? rx_ErrNoMemory : rx_ErrGdi);
  s->storage1 = dc;
  s->storage3 = reinterpret_cast<uintptr_t>(GetCurrentObject(dc, OBJ_BITMAP));
  BITMAPV5HEADER header;
  fillDibHeader(&header, width, height);
  void *bits = nullptr;
  os_SetLastError(os_Error::none);
  HBITMAP bitmap = CreateDIBSection(dc, reinterpret_cast<const BITMAPINFO *>(&header), DIB_RGB_COLORS, &bits,
                                    nullptr, 0);
  if (bitmap == nullptr)
    return discard(state, s, os_BitmapFailedForMemory() ? rx_ErrNoMemory : rx_ErrGdi);
  s->storage2 = reinterpret_cast<uintptr_t>(bitmap);
  GdiFlush();
  if (!readDibInfo(s)) return discard(state, s, rx_ErrGdi);
  return 1;
}

int32_t isValidAt(rx_ThreadState *state, rx_Surface *s, int depth);
int32_t validRecord(rx_ThreadState *state, rx_Surface *s, int depth);

int32_t lockAt(rx_ThreadState *state, rx_Surface *s, uint32_t flags, int depth);
int32_t lockRecord(rx_ThreadState *state, rx_Surface *s, uint32_t flags, int depth);
void unlockAt(rx_Surface *s, uint32_t flags, int depth);
int32_t freeRecord(rx_ThreadState *state, rx_Surface *surface);

// The validity test on a record already known to be usable.
int32_t validRecord(rx_ThreadState *state, rx_Surface *s, int depth) {
  if (loadRelaxed(&s->signature) != rx_SurfaceSignature) return fail(state, rx_ErrNotSurface);
  if (!hasSignature(s)) return fail(state, rx_ErrEmpty);
  if (loadState(s) & rx_StateClosing) return fail(state, rx_ErrClosing);
  switch (s->kind) {
    case rx_KindDib: {
      GdiFlush();
      if (GetObjectType(dibBitmap(s)) != OBJ_BITMAP) return fail(state, rx_ErrNotSurface);
      DWORD dcType = GetObjectType(dibContext(s));
      if (dcType != OBJ_MEMDC && dcType != OBJ_DC) {
        // The bitmap lives on but its context went away: give it a new one.
        DeleteDC(dibContext(s));
        HDC dc = CreateCompatibleDC(nullptr);
        if (dc == nullptr) return fail(state, rx_ErrGdi);
        s->storage1 = dc;
        s->storage3 = reinterpret_cast<uintptr_t>(GetCurrentObject(dc, OBJ_BITMAP));
        rx_Notify(rx_DiagDcRecreated);
      }
      return 1;
    }
    case rx_KindMemory:
    case rx_KindWrapped:
      return storageConsistent(s) ? 1 : fail(state, rx_ErrStorage);
    default: {
      auto *parent = static_cast<rx_Surface *>(s->storage1);
      if (parent == nullptr || depth >= kMaxViewDepth || isValidAt(state, parent, depth + 1) == 0)
        return fail(state, rx_ErrNotSurface);
      return 1;
    }
  }
}

int32_t isValidAt(rx_ThreadState *state, rx_Surface *s, int depth) {
  return recordUsable(s) ? validRecord(state, s, depth) : fail(state, rx_ErrNotSurface);
}

int32_t refreshAt(rx_ThreadState *state, rx_Surface *s, int depth) {
  if (!recordUsable(s)) return fail(state, rx_ErrNotSurface);
  if (!hasSignature(s)) return fail(state, rx_ErrEmpty);
  if (loadState(s) & rx_StateClosing) return fail(state, rx_ErrClosing);
  switch (s->kind) {
    case rx_KindDib:
      if (!readDibInfo(s) || reinterpret_cast<uintptr_t>(loadRelaxed(&s->bits)) <= 0x10000)
        return fail(state, rx_ErrNotSurface);
      return 1;
    case rx_KindMemory:
    case rx_KindWrapped:
      if (!storageConsistent(s)) return fail(state, rx_ErrStorage);
      refreshFromStorage(s);
      return 1;
    default: {
      auto *parent = static_cast<rx_Surface *>(s->storage1);
      if (parent == nullptr || depth >= kMaxViewDepth) return fail(state, rx_ErrNotSurface);
      if (refreshAt(state, parent, depth + 1) == 0) return 0;
      return refreshView(s, parent) ? 1 : fail(state, rx_ErrEmpty);
    }
  }
}

int32_t lockAt(rx_ThreadState *state, rx_Surface *s, uint32_t flags, int depth) {
  return recordUsable(s) ? lockRecord(state, s, flags, depth) : fail(state, rx_ErrNotSurface);
}

// The lock on a record already known to be usable.
int32_t lockRecord(rx_ThreadState *state, rx_Surface *s, uint32_t flags, int depth) {
  if (!hasSignature(s)) return fail(state, rx_ErrEmpty);
  // Count first, then look at the closing bit: a destroy that sets the bit
  // and then reads the count cannot miss this lock.
  int32_t before = __atomic_fetch_add(&s->lockCount, 1, __ATOMIC_SEQ_CST);
  bool tookOwner = false;
  uint32_t self = os_ThreadId();
  auto undo = [&](int32_t code) {
    if (tookOwner) releaseOwner(s, self);
    dropCount(s);
    return fail(state, code);
  };
  if (loadState(s) & rx_StateClosing) return undo(rx_ErrClosing);
  if (!hasSignature(s)) return undo(rx_ErrEmpty);  // destroyed meanwhile

  bool exclusive = (flags & rx_LockExclusive) != 0;
  for (;;) {
    WaitEnd end = waitForOwner(s, self, true);
    if (end == WaitEnd::closing) return undo(rx_ErrClosing);
    if (!exclusive) {
      // A shared lock leaves no owner behind (a timed-out wait gives the
      // owner up), except that the holder's own nested shared lock (the
      // kernels take one inside an exclusive lock) keeps it marked.
      uint32_t owner = loadOwner(s);
      if (owner != self && owner != 0)
        __atomic_compare_exchange_n(&s->owner, &owner, 0u, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
      break;
    }
    uint32_t expected = 0;
    if (end == WaitEnd::timedOut) {
      __atomic_store_n(&s->owner, self, __ATOMIC_RELEASE);  // taken anyway after the bounded wait
      tookOwner = true;
      break;
    }
    if (__atomic_compare_exchange_n(&s->owner, &expected, self, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
      tookOwner = true;
      break;
    }
    if (expected == self) break;  // already ours
  }

  switch (s->kind) {
    case rx_KindDib: {
      bool keep = before > 0 && loadRelaxed(&s->bits) != nullptr;
      if (!keep && !readDibInfo(s)) return undo(rx_ErrGdi);
      if (rx_ProbeMemory(loadRelaxed(&s->bits), 4, true) != 0) return undo(rx_ErrNotSurface);
      break;
    }
    case rx_KindMemory:
    case rx_KindWrapped:
      if (!storageConsistent(s)) return undo(rx_ErrEmpty);
      refreshFromStorage(s);
      break;
    default: {
      auto *parent = static_cast<rx_Surface *>(s->storage1);
      if (parent == nullptr || depth >= kMaxViewDepth) return undo(rx_ErrEmpty);
      if (lockAt(state, parent, flags, depth + 1) == 0) return undo(state->lastError);
      if (!refreshView(s, parent)) {
        unlockAt(parent, flags, depth + 1);
        return undo(rx_ErrEmpty);
      }
      break;
    }
  }
  if (before + 1 > 255) rx_Notify(rx_DiagLockCount);
  if (loadRelaxed(&s->bits) == nullptr) {
    if (s->kind == rx_KindView) unlockAt(static_cast<rx_Surface *>(s->storage1), flags, depth + 1);
    return undo(rx_ErrNotSurface);
  }
  return 1;
}

void unlockAt(rx_Surface *s, uint32_t flags, int depth) {
  // Only an exclusive unlock gives up exclusive use: a nested shared
  // lock/unlock pair inside it must leave the surface marked.
  if (flags & rx_LockExclusive) releaseOwner(s, os_ThreadId());
  if (hasSignature(s) && loadRelaxed(&s->kind) == rx_KindView && depth < kMaxViewDepth) {
    auto *parent = static_cast<rx_Surface *>(s->storage1);
    if (parent != nullptr && recordUsable(parent)) unlockAt(parent, flags, depth + 1);
  }
  if (__atomic_sub_fetch(&s->lockCount, 1, __ATOMIC_SEQ_CST) < 0) {
    __atomic_store_n(&s->lockCount, 0, __ATOMIC_SEQ_CST);
    rx_Notify(rx_DiagLockCount);
  }
}

// Two pixels differ: any bit when tolerance < 1, else by the sum of the
// absolute byte differences.
inline bool differ(uint32_t a, uint32_t b, int32_t tolerance) {
  if (tolerance < 1) return a != b;
  int32_t sum = 0;
  for (int shift = 0; shift < 32; shift += 8)
    sum += std::abs(static_cast<int32_t>((a >> shift) & 0xFF) - static_cast<int32_t>((b >> shift) & 0xFF));
  return sum > tolerance;
}

}  // namespace

namespace rx_detail {

WaitEnd waitForOwner(rx_Surface *s, uint32_t self, bool stop_when_closing) {
  constexpr uint32_t kSleeps = 500;  // about five seconds of 10 ms sleeps
  for (uint32_t poll = 0;; ++poll) {
    if (stop_when_closing && (loadState(s) & rx_StateClosing)) return WaitEnd::closing;
    uint32_t owner = loadOwner(s);
    if (owner == 0 || owner == self) return WaitEnd::free;
    // Asking the system whether a thread lives costs a file read: not on every yield.
    if ((poll >= kYieldPolls || poll % 64 == 0) && !rx_IsThreadAlive(owner)) {
      __atomic_compare_exchange_n(&s->owner, &owner, 0u, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
      continue;
    }
    if (poll < kYieldPolls) {
      os_Sleep(0);
    } else if (poll < kYieldPolls + kSleeps) {
      os_Sleep(10);
    } else {
      rx_Notify(rx_DiagWaitTimedOut);
      return WaitEnd::timedOut;
    }
  }
}

int32_t discard(rx_ThreadState *state, rx_Surface *s, int32_t code) {
  rx_SurfaceFree(s);
  return fail(state, code);
}

}  // namespace rx_detail

namespace {

// Creation on a record already known to be usable.
int32_t createRecord(rx_ThreadState *state, rx_Surface *surface, int32_t width, int32_t height, uint32_t flags) {
  int64_t w = std::llabs(static_cast<int64_t>(width));
  int64_t h = std::llabs(static_cast<int64_t>(height));
  if (w < 1 || h < 1) return fail(state, rx_ErrArgument);
  if (hasSignature(surface)) freeRecord(state, surface);

  bool shrunk = false;
  bool noShrink = (flags & rx_CreateNoShrink) != 0;
  double limit = (flags & rx_CreateLowerLimit) ? 200000000.0 : 250000000.0;
  if (static_cast<double>(w * h) > limit && !(flags & rx_CreateNoTotalLimit)) {
    if (noShrink) return fail(state, rx_ErrTooBig);
    double f = std::sqrt(limit / static_cast<double>(w * h));
    w = std::max<int64_t>(1, (static_cast<int64_t>(static_cast<double>(w) * f) + 1) & ~int64_t{1});
    h = std::max<int64_t>(1, (static_cast<int64_t>(static_cast<double>(h) * f) + 1) & ~int64_t{1});
    shrunk = true;
  }
  if (h > 65536) {
    if (noShrink) return fail(state, rx_ErrTooBig);
    // At least one pixel: a very thin image would otherwise round to nothing.
    w = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(w) / static_cast<double>(h) * 65536.0 + 0.5));
    h = 65536;
    shrunk = true;
  }
  if (w > 65536) {
    if (noShrink) return fail(state, rx_ErrTooBig);
    h = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(h) / static_cast<double>(w) * 65536.0 + 0.5));
    w = 65536;
    shrunk = true;
  }
  if (w * h > 0x3FFFFFFF) return fail(state, rx_ErrTooBig);

  zeroRecord(surface);
  surface->signature = rx_SurfaceSignature;
  uint32_t storage = flags & 3;
  if (storage == 0 || storage == 3)
    storage = static_cast<double>(w * h) > kDibPixelLimit ? rx_CreateMemory : rx_CreateDib;
  if (storage == rx_CreateMemory) {
    surface->kind = rx_KindMemory;
    // Near the pixel ceiling the bytes pass 2^32: a 32-bit size_t would wrap.
    const uint64_t bytes = static_cast<uint64_t>(w * h) * 4 + 16;
    if (bytes > SIZE_MAX) return discard(state, surface, rx_ErrNoMemory);
    void *block = GlobalAlloc(GPTR, static_cast<SIZE_T>(bytes));
    if (block == nullptr) return discard(state, surface, rx_ErrNoMemory);
    surface->storage1 = block;
    surface->storage2 = static_cast<uintptr_t>(w);
    surface->storage3 = static_cast<uintptr_t>(h);
    surface->storage4 = static_cast<int32_t>(w);
    refreshFromStorage(surface);
  } else if (createDib(state, surface, static_cast<int32_t>(w), static_cast<int32_t>(h)) == 0) {
    return 0;
  }
  if (validRecord(state, surface, 0) == 0) return discard(state, surface, state->lastError);
  state->lastError = rx_ErrNone;
  return shrunk ? 3 : 1;
}

// The destroy protocol on a record already known to be usable.
int32_t freeRecord(rx_ThreadState *state, rx_Surface *surface) {
  if (loadRelaxed(&surface->signature) != rx_SurfaceSignature) {
    zeroRecord(surface);
    state->lastError = rx_ErrEmpty;
    return 1;
  }
  uint8_t before = __atomic_fetch_or(&surface->state, rx_StateClosing, __ATOMIC_SEQ_CST);
  if (before & rx_StateClosing) {
    // Another thread is destroying it: let that one finish (bounded).
    for (int waited = 0; loadRelaxed(&surface->signature) == rx_SurfaceSignature && waited < 10000; waited += 10)
      os_Sleep(10);
    state->lastError = rx_ErrEmpty;
    return 1;
  }
  state->lastError = rx_ErrClosing;
  uint32_t self = os_ThreadId();
  waitForOwner(surface, self, false);
  __atomic_store_n(&surface->owner, 0u, __ATOMIC_RELEASE);

  if (!waitForLockHolders(surface, 200)) rx_Notify(rx_DiagWaitTimedOut);
  storeRelaxed(&surface->width, 0u);
  storeRelaxed(&surface->height, 0u);
  storeRelaxed(&surface->stride, 0u);
  if (__atomic_load_n(&surface->lockCount, __ATOMIC_ACQUIRE) > 0) {
    __atomic_fetch_or(&surface->state, uint8_t{rx_StateClosing | rx_StateAbort}, __ATOMIC_SEQ_CST);
    if (!waitForLockHolders(surface, 100)) rx_Notify(rx_DiagDestroyGaveUp);
  }

  state->lastError = rx_ErrEmpty;
  freeStorage(surface);
  if (state->patternSurface == surface) state->patternSurface = nullptr;
  zeroRecord(surface);
  return 1;
}

// Hands a packed heap surface's block over; the record is known to be usable.
HGLOBAL detachRecord(rx_ThreadState *state, rx_Surface *surface) {
  if (validRecord(state, surface, 0) == 0) {
    fail(state, rx_ErrNotSurface);
    return nullptr;
  }
  if (surface->kind != rx_KindMemory || surface->bits != surface->storage1 || surface->stride != surface->width) {
    fail(state, rx_ErrArgument);
    return nullptr;
  }
  // Pixels someone still reads or writes cannot change hands.
  if (__atomic_load_n(&surface->lockCount, __ATOMIC_ACQUIRE) > 0 ||
      __atomic_load_n(&surface->owner, __ATOMIC_ACQUIRE) != 0 || __atomic_load_n(&surface->state, __ATOMIC_ACQUIRE) != 0) {
    fail(state, rx_ErrClosing);
    return nullptr;
  }
  HGLOBAL block = surface->storage1;
  surface->storage1 = nullptr;  // destroying frees nothing now
  freeRecord(state, surface);
  state->lastError = rx_ErrNone;
  return block;
}

void swapRecords(rx_Surface *a, rx_Surface *b) {
  if (a == b) return;
  rx_Surface held;
  std::memcpy(&held, a, sizeof held);
  std::memcpy(a, b, sizeof held);
  std::memcpy(b, &held, sizeof held);
}

}  // namespace

int32_t rx_SurfaceCreate(rx_Surface *surface, int32_t width, int32_t height, uint32_t flags) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  return recordUsable(surface) ? createRecord(state, surface, width, height, flags) : fail(state, rx_ErrNotSurface);
}

int32_t rx_SurfaceWrap(rx_Surface *surface, int32_t width, int32_t height, int32_t stride, void *bits) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  if (width < 1 || height < 1 || stride < 1 || rx_ProbeMemory(bits, 4, false) != 0)
    return fail(state, rx_ErrArgument);
  if (hasSignature(surface)) rx_SurfaceFree(surface);
  zeroRecord(surface);
  surface->signature = rx_SurfaceSignature;
  surface->kind = rx_KindWrapped;
  surface->storage1 = bits;
  surface->storage2 = static_cast<uintptr_t>(width);
  surface->storage3 = static_cast<uintptr_t>(height);
  surface->storage4 = stride;
  refreshFromStorage(surface);
  state->lastError = rx_ErrNone;
  return 1;
}

int32_t rx_SurfaceView(rx_Surface *view, rx_Surface *parent, int32_t left, int32_t top, int32_t right,
                       int32_t bottom) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(view) || !recordUsable(parent)) return fail(state, rx_ErrNotSurface);
  auto inRange = [](int32_t v) { return v >= 0 && v <= 32767; };
  if (view == parent || right < left || bottom < top || !inRange(left) || !inRange(top) || !inRange(right) ||
      !inRange(bottom))
    return fail(state, rx_ErrArgument);
  if (rx_SurfaceIsValid(parent) == 0) return fail(state, rx_ErrNotSurface);
  if (hasSignature(view)) rx_SurfaceFree(view);
  zeroRecord(view);
  view->signature = rx_SurfaceSignature;
  view->kind = rx_KindView;
  view->storage1 = parent;
  view->storage2 = static_cast<uintptr_t>(left) | static_cast<uintptr_t>(top) << 16;
  view->storage3 = static_cast<uintptr_t>(right) | static_cast<uintptr_t>(bottom) << 16;
  view->width = static_cast<uint32_t>(right - left + 1);
  view->height = static_cast<uint32_t>(bottom - top + 1);
  view->stride = loadRelaxed(&parent->stride);
  // The pixel pointer is only trustworthy once locked; give a useful one now
  // when the view starts inside the parent.
  uint32_t *parentBits = loadRelaxed(&parent->bits);
  if (parentBits != nullptr && static_cast<uint32_t>(left) < loadRelaxed(&parent->width) &&
      static_cast<uint32_t>(top) < loadRelaxed(&parent->height))
    view->bits = parentBits + (static_cast<size_t>(top) * view->stride + static_cast<size_t>(left));
  state->lastError = rx_ErrNone;
  return 1;
}

int32_t rx_SurfaceFree(rx_Surface *surface) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  return recordUsable(surface) ? freeRecord(state, surface) : fail(state, rx_ErrNotSurface);
}

HGLOBAL rx_SurfaceDetachMemory(rx_Surface *surface) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return nullptr;
  if (!recordUsable(surface)) {
    fail(state, rx_ErrNotSurface);
    return nullptr;
  }
  return detachRecord(state, surface);
}

int32_t rx_SurfaceIsValid(rx_Surface *surface) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  return isValidAt(state, surface, 0);
}

int32_t rx_SurfaceIsValidOwned(rx_Surface *surface) {
  // No state lookup: only a failure writes to the thread's state.
  return surface != nullptr ? validRecord(nullptr, surface, 0) : fail(nullptr, rx_ErrNotSurface);
}

int32_t rx_OwnedCreate(rx_ThreadState *state, rx_Surface *surface, int32_t width, int32_t height, uint32_t flags) {
  return createRecord(state, surface, width, height, flags);
}

int32_t rx_OwnedFree(rx_ThreadState *state, rx_Surface *surface) { return freeRecord(state, surface); }

int32_t rx_OwnedLock(rx_ThreadState *state, rx_Surface *surface, uint32_t flags) {
  return lockRecord(state, surface, flags, 0);
}

void rx_OwnedUnlock(rx_Surface *surface, uint32_t flags) { unlockAt(surface, flags, 0); }

void rx_OwnedSwap(rx_Surface *a, rx_Surface *b) { swapRecords(a, b); }

HGLOBAL rx_OwnedDetachMemory(rx_ThreadState *state, rx_Surface *surface) { return detachRecord(state, surface); }

int32_t rx_SurfaceRefresh(rx_Surface *surface) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  return refreshAt(state, surface, 0);
}

int32_t rx_SurfaceLock(rx_Surface *surface, uint32_t flags) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  return lockAt(state, surface, flags, 0);
}

int32_t rx_SurfaceUnlock(rx_Surface *surface, uint32_t flags) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  unlockAt(surface, flags, 0);
  return 1;
}

int32_t rx_SurfaceSwap(rx_Surface *a, rx_Surface *b) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(a) || !recordUsable(b)) return fail(state, rx_ErrNotSurface);
  swapRecords(a, b);
  return 1;
}

int32_t rx_SurfaceSwapLocked(rx_Surface *a, rx_Surface *b) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(a) || !recordUsable(b)) return fail(state, rx_ErrNotSurface);
  if (a == b) return 1;
  // Lock in address order so two swaps of the same pair cannot wait on each other.
  rx_Surface *first = a < b ? a : b, *second = a < b ? b : a;
  if (rx_SurfaceLock(first, rx_LockExclusive) == 0) return 0;
  if (rx_SurfaceLock(second, rx_LockExclusive) == 0) {
    rx_SurfaceUnlock(first, rx_LockExclusive);
    return 0;
  }
  // The lock bookkeeping stays with each record: its holders (this call
  // among them) hold the record, not its contents.
  auto exchange = [](auto &x, auto &y) { std::swap(x, y); };
  exchange(a->width, b->width);
  exchange(a->height, b->height);
  exchange(a->stride, b->stride);
  exchange(a->bits, b->bits);
  exchange(a->signature, b->signature);
  exchange(a->kind, b->kind);
  exchange(a->storage1, b->storage1);
  exchange(a->storage2, b->storage2);
  exchange(a->storage3, b->storage3);
  exchange(a->storage4, b->storage4);
  rx_SurfaceUnlock(second, rx_LockExclusive);
  rx_SurfaceUnlock(first, rx_LockExclusive);
  return 1;
}

int32_t rx_SurfaceCopy(rx_Surface *dst, rx_Surface *src) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(dst) || !recordUsable(src)) return fail(state, rx_ErrNotSurface);
  if (dst == src) return 1;
  if (rx_SurfaceLock(src, 0) == 0) return 0;
  uint32_t width = src->width, height = src->height;

  bool dstLocked = false;
  if (hasSignature(dst) && validRecord(state, dst, 0) != 0 && rx_SurfaceLock(dst, rx_LockExclusive) != 0) {
    dstLocked = dst->width == width && dst->height == height;
    if (!dstLocked) rx_SurfaceUnlock(dst, rx_LockExclusive);
  }
  if (!dstLocked) {
    rx_SurfaceFree(dst);
    if (rx_SurfaceCreate(dst, static_cast<int32_t>(width), static_cast<int32_t>(height), rx_CreateNoShrink) == 0 ||
        rx_SurfaceLock(dst, rx_LockExclusive) == 0) {
      int32_t code = state->lastError;
      rx_SurfaceUnlock(src, 0);
      return fail(state, code);
    }
  }
  int32_t result = 1;
  if (dst->stride == width && src->stride == width) {
    std::memmove(dst->bits, src->bits, static_cast<size_t>(width) * height * 4);
    state->lastError = rx_ErrNone;
  } else {
    result = rx_KernelCopyStrided(dst, src);  // rows with gaps: row by row
  }
  rx_SurfaceUnlock(dst, rx_LockExclusive);
  rx_SurfaceUnlock(src, 0);
  return result;
}

int32_t rx_SurfaceCompare(rx_Surface *a, rx_Surface *b, int32_t tolerance, rx_Rect *rect) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rx_ProbeMemory(rect, sizeof *rect, true) != 0) return fail(state, rx_ErrArgument);
  if (!recordUsable(a) || !recordUsable(b)) {
    *rect = rx_Rect{0, 0, -1, -1, 1};
    return fail(state, rx_ErrNotSurface);
  }
  auto whole = [&](int32_t code) {
    *rect = rx_Rect{0, 0, static_cast<int32_t>(loadRelaxed(&a->width)) - 1,
                    static_cast<int32_t>(loadRelaxed(&a->height)) - 1, 1};
    return fail(state, code);
  };
  if (rx_SurfaceLock(a, 0) == 0) return whole(state->lastError);
  if (rx_SurfaceLock(b, 0) == 0) {
    int32_t code = state->lastError;
    rx_SurfaceUnlock(a, 0);
    return whole(code);
  }
  const uint32_t width = a->width, height = a->height;
  if (b->width != width || b->height != height) {
    rx_SurfaceUnlock(b, 0);
    rx_SurfaceUnlock(a, 0);
    return whole(rx_ErrArgument);
  }
  auto pa = [&](uint32_t x, uint32_t y) { return a->bits[static_cast<size_t>(y) * a->stride + x]; };
  auto pb = [&](uint32_t x, uint32_t y) { return b->bits[static_cast<size_t>(y) * b->stride + x]; };
  auto rowDiffers = [&](uint32_t y) {
    for (uint32_t x = 0; x < width; ++x)
      if (differ(pa(x, y), pb(x, y), tolerance)) return true;
    return false;
  };
  int32_t top = -1;
  for (uint32_t y = 0; y < height && top < 0; ++y)
    if (rowDiffers(y)) top = static_cast<int32_t>(y);
  int32_t result = -1;
  if (top < 0) {
    *rect = rx_Rect{0, 0, 0, 0, 0};
  } else {
    int32_t bottom = top;
    for (int32_t y = static_cast<int32_t>(height) - 1; y > top; --y) {
      if (rowDiffers(static_cast<uint32_t>(y))) {
        bottom = y;
        break;
      }
    }
    // The column passes only need the rows between the two edges found.
    auto columnDiffers = [&](uint32_t x) {
      for (int32_t y = top; y <= bottom; ++y)
        if (differ(pa(x, static_cast<uint32_t>(y)), pb(x, static_cast<uint32_t>(y)), tolerance)) return true;
      return false;
    };
    int32_t left = 0;
    while (left < static_cast<int32_t>(width) - 1 && !columnDiffers(static_cast<uint32_t>(left))) ++left;
    int32_t right = static_cast<int32_t>(width) - 1;
    while (right > left && !columnDiffers(static_cast<uint32_t>(right))) --right;
    *rect = rx_Rect{left, top, right, bottom, 1};
    result = 1;
  }
  rx_SurfaceUnlock(b, 0);
  rx_SurfaceUnlock(a, 0);
  state->lastError = rx_ErrNone;
  return result;
}

int32_t rx_SurfaceMapChannels(rx_Surface *surface, int32_t left, int32_t top, int32_t right, int32_t bottom,
                              const uint8_t *blue_table, const uint8_t *green_table, const uint8_t *red_table,
                              const uint8_t *t_table) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  const uint8_t *tables[4] = {blue_table, green_table, red_table, t_table};
  int given = 0;
  for (const uint8_t *table : tables) {
    if (table == nullptr) continue;
    if (rx_ProbeMemory(table, 256, false) != 0) return fail(state, rx_ErrArgument);
    ++given;
  }
  if (given == 0 || right < left || bottom < top) return fail(state, rx_ErrArgument);
  if (rx_SurfaceLock(surface, rx_LockExclusive) == 0) return 0;
  int32_t x0 = std::max(left, 0), y0 = std::max(top, 0);
  int32_t x1 = std::min<int64_t>(right, static_cast<int64_t>(surface->width) - 1);
  int32_t y1 = std::min<int64_t>(bottom, static_cast<int64_t>(surface->height) - 1);
  int32_t result = 1;
  for (int32_t y = y0; y <= y1 && x0 <= x1; ++y) {
    if (isClosingOrAborting(surface)) {
      if (given == 4) result = fail(state, rx_ErrAborted);
      break;
    }
    auto *row = reinterpret_cast<uint8_t *>(surface->bits + static_cast<size_t>(y) * surface->stride);
    for (int32_t x = x0; x <= x1; ++x) {
      uint8_t *pixel = row + static_cast<size_t>(x) * 4;
      for (int c = 0; c < 4; ++c)
        if (tables[c] != nullptr) pixel[c] = tables[c][pixel[c]];
    }
  }
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  return result;
}

int32_t rx_SurfaceFixAlpha(rx_Surface *surface, uint32_t mode) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rx_SurfaceLock(surface, rx_LockExclusive) == 0) return 0;
  int32_t result = 1;
  for (uint32_t y = 0; y < surface->height; ++y) {
    if (isClosingOrAborting(surface)) {
      result = fail(state, rx_ErrAborted);
      break;
    }
    rx_ConvertAlphaRow(surface->bits + static_cast<size_t>(y) * surface->stride, surface->width, mode);
  }
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  return result;
}

int32_t rx_ConvertAlphaRow(uint32_t *row, size_t count, uint32_t mode) {
  if (row == nullptr) return 0;
  auto *p = reinterpret_cast<uint8_t *>(row);
  switch (mode & 0xF000) {
    case rx_AlphaOpaque:
      for (size_t i = 0; i < count; ++i) p[i * 4 + 3] = 0;
      break;
    case rx_AlphaInvert:
      for (size_t i = 0; i < count; ++i) p[i * 4 + 3] = static_cast<uint8_t>(255 - p[i * 4 + 3]);
      break;
    case rx_AlphaToPremultiplied:
      for (size_t i = 0; i < count; ++i) {
        uint8_t *px = p + i * 4;
        uint32_t t = px[3];
        if (t == 0) {
          px[3] = 255;
        } else if (t == 255) {
          px[0] = px[1] = px[2] = px[3] = 0;
        } else {
          uint32_t o = 255 - t;
          for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>(((px[c] * o + 127) * 257) >> 16);
          px[3] = static_cast<uint8_t>(o);
        }
      }
      break;
    case rx_AlphaFromPremultiplied:
      for (size_t i = 0; i < count; ++i) {
        uint8_t *px = p + i * 4;
        uint32_t a = px[3];
        if (a == 0) {
          px[0] = px[1] = px[2] = 0;
          px[3] = 255;
        } else if (a != 255) {
          uint32_t factor = 0xFF000u / a;
          // Colour above its opacity is not valid premultiplied data: clamp it.
          for (int c = 0; c < 3; ++c)
            px[c] = static_cast<uint8_t>(std::min<uint32_t>(255, (px[c] * factor + 2048) >> 12));
          px[3] = static_cast<uint8_t>(255 - a);
        } else {
          px[3] = 0;
        }
      }
      break;
    case rx_AlphaSetFourth:
      for (size_t i = 0; i < count; ++i) p[i * 4 + 3] = 255;
      break;
    default:
      break;
  }
  return 1;
}
