#include <string.h>

#include <cstdio>

#include "platform/os.h"
#include "platform/system_notice.h"

// No desktop to show it on: the notice goes to standard error and gets the
// safe answer.
int32_t os_SystemNotice(const os_Notice *notice) {
  std::string title = os_Utf16ToUtf8(notice->title != nullptr ? notice->title : u"");
  std::string text = os_Utf16ToUtf8(notice->text != nullptr ? notice->text : u"");
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
  return notice->kind == os_NoticeTextInput ? 0 : os_DefaultNoticeAnswer(notice->style);
}

void os_SecureWipe(void *data, size_t size) {
  if (data != nullptr) explicit_bzero(data, size);
}
