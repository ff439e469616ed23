#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include "platform/os.h"
#include "support/test_support.h"

using vgmtest::TempFolder;
using vgmtest::u16;

TEST(Files, WriteReadSeekSizeAndFailedWrites) {
  TempFolder folder;
  std::u16string path = folder.file16("data.bin");
  os_File *file = os_FileOpen(path.c_str(), os_AccessRead | os_AccessWrite, os_ShareNone, os_Disposition::createNew);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(os_FileWrite(file, "hello world", 11));
  EXPECT_EQ(os_FileSize(file), 11);
  int64_t position = -1;
  ASSERT_TRUE(os_FileSeek(file, 6, os_SeekFrom::begin, &position));
  EXPECT_EQ(position, 6);
  char buffer[16] = {};
  size_t done = 0;
  ASSERT_TRUE(os_FileRead(file, buffer, sizeof buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "world");
  ASSERT_TRUE(os_FileSeek(file, 5, os_SeekFrom::begin, nullptr));
  ASSERT_TRUE(os_FileTruncateHere(file));
  // The injected failure hits the second write only; the data around it stays.
  os_InjectFault(os_FaultKind::fileWrite, 2);
  EXPECT_TRUE(os_FileWrite(file, "one", 3));
  EXPECT_FALSE(os_FileWrite(file, "two", 3));
  EXPECT_EQ(os_LastError(), os_Error::injected);
  EXPECT_TRUE(os_FileWrite(file, "3", 1));
  os_FileClose(file);
  EXPECT_EQ(vgmtest::readFile(folder.file("data.bin")), "helloone3");

  // createNew refuses an existing file; openExisting refuses a missing one.
  EXPECT_EQ(os_FileOpen(path.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createNew), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::alreadyExists);
  std::u16string missing = folder.file16("missing.bin");
  EXPECT_EQ(os_FileOpen(missing.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::notFound);
}

TEST(Files, ShareModes) {
  TempFolder folder;
  std::u16string path = folder.file16("log.txt");
  auto open = [&](unsigned access, unsigned share) {
    return os_FileOpen(path.c_str(), access, share, os_Disposition::openAlways);
  };
  os_File *owner = open(os_AccessWrite, os_ShareNone);
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(open(os_AccessWrite, os_ShareNone), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::sharingViolation);
  EXPECT_EQ(open(os_AccessRead, os_ShareRead), nullptr);
  os_FileClose(owner);
  // Shared readers do not exclude each other, but do exclude a writer.
  os_File *reader1 = open(os_AccessRead, os_ShareRead), *reader2 = open(os_AccessRead, os_ShareRead);
  EXPECT_TRUE(reader1 != nullptr && reader2 != nullptr);
  EXPECT_EQ(open(os_AccessWrite, os_ShareNone), nullptr);
  for (os_File *reader : {reader1, reader2}) os_FileClose(reader);
  os_File *again = open(os_AccessWrite, os_ShareNone);
  EXPECT_NE(again, nullptr);
  os_FileClose(again);
}

TEST(Files, PathLimitsAndBadArguments) {
  TempFolder folder;
  std::u16string base = folder.path16() + u"/";
  std::u16string longest = base + std::u16string(os_MaxPath - 1 - base.size(), u'a');
  std::u16string tooLong = longest + u"b";
  os_File *file = os_FileOpen(longest.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways);
  // 259 units fit (the name itself may exceed the file system's own limit).
  EXPECT_TRUE(file != nullptr || os_LastError() != os_Error::pathTooLong);
  os_FileClose(file);
  EXPECT_EQ(os_FileOpen(tooLong.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::pathTooLong);
  EXPECT_EQ(os_FileOpen(nullptr, os_AccessRead, os_ShareRead, os_Disposition::openExisting), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::invalidArgument);
  EXPECT_EQ(os_FileOpen(folder.path16().c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting), nullptr);
  EXPECT_FALSE(os_FileWrite(nullptr, "x", 1));
  EXPECT_EQ(os_FileSize(nullptr), -1);
}

TEST(Files, MoveDeleteAndFolders) {
  TempFolder folder;
  vgmtest::writeFile(folder.file("a.txt"), "A");
  vgmtest::writeFile(folder.file("b.txt"), "B");
  std::u16string a = folder.file16("a.txt"), b = folder.file16("b.txt"), c = folder.file16("c.txt");
  EXPECT_FALSE(os_FileMove(a.c_str(), b.c_str(), false));
  EXPECT_EQ(os_LastError(), os_Error::alreadyExists);
  ASSERT_TRUE(os_FileMove(a.c_str(), c.c_str(), false));
  EXPECT_FALSE(os_FileExists(a.c_str()));
  ASSERT_TRUE(os_FileMove(c.c_str(), b.c_str(), true));
  EXPECT_EQ(vgmtest::readFile(folder.file("b.txt")), "A");
  os_InjectFault(os_FaultKind::fileMove, 1);
  EXPECT_FALSE(os_FileMove(b.c_str(), c.c_str(), true));
  EXPECT_EQ(os_LastError(), os_Error::injected);
  EXPECT_TRUE(os_FileExists(b.c_str()));

  std::u16string sub = folder.file16("sub");
  ASSERT_TRUE(os_FolderCreate(sub.c_str()));
  EXPECT_TRUE(os_FolderCreate(sub.c_str()));  // exists already: fine
  EXPECT_FALSE(os_FileExists(sub.c_str()));
  ASSERT_TRUE(os_FileDelete(b.c_str()));
  EXPECT_FALSE(os_FileDelete(b.c_str()));
  EXPECT_TRUE(os_FolderDelete(sub.c_str()));
  EXPECT_FALSE(os_FolderExists(sub.c_str()));
}

TEST(Files, FolderWalkWithPatternsGivesNamesThatOpen) {
  TempFolder folder;
  for (const char *name : {"flt_PNG.dll", "flt_JPEG.DLL", "readme.txt", "flt_x.dll.bak", "flt_\xE9\xFF.dll"})
    vgmtest::writeFile(folder.file(name), name);
  ASSERT_TRUE(os_FolderCreate(folder.file16("flt_dir.dll").c_str()));
  std::set<std::u16string> seen;
  auto visit = [](const char16_t *name, bool isFolder, void *context) {
    static_cast<std::set<std::u16string> *>(context)->insert(name + std::u16string(isFolder ? u"/" : u""));
    return true;
  };
  ASSERT_TRUE(os_FolderWalk(folder.path16().c_str(), u"flt_*.dll", visit, &seen));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen.count(u"flt_PNG.dll") + seen.count(u"flt_JPEG.DLL") + seen.count(u"flt_dir.dll/"), 3u);
  // A name that is not UTF-8 comes back as a path that opens that very file.
  std::u16string odd = folder.path16() + u"/" + *seen.rbegin();
  os_File *file = os_FileOpen(odd.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  ASSERT_NE(file, nullptr);
  char content[16] = {};
  size_t done = 0;
  EXPECT_TRUE(os_FileRead(file, content, sizeof content, &done));
  os_FileClose(file);
  EXPECT_EQ(std::string(content, done), "flt_\xE9\xFF.dll");
  EXPECT_FALSE(os_FolderWalk(folder.file16("nope").c_str(), u"*", visit, &seen));
}

TEST(Files, NamePatterns) {
  const std::tuple<const char16_t *, const char16_t *, bool> cases[] = {
      {u"_vgm_sesstmp_0000abcd", u"_vgm_sesstmp_????????", true}, {u"_vgm_sesstmp_0000abc", u"_vgm_sesstmp_????????", false},
      {u"ABC", u"a*c", true}, {u"", u"*", true}, {u"abc", u"", false}, {u"aXbXc", u"*b*c", true}};
  for (auto [name, pattern, matches] : cases) EXPECT_EQ(os_NameMatches(name, pattern), matches) << vgmtest::u8(pattern);
  // A pathological pattern must finish quickly (no exponential backtracking).
  std::u16string name(2000, u'a');
  EXPECT_FALSE(os_NameMatches(name, u"*a*a*a*a*a*a*a*a*a*b"));
}

TEST(Text, Utf8RoundTripAndRepair) {
  std::u16string text = u"K\u00e4se \u20ac \U0001F600";
  EXPECT_EQ(os_Utf8ToUtf16(os_Utf16ToUtf8(text)), text);
  EXPECT_EQ(os_Utf16ToUtf8(u"\u00e4"), "\xc3\xa4");
  // Broken input becomes replacement characters, never a crash.
  for (auto [broken, repaired] : {std::pair{"a\xc3", u"a\uFFFD"}, {"\xe2\x82", u"\uFFFD\uFFFD"}, {"\xc0\xaf", u"\uFFFD\uFFFD"}})
    EXPECT_EQ(os_Utf8ToUtf16(broken), repaired);  // the last one an overlong '/'
  std::u16string lone{static_cast<char16_t>(0xD800), u'x', static_cast<char16_t>(0xDCFF)};
  EXPECT_EQ(os_Utf16ToUtf8(lone), "\xef\xbf\xbdx\xef\xbf\xbd");
}
