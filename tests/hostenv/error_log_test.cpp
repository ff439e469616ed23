#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <vector>

#include "hostenv_fixture.h"
#include "platform/os.h"

using vgmtest::u16;
using vgmtest::u8;

namespace {

// Records the notices shown while it lives, one "title|style|text" each.
struct ScriptedNotices {
  static inline std::vector<std::string> seen;
  os_NoticeHandler previous;
  void *previousContext = nullptr;
  ScriptedNotices() {
    seen.clear();
    auto record = [](const os_Notice *notice, void *) -> int32_t {
      seen.push_back(u8(notice->title) + "|" + std::to_string(notice->style) + "|" + u8(notice->text));
      return os_AnswerOk;
    };
    previous = os_SetNoticeHandler(record, nullptr, &previousContext);
  }
  ~ScriptedNotices() { os_SetNoticeHandler(previous, previousContext, nullptr); }
};

std::string toBytes(const std::u16string &text) { return std::string(reinterpret_cast<const char *>(text.data()), text.size() * 2); }
std::u16string fromBytes(const std::string &b) { return std::u16string(reinterpret_cast<const char16_t *>(b.data()), b.size() / 2); }

// Lines of the log, each without its CR LF; false when a line lacks it.
bool splitLines(const std::u16string &text, std::vector<std::u16string> *lines) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u"\r\n", start);
    if (end == std::u16string::npos) return false;
    lines->push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return true;
}

const std::regex kLineShape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \| ([^|]*) \| ([^|]*) )");

class ErrorLogTest : public HostEnvTest {
 protected:
  std::string logFile() const { return appData() + "/suite_error.log"; }
  std::u16string readLog() const { return fromBytes(vgmtest::readFile(logFile())); }
  // A log of `bytes` bytes made of numbered 97-character lines; the last
  // one is usually cut short.
  std::u16string makeLog(size_t bytes) {
    std::u16string text;
    for (int number = 0; text.size() * 2 < bytes; ++number) {
      std::string head = "2020-01-01 00:00:00.000 | old | " + std::to_string(100000 + number);
      text += u16(head + std::string(94 - head.size(), '.')) + u" \r\n";
    }
    text.resize(bytes / 2);
    fs::create_directories(appData());
    vgmtest::writeFile(logFile(), toBytes(text));
    return text;
  }
};

TEST_F(ErrorLogTest, LineFormatAndCleaning) {
  EXPECT_EQ(log_Error(nullptr, u"message") + log_Error(u"title", u"") + log_Error(u"", u"message"), 0);
  EXPECT_FALSE(fs::exists(logFile()));

  ASSERT_EQ(log_Error(u" Load | Save\t", u"bad | value\r\nsecond\tline   end\n\f"), 1);
  ASSERT_EQ(log_Error(u"Second", u"entry"), 1);
  std::string bytes = vgmtest::readFile(logFile());
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_NE(bytes.substr(0, 2), std::string("\xFF\xFE"));  // no byte-order mark
  std::vector<std::u16string> lines;
  ASSERT_TRUE(splitLines(fromBytes(bytes), &lines));
  ASSERT_EQ(lines.size(), 2u);
  std::smatch match;
  std::string first = u8(lines[0]);
  ASSERT_TRUE(std::regex_match(first, match, kLineShape)) << first;
  EXPECT_EQ(match[1].str(), "Load / Save");
  EXPECT_EQ(u16(match[2].str()), u"bad \u00A6 value second line end");
  EXPECT_TRUE(u8(lines[1]).find(" | Second | entry ") != std::string::npos);

  // The time stamp is the UTC time given, to the millisecond.
  uint64_t stamp = 116444736000000000ull + 1709211909ull * 10000000ull + 1234567ull;
  EXPECT_EQ(log_FormatLine(stamp, u"T", u"M"), u"2024-02-29 13:05:09.123 | T | M \r\n");
  EXPECT_EQ(log_CleanField(u"\v a\f\fb  \t c \f", u'/'), u"a\f\fb c");

  // An over-long entry is cut to the line limit and keeps its line end.
  std::u16string longLine = log_FormatLine(stamp, u"T", std::u16string(5000, u'x'));
  EXPECT_EQ(longLine.size(), kLogMaxLine);
  EXPECT_EQ(longLine.substr(longLine.size() - 3), u" \r\n");
}

