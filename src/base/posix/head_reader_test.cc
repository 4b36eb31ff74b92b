#include "base/posix/head_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/io_uring.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "temp_tree.h"

namespace wavtally::platform {
namespace {

// Returns true when the kernel lets this process make an io_uring.
bool KernelAllowsRings() {
  io_uring_params params = {};
  const long fd = ::syscall(__NR_io_uring_setup, 1, &params);
  if (fd < 0) return false;
  ::close(static_cast<int>(fd));
  return true;
}

TEST(HeadReaderTest, ReadsWhatOpenFstatAndReadGiveAndLeavesFailedOpensToTheirOwn) {
  test::TempTree tree;
  std::vector<std::string> names;
  for (int i = 0; i < 60; ++i) {
    names.push_back("f" + std::to_string(i) + ".wav");
    tree.File(names.back(),
              std::vector<uint8_t>(static_cast<size_t>(i) * 100, static_cast<uint8_t>(i)));
  }
  ASSERT_EQ(::mkfifo(tree.At("fifo.wav").c_str(), 0644), 0);
  tree.Dir("folder.wav");
  tree.Link(tree.At("f5.wav"), "link.wav");
  names.insert(names.end(), {"fifo.wav", "folder.wav", "link.wav", "missing.wav"});
  const int dir = ::open(tree.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  std::vector<FileHead> heads(names.size());
  std::vector<HeadFile> files;
  for (size_t i = 0; i < names.size(); ++i) files.push_back({dir, names[i].c_str(), &heads[i]});
  // The ring, once made, stays for the process: it is made here first.
  FileHead first;
  ReadHeadsTogether(std::vector<HeadFile>{{dir, names[0].c_str(), &first}});
  const size_t descriptors = test::OpenDescriptors();
  const bool together = ReadHeadsTogether(files);
  EXPECT_EQ(test::OpenDescriptors(), descriptors);
  // Where the build has io_uring and the kernel allows it, it is used.
  EXPECT_EQ(together, KernelAllowsRings() && WAVTALLY_URING_BUILT);
  if (together) {
    for (int i = 0; i < 60; ++i) {
      SCOPED_TRACE(i);
      EXPECT_TRUE(heads[i].read && heads[i].opened);
      EXPECT_EQ(heads[i].size, static_cast<uint64_t>(i) * 100);
      EXPECT_EQ(heads[i].got, std::min<size_t>(static_cast<size_t>(i) * 100, FileHead::kBytes));
      EXPECT_EQ(heads[i].bytes[0], heads[i].got > 0 ? i : 0);
    }
    // A FIFO is opened without waiting for a writer, and neither it nor a
    // folder is read: no regular file, nothing to say.
    for (const size_t i : {size_t{60}, size_t{61}}) {
      EXPECT_TRUE(heads[i].read);
      EXPECT_FALSE(heads[i].opened);
      EXPECT_TRUE(heads[i].error.not_file);
      EXPECT_FALSE(heads[i].error.Failed());
    }
    EXPECT_TRUE(heads[62].opened);
    EXPECT_EQ(heads[62].size, 500u);
    EXPECT_FALSE(heads[63].read) << "a failed open is left to the file's own";
  }
  // More files than a batch holds are not read together.
  std::vector<HeadFile> many(65, files[0]);
  EXPECT_FALSE(ReadHeadsTogether(many));
  ::close(dir);
}

}  // namespace
}  // namespace wavtally::platform
