// TRVC block compression against zlib and zstd on the planes of three real
// images (a photo, a flat-colour screenshot-like image, an image with
// alpha), each plane cut into 64 KiB pieces as the KV5 writer does.
// Throughput is MB/s of uncompressed data; "ratio" is compressed / original
// over all planes of the image. A per-plane size table is printed first.
#include <benchmark/benchmark.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "sample_images.h"
#include "kv5/kv5_context.h"
#include "kv5/kv5_io.h"
#include "kv5/trvc_codecs.h"
#include "kv5/trvc_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sample {
  const char *label;
  const char *file;
  std::vector<Bytes> planes;
};

std::vector<Sample> &samples() {
  static std::vector<Sample> list = [] {
    std::vector<Sample> s = {{"photo", "paris_icc_exif_xmp.png", {}},
                             {"screenshot", "shapes_deflate.tif", {}},
                             {"alpha", "basn6a08.png", {}}};
    std::filesystem::path folder = std::filesystem::path(VGM_SOURCE_DIR) / "tests" / "data" / "kv5";
    for (Sample &sample : s) {
      kv5sample::Image image;
      if (!kv5sample::loadImage((folder / sample.file).string(), &image)) {
        std::fprintf(stderr, "cannot read %s\n", sample.file);
        std::exit(1);
      }
      sample.planes = kv5sample::planesOf(image);
    }
    return s;
  }();
  return list;
}

// One codec: compress a whole plane (piece by piece) and decompress it.
struct Codec {
  std::string name;
  std::function<Bytes(const Bytes &)> compress;
  std::function<void(const Bytes &packed, Bytes &plane)> decompress;
};

Codec trvc(int level) {
  Codec c;
  c.name = "TRVC_L" + std::to_string(level);
  c.compress = [level](const Bytes &plane) {
    trvc_SetCompressionLevel(level);
    kv5_Context context;
    kv5_ContextInit(&context);
    kv5_MemoryStream file;
    file.data().reserve(plane.size() + 4096);
    if (!trvc_WriteStream(plane.data(), plane.size(), &file, &context, nullptr)) std::abort();
    return file.data();
  };
  c.decompress = [](const Bytes &packed, Bytes &plane) {
    kv5_Context context;
    kv5_ContextInit(&context);
    kv5_MemoryStream file(packed);
    if (!trvc_ReadStream(plane.data(), plane.size(), &file, &context, 0)) std::abort();
  };
  return c;
}

// Pieces are stored as 4-byte compressed length + data.
Codec pieces(std::string name, std::function<size_t(uint8_t *, size_t, const uint8_t *, size_t)> pack,
             std::function<size_t(uint8_t *, size_t, const uint8_t *, size_t)> unpack) {
  Codec c;
  c.name = std::move(name);
  c.compress = [pack](const Bytes &plane) {
    Bytes out;
    Bytes buffer(2 * trvc_PieceSize + 1024);
    for (size_t at = 0; at < plane.size(); at += trvc_PieceSize) {
      size_t n = std::min(trvc_PieceSize, plane.size() - at);
      size_t size = pack(buffer.data(), buffer.size(), plane.data() + at, n);
      uint8_t head[4] = {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), uint8_t(size >> 24)};
      out.insert(out.end(), head, head + 4);
      out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(size));
    }
    return out;
  };
  c.decompress = [unpack](const Bytes &packed, Bytes &plane) {
    size_t in = 0;
    for (size_t at = 0; at < plane.size(); at += trvc_PieceSize) {
      size_t size = packed[in] | (packed[in + 1] << 8) | (packed[in + 2] << 16) | (size_t{packed[in + 3]} << 24);
      size_t n = std::min(trvc_PieceSize, plane.size() - at);
      if (unpack(plane.data() + at, n, packed.data() + in + 4, size) != n) std::abort();
      in += 4 + size;
    }
  };
  return c;
}

