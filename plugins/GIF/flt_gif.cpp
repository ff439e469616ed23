// flt_GIF: GIF images and animations through giflib.
//
// Loading composes every frame on the logical screen (disposal, transparency,
// interlace) and delivers each as a full-screen layer; more than one frame
// makes a frame animation with the delays in milliseconds. Saving writes one
// frame, or every layer of a frame animation; more than 256 colours go
// through our median cut with Floyd-Steinberg error diffusion.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "../common/flt_support.h"

namespace {

constexpr uint32_t kClear = 0xFF000000u;  // fully transparent (T 255)

struct Input {
  const uint8_t *data;
  size_t size;
  size_t pos;
};

int readInput(GifFileType *gif, GifByteType *out, int n) {
  Input *in = static_cast<Input *>(gif->UserData);
  size_t k = std::min(size_t(n < 0 ? 0 : n), in->size - in->pos);
  memcpy(out, in->data + in->pos, k);
  in->pos += k;
  return int(k);
}

int32_t codeOf(int gifError) {
  switch (gifError) {
    case D_GIF_ERR_READ_FAILED:
    case D_GIF_ERR_EOF_TOO_SOON:
      return FLT_ERR_UNEXPECTED_END;
    case D_GIF_ERR_NOT_ENOUGH_MEM:
      return FLT_ERR_OUT_OF_MEMORY;
    case D_GIF_ERR_NOT_GIF_FILE:
      return FLT_ERR_INVALID_DATA;
    default:
      return FLT_ERR_BAD_ENCODING;
  }
}

struct GifCloser {
  GifFileType *gif;
  ~GifCloser() {
    if (gif != nullptr) DGifCloseFile(gif, nullptr);
  }
};

// The XMP packet of an "XMP DataXMP" application extension: the sub-blocks
// with their length bytes are the packet, followed by a 257-byte ramp that
// only makes naive readers skip it.
void cutXmpTrailer(std::vector<uint8_t> &stream) {
  if (stream.size() < 257) return;
  const uint8_t *t = stream.data() + stream.size() - 257;
  if (t[0] != 1) return;
  for (int i = 1; i < 257; ++i)
    if (t[i] != uint8_t(256 - i)) return;
  stream.resize(stream.size() - 257);
}

// The first image decodes straight into its layer; from the second on, the
// screen lives in `canvas` and each composed frame is copied out.
struct Loader {
  explicit Loader(FltLoadRequest *r) : request(r) {}
  FltLoadRequest *request;
  GifFileType *gif = nullptr;
  std::vector<uint32_t> canvas, saved;
  uint32_t width = 0, height = 0;
  int frames = 0;
  GraphicsControlBlock gcb{0, false, 0, NO_TRANSPARENT_COLOR};
  // The last image's disposal and area, applied before the next one.
  int lastDisposal = DISPOSAL_UNSPECIFIED;
  GifImageDesc lastArea{};
  std::vector<uint8_t> xmp;
  int gifError = 0;  // the last giflib error, for the message

  uint16_t delay() const { return uint16_t(std::min(gcb.DelayTime, 6553) * 10); }

  int32_t beginLayer() {
    request->width = width;
    request->height = height;
    request->x = request->y = 0;
    request->frame_delay = delay();
    if (!request->begin_layer(request, 0)) return request->status < 1 ? request->status : FLT_ERR_BITMAP;
    return FLT_OK;
  }

  void clearArea(const GifImageDesc &d) {
    for (uint32_t y = uint32_t(d.Top); y < uint32_t(d.Top + d.Height) && y < height; ++y)
      for (uint32_t x = uint32_t(d.Left); x < uint32_t(d.Left + d.Width) && x < width; ++x)
        canvas[size_t(y) * width + x] = kClear;
  }

  // What the previous image's disposal leaves for this one.
  void carryOver() {
    if (canvas.empty()) {
      // Second image: the first layer is still the current one.
      canvas.assign(size_t(width) * height, kClear);
      if (lastDisposal != DISPOSE_PREVIOUS)
        for (uint32_t y = 0; y < height; ++y)
          memcpy(canvas.data() + size_t(y) * width, request->pixels + size_t(y) * request->stride, width * 4u);
    } else if (lastDisposal == DISPOSE_PREVIOUS && saved.size() == canvas.size()) {
      canvas.swap(saved);
    }
    if (lastDisposal == DISPOSE_BACKGROUND) clearArea(lastArea);
  }

