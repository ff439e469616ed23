#include "codecs/recording_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "support/test_support.h"

namespace vgmtest {

namespace {

thread_local RecordingHost *current = nullptr;  // the host whose request is running on this thread

std::u16string trim(const std::u16string &s) {
  const size_t start = s.find_first_not_of(u" \t\r"), end = s.find_last_not_of(u" \t\r");
  return start == std::u16string::npos ? u"" : s.substr(start, end - start + 1);
}

// The first line "key = value" whose key matches (the plug-ins ask in lower case).
int32_t queryOption(const std::u16string &options, FltOptionQuery *query) {
  if (query == nullptr || query->key == nullptr) return 0;
  for (size_t start = 0, end; start <= options.size(); start = end + 1) {
    end = std::min(options.find_first_of(u"\r\n", start), options.size());
    const std::u16string line = options.substr(start, end - start);
    const size_t eq = line.find(u'=');
    if (eq == std::u16string::npos || trim(line.substr(0, eq)) != query->key) continue;
    const std::u16string value = trim(line.substr(eq + 1)).substr(0, FLT_OPTION_VALUE_CAPACITY - 1);
    std::copy(value.begin(), value.end(), query->value);
    query->value[value.size()] = 0;
    return static_cast<int32_t>(value.size());
  }
  return 0;
}

void record(const char *name, std::string data) {
  if (current) current->calls.push_back({name, std::move(data)});
}

// ---- A markup record whose text lives in malloc'd memory.
void setText(FltMetaMarkup *m, const std::string &text) {
  free(m->text);
  m->text = static_cast<char *>(malloc(text.size() + 1));
  memcpy(m->text, text.c_str(), text.size() + 1);
  m->size = static_cast<uint32_t>(text.size() + 1);
  m->capacity = m->size;
  m->buffer = m->text;
}
std::string textOf(const FltMetaMarkup *m) { return m && m->text ? std::string(m->text) : std::string(); }

// Position of "key=" at the start of an entry, npos when absent.
size_t findKey(const std::string &text, const std::string &key) {
  for (size_t at = text.find(key + "="); at != std::string::npos; at = text.find(key + "=", at + 1))
    if (at == 0 || text[at - 1] == ';' || text[at - 1] == '\n') return at;
  return std::string::npos;
}

}  // namespace

struct RecordingCallbacks {
  // Callbacks run on the thread that made the request.
  static RecordingHost &host(const void *) { return *current; }

  static int32_t VGM_API beginLayer(FltLoadRequest *r, uint32_t) {
    RecordingHost &h = host(r);
    if (r->width == 0 || r->height == 0) return r->status = FLT_ERR_BITMAP_ZERO, 0;
    if (r->layers_begun > r->last_layer_index) return r->status = FLT_ERR_INTERNAL, 0;
    if (static_cast<int>(h.layers.size()) == h.refuseLayer) return r->status = h.refuseStatus, 0;
    // A surface the real host could not make either.
    if (uint64_t(r->width + 1) * r->height > (uint64_t(1) << 28)) return r->status = FLT_ERR_OUT_OF_MEMORY, 0;
    RecordedLayer l;
    l.width = r->width, l.height = r->height, l.stride = r->width + 1;
    l.pixels.assign(size_t(l.stride) * l.height, kUnwritten);
    l.x = r->x, l.y = r->y;
    l.name.assign(r->name, std::find(r->name, r->name + FLT_NAME_CAPACITY, 0));
    l.flags = r->layer_flags, l.delay = r->frame_delay;
    l.attribute = r->layer_attribute, l.transparency = r->layer_transparency;
    h.layers.push_back(std::move(l));
    r->stride = h.layers.back().stride;
    r->pixels = h.layers.back().pixels.data();
    r->current_layer = r->layers_begun++;
    r->layer_number = static_cast<uint32_t>(r->layers_begun);
    if (r->frame_delay && (r->shortest_delay == 0 || r->frame_delay < r->shortest_delay))
      r->shortest_delay = r->frame_delay;
    r->status = FLT_OK;
    return 1;
  }
  static int32_t VGM_API setMetadata(FltLoadRequest *r, uint32_t tag, const void *value) {
    RecordingHost &h = host(r);
    if (r->current_layer < 0 || value == nullptr || tag == FLT_TAG_META) return 0;
    std::string &chunk = h.layers[r->current_layer].metadata[tag];
    if (tag == FLT_TAG_MARK || tag == FLT_TAG('N', 'O', 'T', 'E') || tag == FLT_TAG('T', 'E', 'X', 'T')) {
      chunk = static_cast<const char *>(value);
    } else {
      uint32_t size;
      memcpy(&size, value, 4);
      chunk.assign(static_cast<const char *>(value) + 4, size);
    }
    return 1;
  }
  // Load and save requests share these.
  template <class R>
  static int32_t VGM_API query(R *r, FltOptionQuery *q) { return queryOption(host(r).options, q); }
  template <class R>
  static int32_t VGM_API text(R *r, int32_t field, const WCHAR *text) {
    RecordingHost &h = host(r);
    if (text == nullptr) return 0;
    if (field == FLT_TEXT_SHORT) h.shortText = text;
    if (field == FLT_TEXT_MESSAGE && h.message.find(text) == std::u16string::npos)
      h.message += (h.message.empty() ? u"" : u"\n") + std::u16string(text);
    return static_cast<int32_t>((field == FLT_TEXT_SHORT ? h.shortText : h.message).size() + 1);
  }
  template <class R>
  static int32_t VGM_API step(R *r, int32_t a, int32_t b) {
    RecordingHost &h = host(r);
    h.progress.emplace_back(a, b);
    return static_cast<int>(h.progress.size()) - 1 == h.cancelAtProgress ? 0 : 1;
  }

