// pi_StateStore: session memory, plain files and scrambled files.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "host_services_fixture.h"

namespace {

const pi_StateStore *S() { return io_StateStoreTable(); }
const WCHAR *N(const std::u16string &name) { return W(name.c_str()); }

std::atomic<uint32_t> gTick{0};
uint32_t testClock() { return gTick.load(); }

// A scrambled file written straight from the format's description, byte by byte.
std::string independentEnc(uint32_t cache_seed, uint32_t file_seed, const std::string &plain) {
  uint8_t key[128], unmixed[128];
  uint32_t x = cache_seed & 0x7FFFFFFF;
  for (uint8_t &k : key) x = x * 214013u + 2531011u, k = static_cast<uint8_t>((x >> 16) & 0xFF);
  auto word = [&](int o) { return key[o] | key[o + 1] << 8 | key[o + 2] << 16 | uint32_t(key[o + 3]) << 24; };
  uint32_t check = 0;
  for (int i = 0; i <= 120; i += 4) check ^= word(i) ^ word(i + 1) ^ word(i + 2) ^ word(i + 3);
  std::memcpy(unmixed, key, 128);
  for (int p = 0, n = 0; p < 124; ++n) {
    for (int b = 0; b < 4; ++b) key[p + b] ^= static_cast<uint8_t>(file_seed >> (8 * b));
    p += 13 + (((file_seed >> (n % 24)) ^ unmixed[n % 128]) & 15);
  }
  std::string out;
  uint32_t size = static_cast<uint32_t>(plain.size());
  for (uint32_t v : {0x10001u, size, size, 1u, check, file_seed, 0u, 0u})
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>(v >> (8 * b)));
  for (size_t i = 0; i < plain.size(); ++i) out.push_back(static_cast<char>(plain[i] ^ key[i % 128]));
  return out;
}

std::string pattern(size_t size) {
  std::string s(size, 0);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>("Plug-in state 0123456789"[i % 24] + (i / 24) % 7);
  return s;
}

}  // namespace

TEST_F(HostServicesTest, SessionMemoryLimitsAndEviction) {
  std::vector<char> big(70000, 'z'), back(80000, 0);
  EXPECT_EQ(S()->MemSet(N(u"big"), big.data(), 70000), 65536);
  EXPECT_EQ(S()->MemGet(N(u"big"), back.data(), 80000), 65536);
  EXPECT_EQ(S()->MemSize(N(u"big")), 65536);
  EXPECT_EQ(back[65535], 'z');
  EXPECT_TRUE(S()->MemSet(N(u"big"), nullptr, 0) == 1 && S()->MemSize(N(u"big")) == 0);
  std::u16string n31(31, u'a'), n32(32, u'a');
  EXPECT_EQ(S()->MemSet(N(n31), "v", 1), 1);
  EXPECT_EQ(S()->MemSet(N(n32), "w", 1), 0);  // refused, not cut to the 31-unit name
  char c = 0;
  EXPECT_EQ(S()->MemGet(N(n31), &c, 1), 1);
  EXPECT_EQ(c, 'v');
  // Ticks 1..1024 in slot order; reading "k0" makes "k1" the oldest.
  io_StateStoreClear();
  io_StateStoreSetClock(testClock);
  for (int i = 0; i < 1024; ++i) {
    gTick = static_cast<uint32_t>(i + 1);
    ASSERT_EQ(S()->MemSet(N(u"k" + vgmtest::u16(std::to_string(i))), &i, 4), 4);
  }
  gTick = 5000;
  int value = 0;
  EXPECT_EQ(S()->MemGet(N(u"k0"), &value, 4), 4);
  ASSERT_EQ(S()->MemSet(N(u"new1"), &value, 4), 4);
  EXPECT_TRUE(S()->MemSize(N(u"k1")) == 0 && S()->MemSize(N(u"k0")) == 4);
  ASSERT_EQ(S()->MemSet(N(u"new2"), &value, 4), 4);
  EXPECT_TRUE(S()->MemSize(N(u"k2")) == 0 && S()->MemSize(N(u"k3")) == 4);
  // On equal ticks the first slot goes.
  io_StateStoreClear();
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(S()->MemSet(N(u"k" + vgmtest::u16(std::to_string(i))), &i, 4), 4);
  ASSERT_EQ(S()->MemSet(N(u"new3"), &value, 4), 4);
  EXPECT_TRUE(S()->MemSize(N(u"k0")) == 0 && S()->MemSize(N(u"k1")) == 4);
}

