// The walk as a whole over the memory file system: every schedule against
// the plain one-at-a-time walk, a fault at every call of a walk, and the
// rules that only show on trees of a certain shape.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "full_disk.h"
#include "memory_file_system.h"
#include "scan/scan.h"
#include "walk_fixture.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::Batches;
using test::Difference;
using test::FullDisk;
using test::Groups;
using test::MemoryFileSystem;
using test::OneAtATime;
using test::ShuffledExecutor;
using test::Stereo16;
using test::Threads;
using test::Through;
using test::Values;
using test::WalkResult;
using test::WalkTree;
using Call = MemoryFileSystem::Call;

// Adds a comb of levels folders named down below top, each level also
// holding a folder after the way down (so the walk needs every level again
// once all below it is done), and leaf at the bottom; returns nothing.
void Comb(MemoryFileSystem& fs, std::string level, int levels, const std::string& down,
          const std::string& leaf) {
  for (int i = 0; i < levels; ++i) {
    fs.File(level + "/later/x.mid");
    level += "/" + down;
  }
  fs.File(level + "/" + leaf, Stereo16(9));
}

struct Tree {
  const char* name;
  std::function<void(MemoryFileSystem&)> make;
};

// Trees of every shape the walk treats apart: wide, deep, a comb whose every
// level is needed again, a start with a single folder (so the start is not
// the root of the stack), second ways to folders, and entries that fail.
const std::vector<Tree>& Trees() {
  static const std::vector<Tree> trees = {
      {"library",
       [](MemoryFileSystem& fs) {
         for (int f = 0; f < 12; ++f) {
           const std::string folder =
               "/r/g" + std::to_string(10 + f) + (f % 3 == 0 ? "/deeper" : "");
           for (int i = 0; i < 15; ++i) {
             fs.File(folder + "/x" + std::to_string(10 + i) + ".wav", Stereo16(f * 100 + i));
           }
           fs.File(folder + "/m.mid");
         }
       }},
      {"comb",
       [](MemoryFileSystem& fs) {
         std::string level = "/r";
         for (int i = 0; i < 30; ++i) {
           fs.File(level + "/f.wav", Stereo16(i));
           fs.File(level + "/later/x.mid");
           level += "/down";
         }
       }},
      {"single folder at the top",
       [](MemoryFileSystem& fs) {
         std::string level = "/r/only";
         for (int i = 0; i < 20; ++i) {
           fs.File(level + "/f.wav", Stereo16(i));
           fs.File(level + "/z/x.wav", Stereo16(100 + i));
           level += "/d";
         }
       }},
      {"links and failures",
       [](MemoryFileSystem& fs) {
         fs.File("/r/a.wav", Stereo16(1));
         fs.File("/r/bad.wav", {'x'});
         fs.File("/r/gone.wav", Stereo16(3));
         fs.Fail(Call::kOpen, "/r/gone.wav", "no such file or directory");
         fs.File("/r/sub/c.wav", Stereo16(4));
         fs.File("/r/sub/deep/d.wav", Stereo16(5));
         fs.Alias("/r/sub/deep/up", "/r/sub");
         fs.Alias("/r/twin", "/r/sub/deep");
         fs.File("/r/locked/f.wav", Stereo16(6));
         fs.Lock("/r/locked");
         fs.Alias("/r/locked2", "/r/locked");
         fs.File("/r/unlisted/g.wav", Stereo16(7));
         fs.Fail(Call::kList, "/r/unlisted", "input/output error");
         fs.File("/r/take.01/h.wav", Stereo16(8));
         // Headers past the first 4 KiB, which a head read ahead lacks.
         fs.File("/r/far.wav",
                 test::Riff().Chunk("LIST", 5000).Fmt(1, 1, 8000, 16000, 2, 16).Data(40).Bytes());
         fs.File("/r/far-data.wav",
                 test::Riff().Fmt(1, 1, 8000, 16000, 2, 16).Chunk("junk", 9000).Data(60).Bytes());
       }},
  };
  return trees;
}

