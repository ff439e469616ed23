// Result codes of readers, writers and plug-ins, their messages, and the
// warnings a successful load can carry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/load_save_options.h"

inline constexpr size_t kMessageCapacity = 480;
inline constexpr size_t kWarningTextCapacity = 1024;
inline constexpr size_t kWarningTitleCapacity = 256;

// Which operation failed when the code is -1.
enum : int32_t {
  kSubCodeNoAbout = 1,
  kSubCodeNoConfiguration = 2,
  kSubCodeNoHelp = 3,
  kSubCodeLoad = 4,
  kSubCodeSave = 5,
  kSubCodeOperation = 6,
};

// The fixed text of a result code (sub-code and path matter only for -1;
// codes of 2 or more give the "%i items" form unformatted).
const char16_t *io_ResultText(int32_t code, int32_t sub_code, const char16_t *path);

// Composes the full message of a code into `out` (kMessageCapacity units):
// the text, then the hint and the reporting module's file name when given.
// Returns the length in units, 0 when `out` is null.
size_t io_ComposeMessage(int32_t code, int32_t sub_code, const char16_t *path, const char16_t *module_path,
                         const char16_t *hint, char16_t *out);

// Sets the flag of a final code (-99 cancelled, -98 timeout, -96 password
// required, -90 not an image) and returns true for exactly those codes:
// no further plug-in is tried after them.
bool io_IsFinalCode(int32_t code, LoadSaveOptions *options);

// Sets the warning flag of each set bit of a plug-in's 16-bit mask.
void io_ApplyWarningMask(uint32_t mask, LoadSaveOptions *options);

// Builds the notice text (kWarningTextCapacity units) and, when `title` is
// not null, its title (kWarningTitleCapacity units). False when no warning is set.
bool io_BuildWarningText(const LoadSaveOptions *options, char16_t *text, char16_t *title);

// Shows the warnings of a finished load unless the options are quiet.
// Returns true when a notice was shown.
bool io_ShowWarningNotice(const LoadSaveOptions *options);
