// The video server's wire format: a 32-byte little-endian header and an
// optional payload, and the receive path shared by every exchange.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_Pipe;

inline constexpr uint32_t kVidReplyBit = 0x40000000u;
inline constexpr size_t kVidHeaderSize = 32;

enum : uint32_t {
  kVidPing = 0,
  kVidQuit = 1,
  kVidOpenFile = 16,
  kVidCloseFile = 17,
  kVidGetFrame = 18,
  kVidQueryReal = 19,
  kVidQueryCount = 20,
  kVidQuerySeconds = 21,
  kVidQueryTextA = 22,
  kVidQueryTextB = 23,
};

// The frame record in front of a frame's pixels, and the largest frame side.
inline constexpr size_t kVidFrameRecordSize = 20;
inline constexpr uint32_t kVidMaxFrameSide = 16384;

struct vid_Header {
  uint32_t code;
  uint32_t time_limit;
  int64_t value;
  double real;
  uint32_t flags;
  uint32_t payload_size;
};

void vid_EncodeHeader(const vid_Header &header, uint8_t out[kVidHeaderSize]);
vid_Header vid_DecodeHeader(const uint8_t in[kVidHeaderSize]);

// The most payload a reply to `request_code` can carry.
uint64_t vid_ReplyPayloadLimit(uint32_t request_code);

// A growing payload block kept by its owner and reused between replies.
struct vid_PayloadBuffer {
  void *block;
  size_t capacity;
};
void vid_PayloadRelease(vid_PayloadBuffer *buffer);

enum class vid_Receive {
  ok,
  mismatch,  // a whole reply to another request arrived and was dropped
  silent,    // nothing arrived in time: the reply is still owed
  broken,    // partial, closed, or a size no such reply can have
};

// Reads one reply to `request_code` within `milliseconds`; its payload lands
// in `buffer` (grown only when too small, after the size has been checked).
vid_Receive vid_ReceiveReply(os_Pipe *pipe, uint32_t request_code, uint32_t milliseconds, vid_Header *reply,
                             vid_PayloadBuffer *buffer);
