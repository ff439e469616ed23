// The Windows side of the platform layer's system services, run under
// Windows or wine64.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/os.h"
#include "platform/os_colour.h"
#include "platform/win32/windows_facts.h"

namespace {

const wchar_t *wide(const std::u16string &text) { return reinterpret_cast<const wchar_t *>(text.c_str()); }

// A display profile with the sRGB primaries (adapted to D50) and linear
// curves, written field by field: translated to sRGB, a linear value v
// becomes 255 x (1.055 (v/255)^(1/2.4) - 0.055).
std::vector<unsigned char> linearRgbProfile() {
  std::vector<unsigned char> p(128);
  auto put = [&p](size_t at, uint32_t v) {
    if (p.size() < at + 4) p.resize(at + 4);
    for (int i = 0; i < 4; ++i) p[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
  };
  auto fixed = [](double v) { return static_cast<uint32_t>(static_cast<int32_t>(v * 65536 + 0.5)); };
  put(8, 0x02100000), put(12, 0x6D6E7472), put(16, 0x52474220), put(20, 0x58595A20), put(36, 0x61637370);
  put(68, fixed(0.9642)), put(72, fixed(1.0)), put(76, fixed(0.8249));  // D50
  const double xyz[4][3] = {{0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141},
                            {0.9642, 1.0, 0.8249}};
  const uint32_t xyzTags[4] = {0x7258595A, 0x6758595A, 0x6258595A, 0x77747074};  // rXYZ gXYZ bXYZ wtpt
  const uint32_t curveTags[3] = {0x72545243, 0x67545243, 0x62545243};            // rTRC gTRC bTRC
  put(128, 7);
  size_t data = 128 + 4 + 7 * 12;
  for (int t = 0; t < 4; ++t, data += 20) {
    put(132 + t * 12, xyzTags[t]), put(136 + t * 12, uint32_t(data)), put(140 + t * 12, 20);
    put(data, 0x58595A20), put(data + 4, 0);
    for (int c = 0; c < 3; ++c) put(data + 8 + 4 * c, fixed(xyz[t][c]));
  }
  put(data, 0x63757276), put(data + 4, 0), put(data + 8, 1), put(data + 12, 0x01000000);  // gamma 1.0
  for (int t = 0; t < 3; ++t) put(180 + t * 12, curveTags[t]), put(184 + t * 12, uint32_t(data)), put(188 + t * 12, 14);
  put(0, uint32_t(p.size()));
  return p;
}

}  // namespace

TEST(WinSystem, WineIsDetectedAndNamesTheSystem) {
  std::u16string wine;
  ASSERT_TRUE(os_WineDescription(&wine));
  // "Wine Emulator <version> (<host> <release>)": under wine64 the host is the Linux kernel.
  EXPECT_EQ(wine.rfind(u"Wine Emulator ", 0), 0u);
  EXPECT_NE(wine.find(u" (Linux "), std::u16string::npos);
  EXPECT_LE(wine.size(), 63u);
  EXPECT_EQ(os_SystemName(), wine);
  EXPECT_TRUE(os_WineDescription(nullptr));
  EXPECT_FALSE(os_IsWow64());  // this is a 64-bit process
  EXPECT_EQ(os_MachineName(), u"x64");
  os_WindowsVersion version{};
  EXPECT_TRUE(os_GetWindowsVersion(&version) && version.major >= 6);

  uint32_t cores = 0, logical = 0;
  os_ProcessorCounts(&cores, &logical);
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_TRUE(cores >= 1 && logical >= cores && logical == info.dwNumberOfProcessors) << cores << " " << logical;
  uint32_t architecture = 99;
  os_ProcessorArchitecture(&architecture, nullptr, nullptr);
  EXPECT_EQ(architecture, 9u);
  uint64_t total = 0, available = 0;
  ASSERT_TRUE(os_MemoryStatus(&total, &available));
  EXPECT_TRUE(available > 0 && available <= total) << available << " of " << total;
  EXPECT_NE(os_AppPackageQuery(), 1);  // a plain program runs from no package
  os_PowerStatus power{};
  EXPECT_TRUE(os_GetPowerStatus(&power));
}

// Windows can be made where wine runs with its null display driver (or on a
// real desktop); without one every notice must get its safe answer.
bool haveDesktop() {
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  if (probe != nullptr) DestroyWindow(probe);
  return probe != nullptr;
}

// Runs `act` on the dialog titled `title` once it is shown, controls and
// all (from another thread, as a person would, while the modal loop runs).
template <typename Act>
std::thread driveDialog(const wchar_t *title, Act act) {
  if (!haveDesktop()) return std::thread([] {});
  return std::thread([=] {
    for (int i = 0; i < 500; ++i, Sleep(10))
      if (HWND dialog = FindWindowW(L"#32770", title); dialog != nullptr && IsWindowVisible(dialog)) return act(dialog);
  });
}

TEST(WinSystem, MessageBoxesAndTheTextInputDialog) {
  const bool desktop = haveDesktop();
  std::thread yes = driveDialog(L"title", [](HWND box) { PostMessageW(box, WM_COMMAND, IDYES, 0); });
  EXPECT_EQ(os_ShowNotice(nullptr, u"text", u"title", os_NoticeYesNo | os_NoticeIconQuestion),
            desktop ? os_AnswerYes : os_AnswerNo);
  yes.join();

  char16_t buffer[5] = u"";
  std::vector<int> masks;
  std::thread typing = driveDialog(L"Enter KV5 Password", [&masks](HWND dialog) {
    HWND check = GetDlgItem(dialog, 124);
    auto mask = [&] { masks.push_back(int(SendDlgItemMessageW(dialog, 125, EM_GETPASSWORDCHAR, 0, 0))); };
    mask();
    SendMessageW(check, BM_CLICK, 0, 0);  // "Show Password"
    mask();
    SendMessageW(check, BM_CLICK, 0, 0);
    mask();
    SetDlgItemTextW(dialog, 125, L"s\u00e9cret");
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  });
  EXPECT_EQ(os_ShowTextInput(nullptr, u"Enter KV5 Password", u"hint", buffer, 5, true), desktop ? 1 : 0);
  typing.join();
  if (desktop) {
    EXPECT_EQ(std::u16string(buffer), u"s\u00e9cr");  // cut to the buffer
    // Masked, shown by the check box, masked again with the same character.
    EXPECT_TRUE(masks.size() == 3 && masks[0] != 0 && masks[1] == 0 && masks[2] == masks[0]) << masks.size();
  }
  std::thread closing = driveDialog(L"T", [](HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); });
  EXPECT_EQ(os_ShowTextInput(nullptr, u"T", u"M", buffer, 5, false), 0);
  closing.join();
}

