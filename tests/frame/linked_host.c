/* A program linked against the library at build time, as vgm-convert is. */
#include <stdio.h>

#include "vgm/vgm_common.h"

int main(void) {
  static WCHAR text[4096];
#ifdef _WIN32
  printf("summary %d\n", (int)core_GetSysInfoStr(text, 4096));
#else
  int exitProbeArmed(void);
  printf("summary %d, probe %d\n", (int)core_GetSysInfoStr(text, 4096), exitProbeArmed());
#endif
  fflush(stdout);
  return 0;
}
