/* Loads the library by path and calls core_GetSysInfoStr with a buffer too
 * small (3 units: refused with 0) and a large one (1 and a summary). */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "vgm/vgm_common.h"

typedef int32_t(VGM_API *SysInfoFn)(WCHAR *, int32_t);

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: c_client path/to/libvgm_Common.so\n");
    return 2;
  }
  void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  SysInfoFn sysInfo = (SysInfoFn)dlsym(library, "core_GetSysInfoStr");
  if (sysInfo == NULL) {
    fprintf(stderr, "core_GetSysInfoStr is not exported\n");
    return 1;
  }
  WCHAR small[3] = {0x7777, 0x7777, 0x7777};
  static WCHAR large[4096];
  int32_t refused = sysInfo(small, 3);
  int32_t written = sysInfo(large, 4096);
  int failures = 0;
  if (refused != 0 || small[0] != 0x7777) {
    fprintf(stderr, "3 units: got %d, buffer touched: %d\n", (int)refused, small[0] != 0x7777);
    ++failures;
  }
  if (written != 1 || large[0] != 'C' || large[1] != 'P' || large[2] != 'U') {
    fprintf(stderr, "4096 units: got %d\n", (int)written);
    ++failures;
  }
  dlclose(library);
  printf("%d passed, %d failed\n", 2 - failures, failures);
  return failures == 0 ? 0 : 1;
}
