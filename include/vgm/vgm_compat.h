/* The few Windows types and functions that cross the library's boundary.
 * On Windows they come from <windows.h>; elsewhere the library provides them. */
#ifndef VGM_COMPAT_H
#define VGM_COMPAT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  include <windows.h>
#  define VGM_API WINAPI
#  if defined(VGM_BUILDING_LIBRARY)
#    define VGM_EXPORT __declspec(dllexport)
#  else
#    define VGM_EXPORT __declspec(dllimport)
#  endif
#else
#  define VGM_API
#  define VGM_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
/* UTF-16 code unit: char16_t in C++ so that u"..." literals pass as they are. */
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint_least16_t WCHAR;
#endif
typedef void *HANDLE;
typedef HANDLE HGLOBAL;
typedef HANDLE HWND;
typedef HANDLE HDC;
typedef HANDLE HBITMAP;
typedef HANDLE HGDIOBJ;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef size_t SIZE_T;

#ifndef TRUE
#  define TRUE 1
#endif
#ifndef FALSE
#  define FALSE 0
#endif

/* Global memory: a handle is the block's address (every block is fixed). */
#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define GMEM_INVALID_HANDLE 0x8000u

/* A new block of at least `bytes` bytes (zero-filled with GMEM_ZEROINIT), or null. */
VGM_EXPORT HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
/* Null when the block was freed; the handle itself when it is not a live block. */
VGM_EXPORT HGLOBAL GlobalFree(HGLOBAL block);
/* The size asked for at allocation, 0 for a handle that is not a live block. */
VGM_EXPORT SIZE_T GlobalSize(HGLOBAL block);
/* 0 for a live fixed block, GMEM_INVALID_HANDLE for anything else. */
VGM_EXPORT UINT GlobalFlags(HGLOBAL block);
VGM_EXPORT void *GlobalLock(HGLOBAL block);
VGM_EXPORT BOOL GlobalUnlock(HGLOBAL block);

/* GDI bitmaps handed to callers (cmio_LoadImageGDI, cmio_LoadThumbGDI): a
 * caller reads one with GetObjectW and releases it with DeleteObject. */
typedef struct tagBITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;     /* absolute height */
  LONG bmWidthBytes; /* bytes per row */
  WORD bmPlanes;
  WORD bmBitsPixel;
  void *bmBits;      /* first byte of the pixel memory, null for a plain bitmap */
} BITMAP;

/* Releases a bitmap or region; FALSE for a handle that is not one, or for a
 * bitmap still selected into a device context. */
VGM_EXPORT BOOL DeleteObject(HGDIOBJ object);
/* Describes a GDI object into `buffer` (a BITMAP for a bitmap); returns the
 * bytes written, or the size needed when `buffer` is null; 0 on failure. */
VGM_EXPORT int GetObjectW(HGDIOBJ object, int size, void *buffer);

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

#endif /* VGM_COMPAT_H */