  // Reads and composes one image; `rowsDone` counts the rows read, `refused`
  // tells a refusal of the host from a decoding failure.
  int32_t frame(uint32_t &rowsDone, bool &refused) {
    rowsDone = 0;
    if (DGifGetImageDesc(gif) == GIF_ERROR) return codeOf(gifError = gif->Error);
    const GifImageDesc &d = gif->Image;
    if (d.Width <= 0 || d.Height <= 0 || d.Left < 0 || d.Top < 0) return FLT_ERR_BAD_ENCODING;
    if (!flt::sizeAllowed(uint32_t(d.Width), uint32_t(d.Height))) return FLT_ERR_DIMENSIONS;
    if (width == 0) {
      // No screen size: the first image sets it.
      if (!flt::sizeAllowed(uint64_t(d.Left) + uint64_t(d.Width), uint64_t(d.Top) + uint64_t(d.Height)))
        return FLT_ERR_DIMENSIONS;
      width = uint32_t(d.Left + d.Width), height = uint32_t(d.Top + d.Height);
    }
    const ColorMapObject *map = d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap;
    std::array<uint32_t, 256> palette;
    for (int i = 0; i < 256; ++i) palette[size_t(i)] = 0xFF000000u | uint32_t(i) * 0x010101u;  // no map: grey
    if (map != nullptr)
      for (int i = 0; i < 256; ++i) {
        const GifColorType c = i < map->ColorCount ? map->Colors[i] : GifColorType{0, 0, 0};
        palette[size_t(i)] = uint32_t(c.Blue) | uint32_t(c.Green) << 8 | uint32_t(c.Red) << 16;
      }
    int transparent = gcb.TransparentColor;

    uint32_t *target;
    size_t stride;
    if (frames == 0) {
      int32_t code = beginLayer();
      if (code != FLT_OK) return refused = true, code;
      for (uint32_t y = 0; y < height; ++y) std::fill_n(request->pixels + size_t(y) * request->stride, width, kClear);
      target = request->pixels, stride = request->stride;
    } else {
      carryOver();
      if (gcb.DisposalMode == DISPOSE_PREVIOUS) saved = canvas;
      target = canvas.data(), stride = width;
    }
    lastDisposal = gcb.DisposalMode;
    lastArea = d;

    std::vector<GifPixelType> line(size_t(d.Width));
    uint32_t rows = uint32_t(d.Height);
    static const uint32_t kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    flt::Progress<FltLoadRequest> progress(request, rows);
    uint32_t pass = 0, y = 0;
    for (uint32_t n = 0; n < rows; ++n) {
      if (d.Interlace) {
        while (y >= rows && pass < 3) y = kStart[++pass];
      } else {
        y = n;
      }
      if (DGifGetLine(gif, line.data(), d.Width) == GIF_ERROR) return codeOf(gifError = gif->Error);
      rowsDone = n + 1;
      uint32_t cy = uint32_t(d.Top) + y;
      if (cy < height) {
        uint32_t *out = target + size_t(cy) * stride;
        for (uint32_t x = 0; x < uint32_t(d.Width) && uint32_t(d.Left) + x < width; ++x)
          if (int(line[x]) != transparent) out[uint32_t(d.Left) + x] = palette[line[x]];
      }
      if (d.Interlace) y += kStep[pass];
      if (!progress.at(n + 1)) return FLT_ERR_CANCELLED;
    }
    return FLT_OK;
  }

  int32_t extension() {
    int code = 0;
    GifByteType *block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return codeOf(gifError = gif->Error);
    bool isXmp = false;
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
      DGifExtensionToGCB(block[0], block + 1, &gcb);
    } else if (code == APPLICATION_EXT_FUNC_CODE && block != nullptr && block[0] == 11 &&
               memcmp(block + 1, "XMP DataXMP", 11) == 0) {
      isXmp = xmp.empty();
    }
    while (block != nullptr) {
      if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return codeOf(gifError = gif->Error);
      if (isXmp && block != nullptr) xmp.insert(xmp.end(), block, block + 1 + block[0]);
    }
    if (isXmp) cutXmpTrailer(xmp);
    return FLT_OK;
  }

