#include "hostenv/error_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "hostenv/folders.h"
#include "platform/os.h"

namespace {

std::mutex gPathLock;
std::u16string gLogPath;

constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;
// Reading a runaway log whole gains nothing: only its last lines survive.
constexpr int64_t kMaxReadBytes = 4 * 1024 * 1024;

bool isTrimmedSpace(char16_t c) {
  return c == u' ' || c == u'\f' || c == u'\v' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(int64_t days, int *year, unsigned *month, unsigned *day) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  unsigned shifted = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  *month = shifted < 10 ? shifted + 3 : shifted - 9;
  *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

int32_t showInstead(const std::u16string &line) {
  std::u16string text = line;
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
  os_ShowNotice(nullptr, text.c_str(), u"Error", kLogNoticeStyle);
  return -1;
}

bool resolveLogPath(std::u16string *path) {
  std::lock_guard<std::mutex> guard(gPathLock);
  if (gLogPath.empty() || !os_FileExists(gLogPath.c_str())) {
    char16_t folder[os_MaxPath];
    if (!env_GetAppDataFolder(folder)) return false;
    std::u16string made = folder;
    if (!os_IsPathSeparator(made.back())) made += os_PathSeparator;
    made += kLogFileName;
    if (made.size() >= os_MaxPath) return false;
    gLogPath = made;
  }
  *path = gLogPath;
  return true;
}

// Keeps the log bounded: once its text and the new line pass the limit,
// whole lines go from the front until the limit for the kept part is met.
void trimLog(os_File *file, size_t line_length) {
  int64_t size = os_FileSize(file);
  if (size <= static_cast<int64_t>(kLogTrimAbove)) return;
  // The size already tells the character count; reading a text that will
  // not be trimmed would only keep the file locked longer.
  if (static_cast<uint64_t>(size) / 2 + line_length <= kLogTrimAbove) return;
  int64_t from = size > kMaxReadBytes ? (size - kMaxReadBytes) & ~int64_t{1} : 0;
  std::vector<char> bytes(static_cast<size_t>(size - from));
  size_t done = 0;
  std::u16string text;
  if (os_FileSeek(file, from, os_SeekFrom::begin, nullptr) && os_FileRead(file, bytes.data(), bytes.size(), &done)) {
    text.resize(done / 2);
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
  }
  if (text.size() + line_length <= kLogTrimAbove) return;
  size_t start = 0;
  while (text.size() - start + line_length > kLogTrimTo) {
    size_t feed = text.find(u'\n', start);
    if (feed == std::u16string::npos) break;
    start = feed + 1;
  }
  std::u16string kept = text.substr(start);
  if (!kept.empty() && kept.back() != u'\n') kept += u"\r\n";
  bool rewritten = os_FileSeek(file, 0, os_SeekFrom::begin, nullptr) &&
                   os_FileWrite(file, kept.data(), kept.size() * sizeof(char16_t)) && os_FileTruncateHere(file);
  if (!rewritten) {
    // An empty log is better than a half-rewritten one.
    os_FileSeek(file, 0, os_SeekFrom::begin, nullptr);
    os_FileTruncateHere(file);
  }
}

}  // namespace

std::u16string log_CleanField(std::u16string_view text, char16_t bar) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (c == u'|') c = bar;
    if (c == u'\t' || c == u'\r' || c == u'\n') c = u' ';
    if (c == u' ' && !out.empty() && out.back() == u' ') continue;
    out += c;
  }
  size_t first = 0;
  while (first < out.size() && isTrimmedSpace(out[first])) ++first;
  size_t last = out.size();
  while (last > first && isTrimmedSpace(out[last - 1])) --last;
  return out.substr(first, last - first);
}

std::u16string log_FormatLine(uint64_t utc_100ns, std::u16string_view title, std::u16string_view message) {
  uint64_t unix100ns = utc_100ns > kUnixEpochIn100ns ? utc_100ns - kUnixEpochIn100ns : 0;
  uint64_t seconds = unix100ns / 10000000ull;
  unsigned millisecond = static_cast<unsigned>((unix100ns % 10000000ull) / 10000ull);
  int year = 1970;
  unsigned month = 1, day = 1;
  civilFromDays(static_cast<int64_t>(seconds / 86400), &year, &month, &day);
  unsigned secondOfDay = static_cast<unsigned>(seconds % 86400);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%.04hu-%.02hu-%.02hu %.02hu:%.02hu:%.02hu.%.03hu",
                static_cast<unsigned short>(year), static_cast<unsigned short>(month),
                static_cast<unsigned short>(day), static_cast<unsigned short>(secondOfDay / 3600),
                static_cast<unsigned short>(secondOfDay / 60 % 60), static_cast<unsigned short>(secondOfDay % 60),
                static_cast<unsigned short>(millisecond));
  std::u16string line = os_Utf8ToUtf16(stamp);
  line += u" | ";
  line += log_CleanField(title, u'/');
  line += u" | ";
  line += log_CleanField(message, u'\u00A6');
  constexpr std::u16string_view kEnd = u" \r\n";
  // An over-long entry loses its tail but keeps its line end.
  if (line.size() + kEnd.size() > kLogMaxLine) {
    size_t length = kLogMaxLine - kEnd.size();
    if (line[length - 1] >= 0xD800 && line[length - 1] <= 0xDBFF) --length;
    line.resize(length);
  }
  line += kEnd;
  return line;
}

int log_Error(const char16_t *title, const char16_t *message) {
  if (title == nullptr || message == nullptr || title[0] == 0 || message[0] == 0) return 0;
  std::u16string line = log_FormatLine(os_UtcNow100ns(), title, message);
  std::u16string path;
  if (!resolveLogPath(&path)) return showInstead(line);
  os_File *file = nullptr;
  // Each attempt keeps yielding and retrying for a few milliseconds: a writer
  // in another process holds the log only briefly but takes it again at
  // once, so twelve bare yields (or sleeps) would lose lines to it.
  uint64_t attemptLength = os_HighResFrequency() * kLogAttemptMilliseconds / 1000;
  for (int attempt = 0; attempt < kLogOpenAttempts && file == nullptr; ++attempt) {
    uint64_t until = os_HighResCounter() + attemptLength;
    for (;;) {
      file = os_FileOpen(path.c_str(), os_AccessRead | os_AccessWrite, os_ShareNone, os_Disposition::openAlways);
      if (file != nullptr || os_HighResCounter() >= until) break;
      os_Sleep(0);
    }
  }
  if (file == nullptr) return showInstead(line);
  trimLog(file, line.size());
  bool written = os_FileSeek(file, 0, os_SeekFrom::end, nullptr) &&
                 os_FileWrite(file, line.data(), line.size() * sizeof(char16_t));
  os_FileClose(file);
  return written ? 1 : 0;
}

void log_ResetForTests() {
  std::lock_guard<std::mutex> guard(gPathLock);
  gLogPath.clear();
}
