// pi_BasicUtils, pi_BasicVideo (the video bridge's) and pi_Forwarding.
#include <algorithm>
#include <cstring>

#include "imageio/format_table.h"
#include "imageio/host_services.h"
#include "imageio/plugin_files.h"
#include "imageio/plugin_registry.h"
#include "platform/os.h"
#include "raster/thread_state.h"
#include "video/video_bridge.h"

namespace {

// No interface language tables exist here: the text comes back unchanged.
// Units written without the terminator; 0 for bad arguments.
int32_t VGM_API translate(const WCHAR *text, WCHAR *out, int32_t capacity) {
  if (out == nullptr || capacity < 1 || rx_ProbeMemory(out, static_cast<size_t>(capacity) * 2, true) != 0) return 0;
  std::u16string value;
  io_ReadText16(text, static_cast<size_t>(capacity), &value);
  size_t length = std::min(value.size(), static_cast<size_t>(capacity) - 1);
  std::memcpy(out, value.data(), length * 2);
  out[length] = 0;
  return static_cast<int32_t>(length);
}

// There are no windows on this platform to name or translate.
int32_t VGM_API setWindowText(HWND, const WCHAR *) { return 0; }
int32_t VGM_API translateWindow(HWND) { return 0; }


struct ForwardCall {
  flt_LoadImageFn entry;
  FltLoadRequest *request;
  int32_t result;
};

int32_t VGM_API forwardLoad(const WCHAR *extension, FltLoadRequest *request) {
  std::u16string ext;
  if (!io_ReadText16(extension, 32, &ext) || ext.empty() || request == nullptr ||
      rx_ProbeMemory(request, sizeof *request, true) != 0)
    return FLT_ERR_BAD_REQUEST;
  if (ext[0] != u'.') ext.insert(ext.begin(), u'.');
  std::u16string path;
  if (!io_RegistryLookup(kRegistryLoad, ext, &path)) {
    std::u16string_view file = io_TablePluginFor(ext);
    if (file.empty() || !io_LocatePlugin(file, &path)) return FLT_ERR_COMPONENT_MISSING;
  }
  os_Module *module = io_LoadPlugin(path.c_str());
  if (module == nullptr) return FLT_ERR_COMPONENT_MISSING;
  ForwardCall call{reinterpret_cast<flt_LoadImageFn>(os_ModuleSymbol(module, "flt_LoadImage")), request, 0};
  int32_t result = FLT_ERR_COMPONENT_MISSING;
  if (call.entry != nullptr)
    result = os_Guard([&call] { call.result = call.entry(call.request); }) ? call.result : FLT_ERR_COMPONENT_FAILED;
  os_ModuleFree(module);
  return result;
}

}  // namespace

// Each table is built once: the same values at every request, so
// concurrent loads never write them.
const pi_BasicUtils *io_BasicUtilsTable() {
  // Web requests and downloads need the suite's network library, absent here.
  static const pi_BasicUtils table = [] {
    pi_BasicUtils t{};
    t.version = PI_BASICUTILS_VERSION;
    t.Translate = translate;
    t.SetWindowText = setWindowText;
    t.TranslateWindow = translateWindow;
    return t;
  }();
  return &table;
}

const pi_BasicVideo *io_BasicVideoTable() { return vid_BasicVideoTable(); }

const pi_Forwarding *io_ForwardingTable() {
  static const pi_Forwarding table{PI_FORWARDING_VERSION, 0, forwardLoad};
  return &table;
}
