// The state store's file area: named binary files "<name>.bin" in
// "Common/Plugins" under the application-data folder, for plug-ins and for
// the library's own persisted registries.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int32_t kStoreFileMaxBytes = 262144;

// Bytes read (at most `size`), 0 when absent, unreadable or the name is refused.
int32_t io_StoreFileGet(const char16_t *name, void *buffer, int32_t size);
// Bytes written (at most kStoreFileMaxBytes); a `size` below 1 deletes the
// file (result 1). The file is replaced whole or not at all. 0 on failure or
// for a refused name (empty, or holding '/' or '\').
int32_t io_StoreFileSet(const char16_t *name, const void *data, int32_t size);
// The file's size, 0 when absent.
int32_t io_StoreFileSize(const char16_t *name);

// The same for any extension (".bin", ".enc"): `size` bytes are written
// whole, without the cap; a `size` below 1 deletes (result 1).
int32_t io_StoreFileRead(const char16_t *name, const char16_t *extension, void *buffer, int32_t size);
int32_t io_StoreFileWrite(const char16_t *name, const char16_t *extension, const void *data, int32_t size);
int32_t io_StoreFileLength(const char16_t *name, const char16_t *extension);
// False for a name the file area refuses (empty, or holding '/' or '\').
bool io_StoreNameAccepted(const char16_t *name);
