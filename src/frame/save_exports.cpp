// The save export: the caller's pixels and markup become a one-layer image
// that the save pipeline writes.
#include <algorithm>
#include <cstring>
#include <string>

#include "frame/request_options.h"
#include "imageio/save/save_pipeline.h"
#include "platform/os.h"
#include "raster/layers/properties.h"
#include "raster/surface.h"
#include "vgm/vgm_common.h"

namespace {

// The one layer and its terminating empty entry; the pixels stay the caller's.
struct Wrapped {
  rx_LayerEntry entries[2]{};
  ~Wrapped() {
    if (rx_SurfaceIsValid(&entries[0].surface)) rx_SurfaceFree(&entries[0].surface);
    os_GlobalRelease(entries[0].properties);
  }
};

bool wrap(const CmioImage *image, const CmioRequest *request, Wrapped *out) {
  if (image == nullptr || image->pixels == nullptr || image->width == 0 || image->height == 0 ||
      image->width > 0x7FFFFFFF || image->height > 0x7FFFFFFF)
    return false;
  uint32_t stride = image->stride == 0 ? image->width : image->stride;
  if (stride < image->width || stride > 0x7FFFFFFF) return false;
  rx_LayerEntry &layer = out->entries[0];
  if (rx_SurfaceWrap(&layer.surface, static_cast<int32_t>(image->width), static_cast<int32_t>(image->height),
                     static_cast<int32_t>(stride), image->pixels) == 0)
    return false;
  if (request->markup == nullptr || request->markup_size == 0) return true;
  // The caller's block may lack its terminator: the text ends at the first
  // zero or at the stated size, whichever comes first.
  size_t size = std::min<size_t>(request->markup_size, GlobalSize(request->markup));
  const char *text = static_cast<const char *>(request->markup);
  std::string markup(text, strnlen(text, size));
  return prop_SetMarkup(&layer.properties, &layer.propertiesLength, markup.c_str()) != 0;
}

}  // namespace

extern "C" VGM_EXPORT int32_t VGM_API cmio_SaveImage(const CmioImage *image, const WCHAR *path, CmioRequest *request) {
  if (request == nullptr) return 0;
  LoadSaveOptions options;
  frame_SaveOptions(request, &options);
  int32_t result = 0;
  try {
    Wrapped layers;
    // An image that cannot be wrapped goes on as none: the driver words the failure.
    bool wrapped = wrap(image, request, &layers);
    result = io_SaveDriver(os_U16(path), wrapped ? layers.entries : nullptr, wrapped ? 1 : 0, &options);
  } catch (...) {
    result = 0;  // nothing thrown inside may reach the caller
    std::u16string_view text = u"An unknown error occurred during save";
    std::copy(text.begin(), text.end(), options.message);
    options.message[text.size()] = 0;
  }
  request->apply_scale = options.handled;
  if (result >= 1) return result;
  size_t n = std::min<size_t>(os_Utf16Length(options.message), 255);
  std::copy_n(options.message, n, request->error_text);
  request->error_text[n] = 0;
  return 0;
}
