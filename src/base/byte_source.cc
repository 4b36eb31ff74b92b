#include "base/byte_source.h"

#include <algorithm>
#include <cstring>

namespace wavtally {

size_t MemoryByteSource::ReadAt(uint64_t offset, void* data, size_t size) {
  if (offset >= bytes_.size()) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(size, bytes_.size() - offset));
  std::memcpy(data, bytes_.data() + offset, n);
  return n;
}

size_t HeadByteSource::ReadAt(uint64_t offset, void* data, size_t size) {
  if (offset >= size_) return 0;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
  if (offset <= bytes_.size() && want <= bytes_.size() - offset) {
    std::memcpy(data, bytes_.data() + offset, want);
    return want;
  }
  if (!file_ && open_) {
    file_ = open_();
    open_ = nullptr;
  }
  return file_ ? file_->ReadAt(offset, data, want) : 0;
}

}  // namespace wavtally
