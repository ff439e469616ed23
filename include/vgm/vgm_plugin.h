/* The filter plug-in contract: what vgm_Common calls in a plug-in
 * (flt_<Type>.dll), the records it passes, and the host-service tables the
 * plug-in may call back into. Plain C; a plug-in includes this header (and
 * vgm_compat.h, which it pulls in) and nothing else of the library.
 *
 * Records that cross the boundary have a fixed field order. Where pointers
 * are 4 bytes every documented offset is checked below; in 64-bit builds
 * pointers and handles widen and the offsets move, the order stays. */
#ifndef VGM_PLUGIN_H
#define VGM_PLUGIN_H

#include "vgm_compat.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Constants ---------------------------------------------------------- */

/* Result codes: returned by flt_LoadImage and flt_SaveImage and left in the
 * request's status by host calls. 1 success (2 or more: success for that
 * many items), 0 failure without a reason, negative values name the reason. */
#define FLT_OK 1
#define FLT_ERROR 0
#define FLT_ERR_UNSUPPORTED (-1)          /* operation or format not supported */
#define FLT_ERR_NOT_IMPLEMENTED (-2)      /* format known, feature not implemented */
#define FLT_ERR_NO_IMAGE_DATA (-3)
#define FLT_ERR_COMPONENT_MISSING (-4)
#define FLT_ERR_COMPONENT_FAILED (-5)
#define FLT_ERR_REQUIREMENTS (-6)         /* system requirements not met */
#define FLT_ERR_IO_DEVICE (-7)
#define FLT_ERR_IO_NETWORK (-8)
#define FLT_ERR_BAD_REQUEST (-9)
#define FLT_ERR_HOST_SERVICES (-10)       /* needs services the host does not provide */
#define FLT_ERR_OUT_OF_RANGE (-11)
#define FLT_ERR_IMAGE_REQUIREMENTS (-12)
#define FLT_ERR_DIMENSIONS (-13)
#define FLT_ERR_IMAGE_MODE (-14)          /* save: the host may flatten and call again */
#define FLT_ERR_NEED_FLAT (-15)           /* save: wants a flattened single-layer image */
#define FLT_ERR_HOST_RESPONSE (-16)
#define FLT_ERR_UNINTERPRETABLE (-17)
#define FLT_ERR_NOT_CONFIGURED (-18)
#define FLT_ERR_OUT_OF_MEMORY (-20)
#define FLT_ERR_UNEXPECTED_END (-23)      /* data ends early */
#define FLT_ERR_BAD_ENCODING (-24)
#define FLT_ERR_BITMAP (-25)
#define FLT_ERR_BITMAP_ZERO (-26)
#define FLT_ERR_BITMAP_TOO_BIG (-27)
#define FLT_ERR_INTERNAL (-30)            /* -31 to -34: numbered internal errors */
#define FLT_ERR_OPEN_READ (-40)
#define FLT_ERR_OPEN_WRITE (-41)
#define FLT_ERR_READ (-42)
#define FLT_ERR_WRITE (-43)
#define FLT_ERR_INVALID_DATA (-44)
#define FLT_ERR_FILE_INFO (-45)
#define FLT_ERR_PROTECTION (-50)
#define FLT_ERR_REINSTALL (-51)
#define FLT_ERR_ACCESS_DENIED (-70)
#define FLT_ERR_NO_CREDIT (-71)
#define FLT_ERR_USAGE_LIMIT (-72)
/* Final codes: the host tries no further plug-in after them. */
#define FLT_ERR_NOT_AN_IMAGE (-90)
#define FLT_ERR_PASSWORD (-96)
#define FLT_ERR_TIMEOUT (-98)
#define FLT_ERR_CANCELLED (-99)

/* Warning bits of the 16-bit warning mask (request offset 248). */
#define FLT_WARN_LAYERS_DROPPED 0x001u
#define FLT_WARN_LAYER_TYPES 0x002u
#define FLT_WARN_BLEND_MODES 0x004u
#define FLT_WARN_DATA_NOT_TRANSFERRED 0x008u
#define FLT_WARN_TRANSPARENCY_REMOVED 0x010u
#define FLT_WARN_THUMBNAIL_ONLY 0x020u
#define FLT_WARN_RESIZED 0x040u
#define FLT_WARN_NONSTANDARD_EXTENSION 0x080u
#define FLT_WARN_TIMEOUT 0x100u
#define FLT_WARN_EXTENSION_MISMATCH 0x200u
#define FLT_WARN_EXTENSION_MISSING 0x400u

/* Load request flags (offset 28). */
#define FLT_FLAG_RESTART_TIME_LIMIT 0x0001u /* plug-in sets it; the next begin-layer restarts the clock */
#define FLT_FLAG_REPORTED 0x0002u           /* plug-in sets it; the host copies it into its options */
#define FLT_FLAG_PREVIEW 0x0100u            /* a preview is enough */
#define FLT_FLAG_NO_MARKUP 0x0200u          /* the caller does not want metadata */
#define FLT_FLAG_EXTRA 0x0400u

/* Begin-layer flags: bit 0 creates the surface under the lower size limit. */
#define FLT_BEGIN_LOWER_LIMIT 0x1u

/* Probe reply flags (probe byte 127): each marks a weaker claim. */
#define FLT_PROBE_WEAK 0x01u
#define FLT_PROBE_WEAKER 0x02u

/* Document kinds (request offset 30). */
#define FLT_DOC_COMPOSITE 0
#define FLT_DOC_IMAGE_LIST 1
#define FLT_DOC_FRAME_ANIMATION 2
#define FLT_DOC_OBJECT_ANIMATION 3

/* Layer value 1, the layer's flags word. */
#define FLT_LAYER_BLEND_MASK 0x00FFu
#define FLT_LAYER_HIDDEN 0x0100u
#define FLT_LAYER_PREVIEW 0x0400u
#define FLT_LAYER_UPPER_GROUP 0x2000u
#define FLT_LAYER_PAGE_START 0x4000u

