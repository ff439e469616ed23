// Every host-environment test runs against its own application-data,
// content and temporary folders, with the process-wide caches dropped.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "hostenv/config_record.h"
#include "hostenv/error_log.h"
#include "hostenv/folders.h"
#include "support/test_support.h"

class HostEnvTest : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  std::string appBase_ = root_.file("appdata");
  std::string docsBase_ = root_.file("docs");
  std::string tempBase_ = root_.file("tmp");
  vgmtest::ScopedEnv appEnv_{"VGM_APPDATA_DIR", appBase_};
  vgmtest::ScopedEnv docsEnv_{"VGM_CONTENT_DIR", docsBase_};
  vgmtest::ScopedEnv tempEnv_{"VGM_TEMP_DIR", tempBase_};

  void SetUp() override {
    std::filesystem::create_directories(tempBase_);
    resetAll();
  }
  void TearDown() override { resetAll(); }
  static void resetAll() {
    env_ResetForTests(nullptr);
    cfg_ResetForTests();
    log_ResetForTests();
  }
  std::string appData() const { return appBase_ + "/Orvine Photo"; }
};

namespace fs = std::filesystem;
