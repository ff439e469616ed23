// The raster engine's per-thread state: every engine call finds the calling
// thread's record in a table of 128 slots (last error, clip rectangle, source
// offset, background pattern, kernel scratch memory, notification hook). The
// table, the engine start (processor check, blend tables) and the background
// thread that reclaims the slots of ended threads live in thread_state.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/raster_codes.h"

struct rx_Surface;

// Called with a diagnostic code and the hook's user value.
using rx_NotifyHook = void (*)(int32_t code, uintptr_t user);

struct rx_ThreadState {
  uint32_t threadId;  // 0: free slot; read and written with atomic operations
  int32_t lastError;
  int32_t clipLeft;  // inclusive
  int32_t clipTop;
  int32_t clipRight;
  int32_t clipBottom;
  int32_t sourceOffsetX;  // 1/256 pixel
  int32_t sourceOffsetY;
  uint32_t checkerColor1;
  uint32_t checkerColor2;
  int32_t patternOriginX;
  int32_t patternOriginY;
  rx_Surface *patternSurface;
  uint32_t *patternRow;
  int32_t patternX;
  int32_t patternSpan;
  int32_t checkerScale;  // cell index = (coordinate * scale) >> shift
  int32_t checkerShift;
  void *scratch;
  unsigned char *coordinateTables;  // one block of rx_CoordinateTablesBytes
  uint32_t *columnIndex;
  unsigned char *columnFraction;
  uint32_t *rowIndex;
  unsigned char *rowFraction;
  int32_t adjustmentMode;
  int32_t adjustmentParameter;
  uint32_t adjustmentTableSize;
  void *adjustmentTables;
  rx_NotifyHook notifyHook;
  // Pointer-sized so that a hook can get its own record back on 64-bit builds.
  uintptr_t hookUser;
};

inline constexpr int rx_SlotCount = 128;
inline constexpr int32_t rx_ClipUnlimited = 65536;
inline constexpr uint32_t rx_DefaultChecker1 = 0x00CCCCCC;
inline constexpr uint32_t rx_DefaultChecker2 = 0x00777777;
inline constexpr size_t rx_CoordinateTablesBytes = 0xA1000;

// Processor feature mask bits.
enum : uint32_t {
  rx_HasMMX = 1u << 0,
  rx_HasSSE1 = 1u << 1,
  rx_HasSSE2 = 1u << 2,
  rx_HasSSE3 = 1u << 3,
  rx_HasSSSE3 = 1u << 4,
  rx_HasSSE41 = 1u << 5,
  rx_HasSSE42 = 1u << 6,
  rx_HasAVX1 = 1u << 8,
  rx_HasAVX2 = 1u << 9,
  rx_HasPOPCNT = 1u << 12,
};

// The four 256 x 256 blend tables, indexed [destination * 256 + source].
enum rx_BlendTableId { rx_TableDivision = 0, rx_TableOverlay = 1, rx_TableDodge = 2, rx_TableBurn = 3 };

// First call: checks the processor, builds the blend tables; later calls
// count. Result 0 when the processor or memory is lacking, else the count.
// Called at library load; rx_GetThreadState starts the engine when needed.
int32_t rx_EngineStart();
// At library unload: frees the tables, stops the housekeeping thread and
// releases every slot. Every rx_ThreadState pointer is stale afterwards.
void rx_EngineStop();
// The calling thread's record; null only when the engine cannot start.
rx_ThreadState *rx_GetThreadState();
// Stops the housekeeping thread if it runs (bounded); result 1.
int32_t rx_StopHousekeeping();

int32_t rx_SetClipRect(const rx_Rect *rect);
int32_t rx_GetClipRect(rx_Rect *rect);
int32_t rx_SetSourceOffset(int32_t dx, int32_t dy);
int32_t rx_SetNotifyHook(rx_NotifyHook hook, uintptr_t user);
// Sends `code` to the calling thread's hook, guarded against faults in it.
int32_t rx_Notify(int32_t code);
// 0 when the whole range can be read (and with `write`, written); 1 when the
// pointer is null or an access faults.
int32_t rx_ProbeMemory(const void *pointer, size_t length, bool write);
bool rx_IsThreadAlive(uint32_t thread_id);

// The last error code of the calling thread (0 when the state is unavailable).
int32_t rx_GetLastError();
void rx_SetLastError(int32_t code);

uint32_t rx_GetFeatureMask();
// Null while the engine is not started.
const uint8_t *rx_GetBlendTable(rx_BlendTableId table);

// Replaces a checker scale or shift of 0 by its default (1 and 2).
void rx_ApplyCheckerDefaults(rx_ThreadState *state);
// The coordinate tables of the resampling kernels, allocated zero-filled on
// first use; false with error code 8 when there is no memory.
bool rx_GetCoordinateTables(rx_ThreadState *state);

// The table lock and the slot reclaim, exposed for the kernels' long
// operations and for tests.
void rx_LockSlots();
void rx_UnlockSlots();
void rx_ReclaimSlots();

// Observation for diagnostics and tests.
enum class rx_HousekeepingStatus { absent, running, stopRequested, ended };
rx_HousekeepingStatus rx_GetHousekeepingStatus();
int rx_CountOccupiedSlots();
// True when `state` is one of the 128 table slots (not a thread's private
// fallback record, used when all slots belong to live threads).
bool rx_IsTableSlot(const rx_ThreadState *state);