/* Fields of the text callback. */
#define FLT_TEXT_MESSAGE 0    /* appended to the message (once) */
#define FLT_TEXT_MODULE 1     /* the reporting module's name */
#define FLT_TEXT_SHORT 256    /* the 8-character short text (load only) */

/* Sizes. */
#define FLT_EXTENSION_CAPACITY 32  /* probe extension, UTF-16 units with the terminator */
#define FLT_PROBE_HEADER_MAX 32
#define FLT_NAME_CAPACITY 32       /* layer names */
#define FLT_LAST_LAYER_INDEX 1023
#define FLT_MESSAGE_CAPACITY 1024
#define FLT_MODULE_NAME_CAPACITY 96
#define FLT_SHORT_TEXT_CAPACITY 8
#define FLT_OPTION_VALUE_CAPACITY 1024

/* Probe traps. The host probes every plug-in with data no format has: the
 * load trap is the extension ".***" with the 8 header bytes below; the save
 * traps are ".***", ".???" and ".!@#" (any score counts) and ".sys", ".vxd"
 * and ".ini" (a score of 64 or more counts). A plug-in that accepts a trap
 * is blacklisted: refuse what you cannot read. */
#define FLT_TRAP_HEADER "abcdefgh"
#define FLT_TRAP_HEADER_SIZE 8

/* A four-character metadata tag: the four ASCII bytes in stored order. */
#define FLT_TAG(a, b, c, d) \
  ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) | ((uint32_t)(uint8_t)(d) << 24))
#define FLT_TAG_META FLT_TAG('M', 'E', 'T', 'A') /* the whole container */
#define FLT_TAG_MARK FLT_TAG('M', 'A', 'R', 'K') /* the markup text */

/* Interface versions (first word of each table). */
#define PI_HOST_VERSION 0x00010005u
#define PI_STATESTORE_VERSION 0x00030001u
#define PI_METAMARKUP_VERSION 0x00010003u
#define PI_BASICIMAGE_VERSION 0x00020002u
#define PI_BASICCOLOR_VERSION 0x0001000Au
#define PI_BASICUTILS_VERSION 0x00010006u
#define PI_BASICVIDEO_VERSION 0x00010005u
#define PI_FORWARDING_VERSION 0x00010002u

/* A plug-in marks its four entry points with FLT_EXPORT. */
#if defined(_WIN32)
#  define FLT_EXPORT __declspec(dllexport)
#else
#  define FLT_EXPORT __attribute__((visibility("default")))
#endif

/* ---- Records shared with the host services ---------------------------- */

typedef struct FltProbe FltProbe;
typedef struct FltLoadRequest FltLoadRequest;
typedef struct FltSaveRequest FltSaveRequest;
typedef struct pi_Host pi_Host;

/* The caller's progress callback as the host received it: return 0 to cancel. */
typedef int32_t(VGM_API *FltCallerProgressFn)(int32_t a, int32_t b, uintptr_t value);

/* Markup handle of pi_MetaMarkup. Filled only by its Init functions; the
 * plug-in reads `text` and releases the record with pi_MetaMarkup.Free. */
typedef struct FltMetaMarkup {
  char *text;        /* NUL-terminated UTF-8 key=value; text */
  uint32_t size;     /* bytes of the text with its NUL, 0 when empty */
  HGLOBAL buffer;    /* host-owned block holding the text */
  uint32_t capacity;
} FltMetaMarkup;

/* Image handle of pi_BasicImage. The plug-in zero-fills it; Create or Wrap
 * fills it, and the host refreshes the first four words after every
 * change. Released with pi_BasicImage.Free. */
typedef struct FltImage {
  uint32_t width;
  uint32_t height;
  uint32_t stride;   /* pixels */
  uint32_t reserved; /* host use */
  uint32_t *pixels;  /* B, G, R, T bytes per pixel (T 0 = opaque), rows top-down */
  void *surface;     /* the host's surface, opaque */
} FltImage;

/* Inclusive rectangle; `valid` 0 marks an empty one. */
typedef struct FltRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
  int32_t valid;
} FltRect;

/* Request of pi_BasicImage.LoadImage and SaveImage (another plug-in or the
 * native reader reads or writes for the caller). The plug-in zero-fills it
 * and fills the inputs; the host fills the outputs. */
typedef struct FltImageIoRequest {
  HWND owner_window;            /* 0x00 in */
  const WCHAR *file_name;       /* 0x04 in; empty: the data block is used */
  void *data;                   /* 0x08 load: in, the encoded file; save: out, a global block (GlobalFree) */
  uint32_t data_size;           /* 0x0C load: in (at least 4); save: out */
  const WCHAR *name_hint;       /* 0x10 in: its extension names the format */
  HGLOBAL markup;               /* 0x14 load: out; save: in */
  uint32_t markup_size;         /* 0x18 */
  uint8_t want_markup;          /* 0x1C load: in */
  uint8_t handled;              /* 0x1D out */
  uint8_t entry_missing;        /* 0x1E out: the library's own entry could not be reached */
  uint8_t cleared;              /* 0x1F */
  uint8_t reserved_20[4];       /* 0x20 */
  const WCHAR *options_text;    /* 0x24 in: handed through */
  FltCallerProgressFn progress; /* 0x28 in, may be null */
  uintptr_t progress_context;   /* 0x2C in */
  WCHAR error_text[256];        /* 0x30 out */
} FltImageIoRequest;

/* ---- Host-service tables ----------------------------------------------- *
 * The host fills every table (process-wide, before the request reaches the
 * plug-in); plug-ins only read them. Every table starts with its version
 * word and a zero word; a null slot is one the host does not provide (named
 * nullN below), and a plug-in must check a slot before calling it. Names
 * are UTF-16 and compared exactly. */

/* The host table: settings, facts and interfaces by name. Each function
 * receives the table itself first. */
