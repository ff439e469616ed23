// The layer properties container: walking, finding and rebuilding.
#include "raster/layers/properties.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/os.h"

namespace {

uint32_t ReadU32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void WriteU32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

bool IsTextTag(uint32_t tag) { return tag == prop_TagMark || tag == prop_TagNote || tag == prop_TagText; }

struct OwnedRecord {
  uint32_t tag;
  std::vector<uint8_t> data;
};

// Every record of a block; false when the block is malformed.
bool prop_CollectRecords(const void *block, size_t size, std::vector<OwnedRecord> *out) {
  prop_Walker walker{};
  if (prop_WalkBegin(&walker, block, size) == 0) return false;
  prop_Record record{};
  int32_t step;
  while ((step = prop_WalkNext(&walker, &record)) == 1)
    out->push_back({record.tag, std::vector<uint8_t>(record.data, record.data + record.length)});
  return step == 0;
}

// Writes the records as a current-form block with room to spare.
bool prop_BuildBlock(const std::vector<OwnedRecord> &records, HGLOBAL *block, uint32_t *length) {
  uint64_t body = 0;
  for (const OwnedRecord &r : records) body += 8 + r.data.size();
  // The short header needs 16 <= S <= 65536; anything else takes the long one.
  bool shortHeader = body >= prop_SmallMin && body <= prop_SmallMax;
  uint64_t header = shortHeader ? 8 : 16;
  uint64_t total = header + body;
  if (total > 0x7FFFFFFFu - prop_Spare) return false;
  auto *bytes = static_cast<uint8_t *>(GlobalAlloc(GPTR, static_cast<SIZE_T>(total + prop_Spare)));
  if (bytes == nullptr) return false;
  WriteU32(bytes, prop_TagMeta);
  // Outside 16..65536, S itself still gives the record bytes; readers take
  // the length from byte 12 then.
  WriteU32(bytes + 4, static_cast<uint32_t>(body));
  if (!shortHeader) WriteU32(bytes + 12, static_cast<uint32_t>(body));
  size_t at = static_cast<size_t>(header);
  for (const OwnedRecord &r : records) {
    WriteU32(bytes + at, r.tag);
    WriteU32(bytes + at + 4, static_cast<uint32_t>(r.data.size()));
    if (!r.data.empty()) std::memcpy(bytes + at + 8, r.data.data(), r.data.size());
    at += 8 + r.data.size();
  }
  *block = bytes;
  *length = static_cast<uint32_t>(total);
  return true;
}

bool prop_Replace(HGLOBAL *block, uint32_t *length, const std::vector<OwnedRecord> &records) {
  HGLOBAL fresh = nullptr;
  uint32_t freshLength = 0;
  if (!prop_BuildBlock(records, &fresh, &freshLength)) return false;
  os_GlobalRelease(*block);
  *block = fresh;
  *length = freshLength;
  return true;
}

}  // namespace

int32_t prop_WalkBegin(prop_Walker *walker, const void *block, size_t size) {
  if (walker == nullptr) return 0;
  *walker = prop_Walker{};
  auto *bytes = static_cast<const uint8_t *>(block);
  walker->block = bytes;
  walker->form = prop_FormEmpty;
  if (bytes == nullptr || size == 0) return 1;
  if (size < 4) {
    // Too short for a tag: only all-zero bytes pass as empty.
    for (size_t i = 0; i < size; ++i)
      if (bytes[i] != 0) return 0;
    return 1;
  }
  uint32_t tag = ReadU32(bytes);
  if (tag == 0) return 1;
  if (tag != prop_TagMeta) {
    walker->form = prop_FormSingle;
    walker->position = 0;
    walker->end = size;
    return 1;
  }
  if (size < 8) return 0;
  uint32_t s = ReadU32(bytes + 4);
  uint64_t end;
  if (s >= prop_SmallMin && s <= prop_SmallMax) {
    end = uint64_t{s} + 8;
    walker->position = 8;
  } else {
    if (size < 16) return 0;
    end = uint64_t{ReadU32(bytes + 12)} + 16;
    walker->position = 16;
  }
  if (end > size) return 0;
  walker->form = prop_FormCurrent;
  walker->end = static_cast<size_t>(end);
  return 1;
}

