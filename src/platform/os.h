// The operating-system layer: everything the library needs from the system
// goes through these functions. posix/ implements them for Linux; a win32/
// implementation maps them onto the Windows calls one for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vgm/vgm_compat.h"

// ---------------------------------------------------------------------------
// Errors: the reason of the last failed call on this thread.
enum class os_Error : int {
  none = 0,
  notFound,
  accessDenied,
  sharingViolation,
  alreadyExists,
  diskFull,
  pathTooLong,
  invalidArgument,
  outOfMemory,
  injected,  // a failure made on purpose by the fault-injection hook
  other,
};
os_Error os_LastError();
void os_SetLastError(os_Error error);

// ---------------------------------------------------------------------------
// Text: UTF-16 inside the library, UTF-8 at the POSIX boundary. Invalid
// sequences become U+FFFD; conversion never fails.
std::string os_Utf16ToUtf8(std::u16string_view text);
std::u16string os_Utf8ToUtf16(std::string_view text);
// Length of a zero-terminated UTF-16 text, 0 for null.
size_t os_Utf16Length(const char16_t *text);

// Paths: the separator this platform writes; both '/' and '\\' are accepted
// when splitting.
#ifdef _WIN32
inline constexpr char16_t os_PathSeparator = u'\\';
#else
inline constexpr char16_t os_PathSeparator = u'/';
#endif
inline constexpr bool os_IsPathSeparator(char16_t c) { return c == u'/' || c == u'\\'; }
// The longest path in units, terminator included; longer paths fail.
inline constexpr size_t os_MaxPath = 260;

// ---------------------------------------------------------------------------
// Global memory handed across the boundary: GlobalAlloc and its siblings are
// declared in vgm_compat.h. Releasing checks validity first, as every owner
// of a handed-over block must.
#ifdef _WIN32
// The system's GlobalAlloc knows nothing of injected faults or the
// allocation hook: the library's own calls take this checkpoint first.
HGLOBAL WINAPI os_GlobalAlloc(UINT flags, SIZE_T bytes);
#  define GlobalAlloc os_GlobalAlloc
#endif
inline void os_GlobalRelease(HGLOBAL block) {
  if (block != nullptr && GlobalFlags(block) != GMEM_INVALID_HANDLE) GlobalFree(block);
}
// Lowers a live block's size to `bytes` in place (the block never moves), as
// when a surface's block is handed over without its spare tail. False for a
// block that is not live or a larger size.
bool os_GlobalShrink(HGLOBAL block, size_t bytes);

// WCHAR is wchar_t on Windows and char16_t elsewhere; both are UTF-16 code
// units, so text crosses the library's boundary by a cast.
static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR must be a UTF-16 code unit");
inline const WCHAR *os_W(const char16_t *text) { return reinterpret_cast<const WCHAR *>(text); }
inline WCHAR *os_W(char16_t *text) { return reinterpret_cast<WCHAR *>(text); }
inline const char16_t *os_U16(const WCHAR *text) { return reinterpret_cast<const char16_t *>(text); }
inline char16_t *os_U16(WCHAR *text) { return reinterpret_cast<char16_t *>(text); }

// ---------------------------------------------------------------------------
// Files.
struct os_File;

enum os_Access : unsigned { os_AccessRead = 1, os_AccessWrite = 2 };
// What other openers may do while this handle is open.
enum os_Share : unsigned { os_ShareNone = 0, os_ShareRead = 1, os_ShareWrite = 2, os_ShareDelete = 4 };
enum class os_Disposition {
  openExisting,  // fail when missing
  openAlways,    // create when missing
  createAlways,  // create or truncate
  createNew,     // fail when present
};
enum class os_SeekFrom { begin, current, end };

os_File *os_FileOpen(const char16_t *path, unsigned access, unsigned share, os_Disposition disposition);
// Reads up to `size` bytes; `*done` receives the count (0 at the end).
int os_FileRead(os_File *file, void *buffer, size_t size, size_t *done);
// The same from `offset`, in one call; the file position is left as it was.
int os_FileReadAt(os_File *file, int64_t offset, void *buffer, size_t size, size_t *done);
// Writes all of `size` bytes or fails.
int os_FileWrite(os_File *file, const void *buffer, size_t size);
int os_FileSeek(os_File *file, int64_t offset, os_SeekFrom from, int64_t *position);
int64_t os_FileSize(os_File *file);  // -1 on failure
int os_FileTruncateHere(os_File *file);
// Puts what was written on the disk before returning (a file flush fault).
int os_FileFlush(os_File *file);
void os_FileClose(os_File *file);
// The first `size` bytes of a file in one look (open, read, close), others
// free to read it meanwhile: 1 with `*done` set; 0 when it cannot be opened
// (a folder cannot), -1 when the read fails. Counted as an open by fault
// injection.
int os_FileReadHead(const char16_t *path, void *buffer, size_t size, size_t *done);

