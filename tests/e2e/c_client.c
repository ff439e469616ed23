/* A plain C caller that sees nothing but the public header and loads the
 * library by path:
 *   c_client LIB sysinfo          a buffer too small (0, untouched), a large one
 *   c_client LIB xmp PACKET       cmio_MarkupFromXMP of the paris packet
 *   c_client LIB exif CAMERA.jpg  cmio_MarkupFromEXIF of the file's APP1 payload
 *   c_client LIB toexif CAMERA.jpg  cmio_MarkupToEXIF's block spliced into a copy
 *                                 of the file in place of its EXIF, read by ExifTool
 * Exit status 0 when the outcome is the expected one. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vgm/vgm_common.h"

typedef int32_t(VGM_API *SysInfoFn)(WCHAR *, int32_t);
typedef int32_t(VGM_API *FromBytesFn)(char *, int32_t, const void *, int32_t);
typedef int32_t(VGM_API *ToExifFn)(const char *, HGLOBAL *, uint32_t *);
typedef HGLOBAL (*FreeFn)(HGLOBAL);

static unsigned char data[1 << 20];
static char text[1 << 16];

/* Offset of the segment holding the first EXIF APP1 payload ("Exif\0\0..."), or -1. */
static long exifSegment(long size) {
  for (long at = 2; at + 10 <= size && data[at] == 0xFF && data[at + 1] != 0xDA;
       at += 2 + ((data[at + 2] << 8) | data[at + 3]))
    if (data[at + 1] == 0xE1 && memcmp(data + at + 4, "Exif\0\0", 6) == 0) return at;
  return -1;
}

static int toExif(void *library, long size) {
  ToExifFn convert = (ToExifFn)dlsym(library, "cmio_MarkupToEXIF");
  FreeFn globalFree = (FreeFn)dlsym(library, "GlobalFree");
  HGLOBAL block = NULL;
  uint32_t length = 0;
  long at = exifSegment(size);
  char path[] = "/tmp/c_client_XXXXXX", command[128];
  if (at < 0 || !convert || !globalFree || convert("exif.make=Test;", &block, &length) != 1) return 0;
  FILE *out = fdopen(mkstemp(path), "wb");
  if (out == NULL) return 0;
  long old = 2 + ((data[at + 2] << 8) | data[at + 3]);
  unsigned char app1[4] = {0xFF, 0xE1, (unsigned char)((length + 2) >> 8), (unsigned char)(length + 2)};
  fwrite(data, 1, (size_t)at, out), fwrite(app1, 1, 4, out), fwrite(block, 1, length, out);
  fwrite(data + at + old, 1, (size_t)(size - at - old), out);
  fclose(out);
  globalFree(block);
  snprintf(command, sizeof command, "exiftool -j '%s' 2>&1", path);
  FILE *tool = popen(command, "r");
  text[tool ? fread(text, 1, sizeof text - 1, tool) : 0] = '\0';
  int ok = tool != NULL && pclose(tool) == 0 && strstr(text, "\"Make\": \"Test\"") &&
           strstr(text, "\"Software\": \"Orvine Photo 5.43.01\"") && strstr(text, "\"ColorSpace\": \"sRGB\"") &&
           !strstr(text, "\"Error\"");
  remove(path);
  return ok;
}

int main(int argc, char **argv) {
  void *library = argc > 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
  FILE *file = argc > 3 ? fopen(argv[3], "rb") : NULL;
  long size = file ? (long)fread(data, 1, sizeof data, file) : 0;
  if (file) fclose(file);
  if (library == NULL) {
    fprintf(stderr, "usage: c_client LIB sysinfo|xmp|exif|toexif [FILE] (%s)\n", argc > 2 ? dlerror() : "");
    return 2;
  }
  const char *mode = argv[2];
  int ok = 0;
  if (strcmp(mode, "sysinfo") == 0) {
    SysInfoFn sysInfo = (SysInfoFn)dlsym(library, "core_GetSysInfoStr");
    static WCHAR small[3] = {0x7777, 0x7777, 0x7777}, large[4096];
    ok = sysInfo && sysInfo(small, 3) == 0 && small[0] == 0x7777 && sysInfo(large, 4096) == 1 && large[0] == 'C' &&
         large[1] == 'P' && large[2] == 'U';
  } else if (strcmp(mode, "xmp") == 0) {
    FromBytesFn convert = (FromBytesFn)dlsym(library, "cmio_MarkupFromXMP");
    ok = convert && convert(text, 4096, data, (int32_t)size) == 26 && strcmp(text, "exif.software=GIMP 2.10;\r\n") == 0;
  } else if (strcmp(mode, "exif") == 0) {
    FromBytesFn convert = (FromBytesFn)dlsym(library, "cmio_MarkupFromEXIF");
    long at = exifSegment(size);
    ok = convert && at >= 0 && convert(text, sizeof text, data + at + 4, ((data[at + 2] << 8) | data[at + 3]) - 2) == 1 &&
         strstr(text, "exif.exposure_time=1/160 sec;") && strstr(text, "exif.aperture=f/7.1;");
  } else if (strcmp(mode, "toexif") == 0) {
    ok = toExif(library, size);
  }
  if (!ok) fprintf(stderr, "%s failed; text:\n%s\n", mode, text);
  dlclose(library);
  return ok ? 0 : 1;
}
