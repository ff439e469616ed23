// vgm-convert: drives the library from the command line the way the suite's
// converter does. It uses nothing but the library's public interface.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "password_prompt.h"
#include "vgm/vgm_common.h"

namespace {

constexpr const char *kUsage =
    "usage: vgm-convert COMMAND [ARGUMENTS]\n"
    "\n"
    "commands:\n"
    "  sysinfo                                  print the machine summary the library reports\n"
    "  info FILE...                             print size, metadata, warnings and errors of each file\n"
    "  load FILE OUT [FILE OUT...] [--scale S]  convert each FILE to OUT (PAM, or any type the\n"
    "                                           library writes, by OUT's extension)\n"
    "  thumb FILE OUT [FILE OUT...] [--size WxH] [--checker]\n"
    "                                           write a thumbnail of each FILE to OUT (the same)\n"
    "  convert IN OUT                           convert IN to OUT by OUT's extension (.kv5, .png, ...),\n"
    "                                           metadata included\n"
    "  convert IN... --to DIR --format EXT [-j N]\n"
    "                                           convert many files into DIR on N threads (default:\n"
    "                                           one per core), then print a summary\n"
    "  help                                     print this text\n"
    "\n"
    "Protected documents ask for their password on the terminal; with\n"
    "--password-file FILE its first line is the answer.\n"
    "\n"
    "Exit status: 0 done, 1 a file failed, 2 bad usage, 3 no password accepted,\n"
    "130 interrupted.\n";

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitProtected = 3;
constexpr int kExitInterrupted = 130;

volatile sig_atomic_t gInterrupted = 0;

void onInterrupt(int) {
  gInterrupted = 1;
  signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

// UTF-16 from the library to UTF-8 on the terminal.
std::string toUtf8(const char16_t *text) {
  std::string out;
  for (; *text != 0; ++text) {
    char32_t c = *text;
    if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[1] - 0xDC00);
      ++text;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// UTF-8 arguments to the library's UTF-16; a byte that is no valid UTF-8
// becomes U+FFFD (such a name is reported as not found).
std::u16string toUtf16(const std::string &text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    int extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    bool valid = c < 0x80 || extra > 0;
    for (int k = 1; valid && k <= extra; ++k) valid = i + k < text.size() && (byte(i + k) & 0xC0) == 0x80;
    if (!valid) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    char32_t value = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) value = (value << 6) | (byte(i + k) & 0x3F);
    i += 1 + extra;
    if (value >= 0x10000) {
      value -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (value >> 10));
      out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
    } else {
      out += static_cast<char16_t>(value);
    }
  }
  return out;
}

// The progress bar: shown on a terminal once work has taken 0.5 s.
struct Progress {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  bool terminal = isatty(STDERR_FILENO) != 0;
  bool shown = false;
  std::string label;
  int spin = 0;

  void update(int32_t a, int32_t b) {
    if (!terminal) return;
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed < std::chrono::milliseconds(500)) return;
    shown = true;
    char bar[64];
    if (b > 0 && a >= 0 && a <= b) {
      int filled = static_cast<int>(30.0 * a / b);
      std::snprintf(bar, sizeof bar, "[%-30.*s] %3d%%", filled, "##############################",
                    static_cast<int>(100.0 * a / b));
    } else {
      std::snprintf(bar, sizeof bar, "[working %c]", "|/-\\"[spin++ & 3]);
    }
    std::fprintf(stderr, "\r%s %s", label.c_str(), bar);
    std::fflush(stderr);
  }
  void finish() {
    if (shown) std::fputs("\r\033[K", stderr);
  }
};

int VGM_API onProgress(int32_t a, int32_t b, uintptr_t user) {
  reinterpret_cast<Progress *>(user)->update(a, b);
  return gInterrupted ? 0 : 1;
}

// PAM with an alpha channel from pixels B, G, R, fourth byte; the fourth byte
// is transparency (0 opaque) unless `alpha` says it is alpha already.
bool writePam(const std::string &out, const CmioImage &image, bool alpha) {
  std::string temp = out + ".part";
  FILE *file = std::fopen(temp.c_str(), "wb");
  if (file == nullptr) return false;
  std::fprintf(file, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", image.width,
               image.height);
  std::vector<unsigned char> row(size_t{image.width} * 4);
  bool ok = true;
  for (uint32_t y = 0; ok && y < image.height; ++y) {
    const auto *src = static_cast<const unsigned char *>(image.pixels) + size_t{y} * image.stride * 4;
    for (uint32_t x = 0; x < image.width; ++x) {
      row[4 * x] = src[4 * x + 2];
      row[4 * x + 1] = src[4 * x + 1];
      row[4 * x + 2] = src[4 * x];
      row[4 * x + 3] = alpha ? src[4 * x + 3] : static_cast<unsigned char>(255 - src[4 * x + 3]);
    }
    ok = std::fwrite(row.data(), 1, row.size(), file) == row.size();
  }
  ok = std::fclose(file) == 0 && ok && !gInterrupted && std::rename(temp.c_str(), out.c_str()) == 0;
  if (!ok) std::remove(temp.c_str());
  return ok;
}

