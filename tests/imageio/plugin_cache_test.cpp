// The plug-in cache as loads share it: a borrowed module stays mapped while
// a load runs it, whatever the cache does meanwhile.
#include "plugin_fixture.h"

using vgmtest::moduleLoaded;

using PluginCacheTest = PluginTest;

TEST_F(PluginCacheTest, BorrowedModuleOutlivesTheCacheUntilDropped) {
  std::string first = install(VGM_TEST_PLUGIN("TestGood"), "flt_A.dll");
  std::string second = install(VGM_TEST_PLUGIN("TestGood"), "flt_B.dll");
  os_Module *module = io_LoadPlugin(u16(first).c_str());
  ASSERT_NE(module, nullptr);
  io_PluginCacheKeep(module);
  EXPECT_EQ(io_PluginCacheBorrow(u16(second)), nullptr);
  std::shared_ptr<io_CachedPlugin> borrowed = io_PluginCacheBorrow(u16(first));
  ASSERT_NE(borrowed, nullptr);
  EXPECT_EQ(borrowed->loadEntry, os_ModuleSymbol(module, "flt_LoadImage"));
  os_ModuleFree(module);

  io_PluginCacheRelease();  // the cache lets go while a load still runs it
  EXPECT_TRUE(io_PluginCachePath().empty());
  EXPECT_TRUE(moduleLoaded(first));
  io_PluginCacheKeepBorrowed(borrowed);  // it read its file: cached again
  EXPECT_EQ(io_PluginCachePath(), u16(first));
  borrowed.reset();
  EXPECT_TRUE(moduleLoaded(first));
  io_PluginCacheRelease();
  EXPECT_FALSE(moduleLoaded(first));
}
