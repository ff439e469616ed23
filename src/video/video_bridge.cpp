#include "video/video_bridge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "hostenv/error_log.h"
#include "hostenv/folders.h"
#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/surface.h"

namespace {

constexpr uint32_t kMinTransfer = 100;  // floor of every transfer's limit
constexpr uint32_t kReplyGrace = 100;   // an exchange may take its limit plus this
constexpr uint32_t kOpenFloor = 5000;
constexpr uint32_t kQueryFloor = 1000;
constexpr uint32_t kStartFloor = 1000;
constexpr uint32_t kConnectFloor = 2500;
constexpr uint32_t kPollStep = 50;

uint64_t nowMs() { return os_HighResCounter() / (os_HighResFrequency() / 1000); }

struct Exchange {
  bool ok = false;
  vid_Header reply{};
  uint64_t elapsed = 0;
};

// The server is gone or out of step: nothing more goes over this pipe.
void dropLink(FltVideoConnection *c) {
  os_PipeClose(c->pipe);
  c->pipe = nullptr;
  c->owed_code = 0;
}

bool sendMessage(FltVideoConnection *c, const vid_Header &header, const void *payload, uint32_t milliseconds) {
  uint8_t raw[kVidHeaderSize];
  vid_EncodeHeader(header, raw);
  uint64_t start = nowMs();
  bool sent = os_PipeWrite(c->pipe, raw, sizeof raw, milliseconds, nullptr) != 0;
  if (sent && header.payload_size > 0) {
    uint64_t spent = nowMs() - start;
    uint32_t left = spent >= milliseconds ? 0 : static_cast<uint32_t>(milliseconds - spent);
    sent = os_PipeWrite(c->pipe, payload, header.payload_size, std::max(left, kMinTransfer), nullptr) != 0;
  }
  if (!sent) dropLink(c);  // a half-sent request leaves the server out of step
  return sent;
}

// One request and (but for quit) its reply. `time_limit` goes to the server;
// the exchange takes at most `wait_ms` + 100 ms in all, quit only its write.
Exchange exchange(FltVideoConnection *c, uint32_t code, uint32_t time_limit, uint32_t wait_ms, int64_t value,
                  uint32_t flags, const void *payload = nullptr, uint32_t payload_size = 0) {
  Exchange result;
  uint64_t start = nowMs();
  if (c->pipe == nullptr) return result;
  uint32_t budget = wait_ms + kReplyGrace;
  auto left = [&]() -> uint32_t {
    uint64_t spent = nowMs() - start;
    return spent >= budget ? 0 : static_cast<uint32_t>(budget - spent);
  };
  // A reply that came too late for an earlier exchange is read and dropped
  // first, so it is never taken for this one's.
  if (c->owed_code != 0) {
    vid_Header late{};
    vid_Receive got = vid_ReceiveReply(c->pipe, c->owed_code, left(), &late, &c->payload);
    if (got == vid_Receive::broken) dropLink(c);
    if (got == vid_Receive::silent || got == vid_Receive::broken) {
      result.elapsed = nowMs() - start;
      return result;
    }
    c->owed_code = 0;
  }
  vid_Header request{code, time_limit, value, 0.0, flags, payload_size};
  uint32_t send_limit = std::max(wait_ms, kMinTransfer);
  if (code != kVidQuit) send_limit = std::min(send_limit, left());
  if (!sendMessage(c, request, payload, send_limit)) {
    result.elapsed = nowMs() - start;
    return result;
  }
  if (code != kVidQuit) {
    vid_Receive got = vid_ReceiveReply(c->pipe, code, std::max(left(), 1u), &result.reply, &c->payload);
    if (got == vid_Receive::silent) c->owed_code = code;
    if (got == vid_Receive::broken) dropLink(c);
    result.ok = got == vid_Receive::ok;
  } else {
    result.ok = true;
  }
  result.elapsed = nowMs() - start;
  return result;
}

uint32_t pseudoRandom() {
  thread_local std::minstd_rand generator(static_cast<uint32_t>(os_HighResCounter()) ^ os_ThreadId());
  return static_cast<uint32_t>(generator() & 0x7FFF);
}

bool serverPath(bool use64, std::u16string *path) {
  char16_t folder[os_MaxPath];
  const char16_t *name = use64 && os_Can64BitHelperRun() ? kVidServer64 : kVidServer32;
  if (env_GetAppFolder(folder)) {
    *path = std::u16string(folder) + os_PathSeparator + name;
    if (path->size() < os_MaxPath && os_FileExists(path->c_str())) return true;
  }
  log_Error(kVidErrorTitle, kVidErrorMissing);
  return false;
}

bool startServer(FltVideoConnection *c, bool use64) {
  std::u16string path;
  if (!serverPath(use64, &path)) return false;
  uint32_t start_limit = std::max({c->timeout_ms, kQueryFloor, kStartFloor});
  uint32_t connect_limit = std::max({c->timeout_ms, kQueryFloor, kConnectFloor});
  uint64_t start = nowMs();
  os_Pipe *pipe = nullptr;
  std::u16string name;
  do {
    char text[40];
    std::snprintf(text, sizeof text, "%08x_%04x", os_ThreadId(), pseudoRandom());
    name = std::u16string(kVidPipePrefix) + os_Utf8ToUtf16(text);
    pipe = os_PipeCreate((u"\\\\.\\pipe\\" + name).c_str());
  } while (pipe == nullptr && nowMs() - start < start_limit);
  if (pipe == nullptr) return false;
  // Two blanks, then the short name in double quotes.
  std::u16string command_line = u"  \"" + name + u"\"";
  os_Process *process = os_ProcessStart(path.c_str(), command_line.c_str());
  if (process == nullptr || !os_PipeAccept(pipe, connect_limit, os_ProcessIdOf(process))) {
    os_ProcessClose(process);  // terminates a server that never connected
    os_PipeClose(pipe);
    return false;
  }
  std::memset(c->pipe_name, 0, sizeof c->pipe_name);
  std::memcpy(c->pipe_name, name.data(), std::min(name.size(), size_t{63}) * sizeof(char16_t));
  c->pipe = pipe;
  c->process = process;
  c->owed_code = 0;
  return true;
}

void stopServer(FltVideoConnection *c) {
  // Closing our end first lets a server blocked on the pipe notice and end.
  os_PipeShutdown(c->pipe);
  uint64_t start = nowMs();
  while (os_ProcessIsRunning(c->process)) {
    if (nowMs() - start > kVidStopMilliseconds) {
      os_ProcessTerminate(c->process);
      break;
    }
    os_Sleep(kPollStep);
  }
  os_ProcessClose(c->process);
  c->process = nullptr;
  dropLink(c);
}

int32_t failedExchangeCode(const Exchange &e, uint32_t limit) {
  return e.elapsed >= limit ? FLT_ERR_TIMEOUT : FLT_ERR_COMPONENT_FAILED;
}

void setResult(int32_t *result, int32_t code) {
  if (result != nullptr) *result = code;
}

bool validFrameSide(uint32_t side) { return side >= 1 && side <= kVidMaxFrameSide; }

}  // namespace