TEST(WinSystem, FoldersEnvironmentAndInstallPath) {
  const std::pair<const char *, os_KnownFolder> overrides[] = {{"VGM_APPDATA_DIR", os_KnownFolder::commonAppData},
                                                               {"VGM_CONTENT_DIR", os_KnownFolder::publicDocuments},
                                                               {"VGM_TEMP_DIR", os_KnownFolder::temp}};
  for (auto [variable, folder] : overrides) {
    std::wstring name(variable, variable + strlen(variable));
    SetEnvironmentVariableW(name.c_str(), L"C:\\data\\\x00c4rger\\\\");
    EXPECT_EQ(os_GetEnvironment(variable), u"C:\\data\\\x00c4rger\\\\");
    EXPECT_EQ(os_GetKnownFolder(folder), u"C:\\data\\\x00c4rger") << variable;
    if (folder == os_KnownFolder::commonAppData) {
      EXPECT_EQ(os_GetUserAppDataFolder(), u"C:\\data\\\x00c4rger");
    }
    SetEnvironmentVariableW(name.c_str(), nullptr);
    EXPECT_EQ(os_GetEnvironment(variable), u"");
  }
  for (os_KnownFolder folder : {os_KnownFolder::commonAppData, os_KnownFolder::publicDocuments, os_KnownFolder::temp,
                                os_KnownFolder::home}) {
    std::u16string path = os_GetKnownFolder(folder);
    ASSERT_GT(path.size(), 3u) << int(folder);
    EXPECT_FALSE(os_IsPathSeparator(path.back()));
    EXPECT_NE(GetFileAttributesW(wide(path)), INVALID_FILE_ATTRIBUTES);
  }
  // The setting in the 32-bit view alone is found; the plain view wins when both have it.
  HKEY plain = nullptr, narrow = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"OrvinePhoto.Path", 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                            nullptr, &narrow, nullptr), ERROR_SUCCESS);
  RegSetValueExW(narrow, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(L"C:\\Old"), 14);
  EXPECT_EQ(os_InstallPathSetting(), u"C:\\Old");
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"OrvinePhoto.Path", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &plain,
                            nullptr), ERROR_SUCCESS);
  RegSetValueExW(plain, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(L"D:\\Photo"), 18);
  EXPECT_EQ(os_InstallPathSetting(), u"D:\\Photo");
  RegCloseKey(plain), RegCloseKey(narrow);
  RegDeleteKeyExW(HKEY_CLASSES_ROOT, L"OrvinePhoto.Path", KEY_WOW64_64KEY, 0);
  RegDeleteKeyExW(HKEY_CLASSES_ROOT, L"OrvinePhoto.Path", KEY_WOW64_32KEY, 0);
  EXPECT_EQ(os_InstallPathSetting(), u"");
}

