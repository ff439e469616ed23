// Drives cmio_MarkupFromXMP and the tag scanner over random packets. The
// packet sits in a heap block of exactly its size (or its size plus a zero,
// passed as size 0), so the sanitizers see any read past it; run with
// -malloc_limit_mb=1 so that no allocation may grow with the input.
//
// Input: one control byte (output size, terminated form), then the packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "markup/xmp_scanner.h"
#include "vgm/vgm_common.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

constexpr size_t kInputMax = 256 * 1024;
constexpr size_t kCanary = 16;
const char *const kNames[] = {"rdf:Description", "dc:title", "rdf:li", "exif:Flash", "tiff:Make"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > kInputMax) return 0;
  const uint8_t control = data[0];
  const size_t length = size - 1;
  const bool terminated = (control & 0x80) != 0 || length == 0;
  std::unique_ptr<char[]> packet(new char[length + (terminated ? 1 : 0)]);
  std::memcpy(packet.get(), data + 1, length);
  if (terminated) packet[length] = '\0';

  // Small outputs cut lines; large ones usually take everything.
  const int out_size = (control & 0x40) != 0 ? 1 + (control & 0x3F) : 8192;
  std::unique_ptr<char[]> out(new char[static_cast<size_t>(out_size) + kCanary]);
  std::memset(out.get(), '#', static_cast<size_t>(out_size) + kCanary);
  const int result =
      cmio_MarkupFromXMP(out.get(), out_size, packet.get(), terminated ? 0 : static_cast<int32_t>(length));
  check(result >= 0 && result < out_size);
  check(out[static_cast<size_t>(result)] == '\0' && std::strlen(out.get()) == static_cast<size_t>(result));
  for (size_t i = 0; i < kCanary; ++i) check(out[static_cast<size_t>(out_size) + i] == '#');
  // A pair that does not fit is cut at the buffer's end; any other output
  // ends with a whole line.
  if (result > 0 && result < out_size - 1) check(std::memcmp(out.get() + result - 3, ";\r\n", 3) == 0);

  // The scanner's spans stay inside the packet, up to its first zero byte.
  const size_t text = strnlen(packet.get(), length);
  for (const char *name : kNames) {
    xmp_Element element{};
    if (xmp_FindElement(packet.get(), length, name, &element) == 1) {
      check(element.attr_offset + element.attr_length < text);
      check(!element.has_content || element.content_offset + element.content_length < text);
      size_t offset = 0;
      size_t value = 0;
      if (xmp_FindAttribute(packet.get() + element.attr_offset, element.attr_length, "xmp:CreatorTool", &offset,
                            &value) == 1) {
        check(offset + value < element.attr_length);
      }
    }
  }
  char decoded[64];
  const size_t written = xmp_DecodeValue(packet.get(), length, decoded, sizeof decoded);
  check(written < sizeof decoded && decoded[written] == '\0' && written <= text);
  return 0;
}
