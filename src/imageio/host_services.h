// The host-service tables a plug-in reaches through its request record or
// by name, and the pieces they share: reading texts a plug-in hands in,
// the extended handler, and calls into the library's own exports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vgm/vgm_plugin.h"

// Process-wide tables, filled each time they are asked for.
const pi_Host *io_HostTable();
const pi_StateStore *io_StateStoreTable();
const pi_MetaMarkup *io_MetaMarkupTable();
const pi_BasicImage *io_BasicImageTable();
const pi_BasicUtils *io_BasicUtilsTable();
const pi_BasicVideo *io_BasicVideoTable();
const pi_Forwarding *io_ForwardingTable();

// A zero-terminated text from a plug-in, at most `max_units` units (longer
// texts are cut). Unreadable memory counts as an empty text: false then,
// and also for a null pointer.
bool io_ReadText16(const WCHAR *text, size_t max_units, std::u16string *out);
bool io_ReadText8(const char *text, size_t max_bytes, std::string *out);

// The extended handler: kind 0 asks for an interface table (the buffer
// receives a pointer), kind 1 for a value. Result below 1: nothing stored.
using io_ExtendedHandler = int32_t (*)(int32_t kind, const char16_t *name, void *buffer, int32_t size);
inline constexpr int32_t kExtendedInterface = 0;
inline constexpr int32_t kExtendedValue = 1;
// Installs `handler` (null: none) and returns the previous one.
io_ExtendedHandler io_SetExtendedHandler(io_ExtendedHandler handler);
// The module's own handler, installed at every attach.
int32_t io_DefaultExtendedHandler(int32_t kind, const char16_t *name, void *buffer, int32_t size);
void io_InstallDefaultExtendedHandler();

// The library's own file, whose exports some services call by name. A test
// may point it elsewhere (empty restores the real one).
std::u16string io_OwnModulePath();
void io_SetOwnModulePathForTests(const std::u16string &path);
// Loads the own file, looks `export_name` up and runs `call(entry, context)`
// under the fault guard, then unloads it. 1 with `*result` set; 0 when the
// export could not be reached; -1 when the call faulted.
int32_t io_CallOwnExport(const char *export_name, void (*call)(void *entry, void *context), void *context);

// Session memory of pi_StateStore: the clock that orders evictions (null
// restores the tick count), and emptying every slot.
void io_StateStoreSetClock(uint32_t (*clock)());
void io_StateStoreClear();

// Temporary names "_vgm_plgtmp_pibi_%08x_%04x.%s": a test can pin the tick
// and random parts so that every try gives the same name (pinned false
// restores them).
void io_PinTemporaryNameForTests(bool pinned, uint32_t tick, uint32_t random);

// The plug-in image record of pi_BasicImage: its surface (null when the
// record holds none), a new surface of the given size in place of what the
// record held, and the refresh of its words from the surface.
struct rx_Surface;
rx_Surface *io_ImageSurface(FltImage *img);
int32_t io_ImageCreate(FltImage *img, int32_t width, int32_t height);
void io_ImageRefresh(FltImage *img);
// Slots 14 and 15: a load or save through the library's own exports.
int32_t VGM_API io_BasicImageLoad(FltImage *img, FltImageIoRequest *request);
int32_t VGM_API io_BasicImageSave(FltImage *img, FltImageIoRequest *request);
