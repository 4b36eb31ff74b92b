#include "base/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "temp_tree.h"

namespace wavtally {
namespace {

// Makes folders below root, each relative to the one before, until the path
// of the deepest is exactly length bytes, and puts an empty file named name
// in it when name is not empty; returns the deepest folder's path.
std::string MakeFolderOfLength(const std::string& root, size_t length, const char* name = "") {
  std::string path = root;
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(dir, 0);
  while (path.size() < length) {
    // Names of up to 200 bytes; the last one takes what is left.
    const std::string folder(std::min<size_t>(200, length - path.size() - 1), 'n');
    EXPECT_EQ(mkdirat(dir, folder.c_str(), 0755), 0);
    const int next = openat(dir, folder.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(next, 0);
    close(dir);
    dir = next;
    path += "/" + folder;
  }
  if (*name != '\0') close(openat(dir, name, O_WRONLY | O_CREAT, 0644));
  close(dir);
  EXPECT_EQ(path.size(), length);
  return path;
}

// PATH_MAX counts the terminating NUL: a path of PATH_MAX bytes is the
// shortest that one call refuses, so it is the first that must be split.
TEST(DiskFileSystemTest, PathsAroundTheLongestThatOneCallTakesAreOpened) {
  for (const size_t length : {PATH_MAX - 1, PATH_MAX, PATH_MAX + 1}) {
    test::TempTree tree;
    const std::string folder = MakeFolderOfLength(tree.Root(), length);
    const FolderLook look = DiskFileSystem().OpenFolder(DecodeUtf8(folder));
    EXPECT_EQ(look.kind, FolderLook::Kind::kFolder) << length << ": " << look.error.text;
    // A file whose own path has the length.
    tree.Dir("f");
    const std::string file = MakeFolderOfLength(tree.At("f"), length - 2, "x") + "/x";
    ASSERT_EQ(file.size(), length);
    FsError error;
    EXPECT_NE(DiskFileSystem().OpenFile(DecodeUtf8(file), &error), nullptr)
        << length << ": " << error.text;
  }
}

}  // namespace
}  // namespace wavtally
