// TRVC decoders on raw input. Byte 0 picks the decoder (and, for codecs 1
// and 2, the extended-literal rule), bytes 1..2 the output capacity; the
// rest is the codec input, in a buffer of its exact size. With byte 0 at or
// above 0x80 the rest goes through every encoder instead, and each result
// must decode back to it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kv5/trvc_codecs.h"

namespace {

const unsigned kIds[] = {1, 2, 3, 4, 5, 6, 7, 8, 19, 35};

void roundTrip(const uint8_t *data, size_t size, unsigned id, int parameter) {
  std::vector<uint8_t> packed(std::min(size + 16, trvc_HalfSize));
  size_t measured = 0, written = 0;
  switch (id) {
    case 1: measured = trvc_Encode1(nullptr, data, size), written = trvc_Encode1(packed.data(), data, size); break;
    case 2: measured = trvc_Encode2(nullptr, data, size), written = trvc_Encode2(packed.data(), data, size); break;
    case 6: measured = trvc_Encode6(nullptr, data, size, parameter), written = trvc_Encode6(packed.data(), data, size, parameter); break;
    case 7: measured = trvc_Encode7(nullptr, data, size), written = trvc_Encode7(packed.data(), data, size); break;
    default: measured = trvc_Encode8(nullptr, data, size, parameter), written = trvc_Encode8(packed.data(), data, size, parameter); break;
  }
  if (measured != written) abort();
  if (written == 0) return;
  std::vector<uint8_t> back(size + 1);
  size_t produced = trvc_Decode(id, back.data(), back.size(), packed.data(), written);
  if (produced != size || std::memcmp(back.data(), data, size) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const uint8_t selector = data[0];
  size_t capacity = static_cast<size_t>(data[1]) | (static_cast<size_t>(data[2]) << 8);
  std::vector<uint8_t> input(data + 3, data + size);  // exact size: overreads show
  if (selector >= 0x80) {
    if (input.empty() || input.size() > trvc_PieceSize) return 0;
    roundTrip(input.data(), input.size(), 1, 0);
    roundTrip(input.data(), input.size(), 2, 0);
    roundTrip(input.data(), input.size(), 7, 0);
    roundTrip(input.data(), input.size(), 6, 1 + selector % 16);
    roundTrip(input.data(), input.size(), 8, trvc_WindowForLevel(selector % 10));
    return 0;
  }
  unsigned id = kIds[selector % 10];
  bool extended = (selector / 10) % 2 == 0;
  std::vector<uint8_t> out(capacity);
  size_t produced = trvc_Decode(id, out.data(), capacity, input.data(), input.size(), extended);
  if ((id == 1 || id == 2 || id == 8) && produced >= capacity && produced != 0) abort();
  if (id != 6 && id != 7 && produced > capacity) abort();
  return 0;
}
