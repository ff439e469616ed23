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
#endif