bool endsWithIgnoringCase(const std::string &text, std::string_view end) {
  if (text.size() < end.size()) return false;
  return std::equal(end.begin(), end.end(), text.end() - static_cast<ptrdiff_t>(end.size()),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// Writes pixels (and markup) through the library by the extension of `out`.
// An existing `out` is replaced only by a complete new file.
bool saveImage(const std::string &out, const CmioImage &image, HGLOBAL markup, uint32_t markup_size,
               CmioProgressCallback progress, uintptr_t user, std::string *error) {
  CmioRequest request{};
  request.markup = markup;
  request.markup_size = markup == nullptr ? 0 : markup_size;
  request.progress = progress;
  request.progress_user = user;
  // The library saves only to full paths; a name on the command line is taken from here.
  std::string full = out;
  if (full.empty() || full[0] != '/') {
    char here[4096];
    if (getcwd(here, sizeof here) != nullptr) full = std::string(here) + "/" + out;
  }
  std::u16string path = toUtf16(full);
  if (cmio_SaveImage(&image, path.c_str(), &request) >= 1) return true;
  *error = toUtf8(request.error_text);
  return false;
}

void reportError(const std::string &file, const CmioRequest &request) {
  std::string text = toUtf8(request.error_text);
  std::fprintf(stderr, "vgm-convert: %s: %s\n", file.c_str(), text.empty() ? "failed" : text.c_str());
}

struct Options {
  std::vector<std::string> files;
  double scale = 0;
  bool scaled = false;
  uint32_t width = 256, height = 256;
  bool checker = false;
  const char *passwordFile = nullptr;
};

bool parseSize(const char *text, uint32_t *w, uint32_t *h) {
  char *end = nullptr;
  unsigned long a = std::strtoul(text, &end, 10);
  if (end == text || (*end != 'x' && *end != 'X')) return false;
  const char *second = end + 1;
  unsigned long b = std::strtoul(second, &end, 10);
  if (end == second || *end != 0 || a == 0 || b == 0 || a > 65536 || b > 65536) return false;
  *w = static_cast<uint32_t>(a), *h = static_cast<uint32_t>(b);
  return true;
}

// Arguments after the command; false on bad usage.
bool parse(int argc, char **argv, bool load, bool thumb, Options *options) {
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (load && arg == "--scale" && i + 1 < argc) {
      char *end = nullptr;
      options->scale = std::strtod(argv[++i], &end);
      if (*end != 0 || !(options->scale > 0) || options->scale > 64) return false;
      options->scaled = true;
    } else if (thumb && arg == "--size" && i + 1 < argc) {
      if (!parseSize(argv[++i], &options->width, &options->height)) return false;
    } else if (arg == "--password-file" && i + 1 < argc) {
      options->passwordFile = argv[++i];
    } else if (thumb && arg == "--checker") {
      options->checker = true;
    } else if (arg.rfind("--", 0) == 0) {
      return false;
    } else {
      options->files.push_back(arg);
    }
  }
  return !options->files.empty() && ((!load && !thumb) || options->files.size() % 2 == 0);
}

int commandSysInfo() {
  char16_t text[4096];
  if (core_GetSysInfoStr(text, 4096) != 1) {
    std::fprintf(stderr, "vgm-convert: the library gave no system summary\n");
    return 1;
  }
  std::fputs(toUtf8(text).c_str(), stdout);
  return 0;
}

// One file through an export; 0, 1 or 130.
int convert(const std::string &in, const std::string *out, const Options &options, bool thumb, bool info) {
  Progress progress;
  progress.label = in;
  CmioRequest request{};
  request.progress = onProgress;
  request.progress_user = reinterpret_cast<uintptr_t>(&progress);
  // Notices reach the terminal handler: warnings on standard error, the
  // password prompt on the terminal.
  request.owner_window = reinterpret_cast<HWND>(1);
  // Markup travels along when the output is a type that can hold it.
  request.want_markup = (info || (!thumb && out != nullptr && !endsWithIgnoringCase(*out, ".pam"))) ? 1 : 0;
  request.apply_scale = options.scaled ? 1 : 0;
  request.scale = options.scale;
  request.thumb_max_width = options.width;
  request.thumb_max_height = options.height;
  request.thumb_checkerboard = options.checker ? 1 : 0;
  CmioImage image{};
  std::u16string path = toUtf16(in);
  prompt_BeginFile();
  int32_t ok = thumb ? cmio_LoadThumb(&image, path.c_str(), &request) : cmio_LoadImage(&image, path.c_str(), &request);
  progress.finish();
  // Without the password the library gives placeholder frames for viewers;
  // they are not the picture, so nothing is written.
  if (ok && !gInterrupted && prompt_PasswordRefused()) {
    GlobalFree(image.pixels);
    if (request.markup != nullptr) GlobalFree(request.markup);
    std::fprintf(stderr, "vgm-convert: %s: The file is password-protected\n", in.c_str());
    return kExitProtected;
  }
  if (gInterrupted) {
    if (ok) GlobalFree(image.pixels);
    if (request.markup != nullptr) GlobalFree(request.markup);
    return kExitInterrupted;
  }
  if (!ok) {
    reportError(in, request);
    return kExitFailed;
  }
  int result = 0;
  if (info) {
    std::printf("%s: %u x %u\n", in.c_str(), image.width, image.height);
    // Native documents describe themselves; other files have nothing to add.
    char16_t description[1024];
    if (cmio_ImageInfo(path.c_str(), description, 1024) == 1 && std::u16string_view(description) != u"No information")
      std::printf("%s\n", toUtf8(description).c_str());
    if (request.markup != nullptr && request.markup_size > 0) {
      std::string markup(static_cast<const char *>(request.markup), strnlen(static_cast<const char *>(request.markup), request.markup_size));
      if (!markup.empty()) std::printf("%s\n", markup.c_str());
    }
    if (request.data_not_transferred) std::printf("warning: Some image data was not transferred correctly\n");
  } else if (endsWithIgnoringCase(*out, ".pam")) {
    if (!writePam(*out, image, thumb)) {
      result = gInterrupted ? kExitInterrupted : kExitFailed;
      if (!gInterrupted) std::fprintf(stderr, "vgm-convert: %s: cannot write the file\n", out->c_str());
    }
  } else {
    std::string error;
    Progress saving;
    saving.label = *out;
    bool saved = saveImage(*out, image, request.markup, request.markup_size, onProgress,
                           reinterpret_cast<uintptr_t>(&saving), &error);
    saving.finish();
    if (gInterrupted) {
      result = kExitInterrupted;
    } else if (!saved) {
      std::fprintf(stderr, "vgm-convert: %s: %s\n", out->c_str(), error.empty() ? "cannot write the file" : error.c_str());
      result = kExitFailed;
    }
  }
  GlobalFree(image.pixels);
  if (request.markup != nullptr) GlobalFree(request.markup);
  return result;
}

void catchInterrupt() {
  signal(SIGINT, onInterrupt);
  // A parent may have started us with Ctrl-C blocked; it must still cancel.
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
}

int commandFiles(int argc, char **argv, bool load, bool thumb) {
  Options options;
  if (!parse(argc, argv, load, thumb, &options)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (!prompt_Install(options.passwordFile)) return kExitFailed;
  catchInterrupt();
  int status = 0;
  size_t step = (load || thumb) ? 2 : 1;
  for (size_t i = 0; i < options.files.size(); i += step) {
    const std::string *out = step == 2 ? &options.files[i + 1] : nullptr;
    int result = convert(options.files[i], out, options, thumb, !load && !thumb);
    if (result == kExitInterrupted) {
      status = kExitInterrupted;
      break;
    }
    if (result != 0 && status == 0) status = result;
  }
  prompt_Release();
  return status;
}

// One file of a conversion: loaded with its markup, saved by the output's
// extension. An empty string on success, else the reason.
constexpr const char *kProtectedText = "The file is password-protected";

std::string convertOne(const std::string &in, const std::string &out, CmioProgressCallback progress, uintptr_t user) {
  CmioRequest request{};
  request.want_markup = 1;
  request.progress = progress;
  request.progress_user = user;
  request.owner_window = reinterpret_cast<HWND>(1);  // notices and the password prompt reach the terminal
  CmioImage image{};
  std::u16string path = toUtf16(in);
  prompt_BeginFile();
  if (cmio_LoadImage(&image, path.c_str(), &request) != 1) {
    std::string text = toUtf8(request.error_text);
    return text.empty() ? "failed" : text;
  }
  // Placeholder frames are for viewers, not a picture to write.
  if (prompt_PasswordRefused()) {
    GlobalFree(image.pixels);
    if (request.markup != nullptr) GlobalFree(request.markup);
    return kProtectedText;
  }
  std::string error;
  bool saved = gInterrupted == 0 && saveImage(out, image, request.markup, request.markup_size, progress, user, &error);
  GlobalFree(image.pixels);
  if (request.markup != nullptr) GlobalFree(request.markup);
  if (gInterrupted) return "interrupted";
  return saved ? std::string() : (error.empty() ? "cannot write the file" : error);
}

// The batch's one progress bar: files done of all, plus the share of the
// files under way that their callbacks report.
struct BatchProgress {
  std::mutex lock;
  Progress bar;
  size_t total = 0, done = 0;
  void fileDone() {
    std::lock_guard<std::mutex> guard(lock);
    ++done;
    bar.update(static_cast<int32_t>(done), static_cast<int32_t>(total));
  }
};

int VGM_API onBatchProgress(int32_t, int32_t, uintptr_t user) {
  auto *batch = reinterpret_cast<BatchProgress *>(user);
  std::lock_guard<std::mutex> guard(batch->lock);
  batch->bar.update(static_cast<int32_t>(batch->done), static_cast<int32_t>(batch->total));
  return gInterrupted ? 0 : 1;
}

std::string stemOf(const std::string &path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

int commandConvert(int argc, char **argv) {
  std::vector<std::string> inputs;
  std::string folder, format;
  const char *passwordFile = nullptr;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--to" && i + 1 < argc) {
      folder = argv[++i];
    } else if (arg == "--format" && i + 1 < argc) {
      format = argv[++i];
      if (!format.empty() && format[0] == '.') format.erase(0, 1);
    } else if (arg == "--password-file" && i + 1 < argc) {
      passwordFile = argv[++i];
    } else if (arg == "-j" && i + 1 < argc) {
      char *end = nullptr;
      long n = std::strtol(argv[++i], &end, 10);
      if (*end != 0 || n < 1 || n > 256) return std::fputs(kUsage, stderr), kExitUsage;
      threads = static_cast<unsigned>(n);
    } else if (arg.rfind("-", 0) == 0 && arg.size() > 1) {
      std::fputs(kUsage, stderr);
      return kExitUsage;
    } else {
      inputs.push_back(arg);
    }
  }
  bool batch = !folder.empty() || !format.empty();
  if (inputs.empty() || (batch && (folder.empty() || format.empty() || format.find('/') != std::string::npos)) ||
      (!batch && inputs.size() != 2)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (!prompt_Install(passwordFile)) return kExitFailed;
  struct Release {
    ~Release() { prompt_Release(); }
  } release;
  catchInterrupt();
  if (!batch) {
    Progress progress;
    progress.label = inputs[0];
    std::string error = convertOne(inputs[0], inputs[1], onProgress, reinterpret_cast<uintptr_t>(&progress));
    progress.finish();
    if (gInterrupted) return kExitInterrupted;
    if (error.empty()) return 0;
    std::fprintf(stderr, "vgm-convert: %s: %s\n", inputs[0].c_str(), error.c_str());
    return error == kProtectedText ? kExitProtected : kExitFailed;
  }

  // Two inputs with the same name would write the same output: the later one is skipped.
  std::vector<std::pair<std::string, std::string>> jobs;
  std::set<std::string> taken;
  size_t skipped = 0;
  for (const std::string &in : inputs) {
    std::string out = folder + "/" + stemOf(in) + "." + format;
    if (!taken.insert(out).second) {
      std::fprintf(stderr, "vgm-convert: %s: skipped, %s is written from another file\n", in.c_str(), out.c_str());
      ++skipped;
      continue;
    }
    jobs.emplace_back(in, out);
  }
  BatchProgress progress;
  progress.total = jobs.size();
  progress.bar.label = "converting";
  std::atomic<size_t> next{0}, converted{0}, failed{0}, started{0};
  std::mutex errors;
  auto work = [&] {
    for (size_t i; !gInterrupted && (i = next++) < jobs.size();) {
      ++started;
      std::string error = convertOne(jobs[i].first, jobs[i].second, onBatchProgress, reinterpret_cast<uintptr_t>(&progress));
      if (gInterrupted) break;
      if (error.empty()) {
        ++converted;
      } else {
        ++failed;
        std::lock_guard<std::mutex> guard(errors);
        std::fprintf(stderr, "\rvgm-convert: %s: %s\n", jobs[i].first.c_str(), error.c_str());
      }
      progress.fileDone();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < std::min<size_t>(threads, jobs.size()); ++t) pool.emplace_back(work);
  work();
  for (std::thread &t : pool) t.join();
  progress.bar.finish();
  if (gInterrupted) return kExitInterrupted;
  skipped += jobs.size() - started;
  std::printf("converted %zu, failed %zu, skipped %zu\n", converted.load(), failed.load(), skipped);
  return failed > 0 ? kExitFailed : 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  std::string command = argv[1];
  if (command == "sysinfo") return commandSysInfo();
  if (command == "info") return commandFiles(argc, argv, false, false);
  if (command == "load") return commandFiles(argc, argv, true, false);
  if (command == "thumb") return commandFiles(argc, argv, false, true);
  if (command == "convert") return commandConvert(argc, argv);
  if (command == "help" || command == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "vgm-convert: unknown command '%s'\n\n%s", command.c_str(), kUsage);
  return kExitUsage;
}
