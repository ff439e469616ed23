// The video server: decodes video files for the bridge over the pipe named
// by argv[1]. One request at a time; every reply is a 32-byte header plus
// its payload, all little-endian.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kReply = 0x40000000u;
constexpr int kMaxSide = 16384;

enum Status : int64_t {
  kOk = 0, kUnknownFormat = 1, kNoDecoder = 2, kUnknownRequest = 3, kNoVideo = 4, kPastEnd = 5,
  kNoFile = 6, kDecoderSetup = 7, kNoMemory = 9, kCannotOpen = 10, kDecodeError = 11, kTooSlow = 15,
};

int gPipe = -1;

bool readAll(void *data, size_t size) {
  auto *p = static_cast<char *>(data);
  while (size > 0) {
    ssize_t n = ::recv(gPipe, p, size, 0);
    if (n <= 0) return false;
    p += n, size -= static_cast<size_t>(n);
  }
  return true;
}

bool writeAll(const void *data, size_t size) {
  const auto *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = ::send(gPipe, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n, size -= static_cast<size_t>(n);
  }
  return true;
}

void put32(uint8_t *out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t *in) { return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24; }

bool reply(uint32_t code, int64_t status, double real, const void *payload, uint32_t size) {
  uint8_t header[32] = {};
  uint64_t bits = 0;
  std::memcpy(&bits, &real, sizeof bits);
  put32(header, code | kReply);
  put32(header + 8, static_cast<uint32_t>(status));
  put32(header + 12, static_cast<uint32_t>(static_cast<uint64_t>(status) >> 32));
  put32(header + 16, static_cast<uint32_t>(bits));
  put32(header + 20, static_cast<uint32_t>(bits >> 32));
  put32(header + 28, size);
  return writeAll(header, sizeof header) && (size == 0 || writeAll(payload, size));
}

std::string utf8FromUtf16(const std::vector<uint8_t> &bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t c = bytes[i] | bytes[i + 1] << 8;
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
      uint32_t low = bytes[i + 2] | bytes[i + 3] << 8;
      if (low >= 0xDC00 && low < 0xE000) c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00), i += 2;
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6), out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12), out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18), out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F)), out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::vector<uint8_t> utf16Payload(const std::string &ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) out.push_back(static_cast<uint8_t>(c)), out.push_back(0);
  return out;
}

// One decoded, converted frame: the frame record followed by its pixels.
struct Picture {
  int64_t index = -1;
  std::vector<uint8_t> bytes;
};

class Video {
 public:
  ~Video() { close(); }

