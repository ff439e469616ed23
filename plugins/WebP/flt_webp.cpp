// flt_WebP: WebP stills and animations through libwebp, its demuxer and muxer.
//
// Stills decode incrementally straight into the layer (progress by rows,
// optionally shrunk to a preview box); animations come through the animation
// decoder as full-canvas frames. ICCP, EXIF and XMP chunks go to the host's
// services. Saving writes lossy or lossless stills, frame animations through
// the animation encoder, and the layer's EXIF through the muxer.
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "../common/flt_support.h"

namespace {

int32_t codeOf(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OK:
      return FLT_OK;
    case VP8_STATUS_OUT_OF_MEMORY:
      return FLT_ERR_OUT_OF_MEMORY;
    case VP8_STATUS_UNSUPPORTED_FEATURE:
      return FLT_ERR_NOT_IMPLEMENTED;
    case VP8_STATUS_NOT_ENOUGH_DATA:
    case VP8_STATUS_SUSPENDED:
      return FLT_ERR_UNEXPECTED_END;
    case VP8_STATUS_USER_ABORT:
      return FLT_ERR_CANCELLED;
    default:
      return FLT_ERR_BAD_ENCODING;
  }
}

int32_t beginLayer(FltLoadRequest *request, uint32_t width, uint32_t height, uint16_t delay) {
  request->width = width;
  request->height = height;
  request->x = request->y = 0;
  request->frame_delay = delay;
  if (!request->begin_layer(request, 0)) return request->status < 1 ? request->status : FLT_ERR_BITMAP;
  return FLT_OK;
}

struct Chunks {
  std::vector<uint8_t> icc, exif, xmp;
};

