// The plug-in blacklist "plugin_blacklist.txt" in the application-data
// folder: one plug-in path per line. A path is blacklisted when it occurs
// anywhere in the text (case-sensitive). The copy in memory is an immutable
// snapshot, re-read when older than 15 s, swapped without the registry lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr const char16_t *kBlacklistFileName = u"plugin_blacklist.txt";
inline constexpr uint64_t kBlacklistMaxAgeMs = 15000;

// The current text (never null).
std::shared_ptr<const std::u16string> io_BlacklistText();
bool io_BlacklistHas(std::u16string_view text, std::u16string_view path);
bool io_BlacklistContains(std::u16string_view path);
// Appends the path unless it is listed already, and writes the file (8-bit
// when every character is below 256, else UTF-16LE with a byte-order mark;
// deleted when the trimmed text is empty). Write failures are silent: the
// copy in memory keeps the path for this process.
void io_BlacklistAdd(std::u16string_view path);
// The file's text from its bytes: UTF-16LE after the mark 0xFEFF, else one
// character per byte.
std::u16string io_BlacklistDecode(const void *bytes, size_t size);
// Drops the copy in memory, so the next test reads the file.
void io_BlacklistForget();
