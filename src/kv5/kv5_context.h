// The part of a load or save request that the KV5 stream and pixel code
// touch: the message buffer, the status flags, progress and cancellation.
//
// The container reader and writer own the real request record; they hand
// its fields over in this small record so that the block codec layer does
// not depend on the request layout (and tests can build one on the stack).
//
//   messages        480 UTF-16 units, always NUL-terminated. Messages are
//                   appended in the order met; an append that does not fit
//                   is cut at the end of the buffer.
//   errorFlags      bit 0 (kv5_ErrorFailed) is set by every failure and
//                   cleared by a cancellation.
//   outOfMemory     set when a work buffer could not be allocated.
//   layerError      set when pixel unpacking fails.
//   cancelled       set when the progress callback asked to stop.
//   progress        called with (value, total, progressContext); total is
//                   100000 for the stream functions. A return of 0 cancels.
//                   May be null.
//   progressValue   the last value passed to the callback.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kv5_MessageCapacity = 480;
inline constexpr int32_t kv5_ProgressTotal = 100000;

enum : uint32_t { kv5_ErrorFailed = 1u << 0 };

using kv5_ProgressCallback = int32_t (*)(int32_t value, int32_t total, void *context);

struct kv5_Context {
  char16_t messages[kv5_MessageCapacity];
  uint32_t errorFlags;
  bool outOfMemory;
  bool layerError;
  bool cancelled;
  kv5_ProgressCallback progress;
  void *progressContext;
  int32_t progressValue;
};

// Clears every field (empty messages, no flags, no callback).
void kv5_ContextInit(kv5_Context *context);

// Appends ASCII text (each byte becomes one UTF-16 unit), cut at the end.
void kv5_AppendMessage(kv5_Context *context, const char *text);
// printf-style formatting of the same (%i, %s, ...), then appended.
void kv5_AppendMessageF(kv5_Context *context, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Length of the message text in units.
size_t kv5_MessageLength(const kv5_Context *context);

// Sets bit 0 of the error flags.
inline void kv5_SetFailed(kv5_Context *context) { context->errorFlags |= kv5_ErrorFailed; }

// Calls the progress callback, if any, with (value, kv5_ProgressTotal).
// Returns 1 to go on; 0 when the callback cancelled: the cancellation text
// is appended, the error flags cleared and the cancelled flag set.
int kv5_ReportProgress(kv5_Context *context, int32_t value);

// The text every cancellation appends.
inline constexpr const char *kv5_CancelledText = "Cancelled: The operation was cancelled by the user\n";
