#include "scan/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "full_disk.h"
#include "memory_file_system.h"
#include "scan/scan.h"
#include "walk_fixture.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::FullDisk;
using test::MemoryFileSystem;
using test::Stereo16;
using Call = MemoryFileSystem::Call;

using test::Difference;
using test::ShuffledExecutor;
using test::Values;
using test::WalkResult;
using test::WalkTree;
const std::string& kNa = test::kNaLine;

// A tree with something of every kind a walk meets: files read and refused,
// MIDI files, folders nested, failing and reached twice.
void MakeMixedTree(MemoryFileSystem& fs) {
  fs.File("/r/b.wav", Stereo16(2));
  fs.File("/r/a.wav", Stereo16(1));
  fs.File("/r/bad.wav", {'x'});
  fs.File("/r/gone.wav", Stereo16(3));
  fs.Fail(Call::kOpen, "/r/gone.wav", "no such file or directory");
  fs.File("/r/m.mid");
  fs.File("/r/sub/c.wav", Stereo16(4));
  fs.File("/r/sub/deep/d.wav", Stereo16(5));
  fs.File("/r/sub/deep/e.mid");
  fs.File("/r/locked/f.wav", Stereo16(6));
  fs.Fail(Call::kList, "/r/locked", "permission denied");
  fs.File("/r/unseen/g.wav", Stereo16(7));
  fs.Fail(Call::kStat, "/r/unseen", "permission denied");
  fs.Alias("/r/twin", "/r/sub");
  fs.File("/r/take.01/h.wav", Stereo16(8));
  for (int i = 0; i < 30; ++i) fs.File("/r/many/f" + std::to_string(100 + i) + ".wav", Stereo16(i));
}

std::string MixedTreeReport() {
  std::string many;
  for (int i = 0; i < 30; ++i) many += "/many/f" + std::to_string(100 + i) + ".wav" + Values(i);
  return "/a.wav" + Values(1) + "/b.wav" + Values(2) + "/bad.wav" + kNa + "/gone.wav" + kNa +
         "/m.mid" + kNa + many + "/sub/c.wav" + Values(4) + "/sub/deep/d.wav" + Values(5) +
         "/sub/deep/e.mid" + kNa;
}

const std::string kMixedTreeErrors =
    "wavtally: cannot open file '/r/gone.wav': no such file or directory\n"
    "wavtally: cannot list folder '/r/locked': permission denied\n"
    "wavtally: skipping folder '/r/twin': already reported as '/r/sub'\n"
    "wavtally: cannot list folder '/r/unseen': permission denied\n";

TEST(OrderedWalkTest, AnyCompletionOrderGivesTheReportOfAWalkOneFileAtATime) {
  MemoryFileSystem fs;
  MakeMixedTree(fs);
  ScanTuning inline_tuning;
  inline_tuning.mode = ScanTuning::Mode::kInline;
  const WalkResult one_at_a_time = WalkTree(fs, inline_tuning);
  EXPECT_EQ(one_at_a_time.report, MixedTreeReport());
  EXPECT_EQ(one_at_a_time.errors, kMixedTreeErrors);
  for (const size_t window : {1, 2, 3, 7, 64}) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
      ShuffledExecutor executor(seed);
      ScanTuning tuning;
      tuning.mode = ScanTuning::Mode::kPooled;
      tuning.executor = &executor;
      tuning.window = window;
      const WalkResult r = WalkTree(fs, tuning);
      ASSERT_EQ(r.report, one_at_a_time.report) << "window " << window << ", seed " << seed;
      ASSERT_EQ(r.errors, one_at_a_time.errors) << "window " << window << ", seed " << seed;
      EXPECT_TRUE(r.complete());
      // Every WAV file went through the executor, and never more than the
      // window (plus the folders looked at ahead) waited at once.
      EXPECT_GE(executor.submitted, 36u);
      EXPECT_LE(executor.most_pending, window + 8 + 8);
    }
  }
}