TEST(WalkTest, EveryScheduleGivesTheReportOfOneAtATime) {
  for (const Tree& tree : Trees()) {
    SCOPED_TRACE(tree.name);
    MemoryFileSystem fs;
    tree.make(fs);
    const WalkResult expected = WalkTree(fs, OneAtATime());
    ASSERT_NE(expected.report, "");
    struct Schedule {
      std::string name;
      ScanTuning tuning;
      int handle_limit = 0;
    };
    std::vector<Schedule> schedules = {
        {"threads", Threads()}, {"batches", Batches()}, {"groups", Groups()}};
    std::vector<std::unique_ptr<ShuffledExecutor>> executors;
    for (unsigned seed = 1; seed <= 8; ++seed) {
      executors.push_back(std::make_unique<ShuffledExecutor>(seed));
      schedules.push_back({"seed " + std::to_string(seed), Through(*executors.back(), seed % 4)});
    }
    // Few handles: once told, so the walk sizes itself and never holds more
    // (no limit is set, so none could save it), once untold, so only backing
    // off can save it, the batch reader's handle included.
    for (const int handles : {2, 3, 6, 12}) {
      for (const bool told : {true, false}) {
        for (const int runner : {0, 1, 2, 3}) {
          ScanTuning tuning = runner == 1 ? Batches() : runner == 3 ? Groups() : Threads();
          if (runner == 2) {
            executors.push_back(std::make_unique<ShuffledExecutor>(handles));
            tuning = Through(*executors.back());
          }
          tuning.handles = told ? static_cast<size_t>(handles) : 0;
          schedules.push_back({(told ? "told " : "untold ") + std::to_string(handles) +
                                   (runner == 1   ? " in batches"
                                    : runner == 2 ? " shuffled"
                                    : runner == 3 ? " in groups"
                                                  : ""),
                               tuning, handles});
        }
      }
    }
    for (const Schedule& schedule : schedules) {
      SCOPED_TRACE(schedule.name);
      const bool told = schedule.tuning.handles != 0;
      fs.LimitHandles(told ? 0 : schedule.handle_limit);
      const WalkResult r = WalkTree(fs, schedule.tuning);
      ASSERT_EQ(Difference(r.report, expected.report), "") << r.errors;
      ASSERT_EQ(r.errors, expected.errors);
      ASSERT_EQ(r.result, expected.result);
      EXPECT_EQ(fs.OpenHandles(), 0);
      // Below four no walk can keep to it: the start, the folder it is in,
      // the folder it looks at, and a file. (A scripted executor may keep
      // jobs, and the folders they read in, without bound.)
      if (told && schedule.tuning.executor == nullptr) {
        EXPECT_LE(fs.MostHandles(), std::max(schedule.handle_limit, 4));
      }
      // After a refusal, the executor is told to run no more reads at once
      // than the handles allow.
      if (fs.Refusals() > 0 && schedule.tuning.executor != nullptr) {
        EXPECT_LE(static_cast<ShuffledExecutor*>(schedule.tuning.executor)->parallelism,
                  static_cast<size_t>(schedule.handle_limit));
      }
      fs.LimitHandles(0);
    }
  }
}

// The entries a walk's messages name for a limit of the process.
std::vector<std::string> NamedForALimit(const std::string& errors) {
  std::vector<std::string> named;
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) {
    if (!line.ends_with("': too many open files") && !line.ends_with("': out of memory")) continue;
    for (const std::string head :
         {"wavtally: cannot open file '", "wavtally: cannot list folder '"}) {
      if (line.starts_with(head)) {
        const size_t end = line.rfind("': ");
        named.push_back(line.substr(head.size(), end - head.size()));
      }
    }
  }
  return named;
}

// Returns "" when report is expected less lines at or below the paths
// named, and every file named has no line; else what is wrong.
std::string LessOnlyWhatIsNamed(const std::string& report, const std::string& expected,
                                const std::vector<std::string>& named) {
  const auto under_named = [&](const std::string& line) {
    const std::string path = "/r" + line.substr(0, line.find('\t'));
    for (const std::string& n : named) {
      if (path == n || path.compare(0, n.size() + 1, n + "/") == 0) return true;
    }
    return false;
  };
  std::istringstream got(report), want(expected);
  std::string g, w;
  bool have = static_cast<bool>(std::getline(got, g));
  while (std::getline(want, w)) {
    if (have && g == w) {
      if (std::find(named.begin(), named.end(), "/r" + w.substr(0, w.find('\t'))) != named.end()) {
        return "named and reported: " + w;
      }
      have = static_cast<bool>(std::getline(got, g));
    } else if (!under_named(w)) {
      return "missing without a word: " + w;
    }
  }
  return have ? "not expected, or out of order: " + g : "";
}

