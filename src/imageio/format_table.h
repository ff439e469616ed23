// The static format table: which plug-in file serves which extension, and
// the extensions with special rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr size_t kFormatRowCount = 119;

// Row `index` in stored order, ".ext=flt_Name.dll"; empty past the end.
std::u16string_view io_FormatRow(size_t index);
// The two halves of a row.
std::u16string_view io_FormatRowExtension(std::u16string_view row);
std::u16string_view io_FormatRowPlugin(std::u16string_view row);
// The plug-in file the table names for an extension (with its dot, any
// case); empty when the table does not know it.
std::u16string_view io_TablePluginFor(std::u16string_view extension);

// Extensions that count as none, so that content picks the plug-in.
bool io_IsTemporaryExtension(std::u16string_view extension);
// Extensions whose plug-in always comes from the table.
bool io_IsNeverRemembered(std::u16string_view extension);
// Extensions that can never be saved to.
bool io_IsExecutableExtension(std::u16string_view extension);

// Probe traps: no plug-in can honestly claim these.
inline constexpr std::u16string_view kLoadTrapExtension = u".***";
inline constexpr std::string_view kLoadTrapHeader = "abcdefgh";
inline constexpr int32_t kLoadTrapScore = 2;  // a score at or above this is greedy
struct io_SaveTrap {
  std::u16string_view extension;
  int32_t threshold;
};
inline constexpr io_SaveTrap kSaveTraps[6] = {{u".***", 1}, {u".???", 1}, {u".!@#", 1},
                                              {u".sys", 64}, {u".vxd", 64}, {u".ini", 64}};

// ASCII case folding and comparison, as file names compare on the suite's home platform.
inline char16_t io_FoldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }
bool io_SameIgnoringCase(std::u16string_view a, std::u16string_view b);
// < 0, 0, > 0 like a case-insensitive string comparison.
int io_CompareIgnoringCase(std::u16string_view a, std::u16string_view b);
