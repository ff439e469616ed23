// Frames per second through the video bridge (server process, pipe, copy
// into the caller's image) against decoding the same clip in this process
// with libavcodec and swscale to BGRA, same decoder thread settings.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "raster/thread_state.h"
#include "video/clips.h"
#include "video/video_bridge.h"

namespace {

constexpr int kFrames = 300;
std::string gClip;
double gBridgeFps = 0, gLocalFps = 0;

// Gradients that move and a box that crosses them: motion for the decoder,
// content of a camera's kind rather than noise.
uint32_t pattern(int k, int x, int y) {
  bool box = x >= 4 * k && x < 4 * k + 200 && y >= 200 && y < 400;
  auto b = static_cast<uint32_t>(x / 5 + 2 * k) & 0xFF, g = static_cast<uint32_t>(y / 3 + k) & 0xFF;
  auto r = box ? 0xF0u : static_cast<uint32_t>((x + y) / 8 + 3 * k) & 0xFF;
  return 0xFF000000u | r << 16 | g << 8 | b;
}

void BM_Bridge(benchmark::State &state) {
  FltVideoConnection *c = vid_OpenServer(5000, nullptr);
  int32_t result = 0;
  std::u16string path(gClip.begin(), gClip.end());
  if (c == nullptr || !vid_OpenFile(c, path.c_str(), 0, &result)) {
    state.SkipWithError("the video server did not start or open the clip");
    vid_CloseServer(&c);
    return;
  }
  int k = 0;
  FltImage image{};
  for (auto _ : state) {
    if (!vid_GetFrame(c, k, 0, &image)) state.SkipWithError("frame failed");
    benchmark::DoNotOptimize(image.pixels[0]);
    k = (k + 1) % kFrames;
  }
  vid_CloseServer(&c);
  state.SetItemsProcessed(state.iterations());
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_InProcess(benchmark::State &state) {
  AVFormatContext *in = nullptr;
  if (avformat_open_input(&in, gClip.c_str(), nullptr, nullptr) < 0 || avformat_find_stream_info(in, nullptr) < 0) {
    state.SkipWithError("cannot open the clip");
    return;
  }
  int stream = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  AVCodecContext *dec = avcodec_alloc_context3(avcodec_find_decoder(in->streams[stream]->codecpar->codec_id));
  avcodec_parameters_to_context(dec, in->streams[stream]->codecpar);
  dec->thread_count = 1;  // as the server sets it
  avcodec_open2(dec, dec->codec, nullptr);
  AVPacket *packet = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  SwsContext *sws = nullptr;
  std::vector<uint32_t> out(size_t(dec->width) * dec->height);
  auto next = [&]() {
    for (;;) {
      if (avcodec_receive_frame(dec, frame) == 0) return true;
      if (av_read_frame(in, packet) < 0) {  // the end: start over, as the bridge loop does
        avcodec_send_packet(dec, nullptr);
        if (avcodec_receive_frame(dec, frame) == 0) return true;
        av_seek_frame(in, stream, 0, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(dec);
        continue;
      }
      if (packet->stream_index == stream) avcodec_send_packet(dec, packet);
      av_packet_unref(packet);
    }
  };
  for (auto _ : state) {
    next();
    sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                               frame->width, frame->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    uint8_t *planes[4] = {reinterpret_cast<uint8_t *>(out.data())};
    int strides[4] = {frame->width * 4};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
    av_frame_unref(frame);
    benchmark::DoNotOptimize(out[0]);
  }
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&dec);
  avformat_close_input(&in);
  state.SetItemsProcessed(state.iterations());
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      auto fps = run.counters.find("fps");
      // With repetitions only the mean counts, not the spread aggregates.
      if (fps == run.counters.end() || (!run.aggregate_name.empty() && run.aggregate_name != "mean")) continue;
      (run.benchmark_name().find("Bridge") != std::string::npos ? gBridgeFps : gLocalFps) = fps->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

BENCHMARK(BM_Bridge)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_InProcess)->UseRealTime()->MinTime(3.0);

int main(int argc, char **argv) {
  char folder[] = "/tmp/vgm-video-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  gClip = std::string(folder) + "/clip720.mkv";
  ClipSettings clip;
  clip.codec = "libx264";
  clip.pixel_format = AV_PIX_FMT_YUV420P;
  clip.width = 1280, clip.height = 720, clip.frames = kFrames, clip.gop = 30, clip.b_frames = 2;
  clip.private_options = "preset=veryfast";
  clip.colour = pattern;
  if (!makeClip(gClip, clip)) return std::fprintf(stderr, "cannot make the clip\n"), 1;
  setenv("VGM_APP_DIR", VGM_BIN_DIR, 1);
  rx_EngineStart();
  benchmark::Initialize(&argc, argv);
  Recorder reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove_all(folder);
  if (gBridgeFps > 0 && gLocalFps > 0)
    std::printf("bridge %.1f fps, in-process %.1f fps: %.2fx\n", gBridgeFps, gLocalFps, gBridgeFps / gLocalFps);
  return 0;
}