TEST(WalkTest, AFaultAtAnyCallLosesOnlyWhatItNames) {
  // Every call of the walk fails in turn, alone and with the next few, as
  // too many open files, as no memory in the call and as an exception: the
  // run never ends early, its report is the plain one less exactly what is
  // named, and it fails if and only if something is.
  const std::vector<FsError> faults = {
      {"too many open files", true}, {"out of memory", true}, {"", false}};
  // Small enough to run every case under the sanitizers, yet wide and deep:
  // looks ahead, folders closed on the way down and opened again, and a
  // start whose own frame goes.
  const std::vector<Tree> trees = {
      {"wide and deep",
       [](MemoryFileSystem& fs) {
         fs.File("/r/a.wav", Stereo16(1));
         fs.File("/r/m.mid");
         for (int i = 0; i < 4; ++i) fs.File("/r/w" + std::to_string(i) + "/x.wav", Stereo16(i));
         std::string level = "/r/d";
         for (int i = 0; i < 5; ++i) {
           fs.File(level + "/f.wav", Stereo16(i));
           fs.File(level + "/side/s.wav", Stereo16(i));
           level += "/d";
         }
       }},
      {"single folder at the top",
       [](MemoryFileSystem& fs) { Comb(fs, "/r/only", 6, "d", "deepest.wav"); }},
  };
  for (const Tree& tree : trees) {
    SCOPED_TRACE(tree.name);
    MemoryFileSystem fs;
    tree.make(fs);
    const int before = fs.AllCalls();
    const WalkResult expected = WalkTree(fs, OneAtATime());
    const int calls = fs.AllCalls() - before;
    ASSERT_GT(calls, 20);
    int named_runs = 0;
    for (const FsError& fault : faults) {
      for (const int count : {1, 4, 40}) {
        for (int first = 0; first < calls; ++first) {
          for (int schedule = 0; schedule < 5; ++schedule) {
            ShuffledExecutor executor(static_cast<unsigned>(first + 1));
            ScanTuning tuning = schedule == 0   ? OneAtATime()
                                : schedule == 3 ? Batches()
                                : schedule == 4 ? Groups()
                                                : Through(executor);
            if (schedule == 2) tuning.handles = 8;
            fs.FailCalls(fs.AllCalls() + first, count, fault);
            const WalkResult r = WalkTree(fs, tuning);
            fs.FailCalls(0, 0, {});
            const std::vector<std::string> named = NamedForALimit(r.errors);
            SCOPED_TRACE("calls " + std::to_string(first) + "+" + std::to_string(count) +
                         " fail with '" + fault.text + "', schedule " + std::to_string(schedule) +
                         "\n" + r.errors);
            ASSERT_EQ(LessOnlyWhatIsNamed(r.report, expected.report, named), "");
            ASSERT_EQ(r.result, named.empty() ? ScanResult::kComplete : ScanResult::kIncomplete);
            ASSERT_EQ(fs.OpenHandles(), 0);
            if (!named.empty()) ++named_runs;
          }
        }
      }
    }
    // The sweep reaches the cases where even one at a time does not help.
    EXPECT_GT(named_runs, 0);
  }
}

TEST(WalkTest, AFolderIsReportedOnceAndAlwaysUnderItsFirstPath) {
  MemoryFileSystem fs;
  fs.File("/r/t1/a/b/x.wav", Stereo16(1));
  fs.Alias("/r/t1/a/c", "/r/t1/a/b");
  fs.Alias("/r/t2", "/r/t1/a/b");
  fs.File("/r/locked/y.wav", Stereo16(2));
  fs.Lock("/r/locked");
  fs.Alias("/r/m/locked2", "/r/locked");
  for (const ScanTuning& tuning : {OneAtATime(), Threads()}) {
    const WalkResult r = WalkTree(fs, tuning);
    EXPECT_EQ(r.report, "/t1/a/b/x.wav" + Values(1));
    EXPECT_EQ(r.errors,
              "wavtally: cannot list folder '/r/locked': permission denied\n"
              "wavtally: skipping folder '/r/m/locked2': already reported as '/r/locked'\n"
              "wavtally: skipping folder '/r/t1/a/c': already reported as '/r/t1/a/b'\n"
              "wavtally: skipping folder '/r/t2': already reported as '/r/t1/a/b'\n");
    // A folder that cannot be opened is named but fails nothing.
    EXPECT_EQ(r.result, ScanResult::kComplete);
    // Every folder not walked counts as skipped, once.
    EXPECT_EQ(r.counts.folders, 5u);
    EXPECT_EQ(r.counts.skipped, 4u);
    EXPECT_EQ(r.counts.wav, 1u);
  }
}

