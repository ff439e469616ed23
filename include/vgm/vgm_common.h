/* vgm_Common: image file I/O, native documents, metadata markup and host
 * services for the programs of the photo suite. Plain C interface. */
#ifndef VGM_COMMON_H
#define VGM_COMMON_H

#include "vgm_compat.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The caller's pixel buffer: 32-bit pixels in the byte order blue, green,
 * red, T (T = transparency, 0 opaque), rows top-down. */
typedef struct CmioImage {
  uint32_t width;
  uint32_t height;
  uint32_t stride;  /* in pixels; the library always writes the width here */
  void *pixels;     /* width * height * 4 bytes; loads allocate it with GlobalAlloc */
} CmioImage;

/* Progress callback: return 0 to cancel the operation. */
typedef int(VGM_API *CmioProgressCallback)(int32_t a, int32_t b, uintptr_t user_value);

/* Request record of the load, thumbnail and save exports. The caller
 * zero-fills it and sets the fields it needs; the bytes between the named
 * fields are reserved. Handles and pointers are pointer-sized, so the
 * documented offsets hold where pointers are 4 bytes. There it is 596 bytes
 * on every ABI: `scale` must not give it the 8-byte alignment 32-bit Windows
 * gives a double, which would pad the record past what callers allocate. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#  pragma pack(push, 4)
#endif
typedef struct CmioRequest {
  HWND owner_window;      /* 0x00: 0 = quiet: no notices, plug-ins get no window */
  HGLOBAL markup;         /* 0x04: out on load (caller frees), in on save */
  uint32_t markup_size;   /* 0x08: bytes in `markup` */
  uint32_t time_limit_ms; /* 0x0C */
  uint32_t thumb_max_width;  /* 0x10 */
  uint32_t thumb_max_height; /* 0x14 */
  double scale;           /* 0x18: load: factor applied when apply_scale is set */
  uint8_t apply_scale;    /* 0x20: load: apply `scale`; save: out, the writer's handled flag */
  uint8_t handled;        /* 0x21: load: out, a reader recognised the file; save: in, frame composition */
  uint8_t want_markup;    /* 0x22 */
  uint8_t thumb_checkerboard;   /* 0x23 */
  uint8_t data_not_transferred; /* 0x24: out, "Some image data was not transferred correctly" */
  uint8_t frame_composition;    /* 0x25 */
  uint8_t reserved_26[0x48 - 0x26];
  const WCHAR *options_text;    /* 0x48: handed through unchanged to plug-ins */
  CmioProgressCallback progress; /* 0x4C: may be 0 */
  uintptr_t progress_user;       /* 0x50 */
  WCHAR error_text[256];         /* 0x54: set on failure */
} CmioRequest;
#if UINTPTR_MAX == 0xFFFFFFFFu
#  pragma pack(pop)
#endif

#if defined(__cplusplus)
#  define VGM_STATIC_ASSERT static_assert
#else
#  define VGM_STATIC_ASSERT _Static_assert
#endif
#if UINTPTR_MAX == 0xFFFFFFFFu
VGM_STATIC_ASSERT(offsetof(CmioImage, pixels) == 12, "CmioImage layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, markup) == 0x04, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, markup_size) == 0x08, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, time_limit_ms) == 0x0C, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, thumb_max_width) == 0x10, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, thumb_max_height) == 0x14, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, scale) == 0x18, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, apply_scale) == 0x20, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, frame_composition) == 0x25, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, options_text) == 0x48, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, progress) == 0x4C, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, progress_user) == 0x50, "CmioRequest layout");
VGM_STATIC_ASSERT(offsetof(CmioRequest, error_text) == 0x54, "CmioRequest layout");
VGM_STATIC_ASSERT(sizeof(CmioRequest) == 596, "CmioRequest size");
#endif

/* Image I/O. Paths are zero-terminated UTF-16 of at most 260 units. A null
 * request makes each of these return 0 at once. */
VGM_EXPORT int32_t VGM_API cmio_LoadImage(CmioImage *image, const WCHAR *path, CmioRequest *request);
VGM_EXPORT HBITMAP VGM_API cmio_LoadImageGDI(const WCHAR *path, CmioRequest *request);
VGM_EXPORT int32_t VGM_API cmio_LoadThumb(CmioImage *image, const WCHAR *path, CmioRequest *request);
VGM_EXPORT HBITMAP VGM_API cmio_LoadThumbGDI(const WCHAR *path, CmioRequest *request);
VGM_EXPORT int32_t VGM_API cmio_SaveImage(const CmioImage *image, const WCHAR *path, CmioRequest *request);
/* Describes a native document into `text` (capacity in units); always 1. */
VGM_EXPORT int32_t VGM_API cmio_ImageInfo(const WCHAR *path, WCHAR *text, int32_t capacity);

/* Metadata markup: `key=value;` text to and from EXIF and XMP. */
VGM_EXPORT int32_t VGM_API cmio_MarkupFromEXIF(char *out, int32_t out_size, const void *data, int32_t size);
VGM_EXPORT int32_t VGM_API cmio_MarkupToEXIF(const char *markup, HGLOBAL *data, uint32_t *size);
VGM_EXPORT int32_t VGM_API cmio_MarkupFromXMP(char *out, int32_t out_size, const void *data, int32_t size);

/* Code 0 stops the raster engine's housekeeping thread (call before
 * unloading the library); result 1. Every other code returns 0. */
VGM_EXPORT int32_t VGM_API core_Notify(int32_t code);
/* Shows one of the library's dialogs; -1 when it has none to show. */
VGM_EXPORT int32_t VGM_API core_ShowDialog(HWND parent, int32_t dialog, intptr_t parameter);
/* Writes the machine summary; 0 when `buffer` is null or `size` below 4 units. */
VGM_EXPORT int32_t VGM_API core_GetSysInfoStr(WCHAR *buffer, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* VGM_COMMON_H */
