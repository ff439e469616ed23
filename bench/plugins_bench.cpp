// The real plug-ins through cmio_LoadImage against their codec decoding the
// same file into a fresh BGRA buffer, and JPEG/PNG thumbnails against the
// full load and against libvips' thumbnail on one thread. The files are made
// at start: 12 MP photo-like images tiled from the photos in tests/data,
// scaled and mirrored, with film grain (the GIF 1000 x 1000).
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <vips/vips.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "imageio/plugin_registry.h"
#include "platform/os.h"
#include "vgm/vgm_common.h"
#include "vgm/vgm_plugin.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 4000, kHeight = 3000;

std::string slurp(const std::string &path) {
  std::string out;
  if (FILE *f = std::fopen(path.c_str(), "rb")) {
    char buffer[1 << 16];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) out.append(buffer, n);
    std::fclose(f);
  }
  return out;
}
void spill(const std::string &path, const void *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

struct Photo {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> bgra;
};
Photo readPng(const std::string &path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Photo p;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
  image.format = PNG_FORMAT_BGRA;
  p.bgra.resize(size_t(image.width) * image.height);
  png_image_finish_read(&image, nullptr, p.bgra.data(), 0, nullptr);
  p.width = image.width, p.height = image.height;
  return p;
}
Photo readJpeg(const std::string &path) {
  std::string file = slurp(path);
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  auto *bytes = reinterpret_cast<const unsigned char *>(file.data());
  tjDecompressHeader3(tj, bytes, file.size(), &w, &h, &sub, &space);
  Photo p{uint32_t(w), uint32_t(h), std::vector<uint32_t>(size_t(w) * h)};
  tjDecompress2(tj, bytes, file.size(), reinterpret_cast<unsigned char *>(p.bgra.data()), w, 0, h, TJPF_BGRA, 0);
  tjDestroy(tj);
  return p;
}

// Photos scaled (bilinear) to tiles of a quarter of the width, tiled with
// alternate mirroring, plus grain: the texture of a real camera file.
std::vector<uint32_t> photoLike(uint32_t width, uint32_t height, const std::vector<Photo> &photos) {
  std::vector<uint32_t> out(size_t(width) * height);
  uint32_t tileW = width / 4, tileH = height / 4;
  std::mt19937 random(12);
  std::normal_distribution<float> grain(0.f, 5.f);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t tx = x / tileW, ty = y / tileH;
      const Photo &p = photos[(tx + ty) % photos.size()];
      float u = float(x % tileW) / tileW, v = float(y % tileH) / tileH;
      if ((tx + ty) & 1) u = 1 - u;
      float fx = u * (p.width - 1), fy = v * (p.height - 1);
      uint32_t x0 = uint32_t(fx), y0 = uint32_t(fy), x1 = std::min(x0 + 1, p.width - 1), y1 = std::min(y0 + 1, p.height - 1);
      float ax = fx - x0, ay = fy - y0, g = grain(random);
      uint32_t pixel = 0;
      for (int s = 0; s < 24; s += 8) {
        auto c = [&](uint32_t xx, uint32_t yy) { return float(p.bgra[size_t(yy) * p.width + xx] >> s & 255); };
        float value = (c(x0, y0) * (1 - ax) + c(x1, y0) * ax) * (1 - ay) + (c(x0, y1) * (1 - ax) + c(x1, y1) * ax) * ay + g;
        pixel |= uint32_t(std::clamp(value, 0.f, 255.f)) << s;
      }
      out[size_t(y) * width + x] = pixel | 0xFF000000u;
    }
  return out;
}

