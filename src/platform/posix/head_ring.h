// The header look in one system call: open, read and close queued together
// on the thread's submission ring, where the kernel offers one.
#pragma once

#include <cstddef>

// Outcome of a look through the ring: the open's and the read's results as
// the system calls would give them (a value >= 0, or minus the error code).
struct posix_RingLook {
  int open = 0;
  long read = 0;
};

// False when the ring cannot serve this look (no ring on this system or in
// this thread yet, or an unexpected answer); then nothing was read and the
// caller looks the ordinary way.
bool posix_RingReadHead(const char *name, void *buffer, size_t size, posix_RingLook *look);
