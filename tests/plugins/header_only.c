/* Compiles with nothing but the plug-in header: a plug-in author's view. */
#include "vgm/vgm_plugin.h"

int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe->header_size < 4) return 0;
  probe->strength_a = 1;
  probe->reply_flags = FLT_PROBE_WEAK;
  return 1;
}

int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  request->width = request->height = 1;
  if (!request->begin_layer(request, 0)) return request->status;
  request->pixels[0] = 0;
  request->document_kind = FLT_DOC_COMPOSITE;
  return FLT_OK;
}
