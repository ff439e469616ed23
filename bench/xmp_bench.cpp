// cmio_MarkupFromXMP against a full XML parser (expat, no handlers beyond a
// start-element counter) on the same bytes: the real packets of the tests,
// and synthetic packets full of tags that nearly match the names looked for.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vgm/vgm_common.h"

namespace {

const char *const kPackets[] = {"BlueSquare.xmp", "paris_exif_xmp_icc.xmp", "exiftool-PNG.xmp", "exiftool-GIF.xmp",
                                "Arbitro.xmp"};

std::string readPacket(const char *name) {
  std::ifstream file(std::string(VGM_TEST_DATA_DIR) + "/xmp/" + name, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Tags one letter short of (or past) a looked-for name, with values, and an
// rdf:Description whose attributes nearly match too; well-formed so that
// expat reads it all.
std::string nearMisses(size_t size) {
  static const char kUnit[] =
      "<rdf:Descriptio xmp:CreatorToo='x' aux:Len='y'/>"
      "<tiff:Mak>Canon</tiff:Mak><tiff:Models>X</tiff:Models><dc:titl><rdf:l>t</rdf:l></dc:titl>"
      "<exif:FNumbe>28/10</exif:FNumbe><exif:DateTimeOrigina>2005-09-07T15:07:40</exif:DateTimeOrigina>\n";
  std::string text = "<x:xmpmeta>";
  while (text.size() + sizeof kUnit + 16 < size) text += kUnit;
  text += "</x:xmpmeta>";
  return text;
}

void convert(benchmark::State &state, const std::string &packet) {
  std::vector<char> out(65536);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        cmio_MarkupFromXMP(out.data(), static_cast<int>(out.size()), packet.data(), static_cast<int>(packet.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}

void parse(benchmark::State &state, const std::string &packet) {
  size_t elements = 0;
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &elements);
    XML_SetStartElementHandler(parser,
                               [](void *user, const XML_Char *, const XML_Char **) { ++*static_cast<size_t *>(user); });
    if (XML_Parse(parser, packet.data(), static_cast<int>(packet.size()), 1) != XML_STATUS_OK) {
      state.SkipWithError("expat rejected the packet");
    }
    XML_ParserFree(parser);
  }
  benchmark::DoNotOptimize(elements);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}

void BM_XmpToMarkup_Real(benchmark::State &state) {
  const std::string packet = readPacket(kPackets[state.range(0)]);
  state.SetLabel(kPackets[state.range(0)]);
  convert(state, packet);
}
void BM_Expat_Real(benchmark::State &state) {
  const std::string packet = readPacket(kPackets[state.range(0)]);
  state.SetLabel(kPackets[state.range(0)]);
  parse(state, packet);
}
BENCHMARK(BM_XmpToMarkup_Real)->DenseRange(0, 4);
BENCHMARK(BM_Expat_Real)->DenseRange(0, 4);

void BM_XmpToMarkup_NearMisses(benchmark::State &state) {
  const std::string packet = nearMisses(static_cast<size_t>(state.range(0)));
  convert(state, packet);
  state.SetComplexityN(state.range(0));
}
void BM_Expat_NearMisses(benchmark::State &state) {
  const std::string packet = nearMisses(static_cast<size_t>(state.range(0)));
  parse(state, packet);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_XmpToMarkup_NearMisses)->RangeMultiplier(16)->Range(64 << 10, 16 << 20)->Complexity(benchmark::oN);
BENCHMARK(BM_Expat_NearMisses)->RangeMultiplier(16)->Range(64 << 10, 16 << 20)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
