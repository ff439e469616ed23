// The text input dialog of the suite, built in memory as a dialog template
// (the classic layout with a font: header, then the controls, each on a
// 4-byte boundary; sizes in dialog units), ready for the system's
// indirect dialog call.
#pragma once

#include <cstdint>
#include <vector>

// Control identifiers the dialog procedure talks to.
enum : uint16_t {
  os_DialogIdOk = 1,
  os_DialogIdMessage = 123,
  os_DialogIdShowPassword = 124,
  os_DialogIdEdit = 125,
};

// The template with `title` as caption, `message` in the static text and
// `initial` in the edit box. The password kind hides the typed characters
// and adds the "Show Password" check box. Null texts count as empty.
std::vector<uint8_t> os_BuildTextInputTemplate(const char16_t *title, const char16_t *message,
                                               const char16_t *initial, bool password);