// The metadata chunks of an extended file; nothing for a plain or broken one.
Chunks readChunks(const WebPData &data) {
  Chunks out;
  WebPDemuxer *demux = WebPDemux(&data);
  if (demux == nullptr) return out;
  uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
  auto take = [&](const char *name, uint32_t flag, std::vector<uint8_t> &to) {
    WebPChunkIterator it;
    if ((flags & flag) && WebPDemuxGetChunk(demux, name, 1, &it)) {
      to.assign(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
      WebPDemuxReleaseChunkIterator(&it);
    }
  };
  take("ICCP", ICCP_FLAG, out.icc);
  take("EXIF", EXIF_FLAG, out.exif);
  take("XMP ", XMP_FLAG, out.xmp);
  WebPDemuxDelete(demux);
  return out;
}

// Markup, or the orientation alone for thumbnails; then the colour profile.
void finishLayer(FltLoadRequest *request, const Chunks &chunks, bool first) {
  if (request->flags & FLT_FLAG_NO_MARKUP) {
    uint32_t orientation = 0;
    if (first && flt::Ifd0(chunks.exif.data(), chunks.exif.size()).number(0x0112, orientation))
      flt::setOrientationOnly(request, int(orientation));
    return;
  }
  if (first) {
    flt::LoadMarkup markup(request);
    markup.exif(chunks.exif.data(), chunks.exif.size());
    markup.xmp(chunks.xmp.data(), chunks.xmp.size());
    markup.commit();
  }
  flt::applyProfile(request, chunks.icc.data(), chunks.icc.size());
}

// The size a preview box asks for: the smallest that still covers the box.
void previewSize(FltLoadRequest *request, uint32_t &width, uint32_t &height) {
  int boxW = flt::optionInt(request, u"preview.max_width", 0, 0, 65535);
  int boxH = flt::optionInt(request, u"preview.max_height", 0, 0, 65535);
  if (boxW <= 0 || boxH <= 0 || (width <= uint32_t(boxW) && height <= uint32_t(boxH))) return;
  double scale = std::max(double(boxW) / width, double(boxH) / height);
  if (scale >= 1) return;
  width = std::max<uint32_t>(1, uint32_t(std::ceil(width * scale - 1e-9)));
  height = std::max<uint32_t>(1, uint32_t(std::ceil(height * scale - 1e-9)));
}

struct IDecoderCloser {
  WebPIDecoder *dec;
  ~IDecoderCloser() {
    if (dec != nullptr) WebPIDelete(dec);
  }
};

int32_t loadStill(FltLoadRequest *request, const std::vector<uint8_t> &file, const WebPBitstreamFeatures &features,
                  const Chunks &chunks) {
  uint32_t width = uint32_t(features.width), height = uint32_t(features.height);
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return FLT_ERR_COMPONENT_FAILED;
  uint32_t outW = width, outH = height;
  previewSize(request, outW, outH);
  if (outW != width || outH != height) {
    config.options.use_scaling = 1;
    config.options.scaled_width = int(outW);
    config.options.scaled_height = int(outH);
  }
  int32_t code = beginLayer(request, outW, outH, 0);
  if (code != FLT_OK) return code;
  config.output.colorspace = MODE_BGRA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = reinterpret_cast<uint8_t *>(request->pixels);
  config.output.u.RGBA.stride = int(request->stride * 4);
  config.output.u.RGBA.size = size_t(request->stride) * 4 * outH;

  IDecoderCloser closer{WebPIDecode(nullptr, 0, &config)};
  if (closer.dec == nullptr) return FLT_ERR_OUT_OF_MEMORY;
  size_t step = std::max<size_t>(256, file.size() / 64);
  int rowsDone = 0;
  VP8StatusCode status = VP8_STATUS_SUSPENDED;
  flt::Progress<FltLoadRequest> progress(request, outH);
  for (size_t at = 0; at < file.size() && status == VP8_STATUS_SUSPENDED;) {
    size_t n = std::min(step, file.size() - at);
    at += n;
    status = WebPIUpdate(closer.dec, file.data(), at);
    int lastY = 0;
    if (WebPIDecGetRGB(closer.dec, &lastY, nullptr, nullptr, nullptr) != nullptr || lastY > 0) {
      for (; rowsDone < lastY && rowsDone < int(outH); ++rowsDone) {
        flt::alphaToT(request->pixels + size_t(rowsDone) * request->stride, outW);
        if (!progress.at(uint64_t(rowsDone) + 1)) return FLT_ERR_CANCELLED;
      }
    }
  }
  if (status != VP8_STATUS_OK) {
    if (rowsDone == 0) return codeOf(status);
    // Rows decoded stay; the rest is left clear.
    for (uint32_t y = uint32_t(rowsDone); y < outH; ++y)
      for (uint32_t x = 0; x < outW; ++x) request->pixels[size_t(y) * request->stride + x] = 0xFF000000u;
    request->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
  }
  finishLayer(request, chunks, true);
  return FLT_OK;
}

struct AnimCloser {
  WebPAnimDecoder *dec;
  ~AnimCloser() {
    if (dec != nullptr) WebPAnimDecoderDelete(dec);
  }
};

int32_t loadAnimation(FltLoadRequest *request, const std::vector<uint8_t> &file, const Chunks &chunks) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return FLT_ERR_COMPONENT_FAILED;
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  WebPData data{file.data(), file.size()};
  // Check the canvas before the decoder allocates it.
  WebPDemuxState state;
  WebPDemuxer *demux = WebPDemuxPartial(&data, &state);
  if (demux == nullptr) return state == WEBP_DEMUX_PARSE_ERROR ? FLT_ERR_BAD_ENCODING : FLT_ERR_UNEXPECTED_END;
  uint32_t width = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH), height = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
  WebPDemuxDelete(demux);
  if (!flt::sizeAllowed(width, height)) return FLT_ERR_DIMENSIONS;
  if (state != WEBP_DEMUX_DONE) return FLT_ERR_UNEXPECTED_END;

  AnimCloser closer{WebPAnimDecoderNew(&data, &options)};
  if (closer.dec == nullptr) return FLT_ERR_BAD_ENCODING;
  WebPAnimInfo info;
  if (!WebPAnimDecoderGetInfo(closer.dec, &info)) return FLT_ERR_BAD_ENCODING;
  int frames = 0, previous = 0;
  flt::Progress<FltLoadRequest> progress(request, info.frame_count);
  while (WebPAnimDecoderHasMoreFrames(closer.dec)) {
    if (frames > FLT_LAST_LAYER_INDEX) {
      request->warnings |= FLT_WARN_LAYERS_DROPPED;
      break;
    }
    uint8_t *canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(closer.dec, &canvas, &timestamp)) {
      if (frames == 0) return FLT_ERR_BAD_ENCODING;
      request->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
      break;
    }
    int32_t code = beginLayer(request, width, height, uint16_t(std::clamp(timestamp - previous, 0, 65535)));
    if (code != FLT_OK) return code;
    previous = timestamp;
    for (uint32_t y = 0; y < height; ++y) {
      uint32_t *row = request->pixels + size_t(y) * request->stride;
      memcpy(row, canvas + size_t(y) * width * 4, width * 4u);
      flt::alphaToT(row, width);
    }
    finishLayer(request, chunks, frames == 0);
    ++frames;
    if (!progress.at(uint64_t(frames))) return FLT_ERR_CANCELLED;
  }
  request->document_kind = frames > 1 ? FLT_DOC_FRAME_ANIMATION : FLT_DOC_COMPOSITE;
  return FLT_OK;
}

