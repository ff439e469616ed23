// Small video clips made at test time, and an in-process reference decode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ClipSettings {
  std::string muxer = "matroska", codec = "ffv1";
  int pixel_format = 0;  // the encoder's AVPixelFormat; painted as BGRA and converted
  int width = 64, height = 48, frames = 30, sar_num = 1, sar_den = 1, gop = 0, b_frames = 0;
  std::string private_options;  // "key=value:key=value" for the encoder
  // Pixel (x, y) of frame k as B, G, R, A bytes; grey 8k when empty.
  uint32_t (*colour)(int k, int x, int y) = nullptr;
};

// Writes the clip; false when an encoder or muxer is missing or fails.
bool makeClip(const std::string &path, const ClipSettings &clip);

// Every frame of the file's best video stream, in presentation order, at
// the display size, as B, G, R, T (T = 255 - alpha) pixels.
struct RefFrames {
  int width = 0, height = 0;
  std::vector<std::vector<uint32_t>> frames;
};
RefFrames decodeReference(const std::string &path);
