#include "frame/request_options.h"

#include <cstring>

#include "platform/os.h"

namespace {

void copyCaller(const CmioRequest *request, LoadSaveOptions *options) {
  options->ownerWindow = request->owner_window;
  options->quiet = request->owner_window == nullptr;
  options->optionsText = os_U16(request->options_text);
  options->progress = request->progress;
  options->progressUser = request->progress_user;
}

}  // namespace

void frame_LoadOptions(CmioRequest *request, LoadSaveOptions *options) {
  std::memset(options, 0, sizeof *options);
  copyCaller(request, options);
  options->timeLimitMs = request->time_limit_ms;
  options->frameComposition = request->frame_composition;
  options->markupOut = request->want_markup ? &request->markup : nullptr;
}

void frame_ThumbOptions(const CmioRequest *request, HGLOBAL *markup_out, LoadSaveOptions *options) {
  std::memset(options, 0, sizeof *options);
  options->quiet = 1;
  options->preview = 1;
  options->noMarkup = 1;
  options->extra = 1;
  uint32_t limit = request->time_limit_ms;
  options->timeLimitMs = (limit >= 1001 && limit <= 3599999) ? limit : kDefaultTimeLimitMs;
  options->frameComposition = request->frame_composition;
  options->markupOut = markup_out;
  if (request->thumb_max_width != 0 && request->thumb_max_height != 0) {
    // Small thumbnails are flattened at twice their size for a sharper result.
    auto hint = [](uint32_t value) { return static_cast<int32_t>(value < 256 ? value * 2 : value); };
    options->wantedWidth = hint(request->thumb_max_width);
    options->wantedHeight = hint(request->thumb_max_height);
    options->fitInside = 1;
  }
}

void frame_SaveOptions(const CmioRequest *request, LoadSaveOptions *options) {
  std::memset(options, 0, sizeof *options);
  copyCaller(request, options);
  options->timeLimitMs = kDefaultTimeLimitMs;
  options->noMarkup = request->markup == nullptr || request->markup_size == 0;
  // On saves the byte that loads use for the handled flag carries the frame composition.
  options->frameComposition = request->handled;
}