int32_t vid_MapStatus(int64_t status) {
  switch (status) {
    case 0: return 1;
    case 1: case 2: case 3: return FLT_ERR_UNSUPPORTED;
    case 4: case 5: case 6: return FLT_ERR_NO_IMAGE_DATA;
    case 7: return FLT_ERR_COMPONENT_FAILED;
    case 8: return FLT_ERR_BITMAP;
    case 9: return FLT_ERR_OUT_OF_MEMORY;
    case 10: return FLT_ERR_OPEN_READ;
    case 11: return FLT_ERR_READ;
    case 15: return FLT_ERR_TIMEOUT;
    default: return FLT_ERR_INTERNAL;
  }
}

FltVideoConnection *VGM_API vid_OpenServer(uint32_t timeout_ms, int32_t *result) {
  auto *c = static_cast<FltVideoConnection *>(GlobalAlloc(GPTR, sizeof(FltVideoConnection)));
  if (c == nullptr) {
    setResult(result, FLT_ERR_OUT_OF_MEMORY);
    return nullptr;
  }
  c->timeout_ms = timeout_ms;
  if (!startServer(c, false)) {
    c->use_64bit = 1;
    if (!startServer(c, true)) {
      GlobalFree(c);
      setResult(result, FLT_ERR_COMPONENT_MISSING);
      return nullptr;
    }
  }
  setResult(result, 1);
  return c;
}

int32_t VGM_API vid_CloseServer(FltVideoConnection **connection) {
  if (connection == nullptr || *connection == nullptr) return 1;
  FltVideoConnection *c = *connection;
  exchange(c, kVidCloseFile, 0, 0, 0, 0);
  c->file_open = 0;
  uint32_t limit = std::max(c->timeout_ms, kMinTransfer);
  exchange(c, kVidQuit, limit, limit + kReplyGrace, 0, 0);  // the write alone
  stopServer(c);
  os_GlobalRelease(c->frame_buffer);
  vid_PayloadRelease(&c->payload);
  GlobalFree(c);
  *connection = nullptr;
  return 1;
}

int32_t VGM_API vid_CloseFile(FltVideoConnection *c) {
  if (c == nullptr) return 0;
  Exchange e = exchange(c, kVidCloseFile, 0, 0, 0, 0);
  c->file_open = 0;
  return e.ok ? 1 : 0;
}

