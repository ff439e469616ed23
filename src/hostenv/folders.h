// The suite's shared folders: the application and plug-in folders, the
// application-data and content folders (with the one-time move of the older
// sibling product's data), the temporary root and the per-process session
// folders, and the clean-up of session folders whose process has ended.
// Paths never exceed os_MaxPath units with the terminator: an operation
// whose result would not fit fails and leaves the caller's buffer alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr const char16_t *kEnvProductFolder = u"Orvine Photo";
inline constexpr const char16_t *kEnvSiblingFolder = u"Orvine Draw KTA";
inline constexpr const char16_t *kEnvPackageVersion = u"5.43.01";
inline constexpr const char16_t *kEnvPackageMarker = u"_msix_ver.ini";
inline constexpr uint32_t kEnvTempTestMilliseconds = 60000;

// `buffer` holds os_MaxPath units. 1 and the path, or 0.
int env_GetAppFolder(char16_t *buffer);
// `base` (or, when null or empty, the application folder) plus "Plugins".
int env_GetPluginFolder(char16_t *buffer, size_t capacity, const char16_t *base);
// `buffer` holds os_MaxPath units; created on first use.
int env_GetAppDataFolder(char16_t *buffer);
int env_GetContentFolder(char16_t *buffer, size_t capacity);
// The temporary root with a trailing separator; its length (at least 4), or 0.
int env_GetTempRoot(char16_t *buffer, size_t capacity);
// Creates this process's session folder and writes its path; 0 when it would
// not fit or there is no temporary root. With no buffer and no capacity it
// cleans up the session folders of ended processes instead (result 0).
int env_GetSessionFolder(char16_t *buffer, size_t capacity);
int env_CleanStaleSessions();

// App packages: the path rule (a "WindowsApps" folder anywhere in the
// executable's path) and the package's virtual file-system root (the path
// up to and including its first "VFS" folder and separator; empty if none).
bool env_IsAppPackagePath(std::u16string_view executable_path);
std::u16string env_PackageVfsRoot(std::u16string_view executable_path);
// Decided once per process: the system's query, else the path rule.
bool env_RunsFromAppPackage();

// Moves a folder's content into `to`: as a whole when possible, else entry by
// entry, replacing files of the same name. The emptied source is removed.
// Returns the number of entries moved.
int env_MoveFolder(const char16_t *from, const char16_t *to);
// Deletes a folder tree; refuses paths shorter than 3 units and anything that
// is not an existing folder (links included).
int env_DeleteFolderTree(const char16_t *path);
// The process identifier a session-folder name carries (the eight hex digits
// after its last '_'), or 0 when it carries none.
uint32_t env_SessionProcessId(std::u16string_view name);

// Drops every cached folder and verdict; a non-null `executable_path` stands
// in for the program's own path from then on (null restores the real one).
void env_ResetForTests(const char16_t *executable_path);
