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

}  // namespace wavtally