  int32_t run(const std::vector<uint8_t> &file) {
    Input input{file.data(), file.size(), 0};
    int error = 0;
    gif = DGifOpen(&input, readInput, &error);
    GifCloser closer{gif};
    if (gif == nullptr) return codeOf(gifError = error);
    if (gif->SWidth > 0 && gif->SHeight > 0) {
      if (!flt::sizeAllowed(uint32_t(gif->SWidth), uint32_t(gif->SHeight))) return FLT_ERR_DIMENSIONS;
      width = uint32_t(gif->SWidth), height = uint32_t(gif->SHeight);
    }
    int32_t failure = FLT_OK;
    for (;;) {
      GifRecordType type;
      if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
        failure = codeOf(gifError = gif->Error);
        break;
      }
      if (type == TERMINATE_RECORD_TYPE) break;
      if (type == EXTENSION_RECORD_TYPE) {
        failure = extension();
        if (failure != FLT_OK) break;
      } else if (type == IMAGE_DESC_RECORD_TYPE) {
        if (frames > FLT_LAST_LAYER_INDEX) {
          request->warnings |= FLT_WARN_LAYERS_DROPPED;
          break;
        }
        uint32_t rowsDone = 0;
        bool refused = false;
        failure = frame(rowsDone, refused);
        if (refused || failure == FLT_ERR_CANCELLED || failure == FLT_ERR_DIMENSIONS ||
            failure == FLT_ERR_OUT_OF_MEMORY)
          return failure;
        // A damaged first image still shows the rows it has; a damaged later
        // one is dropped.
        if (failure != FLT_OK && !(frames == 0 && rowsDone > 0)) break;
        if (frames > 0) {
          int32_t code = beginLayer();
          if (code != FLT_OK) return code;
          for (uint32_t y = 0; y < height; ++y)
            memcpy(request->pixels + size_t(y) * request->stride, canvas.data() + size_t(y) * width, width * 4u);
        }
        ++frames;
        gcb = GraphicsControlBlock{0, false, 0, NO_TRANSPARENT_COLOR};
        if (failure != FLT_OK) break;
      } else {
        failure = FLT_ERR_BAD_ENCODING;
        break;
      }
    }
    if (frames == 0) return failure != FLT_OK ? failure : FLT_ERR_NO_IMAGE_DATA;
    // The packet may follow the images; it goes to the last layer, and the
    // host merges the layers' markup.
    flt::LoadMarkup markup(request);
    markup.xmp(xmp.data(), xmp.size());
    markup.commit();
    if (failure != FLT_OK) request->warnings |= FLT_WARN_DATA_NOT_TRANSFERRED;
    request->document_kind = frames > 1 ? FLT_DOC_FRAME_ANIMATION : FLT_DOC_COMPOSITE;
    return FLT_OK;
  }
};

// ---- Saving -------------------------------------------------------------

struct Output {
  std::vector<uint8_t> bytes;
};

int writeOutput(GifFileType *gif, const GifByteType *data, int n) {
  Output *out = static_cast<Output *>(gif->UserData);
  out->bytes.insert(out->bytes.end(), data, data + n);
  return n;
}

// Our median cut: boxes over the histogram of distinct colours, each split at
// its weighted median along its widest channel, the box with the most
// pixels times widest range first.
struct ColorCount {
  uint32_t rgb;
  uint32_t count;
};

int channel(uint32_t rgb, int c) { return int((rgb >> (16 - 8 * c)) & 0xFF); }