  static int32_t VGM_API selectLayer(FltSaveRequest *r, int32_t index, uint32_t) {
    RecordingHost &h = host(r);
    if (index == -1 && h.layers.size() == 1) index = 0;
    if (index < 0 || index >= static_cast<int32_t>(h.layers.size())) return 0;
    const RecordedLayer &l = h.layers[index];
    r->width = l.width, r->height = l.height, r->stride = l.stride;
    r->pixels = const_cast<uint32_t *>(l.pixels.data());
    r->x = l.x, r->y = l.y, r->layer_flags = l.flags, r->frame_delay = l.delay;
    r->layer_attribute = l.attribute, r->layer_transparency = l.transparency;
    memset(r->name, 0, sizeof r->name);
    std::copy_n(l.name.begin(), std::min<size_t>(l.name.size(), FLT_NAME_CAPACITY - 1), r->name);
    r->selected_layer = index;
    return 1;
  }
  static const void *VGM_API getMetadata(FltSaveRequest *r, uint32_t tag) {
    RecordingHost &h = host(r);
    if (r->selected_layer < 0) return nullptr;
    const auto &chunks = h.layers[r->selected_layer].metadata;
    auto found = chunks.find(tag);
    if (found == chunks.end()) return nullptr;
    bool isText = tag == FLT_TAG_MARK || tag == FLT_TAG('N', 'O', 'T', 'E') || tag == FLT_TAG('T', 'E', 'X', 'T');
    r->metadata_result = found->second.size() + (isText ? 1 : 0);
    return found->second.c_str();
  }

