/* Needs libvgmtestdep.so, which ships only in the plug-ins' "Dependencies"
 * folder: loading it proves the host's search sequence. Accepts headers
 * starting with "VGMTDEP1" and delivers one 1x1 layer. */
#include <string.h>

#include "vgm/vgm_plugin.h"

int vgmtestdep_Strength(void);
uint32_t vgmtestdep_Pixel(void);

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe->header_size < 8 || probe->header_size > FLT_PROBE_HEADER_MAX || memcmp(probe->header, "VGMTDEP1", 8) != 0)
    return 0;
  probe->strength_a = (uint8_t)vgmtestdep_Strength();
  return 1;
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  if (request->begin_layer == NULL) return FLT_ERR_HOST_SERVICES;
  request->width = request->height = 1;
  if (!request->begin_layer(request, 0)) return request->status < 0 ? request->status : FLT_ERR_BITMAP;
  request->pixels[0] = vgmtestdep_Pixel();
  return FLT_OK;
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) { return (void)probe, 0; }
FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) { return (void)request, FLT_ERR_UNSUPPORTED; }
