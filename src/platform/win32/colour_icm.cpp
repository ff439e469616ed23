// Colour management on the system's ICM. An ICM transform is made once for
// the profiles' own colour spaces and takes the pixel formats per call, so
// it is built right away and the profiles are released at once.
#include <windows.h>

#include <icm.h>

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/os.h"
#include "platform/os_colour.h"

struct os_ColourProfile {
  HPROFILE handle;
  std::vector<unsigned char> bytes;  // a memory profile's own copy, alive as long as the handle
};

struct os_ColourTransform {
  HTRANSFORM handle;
  os_ColourFormat input;  // the one format the source profile's colour space reads
};

namespace {

// ICC colour-space signatures.
constexpr DWORD kStandardSrgb = 0x73524742;  // LCS_sRGB, spelt out: a multi-character constant
constexpr DWORD kSpaceRgb = 0x52474220, kSpaceCmyk = 0x434D594B, kSpaceLab = 0x4C616220, kSpaceXyz = 0x58595A20;

std::atomic<int> gOpenProfiles{0};

os_ColourProfile *openProfile(PROFILE *source, std::vector<unsigned char> bytes) {
  auto *profile = new (std::nothrow) os_ColourProfile{nullptr, std::move(bytes)};
  if (profile == nullptr) return nullptr;
  if (source->dwType == PROFILE_MEMBUFFER) source->pProfileData = profile->bytes.data();
  profile->handle = OpenColorProfileW(source, PROFILE_READ, FILE_SHARE_READ, OPEN_EXISTING);
  BOOL valid = FALSE;
  if (profile->handle == nullptr || !IsColorProfileValid(profile->handle, &valid) || !valid) {
    if (profile->handle != nullptr) CloseColorProfile(profile->handle);
    delete profile;
    return nullptr;
  }
  gOpenProfiles.fetch_add(1, std::memory_order_relaxed);
  return profile;
}

bool nativeFormat(HPROFILE profile, os_ColourFormat *format) {
  PROFILEHEADER header{};
  if (!GetColorProfileHeader(profile, &header)) return false;
  switch (header.phDataColorSpace) {
    case kSpaceRgb: *format = os_ColourFormat::xrgb; return true;
    case kSpaceCmyk: *format = os_ColourFormat::kymc; return true;
    case kSpaceLab: *format = os_ColourFormat::lab8; return true;
    case kSpaceXyz: *format = os_ColourFormat::xyz16; return true;
    default: return false;
  }
}

BMFORMAT systemFormat(os_ColourFormat format) {
  switch (format) {
    case os_ColourFormat::xrgb: return BM_xRGBQUADS;
    case os_ColourFormat::kymc: return BM_KYMCQUADS;
    case os_ColourFormat::lab8: return BM_LabTRIPLETS;
    case os_ColourFormat::xyz16: return BM_16b_XYZ;
  }
  return BM_xRGBQUADS;
}

size_t bytesPerPixel(os_ColourFormat format) {
  return format == os_ColourFormat::lab8 ? 3 : format == os_ColourFormat::xyz16 ? 6 : 4;
}

// The environment variable's value, telling "set but empty" from unset.
bool environment(const wchar_t *name, std::wstring *value) {
  SetLastError(ERROR_SUCCESS);
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) {
    value->clear();
    return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
  }
  value->assign(size, L'\0');
  DWORD length = GetEnvironmentVariableW(name, value->data(), size);
  value->resize(length < size ? length : 0);
  return true;
}

std::u16string fromWide(const std::wstring &text) {
  return std::u16string(reinterpret_cast<const char16_t *>(text.data()), text.size());
}

}  // namespace

os_ColourProfile *os_ColourProfileFromMemory(const void *data, size_t size) {
  if (data == nullptr || size < 128 || size > static_cast<size_t>(os_MaxColourProfileBytes)) return nullptr;
  const auto *bytes = static_cast<const unsigned char *>(data);
  PROFILE source{PROFILE_MEMBUFFER, nullptr, static_cast<DWORD>(size)};
  try {
    return openProfile(&source, std::vector<unsigned char>(bytes, bytes + size));
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

os_ColourProfile *os_ColourProfileSrgb() {
  wchar_t path[MAX_PATH];
  DWORD bytes = sizeof path;
  if (!GetStandardColorSpaceProfileW(nullptr, kStandardSrgb, path, &bytes)) return nullptr;
  PROFILE source{PROFILE_FILENAME, path, static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t))};
  return openProfile(&source, {});
}

