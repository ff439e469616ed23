// Bitmaps and device contexts: the small part of GDI the raster engine uses.
// On Windows these are the system's own calls; posix/bitmap*.cpp implements
// them in memory: DIB sections are pixel blocks, a memory device context is a
// record that holds one selected bitmap and an optional clip rectangle, and
// copies between them are plain row copies. Scaled copies go through the
// stretcher that the raster engine installs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vgm/vgm_compat.h"

#if !defined(_WIN32)

extern "C" {

typedef HANDLE HRGN;
typedef uint32_t COLORREF;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;   // exclusive
  LONG bottom;  // exclusive
} RECT;

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT;

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;

typedef struct tagRGBTRIPLE {
  BYTE rgbtBlue;
  BYTE rgbtGreen;
  BYTE rgbtRed;
} RGBTRIPLE;

typedef struct tagBITMAPCOREHEADER {
  DWORD bcSize;
  WORD bcWidth;
  WORD bcHeight;
  WORD bcPlanes;
  WORD bcBitCount;
} BITMAPCOREHEADER;

typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;  // negative: rows run top-down
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER;

typedef struct tagCIEXYZ {
  LONG ciexyzX, ciexyzY, ciexyzZ;
} CIEXYZ;
typedef struct tagCIEXYZTRIPLE {
  CIEXYZ ciexyzRed, ciexyzGreen, ciexyzBlue;
} CIEXYZTRIPLE;

typedef struct tagBITMAPV5HEADER {
  DWORD bV5Size;
  LONG bV5Width;
  LONG bV5Height;
  WORD bV5Planes;
  WORD bV5BitCount;
  DWORD bV5Compression;
  DWORD bV5SizeImage;
  LONG bV5XPelsPerMeter;
  LONG bV5YPelsPerMeter;
  DWORD bV5ClrUsed;
  DWORD bV5ClrImportant;
  DWORD bV5RedMask;
  DWORD bV5GreenMask;
  DWORD bV5BlueMask;
  DWORD bV5AlphaMask;
  DWORD bV5CSType;
  CIEXYZTRIPLE bV5Endpoints;
  DWORD bV5GammaRed;
  DWORD bV5GammaGreen;
  DWORD bV5GammaBlue;
  DWORD bV5Intent;
  DWORD bV5ProfileData;
  DWORD bV5ProfileSize;
  DWORD bV5Reserved;
} BITMAPV5HEADER;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO;

typedef struct tagDIBSECTION {
  BITMAP dsBm;
  BITMAPINFOHEADER dsBmih;
  DWORD dsBitfields[3];
  HANDLE dshSection;
  DWORD dsOffset;
} DIBSECTION;

static_assert(sizeof(BITMAPCOREHEADER) == 12, "core header layout");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "info header layout");
static_assert(sizeof(BITMAPV5HEADER) == 124, "version-5 header layout");

enum : DWORD {
  BI_RGB = 0,
  BI_RLE8 = 1,
  BI_RLE4 = 2,
  BI_BITFIELDS = 3,
  BI_JPEG = 4,
  BI_PNG = 5,
  BI_ALPHABITFIELDS = 6,
};
enum : DWORD { LCS_sRGB = 0x73524742 };  // 'sRGB'
enum : UINT { DIB_RGB_COLORS = 0, DIB_PAL_COLORS = 1 };
enum : DWORD { SRCCOPY = 0x00CC0020 };
enum : int { BLACKONWHITE = 1, COLORONCOLOR = 3, HALFTONE = 4 };
enum : DWORD { OBJ_BITMAP = 7, OBJ_DC = 3, OBJ_MEMDC = 10, OBJ_REGION = 8 };
// Region kinds returned by the clip calls.
enum : int { RGN_ERROR = 0, NULLREGION = 1, SIMPLEREGION = 2, COMPLEXREGION = 3 };

