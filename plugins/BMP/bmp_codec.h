// The BMP and WBMP reader and the BMP writer of flt_BMP, on memory, so that
// the fuzzer drives the same code through a fake host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vgm/vgm_plugin.h"

// Decodes a whole BMP (or, with `wbmp`, a type-0 WBMP) file into layers
// begun through the request; a result code, FLT_OK with the damage warning
// when part of the pixels were missing.
int32_t bmp_Decode(const uint8_t *data, size_t size, bool wbmp, FltLoadRequest *request);

// Encodes `width` x `height` pixels (B G R T, `stride` pixels per row): 24-bit
// when every T is 0, else 32-bit with a V5 header and an alpha mask.
// `dpi` 0 leaves the resolution out.
std::string bmp_Encode(const uint32_t *pixels, uint32_t width, uint32_t height, uint32_t stride, double dpiX,
                       double dpiY);
