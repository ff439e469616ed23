// Memory services on Windows. The Global* calls are the system's own here,
// so the library keeps no block table of its own.
#include "platform/os_memory_probe.h"
#include "platform/win32/win_support.h"

namespace {
thread_local os_AllocationHook tAllocationHook = nullptr;
}

size_t os_PageSize() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwPageSize != 0 ? info.dwPageSize : 4096;
}

void os_SecureWipe(void *data, size_t size) {
  if (data != nullptr) SecureZeroMemory(data, size);
}

void os_AdviseBulkFill(void *address, size_t length) {
  // Big pages need a privilege ordinary accounts lack and cannot be asked
  // for on memory that is already reserved: a hint with nothing to act on.
  (void)address, (void)length;
}

// The system's GlobalAlloc cannot report to a hook: the hook is kept so that
// the calling code stays the same, and measurements of global memory are
// taken on the POSIX build.
void os_SetAllocationHook(os_AllocationHook hook) { tAllocationHook = hook; }

#undef GlobalAlloc
HGLOBAL WINAPI os_GlobalAlloc(UINT flags, SIZE_T bytes) {
  if (os_FaultDue(os_FaultKind::allocation)) {
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  HGLOBAL block = GlobalAlloc(flags, bytes);
  if (block == nullptr) os_SetLastError(os_Error::outOfMemory);
  return block;
}

bool os_GlobalShrink(HGLOBAL block, size_t bytes) {
  if (block == nullptr || GlobalFlags(block) == GMEM_INVALID_HANDLE || bytes > GlobalSize(block)) return false;
  // Without GMEM_MOVEABLE a fixed block is resized in place or not at all.
  return bytes == GlobalSize(block) || GlobalReAlloc(block, bytes, 0) == block;
}
