#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "frame/module.h"
#include "raster/thread_state.h"
#include "vgm/vgm_common.h"
#include "support/test_support.h"

namespace {

void anchor() {}

// Each test starts and ends detached.
class ModuleLifecycle : public ::testing::Test {
 protected:
  void TearDown() override {
    while (frame_AttachCount() > 0) frame_ProcessDetach(false);
  }
  static const void *instance() { return reinterpret_cast<const void *>(&anchor); }
};

}  // namespace

TEST_F(ModuleLifecycle, NestedAttachSharesOneInitialisation) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  EXPECT_EQ(frame_AttachCount(), 1);
  EXPECT_EQ(frame_RegistryCount(), 1);
  EXPECT_EQ(frame_BackgroundCount(), 1);

  ASSERT_TRUE(frame_ProcessAttach(instance()));
  EXPECT_EQ(frame_AttachCount(), 2);
  EXPECT_EQ(frame_RegistryCount(), 1);  // shared, not created twice
  EXPECT_EQ(frame_BackgroundCount(), 1);

  frame_ProcessDetach(false);  // the first of two detaches keeps everything
  EXPECT_EQ(frame_AttachCount(), 1);
  EXPECT_EQ(frame_RegistryCount(), 1);
  EXPECT_EQ(frame_BackgroundCount(), 1);

  frame_ProcessDetach(false);
  EXPECT_EQ(frame_AttachCount(), 0);
  EXPECT_EQ(frame_RegistryCount(), 0);
  EXPECT_EQ(frame_BackgroundCount(), 0);

  frame_ProcessDetach(false);  // an unbalanced detach must not go negative
  EXPECT_EQ(frame_AttachCount(), 0);
  EXPECT_EQ(frame_RegistryCount(), 0);
}

TEST_F(ModuleLifecycle, DetachAtProcessExitDoesNothing) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  frame_ProcessDetach(true);
  EXPECT_EQ(frame_AttachCount(), 1);
  EXPECT_EQ(frame_RegistryCount(), 1);
  EXPECT_EQ(frame_BackgroundCount(), 1);
  EXPECT_FALSE(frame_BackgroundStopRequested());
}

TEST_F(ModuleLifecycle, FoldersComeFromTheModulePath) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  std::u16string folder = frame_ModuleFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_FALSE(os_IsPathSeparator(folder.back()));
  EXPECT_TRUE(os_FolderExists(folder.c_str()));
  EXPECT_EQ(frame_PluginFolder(), folder + u"/Plugins");
  // An address outside any module cannot name a folder: attach refuses.
  EXPECT_FALSE(frame_ProcessAttach(reinterpret_cast<const void *>(16)));
}

TEST_F(ModuleLifecycle, LastDetachStopsBackgroundThreads) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  std::atomic<int> finished{0};
  auto worker = [](void *context) {
    while (!frame_BackgroundStopRequested()) os_Sleep(1);
    static_cast<std::atomic<int> *>(context)->fetch_add(1);
  };
  for (int i = 0; i < 3; ++i) {
    os_Thread *thread = os_ThreadStart(worker, &finished, 0);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(frame_AddBackgroundThread(thread));
  }
  frame_ProcessDetach(false);
  os_Sleep(20);
  EXPECT_EQ(finished.load(), 0);  // still attached once: nobody asked them to stop
  EXPECT_FALSE(frame_BackgroundStopRequested());

  frame_ProcessDetach(false);
  EXPECT_TRUE(frame_BackgroundStopRequested());
  EXPECT_EQ(finished.load(), 3);  // detach waited for all of them

  // A fresh attach clears the stop request.
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  EXPECT_FALSE(frame_BackgroundStopRequested());
}

TEST_F(ModuleLifecycle, ThreadTableHoldsThirtyTwo) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  auto worker = [](void *) {
    while (!frame_BackgroundStopRequested()) os_Sleep(1);
  };
  for (int i = 0; i < 32; ++i) {
    os_Thread *thread = os_ThreadStart(worker, nullptr, 0);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(frame_AddBackgroundThread(thread)) << i;
  }
  os_Thread *extra = os_ThreadStart([](void *) {}, nullptr, 0);
  ASSERT_NE(extra, nullptr);
  EXPECT_FALSE(frame_AddBackgroundThread(extra));
  EXPECT_TRUE(os_ThreadWait(extra, 5000));
  os_ThreadClose(extra);
  EXPECT_FALSE(frame_AddBackgroundThread(nullptr));
  frame_ProcessDetach(false);  // stops and reaps the 32
  EXPECT_EQ(frame_AttachCount(), 0);
}

TEST_F(ModuleLifecycle, AttachStartsTheRasterEngineAndEveryDetachStopsIt) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  EXPECT_NE(rx_GetBlendTable(rx_TableOverlay), nullptr);
  EXPECT_NE(rx_GetFeatureMask() & rx_HasSSE2, 0u);
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  frame_ProcessDetach(false);
  // Released even though the module stays attached; the next use restarts it.
  EXPECT_EQ(rx_GetBlendTable(rx_TableOverlay), nullptr);
  EXPECT_EQ(frame_AttachCount(), 1);
  EXPECT_NE(rx_GetThreadState(), nullptr);
  EXPECT_NE(rx_GetBlendTable(rx_TableOverlay), nullptr);
  frame_ProcessDetach(false);
  EXPECT_EQ(rx_GetBlendTable(rx_TableOverlay), nullptr);
}

TEST_F(ModuleLifecycle, NotifyZeroStopsTheHousekeepingThread) {
  ASSERT_TRUE(frame_ProcessAttach(instance()));
  // Eight threads holding engine slots at once start the housekeeping thread.
  std::atomic<int> ready{0};
  std::atomic<bool> release{false};
  struct Shared {
    std::atomic<int> *ready;
    std::atomic<bool> *release;
  } shared{&ready, &release};
  std::vector<os_Thread *> threads;
  for (int i = 0; i < 8; ++i) {
    threads.push_back(os_ThreadStart(
        [](void *raw) {
          auto *s = static_cast<Shared *>(raw);
          rx_GetThreadState();
          s->ready->fetch_add(1);
          while (!s->release->load()) os_Sleep(1);
        },
        &shared, 0));
    ASSERT_NE(threads.back(), nullptr);
  }
  while (ready.load() < 8) os_Sleep(1);
  rx_GetThreadState();  // the ninth user sees eight occupied slots
  EXPECT_EQ(rx_GetHousekeepingStatus(), rx_HousekeepingStatus::running);
  EXPECT_EQ(core_Notify(0), 1);
  EXPECT_EQ(rx_GetHousekeepingStatus(), rx_HousekeepingStatus::absent);
  EXPECT_EQ(core_Notify(7), 0);
  release = true;
  for (os_Thread *thread : threads) {
    EXPECT_TRUE(os_ThreadWait(thread, 5000));
    os_ThreadClose(thread);
  }
}