TEST_F(ErrorLogTest, LargeLogsAreTrimmedAtLineBoundaries) {
  std::u16string old = makeLog(70000);
  ASSERT_EQ(log_Error(u"Trim", u"newest"), 1);
  std::u16string text = readLog();
  EXPECT_LE(text.size(), kLogTrimTo);
  EXPECT_GT(text.size(), kLogTrimTo - 200);  // no more than needed went
  std::vector<std::u16string> lines;
  ASSERT_TRUE(splitLines(text, &lines));
  EXPECT_NE(u8(lines.back()).find(" | Trim | newest "), std::string::npos);
  // What is kept is a whole-line tail of the old log (its cut last line
  // closed with CR LF).
  std::u16string kept = text.substr(0, text.size() - (lines.back().size() + 2));
  std::u16string oldTail = old.substr(old.size() - (kept.size() - 2));
  EXPECT_TRUE(kept == oldTail + u"\r\n");
  EXPECT_EQ(old[old.size() - oldTail.size() - 1], u'\n');

  // Between 32768 and 65536 bytes the text is read but nothing goes.
  old = makeLog(40000);
  ASSERT_EQ(log_Error(u"Keep", u"all"), 1);
  text = readLog();
  EXPECT_TRUE(text.substr(0, old.size()) == old);
  EXPECT_EQ(text.substr(old.size() + 23), u" | Keep | all \r\n");

  // When every old line has to go, the new line stands alone: no empty line before it.
  vgmtest::writeFile(logFile(), toBytes(std::u16string(33000, u'x') + u"\r\n"));
  ASSERT_EQ(log_Error(u"Alone", u"line"), 1);
  EXPECT_EQ(readLog().substr(23), u" | Alone | line \r\n");
}

TEST_F(ErrorLogTest, FailedWritesNeverLeaveAHalfLog) {
  makeLog(70000);
  os_InjectFault(os_FaultKind::fileWrite, 1);  // the rewrite of the kept part
  EXPECT_EQ(log_Error(u"Rewrite", u"failed"), 1);
  const std::u16string after = readLog();
  std::vector<std::u16string> lines;
  ASSERT_TRUE(splitLines(after, &lines));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(u8(lines[0]).find(" | Rewrite | failed ") != std::string::npos);

  os_InjectFault(os_FaultKind::fileWrite, 1);  // the append itself
  EXPECT_EQ(log_Error(u"Append", u"failed"), 0);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_TRUE(readLog() == after);
}

TEST_F(ErrorLogTest, LockedLogFallsBackToAMessageBox) {
  ASSERT_EQ(log_Error(u"First", u"entry"), 1);
  std::string before = vgmtest::readFile(logFile());
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready) | ::pipe(release), 0);
  pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {  // another process holds the log for as long as the test wants
    ::close(release[1]);
    int fd = ::open(logFile().c_str(), O_RDWR);
    char byte = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'L' : 'F';
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'L');
  {
    ScriptedNotices notices;
    EXPECT_EQ(log_Error(u"Locked", u"while held"), -1);
    ASSERT_EQ(notices.seen.size(), 1u);
    EXPECT_EQ(notices.seen[0].substr(0, 13) + notices.seen[0].substr(36), "Error|274432| | Locked | while held ");
  }
  EXPECT_EQ(vgmtest::readFile(logFile()), before);
  (void)!::write(release[1], "x", 1);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(log_Error(u"Released", u"again"), 1);

  // No folder for the log at all: the same fallback.
  vgmtest::writeFile(root_.file("plain"), "file");
  vgmtest::ScopedEnv nowhere("VGM_APPDATA_DIR", root_.file("plain/sub"));
  resetAll();
  ScriptedNotices notices;
  EXPECT_EQ(log_Error(u"Nowhere", u"to write"), -1);
  EXPECT_EQ(notices.seen.size(), 1u);
}

TEST_F(ErrorLogTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kLines = 500;
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  pid_t writers[2];
  for (int k = 0; k < 2; ++k) {
    writers[k] = ::fork();
    ASSERT_GE(writers[k], 0);
    if (writers[k] == 0) {
      char byte;
      (void)!::read(start[0], &byte, 1);  // until the parent lets both go
      int failures = 0;
      std::u16string title = k == 0 ? u"writer A" : u"writer B";
      for (int i = 0; i < kLines; ++i) {
        std::u16string message = u"entry " + u16(std::to_string(i));
        if (log_Error(title.c_str(), message.c_str()) != 1) ++failures;
      }
      ::_exit(failures > 255 ? 255 : failures);
    }
  }
  (void)!::write(start[1], "xx", 2);  // both start now
  for (pid_t writer : writers) {
    int status = -1;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::vector<std::u16string> lines;
  ASSERT_TRUE(splitLines(readLog(), &lines));
  // Trimming drops old lines from the front only: what is left of each
  // writer is an unbroken run that ends with its last entry.
  int next[2] = {-1, -1};
  for (const std::u16string &line : lines) {
    std::smatch match;
    std::string text = u8(line);
    ASSERT_TRUE(std::regex_match(text, match, kLineShape)) << text;
    int k = match[1].str() == "writer A" ? 0 : match[1].str() == "writer B" ? 1 : -1;
    ASSERT_GE(k, 0) << text;
    int number = std::stoi(match[2].str().substr(6));
    EXPECT_TRUE(next[k] < 0 || number == next[k]) << text;
    next[k] = number + 1;
  }
  EXPECT_TRUE(next[0] == kLines && next[1] == kLines) << next[0] << " " << next[1];
  EXPECT_GT(lines.size(), 400u);
}

}  // namespace
