// The text-input notice as a host sees it, and the in-memory dialog
// template read back field by field.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "platform/dialog_template.h"
#include "platform/os.h"
#include "support/test_support.h"

#ifndef _WIN32  // the host notice hook is the POSIX build's; tests/win32 drives the real dialog
TEST(PasswordNotice, passwordTextInputReachesTheHost) {
  char16_t buffer[40] = u"left";
  EXPECT_EQ(os_ShowTextInput(nullptr, u"T", u"M", buffer, 40, true), 0);  // the default closes it
  static std::vector<std::string> seen;
  auto host = [](const VgmNotice *n, void *context) -> int32_t {
    seen.push_back(vgmtest::u8(n->title) + "|" + vgmtest::u8(n->text) + "|" + std::to_string(n->style) + "|" +
                   std::to_string(n->kind) + "|" + std::to_string(n->capacity) + "|" + std::to_string(n->password));
    if (n->kind != VGM_NOTICE_TEXT_INPUT) return IDRETRY;
    for (UINT i = 0; i < n->capacity; ++i) n->buffer[i] = u'a';  // no room left for the end
    return *static_cast<int32_t *>(context);
  };
  int32_t answer = 1;
  EXPECT_EQ(core_SetNoticeHandler(host, &answer), nullptr);
  EXPECT_EQ(os_ShowTextInput(reinterpret_cast<HWND>(1), u"Title", u"Hint", buffer, 40, true), 1);
  EXPECT_EQ(std::u16string(buffer), std::u16string(39, u'a'));
  EXPECT_EQ(os_ShowNotice(nullptr, u"text", u"title", os_NoticeRetryCancel | os_NoticeIconWarning), IDRETRY);
  answer = 2;  // anything but 1 means closed
  EXPECT_EQ(os_ShowTextInput(nullptr, u"T", u"", buffer, 40, false), 0);
  EXPECT_EQ(core_SetNoticeHandler(nullptr, nullptr), host);
  EXPECT_EQ(seen, (std::vector<std::string>{"Title|Hint|0|1|40|1", "title|text|53|0|0|0", "T||0|1|40|0"}));
}
#endif

// Reads the template back: numbers in hex, texts quoted, "/" before each
// control (which starts on a 4-byte boundary).
std::string parseTemplate(const std::vector<uint8_t> &b) {
  size_t at = 0;
  std::string out;
  auto word = [&] { return at + 2 <= b.size() ? (at += 2, unsigned(b[at - 2] | b[at - 1] << 8)) : 0xDEADu; };
  auto num = [&](unsigned v) { out += (std::stringstream() << std::hex << v).str() + " "; };
  auto text = [&] {
    out += "'";
    for (unsigned c; (c = word()) != 0 && c != 0xDEAD;) out += static_cast<char>(c);
    out += "' ";
  };
  auto fields = [&](int dwords, int words) {
    for (int i = 0; i < dwords; ++i) num(word() | word() << 16);
    for (int i = 0; i < words; ++i) num(word());
  };
  fields(2, 7), text(), num(word()), text();
  while (at < b.size() && (at = (at + 3) & ~size_t{3}) < b.size()) out += "/ ", fields(2, 7), text(), num(word());
  return out + std::to_string(b.size() % 4);
}

TEST(PasswordNotice, passwordDialogTemplateBytes) {
  // Styles: popup, caption, system menu, modal frame, font, centred; child
  // and visible controls: static; edit centred, auto-scroll, password, tab
  // stop, sunken edge; auto check box with tab stop; push button with tab stop.
  EXPECT_EQ(parseTemplate(os_BuildTextInputTemplate(u"Enter KV5 Password", u"hint", u"", true)),
            "80c808c0 0 4 0 0 c8 6b 0 0 'Enter KV5 Password' 8 'MS Shell Dlg' "
            "/ 50000000 0 7 7 ba 1c 7b ffff 82 'hint' 0 "
            "/ 500100a1 200 7 26 ba f 7d ffff 81 '' 0 "
            "/ 50010003 0 7 3c ba c 7c ffff 80 'Show Password' 0 "
            "/ 50010000 0 8d 4f 34 15 1 ffff 80 'OK' 0 0");
  EXPECT_EQ(parseTemplate(os_BuildTextInputTemplate(u"T", u"", u"abc", false)),
            "80c808c0 0 3 0 0 c8 6b 0 0 'T' 8 'MS Shell Dlg' / 50000000 0 7 7 ba 1c 7b ffff 82 '' 0 "
            "/ 50010081 200 7 26 ba f 7d ffff 81 'abc' 0 / 50010000 0 8d 4f 34 15 1 ffff 80 'OK' 0 0");
}
