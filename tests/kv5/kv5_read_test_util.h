// Shared set-up of the document reader tests: a temporary folder, a layer
// table, a request, and a notice handler that records titles.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kv5/kv5_describe.h"
#include "kv5/kv5_reader.h"
#include "kv5_doc_writer.h"
#include "platform/os.h"
#include "raster/layers/layers.h"
#include "support/test_support.h"

namespace kv5doc {

// "5F 4B ..." → bytes; anything but hex digits separates.
inline Bytes hex(const std::string &text) {
  Bytes out;
  for (size_t i = 0; i < text.size(); i += std::isxdigit(static_cast<unsigned char>(text[i])) ? 2 : 1)
    if (std::isxdigit(static_cast<unsigned char>(text[i]))) out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::vector<std::u16string> gTitles;
inline int32_t recordNotice(const os_Notice *notice, void *) {
  gTitles.push_back(notice->title);
  return notice->kind == os_NoticeTextInput ? 0 : os_AnswerOk;  // a prompt is closed, not confirmed empty
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os_SetNoticeHandler(recordNotice, nullptr, nullptr);
    gTitles.clear();
  }
  void TearDown() override {
    rx_LayerTableFree(table);
    os_SetNoticeHandler(nullptr, nullptr, nullptr);
  }
  std::u16string save(const Bytes &bytes, const std::string &name = "doc.kv5") {
    vgmtest::writeFile(temp.file(name), std::string(bytes.begin(), bytes.end()));
    return temp.file16(name);
  }
  // Reads with a fresh request; not quiet means an owner window.
  int32_t read(const Bytes &bytes, const std::string &name = "doc.kv5", bool quiet = true) {
    rx_LayersRelease(table, rx_LayerTableEntries);
    options = LoadSaveOptions{};
    options.quiet = quiet;
    options.ownerWindow = quiet ? nullptr : reinterpret_cast<HWND>(1);
    options.preview = preview;
    options.thumbnailCount = thumbnails;
    return kv5_Read(table, &options, save(bytes, name).c_str());
  }
  // The description, or "(none)" (the buffer then keeps its "#").
  std::string describe(const Bytes &bytes) {
    described[0] = u'#', described[1] = 0;
    return kv5_DescribeFile(save(bytes).c_str(), described) == 1 ? vgmtest::u8(described) : "(none)";
  }
  std::string message() const { return vgmtest::u8(options.message); }
  // A call's result and the message it left, in one line.
  std::string outcome(int32_t result) const { return std::to_string(result) + " " + message(); }
  // x, y, width, height, flags, frame, attribute A and B of an entry.
  std::vector<int64_t> fields(int entry) const {
    const rx_LayerEntry &e = table[entry];
    return {e.x, e.y, e.surface.width, e.surface.height, e.flags, e.frame, e.attributeA, e.attributeB};
  }
  // Kind, option byte, layer records, width, height of the document.
  std::vector<int64_t> document() const {
    return {options.documentKind, options.documentSubKind, options.layerCount, options.sourceWidth,
            options.sourceHeight};
  }
  uint32_t pixel(int entry, uint32_t x, uint32_t y) const {
    const rx_Surface &s = table[entry].surface;
    return s.bits[y * s.stride + x];
  }
  vgmtest::TempFolder temp;
  rx_LayerEntry *table = rx_LayerTableCreate();
  LoadSaveOptions options{};
  uint8_t preview = 0;
  uint32_t thumbnails = 0;
  char16_t described[kv5_DescriptionCapacity];
};

}  // namespace kv5doc