struct os_FileInfo {
  bool isFolder;
  bool readOnly;
  uint64_t size;
  uint64_t modified100ns;  // UTC, 100-ns units since 1601
};
int os_FileStat(const char16_t *path, os_FileInfo *info);
int os_FileExists(const char16_t *path);    // a file, not a folder
int os_FolderExists(const char16_t *path);
int os_FileDelete(const char16_t *path);
// The read-only attribute; on POSIX it is the owner's write bit being clear,
// and clearing it gives that bit back. A file attribute fault.
int os_FileSetReadOnly(const char16_t *path, bool read_only);
// The system's own description of an error, for messages shown to people.
std::u16string os_ErrorText(os_Error error);
// The name the desktop shell gives files like `path` ("PNG File"); the
// extension upper-cased plus " File" where there is no shell to ask.
std::u16string os_FileTypeName(const char16_t *path);
// Moves or renames; with `replace` an existing target is replaced atomically.
int os_FileMove(const char16_t *from, const char16_t *to, bool replace);
int os_FolderCreate(const char16_t *path);  // one level; 1 when it exists already
int os_FolderDelete(const char16_t *path);  // must be empty

// Calls `visit` for each entry of `folder` whose name matches `pattern`
// (`*` and `?`, case-insensitive as on the suite's home platform); "." and
// ".." are skipped. `visit` returns false to stop. Result 0 when the folder
// cannot be read.
using os_FolderVisitor = bool (*)(const char16_t *name, bool isFolder, void *context);
int os_FolderWalk(const char16_t *folder, const char16_t *pattern, os_FolderVisitor visit, void *context);
bool os_NameMatches(std::u16string_view name, std::u16string_view pattern);

// ---------------------------------------------------------------------------
// Modules.
struct os_Module;
os_Module *os_ModuleLoad(const char16_t *path);
void *os_ModuleSymbol(os_Module *module, const char *name);
void os_ModuleFree(os_Module *module);
// Full path of the module that contains `address_in_module`; empty on failure
// or when longer than os_MaxPath - 1 units.
std::u16string os_ModulePathOf(const void *address_in_module);
// Points the dependency search of later module loads at `folder` (null
// resets). Returns false where the system offers no such setting.
bool os_SetModuleSearchFolder(const char16_t *folder);
// True when the module holding `address_in_module` came with the program at
// its start (the program or a library it depends on was linked against it)
// rather than being loaded later: such a module is unloaded only by the
// process's exit.
bool os_ModuleLoadedWithProgram(const void *address_in_module);

// ---------------------------------------------------------------------------
// Fault guard: runs `call(context)` so that a crash inside it (invalid
// access, bus error, arithmetic fault, illegal instruction) makes the guard
// return false instead of ending the process. A stack overflow is not
// caught. Guards nest and work on every thread. Objects with destructors
// that live in the frames a fault unwinds are not destroyed, so a guarded
// call should hold no such objects across the risky access.
bool os_GuardedCall(void (*call)(void *context), void *context);
// Puts back the fault handlers that were in place before the first guard;
// the next guarded call installs the guard's own again. Called when the
// library is unloaded.
void os_FaultGuardRelease();

template <typename Call>
bool os_Guard(Call &&call) {
  return os_GuardedCall([](void *context) { (*static_cast<Call *>(context))(); },
                        const_cast<void *>(static_cast<const void *>(&call)));
}

// ---------------------------------------------------------------------------
// Threads, processes and time.
uint32_t os_ThreadId();  // never 0 for a live thread
bool os_ThreadIsAlive(uint32_t thread_id);
uint32_t os_ProcessId();
bool os_ProcessIsAlive(uint32_t process_id);

