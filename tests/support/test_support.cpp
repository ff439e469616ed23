#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vgmtest {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vgmtest-XXXXXX").string();
  char *made = mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("cannot create a temporary folder");
  path_ = made;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::u16string TempFolder::path16() const { return u16(path_); }
std::u16string TempFolder::file16(const std::string &name) const { return u16(file(name)); }

ScopedEnv::ScopedEnv(const char *name, const std::string &value) : name_(name) {
  const char *old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }

std::u16string u16(const std::string &text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) out += c, i += 1;
    else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) out += static_cast<char16_t>(((c & 0x1F) << 6) | (text[i + 1] & 0x3F)), i += 2;
    else if (i + 2 < text.size())
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F)), i += 3;
    else break;
  }
  return out;
}

std::string u8(const std::u16string &text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0x800) out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    else out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
  }
  return out;
}

std::string dataFile(const std::string &name) { return std::string(VGM_TEST_DATA_DIR) + "/" + name; }
std::string binFolder() { return VGM_BIN_DIR; }

int rounds(int full) {
  const char *quick = std::getenv("VGM_TEST_QUICK");
  return quick != nullptr && *quick != '\0' && *quick != '0' ? std::max(1, full / 10) : full;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace vgmtest