std::vector<uint32_t> medianCut(std::vector<ColorCount> colors, size_t wanted) {
  struct Box {
    size_t begin, end;
    uint64_t pixels;
    int widest, range;
  };
  auto measure = [&](Box &b) {
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    b.pixels = 0;
    for (size_t i = b.begin; i < b.end; ++i) {
      b.pixels += colors[i].count;
      for (int c = 0; c < 3; ++c) {
        int v = channel(colors[i].rgb, c);
        lo[c] = std::min(lo[c], v), hi[c] = std::max(hi[c], v);
      }
    }
    b.widest = 0;
    for (int c = 1; c < 3; ++c)
      if (hi[c] - lo[c] > hi[b.widest] - lo[b.widest]) b.widest = c;
    b.range = hi[b.widest] - lo[b.widest];
  };
  std::vector<Box> boxes(1, Box{0, colors.size(), 0, 0, 0});
  measure(boxes[0]);
  while (boxes.size() < wanted) {
    size_t pick = boxes.size();
    uint64_t best = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
      uint64_t score = boxes[i].pixels * uint64_t(boxes[i].range);
      if (boxes[i].end - boxes[i].begin > 1 && boxes[i].range > 0 && score >= best) best = score, pick = i;
    }
    if (pick == boxes.size()) break;
    Box b = boxes[pick];
    int c = b.widest;
    std::sort(colors.begin() + long(b.begin), colors.begin() + long(b.end),
              [c](const ColorCount &l, const ColorCount &r) { return channel(l.rgb, c) < channel(r.rgb, c); });
    uint64_t half = b.pixels / 2, seen = 0;
    size_t cut = b.begin + 1;
    for (size_t i = b.begin; i + 1 < b.end; ++i) {
      seen += colors[i].count;
      cut = i + 1;
      if (seen >= half) break;
    }
    Box first{b.begin, cut, 0, 0, 0}, second{cut, b.end, 0, 0, 0};
    measure(first), measure(second);
    boxes[pick] = first;
    boxes.push_back(second);
  }
  std::vector<uint32_t> palette;
  for (const Box &b : boxes) {
    uint64_t sum[3] = {0, 0, 0};
    for (size_t i = b.begin; i < b.end; ++i)
      for (int c = 0; c < 3; ++c) sum[c] += uint64_t(channel(colors[i].rgb, c)) * colors[i].count;
    uint32_t rgb = 0;
    for (int c = 0; c < 3; ++c) rgb = rgb << 8 | uint32_t((sum[c] + b.pixels / 2) / b.pixels);
    palette.push_back(rgb);
  }
  return palette;
}

// One frame as palette indices. T >= 128 is transparent.
struct Indexed {
  std::vector<uint32_t> palette;  // 0x00RRGGBB
  std::vector<uint8_t> pixels;
  int transparent = NO_TRANSPARENT_COLOR;
};

bool isClear(uint32_t bgrt) { return (bgrt >> 24) >= 128; }

