// Every host-service test runs against its own application-data, content
// and temporary folders, with the default extended handler installed.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <filesystem>
#include <string>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "imageio/host_services.h"
#include "imageio/host_tables.h"
#include "platform/os.h"
#include "raster/thread_state.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

inline const WCHAR *W(const char16_t *text) { return reinterpret_cast<const WCHAR *>(text); }

class HostServicesTest : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  vgmtest::ScopedEnv app_{"VGM_APPDATA_DIR", root_.file("app")};
  vgmtest::ScopedEnv docs_{"VGM_CONTENT_DIR", root_.file("docs")};
  vgmtest::ScopedEnv temp_{"VGM_TEMP_DIR", root_.file("tmp")};
  vgmtest::ScopedEnv icc_{"VGM_ICC_DIRS", ""};  // no system profiles: only the suite's folder counts

  void SetUp() override {
    fs::create_directories(root_.file("tmp"));
    reset();
    ASSERT_NE(rx_EngineStart(), 0);
  }
  void TearDown() override { reset(), rx_EngineStop(); }
  static void reset() {
    env_ResetForTests(nullptr);
    cfg_ResetForTests();
    io_InstallDefaultExtendedHandler();
    io_StateStoreClear();
    io_StateStoreSetClock(nullptr);
    io_SetOwnModulePathForTests(u"");
    io_PinTemporaryNameForTests(false, 0, 0);
  }
  // A page that cannot be read: texts there count as empty.
  static const void *unreadable() {
    static void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page;
  }
  std::string storeFolder() const { return root_.file("app") + "/Orvine Photo/Common/Plugins"; }
};
