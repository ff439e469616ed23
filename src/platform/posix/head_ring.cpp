// Each system call costs far more than the little work a header look asks of
// the kernel, so the look queues its open, read and close on a per-thread
// submission ring and enters the kernel once. The file is opened into the
// ring's own descriptor slot: it never appears in the process's descriptor
// table, and the close is hard-linked so that it runs whatever the read gave.
#include "platform/posix/head_ring.h"

#if defined(__linux__) && __has_include(<linux/io_uring.h>)

#include <fcntl.h>
#include <linux/io_uring.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

constexpr unsigned kEntries = 4;
constexpr unsigned kSteps = 3;  // open, read, close

std::atomic<bool> gRefused{false};  // the system offers no ring: nobody asks again
std::atomic<unsigned> gForks{0};    // a forked child must not touch its parent's rings
std::once_flag gForkWatch;

void countFork() { gForks.fetch_add(1, std::memory_order_relaxed); }

struct Ring {
  int fd = -1;
  unsigned looks = 0;  // looks made without a ring
  unsigned forks = 0;
  void *ringMap = nullptr;
  size_t ringBytes = 0;
  void *entryMap = nullptr;
  size_t entryBytes = 0;
  unsigned *sqHead = nullptr, *sqTail = nullptr, *sqMask = nullptr, *sqArray = nullptr;
  unsigned *cqHead = nullptr, *cqTail = nullptr, *cqMask = nullptr;
  io_uring_sqe *entries = nullptr;
  io_uring_cqe *completions = nullptr;

  Ring() = default;
  Ring(const Ring &) = delete;
  Ring &operator=(const Ring &) = delete;
  ~Ring() { release(); }

  void release() {
    if (entryMap != nullptr) munmap(entryMap, entryBytes);
    if (ringMap != nullptr) munmap(ringMap, ringBytes);
    if (fd >= 0) close(fd);
    fd = -1;
    ringMap = entryMap = nullptr;
    looks = 0;
  }

  bool start() {
    io_uring_params params{};
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    fd = static_cast<int>(syscall(__NR_io_uring_setup, kEntries, &params));
    if (fd < 0 && errno == EINVAL) {  // a kernel without those two flags
      params = io_uring_params{};
      fd = static_cast<int>(syscall(__NR_io_uring_setup, kEntries, &params));
    }
    // Older kernels resolve a linked request's file before the open before it has run.
    constexpr uint32_t kNeeded = IORING_FEAT_SINGLE_MMAP | IORING_FEAT_LINKED_FILE;
    if (fd < 0 || (params.features & kNeeded) != kNeeded) return false;
    ringBytes = std::max<size_t>(params.sq_off.array + params.sq_entries * sizeof(unsigned),
                                 params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe));
    void *map = mmap(nullptr, ringBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQ_RING);
    if (map == MAP_FAILED) return false;
    ringMap = map;
    entryBytes = params.sq_entries * sizeof(io_uring_sqe);
    map = mmap(nullptr, entryBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQES);
    if (map == MAP_FAILED) return false;
    entryMap = map;
    auto *base = static_cast<char *>(ringMap);
    sqHead = reinterpret_cast<unsigned *>(base + params.sq_off.head);
    sqTail = reinterpret_cast<unsigned *>(base + params.sq_off.tail);
    sqMask = reinterpret_cast<unsigned *>(base + params.sq_off.ring_mask);
    sqArray = reinterpret_cast<unsigned *>(base + params.sq_off.array);
    cqHead = reinterpret_cast<unsigned *>(base + params.cq_off.head);
    cqTail = reinterpret_cast<unsigned *>(base + params.cq_off.tail);
    cqMask = reinterpret_cast<unsigned *>(base + params.cq_off.ring_mask);
    completions = reinterpret_cast<io_uring_cqe *>(base + params.cq_off.cqes);
    entries = static_cast<io_uring_sqe *>(entryMap);
    io_uring_rsrc_register slots{};
    slots.nr = 1;
    slots.flags = IORING_RSRC_REGISTER_SPARSE;
    if (syscall(__NR_io_uring_register, fd, IORING_REGISTER_FILES2, &slots, sizeof slots) < 0) return false;
    forks = gForks.load(std::memory_order_relaxed);
    return true;
  }

  io_uring_sqe &queue(unsigned tail, unsigned step, uint8_t opcode) {
    unsigned index = (tail + step) & *sqMask;
    io_uring_sqe &entry = entries[index];
    std::memset(&entry, 0, sizeof entry);
    entry.opcode = opcode;
    entry.user_data = step;
    sqArray[index] = index;
    return entry;
  }

  // Takes the completions that arrived; `pending` counts those still due.
  void reap(long results[kSteps], unsigned *pending) {
    unsigned head = *cqHead;
    unsigned end = __atomic_load_n(cqTail, __ATOMIC_ACQUIRE);
    for (; head != end; ++head) {
      const io_uring_cqe &done = completions[head & *cqMask];
      if (done.user_data < kSteps && *pending > 0) results[done.user_data] = done.res, --*pending;
    }
    __atomic_store_n(cqHead, head, __ATOMIC_RELEASE);
  }
};

