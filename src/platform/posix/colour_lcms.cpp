// Colour management on Little CMS 2. lcms2 fixes the pixel formats when a
// transform is made, while the system interface picks them per call: a
// transform therefore keeps both profiles and makes the lcms2 transform of
// each input format the first time that format is asked for.
#include <lcms2.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/os.h"
#include "platform/os_colour.h"
#include "platform/posix/native_names.h"

struct os_ColourProfile {
  cmsHPROFILE handle;
};

namespace {

constexpr int kFormats = 4;

std::atomic<int> gOpenProfiles{0};

os_ColourProfile *wrap(cmsHPROFILE handle) {
  if (handle == nullptr) return nullptr;
  auto *profile = new (std::nothrow) os_ColourProfile{handle};
  if (profile == nullptr) {
    cmsCloseProfile(handle);
    return nullptr;
  }
  gOpenProfiles.fetch_add(1, std::memory_order_relaxed);
  return profile;
}

cmsUInt32Number lcmsFormat(os_ColourFormat format) {
  switch (format) {
    case os_ColourFormat::xrgb: return TYPE_BGRA_8;
    case os_ColourFormat::kymc: return TYPE_KYMC_8;
    case os_ColourFormat::lab8: return TYPE_Lab_8;
    case os_ColourFormat::xyz16: return TYPE_XYZ_16;
  }
  return 0;
}

// The format a profile's own colour space reads; false for spaces none of
// ours can carry (grey, CMY, ...).
bool nativeFormat(cmsHPROFILE profile, os_ColourFormat *format) {
  switch (cmsGetColorSpace(profile)) {
    case cmsSigRgbData: *format = os_ColourFormat::xrgb; return true;
    case cmsSigCmykData: *format = os_ColourFormat::kymc; return true;
    case cmsSigLabData: *format = os_ColourFormat::lab8; return true;
    case cmsSigXYZData: *format = os_ColourFormat::xyz16; return true;
    default: return false;
  }
}

}  // namespace

struct os_ColourTransform {
  os_ColourProfile *source = nullptr;
  os_ColourProfile *dest = nullptr;
  std::mutex lock;  // guards the lazy creation below
  cmsHTRANSFORM made[kFormats] = {};
  bool tried[kFormats] = {};

  ~os_ColourTransform() {
    for (cmsHTRANSFORM t : made)
      if (t != nullptr) cmsDeleteTransform(t);
    os_ColourProfileClose(source);
    os_ColourProfileClose(dest);
  }

  cmsHTRANSFORM get(os_ColourFormat format) {
    int i = static_cast<int>(format);
    std::lock_guard<std::mutex> guard(lock);
    if (!tried[i]) {
      tried[i] = true;
      made[i] = cmsCreateTransform(source->handle, lcmsFormat(format), dest->handle, TYPE_BGRA_8,
                                   INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_HIGHRESPRECALC);
    }
    return made[i];
  }
};

os_ColourProfile *os_ColourProfileFromMemory(const void *data, size_t size) {
  if (data == nullptr || size < 128 || size > static_cast<size_t>(os_MaxColourProfileBytes)) return nullptr;
  return wrap(cmsOpenProfileFromMem(data, static_cast<cmsUInt32Number>(size)));
}

os_ColourProfile *os_ColourProfileSrgb() { return wrap(cmsCreate_sRGBProfile()); }

void os_ColourProfileClose(os_ColourProfile *profile) {
  if (profile == nullptr) return;
  cmsCloseProfile(profile->handle);
  delete profile;
  gOpenProfiles.fetch_sub(1, std::memory_order_relaxed);
}

int os_ColourOpenProfiles() { return gOpenProfiles.load(std::memory_order_relaxed); }

os_ColourTransform *os_ColourTransformCreate(os_ColourProfile *source, os_ColourProfile *dest) {
  os_ColourFormat native;
  if (source == nullptr || dest == nullptr || !nativeFormat(source->handle, &native)) {
    os_ColourProfileClose(source);
    os_ColourProfileClose(dest);
    return nullptr;
  }
  auto *transform = new (std::nothrow) os_ColourTransform;
  if (transform == nullptr) {
    os_ColourProfileClose(source);
    os_ColourProfileClose(dest);
    return nullptr;
  }
  transform->source = source;
  transform->dest = dest;
  // The profile's own format must work, or the profile is of no use; this
  // also reads every tag the transform needs, so a damaged profile fails here.
  if (transform->get(native) == nullptr) {
    delete transform;
    return nullptr;
  }
  return transform;
}

void os_ColourTransformDelete(os_ColourTransform *transform) { delete transform; }

bool os_ColourTranslate(os_ColourTransform *transform, os_ColourFormat from, const void *source, uint32_t *dest,
                        size_t count) {
  if (transform == nullptr || source == nullptr || dest == nullptr) return false;
  cmsHTRANSFORM t = transform->get(from);
  if (t == nullptr) return false;
  // lcms2 reads each pixel before writing it, so four-byte input may be
  // converted in place; runs are cut to what its count argument holds.
  const auto *in = static_cast<const unsigned char *>(source);
  size_t inBytes = from == os_ColourFormat::lab8 ? 3 : from == os_ColourFormat::xyz16 ? 6 : 4;
  while (count > 0) {
    size_t n = count < 0x40000000u ? count : 0x40000000u;
    cmsDoTransform(t, in, dest, static_cast<cmsUInt32Number>(n));
    in += n * inBytes;
    dest += n;
    count -= n;
  }
  return true;
}

std::vector<std::u16string> os_ColourSystemFolders() {
  std::vector<std::u16string> folders;
  // getenv, not os_GetEnvironment: "set but empty" must differ from unset.
  if (const char *list = std::getenv("VGM_ICC_DIRS")) {
    std::u16string all = os_NameFromNative(list);
    size_t start = 0;
    while (start <= all.size()) {
      size_t end = all.find(u':', start);
      if (end == std::u16string::npos) end = all.size();
      if (end > start) folders.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    return folders;
  }
  folders.push_back(u"/usr/share/color/icc");
  std::u16string data = os_GetEnvironment("XDG_DATA_HOME");
  if (data.empty()) {
    std::u16string home = os_GetKnownFolder(os_KnownFolder::home);
    if (!home.empty()) data = home + u"/.local/share";
  }
  if (!data.empty()) folders.push_back(data + u"/icc");
  return folders;
}
