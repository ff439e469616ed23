/* Never answers: flt_CheckLoad sleeps for ever on a header starting with
 * "HANG" (and refuses anything else); flt_LoadImage keeps reporting
 * progress until the host refuses, then gives up as cancelled. */
#if !defined(_WIN32)
#  define _POSIX_C_SOURCE 200809L
#  include <time.h>
#endif
#include <string.h>

#include "vgm/vgm_plugin.h"

static void nap(void) {
#if defined(_WIN32)
  Sleep(10);
#else
  struct timespec t = {0, 10 * 1000000L};
  nanosleep(&t, NULL);
#endif
}

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe->header_size < 4 || probe->header_size > FLT_PROBE_HEADER_MAX || memcmp(probe->header, "HANG", 4) != 0)
    return 0;
  for (;;) nap();
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  for (int32_t step = 0;; ++step) {
    if (request->progress != NULL && request->progress(request, step, 0) == 0) return FLT_ERR_CANCELLED;
    nap();
  }
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) { return (void)probe, 0; }
FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) { return (void)request, FLT_ERR_UNSUPPORTED; }
