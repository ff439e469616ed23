// The suite's shared error log "suite_error.log": one UTF-16LE line per
// failure that has no caller to report to, bounded in size, written by every
// process of the suite in turn through an unshared open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr const char16_t *kLogFileName = u"suite_error.log";
inline constexpr size_t kLogTrimAbove = 32768;  // bytes to start reading, characters to start trimming
inline constexpr size_t kLogTrimTo = 24576;     // characters kept, the new line included
inline constexpr size_t kLogMaxLine = 2048;     // characters of one line, CR LF included
inline constexpr int kLogOpenAttempts = 12;
inline constexpr uint64_t kLogAttemptMilliseconds = 5;  // retried with yields within one attempt
inline constexpr uint32_t kLogNoticeStyle = 0x43000;  // top-most, task-modal, system-modal

// Appends "time | title | message \r\n". 1 when appended, 0 for a missing or
// empty argument or a failed write, -1 when the line went to a message box
// because the log could not be opened.
int log_Error(const char16_t *title, const char16_t *message);

// Field cleaning: `bar` replaces '|', TAB/CR/LF become spaces, runs of spaces
// collapse and white space at both ends goes.
std::u16string log_CleanField(std::u16string_view text, char16_t bar);
// The complete line for a UTC time in 100-ns units since 1601.
std::u16string log_FormatLine(uint64_t utc_100ns, std::u16string_view title, std::u16string_view message);

// Forgets the cached log path.
void log_ResetForTests();
