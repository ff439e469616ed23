#include <gtest/gtest.h>
#ifndef _WIN32
#  include <dlfcn.h>
#  include <signal.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <atomic>
#include <cstring>
#include <tuple>
#include <vector>

#include "frame/module.h"
#include "frame/request_options.h"
#include "raster/thread_state.h"
#include "support/test_support.h"
#include "vgm/vgm_common.h"

namespace {

void anchor() {}

// Each test starts and ends detached.
class ModuleLifecycle : public ::testing::Test {
 protected:
  void TearDown() override { while (frame_AttachCount() > 0) frame_ProcessDetach(false); }
  static const void *instance() { return reinterpret_cast<const void *>(&anchor); }
};

int32_t VGM_API progress(int32_t, int32_t, uintptr_t) { return 1; }

CmioRequest filledRequest() {
  CmioRequest request{};
  request.owner_window = reinterpret_cast<HWND>(0x55), request.time_limit_ms = 1234, request.frame_composition = 7;
  request.thumb_max_width = 100, request.thumb_max_height = 300, request.options_text = reinterpret_cast<const WCHAR *>(u"quality=90\n");
  request.progress = progress, request.progress_user = 99, request.want_markup = 1;
  request.scale = 0.5, request.apply_scale = 1;
  request.handled = 3;  // on saves this byte is the frame-composition option
  return request;
}

}  // namespace

// Every detach stops the raster engine, even one that leaves the module
// attached; the next use restarts it.
TEST_F(ModuleLifecycle, NestedAttachSharesOneInitialisationAndDetachesStopTheEngine) {
  auto counters = [] { return std::tuple{frame_AttachCount(), frame_RegistryCount(), frame_BackgroundCount()}; };
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  EXPECT_NE(rx_GetBlendTable(rx_TableOverlay), nullptr);
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  EXPECT_EQ(counters(), std::tuple(2, 1, 1));  // registries and threads shared, not created twice
  frame_ProcessDetach(false);                   // the first of two detaches keeps everything
  EXPECT_EQ(counters(), std::tuple(1, 1, 1));
  EXPECT_EQ(rx_GetBlendTable(rx_TableOverlay), nullptr);
  EXPECT_TRUE(rx_GetThreadState() != nullptr && rx_GetBlendTable(rx_TableOverlay) != nullptr);
  frame_ProcessDetach(false);
  EXPECT_EQ(rx_GetBlendTable(rx_TableOverlay), nullptr);
  frame_ProcessDetach(false);  // an unbalanced detach must not go negative
  EXPECT_EQ(counters(), std::tuple(0, 0, 0));

  ASSERT_TRUE(frame_ProcessAttach(instance()));
  std::u16string folder = frame_ModuleFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(os_FolderExists(folder.c_str()) && frame_PluginFolder() == folder + os_PathSeparator + u"Plugins");
  // An address outside any module cannot name a folder: attach refuses.
  EXPECT_FALSE(frame_ProcessAttach(reinterpret_cast<const void *>(16)));
}

TEST_F(ModuleLifecycle, LastDetachStopsTheThirtyTwoBackgroundThreads) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  std::atomic<int> finished{0};
  auto worker = [](void *context) {
    while (!frame_BackgroundStopRequested()) os_Sleep(1);
    static_cast<std::atomic<int> *>(context)->fetch_add(1);
  };
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(frame_AddBackgroundThread(os_ThreadStart(worker, &finished, 0))) << i;
  os_Thread *extra = os_ThreadStart([](void *) {}, nullptr, 0);
  EXPECT_FALSE(frame_AddBackgroundThread(extra));  // the table is full
  EXPECT_TRUE(os_ThreadWait(extra, 5000));
  os_ThreadClose(extra);

  frame_ProcessDetach(false);
  os_Sleep(20);
  EXPECT_EQ(finished.load(), 0);  // still attached once: nobody asked them to stop
  frame_ProcessDetach(false);
  EXPECT_EQ(finished.load(), 32);  // detach waited for all of them
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  EXPECT_FALSE(frame_BackgroundStopRequested());  // a fresh attach clears the request
}

