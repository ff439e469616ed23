// Plug-in tests run against their own plug-in, application-data and
// power-supply folders, on a fixed test clock, with the registries attached.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "hostenv/error_log.h"
#include "hostenv/folders.h"
#include "imageio/plugin_blacklist.h"
#include "imageio/plugin_files.h"
#include "imageio/plugin_list.h"
#include "imageio/plugin_registry.h"
#include "plugins/test_plugins.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using vgmtest::u16;

inline constexpr uint64_t kTestClock = 133000000000000000ull;  // within some hour of 2022

class PluginTest : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  vgmtest::ScopedEnv appEnv_{"VGM_APPDATA_DIR", root_.file("appdata")};
  vgmtest::ScopedEnv tempEnv_{"VGM_TEMP_DIR", root_.file("tmp")};
  vgmtest::ScopedEnv powerEnv_{"VGM_POWER_SUPPLY_DIR", root_.file("power")};  // empty: on mains
  std::string plugins_ = root_.file("Plugins");

  void SetUp() override {
    for (const char *folder : {"Plugins", "tmp", "power", "appdata/Orvine Photo"}) fs::create_directories(root_.file(folder));
    forgetAll(kTestClock);
    io_RegistriesAttach(u16(plugins_).c_str());
  }
  void TearDown() override {
    io_RegistriesDetach();
    forgetAll(0);
  }
  static void forgetAll(uint64_t clock) {
    env_ResetForTests(nullptr), log_ResetForTests(), io_SetClockForTests(clock);
    io_BlacklistForget(), io_PluginListForget();
  }
  // A file below the plug-in folder; its full path.
  std::string touch(const std::string &relative, const std::string &content = "x") {
    std::string path = below(relative);
    vgmtest::writeFile(path, content);
    return path;
  }
  // A copy of a built test plug-in under another name or folder.
  std::string install(const char *built, const std::string &relative) {
    std::string path = below(relative);
    fs::copy_file(built, path, fs::copy_options::overwrite_existing);
    return path;
  }
  std::string below(const std::string &relative) {
    const std::string path = vgmtest::join(plugins_, relative);
    fs::create_directories(fs::path(path).parent_path());
    return path;
  }
  std::string appData() const { return root_.file("appdata/Orvine Photo"); }
  std::string blacklistFile() const { return root_.file("appdata/Orvine Photo/plugin_blacklist.txt"); }
  void advance(uint64_t seconds) { clock_ += seconds * 10000000ull, io_SetClockForTests(clock_); }  // 100 ns ticks

 private:
  uint64_t clock_ = kTestClock;
};
