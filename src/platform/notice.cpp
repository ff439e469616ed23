// The notice handler every platform shares: one handler at a time, the
// platform's own notice while none is installed.
#include <mutex>

#include "platform/os.h"
#include "platform/system_notice.h"

namespace {

std::mutex gNoticeLock;
// One handler at a time: the library's own (tests) or, where the host
// shows the notices (not on Windows), the host's, which sees the public
// record.
os_NoticeHandler gHandler = nullptr;
#if !defined(_WIN32)
VgmNoticeHandler gHostHandler = nullptr;
#endif
void *gHandlerContext = nullptr;

int32_t systemHandler(const os_Notice *notice, void *) { return os_SystemNotice(notice); }

int32_t show(const os_Notice &notice) {
  os_NoticeHandler handler;
  void *context;
#if defined(_WIN32)
  {
    std::lock_guard<std::mutex> guard(gNoticeLock);
    handler = gHandler != nullptr ? gHandler : systemHandler;
    context = gHandlerContext;
  }
  return handler(&notice, context);
#else
  VgmNoticeHandler host;
  {
    std::lock_guard<std::mutex> guard(gNoticeLock);
    handler = gHandler != nullptr || gHostHandler != nullptr ? gHandler : systemHandler;
    host = gHostHandler;
    context = gHandlerContext;
  }
  if (handler != nullptr) return handler(&notice, context);
  VgmNotice copy{notice.owner, notice.text,   notice.title,
                 notice.style, notice.kind,   notice.buffer,
                 static_cast<UINT>(notice.capacity), notice.password ? TRUE : FALSE};
  return host(&copy, context);
#endif
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
  if (previous_context != nullptr) *previous_context = previous != nullptr ? gHandlerContext : nullptr;
  gHandler = handler;
#if !defined(_WIN32)
  gHostHandler = nullptr;
#endif
  gHandlerContext = context;
  return previous;
}

#if !defined(_WIN32)
VgmNoticeHandler core_SetNoticeHandler(VgmNoticeHandler handler, void *context) {
  std::lock_guard<std::mutex> guard(gNoticeLock);
  VgmNoticeHandler previous = gHostHandler;
  gHandler = nullptr;
  gHostHandler = handler;
  gHandlerContext = context;
  return previous;
}
#endif

int32_t os_ShowNotice(HWND owner, const char16_t *text, const char16_t *title, uint32_t style) {
  return show(os_Notice{owner, text, title, style, os_NoticeMessage, nullptr, 0, false});
}

int32_t os_ShowTextInput(HWND owner, const char16_t *title, const char16_t *message, char16_t *buffer,
                         size_t capacity, bool password) {
  if (buffer == nullptr || capacity == 0) return 0;
  if (show(os_Notice{owner, message, title, 0, os_NoticeTextInput, buffer, capacity, password}) != 1) return 0;
  buffer[capacity - 1] = 0;
  return 1;
}