  int64_t open(const std::string &path) {
    close();
    path_ = path;
    int err = avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
    if (err < 0) {
      format_ = nullptr;
      if (err == AVERROR(ENOMEM)) return kNoMemory;
      return (err == AVERROR(ENOENT) || err == AVERROR(EACCES) || err == AVERROR(EISDIR)) ? kCannotOpen
                                                                                         : kUnknownFormat;
    }
    if (avformat_find_stream_info(format_, nullptr) < 0) return fail(kUnknownFormat);
    stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_ < 0) return fail(kNoVideo);
    AVStream *st = format_->streams[stream_];
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (codec == nullptr) return fail(kNoDecoder);
    if (int64_t status = buildIndex(); status != kOk) return fail(status);
    if (!openDecoder(codec)) return fail(kDecoderSetup);
    AVRational sar = av_guess_sample_aspect_ratio(format_, st, nullptr);
    outW_ = dec_->width, outH_ = dec_->height;
    if (sar.num > 0 && sar.den > 0 && sar.num != sar.den) {
      if (sar.num > sar.den) outW_ = static_cast<int>(std::lround(double(dec_->width) * sar.num / sar.den));
      else outH_ = static_cast<int>(std::lround(double(dec_->height) * sar.den / sar.num));
    }
    if (outW_ < 1 || outH_ < 1 || outW_ > kMaxSide || outH_ > kMaxSide) return fail(kDecoderSetup);
    AVRational rate = av_guess_frame_rate(format_, st, nullptr);
    fps_ = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
    codecText_ = std::string(codec->name) + " " + std::to_string(dec_->width) + "x" + std::to_string(dec_->height);
    return kOk;
  }

  void close() {
    sws_freeContext(sws_), sws_ = nullptr;
    avcodec_free_context(&dec_);
    avformat_close_input(&format_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    pts_.clear(), keys_.clear();
    next_ = -1;
  }

  bool isOpen() const { return dec_ != nullptr && format_ != nullptr; }
  int64_t count() const { return static_cast<int64_t>(pts_.size()); }
  double fps() const { return fps_; }
  double seconds() const {
    if (pts_.empty()) return 0.0;
    double base = av_q2d(format_->streams[stream_]->time_base);
    double span = double(pts_.back() - pts_.front()) * base;
    return span + (fps_ > 0 ? 1.0 / fps_ : 0.0);
  }
  const std::string &codecText() const { return codecText_; }
  std::string containerText() const { return format_ != nullptr ? format_->iformat->name : ""; }

  // Frame `index` into `out`; a status.
  int64_t frame(int64_t index, Picture *out) {
    if (!isOpen()) return kNoFile;
    if (index < 0 || index >= count()) return kPastEnd;
    if (out->index == index) return kOk;
    out->index = -1;
    return decodeTo(index, out);
  }

 private:
  int64_t fail(int64_t status) {
    close();
    return status;
  }

  int64_t buildIndex() {
    AVPacket *packet = av_packet_alloc();
    if (packet == nullptr) return kNoMemory;
    std::vector<std::pair<int64_t, bool>> found;
    while (av_read_frame(format_, packet) >= 0) {
      if (packet->stream_index == stream_) {
        int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (t == AV_NOPTS_VALUE) t = found.empty() ? 0 : found.back().first + 1;
        found.emplace_back(t, (packet->flags & AV_PKT_FLAG_KEY) != 0);
      }
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end(),
                            [](auto &a, auto &b) { return a.first == b.first; }),
                found.end());
    for (auto &[t, key] : found) pts_.push_back(t), keys_.push_back(key);
    if (pts_.empty()) return kNoVideo;
    return rewind(0) ? kOk : kDecodeError;
  }

  bool openDecoder(const AVCodec *codec) {
    dec_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (dec_ == nullptr || frame_ == nullptr || packet_ == nullptr) return false;
    if (avcodec_parameters_to_context(dec_, format_->streams[stream_]->codecpar) < 0) return false;
    // One decoding thread: the decode-ahead thread already overlaps decoding
    // with the transfer, and frame threads would delay every random access.
    dec_->thread_count = 1;
    dec_->pkt_timebase = format_->streams[stream_]->time_base;
    return avcodec_open2(dec_, codec, nullptr) >= 0 && dec_->width > 0 && dec_->height > 0;
  }

  // Positions the demuxer at or before the keyframe of frame `index` (or at
  // the very start).
  bool rewind(int64_t index, bool from_start = false) {
    if (dec_ != nullptr) avcodec_flush_buffers(dec_);
    eof_ = false;
    next_ = -1;
    int64_t key = from_start ? 0 : index;
    while (key > 0 && !keys_[static_cast<size_t>(key)]) --key;
    if (!from_start && av_seek_frame(format_, stream_, pts_[static_cast<size_t>(key)], AVSEEK_FLAG_BACKWARD) >= 0)
      return true;
    // No seek to rely on: read from the start of a fresh input.
    avformat_close_input(&format_);
    return avformat_open_input(&format_, path_.c_str(), nullptr, nullptr) >= 0 &&
           avformat_find_stream_info(format_, nullptr) >= 0 && stream_ < static_cast<int>(format_->nb_streams);
  }

  int64_t indexOf(int64_t t) const {
    auto at = std::lower_bound(pts_.begin(), pts_.end(), t);
    return at != pts_.end() && *at == t ? at - pts_.begin() : -1;
  }

  bool keyBetween(int64_t from, int64_t to) const {
    for (int64_t i = from + 1; i <= to; ++i)
      if (keys_[static_cast<size_t>(i)]) return true;
    return false;
  }

  // The next decoded frame's index (its timestamp's place), or a status < 0.
  int64_t decodeNext() {
    for (;;) {
      int got = avcodec_receive_frame(dec_, frame_);
      if (got == 0) {
        int64_t t = frame_->best_effort_timestamp != AV_NOPTS_VALUE ? frame_->best_effort_timestamp : frame_->pts;
        int64_t index = indexOf(t);
        if (index < 0 && next_ >= 0) index = next_;  // untimed frames count on
        next_ = index < 0 ? -1 : index + 1;
        if (index >= 0) return index;
        av_frame_unref(frame_);
        continue;
      }
      if (got == AVERROR_EOF || (got != AVERROR(EAGAIN))) return -kDecodeError;
      if (eof_) return -kDecodeError;
      int read = av_read_frame(format_, packet_);
      if (read < 0) {
        eof_ = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (packet_->stream_index == stream_) {
        int sent = avcodec_send_packet(dec_, packet_);
        if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
          av_packet_unref(packet_);
          return -kDecodeError;
        }
      }
      av_packet_unref(packet_);
    }
  }


 public:
  // Frame `index` however it is reached; a status.
  int64_t decodeTo(int64_t index, Picture *out) {
    // On from the last frame unless a keyframe lies in between.
    bool forward = next_ >= 0 && next_ <= index && (index == next_ || !keyBetween(next_, index));
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!forward && !rewind(index, attempt == 1)) return kDecodeError;
      forward = false;
      for (;;) {
        int64_t got = decodeNext();
        if (got < 0) break;
        if (got == index) return convert(index, out);
        av_frame_unref(frame_);
        if (got > index) break;  // landed beyond it: try again from its keyframe
      }
    }
    return kDecodeError;
  }

 private:
  int64_t convert(int64_t index, Picture *out) {
    auto format = static_cast<AVPixelFormat>(frame_->format);
    sws_ = sws_getCachedContext(sws_, frame_->width, frame_->height, format, outW_, outH_, AV_PIX_FMT_BGRA,
                                SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (sws_ == nullptr) return av_frame_unref(frame_), kDecoderSetup;
    size_t pixels = size_t(outW_) * size_t(outH_);
    out->bytes.resize(20 + pixels * 4);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
    bool alpha = desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    uint8_t *record = out->bytes.data();
    put32(record, outW_), put32(record + 4, outH_), put32(record + 8, outW_), put32(record + 12, outH_);
    put32(record + 16, alpha ? 1 : 0);
    uint8_t *planes[4] = {record + 20, nullptr, nullptr, nullptr};
    int strides[4] = {outW_ * 4, 0, 0, 0};
    sws_scale(sws_, frame_->data, frame_->linesize, 0, frame_->height, planes, strides);
    av_frame_unref(frame_);
    // Alpha to transparency: T = 255 - A. Without alpha the bridge makes the
    // frame opaque itself, so the pass is saved.
    uint8_t *p = record + 20;
    if (alpha)
      for (size_t i = 0; i < pixels; ++i) p[i * 4 + 3] = static_cast<uint8_t>(255 - p[i * 4 + 3]);
    out->index = index;
    return kOk;
  }

  std::string path_;
  AVFormatContext *format_ = nullptr;
  AVCodecContext *dec_ = nullptr;
  AVFrame *frame_ = nullptr;
  AVPacket *packet_ = nullptr;
  SwsContext *sws_ = nullptr;
  int stream_ = -1;
  std::vector<int64_t> pts_;
  std::vector<bool> keys_;
  int outW_ = 0, outH_ = 0;
  double fps_ = 0.0;
  std::string codecText_;
  bool eof_ = false;
  int64_t next_ = -1;  // the index the decoder yields next, -1 unknown
};

