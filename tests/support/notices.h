// Records the notices shown while it lives, one "title|style|text" each, with
// their owners, and gives `answer`. Only for programs that link the platform layer.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"
#include "support/test_support.h"

namespace vgmtest {

struct ScriptedNotices {
  std::vector<std::string> seen;
  std::vector<HWND> owners;
  int32_t answer = os_AnswerOk;
  os_NoticeHandler previous;
  void *previousContext = nullptr;
  ScriptedNotices() { previous = os_SetNoticeHandler(record, this, &previousContext); }
  ~ScriptedNotices() { os_SetNoticeHandler(previous, previousContext, nullptr); }
  static int32_t record(const os_Notice *notice, void *context) {
    auto *self = static_cast<ScriptedNotices *>(context);
    self->seen.push_back(u8(notice->title) + "|" + std::to_string(notice->style) + "|" + u8(notice->text));
    self->owners.push_back(notice->owner);
    return self->answer;
  }
};

}  // namespace vgmtest
