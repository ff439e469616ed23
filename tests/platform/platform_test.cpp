#include <gtest/gtest.h>
#include <signal.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/os.h"
#include "platform/os_memory_probe.h"
#include "support/test_support.h"

using vgmtest::TempFolder;
using vgmtest::u16;

namespace {
// Whether a call succeeded, with the error it left: both checked in one line.
template <typename T> std::pair<bool, os_Error> outcome(T result) { return {bool(result), os_LastError()}; }
std::pair<bool, os_Error> refused(os_Error error) { return {false, error}; }
}  // namespace

TEST(Files, WriteReadSeekSizeAndFailedWrites) {
  TempFolder folder;
  std::u16string path = folder.file16("data.bin");
  os_File *file = os_FileOpen(path.c_str(), os_AccessRead | os_AccessWrite, os_ShareNone, os_Disposition::createNew);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(os_FileWrite(file, "hello world", 11));
  EXPECT_EQ(os_FileSize(file), 11);
  int64_t position = -1;
  ASSERT_TRUE(os_FileSeek(file, 6, os_SeekFrom::begin, &position));
  EXPECT_EQ(position, 6);
  char buffer[16] = {};
  size_t done = 0;
  ASSERT_TRUE(os_FileRead(file, buffer, sizeof buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "world");
  ASSERT_TRUE(os_FileSeek(file, 5, os_SeekFrom::begin, nullptr));
  ASSERT_TRUE(os_FileTruncateHere(file));
  // The injected failure hits the second write only; the data around it stays.
  os_InjectFault(os_FaultKind::fileWrite, 2);
  EXPECT_TRUE(os_FileWrite(file, "one", 3));
  EXPECT_EQ(outcome(os_FileWrite(file, "two", 3)), refused(os_Error::injected));
  EXPECT_TRUE(os_FileWrite(file, "3", 1));
  os_FileClose(file);
  EXPECT_EQ(vgmtest::readFile(folder.file("data.bin")), "helloone3");

  // createNew refuses an existing file; openExisting refuses a missing one.
  EXPECT_EQ(outcome(os_FileOpen(path.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createNew)),
            refused(os_Error::alreadyExists));
  std::u16string missing = folder.file16("missing.bin");
  EXPECT_EQ(outcome(os_FileOpen(missing.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting)),
            refused(os_Error::notFound));
}

TEST(Files, ShareModes) {
  TempFolder folder;
  std::u16string path = folder.file16("log.txt");
  auto open = [&](unsigned access, unsigned share) {
    return os_FileOpen(path.c_str(), access, share, os_Disposition::openAlways);
  };
  os_File *owner = open(os_AccessWrite, os_ShareNone);
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(outcome(open(os_AccessWrite, os_ShareNone)), refused(os_Error::sharingViolation));
  EXPECT_EQ(open(os_AccessRead, os_ShareRead), nullptr);
  os_FileClose(owner);
  // Shared readers do not exclude each other, but do exclude a writer.
  os_File *reader1 = open(os_AccessRead, os_ShareRead), *reader2 = open(os_AccessRead, os_ShareRead);
  EXPECT_TRUE(reader1 != nullptr && reader2 != nullptr);
  EXPECT_EQ(open(os_AccessWrite, os_ShareNone), nullptr);
  for (os_File *reader : {reader1, reader2}) os_FileClose(reader);
  os_File *again = open(os_AccessWrite, os_ShareNone);
  EXPECT_NE(again, nullptr);
  os_FileClose(again);
}

TEST(Files, PathLimitsAndBadArguments) {
  TempFolder folder;
  std::u16string base = folder.path16() + u"/", longest = base + std::u16string(os_MaxPath - 1 - base.size(), u'a');
  std::u16string tooLong = longest + u"b";
  os_File *file = os_FileOpen(longest.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways);
  // 259 units fit (the name itself may exceed the file system's own limit).
  EXPECT_TRUE(file != nullptr || os_LastError() != os_Error::pathTooLong);
  os_FileClose(file);
  EXPECT_EQ(outcome(os_FileOpen(tooLong.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways)),
            refused(os_Error::pathTooLong));
  EXPECT_EQ(outcome(os_FileOpen(nullptr, os_AccessRead, os_ShareRead, os_Disposition::openExisting)),
            refused(os_Error::invalidArgument));
  EXPECT_EQ(os_FileOpen(folder.path16().c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting), nullptr);
  EXPECT_TRUE(!os_FileWrite(nullptr, "x", 1) && os_FileSize(nullptr) == -1);
}

// Later looks in a thread may take another road than the first (and a forked
// child another again): every one must give the same answers.
TEST(Files, HeaderLookAnswersAlikeEveryTime) {
  TempFolder folder;
  vgmtest::writeFile(folder.file("long.bin"), std::string(31, 'a') + "bcdefgh");
  vgmtest::writeFile(folder.file("short.bin"), "xyz");
  std::u16string longFile = folder.file16("long.bin"), shortFile = folder.file16("short.bin");
  std::u16string missing = folder.file16("missing.bin"), self = folder.path16();
  auto looks = [&] {
    char head[32] = {};
    size_t done = 99;
    bool ok = os_FileReadHead(longFile.c_str(), head, sizeof head, &done) == 1 && done == 32 && head[31] == 'b';
    ok = ok && os_FileReadHead(shortFile.c_str(), head, sizeof head, &done) == 1 && done == 3 && head[2] == 'z';
    ok = ok && os_FileReadHead(missing.c_str(), head, sizeof head, &done) == 0 && done == 0 &&
         os_LastError() == os_Error::notFound;
    ok = ok && os_FileReadHead(self.c_str(), head, sizeof head, &done) == 0 && os_LastError() == os_Error::accessDenied;
    ok = ok && os_FileReadHead(nullptr, head, sizeof head, &done) == 0 && os_LastError() == os_Error::invalidArgument;
    os_InjectFault(os_FaultKind::fileOpen, 1);
    return ok && os_FileReadHead(longFile.c_str(), head, sizeof head, &done) == 0 &&
           os_LastError() == os_Error::injected;
  };
  for (int round = 0; round < 3; ++round) EXPECT_TRUE(looks()) << "round " << round;
#if !defined(_WIN32)
  pid_t child = fork();
  if (child == 0) _exit(looks() && looks() ? 0 : 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(looks());
#endif
}

TEST(Files, MoveDeleteAndFolders) {
  TempFolder folder;
  vgmtest::writeFile(folder.file("a.txt"), "A");
  vgmtest::writeFile(folder.file("b.txt"), "B");
  std::u16string a = folder.file16("a.txt"), b = folder.file16("b.txt"), c = folder.file16("c.txt");
  EXPECT_EQ(outcome(os_FileMove(a.c_str(), b.c_str(), false)), refused(os_Error::alreadyExists));
  ASSERT_TRUE(os_FileMove(a.c_str(), c.c_str(), false));
  EXPECT_FALSE(os_FileExists(a.c_str()));
  ASSERT_TRUE(os_FileMove(c.c_str(), b.c_str(), true));
  EXPECT_EQ(vgmtest::readFile(folder.file("b.txt")), "A");
  os_InjectFault(os_FaultKind::fileMove, 1);
  EXPECT_EQ(outcome(os_FileMove(b.c_str(), c.c_str(), true)), refused(os_Error::injected));
  EXPECT_TRUE(os_FileExists(b.c_str()));

  std::u16string sub = folder.file16("sub");
  ASSERT_TRUE(os_FolderCreate(sub.c_str()));
  EXPECT_TRUE(os_FolderCreate(sub.c_str()));  // exists already: fine
  EXPECT_FALSE(os_FileExists(sub.c_str()));
  ASSERT_TRUE(os_FileDelete(b.c_str()));
  EXPECT_FALSE(os_FileDelete(b.c_str()));
  EXPECT_TRUE(os_FolderDelete(sub.c_str()) && !os_FolderExists(sub.c_str()));
}

TEST(Files, FolderWalkWithPatternsGivesNamesThatOpen) {
  TempFolder folder;
  // Names are UTF-16 on Windows: a non-ASCII one there, bytes that are not UTF-8 elsewhere.
  const char *oddName = os_PathSeparator == u'\\' ? "flt_\xC3\xA9.dll" : "flt_\xE9\xFF.dll";
  for (const char *name : {"flt_PNG.dll", "flt_JPEG.DLL", "readme.txt", "flt_x.dll.bak", oddName})
    vgmtest::writeFile(folder.file(name), name);
  ASSERT_TRUE(os_FolderCreate(folder.file16("flt_dir.dll").c_str()));
  std::set<std::u16string> seen;
  auto visit = [](const char16_t *name, bool isFolder, void *context) {
    static_cast<std::set<std::u16string> *>(context)->insert(name + std::u16string(isFolder ? u"/" : u""));
    return true;
  };
  ASSERT_TRUE(os_FolderWalk(folder.path16().c_str(), u"flt_*.dll", visit, &seen));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen.count(u"flt_PNG.dll") + seen.count(u"flt_JPEG.DLL") + seen.count(u"flt_dir.dll/"), 3u);
  // An odd name comes back as a path that opens that very file.
  std::u16string odd = folder.path16() + u"/" + *seen.rbegin();
  os_File *file = os_FileOpen(odd.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  ASSERT_NE(file, nullptr);
  char content[16] = {};
  size_t done = 0;
  EXPECT_TRUE(os_FileRead(file, content, sizeof content, &done));
  os_FileClose(file);
  EXPECT_EQ(std::string(content, done), oddName);
  EXPECT_FALSE(os_FolderWalk(folder.file16("nope").c_str(), u"*", visit, &seen));
}

TEST(Files, NamePatterns) {
  const std::tuple<const char16_t *, const char16_t *, bool> cases[] = {
      {u"_vgm_sesstmp_0000abcd", u"_vgm_sesstmp_????????", true}, {u"_vgm_sesstmp_0000abc", u"_vgm_sesstmp_????????", false},
      {u"ABC", u"a*c", true}, {u"", u"*", true}, {u"abc", u"", false}, {u"aXbXc", u"*b*c", true}};
  for (auto [name, pattern, matches] : cases) EXPECT_EQ(os_NameMatches(name, pattern), matches) << vgmtest::u8(pattern);
  // A pathological pattern must finish quickly (no exponential backtracking).
  std::u16string name(2000, u'a');
  EXPECT_FALSE(os_NameMatches(name, u"*a*a*a*a*a*a*a*a*a*b"));
}

TEST(Text, Utf8RoundTripAndRepair) {
  std::u16string text = u"K\u00e4se \u20ac \U0001F600";
  EXPECT_EQ(os_Utf8ToUtf16(os_Utf16ToUtf8(text)), text);
  EXPECT_EQ(os_Utf16ToUtf8(u"\u00e4"), "\xc3\xa4");
  // Broken input becomes replacement characters, never a crash.
  for (auto [broken, repaired] : {std::pair{"a\xc3", u"a\uFFFD"}, {"\xe2\x82", u"\uFFFD\uFFFD"}, {"\xc0\xaf", u"\uFFFD\uFFFD"}})
    EXPECT_EQ(os_Utf8ToUtf16(broken), repaired);  // the last one an overlong '/'
  std::u16string lone{static_cast<char16_t>(0xD800), u'x', static_cast<char16_t>(0xDCFF)};
  EXPECT_EQ(os_Utf16ToUtf8(lone), "\xef\xbf\xbdx\xef\xbf\xbd");
}

TEST(GlobalMemory, BlocksKnowTheirSizeAndValidity) {
  HGLOBAL zeroed = GlobalAlloc(GMEM_ZEROINIT, 100), empty = GlobalAlloc(0, 0);
  ASSERT_TRUE(zeroed != nullptr && empty != nullptr && empty != zeroed);
  EXPECT_EQ(std::tuple(GlobalSize(zeroed), GlobalFlags(empty)), std::tuple(100u, 0u));
#ifndef _WIN32  // the system's heap rounds an empty block up to its own minimum
  EXPECT_EQ(GlobalSize(empty), 0u);
#endif
  auto *bytes = static_cast<unsigned char *>(GlobalLock(zeroed));
  ASSERT_EQ(bytes, zeroed);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_TRUE(GlobalFree(zeroed) == nullptr && GlobalFree(empty) == nullptr);
  // A second free of the same handle, a foreign pointer and null are refused, not a crash.
#ifdef _WIN32  // a freed fixed block is plain heap memory to the system: tests/win32 checks a freed moveable handle
  for (HGLOBAL bad : {HGLOBAL{}}) {
#else
  int local = 0;
  for (HGLOBAL bad : {zeroed, static_cast<HGLOBAL>(&local), HGLOBAL{}}) {
#endif
    EXPECT_EQ(std::tuple(GlobalFlags(bad), GlobalSize(bad), GlobalFree(bad)),
              std::tuple(UINT{GMEM_INVALID_HANDLE}, SIZE_T{0}, bad));
    os_GlobalRelease(bad);  // checks first: harmless
  }
}

TEST(GlobalMemory, FailedAllocations) {
  os_InjectFault(os_FaultKind::allocation, 2);
  HGLOBAL first = GlobalAlloc(0, 8), second = GlobalAlloc(0, 8);
  EXPECT_EQ(os_LastError(), os_Error::outOfMemory);
  HGLOBAL third = GlobalAlloc(0, 8);
  EXPECT_TRUE(first != nullptr && second == nullptr && third != nullptr);
  os_GlobalRelease(first), os_GlobalRelease(third);
  EXPECT_EQ(outcome(GlobalAlloc(0, SIZE_MAX - 4)), refused(os_Error::outOfMemory));
}

// Code of the program and of a shared library is executable; data, stack,
// heap and unmapped addresses are not.
TEST(Memory, ExecutableAddresses) {
  static const char constant[] = "data";
  static int global = 0;
  int local = 0;
  auto heap = std::make_unique<int>(0);
  EXPECT_TRUE(os_IsExecutable(reinterpret_cast<const void *>(&os_PageSize)));
  EXPECT_TRUE(os_IsExecutable(reinterpret_cast<const void *>(&std::fclose)));  // the C library's
  for (const void *data : {static_cast<const void *>(constant), static_cast<const void *>(&global),
                           static_cast<const void *>(&local), static_cast<const void *>(heap.get()), static_cast<const void *>(nullptr)})
    EXPECT_FALSE(os_IsExecutable(data)) << data;
  unsigned char *page = vgmtest::pagesAllocate(os_PageSize());
  ASSERT_NE(page, nullptr);
  vgmtest::pagesFree(page, os_PageSize());
  EXPECT_FALSE(os_IsExecutable(page));
}

TEST(Threads, StartWaitCloseAndAliveChecks) {
  static std::atomic<bool> release{false};
  static std::atomic<uint32_t> childId{0};
  os_Thread *thread = os_ThreadStart(
      [](void *) {
        childId = os_ThreadId();
        while (!release.load()) os_Sleep(1);
      },
      nullptr, 256 * 1024);
  ASSERT_NE(thread, nullptr);
  while (childId.load() == 0) os_Sleep(1);
  EXPECT_NE(childId.load(), os_ThreadId());
  EXPECT_TRUE(os_ThreadIsAlive(childId.load()));
  EXPECT_FALSE(os_ThreadWait(thread, 20) || os_ThreadHasEnded(thread));
  release = true;
  EXPECT_TRUE(os_ThreadWait(thread, 5000));
  os_ThreadClose(thread);
  EXPECT_FALSE(os_ThreadIsAlive(0));
  EXPECT_TRUE(os_ProcessIsAlive(os_ProcessId()));
  // No process has these numbers (kill() would read the last two as groups).
  for (uint32_t none : {0u, 0x7FFFFFF0u, 0x80000001u, 0xFFFFFFFFu}) EXPECT_FALSE(os_ProcessIsAlive(none)) << none;
}

TEST(Time, ClocksAdvanceAndUtcIsPlausible) {
  uint32_t tick = os_TickCount();
  uint64_t counter = os_HighResCounter();
  os_Sleep(5);
  EXPECT_GE(os_TickCount() - tick, 4u);
  EXPECT_GE(os_HighResCounter() - counter, os_HighResFrequency() / 250);
  // Between 2020-01-01 and 2100-01-01 in 100-ns units since 1601.
  const uint64_t now = os_UtcNow100ns();
  EXPECT_TRUE(now > 132223104000000000ull && now < 157469184000000000ull) << now;
}

TEST(Notices, ReplaceableHandlerAndSafeDefaultAnswers) {
  static std::string seen;
  auto record = [](const os_Notice *notice, void *) -> int32_t {
    seen = vgmtest::u8(notice->title) + "|" + vgmtest::u8(notice->text) + "|" + std::to_string(notice->style);
    return os_AnswerRetry;
  };
  void *oldContext = nullptr;
  os_NoticeHandler old = os_SetNoticeHandler(record, nullptr, &oldContext);
  EXPECT_EQ(os_ShowNotice(nullptr, u"text", u"title", os_NoticeRetryCancel), os_AnswerRetry);
  os_SetNoticeHandler(old, oldContext, nullptr);
  EXPECT_EQ(seen, "title|text|5");
  const std::pair<uint32_t, int32_t> answers[] = {{os_NoticeOk | os_NoticeIconWarning, os_AnswerOk}, {os_NoticeOkCancel, os_AnswerCancel},
      {os_NoticeYesNo, os_AnswerNo}, {os_NoticeYesNoCancel, os_AnswerCancel}, {os_NoticeAbortRetryIgnore, os_AnswerAbort}};
  for (auto [style, answer] : answers) EXPECT_EQ(os_DefaultNoticeAnswer(style), answer) << style;
}

TEST(Folders, EnvironmentRedirectsKnownFolders) {
  vgmtest::TempFolder folder;
  {
    vgmtest::ScopedEnv appData("VGM_APPDATA_DIR", folder.file("appdata") + "/");
    vgmtest::ScopedEnv content("VGM_CONTENT_DIR", folder.file("content"));
    const std::string tempName = folder.file(os_PathSeparator == u'\\' ? "temp\xC3\xA9" : "temp\xFF");
    vgmtest::ScopedEnv temp("VGM_TEMP_DIR", tempName);
    EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::commonAppData), vgmtest::u16(folder.file("appdata")));
    EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::publicDocuments), vgmtest::u16(folder.file("content")));
    std::u16string temp16 = os_GetKnownFolder(os_KnownFolder::temp);
    ASSERT_TRUE(os_FolderCreate(temp16.c_str()));
#ifdef _WIN32
    EXPECT_TRUE(os_FolderExists(vgmtest::u16(tempName).c_str()));
#else
    EXPECT_TRUE(std::filesystem::is_directory(tempName));
#endif
  }