// Decodes ahead on its own thread while requests come in order, so that
// decoding goes on while a frame crosses the pipe and the client copies it.
// The video belongs to the thread while it runs; halt() takes it back.
class DecodeAhead {
 public:
  explicit DecodeAhead(Video *video) : video_(video) {}
  ~DecodeAhead() { halt(); }

  void start(int64_t from) {
    halt();
    stop_ = false, done_ = false, next_ = from;
    thread_ = std::thread([this] { run(); });
  }

  void halt() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    for (Picture &p : queue_) spare_.push_back(std::move(p));
    queue_.clear();
  }

  // Swaps frame `index` into `out` when it is the one coming next.
  bool take(int64_t index, Picture *out) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return false;
    changed_.wait(lock, [&] { return !queue_.empty() || done_; });
    if (queue_.empty() || queue_.front().index != index) return false;
    std::swap(*out, queue_.front());
    spare_.push_back(std::move(queue_.front()));
    queue_.pop_front();
    changed_.notify_all();
    return true;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stop_ || queue_.size() < kDepth; });
      if (stop_ || next_ >= video_->count()) break;
      Picture picture;
      if (!spare_.empty()) picture = std::move(spare_.back()), spare_.pop_back();
      lock.unlock();
      int64_t status = video_->decodeTo(next_, &picture);
      lock.lock();
      if (status != kOk) break;
      queue_.push_back(std::move(picture));
      ++next_;
      changed_.notify_all();
    }
    done_ = true;
    changed_.notify_all();
  }

  static constexpr size_t kDepth = 3;
  Video *video_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Picture> queue_;
  std::vector<Picture> spare_;
  int64_t next_ = 0;
  bool stop_ = false, done_ = false;
};

