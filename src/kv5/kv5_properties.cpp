#include "kv5/kv5_properties.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "markup/markup_text.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/layers.h"

namespace {

std::vector<uint8_t> recordData(const rx_LayerEntry *entry, uint32_t tag, bool *found) {
  prop_Record record{};
  *found = rx_LayerFindRecord(entry, tag, &record) == 1;
  return *found ? std::vector<uint8_t>(record.data, record.data + record.length) : std::vector<uint8_t>();
}

bool setRecord(rx_LayerEntry *entry, uint32_t tag, const void *data, size_t size) {
  return prop_SetRecord(&entry->properties, &entry->propertiesLength, tag, data, static_cast<uint32_t>(size)) == 1;
}

// The value of `key`, or empty when absent.
std::string markupValue(const std::string &text, const char *key, bool *found) {
  std::vector<char> value(kMarkupValueMax + 1);
  *found = markup_Get(text.c_str(), key, value.data(), static_cast<int>(value.size()), nullptr, nullptr) == 1;
  return value.data();
}

// Runs of characters from `allowed` in `text`, in order.
std::vector<std::string> runsOf(const std::string &text, const char *allowed) {
  std::vector<std::string> runs;
  std::string run;
  for (char c : text) {
    if (c != 0 && std::strchr(allowed, c) != nullptr) {
      run += c;
    } else if (!run.empty()) {
      runs.push_back(run), run.clear();
    }
  }
  if (!run.empty()) runs.push_back(run);
  return runs;
}

bool twoIntegers(const std::string &text, int64_t out[2]) {
  std::vector<std::string> runs = runsOf(text, "-0123456789");
  if (runs.size() < 2) return false;
  for (int i = 0; i < 2; ++i) {
    const char *end = runs[i].data() + runs[i].size();
    if (std::from_chars(runs[i].data(), end, out[i]).ptr != end) return false;
  }
  return true;
}

bool oneNumber(const std::string &text, double *out) {
  std::vector<std::string> runs = runsOf(text, ".e+-0123456789");
  if (runs.empty()) return false;
  const char *begin = runs[0].data(), *end = begin + runs[0].size();
  if (*begin == '+') ++begin;  // from_chars takes no plus sign
  return std::from_chars(begin, end, *out).ptr != begin && std::isfinite(*out) && *out > 0;
}

void store32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }

// Markup keys of the first revision → records.
int32_t keysToRecords(rx_LayerEntry *entry) {
  size_t bytes = rx_LayerPropertiesBytes(entry);
  int32_t length = prop_GetMarkup(entry->properties, bytes, nullptr, 0);
  if (length < 0) return 0;
  std::string text(static_cast<size_t>(length) + 64, '\0');
  prop_GetMarkup(entry->properties, bytes, text.data(), static_cast<int32_t>(text.size()));
  text.resize(std::strlen(text.c_str()));
  auto remove = [&](const char *key) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back(0);
    markup_Delete(copy.data(), key);
    text = copy.data();
  };

  int32_t changes = 0;
  bool found = false;
  std::string value = markupValue(text, "image.dpi", &found);
  if (found) {
    bool hasPpi = false;
    markupValue(text, "image.ppi", &hasPpi);
    remove("image.dpi");
    if (!hasPpi) text += "image.ppi=" + value + ";";  // the old name of the same thing
  }
  double resolution = 0;
  for (const char *key : {"image.ppcm", "image.ppi"}) {
    value = markupValue(text, key, &found);
    if (!found || !oneNumber(value, &resolution)) continue;
    uint8_t record[prop_PhysBytes];
    prop_Phys phys{resolution, resolution, std::strcmp(key, "image.ppcm") == 0 ? prop_UnitCentimetre : prop_UnitInch};
    prop_WritePhys(&phys, record);
    if (setRecord(entry, prop_TagPhys, record, sizeof record)) remove(key), ++changes;
    break;
  }
  int64_t pair[2];
  if (twoIntegers(markupValue(text, "image.hotspot", &found), pair)) {
    uint8_t record[8];
    store32(record, static_cast<uint32_t>(pair[0]));
    store32(record + 4, static_cast<uint32_t>(pair[1]));
    if (setRecord(entry, prop_TagHotSpot, record, sizeof record)) remove("image.hotspot"), ++changes;
  }
  if (twoIntegers(markupValue(text, "image.sprite.size", &found), pair)) {
    int64_t columns = std::max<int64_t>(pair[0], 1), rows = std::max<int64_t>(pair[1], 1);
    prop_Sprite sprite{};
    sprite.columns = static_cast<uint32_t>(std::min<int64_t>(columns, UINT32_MAX));
    sprite.rows = static_cast<uint32_t>(std::min<int64_t>(rows, UINT32_MAX));
    sprite.cellWidth = static_cast<uint32_t>((entry->surface.width + columns / 2) / columns);
    sprite.cellHeight = static_cast<uint32_t>((entry->surface.height + rows / 2) / rows);
    sprite.frameCount = static_cast<uint32_t>(std::min<int64_t>(columns * rows, UINT32_MAX));
    int64_t used[2];
    if (twoIntegers(markupValue(text, "image.sprite.used", &found) + " 0", used) && used[0] > 0)
      sprite.frameCount = static_cast<uint32_t>(std::min<int64_t>(used[0], UINT32_MAX));
    double time = 0;
    if (oneNumber(markupValue(text, "image.sprite.time", &found), &time)) {
      sprite.frameTime = static_cast<uint32_t>(std::min(time + 0.5, 4e9));
    } else if (oneNumber(markupValue(text, "image.sprite.rate", &found), &time)) {
      // The rate is frames per second.
      sprite.frameTime = static_cast<uint32_t>(std::min(1000.0 / time + 0.5, 4e9));
    }
    uint8_t record[prop_SpriteBytes];
    prop_WriteSprite(&sprite, record);
    if (setRecord(entry, prop_TagSprite, record, sizeof record)) {
      for (const char *key : {"image.sprite.size", "image.sprite.time", "image.sprite.rate"}) remove(key);
      ++changes;
    }
  }
  if (changes > 0 && prop_SetMarkup(&entry->properties, &entry->propertiesLength, text.c_str()) == 0) return 0;
  return changes;
}