void writePng(const std::string &path, const std::vector<uint32_t> &bgra, uint32_t w, uint32_t h) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = w, image.height = h, image.format = PNG_FORMAT_BGR;
  std::vector<uint8_t> bgr;
  bgr.reserve(bgra.size() * 3);
  for (uint32_t p : bgra) bgr.push_back(uint8_t(p)), bgr.push_back(uint8_t(p >> 8)), bgr.push_back(uint8_t(p >> 16));
  png_image_write_to_file(&image, path.c_str(), 0, bgr.data(), 0, nullptr);
}
void writeJpeg(const std::string &path, const std::vector<uint32_t> &bgra, uint32_t w, uint32_t h) {
  tjhandle tj = tjInitCompress();
  unsigned char *out = nullptr;
  unsigned long size = 0;
  tjCompress2(tj, reinterpret_cast<const unsigned char *>(bgra.data()), int(w), 0, int(h), TJPF_BGRX, &out, &size,
              TJSAMP_420, 90, 0);
  spill(path, out, size);
  tjFree(out);
  tjDestroy(tj);
}
void writeWebp(const std::string &path, const std::vector<uint32_t> &bgra, uint32_t w, uint32_t h, bool lossless) {
  WebPConfig config;
  WebPConfigInit(&config);
  config.lossless = lossless;
  config.quality = lossless ? 0.f : 90.f;
  config.method = lossless ? 0 : 4;  // the fastest lossless effort keeps the setup short
  WebPPicture picture;
  WebPPictureInit(&picture);
  picture.width = int(w), picture.height = int(h), picture.use_argb = 1;
  WebPPictureImportBGRA(&picture, reinterpret_cast<const uint8_t *>(bgra.data()), int(w) * 4);
  WebPMemoryWriter writer;
  WebPMemoryWriterInit(&writer);
  picture.writer = WebPMemoryWrite, picture.custom_ptr = &writer;
  WebPEncode(&config, &picture);
  spill(path, writer.mem, writer.size);
  WebPMemoryWriterClear(&writer);
  WebPPictureFree(&picture);
}
void writeTiff(const std::string &path, const std::vector<uint32_t> &bgra, uint32_t w, uint32_t h) {
  TIFF *tif = TIFFOpen(path.c_str(), "w");
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  std::vector<uint8_t> row(size_t(w) * 3);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t p = bgra[size_t(y) * w + x];
      row[x * 3] = uint8_t(p >> 16), row[x * 3 + 1] = uint8_t(p >> 8), row[x * 3 + 2] = uint8_t(p);
    }
    TIFFWriteScanline(tif, row.data(), y, 0);
  }
  TIFFClose(tif);
}
// 6 x 7 x 6 levels, dithered by the grain already in the picture.
void writeGif(const std::string &path, const std::vector<uint32_t> &bgra, uint32_t w, uint32_t h) {
  int error = 0;
  GifFileType *gif = EGifOpenFileName(path.c_str(), false, &error);
  ColorMapObject *map = GifMakeMapObject(256, nullptr);
  for (int i = 0; i < 252; ++i)
    map->Colors[i] = GifColorType{GifByteType(i / 42 * 51), GifByteType(i / 6 % 7 * 42), GifByteType(i % 6 * 51)};
  EGifPutScreenDesc(gif, int(w), int(h), 8, 0, map);
  EGifPutImageDesc(gif, 0, 0, int(w), int(h), false, nullptr);
  std::vector<GifPixelType> line(w);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t p = bgra[size_t(y) * w + x];
      line[x] = GifPixelType(((p >> 16 & 255) * 5 + 127) / 255 * 42 + ((p >> 8 & 255) * 6 + 127) / 255 * 6 + ((p & 255) * 5 + 127) / 255);
    }
    EGifPutLine(gif, line.data(), int(w));
  }
  GifFreeMapObject(map);
  EGifCloseFile(gif, &error);
}

