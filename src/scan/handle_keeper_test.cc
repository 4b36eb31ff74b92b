#include "scan/handle_keeper.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "memory_file_system.h"

namespace wavtally {
namespace {

using Step = HandleKeeper::Step;
using test::MemoryFileSystem;

TEST(HandleKeeperTest, TheBatchReaderGetsItsHandleOnlyWhenTheWalkKeepsEnough) {
  // Four stay free for the pieces of long paths; the walk needs a folder and
  // a file besides the start before the batch reader may hold one.
  for (const size_t spare : {0, 5, 7, 8, 1 << 20}) {
    SCOPED_TRACE(spare);
    MemoryFileSystem fs;
    fs.SetSpareHandles(spare);
    {
      const HandleKeeper keeper(fs, 0, 64);
      fs.ReadHeads({});
      EXPECT_EQ(fs.OpenHandles(), spare >= 8 ? 1 : 0);
    }
    EXPECT_EQ(fs.OpenHandles(), 0) << "given back at the end";
  }
}

// Counts how often it was asked to give its handle back.
struct Look : HandleHolder {
  void ReleaseHandles() override { ++released; }
  int released = 0;
};

TEST(HandleKeeperTest, RefusalsGiveTheBatchHandleBackThenShrinkThenReleaseThenGiveUp) {
  MemoryFileSystem fs;
  HandleKeeper keeper(fs, 0, 64);
  auto start = std::make_shared<Folder>();
  keeper.HoldStart(start);
  keeper.Push(start);
  for (int i = 0; i < 10; ++i) keeper.Push(std::make_shared<Folder>());
  Look ahead;
  keeper.Ahead(&ahead);
  fs.ReadHeads({});
  bool released = false;
  EXPECT_EQ(keeper.Refused(&released, 16), Step::kAgain);
  EXPECT_EQ(fs.OpenHandles(), 0);
  EXPECT_EQ(keeper.Reads(), 64u) << "the batch handle alone goes first";
  EXPECT_EQ(keeper.Refused(&released, 16), Step::kAgain);
  EXPECT_EQ(keeper.Reads(), 8u) << "half of what was in use";
  EXPECT_EQ(keeper.At(1), nullptr) << "the folders nearest the start close first";
  EXPECT_NE(keeper.At(10), nullptr);
  int rounds = 0;
  while (keeper.LooksAhead() > 0 || keeper.Reads() > 1) {
    ASSERT_EQ(keeper.Refused(&released, keeper.Reads()), Step::kAgain);
    ASSERT_FALSE(released);
    ASSERT_LT(++rounds, 20) << "the shares never reach their least";
  }
  ASSERT_EQ(keeper.Refused(&released, 1), Step::kAgain);
  EXPECT_TRUE(released);
  EXPECT_EQ(ahead.released, 1);
  EXPECT_EQ(keeper.At(10), nullptr);
  EXPECT_EQ(keeper.At(0), start) << "the start stays open";
  EXPECT_EQ(keeper.Refused(&released, 1), Step::kGiveUp);
  // The next entry refused gets its own release before it is given up.
  released = false;
  EXPECT_EQ(keeper.Refused(&released, 1), Step::kAgain);
  EXPECT_TRUE(released);
}

}  // namespace
}  // namespace wavtally
