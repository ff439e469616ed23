// The document description on arbitrary files: whatever the bytes, the
// text is terminated inside its buffer and never written when the result
// is 0.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kv5/kv5_describe.h"
#include "platform/os.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = "/tmp/kv5_describe_fuzz_" + std::to_string(getpid()) + ".kv5";
  static const std::u16string wide = os_Utf8ToUtf16(path);
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  static char16_t text[kv5_DescriptionCapacity + 1];
  text[kv5_DescriptionCapacity] = 0x5A5A;
  text[0] = 0x5A5A;
  int32_t result = kv5_DescribeFile(wide.c_str(), text);
  if (text[kv5_DescriptionCapacity] != 0x5A5A || (result == 0 && text[0] != 0x5A5A)) std::abort();
  if (result == 1 && os_Utf16Length(text) >= kv5_DescriptionCapacity) std::abort();
  return 0;
}
