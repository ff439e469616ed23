#include "kv5/kv5_password.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "kv5/kv5_read_common.h"
#include "platform/os.h"

namespace {

constexpr size_t kHeaderRead = 72;
constexpr size_t kHintEnd = 68;  // the hint holds at most bytes 1..67

// The typed text and the key, in one fixed place per thread and wiped on
// every way out of the stage: a handler that kept the buffer it filled
// finds zeros there, never memory that was given back.
struct Secrets {
  char16_t typed[kv5_PasswordUnits] = {};
  uint8_t key[kv5_PasswordUnits] = {};
  bool busy = false;
  void wipe() {
    os_SecureWipe(typed, sizeof typed);
    os_SecureWipe(key, sizeof key);
  }
  ~Secrets() { wipe(); }
};
thread_local Secrets tSecrets;

struct InUse {
  InUse() { tSecrets.busy = true; }
  ~InUse() {
    tSecrets.wipe();
    tSecrets.busy = false;
  }
};

enum class Outcome { accepted, again, refused };

// One round of the dialogs: prompt, then judge what was typed.
Outcome attempt(Secrets *secrets, const std::u16string &hint, HWND parent, uint8_t *output, size_t capacity,
                const uint8_t *cipher, size_t length, uint32_t checksum) {
  constexpr uint32_t kWarn = os_NoticeIconWarning;
  os_SecureWipe(secrets->typed, sizeof secrets->typed);  // Retry starts with an empty field
  if (os_ShowTextInput(parent, u"Enter KV5 Password", hint.c_str(), secrets->typed, kv5_PasswordUnits, true) != 1)
    return Outcome::refused;
  size_t keyLength = kv5_PasswordKey(secrets->typed, secrets->key);
  if (keyLength == 0) {
    secrets->wipe();
    return os_ShowNotice(parent, u"Please enter a valid password.", u"No Password", os_NoticeOkCancel | kWarn) ==
                   os_AnswerOk
               ? Outcome::again
               : Outcome::refused;
  }
  uint32_t sum = kv5_Decipher(output, capacity, cipher, length, secrets->key, keyLength);
  secrets->wipe();
  if (checksum == 0) {
    os_ShowNotice(parent,
                  u"The password you entered has been applied without validation.\n_refIf the image is corrupted, it "
                  u"is not correct.",
                  u"Skipping Validation", os_NoticeOk | kWarn);
    return Outcome::accepted;
  }
  if (checksum == sum) return Outcome::accepted;
  return os_ShowNotice(parent, u"The password you entered is not correct.", u"Wrong Password",
                       os_NoticeRetryCancel | kWarn) == os_AnswerRetry
             ? Outcome::again
             : Outcome::refused;
}

}  // namespace

uint32_t kv5_Decipher(uint8_t *output, size_t capacity, const uint8_t *cipher, size_t length, const uint8_t *key,
                      size_t keyLength) {
  uint32_t sum = 0;
  if (keyLength == 0) return 0;
  for (size_t i = 0, k = 0; i < length; ++i) {
    auto plain = static_cast<uint8_t>(cipher[i] - key[k]);
    if (i < capacity) output[i] = plain;
    sum += plain;
    if (++k == keyLength) k = 0;
  }
  return sum;
}

size_t kv5_PasswordKey(const char16_t *typed, uint8_t *key) {
  size_t units = 0;
  while (units < kv5_PasswordUnits - 1 && typed[units] != 0) ++units;
  size_t length = 0;
  // Character by character, so that no copy of the key lands on the heap.
  for (size_t i = 0; i < units;) {
    bool pair = i + 1 < units && typed[i] >= 0xD800 && typed[i] < 0xDC00 && typed[i + 1] >= 0xDC00 &&
                typed[i + 1] < 0xE000;
    size_t width = pair ? 2 : 1;
    std::string ansi = os_Utf16ToAnsi(std::u16string_view(typed + i, width));
    for (char c : ansi)
      if (length < kv5_PasswordUnits - 1) key[length++] = static_cast<uint8_t>(c);
    os_SecureWipe(ansi.data(), ansi.size());
    i += width;
  }
  key[length] = 0;
  return length;
}

int64_t kv5_DecipherStage(uint8_t *output, size_t capacity, const uint8_t *stage, size_t n, HWND parent) {
  if (kv5_StageIsDamaged(stage, n)) return kv5_StageDamaged;
  const size_t h = stage[0];
  uint8_t header[kHeaderRead] = {};
  std::memcpy(header, stage, std::min(h, kHeaderRead));
  const uint32_t checksum = kv5_Load32(header + 68);
  const size_t hintEnd = std::min(h, kHintEnd);
  const auto *hintStart = reinterpret_cast<const char *>(header + 1);
  std::u16string hint = hintEnd > 1 ? os_AnsiToUtf16(hintStart, hintEnd - 1) : std::u16string();

  // A prompt cannot open another one (a handler that loads from inside it).
  if (tSecrets.busy) return 0;
  InUse guard;
  for (;;) {
    switch (attempt(&tSecrets, hint, parent, output, capacity, stage + h, n - h, checksum)) {
      case Outcome::accepted: return static_cast<int64_t>(std::min(n - h, capacity));
      case Outcome::refused: return 0;
      case Outcome::again: break;
    }
  }
}

int32_t kv5_MakePasswordPlaceholder(rx_LayerEntry *layers, LoadSaveOptions *options, int32_t width, int32_t height) {
  options->documentKind = rx_DocFrames;
  // A generator of this call alone: xorshift64* seeded from the clock and
  // the table's address, 15 bits per byte.
  uint64_t state = (os_HighResCounter() ^ reinterpret_cast<uintptr_t>(layers) ^ 0x9E3779B97F4A7C15ull) | 1;
  auto next = [&state] {
    state ^= state >> 12, state ^= state << 25, state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  };
  kv5_ReadCall budget{};  // the four frames count against the load's pixel budget
  budget.options = options;
  for (int32_t i = 0; i < 4; ++i) {
    rx_LayerEntry *entry = &layers[i];
    rx_LayerEntryRelease(entry);
    char16_t name[32];
    std::u16string text = u"password-protected #" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    std::copy(text.begin(), text.end(), name);
    kv5_SetName(entry, name, text.size());
    entry->flags = 0;
    entry->frame = 50;
    if (!kv5_CreateSurface(&budget, entry, width, height)) {
      rx_LayerEntryRelease(entry);
      return i;
    }
    rx_Surface *surface = &entry->surface;
    if (rx_SurfaceLock(surface, rx_LockExclusive) == 0) continue;
    for (uint32_t y = 0; y < surface->height; ++y) {
      uint32_t *row = surface->bits + size_t{y} * surface->stride;
      for (uint32_t x = 0; x < surface->width; ++x) {
        uint64_t bits = next();
        uint32_t pixel = 0;
        for (int b = 0; b < 4; ++b) {
          auto r = static_cast<uint32_t>(bits >> (15 * b) & 0x7FFF);
          pixel |= (r * 255 + 16383) / 32767 << (8 * b);
        }
        row[x] = pixel;
      }
    }
    rx_SurfaceUnlock(surface, rx_LockExclusive);
  }
  return 4;
}