struct os_Thread;
// Starts `entry(context)` on a new thread; `stack_bytes` 0 takes the default.
os_Thread *os_ThreadStart(void (*entry)(void *context), void *context, size_t stack_bytes);
// Waits up to `milliseconds` for the thread to end; true when it has ended.
bool os_ThreadWait(os_Thread *thread, uint32_t milliseconds);
bool os_ThreadHasEnded(os_Thread *thread);
// Releases the handle. A thread that has not ended cannot be forced to stop
// on POSIX: it is detached and left to finish on its own.
void os_ThreadClose(os_Thread *thread);

void os_Sleep(uint32_t milliseconds);  // 0 yields the processor
uint32_t os_TickCount();                // milliseconds, wraps like the system's
uint64_t os_HighResCounter();
uint64_t os_HighResFrequency();          // counts per second
uint64_t os_UtcNow100ns();               // 100-ns units since 1601-01-01

// ---------------------------------------------------------------------------
// Notices: message boxes and the like go through one replaceable handler.
// Styles and answers use the message-box values.
enum : uint32_t {
  os_NoticeOk = 0,
  os_NoticeOkCancel = 1,
  os_NoticeAbortRetryIgnore = 2,
  os_NoticeYesNoCancel = 3,
  os_NoticeYesNo = 4,
  os_NoticeRetryCancel = 5,
  os_NoticeIconError = 0x10,
  os_NoticeIconQuestion = 0x20,
  os_NoticeIconWarning = 0x30,
  os_NoticeIconInformation = 0x40,
};
enum : int32_t { os_AnswerOk = 1, os_AnswerCancel = 2, os_AnswerAbort = 3, os_AnswerRetry = 4,
                 os_AnswerIgnore = 5, os_AnswerYes = 6, os_AnswerNo = 7 };

// A text-input notice (kind os_NoticeTextInput) shows `title` and, as its
// message, `text`, with an edit field that starts with `buffer`. The
// handler answers 1 after writing the typed text into `buffer` (at most
// `capacity` units with the NUL), or 0 when the user closed it.
enum os_NoticeKind : uint32_t { os_NoticeMessage = 0, os_NoticeTextInput = 1 };
struct os_Notice {
  HWND owner;
  const char16_t *text;
  const char16_t *title;
  uint32_t style;
  os_NoticeKind kind;
  char16_t *buffer;
  size_t capacity;
  bool password;  // the typed characters are hidden
};
using os_NoticeHandler = int32_t (*)(const os_Notice *notice, void *context);
// Installs `handler` (null restores the default) and returns the previous
// one. The default writes the notice to standard error and answers the safe
// choice: OK for a plain notice, otherwise Cancel, No or Abort.
os_NoticeHandler os_SetNoticeHandler(os_NoticeHandler handler, void *context, void **previous_context);
int32_t os_ShowNotice(HWND owner, const char16_t *text, const char16_t *title, uint32_t style);
int32_t os_DefaultNoticeAnswer(uint32_t style);
// Shows a text-input notice: 1 with the answer in `buffer` (cut to
// `capacity` - 1 units and terminated), 0 when closed; the default
// handler closes it.
int32_t os_ShowTextInput(HWND owner, const char16_t *title, const char16_t *message, char16_t *buffer,
                         size_t capacity, bool password);
// Zeroes memory in a way the compiler may not drop as a dead store (keys,
// typed passwords).
void os_SecureWipe(void *data, size_t size);

// ---------------------------------------------------------------------------
// Environment and well-known folders.
// The value of an environment variable; empty when unset.
std::u16string os_GetEnvironment(const char *name);
// The value of the install-path setting ("OrvinePhoto.Path"); empty when unset.
std::u16string os_InstallPathSetting();

enum class os_KnownFolder {
  commonAppData,  // shared application data
  publicDocuments,
  temp,
  home,
};
// The folder without a trailing separator; empty when it cannot be found.
// Each can be redirected for tests by an environment variable
// (VGM_APPDATA_DIR, VGM_CONTENT_DIR, VGM_TEMP_DIR).
std::u16string os_GetKnownFolder(os_KnownFolder folder);

