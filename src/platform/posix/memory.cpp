// Global memory blocks for the POSIX build. A block carries a hidden header
// (magic, size, flags). The live blocks are chained through their headers
// into a fixed hash table, so the validity check is exact even for handles
// that were never ours, and the table itself owns no memory: nothing of it
// is left behind when the library is unloaded.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/os.h"

namespace {

constexpr uint64_t kBlockMagic = 0x4B4C42474D47564Full;  // "OVGMGBLK"
constexpr size_t kBuckets = 4096;

struct alignas(16) BlockHeader {
  uint64_t magic;
  uint64_t size;
  BlockHeader *next;  // chain of the block's bucket
  uint32_t flags;
};

std::mutex gLiveLock;
thread_local os_AllocationHook gAllocationHook = nullptr;
BlockHeader *gBuckets[kBuckets];

size_t bucketOf(const void *block) {
  auto address = reinterpret_cast<uintptr_t>(block);
  return (address >> 4 ^ address >> 16) % kBuckets;
}

BlockHeader *headerOf(HGLOBAL block) {
  return reinterpret_cast<BlockHeader *>(static_cast<unsigned char *>(block) - sizeof(BlockHeader));
}

// The header of a live block, or null; the caller holds gLiveLock.
BlockHeader *findLive(HGLOBAL block) {
  if (block == nullptr) return nullptr;
  for (BlockHeader *header = gBuckets[bucketOf(block)]; header != nullptr; header = header->next)
    if (header + 1 == block) return header;
  return nullptr;
}

}  // namespace

void os_SetAllocationHook(os_AllocationHook hook) { gAllocationHook = hook; }

bool os_GlobalShrink(HGLOBAL block, size_t bytes) {
  std::lock_guard<std::mutex> guard(gLiveLock);
  BlockHeader *header = findLive(block);
  if (header == nullptr || bytes > header->size) return false;
  if (gAllocationHook != nullptr) gAllocationHook(-static_cast<int64_t>(header->size - bytes));
  header->size = bytes;
  return true;
}

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
  std::lock_guard<std::mutex> guard(gLiveLock);
  BlockHeader *&bucket = gBuckets[bucketOf(block)];
  header->next = bucket;
  bucket = header;
  if (gAllocationHook != nullptr) gAllocationHook(static_cast<int64_t>(bytes));
  return block;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  if (block == nullptr) return nullptr;
  {
    std::lock_guard<std::mutex> guard(gLiveLock);
    BlockHeader **link = &gBuckets[bucketOf(block)];
    while (*link != nullptr && *link + 1 != block) link = &(*link)->next;
    if (*link == nullptr) {
      os_SetLastError(os_Error::invalidArgument);
      return block;
    }
    *link = (*link)->next;
  }
  BlockHeader *header = headerOf(block);
  if (gAllocationHook != nullptr) gAllocationHook(-static_cast<int64_t>(header->size));
  header->magic = 0;
  std::free(header);
  return nullptr;
}

SIZE_T GlobalSize(HGLOBAL block) {
  std::lock_guard<std::mutex> guard(gLiveLock);
  BlockHeader *header = findLive(block);
  return header != nullptr ? static_cast<SIZE_T>(header->size) : 0;
}

UINT GlobalFlags(HGLOBAL block) {
  std::lock_guard<std::mutex> guard(gLiveLock);
  BlockHeader *header = findLive(block);
  return header != nullptr && header->magic == kBlockMagic ? 0u : GMEM_INVALID_HANDLE;
}

void *GlobalLock(HGLOBAL block) {
  std::lock_guard<std::mutex> guard(gLiveLock);
  return findLive(block) != nullptr ? block : nullptr;
}

BOOL GlobalUnlock(HGLOBAL block) {
  (void)block;
  return FALSE;  // fixed blocks have no lock count
}

}  // extern "C"
