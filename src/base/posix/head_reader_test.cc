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
  for (int i = 0; i < 59; ++i) {
    names.push_back("f" + std::to_string(i) + ".wav");
    tree.File(names.back(),
              std::vector<uint8_t>(static_cast<size_t>(i) * 100, static_cast<uint8_t>(i)));
  }
  ASSERT_EQ(::mkfifo(tree.At("fifo.wav").c_str(), 0644), 0);
  tree.Dir("folder.wav");
  tree.Link(tree.At("f5.wav"), "link.wav");
  // A file that says it holds 4096 bytes and reads fewer: its close must
  // still run when its read comes up short.
  tree.Link("/sys/devices/system/cpu/online", "short.wav");
  names.insert(names.end(), {"fifo.wav", "folder.wav", "link.wav", "missing.wav", "short.wav"});
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
    for (int i = 0; i < 59; ++i) {
      SCOPED_TRACE(i);
      EXPECT_TRUE(heads[i].read && heads[i].opened);
      EXPECT_EQ(heads[i].size, static_cast<uint64_t>(i) * 100);
      EXPECT_EQ(heads[i].got, std::min<size_t>(static_cast<size_t>(i) * 100, FileHead::kBytes));
      EXPECT_EQ(heads[i].bytes[0], heads[i].got > 0 ? i : 0);
    }
    // A FIFO is opened without waiting for a writer, and neither it nor a
    // folder is read: no regular file, nothing to say.
    for (const size_t i : {size_t{59}, size_t{60}}) {
      EXPECT_TRUE(heads[i].read);
      EXPECT_FALSE(heads[i].opened);
      EXPECT_TRUE(heads[i].error.not_file);
      EXPECT_FALSE(heads[i].error.Failed());
    }
    EXPECT_TRUE(heads[61].opened);
    EXPECT_EQ(heads[61].size, 500u);
    EXPECT_FALSE(heads[62].read) << "a failed open is left to the file's own";
    EXPECT_TRUE(heads[63].opened);
    EXPECT_LT(heads[63].got, heads[63].size);
  }
  // More files than a batch holds are not read together.
  std::vector<HeadFile> many(65, files[0]);
  EXPECT_FALSE(ReadHeadsTogether(many));
  ::close(dir);
}

// Fails calls of the ring as a failing kernel, disk or share would: the
// first-th call of one kind and the count - 1 after it.
class FaultyRing : public RingCalls {
 public:
  // One of each way the code tells apart: a submit retried or given up, a
  // wait that fails (whatever its error), a head shorter than asked for, a
  // close that ran and failed, an fstat retried or named.
  enum class Fault { kSubmitInterrupted, kWaitFails, kReadShort, kCloseFails, kFstatInterrupted };
  FaultyRing(Fault fault, int first, int count) : fault_(fault), first_(first), count_(count) {}

  int SubmitAndWait(io_uring* ring, unsigned wait) override {
    if (Hit(Fault::kSubmitInterrupted)) return -EINTR;
    ++submits_;
    return RingCalls::SubmitAndWait(ring, wait);
  }
  int WaitCompletion(io_uring* ring, io_uring_cqe** cqe) override {
    if (Hit(Fault::kWaitFails)) return -EIO;
    const int code = RingCalls::WaitCompletion(ring, cqe);
    // In the second step, reads carry even data and closes odd.
    if (code == 0 && submits_ == 2) {
      io_uring_cqe& done = **cqe;
      if (done.user_data % 2 == 0 && Hit(Fault::kReadShort)) done.res /= 2;
      if (done.user_data % 2 == 1 && Hit(Fault::kCloseFails)) {
        // The close ran: its number may go to the next open of any thread,
        // which no second close may take from it.
        done.res = -EIO;
        if (sentinel < 0) sentinel = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      }
    }
    return code;
  }
  int Fstat(int fd, struct stat* info) override {
    if (!Hit(Fault::kFstatInterrupted)) return ::fstat(fd, info);
    errno = EINTR;
    return -1;
  }

  int faults = 0;
  int sentinel = -1;  // opened where a close failed

 private:
  // Counts a call of the kind fault; returns true when it is one to fail.
  bool Hit(Fault fault) {
    if (fault != fault_) return false;
    const int at = calls_++;
    if (at < first_ || at >= first_ + count_) return false;
    ++faults;
    return true;
  }

  Fault fault_;
  int first_, count_;
  int calls_ = 0, submits_ = 0;
};

TEST(HeadReaderTest, AnyRingCallThatFailsEndsTheBatchWithEveryHeadTrueOrLeftUnread) {
  if (!KernelAllowsRings() || !WAVTALLY_URING_BUILT) GTEST_SKIP() << "no io_uring here";
  test::TempTree tree;
  constexpr int kFiles = 12;
  std::vector<std::string> names;
  for (int i = 0; i < kFiles; ++i) {
    names.push_back("f" + std::to_string(i) + ".wav");
    tree.File(names.back(),
              std::vector<uint8_t>(static_cast<size_t>(i) * 700 + 1, static_cast<uint8_t>(i + 1)));
  }
  const int dir = ::open(tree.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  AllowRing(false);
  const size_t descriptors = test::OpenDescriptors();
  AllowRing(true);
  using Fault = FaultyRing::Fault;
  for (int f = 0; f <= static_cast<int>(Fault::kFstatInterrupted); ++f) {
    // Past the bound on interruptions in a row, and a run of every call.
    for (const int count : {1, 3, 100}) {
      for (int first = 0; first < kFiles + 2; ++first) {
        const auto ring_fault = static_cast<Fault>(f);
        FaultyRing ring(ring_fault, first, count);
        SCOPED_TRACE("fault " + std::to_string(f) + " at " + std::to_string(first) + "+" +
                     std::to_string(count));
        std::vector<FileHead> heads(kFiles);
        std::vector<HeadFile> files;
        for (int i = 0; i < kFiles; ++i) files.push_back({dir, names[i].c_str(), &heads[i]});
        const bool together = ReadHeadsTogether(files, &ring);
        if (ring.faults == 0) continue;
        // A submit interrupted past the bound is given up, not retried on.
        if (count > kMostInterruptions && ring_fault == Fault::kSubmitInterrupted) {
          ASSERT_FALSE(together);
        }
        for (int i = 0; i < kFiles; ++i) {
          const FileHead& head = heads[i];
          ASSERT_TRUE(together || !head.read) << i;
          if (!head.read) continue;
          if (!head.opened) {
            // Only an fstat that failed for good (or was interrupted past
            // the bound) leaves an open file unopened, and it is named.
            ASSERT_TRUE(head.error.Failed()) << i;
            ASSERT_FALSE(head.error.not_file) << i;
            continue;
          }
          ASSERT_EQ(head.size, static_cast<uint64_t>(i) * 700 + 1) << i;
          ASSERT_LE(head.got, std::min<size_t>(head.size, FileHead::kBytes)) << i;
          for (size_t b = 0; b < head.got; ++b) ASSERT_EQ(head.bytes[b], i + 1) << i;
        }
        if (ring.sentinel >= 0) {
          ASSERT_NE(::fcntl(ring.sentinel, F_GETFD), -1) << "closed twice";
          ::close(ring.sentinel);
        }
        // Nothing left open, the ring aside, and the ring ready again.
        AllowRing(false);
        ASSERT_EQ(test::OpenDescriptors(), descriptors);
        AllowRing(true);
      }
    }
  }
  ::close(dir);
}

}  // namespace
}  // namespace wavtally::platform
