// errno as the walk reads it, and the disk file system at the descriptor
// limit, where the difference between "a limit" and "this entry" decides
// whether a file gets a false N/A line.

#include "base/posix/posix_error.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/platform.h"
#include "temp_tree.h"

namespace wavtally {
namespace {

TEST(PosixErrorTest, OnlyTheProcesssOwnLimitsAreLimits) {
  for (const int code : {EMFILE, ENFILE, ENOMEM}) {
    EXPECT_TRUE(platform::PosixError(code).limit) << code;
    EXPECT_TRUE(platform::OpenFailure(code).limit) << code;
    EXPECT_TRUE(platform::OpenFailure(code).Failed()) << code;
  }
  for (const int code : {EIO, ENOENT, ENOTDIR, ELOOP, ENAMETOOLONG, ENOTCONN}) {
    EXPECT_FALSE(platform::PosixError(code).limit) << code;
    EXPECT_TRUE(platform::OpenFailure(code).Failed()) << code;
  }
  // A file there that may not be read is no failure of the run.
  for (const int code : {EACCES, EPERM, ENXIO, ETXTBSY}) {
    EXPECT_FALSE(platform::OpenFailure(code).Failed()) << code;
  }
  EXPECT_EQ(platform::PosixError(ENOENT).text, "no such file or directory");
}

// Takes every descriptor the process may still open while it lives, with
// the soft limit lowered so that few are needed; gives all back after.
class DescriptorsTaken {
 public:
  DescriptorsTaken() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = test::OpenDescriptors() + 8;
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = dup(0)) >= 0;) taken_.push_back(fd);
    EXPECT_EQ(errno, EMFILE);
  }
  ~DescriptorsTaken() {
    for (const int fd : taken_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  /// Gives one back; returns nothing.
  void Free() {
    close(taken_.back());
    taken_.pop_back();
  }

 private:
  rlimit saved_{};
  std::vector<int> taken_;
};

TEST(DiskFileSystemLimitTest, EveryOpenRefusedForWantOfADescriptorSaysLimit) {
  test::TempTree tree;
  tree.Dir("sub/deeper");
  tree.File("sub/x.wav", {'R', 'I'});
  FileSystem& fs = DiskFileSystem();
  FolderLook root = fs.OpenFolder(DecodeUtf8(tree.Root()));
  ASSERT_EQ(root.kind, FolderLook::Kind::kFolder);
  FolderLook sub = fs.OpenFolderAt(*root.folder, L"sub");
  ASSERT_EQ(sub.kind, FolderLook::Kind::kFolder);
  const DescriptorsTaken taken;
  const auto expect_limit = [](const FolderLook& look, const char* what) {
    EXPECT_EQ(look.kind, FolderLook::Kind::kFailed) << what;
    EXPECT_TRUE(look.error.limit) << what << ": " << look.error.text;
  };
  expect_limit(fs.OpenFolder(DecodeUtf8(tree.At("sub"))), "by path");
  expect_limit(fs.OpenFolderAt(*root.folder, L"sub"), "in its parent");
  expect_limit(fs.OpenFolderBelow(*root.folder, L"sub/deeper"), "below the start");
  FsError error;
  EXPECT_EQ(fs.OpenFileAt(*sub.folder, L"x.wav", &error), nullptr);
  EXPECT_TRUE(error.limit) << error.text;
  EXPECT_EQ(fs.OpenFileBelow(*root.folder, L"sub/x.wav", &error), nullptr);
  EXPECT_TRUE(error.limit) << error.text;
}

TEST(DiskFileSystemLimitTest, SpareDescriptorsAreTheLimitLessWhatIsOpenBelowIt) {
  DescriptorsTaken taken;
  EXPECT_EQ(platform::SpareDescriptors(), 0u);
  for (int i = 0; i < 3; ++i) taken.Free();
  EXPECT_EQ(platform::SpareDescriptors(), 3u);
}

TEST(DiskFileSystemLimitTest, EntriesThatAreNoRegularFileKeepNoDescriptor) {
  test::TempTree tree;
  tree.Dir("folder.wav");
  ASSERT_EQ(mkfifo(tree.At("fifo.wav").c_str(), 0644), 0);
  FileSystem& fs = DiskFileSystem();
  FolderLook root = fs.OpenFolder(DecodeUtf8(tree.Root()));
  ASSERT_EQ(root.kind, FolderLook::Kind::kFolder);
  const size_t before = test::OpenDescriptors();
  for (int i = 0; i < 50; ++i) {
    for (const wchar_t* name : {L"folder.wav", L"fifo.wav"}) {
      FsError error;
      EXPECT_EQ(fs.OpenFileAt(*root.folder, name, &error), nullptr);
      EXPECT_EQ(fs.OpenFileBelow(*root.folder, name, &error), nullptr);
      EXPECT_FALSE(error.Failed()) << error.text;
    }
  }
  EXPECT_EQ(test::OpenDescriptors(), before);
}

}  // namespace
}  // namespace wavtally
