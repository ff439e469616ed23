// The markup record that plug-ins and the load and save pipelines edit
// through: a text in a global-memory block that grows as pairs are set, so
// that whoever receives the record can free it with markup_MetaFree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vgm/vgm_compat.h"

#ifdef __cplusplus
extern "C" {
#endif

// Field order is fixed: in the 32-bit build these are four 32-bit words.
typedef struct MetaMarkup {
  char *text;         // the current text; equal to `buffer` once allocated
  uint32_t size;      // bytes of the text with its NUL, 0 for an empty text
  HGLOBAL buffer;     // owned global-memory block that holds the text
  uint32_t capacity;  // bytes in `buffer`
} MetaMarkup;

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(MetaMarkup, text) == 0, "MetaMarkup layout");
static_assert(offsetof(MetaMarkup, size) == 4, "MetaMarkup layout");
static_assert(offsetof(MetaMarkup, buffer) == 8, "MetaMarkup layout");
static_assert(offsetof(MetaMarkup, capacity) == 12, "MetaMarkup layout");
static_assert(sizeof(MetaMarkup) == 16, "MetaMarkup layout");
#endif

// Bytes of a new record's block.
enum { kMetaMarkupInitialCapacity = 4096 };

// Zeroes the record and gives it an empty text in a zero-filled block of
// kMetaMarkupInitialCapacity bytes. 1, or 0 when the block cannot be had.
int32_t VGM_API markup_MetaInit(MetaMarkup *markup);
// Init, then the first `size` bytes of `data` as the text (up to a NUL in
// them). Unreadable data counts as empty. 1, or 0 without memory.
int32_t VGM_API markup_MetaInitFromData(MetaMarkup *markup, const void *data, uint32_t size);
// Frees the block (unless the memory manager disowns it) and zeroes the
// record. 1, or 0 for a null record.
int32_t VGM_API markup_MetaFree(MetaMarkup *markup);
// Sets every pair of `text` into the record; later duplicates win. 1 when
// the text held anything, 0 when it was empty or memory ran out.
int32_t VGM_API markup_MetaMerge(MetaMarkup *markup, const char *text);
// markup_Get on the record's text; without `out`, the pair's length
// (markup_PairLength).
int32_t VGM_API markup_MetaGet(MetaMarkup *markup, const char *key, char *out, int32_t out_size);
// markup_Set on the record's text after growing it for the pair. 1, or 0
// when the set failed or memory ran out (the record is then unchanged).
int32_t VGM_API markup_MetaSet(MetaMarkup *markup, const char *key, const char *value);
// Bits per pixel from "image.bpp" (the number at its first digit). 1 and
// `*bpp` set, or 0 when the key is missing or gives 0.
int32_t VGM_API markup_MetaGetBpp(MetaMarkup *markup, int32_t *bpp);
// Writes "image.bpp" with "%i". 1, or 0 on failure.
int32_t VGM_API markup_MetaSetBpp(MetaMarkup *markup, int32_t bpp);

#ifdef __cplusplus
}
#endif
