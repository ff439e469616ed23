// Bitmaps and device contexts are the system's own GDI objects on Windows:
// windows.h declares every call of os_bitmap.h and gdi32 carries them out.
// The system's StretchBlt and StretchDIBits resample by themselves (HALFTONE
// mode), so the raster engine's stretcher has nothing to take over here.
#include "platform/os.h"
#include "platform/os_bitmap.h"

void os_SetBitmapStretcher(os_StretchPixels stretcher) { (void)stretcher; }

#undef CreateDIBSection
HBITMAP WINAPI os_CreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage, void **bits, HANDLE section, DWORD offset) {
  if (os_FaultDue(os_FaultKind::allocation)) {
    if (bits != nullptr) *bits = nullptr;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // what os_BitmapFailedForMemory reads
    return nullptr;
  }
  return CreateDIBSection(dc, info, usage, bits, section, offset);
}

bool os_BitmapFailedForMemory() {
  DWORD code = GetLastError();
  return code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY;
}