typedef const void *(VGM_API *pi_GetInterfaceFn)(const pi_Host *host, const WCHAR *name);
typedef HMODULE(VGM_API *pi_LoadLibraryFn)(const pi_Host *host, const WCHAR *module_name);
typedef int32_t(VGM_API *pi_KeyFn)(const pi_Host *host, const WCHAR *key);
typedef int32_t(VGM_API *pi_GetIntFn)(const pi_Host *host, const WCHAR *key, uint32_t nonzero);
typedef int32_t(VGM_API *pi_GetStringFn)(const pi_Host *host, const WCHAR *key, WCHAR *buffer, int32_t capacity);
typedef int32_t(VGM_API *pi_SetStringFn)(const pi_Host *host, const WCHAR *key, const WCHAR *text);
typedef int32_t(VGM_API *pi_GetFn)(const pi_Host *host, const WCHAR *key, void *buffer, int32_t size);
typedef int32_t(VGM_API *pi_SetFn)(const pi_Host *host, const WCHAR *key, const void *data, int32_t size);

struct pi_Host {
  uint32_t version; /* PI_HOST_VERSION */
  uint32_t zero;
  pi_GetInterfaceFn GetInterface;    /* "pi_StateStore", ... → table or null */
  pi_LoadLibraryFn LoadLibrary;      /* a module found with the plug-in search rules */
  pi_KeyFn GetBool;                  /* 1 or 0, -1 without a value */
  pi_KeyFn GetSettableKind;          /* -4 "progress.value", 1 "progress.string", 0 other */
  pi_GetIntFn GetInt;                /* the 32-bit value, 0 without one; -4 when `nonzero` is 0 */
  pi_KeyFn IsSettable;
  pi_GetStringFn GetString;          /* units stored, 0 without a value, or minus the units needed */
  pi_SetStringFn SetString;
  pi_GetFn Get;                      /* bytes stored, minus the bytes needed, 0 unknown key */
  pi_SetFn Set;                      /* 1 accepted, 0 unknown, -4 short "progress.value" */
};

/* pi_StateStore: private state kept in session memory (Mem*), in files
 * (File*) or in scrambled files (Secure*). Names of at most 31 units. */
typedef int32_t(VGM_API *pi_StoreGetFn)(const WCHAR *name, void *buffer, int32_t size);
typedef int32_t(VGM_API *pi_StoreSetFn)(const WCHAR *name, const void *data, int32_t size);
typedef int32_t(VGM_API *pi_StoreSizeFn)(const WCHAR *name);

typedef struct pi_StateStore {
  uint32_t version; /* PI_STATESTORE_VERSION */
  uint32_t zero;
  pi_StoreGetFn MemGet;   /* bytes copied, 0 when absent */
  pi_StoreSetFn MemSet;   /* bytes stored (at most 65536); size <= 0 deletes */
  pi_StoreSizeFn MemSize;
  void *null3;
  pi_StoreGetFn FileGet;
  pi_StoreSetFn FileSet;  /* at most 262144 bytes; size < 1 deletes; names with / or \ refused */
  pi_StoreSizeFn FileSize;
  void *null7;
  pi_StoreGetFn SecureGet;
  pi_StoreSetFn SecureSet;
  pi_StoreSizeFn SecureSize;
} pi_StateStore;

/* pi_MetaMarkup: the markup text of a FltMetaMarkup record. 1 success, 0 failure. */
typedef int32_t(VGM_API *pi_MarkupFn)(FltMetaMarkup *markup);
typedef int32_t(VGM_API *pi_MarkupDataFn)(FltMetaMarkup *markup, const void *data, uint32_t size);
typedef int32_t(VGM_API *pi_MarkupTextFn)(FltMetaMarkup *markup, const char *text);
typedef int32_t(VGM_API *pi_MarkupGetFn)(FltMetaMarkup *markup, const char *key, char *out, int32_t out_size);
typedef int32_t(VGM_API *pi_MarkupSetFn)(FltMetaMarkup *markup, const char *key, const char *value);
typedef int32_t(VGM_API *pi_MarkupGetBppFn)(FltMetaMarkup *markup, int32_t *bpp);
typedef int32_t(VGM_API *pi_MarkupSetBppFn)(FltMetaMarkup *markup, int32_t bpp);
typedef int32_t(VGM_API *pi_MarkupToExifFn)(FltMetaMarkup *markup, HGLOBAL *data, uint32_t *size);
typedef int32_t(VGM_API *pi_MarkupFromBlockFn)(FltMetaMarkup *markup, const void *data, int32_t size);

typedef struct pi_MetaMarkup {
  uint32_t version; /* PI_METAMARKUP_VERSION */
  uint32_t zero;
  pi_MarkupFn Init;
  pi_MarkupDataFn InitFromData;
  pi_MarkupFn Free;
  pi_MarkupTextFn Merge;
  pi_MarkupGetFn Get;
  pi_MarkupSetFn Set;
  pi_MarkupGetBppFn GetBpp;
  pi_MarkupSetBppFn SetBpp;
  pi_MarkupToExifFn MarkupToEXIF;      /* *data: a global block (GlobalFree) */
  pi_MarkupFromBlockFn MarkupFromEXIF; /* size at least 4 */
  pi_MarkupFromBlockFn MarkupFromXMP;
} pi_MetaMarkup;

/* pi_BasicImage: surfaces for the plug-in's own use. 1 success, 0 failure. */
typedef int32_t(VGM_API *pi_ImageCreateFn)(FltImage *img, int32_t width, int32_t height);
typedef int32_t(VGM_API *pi_ImageWrapFn)(FltImage *img, int32_t width, int32_t height, int32_t stride, void *pixels);
typedef int32_t(VGM_API *pi_ImageFn)(FltImage *img);
typedef HDC(VGM_API *pi_ImageGetDCFn)(FltImage *img);
typedef int32_t(VGM_API *pi_ImageReleaseDCFn)(FltImage *img, HDC dc);
typedef int32_t(VGM_API *pi_ClipSetFn)(const FltRect *rect); /* null resets to the full range */
typedef int32_t(VGM_API *pi_ClipGetFn)(FltRect *rect);
typedef int32_t(VGM_API *pi_ImageIoFn)(FltImage *img, FltImageIoRequest *request);
typedef int32_t(VGM_API *pi_ImageCopyFn)(FltImage *img, const FltImage *source);
typedef int32_t(VGM_API *pi_ImageResizeFn)(FltImage *img, int32_t width, int32_t height);
typedef int32_t(VGM_API *pi_ImageModeFn)(FltImage *img, uint32_t mode);
typedef int32_t(VGM_API *pi_ImageRotateFn)(FltImage *img, int32_t quarter_turns);
/* Blit, blend and transform from a source rectangle into `dest`. A null
 * rectangle means the whole image; one with `valid` 0 is refused. The mode
 * word: bits 0-7 the source's transparency (0 opaque .. 255 invisible; the
 * blend slots), 0x100 clip to the thread's clip rectangle (the blit slots),
 * bits 16-23 the blend byte: a layer blend mode (0 normal, as in the
 * layer flags word) selecting the engine's blend operation. */