int32_t VGM_API vid_OpenFile(FltVideoConnection *c, const WCHAR *wide_path, uint32_t flags, int32_t *result) {
  const char16_t *path = os_U16(wide_path);
  if (c == nullptr || path == nullptr) {
    setResult(result, FLT_ERR_BAD_REQUEST);
    return 0;
  }
  size_t length = os_Utf16Length(path);
  if (length + 1 > os_MaxPath) {
    // Paths fail rather than being cut: a shortened path names another file.
    setResult(result, FLT_ERR_OPEN_READ);
    return 0;
  }
  std::u16string copy(path, length);
  if (c->file_open) vid_CloseFile(c);
  uint32_t limit = std::max(c->timeout_ms, kOpenFloor);
  auto bytes = static_cast<uint32_t>((length + 1) * sizeof(char16_t));
  auto send = [&]() { return exchange(c, kVidOpenFile, limit, limit, 0, flags & 1, copy.c_str(), bytes); };

  Exchange e = send();
  if (e.ok && e.reply.value == 0) {
    c->file_open = 1;
    return 1;
  }
  if (!e.ok && e.elapsed >= limit) {
    setResult(result, FLT_ERR_TIMEOUT);
    return 0;
  }
  setResult(result, e.ok ? vid_MapStatus(e.reply.value) : FLT_ERR_COMPONENT_FAILED);

  // Once more with the other build of the server.
  bool previous = c->use_64bit != 0;
  stopServer(c);
  if (!startServer(c, !previous)) {
    setResult(result, startServer(c, previous) ? FLT_ERR_COMPONENT_FAILED : FLT_ERR_COMPONENT_MISSING);
    return 0;
  }
  c->use_64bit = previous ? 0 : 1;
  e = send();
  if (e.ok && e.reply.value == 0) {
    c->file_open = 1;
    return 1;
  }
  setResult(result, e.ok ? vid_MapStatus(e.reply.value) : failedExchangeCode(e, limit));
  return 0;
}

int32_t VGM_API vid_GetFrame(FltVideoConnection *c, int32_t frame_index, uint32_t flags, FltImage *image) {
  if (c == nullptr || image == nullptr) return 0;
  uint32_t limit = std::max(c->timeout_ms, kMinTransfer);
  Exchange e = exchange(c, kVidGetFrame, limit, limit, frame_index, flags & 1);
  *image = FltImage{};
  if (!e.ok || e.reply.value != 0 || e.reply.payload_size < kVidFrameRecordSize) return 0;
  const auto *record = static_cast<const uint32_t *>(c->payload.block);
  uint32_t out_w = record[0], out_h = record[1], frame_w = record[2], frame_h = record[3], frame_flags = record[4];
  if (!validFrameSide(out_w) || !validFrameSide(out_h) || !validFrameSide(frame_w) || !validFrameSide(frame_h) ||
      kVidFrameRecordSize + uint64_t{frame_w} * frame_h * 4 > e.reply.payload_size)
    return 0;

  rx_Surface target{};
  rx_Surface *dst = &target;
  if (flags & 2) {
    dst = static_cast<rx_Surface *>(GlobalAlloc(GPTR, sizeof(rx_Surface)));
    if (dst == nullptr || rx_SurfaceCreate(dst, static_cast<int32_t>(out_w), static_cast<int32_t>(out_h),
                                           rx_CreateMemory) != 1) {
      if (dst != nullptr) rx_SurfaceFree(dst);
      os_GlobalRelease(dst);
      image->width = out_w;
      image->height = out_h;
      return 0;
    }
    *image = FltImage{dst->width, dst->height, dst->stride, 0, dst->bits, dst};
  } else {
    size_t n = size_t{out_w} * out_h * 4;
    if (c->frame_buffer != nullptr && c->frame_capacity < n) {
      os_GlobalRelease(c->frame_buffer);
      c->frame_buffer = nullptr;
      c->frame_capacity = 0;
    }
    if (c->frame_buffer == nullptr) {
      size_t usable = n + 1024 + n / 16;
      c->frame_buffer = GlobalAlloc(GMEM_FIXED, usable + 1024);
      if (c->frame_buffer == nullptr) {
        image->width = out_w;
        image->height = out_h;
        return 0;
      }
      c->frame_capacity = static_cast<uint32_t>(usable);
    }
    rx_SurfaceWrap(dst, static_cast<int32_t>(out_w), static_cast<int32_t>(out_h), static_cast<int32_t>(out_w),
                   c->frame_buffer);
    *image = FltImage{out_w, out_h, out_w, 0, static_cast<uint32_t *>(c->frame_buffer), nullptr};
  }
  rx_Surface source{};
  rx_SurfaceWrap(&source, static_cast<int32_t>(frame_w), static_cast<int32_t>(frame_h), static_cast<int32_t>(frame_w),
                 const_cast<uint32_t *>(record + 5));
  auto right = static_cast<int32_t>(out_w) - 1, bottom = static_cast<int32_t>(out_h) - 1;
  auto src_right = static_cast<int32_t>(frame_w) - 1, src_bottom = static_cast<int32_t>(frame_h) - 1;
  int32_t drawn = frame_w == out_w && frame_h == out_h
                      ? rx_CopyRect(dst, 0, 0, right, bottom, &source, 0, 0, src_right, src_bottom, 0)
                      : rx_ResampleRect(dst, 0, 0, right, bottom, &source, 0, 0, src_right, src_bottom, 0);
  if (drawn && (frame_flags & 1) == 0) rx_SurfaceFixAlpha(dst, rx_AlphaOpaque);
  rx_SurfaceFree(&source);
  if (dst == &target) rx_SurfaceFree(&target);
  return drawn ? 1 : 0;
}