// ---------------------------------------------------------------------------
// System facts.
// Executes the processor identification instruction; false where it is not
// available.
bool os_Cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]);
// Cores and logical processors online; 0 where unknown.
void os_ProcessorCounts(uint32_t *cores, uint32_t *logical);
// Processor architecture (0 x86, 5 ARM, 6 IA-64, 9 x64), family and model
// as the system reports them, for naming processors without cpuid.
void os_ProcessorArchitecture(uint32_t *architecture, uint32_t *level, uint32_t *revision);
bool os_MemoryStatus(uint64_t *total_bytes, uint64_t *available_bytes);
void os_DisplaySize(int32_t *width, int32_t *height);  // 0 x 0 without a display
// The system's own name for itself ("Debian GNU/Linux 12 (bookworm)") and
// its processor architecture name ("x86_64"); empty when unreadable.
std::u16string os_SystemName();
std::u16string os_MachineName();
// Facts only Windows has, for the host environment's naming rules; POSIX
// answers false to each.
struct os_WindowsVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  uint32_t productType;  // 1 workstation
  uint32_t suiteMask;
  bool serverR2;         // the system reports the R2 edition
};
// The extended version record as the kernel reports it (not the value the
// compatibility shims give programs); false when it cannot be read.
bool os_GetWindowsVersion(os_WindowsVersion *version);
// True when this is a 32-bit process on 64-bit Windows.
bool os_IsWow64();
// True under the Wine layer; `description` (may be null) receives
// "Wine Emulator <version> (<host system> <release>)", shorter when the
// layer tells less, at most 63 units.
bool os_WineDescription(std::u16string *description);

// ---------------------------------------------------------------------------
// Fault injection for tests: the `count`-th next operation of a kind fails
// with os_Error::injected (count 1 = the very next); 0 disarms.
enum class os_FaultKind { fileWrite, fileMove, allocation, fileOpen, fileFlush, fileDelete, fileAttribute, count_ };
void os_InjectFault(os_FaultKind kind, int count);
// The same, with `times` operations in a row failing from the count-th on
// (a retry that fails as well).
void os_InjectFaults(os_FaultKind kind, int count, int times);
// Called by the operations themselves: true when this one must fail.
bool os_FaultDue(os_FaultKind kind);
// True while a fault of the kind is armed and has not happened yet.
bool os_FaultArmed(os_FaultKind kind);
// Allocation hook for tests that measure what a piece of work takes:
// GlobalAlloc and GlobalFree on the calling thread report each block's size
// (negative when freed). Null removes it.
using os_AllocationHook = void (*)(int64_t bytes);
void os_SetAllocationHook(os_AllocationHook hook);

// ---------------------------------------------------------------------------
// Host environment services
// The running program's own file (the process's main module); empty when
// unknown or longer than os_MaxPath - 1 units.
std::u16string os_ExecutablePath();
// The account's login name, and its descriptive full name (empty when the
// account has none).
std::u16string os_UserLoginName();
std::u16string os_UserFullName();
// Minutes to add to local standard time to get UTC (300 for UTC-5).
int32_t os_TimeZoneBiasMinutes();
// The desktop theme's button-face colour as 0x00BBGGRR; false when there is
// no desktop theme to ask.
bool os_ButtonFaceColor(uint32_t *colour);
// The system's query for the current app package's name: 1 when the
// process runs from an installed package, 0 when it does not, -1 when the
// system has no such query or gives another answer.
int os_AppPackageQuery();
// The per-user (roaming) application-data folder, without a trailing
// separator; redirected by VGM_APPDATA_DIR like the shared one.
std::u16string os_GetUserAppDataFolder();
// Gives the built-in Users group full, inherited access to a folder.
int os_FolderGrantUsers(const char16_t *path);
// Marks a folder or file as a system item (shown with its own icon).
int os_SetSystemAttribute(const char16_t *path);
// True when `path` itself is a symbolic link (not followed).
bool os_PathIsLink(const char16_t *path);
// The final target of a symbolic link; empty when `path` is no link, the
// target is missing or its path does not fit os_MaxPath.
std::u16string os_LinkTarget(const char16_t *path);
// Copies one file; with `replace` an existing target is overwritten. Counts
// as a file write for fault injection.
int os_FileCopy(const char16_t *from, const char16_t *to, bool replace);
// os_FileMove that also crosses volumes: a file is copied and the source
// deleted; a folder that would have to be copied fails (callers move its
// content entry by entry). Counts as a file move for fault injection.
int os_MoveAcrossVolumes(const char16_t *from, const char16_t *to, bool replace);
// Deletes a folder and everything below it, depth-first, never following
// symbolic links: a link inside the tree is removed as a link; a link given
// as `path` is refused. 1 when the folder is gone.
int os_FolderDeleteTree(const char16_t *path);