typedef int32_t(VGM_API *pi_ImageDrawFn)(FltImage *dest, const FltRect *dest_rect, const FltImage *source,
                                         const FltRect *source_rect, uint32_t mode);
/* Corners x0,y0 .. x3,y3 (top-left, top-right, bottom-right, bottom-left,
 * inclusive pixel positions) onto which the source rectangle's corner
 * pixels are drawn; mode as above. */
typedef int32_t(VGM_API *pi_ImageQuadFn)(FltImage *dest, const float corners[8], const FltImage *source,
                                         const FltRect *source_rect, uint32_t mode);
/* 1 and the rectangle of differing pixels, -1 identical, 0 not comparable. */
typedef int32_t(VGM_API *pi_ImageCompareFn)(const FltImage *a, const FltImage *b, FltRect *difference);
typedef int32_t(VGM_API *pi_ImageRegionFn)(FltImage *dest, const FltImage *source, uint32_t mode);
typedef uint32_t *(VGM_API *pi_ImageRowFn)(FltImage *img, int32_t row);
typedef int32_t(VGM_API *pi_ImageFillFn)(FltImage *img, const FltRect *rect, uint32_t pixel);

typedef struct pi_BasicImage {
  uint32_t version; /* PI_BASICIMAGE_VERSION */
  uint32_t zero;
  pi_ImageCreateFn Create;       /* 0 */
  pi_ImageWrapFn Wrap;
  pi_ImageFn Free;
  pi_ImageFn IsValid;
  pi_ImageFn Lock;
  pi_ImageFn Unlock;             /* 5 */
  pi_ImageGetDCFn GetDC;
  pi_ImageReleaseDCFn ReleaseDC;
  pi_ImageFn Refresh;            /* re-reads the surface's size and pixel address into the record */
  void *null9;
  pi_ClipSetFn SetClip;          /* 10 */
  pi_ClipGetFn GetClip;
  void *null12;
  void *null13;
  pi_ImageIoFn LoadImage;
  pi_ImageIoFn SaveImage;        /* 15 */
  void *null16;
  void *null17;
  pi_ImageCopyFn Copy;
  pi_ImageResizeFn Resize;
  pi_ImageModeFn Flip;           /* 20: flags & 3 */
  pi_ImageRotateFn Rotate;
  pi_ImageDrawFn Blit;           /* copy, unscaled: dest_rect gives the position only */
  pi_ImageDrawFn BlitScaled;     /* copy, resampled to dest_rect */
  pi_ImageDrawFn Blend;          /* blend, unscaled: dest_rect gives the position only */
  pi_ImageDrawFn BlendScaled;    /* 25: blend, resampled to dest_rect */
  pi_ImageDrawFn Transform;      /* copy into dest_rect mirrored: mode bit 0 left-right, bit 1 top-bottom */
  pi_ImageQuadFn TransformQuad;  /* blend onto a quadrilateral */
  pi_ImageCompareFn Compare;
  void *null29;
  pi_ImageRegionFn Region;       /* 30: source over dest from (0,0), the common area; mode 1 keeps
                                    dest's transparency, 2 blends it too (bits 0, 1 and 0x4000 used) */
  void *null31;
  void *null32;
  void *null33;
  pi_ImageModeFn RowsBegin;      /* locks; flag 1 mirrors top to bottom at the end; 0 when open already */
  pi_ImageRowFn RowsStep;        /* 35: the address of row 0 .. height-1 while open, else null */
  pi_ImageFn RowsEnd;            /* unlocks (and mirrors) */
  void *null37;
  pi_ImageModeFn FixAlpha;       /* mode & 15: 1..5 */
  pi_ImageFillFn Fill;           /* sets every pixel of the rectangle (null: all) */
} pi_BasicImage;

/* pi_BasicColor: colour-model conversion and colour transforms. A model is
 * a packing of one 32-bit value per pixel, bytes from the lowest:
 *   0 RGB: B, G, R, T (through the transform when one is given)
 *   1 YCbCr, full range: Cr, Cb, Y, T      2 inks C, M, Y, K (plain formula)
 *   3 CMYK: K, Y, M, C (through the transform, else the plain formula)
 *   4 HSL: L, S, H (256 a turn), T         5 HSV: V, S, H (256 a turn), T
 *   6 HSL: L, S, H (16 bits, 65536 a turn) 7 HSV: V, S, H (16 bits)
 *   8 CIE L*a*b*: L x 255/100, a + 128, b + 128, T (through the transform
 *     when its profile reads L*a*b*)
 *   9 CIE XYZ: X, Y, Z at 255/1.1 a unit, T (likewise)
 * PI_COLOR_REVERSE in a model reverses its packing (all four bytes for 3,
 * 6 and 7, else the first and third). Conversions run from the input model
 * to surface pixels and on to the output model; 0 on a side changes nothing
 * there. Transforms go from a profile to sRGB and belong to the caller. */
#define PI_COLOR_REVERSE 0x1000u
/* Slot 0: every pixel of the image. 1 done, 0 when the image has no surface. */
typedef int32_t(VGM_API *pi_ColorImageFn)(FltImage *img, uint32_t from_model, void *transform, uint32_t to_model);
/* Slot 1: a run converted in place; result `count`. */
typedef int32_t(VGM_API *pi_ColorPixelsFn)(uint32_t *pixels, int32_t count, uint32_t from_model, void *transform,
                                           uint32_t to_model);
