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

/* Notices. On Windows the library shows its message boxes and its
 * password prompt itself; here they go to a handler the host installs.
 * A message (kind VGM_NOTICE_MESSAGE) has a text, a title and a style made
 * of one MB_ button set and one MB_ICON value; the handler answers with an
 * ID value. A text input (VGM_NOTICE_TEXT_INPUT) shows the title and the
 * text as its message; the handler writes the typed text into `buffer`
 * (at most `capacity` units with the terminating zero) and answers 1, or
 * answers 0 when the user closes it. With `password` set, the typed
 * characters must stay hidden. Without a handler every message gets its
 * safe answer (OK alone, else Cancel, No or Abort) and every text input 0. */
#define MB_OK 0x0u
#define MB_OKCANCEL 0x1u
#define MB_ABORTRETRYIGNORE 0x2u
#define MB_YESNOCANCEL 0x3u
#define MB_YESNO 0x4u
#define MB_RETRYCANCEL 0x5u
#define MB_TYPEMASK 0xFu
#define MB_ICONHAND 0x10u
#define MB_ICONQUESTION 0x20u
#define MB_ICONEXCLAMATION 0x30u
#define MB_ICONASTERISK 0x40u
#define MB_ICONMASK 0xF0u
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

#define VGM_NOTICE_MESSAGE 0u
#define VGM_NOTICE_TEXT_INPUT 1u

typedef struct VgmNotice {
  HWND owner;        /* the owner window of the request */
  const WCHAR *text;
  const WCHAR *title;
  UINT style;
  UINT kind;
  WCHAR *buffer;     /* text input only: the initial text, then the answer */
  UINT capacity;
  BOOL password;
} VgmNotice;
typedef int32_t (*VgmNoticeHandler)(const VgmNotice *notice, void *context);

/* Installs the host's handler (null restores the default); `context` is
 * handed to every call. Returns the host handler installed before, if any.
 * Notices come on the thread of the request that shows them. */
VGM_EXPORT VgmNoticeHandler core_SetNoticeHandler(VgmNoticeHandler handler, void *context);

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

#endif /* VGM_COMPAT_H */