int32_t load(FltLoadRequest *request) {
  std::vector<uint8_t> file;
  int32_t code = flt::readFile(request->path, file);
  if (code != FLT_OK) return code;
  WebPBitstreamFeatures features;
  VP8StatusCode status = WebPGetFeatures(file.data(), file.size(), &features);
  if (status != VP8_STATUS_OK) return codeOf(status);
  if (!flt::sizeAllowed(uint32_t(features.width), uint32_t(features.height))) return FLT_ERR_DIMENSIONS;
  WebPData data{file.data(), file.size()};
  Chunks chunks = readChunks(data);
  if (features.has_animation) return loadAnimation(request, file, chunks);
  return loadStill(request, file, features, chunks);
}

// ---- Saving ---------------------------------------------------------------

struct PictureGuard {
  WebPPicture picture;
  PictureGuard() { WebPPictureInit(&picture); }
  ~PictureGuard() { WebPPictureFree(&picture); }
};

int progressHook(int percent, const WebPPicture *picture) {
  FltSaveRequest *request = static_cast<FltSaveRequest *>(picture->user_data);
  if (request->progress == nullptr) return 1;
  return request->progress(request, percent, 100) != 0;
}

int32_t encodeError(WebPEncodingError error) {
  switch (error) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
      return FLT_ERR_OUT_OF_MEMORY;
    case VP8_ENC_ERROR_BAD_DIMENSION:
      return FLT_ERR_DIMENSIONS;
    case VP8_ENC_ERROR_USER_ABORT:
      return FLT_ERR_CANCELLED;
    default:
      return FLT_ERR_COMPONENT_FAILED;
  }
}

// The selected layer placed on a canvas of width x height, B G R A.
bool importLayer(FltSaveRequest *request, WebPPicture &picture, uint32_t width, uint32_t height, uint32_t left,
                 uint32_t top) {
  std::vector<uint32_t> canvas(size_t(width) * height, 0);
  for (uint32_t y = 0; y < request->height && top + y < height; ++y) {
    const uint32_t *in = request->pixels + size_t(y) * request->stride;
    uint32_t *out = canvas.data() + size_t(top + y) * width + left;
    for (uint32_t x = 0; x < request->width && left + x < width; ++x) out[x] = in[x] ^ 0xFF000000u;  // T to A
  }
  picture.use_argb = 1;
  picture.width = int(width);
  picture.height = int(height);
  return WebPPictureImportBGRA(&picture, reinterpret_cast<const uint8_t *>(canvas.data()), int(width * 4)) != 0;
}

int32_t saveAnimation(FltSaveRequest *request, const WebPConfig &config, WebPData &out) {
  uint32_t frames = std::min<uint32_t>(request->layer_count, FLT_LAST_LAYER_INDEX + 1);
  uint32_t width = 0, height = 0;
  for (uint32_t i = 0; i < frames; ++i) {
    if (!request->select_layer(request, int32_t(i), 0)) return FLT_ERR_HOST_RESPONSE;
    width = std::max(width, uint32_t(std::max<int16_t>(request->x, 0)) + request->width);
    height = std::max(height, uint32_t(std::max<int16_t>(request->y, 0)) + request->height);
  }
  if (width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION) return FLT_ERR_DIMENSIONS;
  WebPAnimEncoderOptions options;
  if (!WebPAnimEncoderOptionsInit(&options)) return FLT_ERR_COMPONENT_FAILED;
  options.anim_params.loop_count = 0;
  options.anim_params.bgcolor = 0;
  WebPAnimEncoder *encoder = WebPAnimEncoderNew(int(width), int(height), &options);
  if (encoder == nullptr) return FLT_ERR_OUT_OF_MEMORY;
  int32_t code = FLT_OK;
  int timestamp = 0;
  for (uint32_t i = 0; i < frames && code == FLT_OK; ++i) {
    if (!request->select_layer(request, int32_t(i), 0)) {
      code = FLT_ERR_HOST_RESPONSE;
      break;
    }
    PictureGuard guard;
    if (!importLayer(request, guard.picture, width, height, uint32_t(std::max<int16_t>(request->x, 0)),
                     uint32_t(std::max<int16_t>(request->y, 0)))) {
      code = FLT_ERR_OUT_OF_MEMORY;
      break;
    }
    if (!WebPAnimEncoderAdd(encoder, &guard.picture, timestamp, &config)) {
      code = encodeError(guard.picture.error_code);
      break;
    }
    timestamp += std::max<int>(request->frame_delay, 1);
    if (request->progress != nullptr && request->progress(request, int32_t(i + 1), int32_t(frames)) == 0)
      code = FLT_ERR_CANCELLED;
  }
  if (code == FLT_OK && (!WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr) ||
                         !WebPAnimEncoderAssemble(encoder, &out)))
    code = FLT_ERR_COMPONENT_FAILED;
  WebPAnimEncoderDelete(encoder);
  if (code == FLT_OK) request->select_layer(request, 0, 0);
  return code;
}

