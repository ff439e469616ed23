/* Loads the library by path, converts "exif.make=Test;" through
 * cmio_MarkupToEXIF, splices the block into a copy of a camera JPEG in place
 * of its EXIF segment and has ExifTool read it back, as a plain C caller
 * that embeds the block when it saves a file would. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vgm/vgm_common.h"

typedef int32_t(VGM_API *ToExifFn)(const char *, HGLOBAL *, uint32_t *);
typedef HGLOBAL (*FreeFn)(HGLOBAL);

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: c_exif_writer path/to/libvgm_Common.so camera.jpg\n");
    return 2;
  }
  static unsigned char jpeg[1 << 20], out[1 << 20];
  FILE *file = fopen(argv[2], "rb");
  long size = file ? (long)fread(jpeg, 1, sizeof jpeg, file) : 0;
  if (file) fclose(file);
  void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  ToExifFn toExif = library ? (ToExifFn)dlsym(library, "cmio_MarkupToEXIF") : NULL;
  FreeFn globalFree = library ? (FreeFn)dlsym(library, "GlobalFree") : NULL;
  if (size < 4 || toExif == NULL || globalFree == NULL) {
    fprintf(stderr, "no JPEG in %s or no cmio_MarkupToEXIF in %s\n", argv[2], argv[1]);
    return 1;
  }
  HGLOBAL block = NULL;
  uint32_t length = 0;
  if (toExif("exif.make=Test;", &block, &length) != 1 || length < 5 || length > 32767) {
    fprintf(stderr, "no block (%u bytes)\n", (unsigned)length);
    return 1;
  }
  /* SOI, our APP1, then every segment of the original but its EXIF APP1. */
  long at = 2, used = 0;
  memcpy(out, jpeg, 2), used = 2;
  out[used++] = 0xFF, out[used++] = 0xE1, out[used++] = (unsigned char)((length + 2) >> 8), out[used++] = (unsigned char)(length + 2);
  memcpy(out + used, block, length), used += length;
  globalFree(block);
  while (at + 4 <= size && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    long segment = 2 + ((jpeg[at + 2] << 8) | jpeg[at + 3]);
    if (!(jpeg[at + 1] == 0xE1 && memcmp(jpeg + at + 4, "Exif\0\0", 6) == 0)) memcpy(out + used, jpeg + at, (size_t)segment), used += segment;
    at += segment;
  }
  memcpy(out + used, jpeg + at, (size_t)(size - at)), used += size - at;

  char path[] = "/tmp/c_exif_writer_XXXXXX";
  int ok = 0;
  FILE *spliced = fdopen(mkstemp(path), "wb");
  if (spliced != NULL && fwrite(out, 1, (size_t)used, spliced) == (size_t)used && fclose(spliced) == 0) {
    char command[256], text[65536];
    snprintf(command, sizeof command, "exiftool -j '%s' 2>&1", path);
    FILE *tool = popen(command, "r");
    size_t read = tool ? fread(text, 1, sizeof text - 1, tool) : 0;
    text[read] = '\0';
    ok = tool != NULL && pclose(tool) == 0 && strstr(text, "\"Make\": \"Test\"") &&
         strstr(text, "\"Software\": \"Orvine Photo 5.43.01\"") && strstr(text, "\"ColorSpace\": \"sRGB\"") &&
         !strstr(text, "\"Error\"");
    if (!ok) fprintf(stderr, "exiftool said:\n%s\n", text);
  }
  remove(path);
  dlclose(library);
  return ok ? 0 : 1;
}
