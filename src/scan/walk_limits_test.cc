// The walk against the limits of the process rather than of the files: too
// few handles, memory that runs out for a moment, trees far deeper than a
// recursion could go.

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <string>

#include "memory_file_system.h"
#include "scan/scan.h"
#include "walk_fixture.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::MemoryFileSystem;
using test::Stereo16;
using Call = MemoryFileSystem::Call;

using test::Difference;
using test::OneAtATime;
using test::Threads;
using test::WalkResult;
using test::WalkTree;

// Twenty folders of fifty WAV files, some folders deeper, all of it
// readable.
void MakeLibrary(MemoryFileSystem& fs) {
  for (int f = 0; f < 20; ++f) {
    const std::string folder = "/r/g" + std::to_string(10 + f) + (f % 3 == 0 ? "/deeper" : "");
    for (int i = 0; i < 50; ++i) {
      fs.File(folder + "/x" + std::to_string(10 + i) + ".wav", Stereo16(f * 100 + i));
    }
    fs.File(folder + "/m.mid");
  }
}

TEST(WalkLimitsTest, TooFewHandlesSlowTheWalkButLoseNothing) {
  MemoryFileSystem fs;
  MakeLibrary(fs);
  const WalkResult expected = WalkTree(fs, OneAtATime());
  ASSERT_EQ(expected.result, ScanResult::kComplete);
  ASSERT_EQ(expected.errors, "");
  for (const int handles : {3, 5, 8, 16, 40}) {
    // Once as the system says, so the walk sizes itself to it, and once
    // with the system claiming plenty, so only backing off can save it.
    for (const bool honest : {true, false}) {
      SCOPED_TRACE(std::to_string(handles) + (honest ? " told" : " untold"));
      fs.LimitHandles(handles);
      fs.SetSpareHandles(honest ? handles : MemoryFileSystem::kManyHandles);
      for (int run = 0; run < 3; ++run) {
        const WalkResult r = WalkTree(fs, Threads());
        ASSERT_EQ(Difference(r.report, expected.report), "") << r.errors;
        ASSERT_EQ(r.errors, "");
        ASSERT_EQ(r.result, ScanResult::kComplete);
      }
    }
  }
}

TEST(WalkLimitsTest, AShortageThatPassesIsRetriedAndOneThatStaysFailsTheRun) {
  MemoryFileSystem fs;
  MakeLibrary(fs);
  const WalkResult expected = WalkTree(fs, OneAtATime());
  for (const bool threads : {false, true}) {
    SCOPED_TRACE(threads ? "threads" : "one at a time");
    // Memory runs out for a moment: once as an error, once as an exception
    // in the job, for an open, a look and a listing.
    // The hook runs on the pool's threads: the first three calls that match
    // fail, however they interleave.
    std::atomic<int> left{3};
    fs.SetHook([&](Call call, const std::string& path) {
      if (!((call == Call::kOpen && path == "/r/g12/x13.wav") ||
            (call == Call::kStat && path == "/r/g13") ||
            (call == Call::kList && path == "/r/g15"))) {
        return;
      }
      int now = left.load();
      do {
        if (now == 0) return;
      } while (!left.compare_exchange_weak(now, now - 1));
      throw std::bad_alloc();
    });
    EXPECT_EQ(Difference(WalkTree(fs, threads ? Threads() : OneAtATime()).report, expected.report),
              "");
    EXPECT_EQ(left.load(), 0);
    fs.SetHook(nullptr);
  }
  // A file the process cannot open however few others it has open gets a
  // message and no line, a folder likewise, and the run is incomplete.
  fs.Fail(Call::kOpen, "/r/g12/x13.wav", "too many open files", /*limit=*/true);
  fs.Fail(Call::kList, "/r/g13", "out of memory", /*limit=*/true);
  for (const ScanTuning& tuning : {OneAtATime(), Threads()}) {
    const WalkResult r = WalkTree(fs, tuning);
    std::string lines = expected.report;
    const size_t x13 = lines.find("/g12/x13.wav");
    lines.erase(x13, lines.find('\n', x13) + 1 - x13);
    const size_t g13 = lines.find("/g13/");
    lines.erase(g13, lines.find("/g14/") - g13);
    EXPECT_EQ(Difference(r.report, lines), "");
    EXPECT_EQ(r.errors,
              "wavtally: cannot open file '/r/g12/x13.wav': too many open files\n"
              "wavtally: cannot list folder '/r/g13': out of memory\n");
    EXPECT_EQ(r.result, ScanResult::kIncomplete);
  }
}

TEST(WalkLimitsTest, AHundredThousandLevelsAreWalkedWithoutRecursion) {
  constexpr size_t kDepth = 100'000;
  MemoryFileSystem fs;
  fs.Chain("/r", kDepth, "d", "deep.wav", Stereo16(3));
  fs.File("/r/top.mid");
  const WalkResult r = WalkTree(fs, OneAtATime());
  std::string deep;
  deep.reserve(2 * kDepth + 20);
  for (size_t i = 0; i < kDepth; ++i) deep += "/d";
  EXPECT_EQ(r.result, ScanResult::kComplete);
  EXPECT_TRUE(r.report == "/top.mid\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n" + deep +
                              "/deep.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t3\n")
      << r.report.size() << " bytes";
  EXPECT_EQ(r.errors, "");
}

TEST(WalkLimitsTest, FoldersClosedOnTheWayDownAreOpenedAgainByPath) {
  // A comb: every level holds a file, the way down and a folder after it,
  // so each level is needed again once everything below it is done.
  MemoryFileSystem fs;
  std::string level = "/r";
  for (int i = 0; i < 60; ++i) {
    fs.File(level + "/f.mid");
    fs.File(level + "/later/x.mid");
    level += "/down";
  }
  fs.File(level + "/bottom.wav", Stereo16(1));
  const WalkResult expected = WalkTree(fs, OneAtATime());
  ASSERT_EQ(expected.errors, "");
  for (const ScanTuning& base : {OneAtATime(), Threads()}) {
    ScanTuning tuning = base;
    tuning.handles = 12;
    const WalkResult r = WalkTree(fs, tuning);
    EXPECT_EQ(Difference(r.report, expected.report), "");
    EXPECT_EQ(r.errors, "");
  }
  // A folder that has gone by the time the walk comes back to it is named.
  fs.SetHook([&](Call call, const std::string& path) {
    if (call == Call::kOpen && path.ends_with("/bottom.wav")) fs.Remove("/r/down/down/down");
  });
  ScanTuning tuning = OneAtATime();
  tuning.handles = 12;
  const WalkResult r = WalkTree(fs, tuning);
  EXPECT_NE(r.errors.find("cannot list folder '/r/down/down/down"), std::string::npos) << r.errors;
}

}  // namespace
}  // namespace wavtally
