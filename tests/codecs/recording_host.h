// A test-side host for the real filter plug-ins: dlopens flt_<Type>.dll, probes it, runs its loads and saves, and
// records what the plug-in hands over (layers, metadata chunks, markup and colour calls, texts, progress). One host
// serves one request at a time; hosts on several threads may run at once.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vgm/vgm_plugin.h"

namespace vgmtest {

// What begin_layer fills the new surface with, and the padding column right of each row: a plug-in that leaves pixels
// unwritten, or writes past a row, shows up in the pixels.
constexpr uint32_t kUnwritten = 0xDEADBEEFu;

struct RecordedLayer {
  uint32_t width = 0, height = 0, stride = 0;  // stride: width + 1 padding column
  std::vector<uint32_t> pixels;                 // stride * height, B G R T
  int16_t x = 0, y = 0;
  std::u16string name;
  uint16_t flags = 0, delay = 0;          // layer values 1 and 2
  uint8_t attribute = 0, transparency = 0;  // values 3 and 4
  // Metadata chunks by tag: text tags (MARK, NOTE, TEXT) without their NUL,
  // other tags without their length word. On save, the chunks offered.
  std::map<uint32_t, std::string> metadata;

  uint32_t at(uint32_t x, uint32_t y) const { return pixels[size_t(y) * stride + x]; }
  static RecordedLayer make(uint32_t width, uint32_t height, const std::vector<uint32_t> &rowPixels);
};

// A call the plug-in made into the recording markup or colour tables: "MarkupFromEXIF", "MarkupFromXMP" (data: the
// bytes given), "MarkupToEXIF" (data: the markup text it was asked to convert), "CreateTransform" (data: the source
// profile), "TransformPixels" (data: the pixel count as text), "DeleteTransform". Slots not listed are null.
struct RecordedCall {
  std::string name;
  std::string data;
};

// bin/Plugins/<Type>/flt_<Type>.dll of the build, loaded; entry points are null when not exported.
struct FilterPlugin {
  explicit FilterPlugin(const std::string &type);
  ~FilterPlugin();
  FilterPlugin(const FilterPlugin &) = delete;
  bool loaded() const { return handle != nullptr; }
  void *handle = nullptr;
  std::string error;  // why it did not load
  flt_CheckLoadFn checkLoad = nullptr;
  flt_LoadImageFn loadImage = nullptr;
  flt_CheckSaveFn checkSave = nullptr;
  flt_SaveImageFn saveImage = nullptr;
};

class RecordingHost {
 public:
  explicit RecordingHost(const std::string &type);
  RecordingHost(const RecordingHost &) = delete;
  RecordingHost &operator=(const RecordingHost &) = delete;
  FilterPlugin &plugin() { return plugin_; }

  // Probe scores as the registry counts them (0: refused): a+b+c, on a load
  // reply plus 1000 for each weak flag left clear.
  int loadScore(const std::string &extension, const std::string &header);
  int saveScore(const std::string &extension);

  // ---- Settings for the next load or save.
  std::u16string options;          // lines "key = value"
  uint16_t flags = 0;              // request flags (FLT_FLAG_PREVIEW, FLT_FLAG_NO_MARKUP)
  bool tables = true;              // false: every service table null
  int cancelAtProgress = -1;       // the n-th progress call (from 0) answers 0
  int refuseLayer = -1;            // begin_layer of layer n (from 0) fails ...
  int32_t refuseStatus = FLT_ERR_OUT_OF_MEMORY;  // ... leaving this status
  std::string exifForSave = "Exif\0\0MM\0*\0\0\0\x08\0\0";  // what MarkupToEXIF hands out

  // ---- Runs. load() fills `request`, `layers`; save() writes `layers`
  // (layer 0 selected first, index -1 gives layer 0 when it is the only one).
  int32_t load(const std::string &path);
  int32_t save(const std::string &path, uint8_t documentKind = FLT_DOC_COMPOSITE);

  // ---- What the plug-in did.
  FltLoadRequest request{};
  FltSaveRequest saveRequest{};
  std::vector<RecordedLayer> layers;
  std::vector<RecordedCall> calls;
  std::u16string message, shortText;
  std::vector<std::pair<int32_t, int32_t>> progress;  // (a, b) of every progress call
  int transformsOpen = 0;                              // CreateTransform minus DeleteTransform
  int markupsOpen = 0;                                 // Init/InitFromData minus Free

  // Calls named `name`, in order.
  std::vector<const RecordedCall *> callsNamed(const std::string &name) const;
  // Markup text handed to set_metadata for layer `index`, "" when none.
  std::string markup(size_t index = 0) const;

 private:
  // Clears the record of the last call and fills what load and save
  // requests share: path, text buffers, options and the service tables.
  template <class Request>
  void prepare(Request &request, const std::string &path);
  FilterPlugin plugin_;
  std::u16string path_;
  std::vector<WCHAR> messageBuffer_, moduleBuffer_, shortBuffer_;
  friend struct RecordingCallbacks;
};

}  // namespace vgmtest
