#include <string.h>

#include <cstdio>
#include <mutex>

#include "platform/os.h"

namespace {

std::mutex gNoticeLock;
// One handler at a time: the library's own (tests) or the host's, which
// sees the public record.
os_NoticeHandler gHandler = nullptr;
VgmNoticeHandler gHostHandler = nullptr;
void *gHandlerContext = nullptr;

int32_t defaultHandler(const os_Notice *notice, void *) {
  std::string title = os_Utf16ToUtf8(notice->title != nullptr ? notice->title : u"");
  std::string text = os_Utf16ToUtf8(notice->text != nullptr ? notice->text : u"");
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
  return notice->kind == os_NoticeTextInput ? 0 : os_DefaultNoticeAnswer(notice->style);
}

int32_t show(const os_Notice &notice) {
  os_NoticeHandler handler;
  VgmNoticeHandler host;
  void *context;
  {
    std::lock_guard<std::mutex> guard(gNoticeLock);
    handler = gHandler != nullptr || gHostHandler != nullptr ? gHandler : defaultHandler;
    host = gHostHandler;
    context = gHandlerContext;
  }
  if (handler != nullptr) return handler(&notice, context);
  VgmNotice copy{notice.owner, notice.text,   notice.title,
                 notice.style, notice.kind,   notice.buffer,
                 static_cast<UINT>(notice.capacity), notice.password ? TRUE : FALSE};
  return host(&copy, context);
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
  gHostHandler = nullptr;
  gHandlerContext = context;
  return previous;
}

VgmNoticeHandler core_SetNoticeHandler(VgmNoticeHandler handler, void *context) {
  std::lock_guard<std::mutex> guard(gNoticeLock);
  VgmNoticeHandler previous = gHostHandler;
  gHandler = nullptr;
  gHostHandler = handler;
  gHandlerContext = context;
  return previous;
}

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

void os_SecureWipe(void *data, size_t size) {
  if (data != nullptr) explicit_bzero(data, size);
}
