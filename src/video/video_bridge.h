// The video server bridge: an out-of-process decoder started on demand and
// reached over a duplex pipe. Plug-ins use it through the pi_BasicVideo
// table; a connection serves one thread at a time.
#pragma once

#include <cstdint>

#include "video/video_wire.h"
#include "vgm/vgm_plugin.h"

struct os_Pipe;
struct os_Process;

inline constexpr const char16_t *kVidPipePrefix = u"_vgm_video_";
inline constexpr const char16_t *kVidServer32 = u"vgm_Video32.exe";
inline constexpr const char16_t *kVidServer64 = u"vgm_Video64.exe";
inline constexpr const char16_t *kVidErrorTitle = u"Orvine Photo";
inline constexpr const char16_t *kVidErrorMissing = u"Out-of-Process Video Server EXE missing";
inline constexpr uint32_t kVidStopMilliseconds = 2500;

// Allocated zero-filled from the global heap by vid_OpenServer.
struct FltVideoConnection {
  uint32_t timeout_ms;
  uint32_t frame_capacity;  // usable bytes of frame_buffer
  void *frame_buffer;
  uint8_t file_open;
  uint8_t use_64bit;
  char16_t pipe_name[64];
  os_Pipe *pipe;
  os_Process *process;
  // Beyond the pipe link: the code of a reply still owed by a timed-out
  // exchange (0 none), and the reply payload block kept for reuse.
  uint32_t owed_code;
  vid_PayloadBuffer payload;
};

FltVideoConnection *VGM_API vid_OpenServer(uint32_t timeout_ms, int32_t *result);
int32_t VGM_API vid_CloseServer(FltVideoConnection **connection);
int32_t VGM_API vid_OpenFile(FltVideoConnection *connection, const WCHAR *path, uint32_t flags, int32_t *result);
int32_t VGM_API vid_CloseFile(FltVideoConnection *connection);
// Flag bit 0 goes to the server; bit 1 asks for a new image (released with
// pi_BasicImage.Free) instead of the connection's reused frame buffer.
int32_t VGM_API vid_GetFrame(FltVideoConnection *connection, int32_t frame_index, uint32_t flags, FltImage *image);
int32_t VGM_API vid_Ping(FltVideoConnection *connection);
int32_t VGM_API vid_SetTimeout(FltVideoConnection *connection, uint32_t ms);
int32_t VGM_API vid_GetMsec(FltVideoConnection *connection, uint32_t *out);
int32_t VGM_API vid_GetCount(FltVideoConnection *connection, uint32_t *out);
int32_t VGM_API vid_GetReal(FltVideoConnection *connection, double *out);
int32_t VGM_API vid_GetTextA(FltVideoConnection *connection, WCHAR *buffer, int32_t capacity);
int32_t VGM_API vid_GetTextB(FltVideoConnection *connection, WCHAR *buffer, int32_t capacity);

// The filled pi_BasicVideo table.
const pi_BasicVideo *vid_BasicVideoTable();

// Result code of a server status.
int32_t vid_MapStatus(int64_t status);
