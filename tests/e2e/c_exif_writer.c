/* Loads the library by path, converts "exif.make=Test;" through
 * cmio_MarkupToEXIF, puts the block into a copy of a camera JPEG in place of
 * its EXIF segment and has ExifTool read it, as a caller that embeds the
 * block when it saves a file would. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vgm/vgm_common.h"

typedef int32_t(VGM_API *ToExifFn)(const char *, HGLOBAL *, uint32_t *);
typedef HGLOBAL (*FreeFn)(HGLOBAL);

int main(int argc, char **argv) {
  static unsigned char jpeg[1 << 20], text[1 << 16];
  FILE *file = argc > 2 ? fopen(argv[2], "rb") : NULL;
  long size = file ? (long)fread(jpeg, 1, sizeof jpeg, file) : 0, at = 2;
  if (file) fclose(file);
  void *library = argc > 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
  ToExifFn toExif = library ? (ToExifFn)dlsym(library, "cmio_MarkupToEXIF") : NULL;
  FreeFn globalFree = library ? (FreeFn)dlsym(library, "GlobalFree") : NULL;
  HGLOBAL block = NULL;
  uint32_t length = 0;
  char path[] = "/tmp/c_exif_writer_XXXXXX", command[128];
  if (size < 4 || toExif == NULL || globalFree == NULL || toExif("exif.make=Test;", &block, &length) != 1) {
    fprintf(stderr, "usage: c_exif_writer libvgm_Common.so camera.jpg (or no block came out)\n");
    return 1;
  }
  FILE *out = fdopen(mkstemp(path), "wb");
  if (out == NULL) return 1;
  /* SOI, our APP1, then the original's segments less its EXIF APP1. */
  unsigned char app1[4] = {0xFF, 0xE1, (unsigned char)((length + 2) >> 8), (unsigned char)(length + 2)};
  fwrite(jpeg, 1, 2, out), fwrite(app1, 1, 4, out), fwrite(block, 1, length, out);
  globalFree(block);
  for (long segment; at + 4 <= size && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA; at += segment) {
    segment = 2 + ((jpeg[at + 2] << 8) | jpeg[at + 3]);
    if (!(jpeg[at + 1] == 0xE1 && memcmp(jpeg + at + 4, "Exif\0\0", 6) == 0)) fwrite(jpeg + at, 1, (size_t)segment, out);
  }
  fwrite(jpeg + at, 1, (size_t)(size - at), out);
  fclose(out);
  snprintf(command, sizeof command, "exiftool -j '%s' 2>&1", path);
  FILE *tool = popen(command, "r");
  text[tool ? fread(text, 1, sizeof text - 1, tool) : 0] = '\0';
  int ok = tool != NULL && pclose(tool) == 0 && strstr((char *)text, "\"Make\": \"Test\"") &&
           strstr((char *)text, "\"Software\": \"Orvine Photo 5.43.01\"") &&
           strstr((char *)text, "\"ColorSpace\": \"sRGB\"") && !strstr((char *)text, "\"Error\"");
  if (!ok) fprintf(stderr, "exiftool said:\n%s\n", (char *)text);
  remove(path);
  dlclose(library);
  return ok ? 0 : 1;
}
