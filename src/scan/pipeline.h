#pragma once

// The machinery that lets a walk read many files at once while its report
// still comes out in walk order: jobs, an executor that runs them (a pool of
// threads in the tool, a scripted one in tests), and a gate that says when
// the file system is slow enough for threads to pay.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/file_system.h"
#include "base/thread.h"

namespace wavtally {

/// One piece of work for an executor. Its results are read by the owner only
/// once Done() is true.
class Job {
 public:
  virtual ~Job() = default;
  /// Does the work; returns nothing. Runs on any thread, once per Submit.
  virtual void Run() = 0;
  /// Records that Run could not finish because memory ran out; returns
  /// nothing. The results must then describe that limit.
  virtual void Abandon() = 0;

  /// Returns true once the job has run, on any thread.
  bool Done() const { return done_.load(std::memory_order_acquire); }
  /// Runs the job and marks it done, turning an exception into Abandon;
  /// returns nothing. For executors.
  void RunToEnd();
  /// Makes a job that is done and in no executor's hands ready to be
  /// submitted again; returns nothing.
  void Rearm() { done_.store(false, std::memory_order_relaxed); }

  /// Returns the file the job reads first, for an executor that reads the
  /// heads of many files together; a request with no folder for none.
  virtual HeadRequest FileToRead() const { return {nullptr, {}, nullptr}; }
  /// Runs the job as RunToEnd does, with head, read for FileToRead in
  /// read_nanoseconds, to read from (null for none); returns nothing.
  void RunToEndWith(const FileHead* head, int64_t read_nanoseconds) {
    head_ = head;
    head_nanoseconds_ = read_nanoseconds;
    RunToEnd();
    head_ = nullptr;
  }

 protected:
  /// Returns the head read for the job while it runs, or null.
  const FileHead* Head() const { return head_; }
  /// Returns how long reading Head() took, in nanoseconds: its share of the
  /// time when heads were read together.
  int64_t HeadNanoseconds() const { return head_nanoseconds_; }

 private:
  void MarkDone() { done_.store(true, std::memory_order_release); }
  std::atomic<bool> done_{false};
  const FileHead* head_ = nullptr;
  int64_t head_nanoseconds_ = 0;
};

/// Runs jobs, each once, in any order.
class Executor {
 public:
  virtual ~Executor() = default;
  /// Hands job over to be run; returns nothing.
  virtual void Submit(std::shared_ptr<Job> job) = 0;
  /// Returns once job, submitted before, is Done().
  virtual void Wait(const Job& job) = 0;
  /// Returns once every job submitted before is Done().
  virtual void WaitAll() = 0;
  /// Sets how many jobs may run at the same time; returns nothing.
  virtual void SetParallelism(size_t jobs) = 0;
};

/// An executor that runs each job at once, on the thread that submits it.
class InlineExecutor final : public Executor {
 public:
  void Submit(std::shared_ptr<Job> job) override { job->RunToEnd(); }
  void Wait(const Job&) override {}
  void WaitAll() override {}
  void SetParallelism(size_t) override {}
};

/// An executor that runs jobs on the thread that submits them, a batch at a
/// time: the heads of the batch's files are read together first, which a
/// file system may do in far fewer calls than a file at a time. Jobs that
/// read no file run at once.
class BatchExecutor final : public Executor {
 public:
  /// Reads heads from fs, timing them with clock (nanoseconds, steady).
  BatchExecutor(FileSystem& fs, std::function<int64_t()> clock)
      : fs_(fs), clock_(std::move(clock)) {}
  void Submit(std::shared_ptr<Job> job) override;
  void Wait(const Job& job) override {
    if (!job.Done()) RunBatch();
  }
  void WaitAll() override { RunBatch(); }
  /// Sets how many files a batch may hold open at once; returns nothing.
  void SetParallelism(size_t jobs) override;

  static constexpr size_t kMaxBatch = 64;

 private:
  /// Reads the heads of the staged jobs, then runs them; returns nothing.
  void RunBatch();

  FileSystem& fs_;
  std::function<int64_t()> clock_;
  size_t size_ = kMaxBatch;
  // The batches start at one file and double: the first files of a file
  // system slow enough for threads are then timed before many wait.
  size_t next_ = 1;
  std::vector<std::shared_ptr<Job>> staged_;
  std::vector<HeadRequest> requests_;
  std::unique_ptr<FileHead[]> heads_;  // kMaxBatch, once the first batch runs
};

/// Starts a thread that runs fn; returns null when none can be had.
using ThreadStarter = std::function<std::unique_ptr<Thread>(std::function<void()> fn)>;

/// An executor of threads that are started only as jobs need them, up to the
/// parallelism set, which also bounds how many jobs run at once. Destroying
/// it drops the jobs not yet started and joins every thread.
class ThreadPool final : public Executor {
 public:
  /// Runs jobs on up to threads threads of a small stack each.
  explicit ThreadPool(size_t threads);
  /// Runs jobs on up to threads threads made by start.
  ThreadPool(size_t threads, ThreadStarter start);
  ~ThreadPool() override;
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void Submit(std::shared_ptr<Job> job) override;
  void Wait(const Job& job) override;
  void WaitAll() override;
  void SetParallelism(size_t jobs) override;
  /// Hands job over at once, worth a thread of its own: a job that holds
  /// many; returns nothing.
  void SubmitLarge(std::shared_ptr<Job> job);