void quantize(const uint32_t *pixels, uint32_t width, uint32_t height, uint32_t stride, Indexed &out) {
  size_t count = size_t(width) * height;
  std::vector<uint32_t> rgb;
  rgb.reserve(count);
  bool anyClear = false;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t p = pixels[size_t(y) * stride + x];
      if (isClear(p)) {
        anyClear = true;
      } else {
        rgb.push_back(p & 0xFFFFFF);
      }
    }
  std::vector<uint32_t> sorted = rgb;
  std::sort(sorted.begin(), sorted.end());
  std::vector<ColorCount> colors;
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
    colors.push_back({sorted[i], uint32_t(j - i)});
    i = j;
  }
  size_t room = anyClear ? 255 : 256;
  bool exact = colors.size() <= room;
  out.palette.clear();
  if (exact) {
    for (const ColorCount &c : colors) out.palette.push_back(c.rgb);
  } else {
    out.palette = medianCut(std::move(colors), room);
  }
  if (anyClear) {
    out.transparent = int(out.palette.size());
    out.palette.push_back(0);
  }
  if (out.palette.empty()) out.palette.push_back(0);
  out.pixels.assign(count, 0);

  if (exact) {
    for (uint32_t y = 0; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) {
        uint32_t p = pixels[size_t(y) * stride + x];
        size_t i = isClear(p) ? size_t(out.transparent)
                              : size_t(std::lower_bound(out.palette.begin(), out.palette.end() - (anyClear ? 1 : 0),
                                                        p & 0xFFFFFF) -
                                       out.palette.begin());
        out.pixels[size_t(y) * width + x] = uint8_t(i);
      }
    return;
  }
  // Floyd-Steinberg over the opaque pixels. One nearest colour per 5-5-5
  // cell keeps the search cheap; the diffused error absorbs the difference.
  size_t opaque = out.palette.size() - (anyClear ? 1 : 0);
  std::vector<int16_t> cache(32768, -1);
  auto nearest = [&](int r, int g, int b) {
    size_t key = size_t(r >> 3) << 10 | size_t(g >> 3) << 5 | size_t(b >> 3);
    if (cache[key] >= 0) return uint8_t(cache[key]);
    int best = 0;
    int bestDistance = 1 << 30;
    for (size_t i = 0; i < opaque; ++i) {
      int dr = channel(out.palette[i], 0) - r, dg = channel(out.palette[i], 1) - g, db = channel(out.palette[i], 2) - b;
      int d = dr * dr * 3 + dg * dg * 4 + db * db * 2;
      if (d < bestDistance) bestDistance = d, best = int(i);
    }
    cache[key] = int16_t(best);
    return uint8_t(best);
  };
  std::vector<int> errors(size_t(width + 2) * 3 * 2, 0);
  int *current = errors.data(), *next = errors.data() + size_t(width + 2) * 3;
  for (uint32_t y = 0; y < height; ++y) {
    std::fill(next, next + size_t(width + 2) * 3, 0);
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t p = pixels[size_t(y) * stride + x];
      if (isClear(p)) {
        out.pixels[size_t(y) * width + x] = uint8_t(out.transparent);
        continue;
      }
      int want[3];
      for (int c = 0; c < 3; ++c)
        want[c] = std::clamp(channel(p & 0xFFFFFF, c) + current[(x + 1) * 3 + c] / 16, 0, 255);
      uint8_t i = nearest(want[0], want[1], want[2]);
      out.pixels[size_t(y) * width + x] = i;
      for (int c = 0; c < 3; ++c) {
        int e = want[c] - channel(out.palette[i], c);
        current[(x + 2) * 3 + c] += e * 7;
        next[x * 3 + c] += e * 3;
        next[(x + 1) * 3 + c] += e * 5;
        next[(x + 2) * 3 + c] += e;
      }
    }
    std::swap(current, next);
  }
}

