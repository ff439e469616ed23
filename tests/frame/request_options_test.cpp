#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "frame/request_options.h"

namespace {

int32_t VGM_API progress(int32_t, int32_t, uintptr_t) { return 1; }

CmioRequest filledRequest() {
  CmioRequest request{};
  request.owner_window = reinterpret_cast<HWND>(0x55);
  request.time_limit_ms = 1234;
  request.thumb_max_width = 100;
  request.thumb_max_height = 300;
  request.frame_composition = 7;
  request.options_text = u"quality=90\n";
  request.progress = progress;
  request.progress_user = 99;
  request.want_markup = 1;
  request.scale = 0.5;
  request.apply_scale = 1;
  request.handled = 3;  // on saves this byte is the frame-composition option
  return request;
}

}  // namespace

TEST(RequestOptions, LoadCopiesTheCallerAndClearsTheRest) {
  CmioRequest request = filledRequest();
  LoadSaveOptions options;
  std::memset(&options, 0xAB, sizeof options);
  frame_LoadOptions(&request, &options);
  EXPECT_EQ(options.ownerWindow, request.owner_window);
  EXPECT_EQ(options.timeLimitMs + options.frameComposition + options.progressUser, 1234u + 7 + 99);
  EXPECT_EQ(options.optionsText, request.options_text);
  EXPECT_EQ(options.progress, &progress);
  EXPECT_EQ(options.markupOut, &request.markup);
  // Scale, thumbnail sizes and everything else stay with the export.
  EXPECT_EQ(options.quiet + options.wantedWidth + options.fitInside + options.preview + options.noMarkup +
                options.handled + options.message[0],
            0);
  request.want_markup = 0;
  request.owner_window = nullptr;
  frame_LoadOptions(&request, &options);
  EXPECT_EQ(options.markupOut, nullptr);
  EXPECT_TRUE(options.quiet);
}

TEST(RequestOptions, ThumbnailsAreQuietPreviewsWithASizeHint) {
  CmioRequest request = filledRequest();
  HGLOBAL markup = nullptr;
  LoadSaveOptions options;
  frame_ThumbOptions(&request, &markup, &options);
  EXPECT_TRUE(options.quiet && options.preview && options.noMarkup && options.extra && options.fitInside);
  EXPECT_TRUE(options.ownerWindow == nullptr && options.progress == nullptr && options.markupOut == &markup);
  EXPECT_EQ(options.frameComposition, 7);
  // Below 256 doubled, 256 and above as asked.
  EXPECT_EQ(std::pair(options.wantedWidth, options.wantedHeight), std::pair(200, 300));
  // The accepted time limits: 1001 to 3599999 ms.
  const std::pair<uint32_t, uint32_t> limits[] = {{0, 300000},       {1000, 300000},    {1001, 1001},
                                                  {3599999, 3599999}, {3600000, 300000}, {UINT32_MAX, 300000}};
  for (auto [given, expected] : limits) {
    request.time_limit_ms = given;
    frame_ThumbOptions(&request, &markup, &options);
    EXPECT_EQ(options.timeLimitMs, expected) << given;
  }
  request.thumb_max_width = 255;
  request.thumb_max_height = 256;
  frame_ThumbOptions(&request, &markup, &options);
  EXPECT_EQ(std::pair(options.wantedWidth, options.wantedHeight), std::pair(510, 256));
  // Without both sizes there is no hint.
  request.thumb_max_height = 0;
  frame_ThumbOptions(&request, &markup, &options);
  EXPECT_EQ(options.wantedWidth + options.wantedHeight + options.fitInside, 0);
}

TEST(RequestOptions, SaveTakesMarkupPresenceAndCompositionByte) {
  CmioRequest request = filledRequest();
  LoadSaveOptions options;
  frame_SaveOptions(&request, &options);
  EXPECT_EQ(std::tuple(options.timeLimitMs, int(options.frameComposition), options.ownerWindow, options.progressUser),
            std::tuple(300000u, 3, request.owner_window, 99u));
  int block = 0;
  const std::tuple<HGLOBAL, uint32_t, bool> cases[] = {{nullptr, 4, true}, {&block, 0, true}, {&block, 4, false}};
  for (auto [markup, size, none] : cases) {
    request.markup = markup;
    request.markup_size = size;
    frame_SaveOptions(&request, &options);
    EXPECT_EQ(options.noMarkup != 0, none) << size;
  }
}
