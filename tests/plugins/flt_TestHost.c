/* Reaches every host table through its load request record and checks the
 * host's answers against values worked out by hand. flt_LoadImage returns 1
 * when every check passed, else the number of the first failed check. */
#include <string.h>
#include <uchar.h>

#include "vgm/vgm_plugin.h"

#define CHECK(n, condition) \
  do {                      \
    if (!(condition)) return (n); \
  } while (0)

static const WCHAR *w(const char16_t *text) { return (const WCHAR *)text; }

static uint32_t px(const FltImage *img, uint32_t x, uint32_t y) { return img->pixels[y * img->stride + x]; }

/* 3 x 2 image with pixel (x, y) = 16 y + x. */
static int make3x2(const pi_BasicImage *bi, FltImage *img) {
  if (bi->Create(img, 3, 2) != 1 || img->width != 3 || img->height != 2 || img->stride < 3 || !img->pixels) return 0;
  for (uint32_t y = 0; y < 2; ++y)
    for (uint32_t x = 0; x < 3; ++x) img->pixels[y * img->stride + x] = 16 * y + x;
  return 1;
}

static int32_t tables(FltLoadRequest *r) {
  const pi_Host *h = r->host;
  CHECK(10, r->state_store && r->meta_markup && h && r->basic_image && r->basic_utils);
  CHECK(11, h->version == PI_HOST_VERSION && r->state_store->version == PI_STATESTORE_VERSION &&
                r->meta_markup->version == PI_METAMARKUP_VERSION && r->basic_image->version == PI_BASICIMAGE_VERSION &&
                r->basic_utils->version == PI_BASICUTILS_VERSION);
  CHECK(12, h->GetInterface(h, w(u"pi_StateStore")) == r->state_store &&
                h->GetInterface(h, w(u"pi_MetaMarkup")) == r->meta_markup &&
                h->GetInterface(h, w(u"pi_BasicImage")) == r->basic_image &&
                h->GetInterface(h, w(u"pi_BasicColor")) == r->basic_color &&
                h->GetInterface(h, w(u"pi_BasicUtils")) == r->basic_utils);
  const pi_BasicVideo *video = (const pi_BasicVideo *)h->GetInterface(h, w(u"pi_BasicVideo"));
  const pi_Forwarding *fw = (const pi_Forwarding *)h->GetInterface(h, w(u"pi_Forwarding"));
  CHECK(13, video && video->version == PI_BASICVIDEO_VERSION && video->OpenServer && video->GetTextB);
  CHECK(14, fw && fw->version == PI_FORWARDING_VERSION && fw->ForwardLoad);
  CHECK(15, !h->GetInterface(h, w(u"pi_BasicQuery")) && !h->GetInterface(h, w(u"pi_stateStore")));
  CHECK(16, h->GetInt(h, w(u"cpu.num_threads"), 1) >= 1 && h->GetBool(h, w(u"host.extended_handler.active")) == 1);
  uint32_t value = 0xA1B2C3D4u, back = 0;
  CHECK(17, r->state_store->MemSet(w(u"testhost"), &value, 4) == 4 &&
                r->state_store->MemGet(w(u"testhost"), &back, 8) == 4 && back == value);
  FltMetaMarkup m;
  char text[16];
  CHECK(18, r->meta_markup->Init(&m) == 1 && r->meta_markup->Set(&m, "a.b", "xyz") == 1 &&
                r->meta_markup->Get(&m, "a.b", text, sizeof text) > 0 && strcmp(text, "xyz") == 0 &&
                r->meta_markup->Free(&m) == 1);
  WCHAR out[8];
  CHECK(19, r->basic_utils->Translate(w(u"Abc"), out, 8) == 3 && out[0] == 'A' && out[2] == 'c' && out[3] == 0);
  return 1;
}

