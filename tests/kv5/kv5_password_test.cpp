// Password-protected flat documents: deciphering, the dialogs in order, the
// placeholder frames, damaged stages. Expected bytes are worked out by hand.
#include "kv5/kv5_password.h"

#include <cstring>
#include <set>

#include "kv5_read_test_util.h"

using namespace kv5doc;

namespace {

using Answers = std::vector<std::pair<int32_t, std::u16string>>;

// Answers from a script (answer, typed text; a script that runs out gives up) and records each notice as
// "title|text|style", text inputs with the field as offered.
struct Script {
  Answers answers;
  size_t next = 0;
  std::vector<std::string> shown;
  char16_t *buffer = nullptr;  // the last text-input buffer filled
  static int32_t answer(const os_Notice *n, void *context) {
    auto *s = static_cast<Script *>(context);
    bool input = n->kind == os_NoticeTextInput;
    s->shown.push_back(vgmtest::u8(n->title) + "|" + vgmtest::u8(n->text) + "|" + std::to_string(n->style) +
                       (input ? "|" + vgmtest::u8(n->buffer) : ""));
    if (s->next == s->answers.size()) return input ? 0 : os_AnswerCancel;
    auto [result, typed] = s->answers[s->next++];
    if (input) std::copy_n(typed.c_str(), std::min(typed.size() + 1, n->capacity), s->buffer = n->buffer);
    return result;
  }
  bool wiped() const {
    return buffer == nullptr || std::all_of(buffer, buffer + kv5_PasswordUnits, [](char16_t c) { return c == 0; });
  }
};

const std::string kNoPassword = "No Password|Please enter a valid password.|49";
const std::string kWrong = "Wrong Password|The password you entered is not correct.|53";
const std::string kSkipping =
    "Skipping Validation|The password you entered has been applied without validation.\n_refIf the image is "
    "corrupted, it is not correct.|48";
std::string ask(const std::string &hint) { return "Enter KV5 Password|" + hint + "|0|"; }

// 1 x 1, plain bytes 10 20 30 (sum 0x60), key "ab", hint "Hi".
const Bytes kHandV2 = hex("5F4B5635 34000000 00000200 01000100 00000300 34000000 00000000 FF" +
                          std::string(30 + 16, '0') + "48 4869" + std::string(130, '0') + "60000000 718291");
// 16 x 16, one grey tile (control 00, 256 x 40; sum 0x4000), key "k", no hint.
Bytes handV1(bool one) {
  Bytes b = hex("5F4B5635 28000000 0000" + std::string(one ? "0100" : "0000") + "10001000 28000000 00000000 FF" +
                std::string(30, '0') + "48" + std::string(134, '0') + "00400000 6B");
  b.insert(b.end(), 256, 0xAB);
  return b;
}

}  // namespace

class Kv5Password : public ReaderTest {
 protected:
  void SetUp() override {
    ReaderTest::SetUp();
    os_SetNoticeHandler(Script::answer, &script, nullptr);
  }
  void play(Answers answers) {
    script = Script{};
    script.answers = std::move(answers);
  }
  int64_t stage(const Bytes &data, Answers answers) {
    play(std::move(answers));
    out.assign(data.size() + 1, 0xEE);
    return kv5_DecipherStage(out.data(), data.size(), data.data(), data.size(), nullptr);
  }
  Script script;
  Bytes out;
};

TEST_F(Kv5Password, decipherWithKeysThroughTheCodePage) {
  uint8_t plain[4] = {9, 9, 9, 9};
  const uint8_t cipher[4] = {0x41, 0x42, 0x00, 0xFF};
  EXPECT_EQ(kv5_Decipher(plain, 2, cipher, 4, reinterpret_cast<const uint8_t *>("A"), 1), 0x17Eu);  // 0+1+BF+BE
  EXPECT_EQ(Bytes(plain, plain + 4), (Bytes{0x00, 0x01, 9, 9}));
  uint8_t key[kv5_PasswordUnits];
  ASSERT_EQ(kv5_PasswordKey(u"\u20AC\u2713x\U0001F600", key), 4u);
  EXPECT_EQ(Bytes(key, key + 5), (Bytes{0x80, '?', 'x', '?', 0}));
  EXPECT_EQ(kv5_PasswordKey(std::u16string(45, u'z').c_str(), key), 39u);
}