int32_t prop_WalkNext(prop_Walker *walker, prop_Record *record) {
  if (walker == nullptr || record == nullptr) return -1;
  if (walker->form == prop_FormEmpty) return 0;
  if (walker->form == prop_FormSingle) {
    if (walker->singleDone) return 0;
    walker->singleDone = true;
    uint32_t tag = ReadU32(walker->block);
    size_t available = walker->end - 4;
    if (available > prop_SingleMax) available = prop_SingleMax;
    const uint8_t *data = walker->block + 4;
    if (IsTextTag(tag)) {
      const void *zero = std::memchr(data, 0, available);
      if (zero != nullptr) available = static_cast<size_t>(static_cast<const uint8_t *>(zero) - data) + 1;
    }
    record->tag = tag == prop_TagLink ? prop_TagTile : tag;
    record->length = static_cast<uint32_t>(available);
    record->data = data;
    return 1;
  }
  if (walker->position >= walker->end) return 0;
  auto stop = [walker] {
    walker->position = walker->end;
    return -1;
  };
  if (walker->end - walker->position < 8) return stop();
  const uint8_t *header = walker->block + walker->position;
  uint32_t length = ReadU32(header + 4);
  if (length > prop_RecordMax) return stop();
  if (length > walker->end - walker->position - 8) return stop();
  record->tag = ReadU32(header);
  record->length = length;
  record->data = header + 8;
  walker->position += 8 + static_cast<size_t>(length);
  return 1;
}

int32_t prop_Validate(const void *block, size_t size) {
  prop_Walker walker{};
  if (prop_WalkBegin(&walker, block, size) == 0) return 0;
  prop_Record record{};
  int32_t step;
  while ((step = prop_WalkNext(&walker, &record)) == 1) {
  }
  return step == 0 ? 1 : 0;
}

int32_t prop_Find(const void *block, size_t size, uint32_t tag, prop_Record *record) {
  prop_Walker walker{};
  if (prop_WalkBegin(&walker, block, size) == 0) return -1;
  prop_Record current{};
  int32_t step;
  while ((step = prop_WalkNext(&walker, &current)) == 1) {
    if (current.tag == tag) {
      if (record != nullptr) *record = current;
      return 1;
    }
  }
  return step;
}

size_t prop_BlockBytes(HGLOBAL block, uint32_t length) {
  if (block == nullptr || length == 0) return 0;
  if (GlobalFlags(block) == GMEM_INVALID_HANDLE) return 0;
  size_t size = GlobalSize(block);
  return length < size ? length : size;
}

int32_t prop_SetRecord(HGLOBAL *block, uint32_t *length, uint32_t tag, const void *data, uint32_t size) {
  if (block == nullptr || length == nullptr || tag == 0 || size > prop_RecordMax || (data == nullptr && size != 0))
    return 0;
  std::vector<OwnedRecord> records;
  if (!prop_CollectRecords(*block, prop_BlockBytes(*block, *length), &records)) return 0;
  auto *bytes = static_cast<const uint8_t *>(data);
  std::vector<uint8_t> value(bytes, bytes + size);
  bool placed = false;
  std::vector<OwnedRecord> kept;
  for (OwnedRecord &r : records) {
    if (r.tag != tag) {
      kept.push_back(std::move(r));
    } else if (!placed) {
      kept.push_back({tag, value});
      placed = true;
    }
  }
  if (!placed) kept.push_back({tag, std::move(value)});
  return prop_Replace(block, length, kept) ? 1 : 0;
}

int32_t prop_RemoveRecord(HGLOBAL *block, uint32_t *length, uint32_t tag) {
  if (block == nullptr || length == nullptr) return 0;
  std::vector<OwnedRecord> records;
  if (!prop_CollectRecords(*block, prop_BlockBytes(*block, *length), &records)) return 0;
  std::vector<OwnedRecord> kept;
  for (OwnedRecord &r : records)
    if (r.tag != tag) kept.push_back(std::move(r));
  if (kept.size() == records.size()) return 0;
  return prop_Replace(block, length, kept) ? 1 : 0;
}

int32_t prop_SetMarkup(HGLOBAL *block, uint32_t *length, const char *text) {
  if (text == nullptr) text = "";
  size_t n = std::strlen(text);
  if (n + 1 > prop_RecordMax) return 0;
  return prop_SetRecord(block, length, prop_TagMark, text, static_cast<uint32_t>(n + 1));
}

int32_t prop_GetMarkup(const void *block, size_t size, char *out, int32_t out_size) {
  prop_Record record{};
  if (prop_Find(block, size, prop_TagMark, &record) != 1) {
    if (out != nullptr && out_size >= 1) out[0] = '\0';
    return -1;
  }
  const void *zero = std::memchr(record.data, 0, record.length);
  size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t *>(zero) - record.data) : record.length;
  if (out != nullptr && out_size >= 1) {
    size_t copy = n < static_cast<size_t>(out_size - 1) ? n : static_cast<size_t>(out_size - 1);
    std::memcpy(out, record.data, copy);
    out[copy] = '\0';
  }
  return static_cast<int32_t>(n);
}
