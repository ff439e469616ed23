/* Claims every probe at full strength, yet reads and writes nothing: the
 * host must catch it with its traps. */
#include "vgm/vgm_plugin.h"

static int32_t claim(FltProbe *probe) {
  probe->strength_a = probe->strength_b = probe->strength_c = 255;
  probe->reply_flags = 0;
  return 1;
}

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) { return claim(probe); }
FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) { return claim(probe); }
FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) { return (void)request, FLT_ERR_UNSUPPORTED; }
FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) { return (void)request, FLT_ERR_UNSUPPORTED; }