TEST(OrderedWalkTest, ThreadsGiveTheSameReport) {
  MemoryFileSystem fs;
  MakeMixedTree(fs);
  for (int i = 0; i < 400; ++i)
    fs.File("/r/big/x" + std::to_string(1000 + i) + ".wav", Stereo16(i));
  ScanTuning inline_tuning;
  inline_tuning.mode = ScanTuning::Mode::kInline;
  const WalkResult expected = WalkTree(fs, inline_tuning);
  for (int run = 0; run < 20; ++run) {
    ScanTuning tuning;
    tuning.mode = ScanTuning::Mode::kPooled;
    tuning.window = run % 2 == 0 ? 4 : 0;
    const WalkResult r = WalkTree(fs, tuning);
    ASSERT_EQ(r.report, expected.report) << "run " << run;
    ASSERT_EQ(r.errors, expected.errors) << "run " << run;
  }
}

TEST(OrderedWalkTest, AFailedReportStopsTheReadsWithinTheWindow) {
  MemoryFileSystem fs;
  for (int f = 0; f < 20; ++f) {
    for (int i = 0; i < 50; ++i) {
      fs.File("/r/d" + std::to_string(10 + f) + "/x" + std::to_string(10 + i) + ".wav",
              Stereo16(1));
    }
  }
  constexpr size_t kWindow = 10;
  for (const size_t lines : {0, 1, 75, 500}) {
    const int opens_before = fs.Calls(Call::kOpen);
    ShuffledExecutor executor(7);
    ScanTuning tuning;
    tuning.mode = ScanTuning::Mode::kPooled;
    tuning.executor = &executor;
    tuning.window = kWindow;
    FullDisk report(FullDisk::Room::kLines, lines);
    StringLineWriter errors;
    ScanOutput out{report, errors};
    const Path root(L"/r");
    ScanFolder(root, root, out, fs, tuning);
    EXPECT_TRUE(report.Failed());
    // Lines that went out together fail together, at most a window of them.
    EXPECT_LE(report.lines, lines);
    EXPECT_GE(report.lines + kWindow, lines);
    // The walk read no further than a window past the lines that failed.
    EXPECT_LE(static_cast<size_t>(fs.Calls(Call::kOpen) - opens_before),
              report.lines + 2 * kWindow);
    EXPECT_EQ(errors.Text(), "");
  }
}

TEST(OrderedWalkTest, ChangesDuringTheWalkAreNamed) {
  // One file at a time, so that the change comes at a known point of the
  // walk; the threads meet the same failures through the mixed tree.
  MemoryFileSystem fs;
  fs.File("/r/a/x.wav", Stereo16(1));
  fs.File("/r/b/z.wav", Stereo16(3));
  fs.File("/r/b/sub/w.mid");
  fs.File("/r/c/v.mid");
  // Once b is listed, it becomes a file and c goes away: what b held was
  // listed and cannot be reached, and c may have held a whole tree.
  fs.SetHook([&](Call call, const std::string& path) {
    if (call == Call::kOpen && path == "/r/b/z.wav") {
      fs.Remove("/r/b");
      fs.File("/r/b", {});
      fs.Remove("/r/c");
    }
  });
  ScanTuning tuning;
  tuning.mode = ScanTuning::Mode::kInline;
  const WalkResult r = WalkTree(fs, tuning);
  EXPECT_EQ(r.report, "/a/x.wav" + Values(1) + "/b/z.wav" + kNa);
  EXPECT_EQ(r.errors,
            "wavtally: cannot open file '/r/b/z.wav': no such file or directory\n"
            "wavtally: cannot list folder '/r/b/sub': no such file or directory\n"
            "wavtally: cannot list folder '/r/c': no such file or directory\n");
}

TEST(OrderedWalkTest, ARootThatCannotBeListedIsAnIncompleteReport) {
  MemoryFileSystem fs;
  fs.File("/r/a.wav", Stereo16(1));
  fs.Fail(Call::kList, "/r", "input/output error");
  const WalkResult r = WalkTree(fs, ScanTuning());
  EXPECT_FALSE(r.complete());
  EXPECT_EQ(r.report, "");
  EXPECT_EQ(r.errors, "wavtally: cannot list folder '/r': input/output error\n");
  // A subfolder that fails is named, but the report is still complete.
  fs.Fail(Call::kList, "/r", "");
  MemoryFileSystem other;
  other.File("/r/s/a.wav", Stereo16(1));
  other.Fail(Call::kList, "/r/s", "input/output error");
  EXPECT_TRUE(WalkTree(other, ScanTuning()).complete());
}