#ifndef _WIN32  // Windows has no XDG defaults, and the install path is a registry value there
  vgmtest::ScopedEnv home("HOME", folder.path()), noXdg("XDG_DATA_HOME", ""), noOverride("VGM_APPDATA_DIR", "");
  EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::commonAppData), vgmtest::u16(folder.path() + "/.local/share"));
  vgmtest::ScopedEnv install("ORVINEPHOTO_PATH", "/opt/suite");
  EXPECT_EQ(os_InstallPathSetting(), u"/opt/suite");
#endif
}

namespace {

// The null access must reach the processor, not the sanitizer's checks.
__attribute__((noinline, no_sanitize_undefined, no_sanitize_address)) void readNull() {
  volatile int *null = nullptr;
  asm volatile("" : "+r"(null));  // hide the constant so the access really happens
  (void)*null;
}

void *protectedPage() {
  static unsigned char *page = [] {
    unsigned char *at = vgmtest::pagesAllocate(vgmtest::pageSize());
    return at != nullptr && vgmtest::pagesProtect(at, vgmtest::pageSize(), vgmtest::PageAccess::none) ? at : nullptr;
  }();
  return page;
}

}  // namespace

TEST(FaultGuard, FaultsBecomeFailuresAndTheGuardWorksOn) {
  int value = 0;
  EXPECT_TRUE(os_Guard([&] { value = 42; }) && value == 42);
  EXPECT_FALSE(os_Guard([] { readNull(); }));
  ASSERT_NE(protectedPage(), nullptr);
  EXPECT_FALSE(os_Guard([] { *static_cast<volatile char *>(protectedPage()) = 1; }));
  EXPECT_FALSE(os_Guard([] { readNull(); }));
  EXPECT_TRUE(os_Guard([&] { value = 1; }) && value == 1);
}