thread_local Ring tRing;

}  // namespace

bool posix_RingReadHead(const char *name, void *buffer, size_t size, posix_RingLook *look) {
  if (gRefused.load(std::memory_order_relaxed) || size > UINT32_MAX) return false;
  Ring &ring = tRing;
  if (ring.fd >= 0 && ring.forks != gForks.load(std::memory_order_relaxed)) {
    // A child's copy shares its parent's ring memory: let it go unused.
    ring.release();
  }
  if (ring.fd < 0) {
    // A thread that looks once is cheaper without a ring: it comes with the second look.
    if (++ring.looks < 2) return false;
    std::call_once(gForkWatch, [] { pthread_atfork(nullptr, nullptr, countFork); });
    if (!ring.start()) {
      ring.release();
      gRefused.store(true, std::memory_order_relaxed);
      return false;
    }
  }

  unsigned tail = *ring.sqTail;  // only this thread submits
  io_uring_sqe &open = ring.queue(tail, 0, IORING_OP_OPENAT);
  open.fd = AT_FDCWD;
  open.addr = reinterpret_cast<uintptr_t>(name);
  open.open_flags = O_RDONLY;
  open.file_index = 1;  // slot 0
  open.flags = IOSQE_IO_HARDLINK;
  io_uring_sqe &read = ring.queue(tail, 1, IORING_OP_READ);
  read.fd = 0;
  read.addr = reinterpret_cast<uintptr_t>(buffer);
  read.len = static_cast<uint32_t>(size);
  read.off = 0;
  read.flags = IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
  io_uring_sqe &closing = ring.queue(tail, 2, IORING_OP_CLOSE);
  closing.file_index = 1;
  __atomic_store_n(ring.sqTail, tail + kSteps, __ATOMIC_RELEASE);

  long entered = syscall(__NR_io_uring_enter, ring.fd, kSteps, kSteps, IORING_ENTER_GETEVENTS, nullptr, 0);
  unsigned taken = __atomic_load_n(ring.sqHead, __ATOMIC_ACQUIRE) - tail;
  if (taken < kSteps) __atomic_store_n(ring.sqTail, tail + taken, __ATOMIC_RELEASE);  // withdraw the rest
  long results[kSteps] = {};
  unsigned pending = taken;
  ring.reap(results, &pending);
  // The read writes into the caller's buffer: never leave while it may still run.
  while (pending > 0) {
    entered = syscall(__NR_io_uring_enter, ring.fd, 0, pending, IORING_ENTER_GETEVENTS, nullptr, 0);
    if (entered < 0 && errno != EINTR && errno != EAGAIN && errno != EBUSY) break;
    ring.reap(results, &pending);
  }
  if (pending > 0 || taken < kSteps) {
    ring.release();  // whatever is left is cancelled with the ring
    return false;
  }
  look->open = static_cast<int>(results[0]);
  look->read = results[1];
  return true;
}

#else

bool posix_RingReadHead(const char *, void *, size_t, posix_RingLook *) { return false; }

#endif
