// vgm-convert: drives the library from the command line the way the suite's
// converter does. It uses nothing but the library's public interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "vgm/vgm_common.h"

namespace {

constexpr const char *kUsage =
    "usage: vgm-convert COMMAND [ARGUMENTS]\n"
    "\n"
    "commands:\n"
    "  sysinfo    print the machine summary the library reports\n"
    "  help       print this text\n";

// UTF-16 from the library to UTF-8 on the terminal.
std::string toUtf8(const char16_t *text) {
  std::string out;
  for (; *text != 0; ++text) {
    char32_t c = *text;
    if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[1] - 0xDC00);
      ++text;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

int commandSysInfo() {
  char16_t text[4096];
  if (core_GetSysInfoStr(text, 4096) != 1) {
    std::fprintf(stderr, "vgm-convert: the library gave no system summary\n");
    return 1;
  }
  std::fputs(toUtf8(text).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const char *command = argv[1];
  if (std::strcmp(command, "sysinfo") == 0) return commandSysInfo();
  if (std::strcmp(command, "help") == 0 || std::strcmp(command, "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "vgm-convert: unknown command '%s'\n\n%s", command, kUsage);
  return 2;
}
