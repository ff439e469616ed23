#include "video/video_wire.h"

#include <cstring>

#include "platform/os.h"

namespace {

void put32(uint8_t *out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t *out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t *in) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}
uint64_t get64(const uint8_t *in) { return get32(in) | (uint64_t{get32(in + 4)} << 32); }

bool ensureCapacity(vid_PayloadBuffer *buffer, size_t size) {
  if (buffer->block != nullptr && buffer->capacity >= size) return true;
  vid_PayloadRelease(buffer);
  // Not zero-filled: every byte is overwritten by the read, and zeroing a
  // frame-sized block only to overwrite it costs page faults per frame.
  buffer->block = GlobalAlloc(GMEM_FIXED, size);
  if (buffer->block == nullptr) return false;
  buffer->capacity = size;
  return true;
}

// Reads and forgets `size` bytes through a small scratch block.
bool skipBytes(os_Pipe *pipe, uint64_t size, uint32_t milliseconds) {
  uint8_t scratch[4096];
  uint64_t start = os_HighResCounter();
  while (size > 0) {
    uint64_t spent = (os_HighResCounter() - start) / (os_HighResFrequency() / 1000);
    if (spent >= milliseconds) return false;
    size_t step = size < sizeof scratch ? static_cast<size_t>(size) : sizeof scratch;
    if (!os_PipeRead(pipe, scratch, step, static_cast<uint32_t>(milliseconds - spent), nullptr)) return false;
    size -= step;
  }
  return true;
}

}  // namespace

void vid_EncodeHeader(const vid_Header &header, uint8_t out[kVidHeaderSize]) {
  uint64_t real = 0;
  std::memcpy(&real, &header.real, sizeof real);
  put32(out, header.code);
  put32(out + 4, header.time_limit);
  put64(out + 8, static_cast<uint64_t>(header.value));
  put64(out + 16, real);
  put32(out + 24, header.flags);
  put32(out + 28, header.payload_size);
}

vid_Header vid_DecodeHeader(const uint8_t in[kVidHeaderSize]) {
  vid_Header header{};
  header.code = get32(in);
  header.time_limit = get32(in + 4);
  header.value = static_cast<int64_t>(get64(in + 8));
  uint64_t real = get64(in + 16);
  std::memcpy(&header.real, &real, sizeof real);
  header.flags = get32(in + 24);
  header.payload_size = get32(in + 28);
  return header;
}

uint64_t vid_ReplyPayloadLimit(uint32_t request_code) {
  // Beyond the wire rules: a size is checked against what the request can
  // produce before anything is allocated for it.
  switch (request_code) {
    case kVidGetFrame: return kVidFrameRecordSize + uint64_t{kVidMaxFrameSide} * kVidMaxFrameSide * 4;
    case kVidQueryTextA:
    case kVidQueryTextB: return 65536;
    default: return 0;
  }
}

void vid_PayloadRelease(vid_PayloadBuffer *buffer) {
  if (buffer == nullptr) return;
  os_GlobalRelease(buffer->block);
  buffer->block = nullptr;
  buffer->capacity = 0;
}

vid_Receive vid_ReceiveReply(os_Pipe *pipe, uint32_t request_code, uint32_t milliseconds, vid_Header *reply,
                             vid_PayloadBuffer *buffer) {
  *reply = vid_Header{};
  uint64_t start = os_HighResCounter();
  auto remaining = [&]() -> uint32_t {
    uint64_t spent = (os_HighResCounter() - start) / (os_HighResFrequency() / 1000);
    return spent >= milliseconds ? 0 : static_cast<uint32_t>(milliseconds - spent);
  };
  uint8_t raw[kVidHeaderSize];
  size_t moved = 0;
  if (!os_PipeRead(pipe, raw, sizeof raw, milliseconds, &moved)) return moved == 0 ? vid_Receive::silent : vid_Receive::broken;
  vid_Header header = vid_DecodeHeader(raw);
  if (header.code != (request_code | kVidReplyBit)) {
    // A reply to some other request: dropped whole when its size fits what
    // that request could produce, so the stream stays in step.
    bool plausible = (header.code & kVidReplyBit) != 0 &&
                     header.payload_size <= vid_ReplyPayloadLimit(header.code & ~kVidReplyBit);
    return plausible && skipBytes(pipe, header.payload_size, remaining()) ? vid_Receive::mismatch
                                                                          : vid_Receive::broken;
  }
  if (header.payload_size > vid_ReplyPayloadLimit(request_code)) return vid_Receive::broken;
  uint8_t record[kVidFrameRecordSize];
  size_t ahead = 0;
  if (request_code == kVidGetFrame && header.payload_size > 0) {
    // The frame record must account for the whole payload before the
    // pixels get a block.
    if (header.payload_size < sizeof record || !os_PipeRead(pipe, record, sizeof record, remaining(), nullptr))
      return vid_Receive::broken;
    uint32_t sides[4];
    for (int i = 0; i < 4; ++i) sides[i] = get32(record + 4 * i);
    for (uint32_t side : sides)
      if (side < 1 || side > kVidMaxFrameSide) return vid_Receive::broken;
    if (kVidFrameRecordSize + uint64_t{sides[2]} * sides[3] * 4 != header.payload_size) return vid_Receive::broken;
    ahead = sizeof record;
  }
  if (header.payload_size > 0) {
    if (!ensureCapacity(buffer, header.payload_size)) {
      return skipBytes(pipe, header.payload_size - ahead, remaining()) ? vid_Receive::mismatch : vid_Receive::broken;
    }
    auto *bytes = static_cast<uint8_t *>(buffer->block);
    std::memcpy(bytes, record, ahead);
    if (!os_PipeRead(pipe, bytes + ahead, header.payload_size - ahead, remaining(), nullptr)) return vid_Receive::broken;
  }
  *reply = header;
  return vid_Receive::ok;
}
