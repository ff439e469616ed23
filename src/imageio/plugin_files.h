// Plug-in files: the plug-in folder, the clock the registries age by,
// sorted folder listings, locating a plug-in by file name, loading it with
// the libraries it needs, and the diagnosis of a table plug-in that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

// The plug-in folder every search starts from (set at attach).
void io_SetPluginFolder(const char16_t *folder);
std::u16string io_PluginFolder();

// Wall-clock time (100-ns units since 1601) and a millisecond tick for ages.
// A test clock, when set, stands in for both (0 restores the system's).
uint64_t io_Now100ns();
uint64_t io_NowMs();
void io_SetClockForTests(uint64_t utc_100ns);
// Whole hours since 1601, as registries stamp them.
inline uint32_t io_HourStamp(uint64_t utc_100ns) { return static_cast<uint32_t>(utc_100ns / 10000000u / 3600u); }

// The entries of a folder matching `pattern`, sorted by name ignoring case,
// so that "first match" and probing order are the same on every machine.
struct io_FolderEntry {
  std::u16string name;
  bool isFolder;
};
std::vector<io_FolderEntry> io_ListFolderSorted(const std::u16string &folder, const char16_t *pattern);
std::u16string io_JoinPath(std::u16string_view folder, std::u16string_view name);
// The file-name part of a path.
std::u16string_view io_FileNameOf(std::u16string_view path);

// Finds a plug-in file by name: directly in the plug-in folder, then one and
// then two folder levels below it. Paths must fit os_MaxPath with the
// terminator. True and the full path, or false.
bool io_LocatePlugin(std::u16string_view file_name, std::u16string *path);

// Loads a plug-in by full path; libraries it needs that the system cannot
// find are looked for in the host program's folder, the plug-in folder, its
// "Dependencies", "Codecs" in the application folder, then the plug-in's own
// folder and its ancestors. Null on failure.
os_Module *io_LoadPlugin(const char16_t *path);
// The folders of that sequence, in order, each once.
std::vector<std::u16string> io_DependencyFolders(std::u16string_view plugin_path);

// After a failed load (sub-code 4) or save (5): explains the failure when the
// table's plug-in for the extension is missing or does not load, or when it
// loads but answered -1. May change `code` and rewrite `text` (a buffer of
// kMessageCapacity units holding the earlier text).
void io_DiagnoseExtension(std::u16string_view extension, int32_t *code, int32_t sub_code, char16_t *text);
void io_DiagnosePluginFile(std::u16string_view plugin_file, int32_t *code, int32_t sub_code, char16_t *text);
