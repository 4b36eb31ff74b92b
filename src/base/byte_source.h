#pragma once

// The bytes of one open file, as the file system hands them to the reader:
// random access by offset, so that a header is read where it lies and
// nothing before it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

/// A ByteSource over the first bytes of a file of a known size, read ahead,
/// that goes on into the file itself for what lies beyond them: a header
/// behind a large chunk costs the file's own reads, and is parsed once.
class HeadByteSource : public ByteSource {
 public:
  /// Opens the file for what the head lacks; returns null when it cannot.
  using Opener = std::function<std::unique_ptr<ByteSource>()>;
  /// Reads bytes, the first of a file of size bytes, which must outlive it,
  /// and the rest from what open gives, opened at the first read past them.
  HeadByteSource(std::span<const uint8_t> bytes, uint64_t size, Opener open)
      : bytes_(bytes), size_(size), open_(std::move(open)) {}
  /// Returns the file's size.
  uint64_t Size() const override { return size_; }
  /// Copies the bytes at offset, up to size and the end of the file, from
  /// the head when it holds them all, else from the file; returns their
  /// count, 0 when the file could not be opened.
  size_t ReadAt(uint64_t offset, void* data, size_t size) override;

 private:
  std::span<const uint8_t> bytes_;
  uint64_t size_;
  Opener open_;
  std::unique_ptr<ByteSource> file_;  // once a read went past the head
};

}  // namespace wavtally