TEST(OrderedWalkTest, LinkGraphsAreWalkedOnceAFolder) {
  // Nine folders that all lead to each other, and a ladder of thirty folders
  // each holding two ways to the next: without the once-a-folder rule the
  // first gives nearly a million lines and the second 2^30.
  MemoryFileSystem fs;
  for (int i = 0; i < 9; ++i) fs.File("/r/k" + std::to_string(i) + "/x.mid");
  for (int i = 0; i < 9; ++i) {
    for (int j = 0; j < 9; ++j) {
      if (i != j)
        fs.Alias("/r/k" + std::to_string(i) + "/to" + std::to_string(j),
                 "/r/k" + std::to_string(j));
    }
  }
  for (int i = 0; i < 30; ++i) fs.Dir("/r/l/s" + std::to_string(i));
  for (int i = 0; i + 1 < 30; ++i) {
    const std::string from = "/r/l/s" + std::to_string(i), to = "/r/l/s" + std::to_string(i + 1);
    fs.Alias(from + "/one", to);
    fs.Alias(from + "/two", to);
  }
  ShuffledExecutor executor(5);
  ScanTuning tuning;
  tuning.mode = ScanTuning::Mode::kPooled;
  tuning.executor = &executor;
  const WalkResult r = WalkTree(fs, tuning);
  // k0 reaches every other through its links first, in name order.
  std::string expected, chain = "/k0";
  for (int i = 0; i < 9; ++i) {
    if (i > 0) chain += "/to" + std::to_string(i);
    expected += chain + "/x.mid" + kNa;
  }
  EXPECT_EQ(r.report, expected);
  // One line for every other way in: 72 links among the nine, the nine
  // folders themselves seen from the root after their first report, and
  // the ladder's second ways.
  EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 72 - 8 + 8 + 30 - 1 + 29);
}

TEST(LatencyGateTest, ThreadsComeInOnlyWhenTheFileSystemIsSlow) {
  for (const int64_t latency :
       {int64_t{0}, int64_t{20'000}, int64_t{300'000}, int64_t{2'000'000}}) {
    MemoryFileSystem fs;
    for (int i = 0; i < 200; ++i) fs.File("/r/x" + std::to_string(1000 + i) + ".wav", Stereo16(1));
    fs.SetLatency(latency);
    ShuffledExecutor executor(11);
    ScanTuning tuning;
    tuning.executor = &executor;
    tuning.clock = fs.Clock();
    WalkTree(fs, tuning);
    if (latency < 50'000) {
      EXPECT_EQ(executor.submitted, 0u) << latency;
    } else {
      // The first slow files are read one at a time until most of the
      // latest were slow; after that every file goes to the threads.
      EXPECT_GE(executor.submitted, 190u) << latency;
      // Only a share far away gets the most threads.
      EXPECT_EQ(executor.parallelism,
                latency > 1'000'000 ? LatencyGate::kMaxThreads : LatencyGate::kThreads)
          << latency;
    }
  }
}

TEST(LatencyGateTest, ThreadsHandBackWhenTheFileSystemTurnsFast) {
  MemoryFileSystem fs;
  MakeMixedTree(fs);
  for (int i = 0; i < 1000; ++i) fs.File("/r/x" + std::to_string(1000 + i) + ".wav", Stereo16(i));
  ScanTuning inline_tuning;
  inline_tuning.mode = ScanTuning::Mode::kInline;
  const WalkResult expected = WalkTree(fs, inline_tuning);
  fs.SetLatency(1'000'000);
  // The cache warms up after the first hundred files, while many files are
  // still being read by the threads.
  int opens = 0;
  fs.SetHook([&](Call call, const std::string&) {
    if (call == Call::kOpen && fs.Calls(Call::kOpen) == opens + 100) fs.SetLatency(0);
  });
  for (unsigned seed = 1; seed <= 5; ++seed) {
    opens = fs.Calls(Call::kOpen);
    ShuffledExecutor executor(seed);
    ScanTuning tuning;
    tuning.executor = &executor;
    tuning.clock = fs.Clock();
    const WalkResult r = WalkTree(fs, tuning);
    // Files read at once after the hand-back must not pass the ones the
    // threads still read.
    ASSERT_EQ(r.report, expected.report) << seed;
    ASSERT_EQ(r.errors, expected.errors) << seed;
    // Results are weighed as they are written, so up to a window more files
    // go to the threads after the change.
    EXPECT_GT(executor.submitted, 50u);
    EXPECT_LT(executor.submitted, 100 + 4 * LatencyGate::kMaxThreads + 50);
    fs.SetLatency(1'000'000);
  }
}