Codec zlibCodec(int level) {
  return pieces(
      "zlib_" + std::to_string(level),
      [level](uint8_t *out, size_t room, const uint8_t *in, size_t n) {
        uLongf size = room;
        if (compress2(out, &size, in, n, level) != Z_OK) std::abort();
        return static_cast<size_t>(size);
      },
      [](uint8_t *out, size_t room, const uint8_t *in, size_t n) {
        uLongf size = room;
        if (uncompress(out, &size, in, n) != Z_OK) std::abort();
        return static_cast<size_t>(size);
      });
}

Codec zstdCodec(int level) {
  static ZSTD_CCtx *cctx = ZSTD_createCCtx();
  static ZSTD_DCtx *dctx = ZSTD_createDCtx();
  return pieces(
      "zstd_" + std::to_string(level),
      [level](uint8_t *out, size_t room, const uint8_t *in, size_t n) {
        size_t size = ZSTD_compressCCtx(cctx, out, room, in, n, level);
        if (ZSTD_isError(size)) std::abort();
        return size;
      },
      [](uint8_t *out, size_t room, const uint8_t *in, size_t n) {
        size_t size = ZSTD_decompressDCtx(dctx, out, room, in, n);
        if (ZSTD_isError(size)) std::abort();
        return size;
      });
}

std::vector<Codec> &codecs() {
  static std::vector<Codec> list = {trvc(1), trvc(4), trvc(9), zlibCodec(1), zlibCodec(6), zstdCodec(1), zstdCodec(3)};
  return list;
}

size_t totalBytes(const Sample &sample) {
  size_t n = 0;
  for (const Bytes &p : sample.planes) n += p.size();
  return n;
}

void encode(benchmark::State &state, const Codec *codec, const Sample *sample) {
  size_t packed = 0;
  for (auto _ : state) {
    packed = 0;
    for (const Bytes &plane : sample->planes) {
      Bytes out = codec->compress(plane);
      packed += out.size();
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * totalBytes(*sample)));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(totalBytes(*sample));
}

void decode(benchmark::State &state, const Codec *codec, const Sample *sample) {
  std::vector<Bytes> packed;
  for (const Bytes &plane : sample->planes) packed.push_back(codec->compress(plane));
  std::vector<Bytes> back;
  for (const Bytes &plane : sample->planes) back.emplace_back(plane.size());
  for (auto _ : state) {
    for (size_t k = 0; k < packed.size(); ++k) {
      codec->decompress(packed[k], back[k]);
      benchmark::DoNotOptimize(back[k].data());
    }
  }
  for (size_t k = 0; k < back.size(); ++k) {
    if (back[k] != sample->planes[k]) state.SkipWithError("decoded planes differ");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * totalBytes(*sample)));
}

void printPlaneSizes() {
  static const char *kPlaneNames[] = {"blue", "green", "red", "alpha"};
  std::printf("Compressed size per plane, in %% of the plane (64 KiB pieces)\n%-12s %-6s %8s", "image", "plane", "bytes");
  for (const Codec &c : codecs()) std::printf(" %9s", c.name.c_str());
  std::printf("\n");
  for (const Sample &s : samples()) {
    for (size_t k = 0; k < s.planes.size(); ++k) {
      std::printf("%-12s %-6s %8zu", s.label, kPlaneNames[k], s.planes[k].size());
      for (const Codec &c : codecs()) {
        std::printf(" %8.1f%%", 100.0 * static_cast<double>(c.compress(s.planes[k]).size()) /
                                    static_cast<double>(s.planes[k].size()));
      }
      std::printf("\n");
    }
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  printPlaneSizes();
  for (const Sample &s : samples()) {
    for (const Codec &c : codecs()) {
      benchmark::RegisterBenchmark(("encode/" + std::string(s.label) + "/" + c.name).c_str(), encode, &c, &s);
      benchmark::RegisterBenchmark(("decode/" + std::string(s.label) + "/" + c.name).c_str(), decode, &c, &s);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  trvc_SetCompressionLevel(4);
  return 0;
}