  // ---- pi_MetaMarkup: a working markup record, with the converters recorded.
  static int32_t VGM_API init(FltMetaMarkup *m) {
    if (m == nullptr) return 0;
    *m = FltMetaMarkup{};
    setText(m, "");
    if (current) ++current->markupsOpen;
    return 1;
  }
  static int32_t VGM_API freeMarkup(FltMetaMarkup *m) {
    if (m == nullptr || m->text == nullptr) return 0;
    free(m->text);
    *m = FltMetaMarkup{};
    if (current) --current->markupsOpen;
    return 1;
  }
  static int32_t VGM_API merge(FltMetaMarkup *m, const char *text) {
    if (m == nullptr || m->text == nullptr || text == nullptr) return 0;
    setText(m, textOf(m) + text);
    return 1;
  }
  static int32_t VGM_API get(FltMetaMarkup *m, const char *key, char *out, int32_t outSize) {
    std::string text = textOf(m);
    size_t at = key ? findKey(text, key) : std::string::npos;
    if (at == std::string::npos || out == nullptr || outSize < 1) return 0;
    at += strlen(key) + 1;
    std::string value = text.substr(at, text.find_first_of(";\n", at) - at);
    snprintf(out, size_t(outSize), "%s", value.c_str());
    return 1;
  }
  static int32_t VGM_API set(FltMetaMarkup *m, const char *key, const char *value) {
    if (m == nullptr || m->text == nullptr || key == nullptr || value == nullptr) return 0;
    std::string text = textOf(m);
    size_t at = findKey(text, key);
    if (at != std::string::npos) {
      size_t end = text.find_first_of(";\n", at);
      text.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    }
    setText(m, text + key + "=" + value + ";");
    return 1;
  }
  static int32_t VGM_API toExif(FltMetaMarkup *m, HGLOBAL *data, uint32_t *size) {
    if (data == nullptr || size == nullptr || current == nullptr) return 0;
    record("MarkupToEXIF", textOf(m));
    const std::string &block = current->exifForSave;
    *data = GlobalAlloc(GMEM_FIXED, block.size());
    if (*data == nullptr) return 0;
    memcpy(*data, block.data(), block.size());
    *size = static_cast<uint32_t>(block.size());
    return 1;
  }
  // The converters leave a recognisable entry: "rec.exif=<bytes>;".
  static int32_t fromBlock(const char *name, const char *key, FltMetaMarkup *m, const void *data, int32_t size) {
    if (m == nullptr || m->text == nullptr || data == nullptr || size < 4) return 0;
    record(name, std::string(static_cast<const char *>(data), size_t(size)));
    return set(m, key, std::to_string(size).c_str());
  }
  static int32_t VGM_API fromExif(FltMetaMarkup *m, const void *data, int32_t size) {
    return fromBlock("MarkupFromEXIF", "rec.exif", m, data, size);
  }
  static int32_t VGM_API fromXmp(FltMetaMarkup *m, const void *data, int32_t size) {
    return fromBlock("MarkupFromXMP", "rec.xmp", m, data, size);
  }