/* Slot 2: a packed DIB (header, colour table or masks, rows; 1 to 32 bits a
 * pixel) into the top-left of the image, clipped. flags & 0xF000: alpha
 * mode 0x1000 opaque, 0x2000 invert, 0x3000 to and 0x4000 from
 * premultiplied; flags & 0x1F: the model of the decoded values (e.g. 3 for
 * CMYK rows), converted with `transform`. `size` 0: not known. Result: rows. */
typedef int32_t(VGM_API *pi_ColorDibFn)(FltImage *img, const void *packed_dib, uint32_t size, void *transform,
                                        uint32_t flags);
/* Slot 4: from the profile in memory (at least 4 bytes), else from the file
 * at `profile_path`; null on failure. */
typedef void *(VGM_API *pi_ColorCreateFn)(const void *profile, uint32_t profile_size, const WCHAR *profile_path);
typedef int32_t(VGM_API *pi_ColorDeleteFn)(void *transform);

typedef struct pi_BasicColor {
  uint32_t version; /* PI_BASICCOLOR_VERSION */
  uint32_t zero;
  pi_ColorImageFn ConvertImage;
  pi_ColorPixelsFn ConvertPixels;
  pi_ColorDibFn ConvertDib;
  void *null3;
  pi_ColorCreateFn CreateTransform; /* null on failure */
  pi_ColorDeleteFn DeleteTransform;
} pi_BasicColor;

/* pi_BasicUtils: interface texts, web requests and downloads. */
typedef int32_t(VGM_API *pi_TranslateFn)(const WCHAR *text, WCHAR *out, int32_t capacity);
typedef int32_t(VGM_API *pi_WindowTextFn)(HWND window, const WCHAR *text);
typedef int32_t(VGM_API *pi_WindowFn)(HWND window);
/* Web progress: done of total (10000); return 0 to stop. */
typedef int32_t(VGM_API *pi_WebProgressFn)(int32_t done, int32_t total, uintptr_t context);
typedef int32_t(VGM_API *pi_WebRequestFn)(const WCHAR *url, const void *body, int32_t body_size, void *out,
                                          int32_t out_size, pi_WebProgressFn progress, uintptr_t context);
/* Writes the local copy's path; bytes received, 0 on failure. */
typedef int32_t(VGM_API *pi_DownloadFn)(const WCHAR *url, WCHAR *path, int32_t capacity);

typedef struct pi_BasicUtils {
  uint32_t version; /* PI_BASICUTILS_VERSION */
  uint32_t zero;
  pi_TranslateFn Translate;      /* the unchanged text when nothing is translated */
  pi_WindowTextFn SetWindowText;
  pi_WindowFn TranslateWindow;
  void *null3;
  void *null4;
  void *null5;
  void *null6;
  void *null7;
  void *null8;
  void *null9;
  void *null10;
  void *null11;
  void *null12;
  pi_WebRequestFn WebRequest;
  pi_DownloadFn Download;
} pi_BasicUtils;

/* pi_BasicVideo: the out-of-process video server. */
typedef struct FltVideoConnection FltVideoConnection;
typedef FltVideoConnection *(VGM_API *pi_VideoOpenServerFn)(uint32_t timeout_ms, int32_t *result);
typedef int32_t(VGM_API *pi_VideoCloseServerFn)(FltVideoConnection **connection);
typedef int32_t(VGM_API *pi_VideoOpenFileFn)(FltVideoConnection *connection, const WCHAR *path, uint32_t flags,
                                             int32_t *result);
typedef int32_t(VGM_API *pi_VideoFn)(FltVideoConnection *connection);
typedef int32_t(VGM_API *pi_VideoGetFrameFn)(FltVideoConnection *connection, int32_t frame, uint32_t flags,
                                             FltImage *image);
typedef int32_t(VGM_API *pi_VideoSetTimeoutFn)(FltVideoConnection *connection, uint32_t ms);
typedef int32_t(VGM_API *pi_VideoGetU32Fn)(FltVideoConnection *connection, uint32_t *out);
typedef int32_t(VGM_API *pi_VideoGetRealFn)(FltVideoConnection *connection, double *out);
typedef int32_t(VGM_API *pi_VideoGetTextFn)(FltVideoConnection *connection, WCHAR *buffer, int32_t capacity);

typedef struct pi_BasicVideo {
  uint32_t version; /* PI_BASICVIDEO_VERSION */
  uint32_t zero;
  pi_VideoOpenServerFn OpenServer;
  pi_VideoCloseServerFn CloseServer;
  pi_VideoOpenFileFn OpenFile;
  pi_VideoFn CloseFile;
  pi_VideoGetFrameFn GetFrame;
  pi_VideoFn Ping;
  pi_VideoSetTimeoutFn SetTimeout;
  pi_VideoGetU32Fn GetMsec;
  pi_VideoGetU32Fn GetCount;
  pi_VideoGetRealFn GetReal;
  pi_VideoGetTextFn GetTextA;
  pi_VideoGetTextFn GetTextB;
} pi_BasicVideo;

/* pi_Forwarding: another plug-in, chosen by extension, loads for this one. */
typedef int32_t(VGM_API *pi_ForwardLoadFn)(const WCHAR *extension, FltLoadRequest *request);

typedef struct pi_Forwarding {
  uint32_t version; /* PI_FORWARDING_VERSION */
  uint32_t zero;
  pi_ForwardLoadFn ForwardLoad;
} pi_Forwarding;

/* ---- Probe record ------------------------------------------------------ *
 * flt_CheckLoad and flt_CheckSave. The host zero-fills it and sets the
 * extension (and, for loads, the header bytes); the plug-in only writes the
 * four reply bytes. A reply counts when `strength_a` is nonzero and the
 * entry point returns nonzero; a,b,c add up to the score, the weak flags
 * lower it (loads only). */