int32_t VGM_API vid_Ping(FltVideoConnection *c) {
  if (c == nullptr) return 0;
  uint32_t limit = std::max(c->timeout_ms, kMinTransfer);
  return exchange(c, kVidPing, limit, limit, 0, 0).ok ? 1 : 0;
}

int32_t VGM_API vid_SetTimeout(FltVideoConnection *c, uint32_t ms) {
  if (c == nullptr) return 0;
  c->timeout_ms = std::max(ms, kMinTransfer);
  return 1;
}

int32_t VGM_API vid_GetMsec(FltVideoConnection *c, uint32_t *out) {
  if (c == nullptr || out == nullptr) return 0;
  uint32_t limit = std::max(c->timeout_ms, kMinTransfer);
  Exchange e = exchange(c, kVidQuerySeconds, limit, limit, 0, 0);
  if (!e.ok) return 0;
  double ms = e.reply.real > 0 ? std::round(e.reply.real * 1000.0) : 0.0;  // NaN counts as 0
  *out = ms >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(ms);
  return e.reply.real > 0 ? 1 : 0;
}

int32_t VGM_API vid_GetCount(FltVideoConnection *c, uint32_t *out) {
  if (c == nullptr || out == nullptr) return 0;
  uint32_t limit = std::max(c->timeout_ms, kMinTransfer);
  Exchange e = exchange(c, kVidQueryCount, limit, limit, 0, 0);
  if (!e.ok) return 0;
  *out = static_cast<uint32_t>(e.reply.value);
  return e.reply.value >= 0 ? 1 : 0;
}

int32_t VGM_API vid_GetReal(FltVideoConnection *c, double *out) {
  if (c == nullptr || out == nullptr) return 0;
  uint32_t limit = std::max(c->timeout_ms, kQueryFloor);
  Exchange e = exchange(c, kVidQueryReal, limit, limit, 0, 0);
  if (!e.ok) return 0;
  *out = e.reply.real;
  return e.reply.real > 0 ? 1 : 0;
}

namespace {

int32_t getText(FltVideoConnection *c, uint32_t code, WCHAR *buffer, int32_t capacity) {
  if (c == nullptr || buffer == nullptr || capacity < 1) return 0;
  uint32_t limit = std::max(c->timeout_ms, kQueryFloor);
  Exchange e = exchange(c, code, limit, limit, 0, 0);
  if (!e.ok || e.reply.value != 0 || e.reply.payload_size < 2) return 0;
  const auto *text = static_cast<const uint8_t *>(c->payload.block);
  size_t units = std::min<size_t>(e.reply.payload_size / 2, static_cast<size_t>(capacity) - 1);
  size_t copied = 0;
  // A terminator sent along with the text ends it.
  for (; copied < units; ++copied) {
    auto unit = static_cast<char16_t>(text[2 * copied] | (text[2 * copied + 1] << 8));
    if (unit == 0) break;
    buffer[copied] = unit;
  }
  buffer[copied] = 0;
  return static_cast<int32_t>(copied);
}

}  // namespace

int32_t VGM_API vid_GetTextA(FltVideoConnection *c, WCHAR *buffer, int32_t capacity) {
  return getText(c, kVidQueryTextA, buffer, capacity);
}

int32_t VGM_API vid_GetTextB(FltVideoConnection *c, WCHAR *buffer, int32_t capacity) {
  return getText(c, kVidQueryTextB, buffer, capacity);
}

const pi_BasicVideo *vid_BasicVideoTable() {
  static const pi_BasicVideo table = {
      PI_BASICVIDEO_VERSION, 0,           vid_OpenServer, vid_CloseServer, vid_OpenFile, vid_CloseFile, vid_GetFrame,
      vid_Ping,              vid_SetTimeout, vid_GetMsec, vid_GetCount,   vid_GetReal,  vid_GetTextA,  vid_GetTextB,
  };
  return &table;
}