// ---------------------------------------------------------------------------
// Plug-in support
// The file names a module needs (the dynamic section's needed list of an ELF
// object, the import table of a PE file), in file order. False when the file
// cannot be read or is no such object.
bool os_ModuleNeededNames(const char16_t *path, std::vector<std::u16string> *names);
// The same for an object image held in memory (fuzzing, tests).
bool os_ModuleNeededNamesOfImage(const void *image, size_t size, std::vector<std::u16string> *names);
// Loads a module by full path; when that fails for a missing dependency, the
// missing ones are looked for in `folders`, in order (first match wins), loaded
// and the module is tried again. Null when it still does not load.
os_Module *os_ModuleLoadSearching(const char16_t *path, const std::u16string *folders, size_t folder_count);
// The file a loaded module came from; empty when unknown.
std::u16string os_ModuleFilePath(os_Module *module);
// The signal that ended the calling thread's last failed guarded call (0 when
// none failed yet).
int os_GuardLastSignal();

// Power source: whether a battery is present, whether mains power is on, and
// the remaining charge in percent (255 when unknown). On POSIX it reads the
// power-supply class folder, which VGM_POWER_SUPPLY_DIR may redirect.
struct os_PowerStatus {
  bool batteryPresent;
  bool acOnline;
  uint8_t percent;
};
bool os_GetPowerStatus(os_PowerStatus *status);

// ---------------------------------------------------------------------------
// Processes and the duplex pipe of the video bridge.
struct os_Process;
// Starts the program at the full path `path` with a Windows-style command
// line (arguments split at blanks, double quotes group). Nothing of this
// process's open handles is inherited. Null when it cannot be started.
os_Process *os_ProcessStart(const char16_t *path, const char16_t *command_line);
// True while the process runs; false once it has ended (it is reaped then).
bool os_ProcessIsRunning(os_Process *process);
// Ends the process at once and reaps it.
void os_ProcessTerminate(os_Process *process);
// Releases the handle; a process still running is terminated first, so that
// none is left behind unreaped.
void os_ProcessClose(os_Process *process);
uint32_t os_ProcessIdOf(os_Process *process);
// Whether a 64-bit helper program can run beside this process.
bool os_Can64BitHelperRun();

struct os_Pipe;
// Creates the listening end of a duplex byte pipe by its full name
// ("\\.\pipe\name"), first instance only: null when the name is taken.
os_Pipe *os_PipeCreate(const char16_t *full_name);
// Waits up to `milliseconds` (in 50 ms steps) for the peer to connect. With a
// nonzero `peer_process` only that process is accepted. 1 when connected.
int os_PipeAccept(os_Pipe *pipe, uint32_t milliseconds, uint32_t peer_process);
// Moves exactly `size` bytes within `milliseconds` (waits of 50 ms), never
// raising a signal when the peer is gone. 1 when every byte moved; `*moved`
// (may be null) receives the count moved either way.
int os_PipeWrite(os_Pipe *pipe, const void *data, size_t size, uint32_t milliseconds, size_t *moved);
int os_PipeRead(os_Pipe *pipe, void *data, size_t size, uint32_t milliseconds, size_t *moved);
// Ends both directions so that a peer waiting on the pipe sees it closed.
void os_PipeShutdown(os_Pipe *pipe);
void os_PipeClose(os_Pipe *pipe);
// Two connected ends without a name (tests and fuzzing).
bool os_PipeCreatePair(os_Pipe **a, os_Pipe **b);

// Code pages: the system ANSI code page of the suite's home platform. On
// POSIX it is Windows-1252 by our own table; characters it cannot hold
// become '?'. `length` counts bytes (units) and stops early at a NUL.
std::u16string os_AnsiToUtf16(const char *text, size_t length);
std::string os_Utf16ToAnsi(std::u16string_view text);

// Bytes read through os_FileRead and os_FileReadAt on the calling thread since it started
// (tests check that a reader touched only what it had to).
uint64_t os_FileBytesReadTotal();

// Plug-in host services
// The system's default beep; silent where there is no such sound (POSIX).
void os_Beep();