 private:
  /// Hands the staged jobs to the threads, waking or starting one for every
  /// per_thread of them; returns nothing.
  void Publish(size_t per_thread);
  /// Runs queued jobs until the pool stops; returns nothing.
  void Work();

  ThreadStarter start_;
  // Jobs submitted but not yet handed over, touched by the owner alone: they
  // go over in batches, so that a fast file system, whose jobs take
  // microseconds, costs one wake-up per batch rather than per job.
  std::vector<std::shared_ptr<Job>> staged_;
  std::mutex mutex_;
  std::condition_variable work_;  // a job was queued, or the pool stops
  std::condition_variable done_;  // the job the owner waits for finished, or all did
  std::deque<std::shared_ptr<Job>> queue_;
  size_t limit_;
  size_t idle_ = 0;
  size_t running_ = 0;  // jobs being run now, at most limit_
  const Job* awaited_ = nullptr;
  bool awaiting_all_ = false;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Thread>> threads_;  // last, so it is joined first
};

/// An executor that hands jobs to a thread pool a group at a time: on a warm
/// cache, where a job takes microseconds of CPU, one hand-over a group costs
/// little beside the work, and the groups run on every core at once.
class GroupedExecutor final : public Executor {
 public:
  /// Runs groups of up to group jobs on pool, which must outlive it.
  GroupedExecutor(ThreadPool& pool, size_t group) : pool_(pool), group_(group) {}
  void Submit(std::shared_ptr<Job> job) override;
  /// Returns once job is done, when it was submitted here; at once
  /// otherwise.
  void Wait(const Job& job) override;
  void WaitAll() override;
  void SetParallelism(size_t jobs) override { pool_.SetParallelism(jobs); }
  /// Returns how many jobs the next group holds.
  size_t GroupSize() const { return std::min(group_, next_); }
  /// Doubles the groups, up to their most; returns nothing. For when as
  /// many jobs as a group holds came back fast.
  void Grow() { next_ = std::min(2 * next_, group_); }
  /// Hands over the group being filled, and starts again from groups of
  /// one; returns nothing. For when the pool takes single jobs again.
  void Restart();

  static constexpr size_t kGroup = 64;

 private:
  class Group;
  /// Hands the group being filled to the pool; returns nothing.
  void Flush();

  ThreadPool& pool_;
  const size_t group_;
  // The groups start at one job and double as jobs come back fast, so that
  // the files of a file system that turns out slow are not handed over many
  // to a thread.
  size_t next_ = 1;
  std::shared_ptr<Group> filling_;
  std::deque<std::shared_ptr<Group>> handed_;  // in the order handed over
};

/// Tells from how long file-system calls take whether they are worth handing
/// to threads: on a warm cache a call takes microseconds and a hand-over
/// would cost more than it saves; on a cold disk or a network share calls
/// take hundreds of microseconds or more and overlap well.
class LatencyGate {
 public:
  /// Returns the time now in nanoseconds on a steady clock.
  using Clock = std::function<int64_t()>;

  /// Measures with clock, or with the steady clock when clock is empty.
  explicit LatencyGate(Clock clock);

  /// Returns the time now in nanoseconds; safe on any thread.
  int64_t Now() const { return clock_(); }
  /// Takes the time one call took, in nanoseconds; returns nothing.
  void Record(int64_t nanoseconds);
  /// Returns true when a call that took nanoseconds counts as slow.
  static bool IsSlowCall(int64_t nanoseconds);
  /// Returns true while calls are slow enough for threads.
  bool Slow() const { return slow_; }
  /// Returns how many calls should be in flight at once.
  size_t Parallelism() const;
  /// Caps Parallelism() at most (at least 1), for limits of the process;
  /// returns nothing.
  void Cap(size_t most) { cap_ = most == 0 ? 1 : most; }
  /// Returns the cap on Parallelism(): how many reads the handles allow.
  size_t Capped() const { return cap_; }

  /// Threads on a slow file system. A cold disk answers more reads at once
  /// than 16 threads ask of it (20,000 files: 0.43 s on 16, 0.39 s on 32,
  /// 0.38 s on 64); calls that stay over a millisecond get kMaxThreads.
  static constexpr size_t kThreads = 32;
  static constexpr size_t kMaxThreads = 64;

 private:
  Clock clock_;
  double average_ = 0;  // microseconds, a moving average
  bool slow_ = false;
  uint8_t recent_ = 0;  // a bit a call, the latest lowest: was it slow
  int streak_ = 0;      // calls in a row with the average above the very slow mark
  size_t cap_ = kMaxThreads;
};

}  // namespace wavtally
