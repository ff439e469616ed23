// Turns the caller's request record into the options of one load or save.
#pragma once

#include "imageio/load_save_options.h"
#include "vgm/vgm_common.h"

// cmio_LoadImage and cmio_LoadImageGDI: the markup goes to the request's
// markup field when the caller asked for it.
void frame_LoadOptions(CmioRequest *request, LoadSaveOptions *options);
// cmio_LoadThumb and cmio_LoadThumbGDI: quiet, preview, no markup wanted by
// the caller (`markup_out` still receives it, for the orientation), and the
// wanted size as a hint for flattening.
void frame_ThumbOptions(const CmioRequest *request, HGLOBAL *markup_out, LoadSaveOptions *options);
// cmio_SaveImage.
void frame_SaveOptions(const CmioRequest *request, LoadSaveOptions *options);

inline constexpr uint32_t kDefaultTimeLimitMs = 300000;