struct Setup {
  std::string root;
  Setup() {
    char pattern[] = "/tmp/vgm_plugins_bench_XXXXXX";
    root = mkdtemp(pattern);
    for (const char *folder : {"Plugins", "appdata", "tmp"}) fs::create_directories(root + "/" + folder);
    setenv("VGM_APPDATA_DIR", (root + "/appdata").c_str(), 1);
    setenv("VGM_TEMP_DIR", (root + "/tmp").c_str(), 1);
    for (std::string type : {"PNG", "JPEG", "GIF", "TIFF", "WebP"}) {
      fs::create_directories(root + "/Plugins/" + type);
      fs::copy_file(std::string(VGM_BIN_DIR) + "/Plugins/" + type + "/flt_" + type + ".dll",
                    root + "/Plugins/" + type + "/flt_" + type + ".dll");
    }
    std::string data = std::string(VGM_SOURCE_DIR) + "/tests/data/";
    std::vector<Photo> photos = {readPng(data + "png/paris_icc_exif_xmp.png"), readJpeg(data + "jpeg/testorig.jpg")};
    std::vector<uint32_t> big = photoLike(kWidth, kHeight, photos), small = photoLike(1000, 1000, photos);
    writePng(file("png"), big, kWidth, kHeight);
    writeJpeg(file("jpg"), big, kWidth, kHeight);
    writeWebp(file("webp"), big, kWidth, kHeight, false);
    writeWebp(file("lossless.webp"), big, kWidth, kHeight, true);
    writeTiff(file("tif"), big, kWidth, kHeight);
    writeGif(file("gif"), small, 1000, 1000);
    for (const char *ext : {"png", "jpg", "webp", "lossless.webp", "tif", "gif"})
      std::fprintf(stderr, "image.%s: %.2f MB\n", ext, double(fs::file_size(file(ext))) / 1e6);
    io_RegistriesAttach(os_Utf8ToUtf16(root + "/Plugins").c_str());
    VIPS_INIT("plugins_bench");
    vips_concurrency_set(1);  // our load runs on one thread
  }
  ~Setup() {
    io_RegistriesDetach();
    fs::remove_all(root);
  }
  std::string file(const std::string &ext) const { return root + "/image." + ext; }
};

Setup &setup() {
  static Setup instance;
  return instance;
}

const char *const kExt[] = {"png", "jpg", "webp", "lossless.webp", "tif", "gif"};
const char *const kType[] = {"PNG", "JPEG", "WebP", "WebP", "TIFF", "GIF"};

// The plug-in alone on a bare host whose layer is a fresh buffer, as the
// codec's is: what the plug-in adds to its codec, apart from the pipeline.
struct BareHost {
  std::unique_ptr<uint32_t[]> pixels;
  static int32_t VGM_API beginLayer(FltLoadRequest *r, uint32_t) {
    auto *host = static_cast<BareHost *>(r->layer_table);
    host->pixels.reset(new uint32_t[size_t(r->width) * r->height]);
    r->pixels = host->pixels.get(), r->stride = r->width, r->status = 1;
    return 1;
  }
};

void BM_Plugin(benchmark::State &state) {
  std::string type = kType[state.range(0)];
  void *module = dlopen((setup().root + "/Plugins/" + type + "/flt_" + type + ".dll").c_str(), RTLD_NOW | RTLD_LOCAL);
  auto load = module ? reinterpret_cast<int32_t(VGM_API *)(FltLoadRequest *)>(dlsym(module, "flt_LoadImage")) : nullptr;
  if (load == nullptr) {
    state.SkipWithError("no plug-in");
    return;
  }
  std::u16string path = os_Utf8ToUtf16(setup().file(kExt[state.range(0)]));
  for (auto _ : state) {
    BareHost host;
    FltLoadRequest request{};
    request.path = path.c_str();
    request.begin_layer = BareHost::beginLayer;
    request.layer_table = &host;
    request.current_layer = -1;
    request.last_layer_index = FLT_LAST_LAYER_INDEX;
    if (load(&request) != FLT_OK) {
      state.SkipWithError("plug-in load failed");
      break;
    }
    benchmark::DoNotOptimize(host.pixels.get());
  }
  dlclose(module);
  state.SetLabel(kExt[state.range(0)]);
}

void BM_LoadImage(benchmark::State &state) {
  std::u16string path = os_Utf8ToUtf16(setup().file(kExt[state.range(0)]));
  for (auto _ : state) {
    CmioImage image{};
    CmioRequest request{};
    if (cmio_LoadImage(&image, path.c_str(), &request) != 1) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(image.pixels);
    GlobalFree(image.pixels);
  }
  state.SetLabel(kExt[state.range(0)]);
}

