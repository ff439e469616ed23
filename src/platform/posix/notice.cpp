#include <cstdio>
#include <mutex>

#include "platform/os.h"

namespace {

std::mutex gNoticeLock;
os_NoticeHandler gHandler = nullptr;
void *gHandlerContext = nullptr;

int32_t defaultHandler(const os_Notice *notice, void *) {
  std::string title = os_Utf16ToUtf8(notice->title != nullptr ? notice->title : u"");
  std::string text = os_Utf16ToUtf8(notice->text != nullptr ? notice->text : u"");
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
  return os_DefaultNoticeAnswer(notice->style);
}

}  // namespace

int32_t os_DefaultNoticeAnswer(uint32_t style) {
  switch (style & 0x0F) {
    case os_NoticeOk: return os_AnswerOk;
    case os_NoticeAbortRetryIgnore: return os_AnswerAbort;
    case os_NoticeYesNo: return os_AnswerNo;
    default: return os_AnswerCancel;  // OK/Cancel, Yes/No/Cancel, Retry/Cancel
  }
}

os_NoticeHandler os_SetNoticeHandler(os_NoticeHandler handler, void *context, void **previous_context) {
  std::lock_guard<std::mutex> guard(gNoticeLock);
  os_NoticeHandler previous = gHandler;
  if (previous_context != nullptr) *previous_context = gHandlerContext;
  gHandler = handler;
  gHandlerContext = context;
  return previous;
}

int32_t os_ShowNotice(HWND owner, const char16_t *text, const char16_t *title, uint32_t style) {
  os_NoticeHandler handler;
  void *context;
  {
    std::lock_guard<std::mutex> guard(gNoticeLock);
    handler = gHandler != nullptr ? gHandler : defaultHandler;
    context = gHandlerContext;
  }
  os_Notice notice{owner, text, title, style};
  return handler(&notice, context);
}
