#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/os.h"

namespace {

// The null access must reach the processor, not the sanitizer's checks.
__attribute__((noinline, no_sanitize_undefined, no_sanitize_address)) void readNull() {
  volatile int *null = nullptr;
  asm volatile("" : "+r"(null));  // hide the constant so the access really happens
  (void)*null;
}

void *protectedPage() {
  static void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return page;
}

}  // namespace

TEST(FaultGuard, FaultsBecomeFailuresAndTheGuardWorksOn) {
  int value = 0;
  EXPECT_TRUE(os_Guard([&] { value = 42; }));
  EXPECT_EQ(value, 42);
  EXPECT_FALSE(os_Guard([] { readNull(); }));
  ASSERT_NE(protectedPage(), MAP_FAILED);
  EXPECT_FALSE(os_Guard([] { *static_cast<volatile char *>(protectedPage()) = 1; }));
  EXPECT_FALSE(os_Guard([] { readNull(); }));
  EXPECT_TRUE(os_Guard([&] { value = 1; }));
  EXPECT_EQ(value, 1);
}

// After a fault the thread has the mask it had: the signal not left blocked, no other let through.
TEST(FaultGuard, AFaultLeavesTheSignalMaskAsItWas) {
  sigset_t extra, before, after;
  sigemptyset(&extra), sigaddset(&extra, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &extra, &before);
  EXPECT_FALSE(os_Guard([] { readNull(); }));
  pthread_sigmask(SIG_SETMASK, &before, &after);
  EXPECT_TRUE(sigismember(&after, SIGUSR2));
  EXPECT_FALSE(sigismember(&after, SIGSEGV));
}

TEST(FaultGuard, NestedGuardsCatchAtTheInnermost) {
  bool innerResult = true, afterInner = false;
  EXPECT_TRUE(os_Guard([&] {
    innerResult = os_Guard([] { readNull(); });
    afterInner = true;
  }));
  EXPECT_FALSE(innerResult);
  EXPECT_TRUE(afterInner);

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
  EXPECT_EQ(caught.load(), 200);
  EXPECT_EQ(completed.load(), 200);
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
