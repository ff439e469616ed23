/* Faults: a write through null in flt_CheckLoad, unless the header starts
 * with "CRASHLOAD" (then it accepts, so that flt_LoadImage is reached), and
 * always in flt_LoadImage. */
#include <string.h>

#include "vgm/vgm_plugin.h"

static void nullWrite(void) {
  volatile int32_t *volatile nowhere = NULL;
  *nowhere = 1;
}

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe->header_size >= 9 && probe->header_size <= FLT_PROBE_HEADER_MAX &&
      memcmp(probe->header, "CRASHLOAD", 9) == 0) {
    probe->strength_a = 100;
    return 1;
  }
  nullWrite();
  return 0;
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  (void)request;
  nullWrite();
  return FLT_ERR_INTERNAL;
}