struct FltProbe {
  WCHAR extension[FLT_EXTENSION_CAPACITY]; /* 0: lower case with its dot, empty when none */
  uint32_t header_size;                    /* 64: bytes in `header`, at most 32; 0 for saves */
  uint8_t header[FLT_PROBE_HEADER_MAX];    /* 68: the file's first bytes */
  uint8_t reserved_100[24];                /* 100 */
  uint8_t strength_a;                      /* 124 reply */
  uint8_t strength_b;                      /* 125 reply */
  uint8_t strength_c;                      /* 126 reply */
  uint8_t reply_flags;                     /* 127 reply: FLT_PROBE_WEAK, FLT_PROBE_WEAKER */
};

/* ---- Load request record ----------------------------------------------- */

/* Asks for the next layer: the plug-in sets `width` and `height` (and the
 * next layer's position, name and values) first. Nonzero on success: the
 * host has filled width, height, stride and pixels of the new current
 * layer; the plug-in fills the pixels before its next call. 0 when the
 * surface cannot be made, the time limit passed or 1024 layers exist; the
 * reason is in `status`. */
typedef int32_t(VGM_API *FltBeginLayerFn)(FltLoadRequest *request, uint32_t flags);
/* Stores a chunk of the current layer's metadata block under `tag`.
 * FLT_TAG_META: `value` is a whole container and replaces the block;
 * FLT_TAG_MARK and the other text tags ("NOTE", "TEXT"): a NUL-terminated
 * UTF-8 text; any other tag: a 32-bit length L followed by L bytes. The host
 * copies the value. 1 stored, 0 failure. */
typedef int32_t(VGM_API *FltSetMetadataFn)(FltLoadRequest *request, uint32_t tag, const void *value);

/* Option query: the plug-in sets `key`; the host copies the value of the
 * first options-text line "key = value" (key ignoring case) into `value`
 * and returns its length, or 0 when there is none. */
typedef struct FltOptionQuery {
  const WCHAR *key;
  WCHAR value[FLT_OPTION_VALUE_CAPACITY];
} FltOptionQuery;

typedef int32_t(VGM_API *FltLoadQueryOptionFn)(FltLoadRequest *request, FltOptionQuery *query);
/* Text for `field` (FLT_TEXT_*); the new length plus 1, or 0. */
typedef int32_t(VGM_API *FltLoadSetTextFn)(FltLoadRequest *request, int32_t field, const WCHAR *text);
/* Reports progress (a of b); 0 means the caller cancelled: stop and return FLT_ERR_CANCELLED. */
typedef int32_t(VGM_API *FltLoadProgressFn)(FltLoadRequest *request, int32_t a, int32_t b);

/* flt_LoadImage. The host zero-fills the record and fills everything but
 * the fields marked "plug-in", then calls once; the plug-in reads the file
 * at `path` itself. Fields marked "host" are read-only to the plug-in. */
struct FltLoadRequest {
  uint32_t width;                  /* 0 plug-in before begin_layer, then host: current layer */
  uint32_t height;                 /* 4 */
  uint32_t stride;                 /* 8 host: pixels per row */
  uint32_t *pixels;                /* 12 host: the current layer's pixels, B G R T */
  const WCHAR *path;               /* 16 host */
  HWND owner_window;               /* 20 host: 0 in quiet mode (no dialogs) */
  FltBeginLayerFn begin_layer;     /* 24 host */
  uint16_t flags;                  /* 28 host FLT_FLAG_PREVIEW/NO_MARKUP/EXTRA; plug-in bits 0 and 1 */
  uint8_t document_kind;           /* 30 plug-in: FLT_DOC_* */
  uint8_t document_sub_kind;       /* 31 plug-in: with kind 0, 2 = the layers are pages; with kind 1, 2 = companion composition */
  uint32_t layer_number;           /* 32 host: layers begun, written by begin_layer */
  int16_t x;                       /* 36 plug-in: the next layer's position */
  int16_t y;                       /* 38 */
  WCHAR name[FLT_NAME_CAPACITY];   /* 40 plug-in: the next layer's name */
  uint16_t layer_flags;            /* 104 plug-in: value 1, FLT_LAYER_* */
  uint16_t frame_delay;            /* 106 plug-in: value 2, milliseconds */
  uint8_t layer_attribute;         /* 108 plug-in: value 3, carried unchanged */
  uint8_t layer_transparency;      /* 109 plug-in: value 4, 0 opaque .. 255 invisible */
  uint8_t reserved_110[18];        /* 110 */
  HGLOBAL metadata;                /* 128 host: the current layer's metadata block */
  FltSetMetadataFn set_metadata;   /* 132 host */
  uint8_t reserved_136[96];        /* 136 */
  FltLoadQueryOptionFn query_option; /* 232 host */
  FltLoadSetTextFn set_text;       /* 236 host */
  FltLoadProgressFn progress;      /* 240 host: returns 1 when the caller set none */
  int32_t status;                  /* 244 host: result of the last host call */
  uint16_t warnings;               /* 248 plug-in and host: FLT_WARN_* */
  uint8_t reserved_250[2];         /* 250 */
  uint32_t time_limit_ms;          /* 252 host */
  const pi_StateStore *state_store;   /* 256 host: each table may be null */
  const pi_MetaMarkup *meta_markup;   /* 260 */
  const pi_Host *host;                /* 264 */
  const pi_BasicImage *basic_image;   /* 268 */
  const pi_BasicColor *basic_color;   /* 272 */
  const pi_BasicUtils *basic_utils;   /* 276 */
  int32_t layers_begun;            /* 280 host */
  int32_t current_layer;           /* 284 host: -1 before the first layer */
  int32_t last_layer_index;        /* 288 host: FLT_LAST_LAYER_INDEX */
  uint32_t shortest_delay;         /* 292 host: smallest nonzero frame delay so far */
  void *layer_table;               /* 296 host-owned, opaque */
  WCHAR *message;                  /* 300 host: fill through set_text */
  int32_t message_capacity;        /* 304 FLT_MESSAGE_CAPACITY */
  WCHAR *module_name;              /* 308 */
  int32_t module_name_capacity;    /* 312 FLT_MODULE_NAME_CAPACITY */
  WCHAR *short_text;               /* 316 */
  int32_t short_text_capacity;     /* 320 FLT_SHORT_TEXT_CAPACITY */
  const WCHAR *options_text;       /* 324 host: lines of key=value, may be null */
  FltCallerProgressFn caller_progress; /* 328 host: call `progress` instead */
  uintptr_t caller_progress_value; /* 332 */
  uint64_t start_time;             /* 336 host: start of the time limit */
};