TEST(WinSystem, UsersGroupAccessAndSystemAttribute) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::u16string path = reinterpret_cast<const char16_t *>(temp) + std::u16string(u"vgm_acl_\x00e9");
  std::u16string file = path + u"\\\x00e9t\x00e9.txt";
  ASSERT_TRUE(CreateDirectoryW(wide(path), nullptr));
  CloseHandle(CreateFileW(wide(file), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  ASSERT_EQ(os_FolderGrantUsers(path.c_str()), 1);
  // The list the grant writes: what was there stays, the Users entry is added
  // (wine keeps no access lists on its files, so the list itself is checked).
  BYTE users[SECURITY_MAX_SID_SIZE], everyone[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof users;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
  size = sizeof everyone;
  ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
  alignas(8) BYTE existing[256];
  auto *before = reinterpret_cast<PACL>(existing);
  ASSERT_TRUE(InitializeAcl(before, sizeof existing, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(before, ACL_REVISION, FILE_GENERIC_READ, everyone));
  for (bool isFolder : {true, false}) {
    DWORD code = 1;
    PACL acl = os_AclGrantingUsers(before, isFolder, &code);
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(code, DWORD{ERROR_SUCCESS});
    std::vector<std::tuple<bool, bool, DWORD, int>> seen;  // Users?, Everyone?, mask, flags
    for (DWORD i = 0; i < acl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE *ace = nullptr;
      ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void **>(&ace)));
      EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
      seen.emplace_back(EqualSid(&ace->SidStart, users) != 0, EqualSid(&ace->SidStart, everyone) != 0, ace->Mask,
                        ace->Header.AceFlags);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::tuple<bool, bool, DWORD, int>>{
                        {false, true, FILE_GENERIC_READ, 0},
                        {true, false, 0x1F01FF, isFolder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0}}));
    LocalFree(acl);
  }

  ASSERT_EQ(os_SetSystemAttribute(file.c_str()), 1);
  EXPECT_NE(GetFileAttributesW(wide(file)) & FILE_ATTRIBUTE_SYSTEM, 0u);
  EXPECT_EQ(os_FolderGrantUsers(file.c_str()), 1);

  std::u16string missing = path + u"\\missing";
  os_SetLastError(os_Error::none);
  EXPECT_EQ((std::pair{os_SetSystemAttribute(missing.c_str()), os_LastError()}), std::pair(0, os_Error::notFound));
  EXPECT_EQ(os_FolderGrantUsers(missing.c_str()), 0);
  EXPECT_EQ((std::pair{os_FolderGrantUsers(std::u16string(300, u'a').c_str()), os_LastError()}),
            std::pair(0, os_Error::pathTooLong));
  EXPECT_FALSE(os_UserLoginName().empty());
  SetFileAttributesW(wide(file), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileW(wide(file)) && RemoveDirectoryW(wide(path)));
}

TEST(WinSystem, SrgbThroughTheSystemColourManagement) {
  const int open = os_ColourOpenProfiles();
  std::vector<std::u16string> folders = os_ColourSystemFolders();
  ASSERT_EQ(folders.size(), 1u);
  SetEnvironmentVariableW(L"VGM_ICC_DIRS", L"C:\\a;;D:\\b");
  EXPECT_EQ(os_ColourSystemFolders(), (std::vector<std::u16string>{u"C:\\a", u"D:\\b"}));
  SetEnvironmentVariableW(L"VGM_ICC_DIRS", L"");
  EXPECT_TRUE(os_ColourSystemFolders().empty());  // set but empty: none
  SetEnvironmentVariableW(L"VGM_ICC_DIRS", nullptr);

  std::vector<unsigned char> junk(4096, 0x41);
  EXPECT_EQ(os_ColourProfileFromMemory(junk.data(), junk.size()), nullptr);
  EXPECT_EQ(os_ColourProfileFromFile(u"C:\\no\\such.icc"), nullptr);
  std::vector<unsigned char> linear = linearRgbProfile();
  os_ColourTransform *transform =
      os_ColourTransformCreate(os_ColourProfileFromMemory(linear.data(), linear.size()), os_ColourProfileSrgb());
  ASSERT_NE(transform, nullptr);
  EXPECT_EQ(os_ColourOpenProfiles(), open);  // the transform keeps no profile open
  // Into another buffer, then in place: the colours within the system's
  // rounding, the destination's fourth byte kept either way.
  uint32_t in[2] = {0x01FF8040, 0x02C01000}, out[2] = {0xAAAAAAAA, 0xBBBBBBBB};
  ASSERT_TRUE(os_ColourTranslate(transform, os_ColourFormat::xrgb, in, out, 2));
  ASSERT_TRUE(os_ColourTranslate(transform, os_ColourFormat::xrgb, in, in, 2));
  const int expected[2][4] = {{137, 188, 255, 0xAA}, {0, 71, 225, 0xBB}};  // blue, green, red, fourth
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(in[i], (out[i] & 0xFFFFFF) | (i + 1u) << 24);
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(int(out[i] >> (8 * c) & 0xFF), expected[i][c], 3) << i << " " << c;
  }
  unsigned char lab[3] = {128, 128, 128};
  uint32_t untouched = 0x12345678;
  EXPECT_FALSE(os_ColourTranslate(transform, os_ColourFormat::lab8, lab, &untouched, 1));
  EXPECT_EQ(untouched, 0x12345678u);
  os_ColourTransformDelete(transform);
  EXPECT_EQ(os_ColourTransformCreate(nullptr, os_ColourProfileSrgb()), nullptr);
  EXPECT_EQ(os_ColourOpenProfiles(), open);
}
