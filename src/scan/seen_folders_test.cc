#include "scan/seen_folders.h"

#include <gtest/gtest.h>

namespace wavtally {
namespace {

TEST(SeenFoldersTest, EachFolderKeepsThePathItWasFirstMetUnder) {
  SeenFolders seen;
  const FolderId root_id{1, 1}, a_id{1, 2}, b_id{1, 3}, other_device{2, 3};
  const SeenFolders::Node root = seen.Add(SeenFolders::kNone, L"/r", &root_id);
  const SeenFolders::Node a = seen.Add(root, L"a", &a_id);
  const SeenFolders::Node nameless = seen.Add(a, L"no id", nullptr);
  const SeenFolders::Node b = seen.Add(nameless, L"b", &b_id);
  EXPECT_EQ(seen.Find(b_id), b);
  EXPECT_EQ(seen.PathOf(seen.Find(b_id)), L"/r/a/no id/b");
  EXPECT_EQ(seen.PathOf(seen.Find(root_id)), L"/r");
  // The same index on another device, and a folder without an identity,
  // are no folder seen.
  EXPECT_EQ(seen.Find(other_device), SeenFolders::kNone);
  EXPECT_EQ(seen.Find(FolderId{}), SeenFolders::kNone);
  // A second way in does not move the first path.
  seen.Add(root, L"again", &b_id);
  EXPECT_EQ(seen.PathOf(seen.Find(b_id)), L"/r/a/no id/b");
}

}  // namespace
}  // namespace wavtally
