// What the suite reports about the machine: processor name and counts,
// instruction-set extensions, emulation layers, the operating system's name,
// and the summary text of core_GetSysInfoStr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/os.h"

inline constexpr size_t kProcessorNameCapacity = 1024;  // bytes
inline constexpr size_t kOsNameCapacity = 64;           // UTF-16 units

// Cores when `physical_cores` is set, logical processors otherwise (never
// fewer than the cores).
int sys_GetProcessorCount(bool physical_cores);
// ANSI name into a buffer of kProcessorNameCapacity bytes; returns 1.
int sys_GetProcessorName(char *buffer);
bool sys_IsWow64();
// True when the compatibility layer is present; with a buffer (kOsNameCapacity
// units) writes its description.
bool sys_GetWineVersion(char16_t *buffer);
// The operating system's name into kOsNameCapacity units; 0 when unreadable.
int sys_GetOsName(char16_t *buffer);

// Instruction-set probes: each executes one instruction of the extension on
// fixed operands under the fault guard and checks the result; 1 or 0.
int sys_HasMMX();
int sys_HasSSE1();
int sys_HasSSE2();
int sys_HasSSE3();
int sys_HasSSSE3();
int sys_HasSSE41();
int sys_HasSSE42();
int sys_HasAVX1();
int sys_HasAVX2();
int sys_HasPOPCNT();

// Pure naming rules, exposed so that they can be checked against their tables.
// Processor by architecture (0 x86, 5 ARM, 6 IA-64, 9 x64), family level and model.
const char *sys_ProcessorNameFromTable(uint32_t architecture, uint32_t level, uint32_t model);
// Windows names from the version record; `s` is " x64" under WOW64, else " x86".
struct sys_WindowsVersion : os_WindowsVersion {
  bool wow64;
};
std::u16string sys_WindowsName(const sys_WindowsVersion &version);

// The facts the summary is built from, gathered by sys_GatherFacts.
struct sys_Facts {
  std::string processorName;
  int cores;
  int threads;
  uint64_t totalMemory;      // bytes; 0 when unknown
  uint64_t availableMemory;
  std::u16string osName;     // empty when unreadable
  int displayWidth;
  int displayHeight;
};
sys_Facts sys_GatherFacts();
// "CPU: %s \nCores: %i/%i \nRAM: %i/%i MB\nOS: %s \nDisplay: %ix%i \n"
std::u16string sys_SummaryText(const sys_Facts &facts);
