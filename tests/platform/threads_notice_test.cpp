#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "platform/os.h"
#include "support/test_support.h"

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
  EXPECT_FALSE(os_ThreadWait(thread, 20));
  EXPECT_FALSE(os_ThreadHasEnded(thread));
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
    vgmtest::ScopedEnv temp("VGM_TEMP_DIR", folder.file("temp\xFF"));  // bytes that are not UTF-8 too
    EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::commonAppData), vgmtest::u16(folder.file("appdata")));
    EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::publicDocuments), vgmtest::u16(folder.file("content")));
    std::u16string temp16 = os_GetKnownFolder(os_KnownFolder::temp);
    ASSERT_TRUE(os_FolderCreate(temp16.c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(folder.file("temp\xFF")));
  }
  vgmtest::ScopedEnv home("HOME", folder.path());
  vgmtest::ScopedEnv noXdg("XDG_DATA_HOME", "");
  vgmtest::ScopedEnv noOverride("VGM_APPDATA_DIR", "");
  EXPECT_EQ(os_GetKnownFolder(os_KnownFolder::commonAppData), vgmtest::u16(folder.path() + "/.local/share"));
  vgmtest::ScopedEnv install("ORVINEPHOTO_PATH", "/opt/suite");
  EXPECT_EQ(os_InstallPathSetting(), u"/opt/suite");
}