// Device contexts. Only memory device contexts exist here; the argument of
// CreateCompatibleDC is accepted and ignored (there is no screen). A new one
// holds the shared 1 x 1 monochrome initial bitmap.
HDC CreateCompatibleDC(HDC reference);
BOOL DeleteDC(HDC dc);
// Selects a bitmap into a memory device context; the previous bitmap, or
// null when the bitmap is selected into another context or a handle is bad.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
HGDIOBJ GetCurrentObject(HDC dc, UINT type);
// OBJ_* of a live object, 0 for anything else.
DWORD GetObjectType(HGDIOBJ object);
BOOL GdiFlush(void);

// Bitmaps. CreateDIBSection takes 24- or 32-bit BI_RGB or BI_BITFIELDS
// headers (40 to 124 bytes); the memory is zero-filled. Out of memory sets
// os_Error::outOfMemory (see os_LastError) so callers can tell it from a
// refused header.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage, void **bits, HANDLE section, DWORD offset);
// Rows of a bitmap into `bits` in the format of `info` (24 or 32 bits, BI_RGB
// or BI_BITFIELDS; negative height for top-down). With null `bits` fills the
// header with the bitmap's own format instead. Result: rows copied.
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void *bits, BITMAPINFO *info, UINT usage);

// Clip regions: rectangles only.
HRGN CreateRectRgn(int left, int top, int right, int bottom);
// Replaces the context's clip by a copy of `region` (null removes it).
int SelectClipRgn(HDC dc, HRGN region);
// The clip rectangle, or the selected bitmap's bounds when there is none.
int GetClipBox(HDC dc, RECT *rect);

int SetStretchBltMode(HDC dc, int mode);
BOOL SetBrushOrgEx(HDC dc, int x, int y, POINT *previous);

// Copies between the bitmaps selected into two contexts (SRCCOPY only),
// clipped to both bitmaps and to the destination's clip region.
BOOL BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int src_x, int src_y, DWORD rop);
// Equal sizes copy as BitBlt; scaled copies take any source bitmap and need
// a 32-bit top-down destination and an installed stretcher (FALSE otherwise).
BOOL StretchBlt(HDC dst, int x, int y, int width, int height, HDC src, int src_x, int src_y, int src_width,
                int src_height, DWORD rop);
// Draws packed rows described by `info`. Result: rows drawn, 0 when refused
// (unsupported formats; scaled copies need the stretcher).
int StretchDIBits(HDC dst, int x, int y, int width, int height, int src_x, int src_y, int src_width,
                  int src_height, const void *bits, const BITMAPINFO *info, UINT usage, DWORD rop);

}  // extern "C"

#else
#  include <windows.h>
// The system's CreateDIBSection knows nothing of injected allocation
// faults: the library's calls take this checkpoint first.
HBITMAP WINAPI os_CreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage, void **bits, HANDLE section, DWORD offset);
#  define CreateDIBSection os_CreateDIBSection
// mingw's headers lack the first and spell the second as a multi-character
// constant, which -Wmultichar refuses.
#  ifndef BI_ALPHABITFIELDS
#    define BI_ALPHABITFIELDS 6
#  endif
#  undef LCS_sRGB
#  define LCS_sRGB 0x73524742L
#endif

// Scaled copies of 32-bit pixels, from a rectangle of one buffer into a
// rectangle of another, clipped to `clip` (left, top, exclusive right and
// bottom; null for none). The raster engine installs its resampler at start;
// without one, scaled copies are refused.
using os_StretchPixels = int32_t (*)(uint32_t *dst, int32_t dst_w, int32_t dst_h, int32_t dst_stride, int32_t x,
                                     int32_t y, int32_t w, int32_t h, const uint32_t *src, int32_t src_w,
                                     int32_t src_h, int32_t src_stride, int32_t sx, int32_t sy, int32_t sw,
                                     int32_t sh, const int32_t *clip);
void os_SetBitmapStretcher(os_StretchPixels stretcher);

// True when the last bitmap call that failed on this thread ran out of
// memory (Windows reports it through its own error code, not os_LastError).
bool os_BitmapFailedForMemory();
