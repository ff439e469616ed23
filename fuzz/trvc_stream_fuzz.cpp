// trvc_ReadStream over a fake file. Bytes 0..2 give the stream length to
// read (up to 1 MiB); the rest is the file.
#include <cstdint>
#include <vector>

#include "kv5/kv5_context.h"
#include "kv5/kv5_io.h"
#include "kv5/trvc_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  size_t length = (static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1]) << 8) |
                   (static_cast<size_t>(data[2]) << 16)) & 0xFFFFF;
  kv5_MemoryStream file(data + 3, size - 3);
  kv5_Context context;
  kv5_ContextInit(&context);
  std::vector<uint8_t> dest(length);
  trvc_ReadStream(dest.data(), length, &file, &context, static_cast<int64_t>(size - 3));
  // Every message stays terminated inside the buffer.
  if (kv5_MessageLength(&context) >= kv5_MessageCapacity) __builtin_trap();
  return 0;
}