TEST_F(HostServicesTest, SessionMemoryUnderConcurrentUse) {
  std::vector<std::thread> threads;
  std::atomic<int> torn{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &torn] {
      std::vector<uint8_t> value(64), got(64);
      for (int i = 0; i < 10000; ++i) {
        std::u16string name = u"n" + vgmtest::u16(std::to_string((i * 7 + t) % 40));
        if ((i + t) % 3 == 0) {
          std::fill(value.begin(), value.end(), static_cast<uint8_t>(i));
          S()->MemSet(N(name), value.data(), 8 + i % 56);
        } else {
          int32_t n = S()->MemGet(N(name), got.data(), 64);
          for (int32_t k = 1; k < n; ++k)
            if (got[k] != got[0]) ++torn;
        }
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
}

TEST_F(HostServicesTest, PlainFiles) {
  std::string data = pattern(262145);
  EXPECT_TRUE(S()->FileSet(N(u"a\\b"), "x", 1) == 0 && S()->FileSet(N(u"a/b"), "x", 1) == 0);
  EXPECT_FALSE(fs::exists(storeFolder()) && !fs::is_empty(storeFolder()));
  EXPECT_EQ(S()->FileSet(N(u"p"), data.data(), 262145), 262144);
  EXPECT_EQ(S()->FileSize(N(u"p")), 262144);
  std::string back(10, 0);
  EXPECT_EQ(S()->FileGet(N(u"p"), back.data(), 10), 10);
  EXPECT_EQ(back, data.substr(0, 10));
  EXPECT_TRUE(S()->FileSet(N(u"p"), nullptr, 0) == 1 && S()->FileSize(N(u"p")) == 0);
  // A write that fails leaves the old file and no stray one.
  ASSERT_EQ(S()->FileSet(N(u"q"), "old", 3), 3);
  os_InjectFault(os_FaultKind::fileWrite, 1);
  EXPECT_EQ(S()->FileSet(N(u"q"), "new!", 4), 0);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_EQ(vgmtest::readFile(storeFolder() + "/q.bin"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(storeFolder()), fs::directory_iterator()), 1);
}

TEST_F(HostServicesTest, ScrambledFiles) {
  cfg_Load(1);
  cfg_Live()->cache_seed = 0x8BADF00Du;  // only the low 31 bits count
  ASSERT_EQ(cfg_Save(), 1);
  for (int size : {1, 127, 128, 129, 262144, 262145}) {
    std::string plain = pattern(static_cast<size_t>(size)), back(static_cast<size_t>(size) + 8, 0);
    int32_t stored = std::min(size, 262144);
    ASSERT_EQ(S()->SecureSet(N(u"s"), plain.data(), size), stored) << size;
    EXPECT_EQ(S()->SecureSize(N(u"s")), stored);
    EXPECT_EQ(S()->SecureGet(N(u"s"), back.data(), size + 8), stored);
    EXPECT_EQ(back.substr(0, static_cast<size_t>(stored)), plain.substr(0, static_cast<size_t>(stored))) << size;
  }
  EXPECT_TRUE(S()->SecureSet(N(u"s"), nullptr, 0) == 1 && S()->SecureSize(N(u"s")) == 0);
  // The file hides its plaintext: no 8-byte run of it survives.
  std::string plain = pattern(4096), back(4096, 0);
  ASSERT_EQ(S()->SecureSet(N(u"s"), plain.data(), 4096), 4096);
  std::string file = vgmtest::readFile(storeFolder() + "/s.enc");
  EXPECT_EQ(file.substr(0, 4), std::string("\x01\x00\x01\x00", 4));
  for (size_t i = 0; i + 8 <= plain.size(); ++i) ASSERT_EQ(file.find(plain.substr(i, 8)), std::string::npos) << i;
  EXPECT_EQ(S()->SecureGet(N(u"s"), back.data(), 100), 100);  // at most `size`
  // Any damaged header word gives nothing.
  for (int word = 0; word < 8; ++word) {
    std::string bad = file;
    bad[static_cast<size_t>(word) * 4 + 3] ^= static_cast<char>(0x80);
    vgmtest::writeFile(storeFolder() + "/s.enc", bad);
    EXPECT_TRUE(S()->SecureGet(N(u"s"), back.data(), 4096) == 0 && S()->SecureSize(N(u"s")) == 0) << word;
  }
  vgmtest::writeFile(storeFolder() + "/s.enc", file.substr(0, 1000));
  EXPECT_EQ(S()->SecureGet(N(u"s"), back.data(), 4096), 0);
  // Written independently with a fixed seed, it reads back.
  vgmtest::writeFile(storeFolder() + "/i.enc", independentEnc(0x8BADF00Du, 0x1234567, plain.substr(0, 300)));
  EXPECT_EQ(S()->SecureGet(N(u"i"), back.data(), 4096), 300);
  EXPECT_EQ(back.substr(0, 300), plain.substr(0, 300));
  // A plain file under the name, or another cache seed: nothing.
  ASSERT_EQ(S()->FileSet(N(u"i"), plain.data(), 300), 300);
  fs::copy_file(storeFolder() + "/i.bin", storeFolder() + "/j.enc");
  EXPECT_EQ(S()->SecureGet(N(u"j"), back.data(), 4096), 0);
  cfg_Live()->cache_seed = 77;
  ASSERT_EQ(cfg_Save(), 1);
  EXPECT_EQ(S()->SecureGet(N(u"i"), back.data(), 4096), 0);
  EXPECT_EQ(S()->SecureSet(N(u"x\\y"), "z", 1), 0);
}
