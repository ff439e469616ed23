// The text-input notice as a host sees it, and the in-memory dialog
// template read back field by field.
#include <gtest/gtest.h>

#include <vector>

#include "platform/dialog_template.h"
#include "platform/os.h"
#include "support/test_support.h"

TEST(PasswordNotice, passwordTextInputReachesTheHost) {
  char16_t buffer[40] = u"left";
  EXPECT_EQ(os_ShowTextInput(nullptr, u"T", u"M", buffer, 40, true), 0);  // the default closes it

  static std::vector<std::string> seen;
  auto host = [](const VgmNotice *n, void *context) -> int32_t {
    seen.push_back(vgmtest::u8(n->title) + "|" + vgmtest::u8(n->text) + "|" + std::to_string(n->style) + "|" +
                   std::to_string(n->kind) + "|" + std::to_string(n->capacity) + "|" + std::to_string(n->password));
    if (n->kind != VGM_NOTICE_TEXT_INPUT) return IDRETRY;
    for (UINT i = 0; i < n->capacity; ++i) n->buffer[i] = u'a' + i % 26;  // no room left for the end
    return *static_cast<int32_t *>(context);
  };
  int32_t answer = 1;
  EXPECT_EQ(core_SetNoticeHandler(host, &answer), nullptr);
  EXPECT_EQ(os_ShowTextInput(reinterpret_cast<HWND>(1), u"Title", u"Hint", buffer, 40, true), 1);
  EXPECT_EQ(std::u16string(buffer).size(), 39u);
  EXPECT_EQ(os_ShowNotice(nullptr, u"text", u"title", os_NoticeRetryCancel | os_NoticeIconWarning), IDRETRY);
  answer = 2;  // anything but 1 means closed
  EXPECT_EQ(os_ShowTextInput(nullptr, u"T", u"", buffer, 40, false), 0);
  EXPECT_EQ(core_SetNoticeHandler(nullptr, nullptr), host);
  EXPECT_EQ(seen, (std::vector<std::string>{"Title|Hint|0|1|40|1", "title|text|53|0|0|0", "T||0|1|40|0"}));
}

TEST(PasswordNotice, passwordDialogTemplateBytes) {
  std::vector<uint8_t> bytes = os_BuildTextInputTemplate(u"Enter KV5 Password", u"hint", u"", true);
  ASSERT_EQ(bytes.size() % 4, 0u);
  size_t at = 0;
  auto word = [&] {
    EXPECT_LE(at + 2, bytes.size());
    at += 2;
    return at <= bytes.size() ? uint32_t(bytes[at - 2] | bytes[at - 1] << 8) : 0u;
  };
  auto dword = [&] { return word() | word() << 16; };
  auto text = [&] {
    std::u16string s;
    for (uint32_t c; (c = word()) != 0 && at < bytes.size();) s += static_cast<char16_t>(c);
    return s;
  };
  // Style, extended style, count, x, y, width, height, menu, class.
  EXPECT_EQ((std::vector<uint32_t>{dword(), dword(), word(), word(), word(), word(), word(), word(), word()}),
            (std::vector<uint32_t>{0x80C808C0, 0, 4, 0, 0, 200, 107, 0, 0}));
  EXPECT_EQ(text(), u"Enter KV5 Password");
  EXPECT_EQ(word(), 8u);
  EXPECT_EQ(text(), u"MS Shell Dlg");
  struct Control {
    std::vector<uint32_t> fields;  // style, extended, x, y, width, height, id, 0xFFFF, class atom
    std::u16string caption;
  };
  const Control expected[] = {
      {{0x50000000, 0, 7, 7, 186, 28, 123, 0xFFFF, 0x82}, u"hint"},
      {{0x500100A1, 0x200, 7, 38, 186, 15, 125, 0xFFFF, 0x81}, u""},
      {{0x50010003, 0, 7, 60, 186, 12, 124, 0xFFFF, 0x80}, u"Show Password"},
      {{0x50010000, 0, 141, 79, 52, 21, 1, 0xFFFF, 0x80}, u"OK"},
  };
  for (const Control &control : expected) {
    at = (at + 3) & ~size_t{3};
    std::vector<uint32_t> fields{dword(), dword()};
    for (int i = 0; i < 7; ++i) fields.push_back(word());
    EXPECT_EQ(fields, control.fields);
    EXPECT_EQ(text(), control.caption);
    EXPECT_EQ(word(), 0u);  // no creation data
  }
  EXPECT_EQ((at + 3) & ~size_t{3}, bytes.size());
  // The plain kind: no hidden characters, nothing to reveal.
  bytes = os_BuildTextInputTemplate(u"T", u"", u"abc", false);
  EXPECT_EQ(bytes[8], 3);
}
