#include "platform/dialog_template.h"

namespace {

// Window, dialog and control styles with their system values.
constexpr uint32_t kChild = 0x40000000, kVisible = 0x10000000, kTabStop = 0x00010000;
constexpr uint32_t kPopup = 0x80000000, kCaption = 0x00C00000, kSysMenu = 0x00080000;
constexpr uint32_t kModalFrame = 0x80, kSetFont = 0x40, kCentre = 0x0800;
constexpr uint32_t kEditCentre = 0x0001, kEditPassword = 0x0020, kEditAutoScroll = 0x0080;
constexpr uint32_t kAutoCheckBox = 0x0003, kPushButton = 0x0000;
constexpr uint32_t kClientEdge = 0x00000200;  // extended style: sunken edge
// Predefined window classes by atom.
constexpr uint16_t kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;

struct Writer {
  std::vector<uint8_t> bytes;
  void word(uint32_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  void dword(uint32_t v) { word(v), word(v >> 16); }
  void text(const char16_t *s) {
    for (; s != nullptr && *s != 0; ++s) word(*s);
    word(0);
  }
  void align() {
    while (bytes.size() % 4 != 0) bytes.push_back(0);
  }
  void control(uint32_t style, uint32_t exStyle, int16_t x, int16_t y, int16_t cx, int16_t cy, uint16_t id,
               uint16_t atom, const char16_t *caption) {
    align();
    dword(kChild | kVisible | style), dword(exStyle);
    for (int16_t v : {x, y, cx, cy}) word(static_cast<uint16_t>(v));
    word(id), word(0xFFFF), word(atom);
    text(caption);
    word(0);  // no creation data
  }
};

}  // namespace

std::vector<uint8_t> os_BuildTextInputTemplate(const char16_t *title, const char16_t *message,
                                               const char16_t *initial, bool password) {
  Writer w;
  w.dword(kPopup | kCaption | kSysMenu | kModalFrame | kSetFont | kCentre), w.dword(0);
  w.word(password ? 4 : 3);
  for (int16_t v : {0, 0, 200, 107}) w.word(static_cast<uint16_t>(v));
  w.word(0), w.word(0);  // no menu, the standard dialog class
  w.text(title);
  w.word(8), w.text(u"MS Shell Dlg");
  w.control(0, 0, 7, 7, 186, 28, os_DialogIdMessage, kStatic, message);
  w.control(kEditCentre | kEditAutoScroll | kTabStop | (password ? kEditPassword : 0), kClientEdge, 7, 38, 186, 15,
            os_DialogIdEdit, kEdit, initial);
  // The plain kind has nothing to reveal.
  if (password) w.control(kAutoCheckBox | kTabStop, 0, 7, 60, 186, 12, os_DialogIdShowPassword, kButton, u"Show Password");
  // A plain push button: Enter confirms through identifier 1 all the same.
  w.control(kPushButton | kTabStop, 0, 141, 79, 52, 21, os_DialogIdOk, kButton, u"OK");
  w.align();
  return w.bytes;
}
