// The installed-plug-in list: every "*.dll" below the plug-in folder (down
// to 5 levels, blacklisted ones left out), in sorted walk order. Each scan
// makes a new immutable list; a caller keeps its list as long as it holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

inline constexpr size_t kPluginListMax = 1023;
inline constexpr int kPluginListDepth = 5;
inline constexpr size_t kPluginListBlockStep = 4096;  // bytes

class io_PluginList {
 public:
  size_t count() const { return offsets_.size(); }
  std::u16string_view at(size_t index) const;
  uint64_t scannedMs() const { return scannedMs_; }
  size_t blockBytes() const { return blockBytes_; }

 private:
  friend std::shared_ptr<const io_PluginList> io_ScanPluginFolder(const std::u16string &folder, std::u16string_view blacklist);
  std::vector<char16_t> block_;  // the paths, each zero-terminated
  std::vector<uint32_t> offsets_;
  size_t blockBytes_ = 0;
  uint64_t scannedMs_ = 0;
};

// How long a scan stays fresh: 30 s on mains power; on battery 45 s plus
// 0.8333 s per missing percent at 10 % or more, and 150 s below 10 %.
uint64_t io_PluginListFreshMs(const os_PowerStatus &power);
// The list, rescanned when the last scan is no longer fresh (never null).
std::shared_ptr<const io_PluginList> io_ListInstalledPlugins();
// A fresh scan of `folder` leaving out paths that occur in `blacklist`.
std::shared_ptr<const io_PluginList> io_ScanPluginFolder(const std::u16string &folder, std::u16string_view blacklist);
// Forgets the current list, so the next call scans.
void io_PluginListForget();
