// Memory facts the raster engine needs to check the pointers it is given.
#pragma once

#include <cstddef>

// The system's page size in bytes.
size_t os_PageSize();
// True when `address` lies in memory mapped executable (a callable hook).
bool os_IsExecutable(const void *address);
// Touches the first byte of the range, then one byte every `step` bytes, and
// the last byte, under the fault guard; with `write` each touched byte is
// written back unchanged by an atomic read-modify-write, so concurrent
// writers lose nothing. True for an empty range, false when a touch faults.
bool os_ProbeBytes(const void *address, size_t length, size_t step, bool write);
// Tells the system that the range, not yet touched, is about to be filled
// whole: large ranges then take memory in big pages, one fault each instead
// of one per small page. A hint only; nothing happens for small ranges or
// where the system has no such pages.
void os_AdviseBulkFill(void *address, size_t length);