TEST_F(ModuleLifecycle, NotifyZeroStopsTheHousekeepingThread) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  // Eight threads holding engine slots at once start the housekeeping thread.
  static std::atomic<int> ready{0};
  static std::atomic<bool> release{false};
  auto holdSlot = [](void *) {
    rx_GetThreadState();
    ready.fetch_add(1);
    while (!release.load()) os_Sleep(1);
  };
  std::vector<os_Thread *> threads;
  for (int i = 0; i < 8; ++i) threads.push_back(os_ThreadStart(holdSlot, nullptr, 0));
  while (ready.load() < 8) os_Sleep(1);
  rx_GetThreadState();  // the ninth user sees eight occupied slots
  EXPECT_EQ(rx_GetHousekeepingStatus(), rx_HousekeepingStatus::running);
  EXPECT_EQ(core_Notify(0), 1);
  EXPECT_EQ(rx_GetHousekeepingStatus(), rx_HousekeepingStatus::absent);
  release = true;
  for (os_Thread *thread : threads) {
    EXPECT_TRUE(os_ThreadWait(thread, 5000));
    os_ThreadClose(thread);
  }
}

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// The loader's notifications drive attach and detach; the detach at process
// exit (reserved non-null) does nothing, as threads were ended unasked.
TEST_F(ModuleLifecycle, DllMainAttachesAndDetachesButNotAtProcessExit) {
  const auto module = reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr));
  ASSERT_TRUE(DllMain(module, DLL_PROCESS_ATTACH, nullptr) && DllMain(module, DLL_PROCESS_ATTACH, nullptr));
  EXPECT_TRUE(DllMain(module, DLL_THREAD_ATTACH, nullptr) && DllMain(module, DLL_THREAD_DETACH, nullptr));
  EXPECT_EQ(frame_AttachCount(), 2);
  EXPECT_TRUE(DllMain(module, DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1)));
  EXPECT_EQ(std::tuple(frame_AttachCount(), frame_RegistryCount()), std::tuple(2, 1));
  DllMain(module, DLL_PROCESS_DETACH, nullptr), DllMain(module, DLL_PROCESS_DETACH, nullptr);
  EXPECT_EQ(std::tuple(frame_AttachCount(), frame_RegistryCount()), std::tuple(0, 0));
  EXPECT_FALSE(DllMain(reinterpret_cast<HINSTANCE>(16), DLL_PROCESS_ATTACH, nullptr));  // no module there
}
#else
volatile sig_atomic_t gHostCaught = 0;
void hostHandler(int) { gHostCaught = gHostCaught + 1; }

