// Windows-side checks of the platform layer that the POSIX suites cannot
// make: share modes, separators, UTF-16 names, the system's global memory,
// the fault guard under the vectored handler, threads and PE imports.
#include <gtest/gtest.h>
#include <windows.h>

#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/os_memory_probe.h"

namespace {

std::u16string tempFolder(const char16_t *leaf) {
  wchar_t base[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, base);
  std::u16string folder(reinterpret_cast<char16_t *>(base), length);
  folder += leaf;
  os_FolderDeleteTree(folder.c_str());
  EXPECT_EQ(os_FolderCreate(folder.c_str()), 1);
  return folder;
}

// Whether a call succeeded, with the error it left: both checked in one line.
template <typename T> std::pair<bool, os_Error> outcome(T result) { return {bool(result), os_LastError()}; }
std::pair<bool, os_Error> refused(os_Error error) { return {false, error}; }

bool writeFile(const std::u16string &path, std::string_view bytes) {
  os_File *file = os_FileOpen(path.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways);
  bool ok = file != nullptr && os_FileWrite(file, bytes.data(), bytes.size());
  os_FileClose(file);
  return ok;
}

TEST(Win32Files, ShareModesSeparatorsAndPositions) {
  std::u16string folder = tempFolder(u"vgm_files_test");
  // Built with the platform separator, reached with the other one.
  EXPECT_EQ(os_PathSeparator, u'\\');
  std::u16string built = folder + os_PathSeparator + u"sub";
  ASSERT_EQ(os_FolderCreate(built.c_str()), 1);
  std::u16string slashed = folder + u"/sub/a.bin";
  ASSERT_TRUE(writeFile(slashed, "0123456789"));
  std::u16string backslashed = built + u"\\a.bin";
  EXPECT_EQ(os_FileExists(backslashed.c_str()), 1);

  os_File *only = os_FileOpen(backslashed.c_str(), os_AccessRead, os_ShareNone, os_Disposition::openExisting);
  ASSERT_NE(only, nullptr);
  EXPECT_EQ(outcome(os_FileOpen(slashed.c_str(), os_AccessRead, os_ShareRead | os_ShareWrite, os_Disposition::openExisting)),
            refused(os_Error::sharingViolation));
  os_FileClose(only);

  os_File *reader = os_FileOpen(slashed.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  ASSERT_NE(reader, nullptr);
  // A read at an offset leaves the position where it was.
  char buffer[8] = {};
  size_t done = 0;
  uint64_t before = os_FileBytesReadTotal();
  ASSERT_EQ(os_FileRead(reader, buffer, 2, &done), 1);
  ASSERT_EQ(os_FileReadAt(reader, 7, buffer, 8, &done), 1);
  EXPECT_EQ(std::string(buffer, done), "789");
  ASSERT_EQ(os_FileRead(reader, buffer, 3, &done), 1);
  EXPECT_EQ(std::string(buffer, done), "234");
  EXPECT_EQ(os_FileBytesReadTotal() - before, 8u);
  int64_t position = 0;
  EXPECT_EQ(outcome(os_FileSeek(reader, -11, os_SeekFrom::end, &position)), refused(os_Error::invalidArgument));
  ASSERT_EQ(os_FileSeek(reader, -1, os_SeekFrom::end, &position), 1);
  EXPECT_EQ(position, 9);
  os_FileClose(reader);

  // A tree with read-only entries still goes.
  ASSERT_EQ(os_FileSetReadOnly(slashed.c_str(), true), 1);
  os_FileInfo info{};
  ASSERT_EQ(os_FileStat(slashed.c_str(), &info), 1);
  EXPECT_EQ(std::pair(info.readOnly, info.size), std::pair(true, uint64_t{10}));
  std::u16string copy = folder + u"\\copy.bin";
  ASSERT_TRUE(writeFile(copy, "keep"));
  EXPECT_EQ(outcome(os_FileCopy(slashed.c_str(), copy.c_str(), false)), refused(os_Error::alreadyExists));
  ASSERT_EQ(os_FileStat(copy.c_str(), &info), 1);
  EXPECT_EQ(info.size, 4u);
  EXPECT_EQ(outcome(os_FileMove(copy.c_str(), slashed.c_str(), false)), refused(os_Error::alreadyExists));
  EXPECT_EQ(outcome(os_FolderDelete(folder.c_str())), refused(os_Error::alreadyExists));
  EXPECT_EQ(os_FolderDeleteTree(folder.c_str()), 1);
  EXPECT_EQ(outcome(os_FolderExists(folder.c_str())), refused(os_Error::notFound));
  const std::u16string text = os_ErrorText(os_Error::notFound);
  EXPECT_TRUE(!text.empty() && text.find(u'\n') == std::u16string::npos);
}

TEST(Win32Files, NonAsciiNamesReachTheSystemUnchanged) {
  std::u16string folder = tempFolder(u"vgm_names_test");
  const char16_t leaf[] = u"Gr\u00FC\u00DFe_\u65E5\u672C_\U0001F600.txt";
  ASSERT_TRUE(writeFile(folder + u"\\" + leaf, "x"));
  // The system sees the same UTF-16 name, surrogate pair included.
  std::wstring wide = reinterpret_cast<const wchar_t *>(folder.c_str());
  wide += L"\\Gr\u00FC\u00DFe_\u65E5\u672C_\U0001F600.txt";
  EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
  std::vector<std::u16string> seen;
  auto visit = [](const char16_t *name, bool, void *context) {
    static_cast<std::vector<std::u16string> *>(context)->push_back(name);
    return true;
  };
  ASSERT_EQ(os_FolderWalk(folder.c_str(), u"gr*.TXT", visit, &seen), 1);
  EXPECT_EQ(seen, std::vector<std::u16string>{leaf});
  EXPECT_EQ(os_FolderDeleteTree(folder.c_str()), 1);
}

TEST(Win32Memory, SystemGlobalBlocks) {
  // Only a moveable handle is told apart once freed: the system's table
  // knows it; a freed fixed block is plain heap memory to some systems.
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 100);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GlobalFlags(block), 0u);
  EXPECT_GE(GlobalSize(block), 100u);
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(GlobalFlags(block), UINT{GMEM_INVALID_HANDLE});
  os_GlobalRelease(block);  // a second release of the same handle is refused, not a crash
  unsigned char wiped[16];
  for (unsigned char &b : wiped) b = 0xA5;
  os_SecureWipe(wiped, sizeof wiped);
  for (unsigned char b : wiped) EXPECT_EQ(b, 0);
  size_t page = os_PageSize();
  EXPECT_EQ(page & (page - 1), 0u);
}

