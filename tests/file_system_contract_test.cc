// One contract for both file systems: the disk, and the memory file system
// that the walk's tests stand on. A difference between them would let a
// walk test pass on behaviour the disk does not have.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "memory_file_system.h"
#include "temp_tree.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

// A tree made the same way on either file system, and the file system to
// read it through.
class Tree {
 public:
  virtual ~Tree() = default;
  virtual FileSystem& Fs() = 0;
  virtual std::string Root() = 0;
  virtual void File(const std::string& rel, const std::vector<uint8_t>& bytes) = 0;
  virtual void Dir(const std::string& rel) = 0;
  /// Makes rel a second way (a followed link) to the folder target.
  virtual void Link(const std::string& rel, const std::string& target) = 0;
};

class DiskTree : public Tree {
 public:
  FileSystem& Fs() override { return DiskFileSystem(); }
  std::string Root() override { return tree_.Root(); }
  void File(const std::string& rel, const std::vector<uint8_t>& bytes) override {
    tree_.File(rel, bytes);
  }
  void Dir(const std::string& rel) override { tree_.Dir(rel); }
  void Link(const std::string& rel, const std::string& target) override {
    tree_.Link(tree_.At(target), rel);
  }

 private:
  test::TempTree tree_;
};

class MemoryTree : public Tree {
 public:
  FileSystem& Fs() override { return fs_; }
  std::string Root() override { return "/r"; }
  void File(const std::string& rel, const std::vector<uint8_t>& bytes) override {
    fs_.File("/r/" + rel, bytes);
  }
  void Dir(const std::string& rel) override { fs_.Dir("/r/" + rel); }
  void Link(const std::string& rel, const std::string& target) override {
    fs_.Alias("/r/" + rel, "/r/" + target);
  }

 private:
  test::MemoryFileSystem fs_;
};

class FileSystemContractTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      tree_ = std::make_unique<DiskTree>();
    } else {
      tree_ = std::make_unique<MemoryTree>();
    }
    tree_->File("a.wav", test::Stereo16(3));
    tree_->File("sub/deeper/b.wav", test::Stereo16(5));
    tree_->Dir("sub/empty");
    tree_->Link("link", "sub");
  }

  std::unique_ptr<Tree> tree_;
};

TEST_P(FileSystemContractTest, FoldersAreOpenedListedAndKnownByTheirIdentity) {
  FileSystem& fs = tree_->Fs();
  FolderLook root = fs.OpenFolder(DecodeUtf8(tree_->Root()));
  ASSERT_EQ(root.kind, FolderLook::Kind::kFolder);
  EXPECT_TRUE(root.has_id);

  NameList names;
  FsError error;
  ASSERT_TRUE(fs.ReadNames(*root.folder, &names, &error)) << error.text;
  std::vector<std::string> listed;
  for (size_t i = 0; i < names.size(); ++i) {
    // The listing says which are folders; a link is not one by itself.
    listed.push_back(EncodeUtf8(names[i]) + (names.IsFolder(i) ? "/" : ""));
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"a.wav", "link", "sub/"}));

  const FolderLook sub = fs.OpenFolderAt(*root.folder, L"sub");
  ASSERT_EQ(sub.kind, FolderLook::Kind::kFolder);
  const FolderLook link = fs.OpenFolderAt(*root.folder, L"link");
  ASSERT_EQ(link.kind, FolderLook::Kind::kFolder);
  EXPECT_TRUE(link.id == sub.id) << "a second way to a folder is the same folder";
  EXPECT_FALSE(sub.id == root.id);
  EXPECT_EQ(fs.OpenFolderBelow(*root.folder, L"sub/deeper").kind, FolderLook::Kind::kFolder);
  EXPECT_EQ(fs.OpenFolderAt(*root.folder, L"a.wav").kind, FolderLook::Kind::kNone);
  const FolderLook missing = fs.OpenFolderAt(*root.folder, L"missing");
  EXPECT_EQ(missing.kind, FolderLook::Kind::kFailed);
  EXPECT_EQ(missing.error.text, "no such file or directory");
  EXPECT_FALSE(missing.error.limit);
}

