#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "base/platform.h"
#include "base/posix/at_path.h"
#include "base/text.h"

namespace wavtally::platform {

std::unique_ptr<RegularFile> RegularFile::Open(const CStdStr& path, std::string* error) {
  error->clear();
  const std::string bytes = EncodeUtf8(path);
  if (bytes.find('\0') != std::string::npos) return nullptr;
  AtPath at;
  int code = 0;
  int fd = -1;
  if (at.Resolve(bytes, &code)) {
    // O_NONBLOCK keeps a FIFO or a device from stalling the walk in open();
    // it changes nothing for the regular files that are kept.
    do {
      fd = ::openat(at.Dir(), at.Name(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) code = errno;
  }
  if (fd < 0) {
    // Only a file that could not be reached is worth a word; one that is
    // there but may not be read just gets its N/A line.
    if (IsUnreachable(code) && !at.LeadsNowhere(code)) *error = ErrorText(code);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<RegularFile>(new RegularFile(fd, static_cast<uint64_t>(st.st_size)));
}

RegularFile::~RegularFile() { ::close(static_cast<int>(handle_)); }

size_t RegularFile::ReadAt(uint64_t offset, void* data, size_t size) {
  const int fd = static_cast<int>(handle_);
  auto* out = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    const uint64_t at = offset + done;
    if (at < offset || at > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) break;
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace wavtally::platform
