// The byte source and sink the KV5 stream functions read and write through:
// an open file of the platform layer, or memory (tests feed truncated and
// faulty "files" this way).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct os_File;

enum class kv5_SeekFrom { begin, current, end };

class kv5_Stream {
 public:
  virtual ~kv5_Stream() = default;
  // Reads up to `size` bytes; returns how many were read (fewer at the end
  // of the data or after an error).
  virtual size_t read(void *buffer, size_t size) = 0;
  // Writes all of `size` bytes; false when not all of them were written.
  virtual bool write(const void *buffer, size_t size) = 0;
  // Moves the position; false (position unchanged) when the target would
  // lie before the start or the move fails.
  virtual bool seek(int64_t offset, kv5_SeekFrom from) = 0;
  // The current position, -1 when unknown.
  virtual int64_t position() = 0;
};

// An open platform file; the caller keeps ownership of the handle.
class kv5_FileStream final : public kv5_Stream {
 public:
  explicit kv5_FileStream(os_File *file) : file_(file) {}
  size_t read(void *buffer, size_t size) override;
  bool write(const void *buffer, size_t size) override;
  bool seek(int64_t offset, kv5_SeekFrom from) override;
  int64_t position() override;

 private:
  os_File *file_;
};

// A growable byte vector. Reading stops at its end; writing past the end
// extends it. For tests, `readLimit` and `writeLimit` make the data look
// shorter to readers and make writes fail once the total written would pass
// the limit (a full disk).
class kv5_MemoryStream final : public kv5_Stream {
 public:
  kv5_MemoryStream() = default;
  explicit kv5_MemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
  kv5_MemoryStream(const void *data, size_t size)
      : data_(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + size) {}

  size_t read(void *buffer, size_t size) override;
  bool write(const void *buffer, size_t size) override;
  bool seek(int64_t offset, kv5_SeekFrom from) override;
  int64_t position() override { return static_cast<int64_t>(position_); }

  const std::vector<uint8_t> &data() const { return data_; }
  std::vector<uint8_t> &data() { return data_; }

  size_t readLimit = SIZE_MAX;
  size_t writeLimit = SIZE_MAX;

 private:
  std::vector<uint8_t> data_;
  size_t position_ = 0;
  size_t written_ = 0;
};