void os_ColourProfileClose(os_ColourProfile *profile) {
  if (profile == nullptr) return;
  CloseColorProfile(profile->handle);
  delete profile;
  gOpenProfiles.fetch_sub(1, std::memory_order_relaxed);
}

int os_ColourOpenProfiles() { return gOpenProfiles.load(std::memory_order_relaxed); }

os_ColourTransform *os_ColourTransformCreate(os_ColourProfile *source, os_ColourProfile *dest) {
  os_ColourFormat input = os_ColourFormat::xrgb, output = os_ColourFormat::xrgb;
  HTRANSFORM handle = nullptr;
  if (source != nullptr && dest != nullptr && nativeFormat(source->handle, &input) &&
      nativeFormat(dest->handle, &output) && output == os_ColourFormat::xrgb) {
    HPROFILE profiles[2] = {source->handle, dest->handle};
    DWORD intents[2] = {INTENT_RELATIVE_COLORIMETRIC, INTENT_RELATIVE_COLORIMETRIC};
    handle = CreateMultiProfileTransform(profiles, 2, intents, 2, BEST_MODE, INDEX_DONT_CARE);
  }
  // The transform holds what it needs of both profiles.
  os_ColourProfileClose(source);
  os_ColourProfileClose(dest);
  if (handle == nullptr) return nullptr;
  auto *transform = new (std::nothrow) os_ColourTransform{handle, input};
  if (transform == nullptr) DeleteColorTransform(handle);
  return transform;
}

void os_ColourTransformDelete(os_ColourTransform *transform) {
  if (transform == nullptr) return;
  DeleteColorTransform(transform->handle);
  delete transform;
}

bool os_ColourTranslate(os_ColourTransform *transform, os_ColourFormat from, const void *source, uint32_t *dest,
                        size_t count) {
  if (transform == nullptr || source == nullptr || dest == nullptr || from != transform->input) return false;
  // Runs small enough for a stack copy of the source (the system call may not
  // read in place) and of the fourth bytes, which the system may overwrite.
  constexpr size_t kRun = 1024;
  const auto *in = static_cast<const unsigned char *>(source);
  size_t inBytes = bytesPerPixel(from);
  alignas(8) unsigned char copy[kRun * 6];
  unsigned char fourth[kRun];
  while (count > 0) {
    size_t n = count < kRun ? count : kRun;
    std::memcpy(copy, in, n * inBytes);
    for (size_t i = 0; i < n; ++i) fourth[i] = static_cast<unsigned char>(dest[i] >> 24);
    if (!TranslateBitmapBits(transform->handle, copy, systemFormat(from), static_cast<DWORD>(n), 1, 0, dest,
                             BM_xRGBQUADS, 0, nullptr, 0))
      return false;
    for (size_t i = 0; i < n; ++i) dest[i] = (dest[i] & 0x00FFFFFFu) | static_cast<uint32_t>(fourth[i]) << 24;
    in += n * inBytes;
    dest += n;
    count -= n;
  }
  return true;
}

std::vector<std::u16string> os_ColourSystemFolders() {
  std::vector<std::u16string> folders;
  std::wstring list;
  if (environment(L"VGM_ICC_DIRS", &list)) {
    // ';'-separated here: ':' belongs to drive letters.
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(L';', start);
      if (end == std::wstring::npos) end = list.size();
      if (end > start) folders.push_back(fromWide(list.substr(start, end - start)));
      start = end + 1;
    }
    return folders;
  }
  wchar_t folder[MAX_PATH];
  DWORD bytes = sizeof folder;
  if (GetColorDirectoryW(nullptr, folder, &bytes)) folders.push_back(fromWide(folder));
  return folders;
}
