/* Loads the library by path, takes the EXIF APP1 payload of a camera JPEG
 * and converts it through cmio_MarkupFromEXIF, as a plain C caller would. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vgm/vgm_common.h"

typedef int32_t(VGM_API *FromExifFn)(char *, int32_t, const void *, int32_t);

/* Offset of the payload ("Exif\0\0...") of the first EXIF APP1 segment, or -1. */
static long findExif(const unsigned char *jpeg, long size, long *length) {
  long at = 2;
  while (at + 4 <= size && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    long segment = (jpeg[at + 2] << 8) | jpeg[at + 3];
    if (jpeg[at + 1] == 0xE1 && segment >= 8 && at + 2 + segment <= size && memcmp(jpeg + at + 4, "Exif\0\0", 6) == 0) {
      *length = segment - 2;
      return at + 4;
    }
    at += 2 + segment;
  }
  return -1;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: c_exif_client path/to/libvgm_Common.so camera.jpg\n");
    return 2;
  }
  FILE *file = fopen(argv[2], "rb");
  static unsigned char jpeg[1 << 20];
  long size = file ? (long)fread(jpeg, 1, sizeof jpeg, file) : 0;
  if (file) fclose(file);
  long length = 0, start = findExif(jpeg, size, &length);
  if (start < 0) {
    fprintf(stderr, "no EXIF segment in %s\n", argv[2]);
    return 1;
  }
  void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  FromExifFn fromExif = library ? (FromExifFn)dlsym(library, "cmio_MarkupFromEXIF") : NULL;
  if (fromExif == NULL) {
    fprintf(stderr, "cmio_MarkupFromEXIF not found in %s\n", argv[1]);
    return 1;
  }
  static char markup[65536];
  int32_t result = fromExif(markup, (int32_t)sizeof markup, jpeg + start, (int32_t)length);
  int ok = result == 1 && strstr(markup, "exif.exposure_time=1/160 sec;") && strstr(markup, "exif.aperture=f/7.1;");
  if (!ok) fprintf(stderr, "result %d, markup:\n%s\n", (int)result, markup);
  dlclose(library);
  return ok ? 0 : 1;
}
