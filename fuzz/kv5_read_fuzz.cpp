// The document reader on arbitrary files: the bytes go to a temporary file
// that kv5_Read opens, once quiet and once with an owner window and a
// scripted notice handler (which also checks that at most the two notices
// a read may show appear), in thumbnail mode.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kv5/kv5_reader.h"
#include "platform/os.h"
#include "raster/layers/layers.h"

namespace {

int gNotices = 0;
int32_t countNotice(const os_Notice *, void *) {
  ++gNotices;
  return os_AnswerOk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = "/tmp/kv5_read_fuzz_" + std::to_string(getpid()) + ".kv5";
  static const std::u16string wide = os_Utf8ToUtf16(path);
  static rx_LayerEntry *table = rx_LayerTableCreate();
  static bool ready = (os_SetNoticeHandler(countNotice, nullptr, nullptr), true);
  (void)ready;
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  for (int pass = 0; pass < 2; ++pass) {
    auto *options = new LoadSaveOptions{};
    options->quiet = pass == 0;
    options->ownerWindow = pass == 0 ? nullptr : reinterpret_cast<HWND>(1);
    options->preview = pass == 1;
    options->thumbnailCount = 1;
    gNotices = 0;
    int32_t count = kv5_Read(table, options, wide.c_str());
    if (count < 0 || count > rx_LayerTableCapacity || gNotices > 2 || (pass == 0 && gNotices != 0)) std::abort();
    rx_LayersRelease(table, rx_LayerTableEntries);
    delete options;
  }
  return 0;
}