/* ---- Save request record ----------------------------------------------- */

/* Selects layer `index` (0 .. layer_count-1), or -1 for the whole image
 * flattened; `zero` is 0. Nonzero on success: width, height, stride,
 * pixels, position, name and values describe the selection. */
typedef int32_t(VGM_API *FltSelectLayerFn)(FltSaveRequest *request, int32_t index, uint32_t zero);
/* The selected layer's metadata chunk tagged `tag` (FLT_TAG_MARK: the
 * markup text), or the whole container for FLT_TAG_META; null when there
 * is none. `metadata_result` then holds the chunk's size (for META: the
 * block's handle). The data stays the host's. */
typedef const void *(VGM_API *FltGetMetadataFn)(FltSaveRequest *request, uint32_t tag);
typedef int32_t(VGM_API *FltSaveQueryOptionFn)(FltSaveRequest *request, FltOptionQuery *query);
typedef int32_t(VGM_API *FltSaveSetTextFn)(FltSaveRequest *request, int32_t field, const WCHAR *text);
typedef int32_t(VGM_API *FltSaveProgressFn)(FltSaveRequest *request, int32_t a, int32_t b);

/* flt_SaveImage. The host zero-fills the record, fills it, selects layer 0
 * and calls once; the plug-in writes the file at `path` itself and only
 * writes `warnings` (and text through set_text). */
struct FltSaveRequest {
  uint32_t width;                  /* 0 host: the selected layer */
  uint32_t height;                 /* 4 */
  uint32_t stride;                 /* 8 pixels per row */
  uint32_t *pixels;                /* 12 B G R T, read-only */
  const WCHAR *path;               /* 16 the target file */
  HWND owner_window;               /* 20 0 in quiet mode */
  FltSelectLayerFn select_layer;   /* 24 */
  uint8_t reserved_28[2];          /* 28 */
  uint8_t document_kind;           /* 30 FLT_DOC_* */
  uint8_t document_sub_kind;       /* 31 */
  uint32_t layer_count;            /* 32 */
  int16_t x;                       /* 36 the selected layer's position */
  int16_t y;                       /* 38 */
  WCHAR name[FLT_NAME_CAPACITY];   /* 40 */
  uint16_t layer_flags;            /* 104 FLT_LAYER_* */
  uint16_t frame_delay;            /* 106 */
  uint8_t layer_attribute;         /* 108 */
  uint8_t layer_transparency;      /* 109 */
  uint8_t reserved_110[18];        /* 110 */
  uintptr_t metadata_result;       /* 128 set by get_metadata */
  FltGetMetadataFn get_metadata;   /* 132 */
  uint8_t reserved_136[96];        /* 136 */
  FltSaveQueryOptionFn query_option; /* 232 */
  FltSaveSetTextFn set_text;       /* 236 FLT_TEXT_MESSAGE and FLT_TEXT_MODULE */
  FltSaveProgressFn progress;      /* 240 */
  uint8_t reserved_244[4];         /* 244 */
  uint16_t warnings;               /* 248 plug-in: FLT_WARN_* */
  uint8_t reserved_250[6];         /* 250 */
  const pi_StateStore *state_store;   /* 256 each table may be null */
  const pi_MetaMarkup *meta_markup;   /* 260 */
  const pi_Host *host;                /* 264 */
  const pi_BasicImage *basic_image;   /* 268 */
  const pi_BasicColor *basic_color;   /* 272 */
  const pi_BasicUtils *basic_utils;   /* 276 */
  int32_t layers;                  /* 280 the same as layer_count */
  int32_t selected_layer;          /* 284 -1 when none or the flattened image */
  void *layer_table;               /* 288 host-owned, opaque */
  uintptr_t flat_surface[11];      /* 292 host-owned: the flattened image (44 bytes where pointers are 4) */
  WCHAR *message;                  /* 336 fill through set_text */
  int32_t message_capacity;        /* 340 */
  WCHAR *module_name;              /* 344 */
  int32_t module_name_capacity;    /* 348 */
  const WCHAR *options_text;       /* 352 */
  FltCallerProgressFn caller_progress; /* 356 call `progress` instead */
  uintptr_t caller_progress_value; /* 360 */
  uint8_t reserved_364[4];         /* 364 */
  uint64_t start_time;             /* 368 */
};

/* ---- Entry points ------------------------------------------------------ *
 * Looked up by name; a plug-in lacking one is skipped for that operation.
 * Called on the caller's thread, one call per record, and possibly from
 * several threads at once with different records.
 *   flt_CheckLoad: nonzero when the plug-in can read the data; fill the reply.
 *   flt_LoadImage: a result code; layers through begin_layer.
 *   flt_CheckSave: nonzero when the plug-in can write the extension.
 *   flt_SaveImage: a result code; FLT_ERR_NEED_FLAT or FLT_ERR_IMAGE_MODE
 *                  make the host flatten and call again when it may. */
typedef int32_t(VGM_API *flt_CheckLoadFn)(FltProbe *probe);
typedef int32_t(VGM_API *flt_LoadImageFn)(FltLoadRequest *request);
typedef int32_t(VGM_API *flt_CheckSaveFn)(FltProbe *probe);
typedef int32_t(VGM_API *flt_SaveImageFn)(FltSaveRequest *request);

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe);
FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request);
FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe);
FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request);

/* ---- Layout checks ----------------------------------------------------- */

#ifndef VGM_STATIC_ASSERT
#  if defined(__cplusplus)
#    define VGM_STATIC_ASSERT static_assert
#  else
#    define VGM_STATIC_ASSERT _Static_assert
#  endif
#endif

