#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/os.h"
#include "support/test_support.h"

TEST(Threads, StartWaitAndClose) {
  std::atomic<bool> release{false};
  std::atomic<uint32_t> childId{0};
  struct Context {
    std::atomic<bool> *release;
    std::atomic<uint32_t> *id;
  } context{&release, &childId};
  os_Thread *thread = os_ThreadStart(
      [](void *raw) {
        auto *ctx = static_cast<Context *>(raw);
        ctx->id->store(os_ThreadId());
        while (!ctx->release->load()) os_Sleep(1);
      },
      &context, 256 * 1024);
  ASSERT_NE(thread, nullptr);
  while (childId.load() == 0) os_Sleep(1);
  EXPECT_NE(childId.load(), os_ThreadId());
  EXPECT_TRUE(os_ThreadIsAlive(childId.load()));
  EXPECT_FALSE(os_ThreadWait(thread, 20));
  EXPECT_FALSE(os_ThreadHasEnded(thread));
  release = true;
  EXPECT_TRUE(os_ThreadWait(thread, 5000));
  os_ThreadClose(thread);
  EXPECT_FALSE(os_ThreadIsAlive(0));
  EXPECT_TRUE(os_ThreadIsAlive(os_ThreadId()));
}

TEST(Threads, ProcessAliveCheck) {
  EXPECT_TRUE(os_ProcessIsAlive(os_ProcessId()));
  EXPECT_FALSE(os_ProcessIsAlive(0));
  EXPECT_FALSE(os_ProcessIsAlive(0x7FFFFFF0u));
}

TEST(Time, ClocksAdvanceAndUtcIsPlausible) {
  uint32_t tick = os_TickCount();
  uint64_t counter = os_HighResCounter();
  os_Sleep(5);
  EXPECT_GE(os_TickCount() - tick, 4u);
  EXPECT_GT(os_HighResCounter(), counter);
  EXPECT_EQ(os_HighResFrequency(), 1000000000u);
  // 2020-01-01 and 2100-01-01 in 100-ns units since 1601.
  EXPECT_GT(os_UtcNow100ns(), 132223104000000000ull);
  EXPECT_LT(os_UtcNow100ns(), 157469184000000000ull);
}

namespace {
struct Recorded {
  std::vector<std::string> texts;
  std::vector<uint32_t> styles;
};
int32_t recordNotice(const os_Notice *notice, void *context) {
  auto *recorded = static_cast<Recorded *>(context);
  recorded->texts.push_back(vgmtest::u8(notice->title) + "|" + vgmtest::u8(notice->text));
  recorded->styles.push_back(notice->style);
  return os_AnswerRetry;
}
}  // namespace

TEST(Notices, ReplaceableHandlerAndDefaultAnswers) {
  Recorded recorded;
  void *oldContext = nullptr;
  os_NoticeHandler old = os_SetNoticeHandler(recordNotice, &recorded, &oldContext);
  EXPECT_EQ(os_ShowNotice(nullptr, u"text", u"title", os_NoticeRetryCancel), os_AnswerRetry);
  os_SetNoticeHandler(old, oldContext, nullptr);
  ASSERT_EQ(recorded.texts.size(), 1u);
  EXPECT_EQ(recorded.texts[0], "title|text");
  EXPECT_EQ(recorded.styles[0], static_cast<uint32_t>(os_NoticeRetryCancel));

  EXPECT_EQ(os_DefaultNoticeAnswer(os_NoticeOk | os_NoticeIconWarning), os_AnswerOk);
  EXPECT_EQ(os_DefaultNoticeAnswer(os_NoticeOkCancel), os_AnswerCancel);
  EXPECT_EQ(os_DefaultNoticeAnswer(os_NoticeYesNo), os_AnswerNo);
  EXPECT_EQ(os_DefaultNoticeAnswer(os_NoticeYesNoCancel), os_AnswerCancel);
  EXPECT_EQ(os_DefaultNoticeAnswer(os_NoticeAbortRetryIgnore), os_AnswerAbort);
}

TEST(Folders, EnvironmentRedirectsKnownFolders) {
  vgmtest::TempFolder folder;
  {
    vgmtest::ScopedEnv appData("VGM_APPDATA_DIR", folder.file("appdata") + "/");
    vgmtest::ScopedEnv content("VGM_CONTENT_DIR", folder.file("content"));
    vgmtest::ScopedEnv temp("VGM_TEMP_DIR", folder.file("temp"));
    EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::commonAppData), vgmtest::u16(folder.file("appdata")));
    EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::publicDocuments), vgmtest::u16(folder.file("content")));
    EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::temp), vgmtest::u16(folder.file("temp")));
  }
  vgmtest::ScopedEnv home("HOME", folder.path());
  vgmtest::ScopedEnv noXdg("XDG_DATA_HOME", "");
  vgmtest::ScopedEnv noOverride("VGM_APPDATA_DIR", "");
  EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::commonAppData), vgmtest::u16(folder.path() + "/.local/share"));
  vgmtest::ScopedEnv install("ORVINEPHOTO_PATH", "/opt/suite");
  EXPECT_EQ(os_InstallPathSetting(), u"/opt/suite");
}

TEST(SystemFacts, CountsAndMemoryArePlausible) {
  uint32_t cores = 0, logical = 0;
  os_ProcessorCounts(&cores, &logical);
  EXPECT_GE(cores, 1u);
  EXPECT_GE(logical, cores);
  uint64_t total = 0, available = 0;
  ASSERT_TRUE(os_MemoryStatus(&total, &available));
  EXPECT_GT(total, 0u);
  EXPECT_LE(available, total);
  uint32_t regs[4] = {};
  ASSERT_TRUE(os_Cpuid(0, 0, regs));
  EXPECT_GE(regs[0], 1u);
  EXPECT_FALSE(os_SystemName().empty());
}