TEST(LatencyGateTest, ThreadsComeInWhenMostOfTheLatestCallsWereSlowAndLeaveWhenNearlyNoneWere) {
  // A letter a call: S slow (a cold read), f fast (the cache).
  const struct {
    const char* calls;
    bool slow;
  } cases[] = {
      {"SSSSSfff", false},
      {"fSSSSSS", true},
      {"SSSSSSffffff", true},
      {"SSSSSSSSffffffSfffffffSfffffffSf", false},
      {"SSSSSSSSffffffSSffffffSSffffffSS", true},
  };
  for (const auto& c : cases) {
    LatencyGate gate([] { return int64_t{0}; });
    for (const char* call = c.calls; *call != '\0'; ++call) {
      gate.Record(*call == 'S' ? 200'000 : 2'000);
    }
    EXPECT_EQ(gate.Slow(), c.slow) << c.calls;
  }
}

// Both streams written to one log, as `2>&1` into a file or a terminal
// shows them.
class SharedLog {
 public:
  class Writer : public LineWriter {
   public:
    explicit Writer(std::string& log) : log_(log) {}

   protected:
    EmitResult Emit(std::wstring_view lines, std::string*) override {
      AppendUtf8(lines, log_);
      return EmitResult::kOk;
    }

   private:
    std::string& log_;
  };

  std::string text;
  Writer report{text};
  Writer errors{text};
};

TEST(OrderedWalkTest, MessagesStandWhereTheyHappenAmongTheReportLines) {
  MemoryFileSystem fs;
  MakeMixedTree(fs);
  std::string many;
  for (int i = 0; i < 30; ++i) many += "/many/f" + std::to_string(100 + i) + ".wav" + Values(i);
  const std::string expected =
      "/a.wav" + Values(1) + "/b.wav" + Values(2) + "/bad.wav" + kNa +
      "wavtally: cannot open file '/r/gone.wav': no such file or directory\n"
      "/gone.wav" +
      kNa + "/m.mid" + kNa + "wavtally: cannot list folder '/r/locked': permission denied\n" +
      many + "/sub/c.wav" + Values(4) + "/sub/deep/d.wav" + Values(5) + "/sub/deep/e.mid" + kNa +
      "wavtally: skipping folder '/r/twin': already reported as '/r/sub'\n"
      "wavtally: cannot list folder '/r/unseen': permission denied\n";
  const auto walk = [&](const ScanTuning& tuning) {
    SharedLog log;
    ScanOutput out{log.report, log.errors};
    const Path root(L"/r");
    ScanFolder(root, root, out, fs, tuning);
    return log.text;
  };
  ScanTuning inline_tuning;
  inline_tuning.mode = ScanTuning::Mode::kInline;
  EXPECT_EQ(walk(inline_tuning), expected);
  for (const size_t window : {1, 3, 64}) {
    for (unsigned seed = 1; seed <= 10; ++seed) {
      ShuffledExecutor executor(seed);
      ScanTuning tuning;
      tuning.mode = ScanTuning::Mode::kPooled;
      tuning.executor = &executor;
      tuning.window = window;
      ASSERT_EQ(walk(tuning), expected) << "window " << window << ", seed " << seed;
    }
  }
}

class CountingJob : public Job {
 public:
  explicit CountingJob(std::atomic<int>& runs, bool fail = false) : runs_(runs), fail_(fail) {}
  void Run() override {
    if (fail_) throw std::bad_alloc();
    ++runs_;
  }
  void Abandon() override { abandoned = true; }
  bool abandoned = false;

 private:
  std::atomic<int>& runs_;
  bool fail_;
};