uint64_t nowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool connectPipe(const char *short_name) {
  std::string name = std::string("\\\\.\\pipe\\") + short_name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  gPipe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int buffer = 4 << 20;  // fewer round trips per frame; the system caps it
  ::setsockopt(gPipe, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return gPipe >= 0 && ::connect(gPipe, reinterpret_cast<sockaddr *>(&address), length) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || !connectPipe(argv[1])) return 2;
  ::signal(SIGPIPE, SIG_IGN);
  av_log_set_level(AV_LOG_QUIET);
  Video video;
  Picture picture;
  DecodeAhead ahead(&video);
  for (;;) {
    uint8_t header[32];
    if (!readAll(header, sizeof header)) return 0;  // the bridge is gone
    uint32_t code = get32(header), time_limit = get32(header + 4), size = get32(header + 28);
    int64_t value = static_cast<int64_t>(get32(header + 8) | static_cast<uint64_t>(get32(header + 12)) << 32);
    if (size > 65536) return 3;  // no request carries that much
    std::vector<uint8_t> payload(size);
    if (size > 0 && !readAll(payload.data(), size)) return 0;
    uint64_t start = nowMs();
    auto late = [&]() { return time_limit > 0 && nowMs() - start > time_limit; };
    bool sent = true;
    switch (code) {
      case 0: sent = reply(code, kOk, 0, nullptr, 0); break;
      case 1: return 0;
      case 16: {
        ahead.halt();
        picture.index = -1;
        int64_t status = video.open(utf8FromUtf16(payload));
        if (status == kOk && late()) status = kTooSlow, video.close();
        sent = reply(code, status, 0, nullptr, 0);
        break;
      }
      case 17: ahead.halt(), picture.index = -1, video.close(), sent = reply(code, kOk, 0, nullptr, 0); break;
      case 18: {
        int64_t status = kOk;
        if (picture.index != value && !ahead.take(value, &picture)) {
          ahead.halt();
          status = video.frame(value, &picture);
          if (status == kOk) ahead.start(value + 1);
        }
        if (status == kOk && late()) status = kTooSlow;
        if (status != kOk) {
          sent = reply(code, status, 0, nullptr, 0);
          break;
        }
        sent = reply(code, kOk, 0, picture.bytes.data(), static_cast<uint32_t>(picture.bytes.size()));
        break;
      }
      case 19: sent = reply(code, video.isOpen() ? kOk : kNoFile, video.fps(), nullptr, 0); break;
      case 20: sent = reply(code, video.isOpen() ? video.count() : -1, 0, nullptr, 0); break;
      case 21: sent = reply(code, video.isOpen() ? kOk : kNoFile, video.seconds(), nullptr, 0); break;
      case 22:
      case 23: {
        if (!video.isOpen()) {
          sent = reply(code, kNoFile, 0, nullptr, 0);
          break;
        }
        auto text = utf16Payload(code == 22 ? video.codecText() : video.containerText());
        sent = reply(code, kOk, 0, text.data(), static_cast<uint32_t>(text.size()));
        break;
      }
      default: sent = reply(code, kUnknownRequest, 0, nullptr, 0); break;
    }
    if (!sent) return 0;
  }
}
