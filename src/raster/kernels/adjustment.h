// The adjustment of operation 126, kept in the thread state.
#pragma once

#include <cstdint>

#include "raster/kernels/kernels.h"

// True when the thread holds a usable adjustment.
bool rx_HasAdjustment(const rx_ThreadState *state);
// The adjusted colour of destination `d` under source `s` (T of d).
uint32_t rx_AdjustPixel(const rx_ThreadState *state, uint32_t d, uint32_t s);
// Mode 3 from a layer's custom blend record; result as rx_SetAdjustment.
int32_t rx_SetBlendTableAdjustment(const uint8_t *blend_table);
