#include "base/posix/read_all.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/posix/posix_error.h"

namespace wavtally {
namespace {

// A file of 100 bytes (0, 1, 2, ...) served as a share may serve it: at
// most 7 bytes a read, and every third read cut short by a signal.
constexpr size_t kFileSize = 100;
int calls = 0;

ssize_t ShortReads(int, void* data, size_t size, off_t offset) {
  if (++calls % 3 == 0) {
    errno = EINTR;
    return -1;
  }
  if (offset >= static_cast<off_t>(kFileSize)) return 0;
  const size_t n = std::min({size, size_t{7}, kFileSize - static_cast<size_t>(offset)});
  for (size_t i = 0; i < n; ++i)
    static_cast<unsigned char*>(data)[i] = static_cast<unsigned char>(offset + i);
  return static_cast<ssize_t>(n);
}

ssize_t Failing(int, void*, size_t, off_t) {
  errno = EIO;
  return -1;
}

ssize_t AlwaysInterrupted(int, void*, size_t, off_t) {
  ++calls;
  errno = EINTR;
  return -1;
}

TEST(ReadAllAtTest, ShortReadsAreContinuedToTheEndOfTheFile) {
  unsigned char data[64] = {};
  calls = 0;
  EXPECT_EQ(platform::ReadAllAt(-1, data, 40, 10, &ShortReads), 40u);
  for (size_t i = 0; i < 40; ++i) ASSERT_EQ(data[i], 10 + i) << i;
  // Past the end only what is there; at an error what came before it.
  EXPECT_EQ(platform::ReadAllAt(-1, data, 64, 80, &ShortReads), 20u);
  EXPECT_EQ(platform::ReadAllAt(-1, data, 64, 200, &ShortReads), 0u);
  EXPECT_EQ(platform::ReadAllAt(-1, data, 64, 0, &Failing), 0u);
  // A read that is never let finish ends as a failed one.
  calls = 0;
  EXPECT_EQ(platform::ReadAllAt(-1, data, 64, 0, &AlwaysInterrupted), 0u);
  EXPECT_EQ(calls, platform::kMostInterruptions + 1);
}

}  // namespace
}  // namespace wavtally
