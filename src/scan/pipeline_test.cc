#include "scan/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "memory_file_system.h"
#include "scan/scan.h"
#include "walk_fixture.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::MemoryFileSystem;
using test::ShuffledExecutor;
using test::Stereo16;
using test::WalkResult;
using test::WalkTree;
using Call = MemoryFileSystem::Call;

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
  test::EveryKindOfEntry(fs);
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
