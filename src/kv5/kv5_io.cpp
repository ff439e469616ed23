#include "kv5/kv5_io.h"

#include <algorithm>
#include <cstring>

#include "platform/os.h"

size_t kv5_FileStream::read(void *buffer, size_t size) {
  size_t done = 0;
  os_FileRead(file_, buffer, size, &done);  // reads on until the end or an error
  return done;
}

bool kv5_FileStream::write(const void *buffer, size_t size) {
  return size == 0 || os_FileWrite(file_, buffer, size) != 0;
}

bool kv5_FileStream::seek(int64_t offset, kv5_SeekFrom from) {
  os_SeekFrom origin = from == kv5_SeekFrom::begin     ? os_SeekFrom::begin
                       : from == kv5_SeekFrom::current ? os_SeekFrom::current
                                                       : os_SeekFrom::end;
  // The system refuses a target before the start and leaves the position.
  return os_FileSeek(file_, offset, origin, nullptr) != 0;
}

int64_t kv5_FileStream::position() {
  int64_t at = -1;
  if (!os_FileSeek(file_, 0, os_SeekFrom::current, &at)) return -1;
  return at;
}

size_t kv5_MemoryStream::read(void *buffer, size_t size) {
  size_t end = std::min(data_.size(), readLimit);
  if (position_ >= end) return 0;
  size_t count = std::min(size, end - position_);
  std::memcpy(buffer, data_.data() + position_, count);
  position_ += count;
  return count;
}

bool kv5_MemoryStream::write(const void *buffer, size_t size) {
  if (size == 0) return true;
  if (written_ + size > writeLimit) {
    // Write what fits, as a full disk would, then report the short write.
    size_t fits = writeLimit > written_ ? writeLimit - written_ : 0;
    if (fits > 0) write(buffer, fits);
    written_ = writeLimit;
    return false;
  }
  if (position_ + size > data_.size()) data_.resize(position_ + size);
  std::memcpy(data_.data() + position_, buffer, size);
  position_ += size;
  written_ += size;
  return true;
}

bool kv5_MemoryStream::seek(int64_t offset, kv5_SeekFrom from) {
  int64_t base = from == kv5_SeekFrom::begin     ? 0
                 : from == kv5_SeekFrom::current ? static_cast<int64_t>(position_)
                                                 : static_cast<int64_t>(std::min(data_.size(), readLimit));
  if (offset < -base) return false;
  position_ = static_cast<size_t>(base + offset);
  return true;
}
