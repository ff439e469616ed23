// Byte streams played as the video server's side of a pipe into the
// bridge's receive path: replies are read until the stream gives out.
#include <cstddef>
#include <cstdint>

#include "platform/os.h"
#include "video/video_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const uint32_t kCodes[] = {0, 16, 17, 18, 19, 20, 21, 22, 23};
  if (size < 1) return 0;
  os_Pipe *client = nullptr, *server = nullptr;
  if (!os_PipeCreatePair(&client, &server)) return 0;
  os_PipeWrite(server, data + 1, size - 1, 100, nullptr);  // small inputs fit the pipe's buffer
  os_PipeClose(server);
  vid_PayloadBuffer buffer{};
  vid_Header reply{};
  uint32_t code = kCodes[data[0] % (sizeof kCodes / sizeof kCodes[0])];
  for (int i = 0; i < 64; ++i) {
    vid_Receive got = vid_ReceiveReply(client, code, 20, &reply, &buffer);
    if (got != vid_Receive::ok && got != vid_Receive::mismatch) break;
    if (got == vid_Receive::ok && reply.payload_size > buffer.capacity) __builtin_trap();
  }
  vid_PayloadRelease(&buffer);
  os_PipeClose(client);
  return 0;
}
