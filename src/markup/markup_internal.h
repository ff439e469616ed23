// Helpers shared by the markup sources; not for other subsystems.
#pragma once

#include <cstddef>

// Texts are small; offsets are reported as int, so longer texts are seen
// only up to this many bytes.
inline constexpr size_t kMarkupTextLimit = 0x7FFFFF00u;

// Length of a zero-terminated argument, reading at most `limit` bytes (the
// result is `limit` when no terminator came before it). A null argument,
// or one that faults while being read, has length 0 and `*readable` false.
size_t markup_ArgLength(const char *text, size_t limit, bool *readable);

inline char markup_AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }
inline bool markup_IsLineSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline bool markup_IsPairSeparator(char c) { return c == ';' || markup_IsLineSpace(c); }
inline bool markup_IsDigit(char c) { return c >= '0' && c <= '9'; }
