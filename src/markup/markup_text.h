// The markup text: one flat, NUL-terminated 8-bit text of "key=value;"
// pairs that carries every image's metadata. These are the only operations
// that read or edit it; they work in place on the caller's buffer.
//
// Every text argument may come from a file or a plug-in: a null text or key
// makes an operation return 0, an argument that cannot be read counts as
// empty, and no operation writes past the capacity it is given. Keys compare
// ASCII case-insensitively; the first occurrence of a key wins.
#pragma once

#include <cstddef>
#include <cstdint>

// Longest key and value that markup_NextPair hands out (buffers need one
// byte more for the terminator).
inline constexpr int kMarkupKeyMax = 255;
inline constexpr int kMarkupValueMax = 4095;
// Longest line markup_AppendLine writes, terminator included.
inline constexpr int kMarkupLineCapacity = 4096;
// Largest byte block written in the byte-block value form.
inline constexpr int kMarkupBlockMax = 3070;
// Default character set of markup_Trim.
inline constexpr const char *kMarkupTrimSet = " \f\v\t\r\n";

// Looks `key` up: the first place where key + '=' matches, else key + ' ',
// else key + '\t', anywhere in the text (also inside a longer key or a
// value). With `out` (out_size >= 1) copies the value after the next '='
// up to ';', CR, LF or the end, at most out_size - 1 bytes, NUL-terminated
// and untrimmed; without `out` at least one of the offsets must be asked
// for. `out_start` receives the offset of the match, `out_end` that of the
// byte that ended the value (or the first one that did not fit).
// Returns 1 found, 0 not found or bad arguments (`out` then holds "").
int markup_Get(const char *text, const char *key, char *out, int out_size, int *out_start, int *out_end);
// out_end - out_start of a lookup without an output buffer; 0 when absent.
int markup_PairLength(const char *text, const char *key);
// Replaces the value of `key` (3; the text after its ';' stays as it is) or
// appends the pair (1): "key=value;" into an empty text, "\r\nkey=value;"
// after the last character that is not a line break otherwise. Writes stop
// at `capacity` (a pair that does not fit is cut, the text stays
// terminated). 0 for a null or empty argument, no '=' after the found key,
// or no memory for the temporary copy (the text is then unchanged).
int markup_Set(char *text, int capacity, const char *key, const char *value);
// Removes from the first occurrence of `key` (cut at '=', so a whole pair
// may be passed; an empty key takes the first pair) through the pair's ';'
// and the separators after it. 1 removed, 0 not found or empty text.
int markup_Delete(char *text, const char *key);
// Parses the next pair: `key_out` (kMarkupKeyMax + 1 bytes) and `value_out`
// (kMarkupValueMax + 1 bytes) receive the key and the value without the
// spaces around them; either may be null. Returns the offset of the pair
// after it, 0 when no further pair (no '=') was found.
int markup_NextPair(const char *text, char *key_out, char *value_out);
// Appends "key=value;\r\n" at the end of `buffer`, the pair first sanitised
// (CR and LF become spaces, ';' becomes ',', runs of spaces collapse) and
// cut to kMarkupLineCapacity - 1 characters. 1, or 0 for bad arguments.
int markup_AppendLine(char *buffer, int capacity, const char *key, const char *value);
// Sets into `dest` every pair of `src` whose key starts with `prefix` (all
// for an empty or null prefix) and that `dest` does not hold yet; existing
// keys are never overwritten. 1, or 0 for a null argument.
int markup_CopyMissing(char *dest, int capacity, const char *src, const char *prefix);
// Removes characters of `set` (kMarkupTrimSet when null or empty) from both
// ends. 0 empty input, -1 nothing but set characters (left empty), else 1.
int markup_Trim(char *text, const char *set);

// Byte-block value form: "<count>, <base64>". Characters the value of a
// block of `size` bytes needs, terminator not counted; 0 over the limit.
int markup_BlockTextLength(size_t size);
// Writes the value of a block of at most kMarkupBlockMax bytes into `out`.
// Returns the characters written; 0 and nothing written when the block is
// too large or `out` too small.
int markup_FormatBlock(char *out, int out_size, const void *data, size_t size);
// Appends the pair "key=<block value>;\r\n" like markup_AppendLine (the
// value is not cut to a line). A block over the limit leaves the key out.
// 1 appended, 0 left out or bad arguments.
int markup_AppendBlock(char *buffer, int capacity, const char *key, const void *data, size_t size);
// Decodes a block value into `out` (at most out_size bytes): skips to the
// first ',' and the whitespace after it (no comma: the whole value), takes
// '-' for 62 and '_' or ',' for 63, stops at '=' or the end, ignores other
// characters. Returns the bytes stored.
int markup_DecodeBlock(const char *value, void *out, size_t out_size);

// Numbers in values. Integer: decimal after leading whitespace and the
// zeros before a digit (an optional sign is taken; the result saturates).
int32_t markup_ParseInt(const char *text);
// Integer from the first decimal digit on; 0 without a digit.
int32_t markup_ParseDigitInt(const char *text);
// Real number from the first character of ".e+-0123456789"; 0 when none
// parses.
double markup_ParseReal(const char *text);

// Rational approximation of a value >= 0 for EXIF fractions (a negative
// value gives the negated approximation of its magnitude). Values below 1
// are worked on as reciprocals, so `max_den` then bounds the numerator and
// 0.004 comes out as 1/250. Returns 1 for an approximation; 0 for 0 (0/1),
// a value that is not finite (1/0), and a magnitude the 32-bit fields
// cannot hold (saturated).
int markup_ToFraction(double value, int max_den, int32_t *num, int32_t *den);
// The continued-fraction search behind markup_ToFraction for a value as it
// stands (no reciprocal taken; value >= 0), with the bound raised tenfold
// while the result is 0/k and the bound is below 1 000 000. Returns 1, or 0
// when the expansion gave no convergent and a fixed denominator was used.
int markup_FractionSearch(double value, int32_t bound, int32_t *num, int32_t *den);
