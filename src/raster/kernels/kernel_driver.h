// The rectangle driver shared by the rectangle kernels and the surface helpers.
#pragma once

#include "raster/kernels/kernel_internal.h"

namespace rx_kernel {

enum class Sampling { nearest, mapBilinear, filtered };

struct RectJob {
  rx_Surface *dst = nullptr, *src = nullptr;
  int32_t dl = 0, dt = 0, dr = 0, db = 0, sl = 0, st = 0, sr = 0, sb = 0;
  uint32_t options = 0;
  int32_t op = rx_OpReplace;
  int32_t opClass = rx_ClassNormal;
  int32_t transparency = 0;
  bool keepT = false;
  bool useOffset = false;  // sample with the thread's sub-pixel source offset
  bool centre = false;     // half-pixel centring of the maps
  bool fullSpan = false;   // scaled: every destination position inside the surface
  bool noSimd = false;     // scalar twins only (tests compare both)
  Sampling sampling = Sampling::nearest;
  Filter columnFilter = Filter::tent, rowFilter = Filter::tent;
};

int32_t RunRect(const RectJob &job);

// Half-pixel centring asked for by the dispatcher for the kernels it calls.
extern thread_local bool gCentre;

}  // namespace rx_kernel