TEST(WalkTest, EntriesLeftOutForALimitAreNamedAndFailTheRun) {
  struct Case {
    Call call;
    const char* path;
    const char* error;
    const char* message;
  };
  // Each alone, so that no other failure can make the run fail for it.
  const Case cases[] = {
      {Call::kOpen, "/r/a/x.wav", "too many open files",
       "wavtally: cannot open file '/r/a/x.wav': too many open files\n"},
      {Call::kStat, "/r/a", "too many open files",
       "wavtally: cannot list folder '/r/a': too many open files\n"},
      {Call::kList, "/r/a", "out of memory",
       "wavtally: cannot list folder '/r/a': out of memory\n"},
      {Call::kList, "/r", "out of memory", "wavtally: cannot list folder '/r': out of memory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    MemoryFileSystem fs;
    fs.File("/r/a/x.wav", Stereo16(1));
    fs.File("/r/b/y.wav", Stereo16(2));
    fs.Fail(c.call, c.path, c.error, /*limit=*/true);
    for (const ScanTuning& tuning : {OneAtATime(), Threads()}) {
      const WalkResult r = WalkTree(fs, tuning);
      EXPECT_EQ(r.errors, c.message);
      EXPECT_EQ(r.result, ScanResult::kIncomplete);
      EXPECT_EQ(r.report.find("/a/"), std::string::npos);
      if (std::string(c.path) != "/r") {
        EXPECT_NE(r.report.find("/b/y.wav"), std::string::npos);
      }
    }
  }
}

TEST(WalkTest, AClosedFolderThatCannotBeOpenedAgainFailsTheRun) {
  // A comb walked with few handles closes the folders near the top on its
  // way down and opens them again on its way back.
  MemoryFileSystem fs;
  Comb(fs, "/r", 30, "down", "bottom.wav");
  ScanTuning tuning = OneAtATime();
  tuning.handles = 12;
  const WalkResult expected = WalkTree(fs, tuning);
  ASSERT_EQ(expected.errors, "");
  // For a limit, the run fails; for a folder gone meanwhile, it is named
  // and the run completes, as for any entry that went away.
  for (const bool limit : {true, false}) {
    SCOPED_TRACE(limit ? "limit" : "gone");
    fs.SetHook([&](Call call, const std::string& path) {
      if (call == Call::kOpen && path.ends_with("/bottom.wav")) {
        fs.Fail(Call::kStat, "/r/down/down", limit ? "too many open files" : "no such file", limit);
      }
    });
    const WalkResult r = WalkTree(fs, tuning);
    fs.SetHook(nullptr);
    fs.Fail(Call::kStat, "/r/down/down", "");
    EXPECT_NE(r.errors.find("cannot list folder '/r/down/down'"), std::string::npos) << r.errors;
    EXPECT_EQ(r.result, limit ? ScanResult::kIncomplete : ScanResult::kComplete);
    EXPECT_NE(r.report.find("/bottom.wav"), std::string::npos);
  }
}

TEST(WalkTest, TheStartFolderStaysOpenWhenItHoldsASingleFolder) {
  // The start's own frame goes once its only folder is entered; a retry deep
  // below must still find the start open.
  MemoryFileSystem fs;
  Comb(fs, "/r/only", 20, "d", "deepest.wav");
  const WalkResult expected = WalkTree(fs, OneAtATime());
  std::atomic<bool> thrown{false};
  fs.SetHook([&](Call call, const std::string& path) {
    if (call == Call::kOpen && path.ends_with("/deepest.wav") && !thrown.exchange(true)) {
      throw std::bad_alloc();
    }
  });
  for (const ScanTuning& base : {OneAtATime(), Threads()}) {
    thrown = false;
    ScanTuning tuning = base;
    tuning.handles = 12;
    const WalkResult r = WalkTree(fs, tuning);
    EXPECT_TRUE(thrown);
    EXPECT_EQ(Difference(r.report, expected.report), "");
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(r.result, ScanResult::kComplete);
  }
}

TEST(WalkTest, AHundredThousandLevelsAreWalkedWithoutRecursion) {
  constexpr size_t kDepth = 100'000;
  MemoryFileSystem fs;
  fs.Chain("/r", kDepth, "d", "deep.wav", Stereo16(3));
  fs.File("/r/top.mid");
  const WalkResult r = WalkTree(fs, OneAtATime());
  // A folder with nothing left to walk is let go before its subfolder is
  // entered: a chain costs one level, not one a folder.
  EXPECT_LE(r.most_frames, 2u);
  std::string deep;
  deep.reserve(2 * kDepth + 20);
  for (size_t i = 0; i < kDepth; ++i) deep += "/d";
  EXPECT_EQ(r.result, ScanResult::kComplete);
  EXPECT_TRUE(r.report == "/top.mid\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n" + deep +
                              "/deep.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t3\n")
      << r.report.size() << " bytes";
  EXPECT_EQ(r.errors, "");
}

TEST(WalkTest, TheSummaryTellsWhatTheReportCannot) {
  // A library as users keep them: folders whose name has a dot, macOS
  // companion files, a partial copy, files of no WAVE at all.
  MemoryFileSystem fs;
  for (int i = 0; i < 5; ++i) fs.File("/r/Takes/t" + std::to_string(i) + ".wav", Stereo16(i));
  fs.File("/r/Takes/._t0.wav", {0, 5, 22, 7});
  fs.File("/r/Takes/._t1.wav", {0, 5, 22, 7});
  fs.File("/r/Takes/notes.wav", {'h', 'e', 'l', 'l', 'o'});
  fs.File("/r/Takes/t5.wav", {'F', 'O', 'R', 'M', 0, 0, 0, 4, 'A', 'I', 'F', 'F'});
  fs.File("/r/Takes/t6.wav", {'f', 'L', 'a', 'C', 0, 0, 0, 34});
  test::ByteImage partial = Stereo16(1000);
  test::TruncateTo(partial, partial.size() - 2000);
  fs.File("/r/Foley/CLOTH_partial_copy.wav", partial);
  fs.File("/r/Foley/mono.wav", test::Riff().Fmt(1, 1, 48000, 144000, 3, 24).Data(30).Bytes());
  fs.File("/r/Boom Pack Vol.2/x.wav", Stereo16(1));
  fs.File("/r/Session 2023.05.12/y.wav", Stereo16(1));
  fs.File("/r/.hidden.d/z.wav", Stereo16(1));
  fs.File("/r/folder.wav/w.wav", Stereo16(1));
  for (const ScanTuning& tuning : {OneAtATime(), Threads()}) {
    const WalkResult r = WalkTree(fs, tuning);
    // The counts agree with the report's lines.
    EXPECT_EQ(r.counts.wav, 13u);
    EXPECT_EQ(r.counts.unreadable, 6u);
    EXPECT_EQ(static_cast<size_t>(std::count(r.report.begin(), r.report.end(), '\n')), 13u);
    EXPECT_EQ(
        r.summary,
        (std::vector<std::string>{
            "formats: 6 \u00d7 44.1 kHz 16-bit 2 ch PCM \u00b7 1 \u00d7 48 kHz 24-bit 1 ch PCM",
            "unreadable: 6 (2 macOS \"._\" files, 1 AIFF, 1 FLAC, 1 text file, 1 not a regular "
            "file)",
            "shorter than their header: 1 (/Foley/CLOTH_partial_copy.wav)",
            "not walked, a dot in the name: 2 folders (/Boom Pack Vol.2, /Session 2023.05.12)",
        }));
  }
}

TEST(WalkTest, TheCountsAreOfLinesWrittenWhole) {
  MemoryFileSystem fs;
  for (int i = 0; i < 40; ++i) fs.File("/r/a/x" + std::to_string(10 + i) + ".wav", Stereo16(i));
  for (const size_t room : {0, 30, 500, 1234}) {
    SCOPED_TRACE(room);
    FullDisk disk(FullDisk::Room::kBytes, room);
    ShuffledExecutor executor(3);
    const WalkResult r = WalkTree(fs, Through(executor, 16), "/r", &disk);
    const auto whole = static_cast<uint64_t>(std::count(disk.text.begin(), disk.text.end(), '\n'));
    EXPECT_EQ(r.counts.wav, whole);
    EXPECT_EQ(r.summary.empty(), whole == 0);
  }
}

}  // namespace
}  // namespace wavtally