VGM_STATIC_ASSERT(offsetof(FltProbe, header_size) == 64, "FltProbe layout");
VGM_STATIC_ASSERT(offsetof(FltProbe, header) == 68, "FltProbe layout");
VGM_STATIC_ASSERT(offsetof(FltProbe, reserved_100) == 100, "FltProbe layout");
VGM_STATIC_ASSERT(offsetof(FltProbe, strength_a) == 124, "FltProbe layout");
VGM_STATIC_ASSERT(offsetof(FltProbe, reply_flags) == 127, "FltProbe layout");
VGM_STATIC_ASSERT(sizeof(FltProbe) == 128, "FltProbe size");

#if UINTPTR_MAX == 0xFFFFFFFFu
VGM_STATIC_ASSERT(sizeof(FltMetaMarkup) == 16, "FltMetaMarkup layout");
VGM_STATIC_ASSERT(sizeof(FltImage) == 24, "FltImage layout");
VGM_STATIC_ASSERT(offsetof(FltImage, pixels) == 16, "FltImage layout");
VGM_STATIC_ASSERT(offsetof(FltOptionQuery, value) == 4, "FltOptionQuery layout");
VGM_STATIC_ASSERT(offsetof(FltImageIoRequest, markup) == 0x14, "FltImageIoRequest layout");
VGM_STATIC_ASSERT(offsetof(FltImageIoRequest, want_markup) == 0x1C, "FltImageIoRequest layout");
VGM_STATIC_ASSERT(offsetof(FltImageIoRequest, cleared) == 0x1F, "FltImageIoRequest layout");
VGM_STATIC_ASSERT(offsetof(FltImageIoRequest, options_text) == 0x24, "FltImageIoRequest layout");
VGM_STATIC_ASSERT(offsetof(FltImageIoRequest, progress) == 0x28, "FltImageIoRequest layout");
VGM_STATIC_ASSERT(offsetof(FltImageIoRequest, progress_context) == 0x2C, "FltImageIoRequest layout");
VGM_STATIC_ASSERT(offsetof(FltImageIoRequest, error_text) == 0x30, "FltImageIoRequest layout");
VGM_STATIC_ASSERT(sizeof(FltImageIoRequest) == 560, "FltImageIoRequest size");
VGM_STATIC_ASSERT(offsetof(pi_Host, Set) == 44, "pi_Host layout");
VGM_STATIC_ASSERT(offsetof(pi_StateStore, SecureSize) == 48, "pi_StateStore layout");
VGM_STATIC_ASSERT(offsetof(pi_MetaMarkup, MarkupFromXMP) == 48, "pi_MetaMarkup layout");
VGM_STATIC_ASSERT(offsetof(pi_BasicImage, LoadImage) == 64, "pi_BasicImage layout");
VGM_STATIC_ASSERT(offsetof(pi_BasicImage, Fill) == 164, "pi_BasicImage layout");
VGM_STATIC_ASSERT(offsetof(pi_BasicColor, DeleteTransform) == 28, "pi_BasicColor layout");
VGM_STATIC_ASSERT(offsetof(pi_BasicUtils, Download) == 64, "pi_BasicUtils layout");
VGM_STATIC_ASSERT(offsetof(pi_BasicVideo, GetTextB) == 52, "pi_BasicVideo layout");
VGM_STATIC_ASSERT(offsetof(pi_Forwarding, ForwardLoad) == 8, "pi_Forwarding layout");

VGM_STATIC_ASSERT(offsetof(FltLoadRequest, height) == 4, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, stride) == 8, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, pixels) == 12, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, path) == 16, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, owner_window) == 20, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, begin_layer) == 24, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, flags) == 28, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, document_kind) == 30, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, document_sub_kind) == 31, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, layer_number) == 32, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, x) == 36, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, y) == 38, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, name) == 40, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, layer_flags) == 104, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, frame_delay) == 106, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, layer_attribute) == 108, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, layer_transparency) == 109, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, metadata) == 128, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, set_metadata) == 132, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, query_option) == 232, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, set_text) == 236, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, progress) == 240, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, status) == 244, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, warnings) == 248, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, time_limit_ms) == 252, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, state_store) == 256, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, meta_markup) == 260, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, host) == 264, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, basic_image) == 268, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, basic_color) == 272, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, basic_utils) == 276, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, layers_begun) == 280, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, current_layer) == 284, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, last_layer_index) == 288, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, shortest_delay) == 292, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, layer_table) == 296, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, message) == 300, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, message_capacity) == 304, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, module_name) == 308, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, module_name_capacity) == 312, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, short_text) == 316, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, short_text_capacity) == 320, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, options_text) == 324, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, caller_progress) == 328, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, caller_progress_value) == 332, "FltLoadRequest layout");
VGM_STATIC_ASSERT(offsetof(FltLoadRequest, start_time) == 336, "FltLoadRequest layout");

VGM_STATIC_ASSERT(offsetof(FltSaveRequest, pixels) == 12, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, path) == 16, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, owner_window) == 20, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, select_layer) == 24, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, document_kind) == 30, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, document_sub_kind) == 31, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, layer_count) == 32, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, x) == 36, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, y) == 38, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, name) == 40, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, layer_flags) == 104, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, frame_delay) == 106, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, layer_attribute) == 108, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, layer_transparency) == 109, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, metadata_result) == 128, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, get_metadata) == 132, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, query_option) == 232, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, set_text) == 236, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, progress) == 240, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, warnings) == 248, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, state_store) == 256, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, basic_utils) == 276, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, layers) == 280, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, selected_layer) == 284, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, layer_table) == 288, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, flat_surface) == 292, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, message) == 336, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, message_capacity) == 340, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, module_name) == 344, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, module_name_capacity) == 348, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, options_text) == 352, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, caller_progress) == 356, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, caller_progress_value) == 360, "FltSaveRequest layout");
VGM_STATIC_ASSERT(offsetof(FltSaveRequest, start_time) == 368, "FltSaveRequest layout");
#endif

#ifdef __cplusplus
}
#endif

#endif /* VGM_PLUGIN_H */
