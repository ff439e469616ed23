// Built only where pointers are 4 bytes (the i686 DLL and the -m32 Linux
// build): here every record whose bytes are fixed for callers, plug-ins,
// other processes or files on disk is checked field by field. The public
// headers check their own offsets under the same condition; including them
// here makes sure those checks are compiled in both 32-bit builds, and the
// records they leave out are checked below. Sizes are asserted too: a 64-bit
// field is 8-aligned on Windows and 4-aligned on i386 Linux, so a record
// that leaned on the ABI would differ between the two.
#include <cstddef>

#include "hostenv/config_record.h"
#include "imageio/plugin_registry.h"
#include "markup/meta_markup.h"
#include "video/video_wire.h"
#include "vgm/vgm_common.h"
#include "vgm/vgm_plugin.h"

static_assert(sizeof(void *) == 4, "this unit belongs to the 32-bit builds only");

// The caller's records.
static_assert(sizeof(CmioImage) == 16);
static_assert(offsetof(CmioRequest, handled) == 0x21 && offsetof(CmioRequest, want_markup) == 0x22);
static_assert(offsetof(CmioRequest, thumb_checkerboard) == 0x23);
static_assert(offsetof(CmioRequest, data_not_transferred) == 0x24);

// Probe records of flt_CheckLoad and flt_CheckSave.
static_assert(offsetof(FltProbe, extension) == 0);
static_assert(offsetof(FltProbe, strength_b) == 125 && offsetof(FltProbe, strength_c) == 126);

// The plug-in image record of pi_BasicImage: six 32-bit words.
static_assert(offsetof(FltImage, stride) == 8 && offsetof(FltImage, reserved) == 12);
static_assert(offsetof(FltImage, surface) == 20);
static_assert(offsetof(pi_BasicImage, Create) == 8 && offsetof(pi_BasicImage, SaveImage) == 68);

// The LoadImage/SaveImage record of pi_BasicImage.
static_assert(offsetof(FltImageIoRequest, file_name) == 0x04 && offsetof(FltImageIoRequest, data) == 0x08);
static_assert(offsetof(FltImageIoRequest, data_size) == 0x0C && offsetof(FltImageIoRequest, name_hint) == 0x10);
static_assert(offsetof(FltImageIoRequest, markup_size) == 0x18);
static_assert(offsetof(FltImageIoRequest, handled) == 0x1D && offsetof(FltImageIoRequest, entry_missing) == 0x1E);

// Load and save request records: their 64-bit start time ends each record.
static_assert(offsetof(FltLoadRequest, width) == 0 && sizeof(FltLoadRequest) == 344);
static_assert(offsetof(FltSaveRequest, width) == 0 && offsetof(FltSaveRequest, height) == 4);
static_assert(offsetof(FltSaveRequest, stride) == 8 && sizeof(FltSaveRequest) == 376);

// MetaMarkup: four 32-bit words (checked in its header).
static_assert(sizeof(MetaMarkup) == 16);

// Video bridge: the header travels as eight 32-bit words; the frame record
// is five words ahead of the pixels.
static_assert(kVidHeaderSize == 8 * 4 && kVidFrameRecordSize == 5 * 4);
static_assert(offsetof(vid_Header, value) == 8 && offsetof(vid_Header, real) == 16);
static_assert(offsetof(vid_Header, flags) == 24 && offsetof(vid_Header, payload_size) == 28);

// Plug-in registries, persisted byte for byte.
static_assert(offsetof(io_RegistryBlock, hourStamp) == 4 && offsetof(io_RegistryBlock, entries) == 8);
static_assert(offsetof(io_RegistryEntry, extension) == 8 && offsetof(io_RegistryEntry, path) == 40);

// suite_config.bin (offsets checked in its header).
static_assert(sizeof(cfg_Record) == 4096);