  // ---- pi_BasicColor: transforms that change nothing and are counted.
  static void *VGM_API createTransform(const void *source, uint32_t sourceSize, const WCHAR *) {
    if (source == nullptr || sourceSize == 0) return nullptr;
    record("CreateTransform", std::string(static_cast<const char *>(source), sourceSize));
    if (current) ++current->transformsOpen;
    static int token;
    return &token;
  }
  static int32_t VGM_API deleteTransform(void *transform) {
    if (transform == nullptr) return 0;
    record("DeleteTransform", "");
    if (current) --current->transformsOpen;
    return 1;
  }
  static int32_t VGM_API convertPixels(uint32_t *pixels, int32_t count, uint32_t, void *transform, uint32_t) {
    if (transform == nullptr || pixels == nullptr) return 0;
    record("TransformPixels", std::to_string(count));
    return count;
  }
};

RecordedLayer RecordedLayer::make(uint32_t width, uint32_t height, const std::vector<uint32_t> &rowPixels) {
  RecordedLayer l;
  l.width = width, l.height = height, l.stride = width + 1;
  l.pixels.assign(size_t(l.stride) * height, kUnwritten);
  for (uint32_t y = 0; y < height; ++y)
    std::copy_n(rowPixels.begin() + size_t(y) * width, width, l.pixels.begin() + size_t(y) * l.stride);
  return l;
}

FilterPlugin::FilterPlugin(const std::string &type) {
  handle = dlopen((binFolder() + "/Plugins/" + type + "/flt_" + type + ".dll").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) error = dlerror();
  if (handle == nullptr) return;
  checkLoad = reinterpret_cast<flt_CheckLoadFn>(dlsym(handle, "flt_CheckLoad"));
  loadImage = reinterpret_cast<flt_LoadImageFn>(dlsym(handle, "flt_LoadImage"));
  checkSave = reinterpret_cast<flt_CheckSaveFn>(dlsym(handle, "flt_CheckSave"));
  saveImage = reinterpret_cast<flt_SaveImageFn>(dlsym(handle, "flt_SaveImage"));
}

FilterPlugin::~FilterPlugin() {
  if (handle) dlclose(handle);
}

RecordingHost::RecordingHost(const std::string &type) : plugin_(type) {}

namespace {
int score(flt_CheckLoadFn check, const std::string &extension, const std::string *header) {
  FltProbe probe{};
  for (size_t i = 0; i < extension.size() && i + 1 < FLT_EXTENSION_CAPACITY; ++i)
    probe.extension[i] = static_cast<WCHAR>(static_cast<unsigned char>(extension[i]));
  if (header) probe.header_size = static_cast<uint32_t>(std::min<size_t>(header->size(), FLT_PROBE_HEADER_MAX));
  if (header) memcpy(probe.header, header->data(), probe.header_size);
  if (!check || check(&probe) == 0 || probe.strength_a == 0) return 0;
  int weak = header ? (probe.reply_flags & FLT_PROBE_WEAK ? 0 : 1000) + (probe.reply_flags & FLT_PROBE_WEAKER ? 0 : 1000) : 0;
  return std::max(probe.strength_a + probe.strength_b + probe.strength_c + weak, 1);
}
}  // namespace

int RecordingHost::loadScore(const std::string &extension, const std::string &header) {
  return score(plugin_.checkLoad, extension, &header);
}
int RecordingHost::saveScore(const std::string &extension) { return score(plugin_.checkSave, extension, nullptr); }

template <class Request>
void RecordingHost::prepare(Request &request, const std::string &path) {
  using C = RecordingCallbacks;
  calls.clear(), message.clear(), shortText.clear(), progress.clear();
  transformsOpen = markupsOpen = 0;
  messageBuffer_.assign(FLT_MESSAGE_CAPACITY, 0);
  moduleBuffer_.assign(FLT_MODULE_NAME_CAPACITY, 0);
  shortBuffer_.assign(FLT_SHORT_TEXT_CAPACITY, 0);
  path_ = u16(path);
  request = Request{};
  request.path = path_.c_str();
  request.message = messageBuffer_.data(), request.message_capacity = FLT_MESSAGE_CAPACITY;
  request.module_name = moduleBuffer_.data(), request.module_name_capacity = FLT_MODULE_NAME_CAPACITY;
  request.options_text = options.c_str();
  static const pi_MetaMarkup markupTable = {PI_METAMARKUP_VERSION, 0, C::init, nullptr, C::freeMarkup,
                                            C::merge, C::get, C::set, nullptr, nullptr, C::toExif, C::fromExif,
                                            C::fromXmp};
  static const pi_BasicColor colorTable = {PI_BASICCOLOR_VERSION, 0, nullptr, C::convertPixels, nullptr, nullptr,
                                           C::createTransform, C::deleteTransform};
  request.meta_markup = tables ? &markupTable : nullptr;
  request.basic_color = tables ? &colorTable : nullptr;
}

int32_t RecordingHost::load(const std::string &path) {
  if (!plugin_.loadImage) return FLT_ERR_UNSUPPORTED;
  using C = RecordingCallbacks;
  layers.clear();
  prepare(request, path);
  request.begin_layer = C::beginLayer, request.set_metadata = C::setMetadata;
  request.query_option = C::query, request.set_text = C::text, request.progress = C::step;
  request.flags = flags, request.current_layer = -1, request.last_layer_index = FLT_LAST_LAYER_INDEX;
  request.short_text = shortBuffer_.data(), request.short_text_capacity = FLT_SHORT_TEXT_CAPACITY;
  current = this;
  int32_t result = plugin_.loadImage(&request);
  current = nullptr;
  return result;
}

int32_t RecordingHost::save(const std::string &path, uint8_t documentKind) {
  if (!plugin_.saveImage) return FLT_ERR_UNSUPPORTED;
  using C = RecordingCallbacks;
  prepare(saveRequest, path);
  saveRequest.select_layer = C::selectLayer, saveRequest.get_metadata = C::getMetadata;
  saveRequest.query_option = C::query, saveRequest.set_text = C::text, saveRequest.progress = C::step;
  saveRequest.document_kind = documentKind, saveRequest.selected_layer = -1;
  saveRequest.layer_count = static_cast<uint32_t>(layers.size()), saveRequest.layers = static_cast<int32_t>(layers.size());
  current = this;
  if (!C::selectLayer(&saveRequest, 0, 0)) return current = nullptr, FLT_ERR_NO_IMAGE_DATA;
  int32_t result = plugin_.saveImage(&saveRequest);
  current = nullptr;
  return result;
}

std::vector<const RecordedCall *> RecordingHost::callsNamed(const std::string &name) const {
  std::vector<const RecordedCall *> found;
  for (const RecordedCall &c : calls)
    if (c.name == name) found.push_back(&c);
  return found;
}

std::string RecordingHost::markup(size_t index) const {
  if (index >= layers.size()) return "";
  auto found = layers[index].metadata.find(FLT_TAG_MARK);
  return found == layers[index].metadata.end() ? "" : found->second;
}

}  // namespace vgmtest