ColorMapObject *mapOf(const std::vector<uint32_t> &palette) {
  int size = 2;
  while (size < int(palette.size())) size *= 2;
  ColorMapObject *map = GifMakeMapObject(size, nullptr);
  if (map == nullptr) return nullptr;
  for (int i = 0; i < size; ++i) {
    uint32_t rgb = i < int(palette.size()) ? palette[size_t(i)] : 0;
    map->Colors[i] = GifColorType{uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
  }
  return map;
}

struct EncoderCloser {
  GifFileType *gif;
  ~EncoderCloser() {
    if (gif != nullptr) EGifCloseFile(gif, nullptr);
  }
};

int32_t save(FltSaveRequest *request) {
  bool animation = request->document_kind == FLT_DOC_FRAME_ANIMATION && request->layer_count > 1 &&
                   request->select_layer != nullptr;
  if (!animation && !flt::selectFlat(request)) return FLT_ERR_NEED_FLAT;
  uint32_t frames = animation ? std::min<uint32_t>(request->layer_count, FLT_LAST_LAYER_INDEX + 1) : 1;
  // The screen holds every frame at its position.
  uint32_t screenW = 0, screenH = 0;
  for (uint32_t i = 0; i < frames; ++i) {
    if (animation && !request->select_layer(request, int32_t(i), 0)) return FLT_ERR_HOST_RESPONSE;
    if (request->pixels == nullptr || !flt::sizeAllowed(request->width, request->height)) return FLT_ERR_DIMENSIONS;
    uint32_t x = animation ? uint32_t(std::max<int16_t>(request->x, 0)) : 0;
    uint32_t y = animation ? uint32_t(std::max<int16_t>(request->y, 0)) : 0;
    screenW = std::max(screenW, x + request->width);
    screenH = std::max(screenH, y + request->height);
  }
  if (screenW > 65535 || screenH > 65535) return FLT_ERR_DIMENSIONS;

  Output output;
  int error = 0;
  GifFileType *gif = EGifOpen(&output, writeOutput, &error);
  EncoderCloser closer{gif};
  if (gif == nullptr) return FLT_ERR_OUT_OF_MEMORY;
  EGifSetGifVersion(gif, true);
  if (EGifPutScreenDesc(gif, int(screenW), int(screenH), 8, 0, nullptr) == GIF_ERROR) return FLT_ERR_WRITE;
  if (animation) {
    static const uint8_t kLoop[3] = {1, 0, 0};  // loop for ever
    if (EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
        EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0") == GIF_ERROR || EGifPutExtensionBlock(gif, 3, kLoop) == GIF_ERROR ||
        EGifPutExtensionTrailer(gif) == GIF_ERROR)
      return FLT_ERR_WRITE;
  }
  flt::Progress<FltSaveRequest> progress(request, uint64_t(frames) * request->height);
  for (uint32_t i = 0; i < frames; ++i) {
    if (animation && !request->select_layer(request, int32_t(i), 0)) return FLT_ERR_HOST_RESPONSE;
    Indexed frame;
    quantize(request->pixels, request->width, request->height, request->stride, frame);
    GraphicsControlBlock gcb{};
    // Full frames: each clears its area for the next, so a frame shows
    // exactly its own layer.
    gcb.DisposalMode = animation ? DISPOSE_BACKGROUND : DISPOSAL_UNSPECIFIED;
    gcb.DelayTime = animation ? (request->frame_delay + 5) / 10 : 0;
    gcb.TransparentColor = frame.transparent;
    if (animation || frame.transparent != NO_TRANSPARENT_COLOR) {
      GifByteType ext[4];
      size_t n = EGifGCBToExtension(&gcb, ext);
      if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(n), ext) == GIF_ERROR) return FLT_ERR_WRITE;
    }
    ColorMapObject *map = mapOf(frame.palette);
    if (map == nullptr) return FLT_ERR_OUT_OF_MEMORY;
    int x = animation ? std::max<int16_t>(request->x, 0) : 0, y = animation ? std::max<int16_t>(request->y, 0) : 0;
    int put = EGifPutImageDesc(gif, x, y, int(request->width), int(request->height), false, map);
    GifFreeMapObject(map);
    if (put == GIF_ERROR) return FLT_ERR_WRITE;
    for (uint32_t row = 0; row < request->height; ++row) {
      if (EGifPutLine(gif, frame.pixels.data() + size_t(row) * request->width, int(request->width)) == GIF_ERROR)
        return FLT_ERR_WRITE;
      if (!progress.at(uint64_t(i) * request->height + row + 1)) return FLT_ERR_CANCELLED;
    }
  }
  closer.gif = nullptr;
  if (EGifCloseFile(gif, &error) == GIF_ERROR) return FLT_ERR_WRITE;
  if (animation) request->select_layer(request, 0, 0);
  return flt::writeFile(request->path, output.bytes.data(), output.bytes.size());
}

}  // namespace

extern "C" {

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  if (probe == nullptr || probe->header_size < 6 || probe->header_size > FLT_PROBE_HEADER_MAX) return 0;
  if (memcmp(probe->header, "GIF87a", 6) != 0 && memcmp(probe->header, "GIF89a", 6) != 0) return 0;
  return flt::reply(probe, flt::extensionIs(probe, ".gif"));
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  if (request == nullptr || request->begin_layer == nullptr) return FLT_ERR_BAD_REQUEST;
  try {
    std::vector<uint8_t> file;
    int32_t code = flt::readFile(request->path, file);
    if (code != FLT_OK) return flt::explain(request, code, "GIF", "");
    Loader loader(request);
    code = loader.run(file);
    const char *detail = loader.gifError != 0 ? GifErrorString(loader.gifError) : nullptr;
    return code < FLT_OK ? flt::explain(request, code, "GIF", detail != nullptr ? detail : "") : code;
  } catch (const std::bad_alloc &) {
    return FLT_ERR_OUT_OF_MEMORY;
  }
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) { return flt::checkSave(probe, {".gif"}); }

FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) { return flt::runSave(request, save); }

}  // extern "C"
