// Finding or making the entry a markup key is written into.
#include <libexif/exif-data.h>

#include <cstdlib>
#include <cstring>

#include "markup/markup_to_exif.h"

namespace {

struct Fallback {
  bool gps;  // IFD 3; otherwise any of IFD 0, 1, 2 and 4
  uint16_t tag;
  ExifFormat format;
  uint16_t count;
};

// Entries libexif creates without data but the writer has values for.
constexpr Fallback kFallbacks[] = {
    {false, 0xA431, EXIF_FORMAT_ASCII, 4},    {false, 0xA433, EXIF_FORMAT_ASCII, 4},
    {false, 0xA434, EXIF_FORMAT_ASCII, 4},    {false, 0xA435, EXIF_FORMAT_ASCII, 4},
    {false, 0xA432, EXIF_FORMAT_RATIONAL, 4}, {false, 0xA300, EXIF_FORMAT_BYTE, 4},
    {false, 0x9286, EXIF_FORMAT_UNDEFINED, 32}, {false, 0x9010, EXIF_FORMAT_ASCII, 19},
    {false, 0x9011, EXIF_FORMAT_ASCII, 19},   {false, 0x9012, EXIF_FORMAT_ASCII, 19},
    {false, 0x010D, EXIF_FORMAT_ASCII, 4},    {true, 0x00, EXIF_FORMAT_BYTE, 4},
    {true, 0x01, EXIF_FORMAT_ASCII, 2},       {true, 0x03, EXIF_FORMAT_ASCII, 2},
    {true, 0x09, EXIF_FORMAT_ASCII, 2},       {true, 0x0A, EXIF_FORMAT_ASCII, 2},
    {true, 0x0C, EXIF_FORMAT_ASCII, 2},       {true, 0x02, EXIF_FORMAT_RATIONAL, 3},
    {true, 0x04, EXIF_FORMAT_RATIONAL, 3},    {true, 0x07, EXIF_FORMAT_RATIONAL, 3},
    {true, 0x05, EXIF_FORMAT_BYTE, 1},        {true, 0x06, EXIF_FORMAT_RATIONAL, 1},
    {true, 0x0B, EXIF_FORMAT_RATIONAL, 1},    {true, 0x0D, EXIF_FORMAT_RATIONAL, 1},
    {true, 0x08, EXIF_FORMAT_ASCII, 32},      {true, 0x1D, EXIF_FORMAT_ASCII, 4},
};

const Fallback *findFallback(ExifIfd ifd, unsigned tag) {
  if (ifd > EXIF_IFD_INTEROPERABILITY) return nullptr;
  for (const Fallback &row : kFallbacks)
    if (row.tag == tag && row.gps == (ifd == EXIF_IFD_GPS)) return &row;
  return nullptr;
}

// Sets format and count and gives the entry a zero-filled data area.
bool giveData(ExifEntry *entry, ExifFormat format, unsigned count) {
  entry->format = format;
  entry->components = 0;
  entry->size = 0;
  std::free(entry->data);
  entry->data = nullptr;
  return markup_ResizeEntry(entry, count) && entry->data != nullptr;
}

}  // namespace

bool markup_ResizeEntry(ExifEntry *entry, unsigned count) {
  if (entry == nullptr) return false;
  const uint64_t unit = exif_format_get_size(entry->format);
  const uint64_t size = uint64_t{count} * (unit == 0 ? 1 : unit);
  if (size > 0xFFFFFFFFu) return false;
  if (size != entry->size || (size > 0 && entry->data == nullptr)) {
    // libexif's default allocator is the C heap: it frees what we allocate.
    auto *bytes = static_cast<unsigned char *>(size == 0 ? nullptr : std::realloc(entry->data, size));
    if (size > 0 && bytes == nullptr) return false;
    if (size == 0) std::free(entry->data);
    const size_t kept = entry->data != nullptr ? entry->size : 0;
    if (size > kept) std::memset(bytes + kept, 0, size - kept);
    entry->data = bytes;
    entry->size = static_cast<unsigned>(size);
  }
  entry->components = count;
  return true;
}

ExifEntry *markup_FetchEntrySized(ExifData *data, ExifIfd ifd, ExifTag tag, unsigned size) {
  if (data == nullptr || ifd < EXIF_IFD_0 || ifd > EXIF_IFD_INTEROPERABILITY) return nullptr;
  ExifContent *content = data->ifd[ifd];
  if (content == nullptr) return nullptr;
  if (ExifEntry *found = exif_content_get_entry(content, tag); found != nullptr)
    return found->data != nullptr && found->size > 0 ? found : nullptr;
  ExifEntry *entry = exif_entry_new();
  if (entry == nullptr) return nullptr;
  // The directory refuses a second entry of a tag, and a new entry's tag
  // is 0 (GPSVersionID) until it is set.
  entry->tag = tag;
  exif_content_add_entry(content, entry);
  const bool added = entry->parent == content;
  exif_entry_unref(entry);  // the directory holds it now
  if (!added) return nullptr;
  exif_entry_initialize(entry, tag);
  bool filled = entry->data != nullptr && entry->size > 0;
  if (!filled) {
    if (const Fallback *row = findFallback(ifd, tag); row != nullptr)
      filled = giveData(entry, row->format, row->count);
    else if (size > 0)
      filled = giveData(entry, EXIF_FORMAT_UNDEFINED, size);
  }
  if (filled) return entry;
  exif_content_remove_entry(content, entry);  // a dataless entry would be saved as an empty one
  return nullptr;
}

ExifEntry *markup_FetchEntry(ExifData *data, ExifIfd ifd, ExifTag tag) {
  return markup_FetchEntrySized(data, ifd, tag, 0);
}