void writeNull(void *) { *static_cast<volatile int *>(nullptr) = 1; }
void divideByZero(void *context) { *static_cast<volatile int *>(context) = 100 / *static_cast<volatile int *>(context); }

void guardedInThread(void *context) {
  auto *results = static_cast<int *>(context);
  results[0] = os_GuardedCall(writeNull, nullptr) ? 1 : 0;
  results[1] = os_GuardLastSignal();
  results[2] = os_GuardedCall([](void *) {}, nullptr) ? 1 : 0;
}

// Nesting and a guard per thread are the platform suite's; here the signals the vectored handler reports.
TEST(Win32FaultGuard, NullWriteDivisionAndInThreads) {
  EXPECT_FALSE(os_GuardedCall(writeNull, nullptr));
  EXPECT_EQ(os_GuardLastSignal(), SIGSEGV);
  volatile int zero = 0;
  EXPECT_FALSE(os_GuardedCall(divideByZero, const_cast<int *>(&zero)));
  EXPECT_EQ(os_GuardLastSignal(), SIGFPE);
  int results[3] = {-1, -1, -1};
  os_Thread *thread = os_ThreadStart(guardedInThread, results, 0);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(os_ThreadWait(thread, 10000));
  os_ThreadClose(thread);
  EXPECT_EQ(std::vector<int>(results, results + 3), (std::vector<int>{0, SIGSEGV, 1}));
  // Probing goes through the guard: unmapped memory is reported, not fatal.
  int local = 5;
  EXPECT_TRUE(os_ProbeBytes(&local, sizeof local, 1, true));
  EXPECT_FALSE(os_ProbeBytes(reinterpret_cast<void *>(uintptr_t{16}), 64, 16, false));
  os_FaultGuardRelease();
  EXPECT_FALSE(os_GuardedCall(writeNull, nullptr));  // installed again
}

void spin(void *context) {
  *static_cast<volatile uint32_t *>(context) = os_ThreadId();
  for (;;) Sleep(1);
}

TEST(Win32Threads, StuckThreadIsEndedAndClocksAgree) {
  volatile uint32_t id = 0;
  os_Thread *thread = os_ThreadStart(spin, const_cast<uint32_t *>(&id), 64 * 1024);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(os_ThreadWait(thread, 50) || os_ThreadHasEnded(thread));
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(os_ThreadIsAlive(id));
  os_ThreadClose(thread);  // terminated, not left running
  EXPECT_FALSE(os_ThreadIsAlive(id));
  // 1601 to 1970 is 11644473600 s; the two clocks agree within seconds.
  uint64_t seconds = os_UtcNow100ns() / 10000000u - 11644473600u;
  EXPECT_LE(static_cast<uint64_t>(std::llabs(static_cast<long long>(seconds) - std::time(nullptr))), 2u);
}

TEST(Win32Modules, ImportsAndOrigins) {
  std::u16string self = os_ExecutablePath();
  ASSERT_GT(self.size(), 4u);
  EXPECT_EQ(os_ModulePathOf(reinterpret_cast<const void *>(&writeNull)), self);
  std::vector<std::u16string> names;
  ASSERT_TRUE(os_ModuleNeededNames(self.c_str(), &names));
  bool kernel = false;
  for (std::u16string &name : names) {
    for (char16_t &c : name) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    kernel = kernel || name == u"KERNEL32.DLL";
  }
  EXPECT_TRUE(kernel);
  // Cut short, the same file no longer reads as an object.
  std::string head(4096, '\0');
  os_File *file = os_FileOpen(self.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  size_t done = 0;
  ASSERT_EQ(os_FileRead(file, head.data(), head.size(), &done), 1);
  os_FileClose(file);
  EXPECT_TRUE(!os_ModuleNeededNamesOfImage(head.data(), head.size(), &names) && names.empty());
  EXPECT_FALSE(os_ModuleNeededNamesOfImage("MZ not a module", 15, &names));

  EXPECT_TRUE(os_ModuleLoadedWithProgram(reinterpret_cast<const void *>(&writeNull)));
  // Neither an import of the program nor a forwarder into one (msimg32's
  // GradientFill is gdi32's code, loaded with the program).
  os_Module *later = os_ModuleLoad(u"C:/windows/system32/dbghelp.dll");
  ASSERT_NE(later, nullptr);
  void *symbol = os_ModuleSymbol(later, "SymInitialize");
  ASSERT_NE(symbol, nullptr);
  EXPECT_FALSE(os_ModuleLoadedWithProgram(symbol));
  EXPECT_TRUE(os_IsExecutable(symbol));
  os_ModuleFree(later);
  EXPECT_EQ(outcome(os_ModuleLoad(u"C:\\no\\such\\module.dll")), refused(os_Error::notFound));
}

}  // namespace
