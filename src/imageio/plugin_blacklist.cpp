#include "imageio/plugin_blacklist.h"

#include <mutex>

#include "hostenv/folders.h"
#include "imageio/plugin_files.h"
#include "platform/os.h"

namespace {

constexpr size_t kMaxFileBytes = 4u << 20;

struct Snapshot {
  std::shared_ptr<const std::u16string> text;
  uint64_t readMs = 0;
};

std::mutex gSnapshotLock;  // guards only the pointer swap
Snapshot gSnapshot;
std::mutex gAddLock;  // one writer at a time, so two adds never lose each other

std::u16string filePath() {
  char16_t folder[os_MaxPath];
  if (!env_GetAppDataFolder(folder)) return {};
  std::u16string path = io_JoinPath(folder, kBlacklistFileName);
  return path.size() < os_MaxPath ? path : std::u16string();
}

std::u16string readFile(const std::u16string &path) {
  if (path.empty()) return {};
  os_File *file = os_FileOpen(path.c_str(), os_AccessRead, os_ShareRead | os_ShareWrite, os_Disposition::openExisting);
  if (file == nullptr) return {};
  std::string bytes;
  char chunk[8192];
  for (size_t done = 0; bytes.size() < kMaxFileBytes;) {
    if (!os_FileRead(file, chunk, sizeof chunk, &done) || done == 0) break;
    bytes.append(chunk, done);
  }
  os_FileClose(file);
  return io_BlacklistDecode(bytes.data(), bytes.size());
}

void publish(std::u16string text) {
  auto shared = std::make_shared<const std::u16string>(std::move(text));
  std::lock_guard<std::mutex> guard(gSnapshotLock);
  gSnapshot = {std::move(shared), io_NowMs()};
}

bool isTrimmed(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

void writeFile(const std::u16string &path, const std::u16string &text) {
  if (path.empty()) return;
  if (text.empty()) {
    os_FileDelete(path.c_str());
    return;
  }
  bool wide = false;
  for (char16_t c : text) wide = wide || c > 0xFF;
  // 8-bit text that opens like a byte-order mark would read back as UTF-16.
  wide = wide || (text.size() >= 2 && text[0] == 0xFF && text[1] == 0xFE);
  std::string bytes;
  if (wide) {
    bytes.reserve(2 + text.size() * 2);
    bytes += "\xFF\xFE";
    for (char16_t c : text) {
      bytes += static_cast<char>(c & 0xFF);
      bytes += static_cast<char>(c >> 8);
    }
  } else {
    for (char16_t c : text) bytes += static_cast<char>(c);
  }
  // Written aside and moved over the old list: never half a list.
  std::u16string temporary = path + u".~new";
  os_File *file = os_FileOpen(temporary.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways);
  if (file == nullptr) return;
  bool ok = os_FileWrite(file, bytes.data(), bytes.size()) != 0;
  os_FileClose(file);
  if (!ok || !os_FileMove(temporary.c_str(), path.c_str(), true)) {
    os_FileDelete(temporary.c_str());
    return;
  }
  // Every account may update the list. (A no-op where files are private to the user.)
  os_FolderGrantUsers(path.c_str());
}

}  // namespace

std::u16string io_BlacklistDecode(const void *bytes, size_t size) {
  const auto *data = static_cast<const unsigned char *>(bytes);
  std::u16string text;
  if (data == nullptr) return text;
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    text.reserve((size - 2) / 2);
    for (size_t i = 2; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  } else {
    text.assign(data, data + size);
  }
  return text;
}

std::shared_ptr<const std::u16string> io_BlacklistText() {
  uint64_t now = io_NowMs();
  {
    std::lock_guard<std::mutex> guard(gSnapshotLock);
    if (gSnapshot.text && now >= gSnapshot.readMs && now - gSnapshot.readMs <= kBlacklistMaxAgeMs) return gSnapshot.text;
  }
  // Read outside the pointer lock: two threads may both read; the later wins.
  publish(readFile(filePath()));
  std::lock_guard<std::mutex> guard(gSnapshotLock);
  return gSnapshot.text;
}

bool io_BlacklistHas(std::u16string_view text, std::u16string_view path) {
  return !path.empty() && text.find(path) != std::u16string_view::npos;
}

bool io_BlacklistContains(std::u16string_view path) { return io_BlacklistHas(*io_BlacklistText(), path); }

void io_BlacklistAdd(std::u16string_view path) {
  std::lock_guard<std::mutex> guard(gAddLock);
  // Read afresh rather than from the copy: another process may have added since.
  std::u16string file = filePath();
  std::u16string text = readFile(file);
  if (path.empty() || io_BlacklistHas(text, path)) {
    publish(std::move(text));
    return;
  }
  text += u"\r\n";
  text += path;
  size_t first = 0, last = text.size();
  while (first < last && isTrimmed(text[first])) ++first;
  while (last > first && isTrimmed(text[last - 1])) --last;
  text = text.substr(first, last - first);
  writeFile(file, text);
  publish(std::move(text));
}

void io_BlacklistForget() {
  std::lock_guard<std::mutex> guard(gSnapshotLock);
  gSnapshot = {};
}
