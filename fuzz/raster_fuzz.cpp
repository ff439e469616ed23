// The raster kernels on small surfaces. Byte 0 below 0x20: the rest is a
// packed DIB for rx_SurfaceFromDib, in a buffer of its exact size, and the
// surface made from it is drawn by the dispatcher. Otherwise the bytes are a
// list of kernel calls (rectangles, corners, operations, layer modes,
// transparencies, options, source offsets, clips, adjustments) between
// wrapped surfaces of at most 16 x 16 pixels over buffers of their exact
// size, so that any read or write past a surface shows.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "raster/kernels/kernels.h"

namespace {

struct Bytes {
  const uint8_t *p;
  size_t n;
  uint8_t u8() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint32_t u32() { return u8() | uint32_t{u8()} << 8 | uint32_t{u8()} << 16 | uint32_t{u8()} << 24; }
  // Mostly small coordinates around the surfaces, sometimes the extremes.
  int32_t coord() {
    static constexpr int32_t kFar[16] = {INT32_MIN, INT32_MAX, -rx_CoordLimit, rx_CoordLimit, -rx_CoordLimit - 1,
                                         rx_CoordLimit + 1, 65535, 65536, -65536, 32767, 32768, -1, 1 << 20,
                                         -(1 << 20), 255, 4096};
    uint8_t b = u8();
    return b < 240 ? b % 48 - 16 : kFar[b - 240];
  }
  float corner() {
    static constexpr float kFar[16] = {std::numeric_limits<float>::quiet_NaN(), INFINITY, -INFINITY, 65535.0f,
                                       65536.0f, -65536.0f, 1e9f, -1e9f, 65535.5f, -0.5f, 0.5f, 1e-30f,
                                       32767.75f, -32768.25f, 16.0f, -16.0f};
    uint8_t b = u8();
    return b < 240 ? static_cast<float>(b % 64) - 24.0f + u8() / 256.0f : kFar[b - 240];
  }
  int32_t op() {
    static constexpr int32_t kOps[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,  11,  12,  13,  14, 15, 16,
                                       17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 123, 124, 125, 126, -1, 28, 300};
    return kOps[u8() % (sizeof kOps / sizeof kOps[0])];
  }
  int32_t transparency() {
    static constexpr int32_t kOdd[6] = {-5, 256, 1000, INT32_MAX, INT32_MIN, 255};
    uint8_t b = u8();
    return b < 250 ? b : kOdd[b - 250];
  }
};

// A surface wrapped over a buffer of exactly its pixels.
struct Wrapped {
  std::vector<uint32_t> pixels;
  rx_Surface s{};
  Wrapped(Bytes &in) {
    int w = 1 + in.u8() % 16, h = 1 + in.u8() % 16;
    uint32_t seed = in.u32();
    pixels.resize(static_cast<size_t>(w) * h);
    for (uint32_t &p : pixels) p = seed = seed * 1664525u + 1013904223u;
    rx_SurfaceWrap(&s, w, h, w, pixels.data());
  }
  ~Wrapped() { rx_SurfaceFree(&s); }
};

uint32_t Options(Bytes &in) {
  uint8_t b = in.u8();
  uint32_t o = b & 3;
  if (b & 4) o |= rx_OptClip;
  if (b & 8) o |= rx_OptSourceView;
  if (b & 16) o |= rx_OptScaleCase;
  if (b & 32) o |= rx_OptNoScale;
  return o;
}

void Corners(Bytes &in, rx_PointF c[4]) {
  if (in.u8() & 1) {  // an upright rectangle, so that the rectangle paths run too
    float l = in.corner(), t = in.corner(), r = in.corner(), b = in.corner();
    c[0] = {l, t}, c[1] = {r, t}, c[2] = {r, b}, c[3] = {l, b};
    return;
  }
  for (int k = 0; k < 4; ++k) c[k] = {in.corner(), in.corner()};
}

uint32_t Callback(uint32_t v, uintptr_t user) { return v * 2654435761u + static_cast<uint32_t>(user); }

void SetAdjustment(Bytes &in) {
  static uint8_t tables[3][64];
  for (auto &t : tables)
    for (uint8_t &v : t) v = in.u8();
  rx_Adjustment a{};
  a.mode = in.u8() % 20;
  a.count = in.u8() % 9;
  for (int c = 0; c < 3; ++c) {
    if (in.u8() & 1) a.tables[c] = tables[c];
    if (in.u8() & 1) a.callbacks[c] = Callback;
    a.selectors[c] = in.u8() % 17;
  }
  a.user = in.u8();
  rx_SetAdjustment(&a);
}

void DrawQuad(Bytes &in, rx_Surface *dst, rx_Surface *src) {
  rx_PointF c[4];
  Corners(in, c);
  rx_Rect r{in.coord(), in.coord(), in.coord(), in.coord(), 1};
  int32_t t = in.transparency();
  uint8_t m = in.u8();
  int32_t mode = m < 27 ? m : m < 120 ? 254 : m < 200 ? 255 : m;
  // A custom blend record: the short form, or a 17 x 17 long one of exactly its size.
  const bool longForm = in.u8() & 1;
  std::vector<uint8_t> blend(longForm ? 256 + 3 * 17 * 17 : 131);
  for (size_t i = 0; i < blend.size(); i += 7) blend[i] = in.u8();
  blend[5] = longForm ? 0x40 : 0;
  blend[6] = longForm ? 17 : 0;
  blend[7] = 0;
  rx_Adjustment routing{};
  routing.mode = 4;
  routing.selectors[0] = in.u8() % 10, routing.selectors[1] = 5, routing.selectors[2] = 2;
  const rx_Adjustment *adjust = in.u8() % 4 == 0 ? &routing : nullptr;
  int32_t result = rx_DrawQuad(dst, src, c, &r, t, mode, in.u8() & 1, blend.data(), adjust);
  if (result != 0 && result != 1) __builtin_trap();
}

void Call(Bytes &in, rx_Surface *dst, rx_Surface *src) {
  uint8_t kind = in.u8() % 15;
  int32_t result = 1;
  if (kind < 8) {
    int32_t c[8];
    for (int32_t &v : c) v = in.coord();
    uint32_t options = Options(in);
    int32_t t = in.transparency(), op = in.op(), cls = in.u8() & 1 ? rx_ClassClipped : rx_ClassNormal;
    switch (kind) {
      case 0: result = rx_CopyRect(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], options); break;
      case 1: result = rx_BlendRect(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], options); break;
      case 2: result = rx_ResampleRect(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], options); break;
      case 3: result = rx_ResampleBlendRect(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], options); break;
      case 4: result = rx_OpRect(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], t, op, cls); break;
      case 5: result = rx_OpRectSubpixel(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], t, op, cls); break;
      case 6: result = rx_MaskRect(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], op, cls); break;
      default: result = rx_MaskRectScaled(dst, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], op, cls); break;
    }
  } else if (kind < 11) {
    rx_PointF c[4];
    Corners(in, c);
    rx_Rect r{in.coord(), in.coord(), in.coord(), in.coord(), 1};
    int32_t t = in.transparency(), op = in.op(), cls = in.u8() & 1 ? rx_ClassClipped : rx_ClassNormal;
    if (kind == 8) result = rx_CopyQuad(dst, src, c, &r);
    else if (kind == 9) result = rx_MaskQuad(dst, src, c, &r, op, cls);
    else result = rx_OpQuad(dst, src, c, &r, t, op, cls);
  } else if (kind == 11) {
    DrawQuad(in, dst, src);
  } else if (kind == 12) {
    int32_t l = in.coord(), t = in.coord(), r = in.coord(), b = in.coord();
    result = rx_FillRect(dst, l, t, r, b, in.u32(), in.u8() & 1 ? rx_FillExclusive | rx_FillClip : 0);
  } else if (kind == 13) {
    rx_PointList list{};
    if (rx_PointListInit(&list) == 0) return;
    for (int k = in.u8() % 9; k > 0; --k)
      if (rx_PointListAdd(&list, in.coord(), in.coord(), in.u8() & 1) == 0 && rx_GetLastError() != rx_ErrArgument)
        __builtin_trap();
    int32_t op = in.op();
    result = rx_FillPolygon(dst, &list, in.u32(), op, in.u8() & 1 ? rx_ClassClipped : rx_ClassNormal);
    rx_PointListFree(&list);
  } else {
    rx_ThreadState *state = rx_GetThreadState();
    switch (in.u8() % 4) {
      case 0: state->sourceOffsetX = in.coord(), state->sourceOffsetY = in.coord(); break;
      case 1: {
        rx_Rect clip{in.coord(), in.coord(), in.coord(), in.coord(), 1};
        rx_SetClipRect(&clip);
        break;
      }
      case 2: SetAdjustment(in); break;
      default: rx_SetCheckerPattern(in.u32(), in.u32(), in.coord(), in.coord()); break;
    }
  }
  if (result != 0 && result != 1) __builtin_trap();
}

void Reset() {
  rx_ThreadState *state = rx_GetThreadState();
  state->sourceOffsetX = state->sourceOffsetY = 0;
  rx_SetClipRect(nullptr);
  rx_SetAdjustment(nullptr);
  rx_SetCheckerPattern(rx_DefaultChecker1, rx_DefaultChecker2, 1, 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  Reset();
  if (data[0] < 0x20) {
    std::vector<uint8_t> dib(data + 1, data + size);  // exact size: overreads show
    rx_Surface surface{};
    if (rx_SurfaceFromDib(&surface, dib.data(), dib.size(), data[0] & 0x50) == 1) {
      Bytes in{data + 1, size - 1};
      Wrapped dst(in);
      DrawQuad(in, &dst.s, &surface);
    }
    rx_SurfaceFree(&surface);
    Reset();
    return 0;
  }
  Bytes in{data + 1, size - 1};
  Wrapped a(in), b(in);
  rx_Surface *src = data[0] & 1 ? &a.s : &b.s;  // sometimes one surface is both
  for (int calls = 0; calls < 16 && in.n > 0; ++calls) Call(in, &a.s, src);
  Reset();
  return 0;
}
