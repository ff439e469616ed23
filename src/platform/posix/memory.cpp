// Global memory blocks for the POSIX build. A block carries a hidden header
// (magic, size, flags); a set of live blocks makes the validity check exact
// even for handles that were never ours.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/os.h"

namespace {

constexpr uint64_t kBlockMagic = 0x4B4C42474D47564Full;  // "OVGMGBLK"

struct alignas(16) BlockHeader {
  uint64_t magic;
  uint64_t size;
  uint32_t flags;
};

std::mutex &liveLock() {
  static std::mutex lock;
  return lock;
}
std::unordered_set<const void *> &liveBlocks() {
  static auto *blocks = new std::unordered_set<const void *>();  // outlives every static destructor
  return *blocks;
}

BlockHeader *headerOf(HGLOBAL block) {
  return reinterpret_cast<BlockHeader *>(static_cast<unsigned char *>(block) - sizeof(BlockHeader));
}

bool isLive(HGLOBAL block) {
  if (block == nullptr) return false;
  std::lock_guard<std::mutex> guard(liveLock());
  return liveBlocks().count(block) != 0;
}

}  // namespace

extern "C" {

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  if (os_FaultDue(os_FaultKind::allocation) || bytes > SIZE_MAX - sizeof(BlockHeader)) {
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  // Blocks of 0 bytes still get a distinct address, as callers compare them.
  void *raw = (flags & GMEM_ZEROINIT) ? std::calloc(1, sizeof(BlockHeader) + bytes)
                                      : std::malloc(sizeof(BlockHeader) + bytes);
  if (raw == nullptr) {
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  auto *header = static_cast<BlockHeader *>(raw);
  header->magic = kBlockMagic;
  header->size = bytes;
  header->flags = flags;
  HGLOBAL block = header + 1;
  try {
    std::lock_guard<std::mutex> guard(liveLock());
    liveBlocks().insert(block);
  } catch (const std::bad_alloc &) {
    std::free(raw);
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  return block;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  if (block == nullptr) return nullptr;
  {
    std::lock_guard<std::mutex> guard(liveLock());
    if (liveBlocks().erase(block) == 0) {
      os_SetLastError(os_Error::invalidArgument);
      return block;
    }
  }
  BlockHeader *header = headerOf(block);
  header->magic = 0;
  std::free(header);
  return nullptr;
}

SIZE_T GlobalSize(HGLOBAL block) {
  return isLive(block) ? static_cast<SIZE_T>(headerOf(block)->size) : 0;
}

UINT GlobalFlags(HGLOBAL block) {
  return isLive(block) && headerOf(block)->magic == kBlockMagic ? 0u : GMEM_INVALID_HANDLE;
}

void *GlobalLock(HGLOBAL block) { return isLive(block) ? block : nullptr; }

BOOL GlobalUnlock(HGLOBAL block) {
  (void)block;
  return FALSE;  // fixed blocks have no lock count
}

}  // extern "C"