TEST_F(Kv5Password, decipherStageChecksums) {
  const Bytes plain = {1, 2, 3, 250, 0, 7};
  std::string key39;  // the 40th character typed is cut by the dialog
  for (int i = 0; i < 39; ++i) key39 += static_cast<char>('A' + i % 26);
  EXPECT_EQ(stage(passwordStage(plain, key39), {{1, vgmtest::u16(key39 + "!")}}), 6);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{1, 2, 3, 250, 0, 7, 0xEE}));
  EXPECT_TRUE(script.shown == std::vector<std::string>{ask("")} && script.wiped());
  // No checksum: a header of 8, or a stored 0. Any key goes.
  EXPECT_EQ(stage(passwordStage(plain, "k", "", 8), {{1, u"\u20AC"}, {os_AnswerOk, u""}}), 6);
  EXPECT_EQ(out[0], uint8_t(1 + 'k' - 0x80));
  EXPECT_EQ(script.shown, (std::vector<std::string>{ask(""), kSkipping}));
  EXPECT_TRUE(stage(passwordStage(plain, "k", "", 72, false), {{1, u"k"}, {os_AnswerOk, u""}}) == 6 && script.shown.size() == 2u);
  // A header of 70 holds the sum's two low bytes; the next two are cipher.
  EXPECT_TRUE(stage(passwordStage({1, 2, 3}, "k", "", 70), {{1, u"k"}}) == 3 && script.shown.size() == 1u);
}

TEST_F(Kv5Password, passwordDialogSequences) {
  Flat flat;
  flat.width = 2, flat.chain[0] = 255;
  flat.data = passwordStage(planar({0x112233, 0x445566}, 3), "right", "Hint: the usual");
  const std::string prompt = ask("Hint: the usual");
  const struct {
    Answers answers;
    std::vector<std::string> shown;
  } sequences[] = {
      {{{0, u""}}, {prompt}},
      {{{1, u""}, {os_AnswerOk, u""}, {1, u"right"}}, {prompt, kNoPassword, prompt}},
      {{{1, u""}, {os_AnswerCancel, u""}}, {prompt, kNoPassword}},
      {{{1, u"wrong"}, {os_AnswerRetry, u""}, {1, u"right"}}, {prompt, kWrong, prompt}},
      {{{1, u"wrong"}, {os_AnswerCancel, u""}}, {prompt, kWrong}},
  };
  for (const auto &s : sequences) {
    SCOPED_TRACE(&s - sequences);
    play(s.answers);
    int32_t count = read(writeFlat(flat), "p.kv5", false);
    EXPECT_EQ(script.shown, s.shown);
    bool accepted = s.answers.back().second == u"right";
    EXPECT_TRUE(script.wiped() && options.passwordProtected == !accepted);
    EXPECT_EQ(outcome(count), accepted ? "1 " : "4 The file is password-protected\n");
    if (accepted) {
      EXPECT_EQ((std::vector<uint32_t>{pixel(0, 0, 0), pixel(0, 1, 0)}), (std::vector<uint32_t>{0x112233, 0x445566}));
    }
  }
}

