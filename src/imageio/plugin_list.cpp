#include "imageio/plugin_list.h"

#include <cstring>
#include <mutex>

#include "imageio/format_table.h"
#include "imageio/plugin_blacklist.h"
#include "imageio/plugin_files.h"

namespace {

std::mutex gListLock;  // guards only the pointer swap
std::shared_ptr<const io_PluginList> gList;

bool skipped(std::u16string_view name) {
  for (std::u16string_view skip : {u"Thumbs.db", u"Desktop.ini", u"$RECYCLE.BIN", u"flt_DSHOW.dll"})
    if (io_SameIgnoringCase(name, skip)) return true;
  return false;
}

bool isPluginFile(std::u16string_view name) {
  return name.size() > 4 && io_SameIgnoringCase(name.substr(name.size() - 4), u".dll");
}

struct Scan {
  std::vector<char16_t> *block;
  std::vector<uint32_t> *offsets;
  size_t *blockBytes;
  std::u16string_view blacklist;
};

void append(Scan &scan, const std::u16string &path) {
  size_t needed = (scan.block->size() + path.size() + 1) * sizeof(char16_t);
  if (needed > *scan.blockBytes) {
    // Grows to a quarter more than needed, in whole steps.
    size_t grown = needed + needed / 4;
    *scan.blockBytes = (grown + kPluginListBlockStep - 1) / kPluginListBlockStep * kPluginListBlockStep;
    scan.block->reserve(*scan.blockBytes / sizeof(char16_t));
  }
  scan.offsets->push_back(static_cast<uint32_t>(scan.block->size()));
  scan.block->insert(scan.block->end(), path.begin(), path.end());
  scan.block->push_back(0);
}

void scanFolder(Scan &scan, const std::u16string &folder, int level) {
  for (const io_FolderEntry &entry : io_ListFolderSorted(folder, u"*")) {
    if (scan.offsets->size() >= kPluginListMax) return;
    if (skipped(entry.name)) continue;
    std::u16string path = io_JoinPath(folder, entry.name);
    if (path.size() >= os_MaxPath) continue;
    if (entry.isFolder) {
      if (level < kPluginListDepth) scanFolder(scan, path, level + 1);
    } else if (isPluginFile(entry.name) && !io_BlacklistHas(scan.blacklist, path)) {
      append(scan, path);
    }
  }
}

constexpr uint64_t kPluginListShortestFreshMs = 30000;

}  // namespace

std::u16string_view io_PluginList::at(size_t index) const {
  if (index >= offsets_.size()) return {};
  return std::u16string_view(block_.data() + offsets_[index]);
}

uint64_t io_PluginListFreshMs(const os_PowerStatus &power) {
  if (!power.batteryPresent || power.acOnline) return kPluginListShortestFreshMs;
  unsigned percent = power.percent > 100 ? 100 : power.percent;
  if (percent < 10) return 150000;
  return 45000 + (100 - percent) * 8333 / 10;
}

std::shared_ptr<const io_PluginList> io_ScanPluginFolder(const std::u16string &folder, std::u16string_view blacklist) {
  auto list = std::make_shared<io_PluginList>();
  list->blockBytes_ = kPluginListBlockStep;
  list->block_.reserve(kPluginListBlockStep / sizeof(char16_t));
  Scan scan{&list->block_, &list->offsets_, &list->blockBytes_, blacklist};
  if (!folder.empty()) scanFolder(scan, folder, 0);
  list->scannedMs_ = io_NowMs();
  return list;
}

std::shared_ptr<const io_PluginList> io_ListInstalledPlugins() {
  std::shared_ptr<const io_PluginList> current;
  {
    std::lock_guard<std::mutex> guard(gListLock);
    current = gList;
  }
  if (current) {
    uint64_t now = io_NowMs();
    if (now >= current->scannedMs()) {
      // No power status keeps a list for less than 30 s: younger lists need
      // no look at the power supplies (a folder walk and several file reads).
      uint64_t age = now - current->scannedMs();
      if (age < kPluginListShortestFreshMs) return current;
      os_PowerStatus power{false, true, 255};
      os_GetPowerStatus(&power);
      if (age < io_PluginListFreshMs(power)) return current;
    }
  }
  // Scanned without any lock: two threads may both scan; the later list wins.
  std::shared_ptr<const std::u16string> blacklist = io_BlacklistText();
  std::shared_ptr<const io_PluginList> fresh = io_ScanPluginFolder(io_PluginFolder(), *blacklist);
  std::lock_guard<std::mutex> guard(gListLock);
  gList = fresh;
  return fresh;
}

void io_PluginListForget() {
  std::lock_guard<std::mutex> guard(gListLock);
  gList.reset();
}
