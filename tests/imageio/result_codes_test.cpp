#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "imageio/result_codes.h"
#include "platform/os.h"
#include "support/notices.h"
#include "support/test_support.h"

using vgmtest::u8;

namespace {

std::string compose(int32_t code, int32_t sub = 0, const char16_t *path = nullptr, const char16_t *module = nullptr,
                    const char16_t *hint = nullptr) {
  char16_t out[kMessageCapacity];
  size_t length = io_ComposeMessage(code, sub, path, module, hint, out);
  EXPECT_EQ(length, os_Utf16Length(out));
  return u8(out);
}

struct Warning { std::string text, title; bool any; };

Warning warningFor(uint32_t mask) {
  LoadSaveOptions options{};
  io_ApplyWarningMask(mask, &options);
  char16_t text[kWarningTextCapacity], title[kWarningTitleCapacity];
  bool any = io_BuildWarningText(&options, text, title);
  return {u8(text), u8(title), any};
}

}  // namespace

TEST(ResultMessages, CodesCountsSubCodesHintModuleAndTruncation) {
  // A sample across the table (texts the load export shows are checked there);
  // every value without a text of its own is the unknown error.
  const std::map<int32_t, std::string> table = {
      {1, "Success: The operation completed successfully"},
      {0, "Error: An unknown error occurred"},
      {-2, "Error: The file format is supported but the requested feature is not implemented"},
      {-18, "Error: The plug-in is not configured correctly"},
      {-20, "Error: The system ran out of RAM while servicing the request"},
      {-27, "Error: The requested bitmap size is too big"},
      {-30, "Error: An internal error occurred (Unknown)"},
      {-34, "Error: An internal error occurred (#4)"},
      {-45, "Error: Cannot read file information, file may have access restrictions"},
      {-51, "Error: Critical components are either missing or damaged; please reinstall"},
      {-72, "Error: You have exceeded your usage limit"},
      {-96, "Password Required: This image is password protected"},
  };
  const std::set<int32_t> named = {-2,  -3,  -4,  -5,  -6,  -7,  -8,  -9,  -10, -11, -12, -13, -14, -15, -16,
                                   -17, -18, -20, -23, -24, -25, -26, -27, -30, -31, -32, -33, -34, -40, -41,
                                   -42, -43, -44, -45, -50, -51, -70, -71, -72, -90, -96, -98, -99};
  for (const auto &[code, text] : table) EXPECT_EQ(compose(code), text) << code;
  for (int32_t code = -200; code <= 0; ++code)
    EXPECT_EQ(compose(code) == "Error: An unknown error occurred", code == 0 || (code != -1 && !named.count(code)))
        << code;
  EXPECT_EQ(compose(INT32_MIN), "Error: An unknown error occurred");
  // Positive counts above 1 are item counts.
  for (int32_t n : {3, INT32_MAX})
    EXPECT_EQ(compose(n), "Success: Operation completed successfully for " + std::to_string(n) + " items");

  const std::pair<int32_t, const char *> subCodes[] = {
      {1, "This plug-in does not have an About dialog box"},
      {2, "This plug-in does not require configuration"},
      {3, "This plug-in does not have Help documentation"},
      {5, "Error: Saving to this file format is not supported"},
      {6, "Error: This operation is not supported for this file format"},
      {0, "Error: This operation is not supported"},
      {7, "Error: This operation is not supported"},
      {-4, "Error: This operation is not supported"}};
  for (const auto &[sub, text] : subCodes) EXPECT_EQ(compose(-1, sub), text) << sub;
  const std::string notRecognized = "Error: The file is not a recognized image file format";
  const std::string corrupted = "Error: The file is either corrupted or the file format is not supported";
  for (const char16_t *path : {u"C:\\notes.TXT", u"/a/b/list.txt", u"x.Db", u"setup.INI", u"drv.inf", u"run.bat",
                               u"a.zip", u"a.RAR", u"a.7z", u"song.mp3", u"song.WMA", u"doc.rtf"})
    EXPECT_EQ(compose(-1, 4, path), notRecognized) << u8(path);
  for (const char16_t *path : {u"photo.jpg", u"archive.tar", u"text.txt.bak", u"notxt", u"/folder.txt/file",
                               u".txtx", u""})
    EXPECT_EQ(compose(-1, 4, path), corrupted) << u8(path);
  EXPECT_EQ(compose(-1, 4, nullptr), corrupted);

  // The hint and the reporting module.
  EXPECT_EQ(compose(-44, 0, nullptr, u"/opt/suite/Plugins/flt_PNG.dll", u"Check the file"),
            "Error: Invalid data was found while processing the file\n\nHint:\nCheck the file"
            "\n\nReporting Module: flt_PNG.dll");
  // Module paths of two characters or fewer, and empty hints, add nothing.
  using Row = std::tuple<const char16_t *, const char16_t *, const char *>;  // module, hint, module's name
  for (auto [module, hint, name] : {Row{u"C:\\Suite\\Plugins\\flt_TIF.dll", nullptr, "flt_TIF.dll"},
                                    Row{u"flt_A.dll", u"", "flt_A.dll"}, Row{u"abc", nullptr, "abc"}, Row{u"ab", u"", ""}})
    EXPECT_EQ(compose(-7, 0, nullptr, module, hint),
              std::string("Error: An I/O device error occurred") + (*name ? "\n\nReporting Module: " : "") + name);

  // Over-long messages are cut at the capacity.
  std::u16string hint(1000, u'h');
  char16_t out[kMessageCapacity + 8];
  for (char16_t &c : out) c = u'#';
  size_t length = io_ComposeMessage(-7, 0, nullptr, u"/p/flt_X.dll", hint.c_str(), out);
  EXPECT_EQ(length, kMessageCapacity - 1);
  EXPECT_TRUE(out[kMessageCapacity - 1] == 0 && out[kMessageCapacity] == u'#');  // nothing written past the capacity
  std::string text = u8(out);
  EXPECT_EQ(text.rfind("Error: An I/O device error occurred\n\nHint:\nhhh", 0), 0u);
  EXPECT_EQ(text.find("Reporting Module"), std::string::npos);

  EXPECT_EQ(io_ComposeMessage(-7, 0, nullptr, nullptr, nullptr, nullptr), 0u);
}