#ifndef _WIN32  // Windows threads have no signal masks
// After a fault the thread has the mask it had: the signal not left blocked, no other let through.
TEST(FaultGuard, AFaultLeavesTheSignalMaskAsItWas) {
  sigset_t extra, before, after;
  sigemptyset(&extra), sigaddset(&extra, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &extra, &before);
  EXPECT_FALSE(os_Guard([] { readNull(); }));
  pthread_sigmask(SIG_SETMASK, &before, &after);
  EXPECT_TRUE(sigismember(&after, SIGUSR2) && !sigismember(&after, SIGSEGV));
}
#endif

TEST(FaultGuard, NestedGuardsCatchAtTheInnermost) {
  bool innerResult = true, afterInner = false;
  EXPECT_TRUE(os_Guard([&] {
    innerResult = os_Guard([] { readNull(); });
    afterInner = true;
  }));
  EXPECT_TRUE(!innerResult && afterInner);

  // A fault after an inner guard has finished is caught by the outer one.
  bool innerOk = false;
  EXPECT_FALSE(os_Guard([&] {
    innerOk = os_Guard([] {});
    readNull();
  }));
  EXPECT_TRUE(innerOk);
}

TEST(FaultGuard, ThreadsHaveTheirOwnGuards) {
  std::atomic<int> caught{0}, completed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if ((i + t) % 2 == 0 && !os_Guard([] { readNull(); })) ++caught;
        if ((i + t) % 2 == 1 && os_Guard([] {})) ++completed;
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(std::pair(caught.load(), completed.load()), std::pair(200, 200));
}

TEST(FaultGuardDeathTest, FaultOutsideAGuardStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(os_Guard([] {}));  // handlers installed
  EXPECT_DEATH(readNull(), "");
  // A sent signal too, not only a real fault.
  EXPECT_DEATH(::raise(SIGSEGV), "");
  // Released, the host's previous handlers are back; the next guard reinstalls.
  os_FaultGuardRelease();
  EXPECT_DEATH(readNull(), "");
  EXPECT_FALSE(os_Guard([] { readNull(); }));
}
