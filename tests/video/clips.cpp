#include "video/clips.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <memory>

namespace {

template <typename T, void (*Free)(T **)>
struct Owned {
  T *p = nullptr;
  ~Owned() { Free(&p); }
};
void closeOutput(AVFormatContext **f) {
  if (*f != nullptr && !((*f)->oformat->flags & AVFMT_NOFILE)) avio_closep(&(*f)->pb);
  avformat_free_context(*f);
}

bool writePackets(AVCodecContext *enc, AVFrame *frame, AVFormatContext *out, AVStream *st) {
  if (avcodec_send_frame(enc, frame) < 0) return false;
  Owned<AVPacket, av_packet_free> pkt{av_packet_alloc()};
  while (avcodec_receive_packet(enc, pkt.p) == 0) {
    av_packet_rescale_ts(pkt.p, enc->time_base, st->time_base);
    pkt.p->stream_index = st->index;
    if (av_interleaved_write_frame(out, pkt.p) < 0) return false;
  }
  return true;
}

}  // namespace

bool makeClip(const std::string &path, const ClipSettings &clip) {
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec *codec = avcodec_find_encoder_by_name(clip.codec.c_str());
  Owned<AVFormatContext, closeOutput> out;
  if (codec == nullptr || avformat_alloc_output_context2(&out.p, nullptr, clip.muxer.c_str(), path.c_str()) < 0)
    return false;
  Owned<AVCodecContext, avcodec_free_context> enc{avcodec_alloc_context3(codec)};
  AVCodecContext *e = enc.p;
  e->width = clip.width, e->height = clip.height, e->time_base = {1, 30}, e->framerate = {30, 1};
  e->pix_fmt = static_cast<AVPixelFormat>(clip.pixel_format);
  e->sample_aspect_ratio = {clip.sar_num, clip.sar_den};
  e->gop_size = clip.gop, e->max_b_frames = clip.b_frames;
  if (out.p->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (!clip.private_options.empty()) av_opt_set_from_string(e->priv_data, clip.private_options.c_str(), nullptr, "=", ":");
  AVStream *st = avformat_new_stream(out.p, nullptr);
  if (st == nullptr || avcodec_open2(e, codec, nullptr) < 0 || avcodec_parameters_from_context(st->codecpar, e) < 0)
    return false;
  st->time_base = e->time_base, st->sample_aspect_ratio = e->sample_aspect_ratio;
  if (avio_open(&out.p->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(out.p, nullptr) < 0) return false;
  Owned<AVFrame, av_frame_free> frame{av_frame_alloc()};
  frame.p->format = e->pix_fmt, frame.p->width = e->width, frame.p->height = e->height;
  if (av_frame_get_buffer(frame.p, 0) < 0) return false;
  std::vector<uint32_t> bgra(size_t(e->width) * e->height);
  SwsContext *sws = sws_getContext(e->width, e->height, AV_PIX_FMT_BGRA, e->width, e->height, e->pix_fmt, SWS_POINT,
                                   nullptr, nullptr, nullptr);
  std::unique_ptr<SwsContext, void (*)(SwsContext *)> sws_guard(sws, sws_freeContext);
  for (int k = 0; k < clip.frames && sws != nullptr; ++k) {
    if (av_frame_make_writable(frame.p) < 0) return false;
    for (int y = 0; y < e->height; ++y)
      for (int x = 0; x < e->width; ++x)
        bgra[size_t(y) * e->width + x] = clip.colour ? clip.colour(k, x, y) : 0xFF000000u | 0x010101u * (8u * k);
    const uint8_t *planes[4] = {reinterpret_cast<const uint8_t *>(bgra.data())};
    int strides[4] = {e->width * 4};
    sws_scale(sws, planes, strides, 0, e->height, frame.p->data, frame.p->linesize);
    frame.p->pts = k;
    if (!writePackets(e, frame.p, out.p, st)) return false;
  }
  return writePackets(e, nullptr, out.p, st) && av_write_trailer(out.p) >= 0;
}

RefFrames decodeReference(const std::string &path) {
  RefFrames ref;
  AVFormatContext *in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return ref;
  std::unique_ptr<AVFormatContext *, void (*)(AVFormatContext **)> guard(&in, avformat_close_input);
  int index = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (avformat_find_stream_info(in, nullptr) < 0 || index < 0) return ref;
  AVStream *st = in->streams[index];
  Owned<AVCodecContext, avcodec_free_context> dec{avcodec_alloc_context3(avcodec_find_decoder(st->codecpar->codec_id))};
  avcodec_parameters_to_context(dec.p, st->codecpar);
  if (avcodec_open2(dec.p, dec.p->codec, nullptr) < 0) return ref;
  AVRational sar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio : AVRational{1, 1};
  ref.width = static_cast<int>(std::lround(double(dec.p->width) * std::max(1.0, av_q2d(sar))));
  ref.height = static_cast<int>(std::lround(double(dec.p->height) * std::max(1.0, 1.0 / av_q2d(sar))));
  Owned<AVPacket, av_packet_free> pkt{av_packet_alloc()};
  Owned<AVFrame, av_frame_free> frame{av_frame_alloc()};
  auto drain = [&]() {
    while (avcodec_receive_frame(dec.p, frame.p) == 0) {
      SwsContext *sws = sws_getContext(frame.p->width, frame.p->height, static_cast<AVPixelFormat>(frame.p->format),
                                       ref.width, ref.height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
      std::vector<uint32_t> pixels(size_t(ref.width) * ref.height);
      uint8_t *planes[4] = {reinterpret_cast<uint8_t *>(pixels.data())};
      int strides[4] = {ref.width * 4};
      sws_scale(sws, frame.p->data, frame.p->linesize, 0, frame.p->height, planes, strides);
      sws_freeContext(sws);
      for (uint32_t &p : pixels) p ^= 0xFF000000u;  // 255 - A
      ref.frames.push_back(std::move(pixels));
      av_frame_unref(frame.p);
    }
  };
  while (av_read_frame(in, pkt.p) >= 0) {
    if (pkt.p->stream_index == index) avcodec_send_packet(dec.p, pkt.p);
    av_packet_unref(pkt.p);
    drain();
  }
  avcodec_send_packet(dec.p, nullptr);
  drain();
  return ref;
}