TEST_P(FileSystemContractTest, FilesAreOpenedInTheirFolderOrBelowTheStart) {
  FileSystem& fs = tree_->Fs();
  FolderLook root = fs.OpenFolder(DecodeUtf8(tree_->Root()));
  ASSERT_EQ(root.kind, FolderLook::Kind::kFolder);
  FsError error;
  const std::unique_ptr<ByteSource> a = fs.OpenFileAt(*root.folder, L"a.wav", &error);
  ASSERT_NE(a, nullptr) << error.text;
  EXPECT_EQ(a->Size(), test::Stereo16(3).size());
  char riff[4] = {};
  EXPECT_EQ(a->ReadAt(0, riff, 4), 4u);
  EXPECT_EQ(std::string(riff, 4), "RIFF");
  EXPECT_EQ(a->ReadAt(a->Size(), riff, 4), 0u);

  const std::unique_ptr<ByteSource> b = fs.OpenFileBelow(*root.folder, L"sub/deeper/b.wav", &error);
  ASSERT_NE(b, nullptr) << error.text;
  EXPECT_EQ(b->Size(), test::Stereo16(5).size());

  // A folder where a file is wanted: nothing to say, but no file.
  EXPECT_EQ(fs.OpenFileAt(*root.folder, L"sub", &error), nullptr);
  EXPECT_FALSE(error.Failed()) << error.text;
  EXPECT_TRUE(error.not_file);
  // A file that is not there: said.
  EXPECT_EQ(fs.OpenFileAt(*root.folder, L"missing.wav", &error), nullptr);
  EXPECT_EQ(error.text, "no such file or directory");
  EXPECT_FALSE(error.not_file);
  EXPECT_EQ(fs.OpenFileBelow(*root.folder, L"sub/missing.wav", &error), nullptr);
  EXPECT_EQ(error.text, "no such file or directory");
}

TEST_P(FileSystemContractTest, HeadsReadAheadAreWhatAnOpenAndAReadGive) {
  FileSystem& fs = tree_->Fs();
  std::vector<uint8_t> big(10000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  tree_->File("big.wav", big);
  tree_->File("empty.wav", {});
  FolderLook root = fs.OpenFolder(DecodeUtf8(tree_->Root()));
  ASSERT_EQ(root.kind, FolderLook::Kind::kFolder);
  const std::vector<std::wstring> names = {L"a.wav", L"big.wav", L"empty.wav",
                                           L"sub",   L"link",    L"missing.wav"};
  std::vector<FileHead> heads(names.size());
  std::vector<HeadRequest> requests;
  for (size_t i = 0; i < names.size(); ++i)
    requests.push_back({root.folder.get(), names[i], &heads[i]});
  // A ring the disk makes on first use stays for the process.
  fs.ReadHeads(std::span(requests).first(1));
  const size_t descriptors = test::OpenDescriptors();
  fs.ReadHeads(requests);
  EXPECT_EQ(test::OpenDescriptors(), descriptors) << "no handle is left open";
  size_t read = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(EncodeUtf8(names[i]));
    const FileHead& head = heads[i];
    if (!head.read) continue;  // left to the file's own open
    ++read;
    FsError error;
    const std::unique_ptr<ByteSource> file = fs.OpenFileAt(*root.folder, names[i], &error);
    ASSERT_EQ(head.opened, file != nullptr);
    EXPECT_EQ(head.error.text, error.text);
    EXPECT_EQ(head.error.not_file, error.not_file);
    if (!file) continue;
    EXPECT_EQ(head.size, file->Size());
    ASSERT_EQ(head.got, std::min<uint64_t>(file->Size(), FileHead::kBytes));
    std::vector<uint8_t> bytes(head.got);
    EXPECT_EQ(file->ReadAt(0, bytes.data(), bytes.size()), bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), head.bytes.begin()));
  }
  // The memory file system reads every head as the file's own open would;
  // the disk reads those of regular files and folders when io_uring can be
  // had (its own test says when).
  if (!GetParam()) {
    EXPECT_EQ(read, names.size());
  }
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, FileSystemContractTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Disk" : "Memory";
                         });

}  // namespace
}  // namespace wavtally
