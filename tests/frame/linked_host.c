/* A program linked against the library at build time, as vgm-convert is. */
#include <stdio.h>

#include "vgm/vgm_common.h"

int exitProbeArmed(void);

int main(void) {
  static WCHAR text[4096];
  printf("summary %d, probe %d\n", (int)core_GetSysInfoStr(text, 4096), exitProbeArmed());
  fflush(stdout);
  return 0;
}
