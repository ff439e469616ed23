/* Faults: a write through null in flt_CheckLoad and in flt_LoadImage (which
 * a host reaches without a probe when its table names the plug-in). */
#include "vgm/vgm_plugin.h"

static void nullWrite(void) {
  volatile int32_t *volatile nowhere = NULL;
  *nowhere = 1;
}

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  (void)probe;
  nullWrite();
  return 0;
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  (void)request;
  nullWrite();
  return FLT_ERR_INTERNAL;
}
