/* Calls every export of vgm_Common.dll through its import library. Built for
 * i686 by scripts/test-windows: linking it proves that the header's
 * declarations (calling convention included) match the DLL's exports. It is
 * not run there (nothing 32-bit runs on the build machine); each call is one
 * the library must refuse without touching anything. */
#include <stdio.h>

#include "vgm/vgm_common.h"

int main(void) {
  int failures = 0;
  CmioImage image = {0, 0, 0, 0};
  HGLOBAL exif = 0;
  uint32_t exif_size = 0;
  char markup[16];
  WCHAR text[8];
  /* A null request makes the image calls return 0 at once. */
  failures += cmio_LoadImage(&image, L"x.png", 0) != 0;
  failures += cmio_LoadImageGDI(L"x.png", 0) != 0;
  failures += cmio_LoadThumb(&image, L"x.png", 0) != 0;
  failures += cmio_LoadThumbGDI(L"x.png", 0) != 0;
  failures += cmio_SaveImage(&image, L"x.png", 0) != 0;
  failures += cmio_ImageInfo(L"missing.kv5", text, 8) != 1;
  failures += cmio_MarkupFromEXIF(markup, (int32_t)sizeof markup, 0, 0) < 0;
  failures += cmio_MarkupToEXIF(0, &exif, &exif_size) < 0;
  failures += cmio_MarkupFromXMP(markup, (int32_t)sizeof markup, 0, 0) < 0;
  failures += core_Notify(12345) != 0;
  failures += core_ShowDialog(0, -1, 0) != -1;
  failures += core_GetSysInfoStr(0, 0) != 0;
  printf("%d unexpected results\n", failures);
  return failures != 0;
}
