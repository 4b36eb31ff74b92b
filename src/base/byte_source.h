#pragma once

// The bytes of one open file, as the file system hands them to the reader:
// random access by offset, so that a header is read where it lies and
// nothing before it.

#include <cstddef>
#include <cstdint>
#include <span>

namespace wavtally {

/// Random access to the bytes of one file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  /// Returns the size of the source in bytes.
  virtual uint64_t Size() const = 0;
  /// Reads up to size bytes at offset into data; returns the count read,
  /// short only at the end of the source or on an error.
  virtual size_t ReadAt(uint64_t offset, void* data, size_t size) = 0;
};

/// A ByteSource over bytes in memory, which must outlive it; it reads exactly
/// what a file holding the same bytes would give.
class MemoryByteSource : public ByteSource {
 public:
  explicit MemoryByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  /// Returns the number of bytes.
  uint64_t Size() const override { return bytes_.size(); }
  /// Copies the bytes at offset that exist, up to size; returns their count.
  size_t ReadAt(uint64_t offset, void* data, size_t size) override;

 private:
  std::span<const uint8_t> bytes_;
};

/// A ByteSource over the first bytes of a file of a known size. A read it
/// cannot answer from them, inside the file, sets *missed: what was parsed
/// from it must be read again from the file itself.
class HeadByteSource : public ByteSource {
 public:
  /// Reads bytes, the first of a file of size bytes; bytes and missed must
  /// outlive it.
  HeadByteSource(std::span<const uint8_t> bytes, uint64_t size, bool* missed)
      : bytes_(bytes), size_(size), missed_(missed) {}
  /// Returns the file's size.
  uint64_t Size() const override { return size_; }
  /// Copies the bytes at offset, up to size and the end of the file; returns
  /// their count, or 0 with *missed set past the bytes it holds.
  size_t ReadAt(uint64_t offset, void* data, size_t size) override;

 private:
  std::span<const uint8_t> bytes_;
  uint64_t size_;
  bool* missed_;
};

}  // namespace wavtally
