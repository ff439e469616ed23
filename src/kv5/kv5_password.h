// Password-protected flat documents: the password stage of the codec chain
// and the placeholder document a reader returns when no password was given.
//
// Stage data (n bytes): byte 0 the header length H, from byte 1 the hint
// (ANSI, NUL-terminated within the header), at 68 a 32-bit checksum of the
// plain bytes (0: none stored), from H the ciphered bytes. Only the first
// min(H, 72) header bytes count; the rest read as 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/load_save_options.h"
#include "raster/layers/layers.h"

inline constexpr size_t kv5_PasswordUnits = 40;  // typed text with its NUL
inline constexpr int32_t kv5_StageDamaged = -1;

// A stage without a byte of cipher (n < 1 or H >= n) is damaged, not
// protected: it fails the chain, quiet or not.
inline bool kv5_StageIsDamaged(const uint8_t *stage, size_t n) { return stage == nullptr || n < 1 || stage[0] >= n; }

// Asks for the password (owner `parent`), deciphers the stage into
// `output` (`capacity` bytes; the rest is summed but not kept) and checks
// it. The count of plain bytes kept; 0 when the user gave no valid
// password; kv5_StageDamaged when the stage cannot be one (n < 1 or
// H >= n), without asking.
int64_t kv5_DecipherStage(uint8_t *output, size_t capacity, const uint8_t *stage, size_t n, HWND parent);

// plain[i] = cipher[i] - key[i mod L]; returns the 32-bit sum of the plain
// bytes. Writes at most `capacity` of them.
uint32_t kv5_Decipher(uint8_t *output, size_t capacity, const uint8_t *cipher, size_t length, const uint8_t *key,
                      size_t keyLength);

// The typed password as the ANSI key (unmappable characters become '?');
// `key` holds kv5_PasswordUnits bytes. The key length.
size_t kv5_PasswordKey(const char16_t *typed, uint8_t *key);

// Four noise frames "password-protected #0".."#3" of `width` x `height`,
// frame word 50, and the document kind "frame animation". The entries made:
// fewer than 4 when a surface cannot be created.
int32_t kv5_MakePasswordPlaceholder(rx_LayerEntry *layers, LoadSaveOptions *options, int32_t width, int32_t height);
