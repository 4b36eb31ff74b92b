// The walk as a whole over the memory file system: its rules on a tree of
// every kind of entry, every schedule against the plain one-at-a-time walk,
// a fault at every call of a walk, and the rules that only show on trees of
// a certain shape or when the tree or the report changes under the walk.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
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
using test::EveryKindOfEntry;
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

TEST(WalkTest, EveryKindOfEntryIsReportedByTheRulesInWalkOrder) {
  MemoryFileSystem fs;
  EveryKindOfEntry(fs);
  const std::string mono = "\t0x0001\t1\t0x00000000\t8000\t16000\t2\t16\t";
  std::string many;
  for (int i = 0; i < 30; ++i) many += "/many/f" + std::to_string(100 + i) + ".wav" + Values(i);
  const WalkResult r = WalkTree(fs, OneAtATime());
  EXPECT_EQ(r.log, "/.wav" + Values(9) + "/A.WAV" + Values(1) + "/b.wav" + Values(2) + "/bad.wav" +
                       test::kNaLine + "/empty.wav" + test::kNaLine + "/far-data.wav" + mono +
                       "30\n/far.wav" + mono + "20\n/folder.wav" + test::kNaLine +
                       "wavtally: cannot open file '/r/gone.wav': no such file or directory\n"
                       "/gone.wav" +
                       test::kNaLine + "/L.MID" + test::kNaLine + "/m.mid" + test::kNaLine +
                       "wavtally: cannot list folder '/r/locked': permission denied\n"
                       "wavtally: skipping folder '/r/locked2': already reported as '/r/locked'\n" +
                       many + "/sub/c.wav" + Values(4) + "/sub/deep/d.wav" + Values(5) +
                       "/sub/deep/e.mid" + test::kNaLine +
                       "wavtally: skipping folder '/r/sub/deep/up': already reported as '/r/sub'\n"
                       "wavtally: skipping folder '/r/twin': already reported as '/r/sub/deep'\n"
                       "wavtally: cannot list folder '/r/unlisted': input/output error\n"
                       "wavtally: cannot list folder '/r/unseen': permission denied\n");
  // Only a listing of the start fails a run; a folder below is named.
  EXPECT_EQ(r.result, ScanResult::kComplete);
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
         for (int i = 0; i < 400; ++i) {
           fs.File("/r/big/x" + std::to_string(1000 + i) + ".wav", Stereo16(i));
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
      {"every kind of entry", EveryKindOfEntry},
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
    std::vector<Schedule> schedules = {{"batches", Batches()}, {"groups", Groups()}};
    // Real threads race differently each run: a few runs, with the walk's
    // own window and a small one.
    for (int run = 0; run < 6; ++run) {
      ScanTuning tuning = Threads();
      tuning.window = run % 2 == 0 ? 4 : 0;
      schedules.push_back({"threads, run " + std::to_string(run), tuning});
    }
    std::vector<std::unique_ptr<ShuffledExecutor>> executors;
    constexpr size_t kWindows[] = {0, 1, 2, 3, 7, 64};
    for (unsigned seed = 1; seed <= 24; ++seed) {
      executors.push_back(std::make_unique<ShuffledExecutor>(seed));
      schedules.push_back({"seed " + std::to_string(seed),
                           Through(*executors.back(), kWindows[seed % std::size(kWindows)])});
    }
    // Few handles: once told, so the walk sizes itself and never holds more
    // (no limit is set, so none could save it), once untold, so only backing
    // off can save it, the batch reader's handle included.
    for (const int handles : {2, 3, 6, 12}) {
      for (const bool told : {true, false}) {
        for (const int runner : {0, 1, 2, 3}) {
          ScanTuning tuning = runner == 1 ? Batches() : runner == 3 ? Groups() : Threads();
          if (runner == 2) {
            executors.push_back(std::make_unique<ShuffledExecutor>(handles + 1));
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
      // Each message stands where it happened among the report's lines.
      ASSERT_EQ(Difference(r.log, expected.log), "");
      ASSERT_EQ(r.result, expected.result);
      EXPECT_EQ(fs.OpenHandles(), 0);
      // No more reads than the window wait at once, besides the folders
      // looked at ahead.
      const auto* shuffled = static_cast<ShuffledExecutor*>(schedule.tuning.executor);
      if (shuffled != nullptr && schedule.tuning.window != 0) {
        EXPECT_LE(shuffled->most_pending, schedule.tuning.window + 16);
      }
      // Below four no walk can keep to it: the start, the folder it is in,
      // the folder it looks at, and a file. (A scripted executor may keep
      // jobs, and the folders they read in, without bound.)
      if (told && schedule.tuning.executor == nullptr) {
        EXPECT_LE(fs.MostHandles(), std::max(schedule.handle_limit, 4));
      }
      // After a refusal, the executor is told to run no more reads at once
      // than the handles allow.
      if (fs.Refusals() > 0 && shuffled != nullptr) {
        EXPECT_LE(shuffled->parallelism, static_cast<size_t>(schedule.handle_limit));
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

TEST(WalkTest, WhatIsGoneWhenReachedIsNamedWhatWasListedKeepsItsLine) {
  // One entry at a time, so that the change comes at a known point of the
  // walk, just before a file is opened: any other schedule reads ahead, as
  // it may.
  struct Case {
    const char* name;
    const char* when;
    std::function<void(MemoryFileSystem&)> change;
    std::string log;
  };
  const std::string& na = test::kNaLine;
  const std::string gone = "': no such file or directory\n";
  const std::string a = "/a/x.wav" + Values(1) + "/a/y.wav" + Values(2) + "/a/z.mid" + na;
  const std::string a_without_y = "/a/x.wav" + Values(1) +
                                  "wavtally: cannot open file '/r/a/y.wav" + gone + "/a/y.wav" +
                                  na + "/a/z.mid" + na;
  const std::string b = "/b/w.wav" + Values(3) + "/b/deeper/v.mid" + na;
  const std::string c = "/c/u.mid" + na;
  const Case cases[] = {
      // Listed with the start's folders; a whole tree may have gone with it.
      {"a folder", "/r/a/x.wav", [](MemoryFileSystem& fs) { fs.Remove("/r/b"); },
       a + "wavtally: cannot list folder '/r/b" + gone + c},
      {"a file listed with the one read", "/r/a/x.wav",
       [](MemoryFileSystem& fs) { fs.Remove("/r/a/y.wav"); }, a_without_y + b + c},
      // Listed once for all its passes: what was listed keeps its line.
      {"the folder being reported", "/r/a/y.wav", [](MemoryFileSystem& fs) { fs.Remove("/r/a"); },
       a_without_y + b + c},
      {"a folder that turned into a file, and another", "/r/b/w.wav",
       [](MemoryFileSystem& fs) {
         fs.Remove("/r/b");
         fs.File("/r/b", {});
         fs.Remove("/r/c");
       },
       a + "wavtally: cannot open file '/r/b/w.wav" + gone + "/b/w.wav" + na +
           "wavtally: cannot list folder '/r/b/deeper" + gone +
           "wavtally: cannot list folder '/r/c" + gone}};
  for (const Case& change : cases) {
    SCOPED_TRACE(change.name);
    MemoryFileSystem fs;
    fs.File("/r/a/x.wav", Stereo16(1));
    fs.File("/r/a/y.wav", Stereo16(2));
    fs.File("/r/a/z.mid");
    fs.File("/r/b/w.wav", Stereo16(3));
    fs.File("/r/b/deeper/v.mid");
    fs.File("/r/c/u.mid");
    fs.SetHook([&](Call call, const std::string& path) {
      if (call == Call::kOpen && path == change.when) change.change(fs);
    });
    const WalkResult r = WalkTree(fs, OneAtATime());
    fs.SetHook(nullptr);
    EXPECT_EQ(r.log, change.log);
    EXPECT_EQ(r.result, ScanResult::kComplete);
  }
}

TEST(WalkTest, AReportThatCannotBeWrittenStopsTheReadsAndCountsOnlyWholeLines) {
  // Every other file cannot be opened: its message would show a walk that
  // went on writing after the report failed.
  MemoryFileSystem fs;
  for (int f = 0; f < 20; ++f) {
    for (int i = 0; i < 50; ++i) {
      const std::string path =
          "/r/d" + std::to_string(10 + f) + "/x" + std::to_string(10 + i) + ".wav";
      fs.File(path, Stereo16(1));
      if (i % 2 == 1) fs.Fail(Call::kOpen, path, "no such file or directory");
    }
  }
  constexpr size_t kWindow = 10;
  using Room = FullDisk::Room;
  const std::pair<Room, size_t> disks[] = {{Room::kLines, 0},  {Room::kLines, 1},
                                           {Room::kLines, 75}, {Room::kLines, 500},
                                           {Room::kBytes, 30}, {Room::kBytes, 1234}};
  for (const auto& [room, size] : disks) {
    SCOPED_TRACE(std::to_string(size) + (room == Room::kLines ? " lines" : " bytes"));
    const int opens_before = fs.Calls(Call::kOpen);
    FullDisk disk(room, size);
    ShuffledExecutor executor(7);
    const WalkResult r = WalkTree(fs, Through(executor, kWindow), "/r", &disk);
    EXPECT_TRUE(disk.Failed());
    if (room == Room::kLines) {
      // Lines that went out together fail together, at most a window of them.
      EXPECT_LE(disk.lines, size);
      EXPECT_GE(disk.lines + kWindow, size);
    }
    // The walk read no further than a window past the lines that failed,
    // and named no file after the one whose line failed.
    EXPECT_LE(static_cast<size_t>(fs.Calls(Call::kOpen) - opens_before), disk.lines + 2 * kWindow);
    const auto count = [](const std::string& text, const std::string& what) {
      size_t n = 0;
      for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
      return n;
    };
    const size_t named = count(r.errors, "wavtally: cannot open file '");
    EXPECT_EQ(count(r.errors, "\n"), named);
    EXPECT_LE(named, count(disk.text, "\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n") + 1)
        << r.errors;
    EXPECT_EQ(r.counts.wav, disk.lines);
    EXPECT_EQ(r.summary.empty(), disk.lines == 0);
  }
}

}  // namespace
}  // namespace wavtally