// While the library is loaded a fault outside any guard is passed on to the
// host's own handler; after the unload that handler is back in place. POSIX
// only: signal handlers chain, vectored exception handlers do not replace.
TEST(ModuleUnload, HostFaultHandlerOutlivesTheLibrary) {
#ifdef __i386__
  // qemu-i386 keeps one descriptor table for all threads: a handler that
  // returns reloads %gs with the TLS of the last thread started, dead by now
  // if an earlier test started threads. ctest runs each test on its own.
  const testing::UnitTest &run = *testing::UnitTest::GetInstance();
  int started = 0;
  for (int i = 0; i < run.total_test_suite_count(); ++i)
    for (int j = 0; j < run.GetTestSuite(i)->total_test_count(); ++j)
      started += run.GetTestSuite(i)->GetTestInfo(j)->result()->start_timestamp() != 0;
  if (started > 1) GTEST_SKIP() << "needs a process of its own under qemu-i386";
#endif
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct sigaction host {};
    host.sa_handler = hostHandler;
    ::sigaction(SIGSEGV, &host, nullptr);
    void *library = ::dlopen(VGM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    auto sysInfo = reinterpret_cast<decltype(&core_GetSysInfoStr)>(::dlsym(library, "core_GetSysInfoStr"));
    char16_t text[4096];
    if (library == nullptr || sysInfo == nullptr || sysInfo(text, 4096) != 1) ::_exit(4);
    struct sigaction current {};
    ::sigaction(SIGSEGV, nullptr, &current);
    if (current.sa_handler == hostHandler) ::_exit(5);  // the guard's handler must be in place now
    ::raise(SIGSEGV);
    if (::dlclose(library) != 0) ::_exit(6);
    ::raise(SIGSEGV);
    ::_exit(gHostCaught == 2 ? 0 : 7);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

#endif

// A program linked against the library ends with the detach left undone: a
// probe run after every library was finalised still finds the library's
// fault handler, which a detach that did its work would have taken back. On
// Windows the program loads, attaches and ends cleanly (DllMain above).
TEST(ModuleUnload, ExitOfALinkedProgramDoesNoDetachWork) {
  const vgmtest::ProgramResult run = vgmtest::runProgram(VGM_LINKED_HOST, {});
  EXPECT_EQ(run.exitCode, 0);
#ifdef _WIN32
  EXPECT_EQ(run.output, "summary 1\r\n");  // its output is in text mode
#else
  EXPECT_EQ(run.output, "summary 1, probe 1\nkept\n");
#endif
}

TEST(RequestOptions, LoadThumbnailAndSaveOptionsFromTheCaller) {
  CmioRequest request = filledRequest();
  LoadSaveOptions options;
  std::memset(&options, 0xAB, sizeof options);
  frame_LoadOptions(&request, &options);
  EXPECT_EQ(std::tuple(options.ownerWindow, options.optionsText, options.progress, options.markupOut),
            std::tuple(request.owner_window, reinterpret_cast<const char16_t *>(request.options_text), &progress, &request.markup));
  EXPECT_EQ(options.timeLimitMs + options.frameComposition + options.progressUser, 1234u + 7 + 99);
  // Scale, thumbnail sizes and everything else stay with the export.
  EXPECT_EQ(options.quiet + options.wantedWidth + options.fitInside + options.preview + options.noMarkup +
                options.handled + options.message[0],
            0);
  request.want_markup = 0, request.owner_window = nullptr;
  frame_LoadOptions(&request, &options);
  EXPECT_TRUE(options.markupOut == nullptr && options.quiet);

  // Thumbnails are quiet previews.
  request = filledRequest();
  HGLOBAL markup = nullptr;
  frame_ThumbOptions(&request, &markup, &options);
  EXPECT_TRUE(options.quiet && options.preview && options.noMarkup && options.extra && options.fitInside);
  EXPECT_TRUE(options.ownerWindow == nullptr && options.progress == nullptr && options.markupOut == &markup);
  EXPECT_EQ(options.frameComposition, 7);
  // Below 256 doubled, 256 and above as asked.
  EXPECT_EQ(std::pair(options.wantedWidth, options.wantedHeight), std::pair(200, 300));
  // The accepted time limits: 1001 to 3599999 ms.
  const std::pair<uint32_t, uint32_t> limits[] = {{0, 300000},       {1000, 300000},    {1001, 1001},
                                                  {3599999, 3599999}, {3600000, 300000}, {UINT32_MAX, 300000}};
  for (auto [given, expected] : limits) {
    request.time_limit_ms = given;
    frame_ThumbOptions(&request, &markup, &options);
    EXPECT_EQ(options.timeLimitMs, expected) << given;
  }
  request.thumb_max_width = 255, request.thumb_max_height = 256;
  frame_ThumbOptions(&request, &markup, &options);
  EXPECT_EQ(std::pair(options.wantedWidth, options.wantedHeight), std::pair(510, 256));
  // Without both sizes there is no hint.
  request.thumb_max_height = 0;
  frame_ThumbOptions(&request, &markup, &options);
  EXPECT_EQ(options.wantedWidth + options.wantedHeight + options.fitInside, 0);

  // Saves take the markup's presence and the composition byte.
  request = filledRequest();
  frame_SaveOptions(&request, &options);
  EXPECT_EQ(std::tuple(options.timeLimitMs, int(options.frameComposition), options.ownerWindow, options.progressUser),
            std::tuple(300000u, 3, request.owner_window, 99u));
  int block = 0;
  const std::tuple<HGLOBAL, uint32_t, bool> cases[] = {{nullptr, 4, true}, {&block, 0, true}, {&block, 4, false}};
  for (auto [markup, size, none] : cases) {
    request.markup = markup, request.markup_size = size;
    frame_SaveOptions(&request, &options);
    EXPECT_EQ(options.noMarkup != 0, none) << size;
  }
}