int32_t saveStill(FltSaveRequest *request, const WebPConfig &config, WebPData &out) {
  if (!flt::sizeAllowed(request->width, request->height) || request->width > WEBP_MAX_DIMENSION ||
      request->height > WEBP_MAX_DIMENSION)
    return FLT_ERR_DIMENSIONS;
  PictureGuard guard;
  if (!importLayer(request, guard.picture, request->width, request->height, 0, 0)) return FLT_ERR_OUT_OF_MEMORY;
  WebPMemoryWriter writer;
  WebPMemoryWriterInit(&writer);
  guard.picture.writer = WebPMemoryWrite;
  guard.picture.custom_ptr = &writer;
  guard.picture.progress_hook = progressHook;
  guard.picture.user_data = request;
  if (!WebPEncode(&config, &guard.picture)) {
    WebPMemoryWriterClear(&writer);
    return encodeError(guard.picture.error_code);
  }
  out.bytes = writer.mem;
  out.size = writer.size;
  return FLT_OK;
}

// Adds the EXIF block to the encoded file; `data` is replaced.
int32_t addExif(WebPData &data, const std::string &exif) {
  WebPMux *mux = WebPMuxCreate(&data, 1);
  if (mux == nullptr) return FLT_ERR_COMPONENT_FAILED;
  WebPData chunk{reinterpret_cast<const uint8_t *>(exif.data()), exif.size()};
  WebPData assembled{nullptr, 0};
  bool ok = WebPMuxSetChunk(mux, "EXIF", &chunk, 1) == WEBP_MUX_OK && WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
  WebPMuxDelete(mux);
  if (!ok) {
    WebPDataClear(&assembled);
    return FLT_ERR_COMPONENT_FAILED;
  }
  WebPDataClear(&data);
  data = assembled;
  return FLT_OK;
}

int32_t save(FltSaveRequest *request) {
  WebPConfig config;
  if (!WebPConfigInit(&config)) return FLT_ERR_COMPONENT_FAILED;
  config.lossless = flt::optionInt(request, u"webp.lossless", 0, 0, 1);
  config.quality = float(flt::optionInt(request, u"webp.quality", 90, 0, 100));
  // Lossless keeps the colour under transparent pixels too.
  config.exact = config.lossless;
  if (!WebPValidateConfig(&config)) return FLT_ERR_BAD_REQUEST;
  bool animation = request->document_kind == FLT_DOC_FRAME_ANIMATION && request->layer_count > 1 &&
                   request->select_layer != nullptr;
  if (!animation && !flt::selectFlat(request)) return FLT_ERR_NEED_FLAT;
  WebPData data{nullptr, 0};
  int32_t code = animation ? saveAnimation(request, config, data) : saveStill(request, config, data);
  if (code != FLT_OK) {
    WebPDataClear(&data);
    return code;
  }
  std::string exif = flt::exifForSave(request);
  if (!exif.empty()) code = addExif(data, exif);
  if (code == FLT_OK) code = flt::writeFile(request->path, data.bytes, data.size);
  WebPDataClear(&data);
  return code;
}

}  // namespace

extern "C" {

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe == nullptr || probe->header_size < 16 || probe->header_size > FLT_PROBE_HEADER_MAX) return 0;
  const uint8_t *h = probe->header;
  if (memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WEBPVP8", 7) != 0) return 0;
  if (h[15] != ' ' && h[15] != 'L' && h[15] != 'X') return 0;
  return flt::reply(probe, flt::extensionIs(probe, ".webp"));
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  if (request == nullptr || request->begin_layer == nullptr) return FLT_ERR_BAD_REQUEST;
  int32_t code = flt::guarded([&] { return load(request); });
  return code < FLT_OK ? flt::explain(request, code, "WebP", "") : code;
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) { return flt::checkSave(probe, {".webp"}); }

FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) { return flt::runSave(request, save); }

}  // extern "C"
