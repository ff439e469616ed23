// Error codes the engine leaves in the calling thread's state, and the
// diagnostic codes it sends to the thread's notification hook.
#pragma once

#include <cstdint>

enum : int32_t {
  rx_ErrNone = 0,
  rx_ErrEmpty = 1,         // empty record, unknown kind, view outside its parent
  rx_ErrNotSurface = 3,    // unusable record, wrong signature, lock failed, unreadable bitmap
  rx_ErrArgument = 5,      // bad size, stride, rectangle or missing output
  rx_ErrStorage = 6,       // inconsistent storage fields
  rx_ErrNoMemory = 8,
  rx_ErrTooBig = 9,        // a size limit was exceeded and shrinking was not allowed
  rx_ErrClosing = 10,      // closing, or not possible for wrapped and view surfaces
  rx_ErrNoAdjustment = 11,
  rx_ErrAborted = 13,      // the surface started closing while the operation ran
  rx_ErrNoDC = 16,
  rx_ErrGdi = 17,
};

enum : int32_t {
  rx_DiagDestroyGaveUp = 0x40000002,
  rx_DiagWaitTimedOut = 0x40000003,
  rx_DiagLockCount = 0x40000004,
  rx_DiagDcRecreated = 0x40000005,
  rx_DiagNotDib = 0x40000006,
  rx_DiagMakeDibRefused = 0x40000007,
  rx_DiagResizeRefused = 0x40000008,
  rx_DiagRotateRefused = 0x40000009,
};

// Inclusive rectangle with a validity flag, as callers and plug-ins pass it.
struct rx_Rect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
  int32_t valid;
};