// The codec's own decode of the file, read from disk, into a fresh B G R A buffer.
void BM_Codec(benchmark::State &state) {
  std::string path = setup().file(kExt[state.range(0)]);
  for (auto _ : state) {
    std::unique_ptr<uint32_t[]> pixels;
    switch (state.range(0)) {
      case 0: {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        png_image_begin_read_from_file(&image, path.c_str());
        image.format = PNG_FORMAT_BGRA;
        pixels.reset(new uint32_t[size_t(image.width) * image.height]);
        png_image_finish_read(&image, nullptr, pixels.get(), 0, nullptr);
        break;
      }
      case 1: {
        std::string file = slurp(path);
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, sub = 0, space = 0;
        auto *bytes = reinterpret_cast<const unsigned char *>(file.data());
        tjDecompressHeader3(tj, bytes, file.size(), &w, &h, &sub, &space);
        pixels.reset(new uint32_t[size_t(w) * h]);
        tjDecompress2(tj, bytes, file.size(), reinterpret_cast<unsigned char *>(pixels.get()), w, 0, h, TJPF_BGRA, 0);
        tjDestroy(tj);
        break;
      }
      case 2:
      case 3: {
        std::string file = slurp(path);
        int w = 0, h = 0;
        auto *bytes = reinterpret_cast<const uint8_t *>(file.data());
        WebPGetInfo(bytes, file.size(), &w, &h);
        pixels.reset(new uint32_t[size_t(w) * h]);
        WebPDecodeBGRAInto(bytes, file.size(), reinterpret_cast<uint8_t *>(pixels.get()), size_t(w) * h * 4, w * 4);
        break;
      }
      case 4: {
        TIFF *tif = TIFFOpen(path.c_str(), "r");
        uint32_t w = 0, h = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        pixels.reset(new uint32_t[size_t(w) * h]);
        TIFFReadRGBAImageOriented(tif, w, h, pixels.get(), ORIENTATION_TOPLEFT, 0);
        TIFFClose(tif);
        break;
      }
      case 5: {
        int error = 0;
        GifFileType *gif = DGifOpenFileName(path.c_str(), &error);
        DGifSlurp(gif);
        const SavedImage &img = gif->SavedImages[0];
        size_t n = size_t(gif->SWidth) * gif->SHeight;
        pixels.reset(new uint32_t[n]);
        const GifColorType *colors = gif->SColorMap->Colors;
        for (size_t i = 0; i < n; ++i) {
          const GifColorType &c = colors[img.RasterBits[i]];
          pixels[i] = uint32_t(c.Blue) | uint32_t(c.Green) << 8 | uint32_t(c.Red) << 16 | 0xFF000000u;
        }
        DGifCloseFile(gif, &error);
        break;
      }
    }
    benchmark::DoNotOptimize(pixels.get());
  }
  state.SetLabel(kExt[state.range(0)]);
}

void BM_LoadThumb(benchmark::State &state) {
  std::u16string path = os_Utf8ToUtf16(setup().file(kExt[state.range(0)]));
  for (auto _ : state) {
    CmioImage image{};
    CmioRequest request{};
    request.thumb_max_width = request.thumb_max_height = 256;
    if (cmio_LoadThumb(&image, path.c_str(), &request) != 1) {
      state.SkipWithError("thumbnail failed");
      break;
    }
    benchmark::DoNotOptimize(image.pixels);
    GlobalFree(image.pixels);
  }
  state.SetLabel(kExt[state.range(0)]);
}

// libvips' thumbnail of the same file into the same box, made into memory.
void BM_VipsThumbnail(benchmark::State &state) {
  std::string path = setup().file(kExt[state.range(0)]);
  for (auto _ : state) {
    VipsImage *out = nullptr;
    if (vips_thumbnail(path.c_str(), &out, 256, "height", 256, nullptr) != 0) {
      state.SkipWithError(vips_error_buffer());
      break;
    }
    size_t size = 0;
    void *memory = vips_image_write_to_memory(out, &size);
    benchmark::DoNotOptimize(memory);
    g_free(memory);
    g_object_unref(out);
  }
  state.SetLabel(kExt[state.range(0)]);
}

}  // namespace

// Each case next to its reference, so that both see the same machine load.
// Thumbnails in wall time: libvips works on a thread of its own.
BENCHMARK(BM_LoadImage)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plugin)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Codec)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadImage)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plugin)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Codec)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadImage)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plugin)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Codec)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadImage)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plugin)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Codec)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadImage)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plugin)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Codec)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadImage)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plugin)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Codec)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadThumb)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VipsThumbnail)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadThumb)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VipsThumbnail)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