TEST(ThreadPoolTest, RunsEveryJobOnceAndJoinsOnDestruction) {
  std::atomic<int> runs{0};
  std::vector<std::shared_ptr<CountingJob>> jobs;
  {
    ThreadPool pool(4);
    for (int i = 0; i < 1000; ++i) {
      jobs.push_back(std::make_shared<CountingJob>(runs, i % 100 == 0));
      pool.Submit(jobs.back());
    }
    for (const auto& job : jobs) pool.Wait(*job);
    pool.SetParallelism(16);
    for (int i = 0; i < 100; ++i) pool.Submit(std::make_shared<CountingJob>(runs));
    // Destroyed with jobs possibly still queued: those are dropped, the
    // running ones finish, and every thread is joined here.
  }
  const int after = runs.load();
  EXPECT_GE(after, 990);
  EXPECT_LE(after, 1090);
  for (size_t i = 0; i < jobs.size(); ++i) {
    EXPECT_TRUE(jobs[i]->Done());
    EXPECT_EQ(jobs[i]->abandoned, i % 100 == 0) << i;
  }
}

TEST(ThreadPoolTest, ThreadsThatWentIdleWakeForTheNextBatchAndForTheEnd) {
  std::atomic<int> runs{0};
  {
    ThreadPool pool(4);
    for (int batch = 0; batch < 3; ++batch) {
      std::vector<std::shared_ptr<CountingJob>> jobs;
      for (int i = 0; i < 40; ++i) {
        jobs.push_back(std::make_shared<CountingJob>(runs));
        pool.Submit(jobs.back());
      }
      pool.WaitAll();
      for (const auto& job : jobs) EXPECT_TRUE(job->Done());
      // Long enough for every thread to run dry and wait for work: a batch
      // that wakes none of them, or a pool that wakes only one of them at
      // its end, hangs here until the test's time limit.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto last = std::make_shared<CountingJob>(runs);
    pool.Submit(last);
    pool.Wait(*last);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Eight jobs are two threads' share: a batch that wakes only one idle
    // thread leaves each of them waiting alone.
    struct Company {
      std::mutex mutex;
      std::condition_variable arrived;
      int started = 0;
      int alone = 0;
    } company;
    class NeedsCompany : public Job {
     public:
      explicit NeedsCompany(Company& c) : c_(c) {}
      void Run() override {
        std::unique_lock<std::mutex> lock(c_.mutex);
        ++c_.started;
        c_.arrived.notify_all();
        if (!c_.arrived.wait_for(lock, std::chrono::seconds(1), [&] { return c_.started >= 2; })) {
          ++c_.alone;
        }
      }
      void Abandon() override {}

     private:
      Company& c_;
    };
    for (int i = 0; i < 8; ++i) pool.Submit(std::make_shared<NeedsCompany>(company));
    pool.WaitAll();
    EXPECT_EQ(company.alone, 0);
  }
  EXPECT_EQ(runs.load(), 121);
}

TEST(ThreadPoolTest, ALimitLowerThanTheThreadsBoundsTheJobsRunningAtOnce) {
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  class Busy : public Job {
   public:
    Busy(std::atomic<int>& running, std::atomic<int>& most) : running_(running), most_(most) {}
    void Run() override {
      const int now = ++running_;
      for (int seen = most_.load(); now > seen && !most_.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      --running_;
    }
    void Abandon() override {}

   private:
    std::atomic<int>& running_;
    std::atomic<int>& most_;
  };
  ThreadPool pool(8);
  for (int i = 0; i < 64; ++i) pool.Submit(std::make_shared<Busy>(running, most));
  pool.WaitAll();
  EXPECT_GT(most.load(), 1);
  pool.SetParallelism(2);
  most = 0;
  for (int i = 0; i < 64; ++i) pool.Submit(std::make_shared<Busy>(running, most));
  pool.WaitAll();
  EXPECT_LE(most.load(), 2);
}

TEST(ThreadPoolTest, WithoutThreadsTheOwnerRunsTheJobs) {
  std::atomic<int> runs{0};
  int asked = 0;
  ThreadPool pool(4, [&](std::function<void()>) -> std::unique_ptr<Thread> {
    ++asked;
    return nullptr;
  });
  std::vector<std::shared_ptr<CountingJob>> jobs;
  for (int i = 0; i < 50; ++i) {
    jobs.push_back(std::make_shared<CountingJob>(runs, i == 7));
    pool.Submit(jobs.back());
  }
  pool.Wait(*jobs.back());
  pool.WaitAll();
  EXPECT_GT(asked, 0);
  EXPECT_EQ(runs.load(), 49);
  for (const auto& job : jobs) EXPECT_TRUE(job->Done());
  EXPECT_TRUE(jobs[7]->abandoned);
}

}  // namespace
}  // namespace wavtally