TEST(FinalCodes, SetTheirFlagsAndEndTheSearch) {
  for (int32_t code : {1, 0, -1, -2, -44, -97, -100}) {
    LoadSaveOptions options{};
    EXPECT_FALSE(io_IsFinalCode(code, &options)) << code;
    LoadSaveOptions untouched{};
    EXPECT_EQ(std::memcmp(&options, &untouched, sizeof options), 0) << code;
  }
  LoadSaveOptions o{};
  for (auto [code, flag] : {std::pair{-99, &o.cancelled}, {-96, &o.passwordRequired}, {-90, &o.notAnImage}}) {
    EXPECT_TRUE(io_IsFinalCode(code, &o)) << code;
    EXPECT_TRUE(*flag) << code;
  }
}

TEST(Warnings, TextsTitlesAndOrder) {
  const std::string timeout = "Operation was interrupted due to a timeout", multiple = "Warning: Multiple Issues";
  const struct { uint32_t mask; std::string text, title; } rows[] = {
      {0x001, "Layers beyond the set limit were dropped", "Warning: Incomplete Data"},
      {0x010, "Transparency information was removed from the image", "Warning: Incomplete Data"},
      {0x020, "Thumbnail only, the rest of the image was not loaded", "Warning: Thumbnail Only"},
      {0x100, timeout, "Warning: Timeout"},
      {0x080, "A non-stardard extension was used in the file", "Warning: Non-standard"},
      {0x040, "The image was automatically resized to usable dimensions", "Warning: Resized"},
      {0x800 | 0x8000, "", ""},  // bits outside the table set nothing
      // Several keep the table order: 0x100 comes before 0x080 and 0x040.
      {0x020 | 0x001, "Layers beyond the set limit were dropped\nThumbnail only, the rest of the image was not loaded",
       multiple},
      {0x040 | 0x080 | 0x100,
       timeout + "\nA non-stardard extension was used in the file\nThe image was automatically resized to usable dimensions",
       multiple},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.mask);
    Warning warning = warningFor(row.mask);
    EXPECT_EQ(warning.any, !row.text.empty());
    EXPECT_EQ(std::tuple(warning.text, warning.title), std::tuple(row.text, row.title));
  }
  // Two warnings of the same title still count as several issues.
  EXPECT_EQ(warningFor(0x001 | 0x002).title, multiple);
  Warning all = warningFor(0x7FF);
  EXPECT_EQ(std::count(all.text.begin(), all.text.end(), '\n'), 10);
  EXPECT_TRUE(all.text.find("\n\n") == std::string::npos && all.text.front() != '\n' && all.text.back() != '\n');
  // Without a title buffer the text is still built.
  LoadSaveOptions options{};
  io_ApplyWarningMask(0x100, &options);
  char16_t text[kWarningTextCapacity];
  EXPECT_TRUE(io_BuildWarningText(&options, text, nullptr));
  EXPECT_EQ(u8(text), timeout);
}

// Quiet requests show none: the load export's tests check that.
TEST(Warnings, NoticeOnlyWithSomethingToTellWithItsOwnerAndStyle) {
  vgmtest::ScriptedNotices script;
  LoadSaveOptions loud{};
  loud.ownerWindow = reinterpret_cast<HWND>(0x1234);
  EXPECT_FALSE(io_ShowWarningNotice(&loud));  // nothing to tell
  EXPECT_TRUE(script.seen.empty());

  io_ApplyWarningMask(0x100, &loud);
  EXPECT_TRUE(io_ShowWarningNotice(&loud));
  EXPECT_EQ(script.seen, std::vector<std::string>{"Warning: Timeout|48|Operation was interrupted due to a timeout"});
  EXPECT_EQ(script.owners, std::vector<HWND>{reinterpret_cast<HWND>(0x1234)});
}
