#pragma once

// A temporary folder tree for tests, removed with everything in it when the
// TempTree goes out of scope.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace wavtally::test {

/// Returns how many descriptors this process has open: from /proc where
/// there is one, else by asking each number up to the limit.
inline size_t OpenDescriptors() {
  size_t open = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(fds)) open += entry->d_name[0] != '.';
    closedir(fds);
    return open - 1;  // the listing's own
  }
  const long most = std::min(sysconf(_SC_OPEN_MAX), 65536L);
  for (long fd = 0; fd < most; ++fd) open += fcntl(static_cast<int>(fd), F_GETFD) != -1;
  return open;
}

class TempTree {
 public:
  TempTree() {
    std::string templ = std::filesystem::temp_directory_path().string() + "/wavtally-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = templ;
  }
  ~TempTree() {
    std::error_code ec;
    // Folders a test made unreadable must be opened up again to be removed.
    for (const std::string& dir : locked_) chmod(dir.c_str(), 0755);
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  /// Returns the tree's root folder, without a trailing separator.
  const std::string& Root() const { return root_; }
  /// Returns the absolute path of rel inside the tree.
  std::string At(const std::string& rel) const { return root_ + "/" + rel; }

  /// Writes bytes to rel, making its folders; returns the absolute path.
  std::string File(const std::string& rel, const std::vector<uint8_t>& bytes = {}) {
    const std::string path = At(rel);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
      EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      close(fd);
    }
    return path;
  }
  /// Makes folder rel and its parents; returns the absolute path.
  std::string Dir(const std::string& rel) {
    std::filesystem::create_directories(At(rel));
    return At(rel);
  }
  /// Makes rel a symbolic link to target.
  void Link(const std::string& target, const std::string& rel) {
    EXPECT_EQ(symlink(target.c_str(), At(rel).c_str()), 0) << rel;
  }
  /// Takes every permission from folder rel until the tree is removed.
  void Lock(const std::string& rel) {
    locked_.push_back(At(rel));
    chmod(At(rel).c_str(), 0);
  }

 private:
  std::string root_;
  std::vector<std::string> locked_;
};

}  // namespace wavtally::test