static int32_t image(const pi_BasicImage *bi) {
  FltImage a = {0}, b = {0}, c = {0};
  FltRect diff;
  CHECK(30, bi->IsValid(&a) == 0 && bi->Free(&a) == 0);
  CHECK(31, make3x2(bi, &a) && bi->IsValid(&a) == 1 && bi->Lock(&a) == 1 && bi->Unlock(&a) == 1);
  CHECK(32, bi->Copy(&b, &a) == 1 && b.width == 3 && b.pixels != a.pixels && bi->Compare(&a, &b, &diff) == -1);
  b.pixels[1 * b.stride + 2] = 99;
  CHECK(33, bi->Compare(&a, &b, &diff) == 1 && diff.left == 2 && diff.right == 2 && diff.top == 1 && diff.bottom == 1);
  CHECK(34, bi->Copy(&b, &a) == 1 && bi->Flip(&b, 1) == 1 && px(&b, 0, 0) == 2 && px(&b, 2, 1) == 16);
  CHECK(35, bi->Flip(&b, 4 | 2) == 1 && px(&b, 0, 0) == 18 && px(&b, 0, 1) == 2);
  /* Clockwise: new (x, y) = old (y, H - 1 - x). */
  CHECK(36, bi->Copy(&b, &a) == 1 && bi->Rotate(&b, 1) == 1 && b.width == 2 && b.height == 3 && px(&b, 0, 0) == 16 &&
                px(&b, 1, 0) == 0 && px(&b, 0, 2) == 18);
  CHECK(37, bi->Rotate(&b, 3) == 1 && bi->Compare(&a, &b, &diff) == -1);
  /* A uniform image stays uniform when resampled. */
  CHECK(38, bi->Create(&c, 2, 2) == 1 && bi->Fill(&c, NULL, 0x00336699u) == 1 && bi->Resize(&c, 5, 3) == 1 &&
                c.width == 5 && c.height == 3 && px(&c, 4, 2) == 0x00336699u && px(&c, 2, 1) == 0x00336699u);
  /* Blit the 2 x 1 rectangle at (1, 1) of `a` to (3, 2) of `c`, and a fill. */
  FltRect src = {1, 1, 2, 1, 1}, dst = {3, 2, 3, 2, 1}, one = {0, 0, 0, 0, 1};
  CHECK(39, bi->Blit(&c, &dst, &a, &src, 0) == 1 && px(&c, 3, 2) == 17 && px(&c, 4, 2) == 18 &&
                px(&c, 2, 2) == 0x00336699u && bi->Fill(&c, &one, 7) == 1 && px(&c, 0, 0) == 7 && px(&c, 1, 0) != 7);
  /* Mirrored copy, blend of an opaque source, a quadrilateral, a region: all land pixel for pixel. */
  FltRect row = {0, 0, 2, 1, 1};
  static const float quad[8] = {0, 1, 2, 1, 2, 2, 0, 2};
  CHECK(54, bi->Transform(&c, &row, &a, &row, 1) == 1 && px(&c, 0, 0) == 2 && px(&c, 2, 0) == 0 && px(&c, 0, 1) == 18);
  CHECK(55, bi->Blend(&c, &row, &a, &row, 0) == 1 && px(&c, 0, 0) == 0 && px(&c, 2, 0) == 2);
  CHECK(56, bi->TransformQuad(&c, quad, &a, NULL, 0) == 1 && px(&c, 0, 1) == 0 && px(&c, 2, 2) == 18);
  CHECK(57, bi->Fill(&c, NULL, 5) == 1 && bi->Region(&c, &a, 2) == 1 && px(&c, 1, 0) == 1 && px(&c, 2, 1) == 18 &&
                px(&c, 3, 1) == 5);
  static const uint32_t fixed[6] = {0x80403020u, 0x00403020u, 0x7F403020u, 0x7F201810u, 0x7F806040u, 0xFF403020u};
  for (uint32_t mode = 0; mode <= 5; ++mode) {
    c.pixels[0] = 0x80403020u;
    CHECK(40 + (int)mode, bi->FixAlpha(&c, mode) == (mode ? 1 : 0) && c.pixels[0] == fixed[mode]);
  }
  CHECK(46, bi->FixAlpha(&c, 6) == 0);
  /* Rows written top-down come back mirrored when the iterator had flag 1. */
  CHECK(47, bi->RowsBegin(&c, 1) == 1 && bi->RowsBegin(&c, 0) == 0 && bi->RowsStep(&c, 3) == NULL);
  for (int32_t y = 0; y < 3; ++y) bi->RowsStep(&c, y)[0] = 100 + (uint32_t)y;
  CHECK(48, bi->RowsEnd(&c) == 1 && px(&c, 0, 0) == 102 && px(&c, 0, 2) == 100 && bi->RowsStep(&c, 0) == NULL &&
                bi->RowsEnd(&c) == 0);
  uint32_t buffer[2 * 5] = {0};
  CHECK(49, bi->Wrap(&b, 4, 2, 5, buffer) == 1 && b.pixels == buffer && b.stride == 5 && bi->Fill(&b, NULL, 9) == 1 &&
                buffer[5 + 3] == 9 && buffer[4] == 0 && bi->Free(&b) == 1 && b.surface == NULL);
  HDC dc = bi->GetDC(&a);
  CHECK(50, dc != NULL && bi->ReleaseDC(&a, dc) == 1 && px(&a, 2, 1) == 18);
  FltRect clip = {1, 2, 30, 40, 1}, got = {0};
  CHECK(51, bi->SetClip(&clip) == 1 && bi->GetClip(&got) == 1 && got.left == 1 && got.bottom == 40);
  CHECK(52, bi->SetClip(NULL) == 1 && bi->GetClip(&got) == 1 && got.left == 0 && got.right >= 65535);
  CHECK(53, bi->Free(&a) == 1 && a.surface == NULL && a.width == 0 && bi->Free(&a) == 0 && bi->Free(&c) == 1);
  return 1;
}

/* Reads and writes no format: every probe is refused. */
FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) { return (void)probe, 0; }

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) { return (void)probe, 0; }

FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) { return (void)request, FLT_ERR_UNSUPPORTED; }

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  int32_t result = tables(request);
  return result != 1 ? result : image(request->basic_image);
}
