// The exported entry points of the module frame and of system information.
#include <algorithm>

#include "hostenv/sysinfo.h"
#include "kv5/kv5_describe.h"
#include "markup/exif_to_markup.h"
#include "platform/os.h"
#include "raster/thread_state.h"
#include "vgm/vgm_common.h"

extern "C" {

VGM_EXPORT int32_t VGM_API core_Notify(int32_t code) {
  if (code != 0) return 0;
  rx_StopHousekeeping();
  os_Sleep(10);
  return 1;
}

// The dialogs live in resources the POSIX build does not carry: nothing to show.
VGM_EXPORT int32_t VGM_API core_ShowDialog(HWND parent, int32_t dialog, intptr_t parameter) {
  (void)parent, (void)dialog, (void)parameter;
  return -1;
}

VGM_EXPORT int32_t VGM_API core_GetSysInfoStr(WCHAR *buffer, int32_t size) {
  if (buffer == nullptr || size < 4) return 0;
  std::u16string text = sys_SummaryText(sys_GatherFacts());
  size_t length = std::min(text.size(), static_cast<size_t>(size) - 1);
  std::copy_n(text.begin(), length, buffer);
  buffer[length] = 0;
  return 1;
}

VGM_EXPORT int32_t VGM_API cmio_MarkupFromEXIF(char *out, int32_t out_size, const void *data, int32_t size) {
  return markup_FromEXIF(out, out_size, data, size);
}

// Describes native documents only; anything else is "No information".
VGM_EXPORT int32_t VGM_API cmio_ImageInfo(const WCHAR *path, WCHAR *text, int32_t capacity) {
  char16_t description[kv5_DescriptionCapacity];
  const char16_t *found = kv5_DescribeFile(reinterpret_cast<const char16_t *>(path), description) == 1
                              ? description
                              : u"No information";
  if (text == nullptr || capacity < 1) return 1;
  size_t length = std::min(os_Utf16Length(found), static_cast<size_t>(capacity) - 1);
  std::copy_n(found, length, text);
  text[length] = 0;
  return 1;
}

}  // extern "C"
