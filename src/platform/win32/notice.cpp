// Notices on Windows: the system's message box, and the suite's text input
// dialog built in memory and run modally on the caller's thread.
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/dialog_template.h"
#include "platform/os.h"
#include "platform/system_notice.h"
#include "platform/win32/win_support.h"

namespace {

const wchar_t *wide(const char16_t *text) { return os_W(text != nullptr ? text : u""); }

struct TextInput {
  const os_Notice *notice;
  wchar_t mask;  // the edit box's masking character when the dialog opened
};

INT_PTR CALLBACK textInputProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      auto *input = reinterpret_cast<TextInput *>(lparam);
      HWND edit = GetDlgItem(dialog, os_DialogIdEdit);
      input->mask = static_cast<wchar_t>(SendMessageW(edit, EM_GETPASSWORDCHAR, 0, 0));
      SetFocus(edit);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      auto *input = reinterpret_cast<TextInput *>(GetWindowLongPtrW(dialog, DWLP_USER));
      if (input == nullptr) return FALSE;
      switch (LOWORD(wparam)) {
        case os_DialogIdOk: {
          const os_Notice *notice = input->notice;
          int capacity = notice->capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(notice->capacity);
          GetDlgItemTextW(dialog, os_DialogIdEdit, reinterpret_cast<wchar_t *>(notice->buffer), capacity);
          EndDialog(dialog, 1);
          return TRUE;
        }
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
        case os_DialogIdShowPassword:
          if (HIWORD(wparam) == BN_CLICKED) {
            HWND edit = GetDlgItem(dialog, os_DialogIdEdit);
            bool show = IsDlgButtonChecked(dialog, os_DialogIdShowPassword) == BST_CHECKED;
            SendMessageW(edit, EM_SETPASSWORDCHAR, show ? 0 : input->mask, 0);
            InvalidateRect(edit, nullptr, TRUE);
            return TRUE;
          }
          return FALSE;
        default: return FALSE;
      }
    }
    case WM_CLOSE:
      EndDialog(dialog, 0);
      return TRUE;
    default: return FALSE;
  }
}

int32_t showTextInput(const os_Notice *notice) {
  std::vector<uint8_t> layout =
      os_BuildTextInputTemplate(notice->title, notice->text, notice->buffer, notice->password);
  // The template must be DWORD-aligned; a vector of bytes may not be.
  std::vector<DWORD> aligned((layout.size() + 3) / 4);
  std::memcpy(aligned.data(), layout.data(), layout.size());
  TextInput input{notice, 0};
  // The dialog belongs to the module that holds this code (the library, not the host program).
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&textInputProc), &self);
  INT_PTR result = DialogBoxIndirectParamW(self, reinterpret_cast<LPCDLGTEMPLATEW>(aligned.data()),
                                           static_cast<HWND>(notice->owner), textInputProc,
                                           reinterpret_cast<LPARAM>(&input));
  return result == 1 ? 1 : 0;  // -1 (no dialog could be made) counts as closed
}

}  // namespace

int32_t os_SystemNotice(const os_Notice *notice) {
  if (notice->kind == os_NoticeTextInput) return showTextInput(notice);
  int answer = MessageBoxW(static_cast<HWND>(notice->owner), wide(notice->text), wide(notice->title), notice->style);
  // A box that could not be shown (no desktop: 0 or -1) gets the safe answer.
  return answer > 0 ? answer : os_DefaultNoticeAnswer(notice->style);
}
