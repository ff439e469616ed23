// Switch between the fast (SSE2 and wide-load) and the plain paths of the
// kv5 hot loops. Both give the same bytes; the switch exists so that tests
// can check exactly that. It is process-wide and meant for tests only.
#pragma once

bool kv5_SimdEnabled();
void kv5_SetSimdEnabled(bool enabled);

#if defined(__x86_64__) || defined(__i386__)
// Processors with 64-byte permutes by byte (AVX-512 VBMI with BW) take the
// widest paths; asked of the processor once.
#define KV5_BYTE_PERMUTES __attribute__((target("avx512f,avx512bw,avx512vbmi")))
bool kv5_HasBytePermutes();
// GCC 12's AVX-512 headers trip its own uninitialised-value warnings in the
// code that uses them; these bracket that code (clang has only the second).
#if defined(__clang__)
#define KV5_BYTE_PERMUTES_BEGIN _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#else
#define KV5_BYTE_PERMUTES_BEGIN                                        \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"") \
      _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#endif
#define KV5_BYTE_PERMUTES_END _Pragma("GCC diagnostic pop")
#endif
