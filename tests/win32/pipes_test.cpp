// The video bridge's pipe on Windows: transfers with time limits between
// two ends in this process, and against a stand-in server program.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"

namespace {

// Reads `size` bytes with `limit` ms; returns the time taken.
uint32_t timedRead(os_Pipe *pipe, void *data, size_t size, uint32_t limit, int *result, size_t *moved) {
  uint32_t start = os_TickCount();
  *result = os_PipeRead(pipe, data, size, limit, moved);
  return os_TickCount() - start;
}

TEST(Win32Pipes, PairTransfersWithinTheirLimits) {
  os_Pipe *a = nullptr, *b = nullptr;
  ASSERT_TRUE(os_PipeCreatePair(&a, &b));
  char buffer[8] = {};
  size_t moved = 99;
  int result = -1;
  // Nothing sent: the limit ends the read, nothing moved.
  EXPECT_GE(timedRead(b, buffer, 4, 200, &result, &moved), 180u);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(moved, 0u);
  // Part of what was asked for: the count says how much came.
  ASSERT_EQ(os_PipeWrite(a, "abc", 3, 1000, &moved), 1);
  EXPECT_EQ(moved, 3u);
  timedRead(b, buffer, 6, 100, &result, &moved);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(std::string(buffer, moved), "abc");
  // Far more than the pipe holds at once, read while it is written.
  std::vector<char> sent(1 << 20), got(1 << 20);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + (i >> 9));
  int wrote = 0;
  std::thread writer([&] { wrote = os_PipeWrite(a, sent.data(), sent.size(), 10000, nullptr); });
  EXPECT_EQ(os_PipeRead(b, got.data(), got.size(), 10000, &moved), 1);
  writer.join();
  EXPECT_EQ(wrote, 1);
  EXPECT_TRUE(sent == got);
  // A shut end fails the peer's read at once instead of at its limit.
  os_PipeShutdown(a);
  EXPECT_LT(timedRead(b, buffer, 1, 5000, &result, &moved), 4000u);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(os_PipeWrite(a, "x", 1, 100, &moved), 0);
  os_PipeClose(a);
  os_PipeClose(b);
}

TEST(Win32Pipes, StandInServerIsAcceptedOnlyFromItsProcess) {
  std::u16string self = os_ExecutablePath();
  std::u16string server = self.substr(0, self.find_last_of(u"\\/") + 1) + u"vgm_fake_pipe_server.exe";
  ASSERT_EQ(os_FileExists(server.c_str()), 1);
  std::u16string name = u"vgm_test_" + os_Utf8ToUtf16(std::to_string(os_ProcessId()));
  std::u16string full = u"\\\\.\\pipe\\" + name;
  os_Pipe *pipe = os_PipeCreate(full.c_str());
  ASSERT_NE(pipe, nullptr);
  EXPECT_EQ(os_PipeCreate(full.c_str()), nullptr);  // the first instance holds the name
  std::u16string command_line = u"  \"" + name + u"\"";

  // A peer from another process than the one named is turned away.
  os_Process *stranger = os_ProcessStart(server.c_str(), command_line.c_str());
  ASSERT_NE(stranger, nullptr);
  EXPECT_EQ(os_PipeAccept(pipe, 1000, os_ProcessId()), 0);
  // It did connect and was dropped: it ends well before its own retries would.
  uint32_t start = os_TickCount();
  while (os_ProcessIsRunning(stranger) && os_TickCount() - start < 3000) os_Sleep(20);
  EXPECT_FALSE(os_ProcessIsRunning(stranger));
  os_ProcessClose(stranger);

  os_Process *process = os_ProcessStart(server.c_str(), command_line.c_str());
  ASSERT_NE(process, nullptr);
  EXPECT_NE(os_ProcessIdOf(process), os_ProcessId());
  ASSERT_EQ(os_PipeAccept(pipe, 5000, os_ProcessIdOf(process)), 1);
  uint32_t size = 5;
  ASSERT_EQ(os_PipeWrite(pipe, &size, 4, 5000, nullptr), 1);
  ASSERT_EQ(os_PipeWrite(pipe, "hello", 5, 5000, nullptr), 1);
  char answer[16] = {};
  size_t moved = 0;
  int result = -1;
  timedRead(pipe, answer, 12, 500, &result, &moved);
  EXPECT_EQ(result, 0);  // the server sends 8 bytes and waits
  EXPECT_EQ(std::string(answer, moved), "ollehend");
  // Shutting our end lets the waiting server see the pipe closed and end.
  os_PipeShutdown(pipe);
  start = os_TickCount();
  while (os_ProcessIsRunning(process) && os_TickCount() - start < 5000) os_Sleep(20);
  EXPECT_FALSE(os_ProcessIsRunning(process));
  os_ProcessClose(process);
  os_PipeClose(pipe);
  EXPECT_EQ(os_ProcessStart(u"C:\\no\\such\\program.exe", u""), nullptr);
}

}  // namespace