// Resolutions stored per metre although they are typical inch values.
int32_t fixMetreUnit(rx_LayerEntry *entry) {
  bool found = false;
  std::vector<uint8_t> data = recordData(entry, prop_TagPhys, &found);
  prop_Record record{prop_TagPhys, static_cast<uint32_t>(data.size()), data.data()};
  prop_Phys phys{};
  if (!found || prop_ReadPhys(&record, &phys) == 0 || phys.unit != 2 || !(phys.x > 71 && phys.x < 2401)) return 0;
  data[24] = prop_UnitInch;
  return setRecord(entry, prop_TagPhys, data.data(), data.size()) ? 1 : 0;
}

int32_t widenTable(rx_LayerEntry *entry) {
  bool found = false;
  std::vector<uint8_t> data = recordData(entry, prop_TagTable, &found);
  if (!found || data.size() < 8) return 0;
  uint32_t layout, count;
  std::memcpy(&layout, data.data(), 4);
  std::memcpy(&count, data.data() + 4, 4);
  if (layout == prop_TableLayoutCurrent || count > (data.size() - 8) / prop_TableEntryOld) return 0;
  std::vector<uint8_t> out(8 + size_t{count} * prop_TableEntry, 0);
  store32(out.data(), prop_TableLayoutCurrent);
  store32(out.data() + 4, count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t *from = data.data() + 8 + i * prop_TableEntryOld;
    uint8_t *to = out.data() + 8 + i * prop_TableEntry;
    std::memcpy(to, from, 20);
    int16_t value;
    std::memcpy(&value, from + 20, 2);
    auto magnitude = static_cast<uint16_t>(value < 0 ? -static_cast<int32_t>(value) : value);
    std::memcpy(to + 20, &magnitude, 2);
  }
  return setRecord(entry, prop_TagTable, out.data(), out.size()) ? 1 : 0;
}

int32_t currentResolutionForm(rx_LayerEntry *entry) {
  int32_t changes = 0;
  bool found = false;
  std::vector<uint8_t> data = recordData(entry, prop_TagPhys, &found);
  if (found && data.size() >= prop_PhysOldBytes && data[0] == 1 && data[1] == 0) {
    uint32_t x, y;
    std::memcpy(&x, data.data() + 4, 4);
    std::memcpy(&y, data.data() + 8, 4);
    prop_Phys phys{static_cast<double>(x), static_cast<double>(y), data[2]};
    uint8_t record[prop_PhysBytes];
    prop_WritePhys(&phys, record);
    changes += setRecord(entry, prop_TagPhys, record, sizeof record) ? 1 : 0;
  }
  data = recordData(entry, prop_TagHrefOld, &found);
  if (found && setRecord(entry, prop_TagHref, data.data(), data.size())) {
    prop_RemoveRecord(&entry->properties, &entry->propertiesLength, prop_TagHrefOld);
    ++changes;
  }
  return changes;
}

}  // namespace

int32_t kv5_UpgradeProperties(rx_LayerEntry *entry, uint32_t versionWord) {
  if (entry == nullptr || rx_LayerPropertiesBytes(entry) == 0) return 0;
  int32_t changes = 0;
  if (versionWord <= 0x00030000) changes += keysToRecords(entry);
  if (versionWord == 0x00040001) changes += fixMetreUnit(entry);
  if (versionWord <= 0x00040007) changes += widenTable(entry);
  if (versionWord <= 0x00040008) changes += currentResolutionForm(entry);
  return changes;
}