TEST_F(Kv5Password, passwordHandBuiltAndQuietPerVersion) {
  const Bytes files[] = {kHandV2, handV1(true), handV1(false)};
  const int64_t sizes[] = {1, 16, 16};
  for (int v = 0; v < 3; ++v) {
    SCOPED_TRACE(v);
    EXPECT_NE(describe(files[v]).find(", Encrypted"), std::string::npos);
    play({{1, v == 0 ? u"ab" : u"k"}});
    ASSERT_EQ(read(files[v], "h.kv5", false), 1) << message();
    EXPECT_EQ(pixel(0, 0, 0), v == 0 ? 0x302010u : 0x404040u);
    EXPECT_EQ(script.shown, std::vector<std::string>{ask(v == 0 ? "Hi" : "")});
    // Quiet: no notice, the placeholder.
    play({});
    ASSERT_EQ(outcome(read(files[v], "h.kv5", true)), v == 0 ? "4 The file is password-protected\n" : "4 The file is password-protected");
    EXPECT_TRUE(script.shown.empty() && options.passwordProtected == 1 && options.documentKind == rx_DocFrames);
    EXPECT_EQ(fields(3), (std::vector<int64_t>{0, 0, sizes[v], sizes[v], 0, 50, 0, 0}));
    EXPECT_EQ(std::u16string(table[3].name), u"password-protected #3");
  }
}

TEST_F(Kv5Password, placeholderFramesAreNoiseAndEndWhereASurfaceFails) {
  ASSERT_EQ(kv5_MakePasswordPlaceholder(table, &options, 64, 64), 4);  // the engine's own set-up allocates too
  const auto *bytes = reinterpret_cast<const uint8_t *>(table[0].surface.bits);
  EXPECT_EQ(std::set<uint8_t>(bytes, bytes + 64 * 64 * 4).size(), 256u);
  EXPECT_NE(std::memcmp(table[0].surface.bits, table[1].surface.bits, 64 * 64 * 4), 0);
  EXPECT_EQ(std::u16string(table[0].name), u"password-protected #0");
  rx_LayersRelease(table, rx_LayerTableEntries);
  os_InjectFault(os_FaultKind::allocation, 3);
  EXPECT_EQ(kv5_MakePasswordPlaceholder(table, &options, 64, 64), 2);
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_TRUE(options.documentKind == rx_DocFrames && table[2].surface.signature == 0);
}

TEST_F(Kv5Password, passwordDamagedStagesNeverAsk) {
  for (const Bytes &damaged : {Bytes{3, 1, 2}, Bytes{200, 0}, Bytes{}}) EXPECT_EQ(stage(damaged, {}), kv5_StageDamaged);
  EXPECT_TRUE(script.shown.empty());
  Bytes unended(80, 'x');  // a hint without its terminator ends at byte 67
  unended[0] = 72;
  EXPECT_EQ(stage(unended, {}), 0);
  EXPECT_EQ(script.shown, std::vector<std::string>{ask(std::string(67, 'x'))});

  Flat flat;  // version 1: the last reader tried keeps its messages
  flat.version = 1, flat.chain[0] = 255, flat.data = {5, 0, 0, 0, 0};
  for (bool quiet : {false, true}) EXPECT_EQ(outcome(read(writeFlat(flat), "d.kv5", quiet)), "0 Processing failed\n");
  // The right key, then a codec that yields nothing.
  flat.chain[1] = 255, flat.chain[0] = 1, flat.data = passwordStage({0}, "k");
  play({{1, u"k"}});
  EXPECT_EQ(outcome(read(writeFlat(flat), "d.kv5", false)),
            "0 Invalid/corrupt data in block (TRVC returned zero bytes)\nProcessing failed\n");
  EXPECT_TRUE((options.documentFlags & kDocError) && options.passwordProtected == 0);
}

TEST_F(Kv5Password, passwordStageBetweenCodecs) {
  // Codec 1 after deciphering: control 1 = a literal of two bytes, then the end.
  Flat flat;
  flat.width = 2, flat.format = 1, flat.chain[2] = 255, flat.chain[0] = 1;
  flat.data = passwordStage({0x01, 0x10, 0x20, 0x00}, "key");
  play({{1, u"key"}});
  ASSERT_EQ(read(writeFlat(flat), "m.kv5", false), 1) << message();
  EXPECT_EQ(pixel(0, 1, 0), 0x202020u);
}
