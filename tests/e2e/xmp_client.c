/* Loads the library by path and converts an XMP packet file with
 * cmio_MarkupFromXMP, as a plain C caller would. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "vgm/vgm_common.h"

typedef int32_t(VGM_API *MarkupFromXmpFn)(char *, int32_t, const void *, int32_t);

int main(int argc, char **argv) {
  static char packet[65536];
  char out[4096];
  const char *expected = "exif.software=GIMP 2.10;\r\n";
  if (argc < 3) {
    fprintf(stderr, "usage: xmp_client path/to/libvgm_Common.so paris_exif_xmp_icc.xmp\n");
    return 2;
  }
  FILE *file = fopen(argv[2], "rb");
  if (file == NULL) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  size_t size = fread(packet, 1, sizeof packet, file);
  fclose(file);
  void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  MarkupFromXmpFn convert = (MarkupFromXmpFn)dlsym(library, "cmio_MarkupFromXMP");
  int32_t result = convert != NULL ? convert(out, (int32_t)sizeof out, packet, (int32_t)size) : -1;
  int ok = result == 26 && strcmp(out, expected) == 0;
  if (!ok) fprintf(stderr, "result %d, text \"%s\"\n", (int)result, result >= 0 ? out : "");
  dlclose(library);
  return ok ? 0 : 1;
}
