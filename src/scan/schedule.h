#pragma once

// How the walk's jobs are run. The walk hands a job over and later waits for
// it; the schedule runs it inline, in a batch whose heads are read together,
// in a group of jobs on the walk's threads, or on a pool of threads, as the
// file system's answers and the cores say pays best, and jobs finish in any
// order. The walk never asks which.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/file_system.h"
#include "scan/pipeline.h"

namespace wavtally {

/// How a walk schedules its reads. Whatever is chosen, the output is the
/// same; only the time differs.
struct ScanTuning {
  enum class Mode {
    kAdaptive,  ///< batches or groups until the file system turns out slow, then threads
    kInline,    ///< always one call at a time, on the walking thread
    kPooled,    ///< always through the executor
  };
  Mode mode = Mode::kAdaptive;
  /// Runs the reads handed off; null means a thread pool of the walk's own.
  Executor* executor = nullptr;
  /// Measures how long calls take; empty means the steady clock.
  LatencyGate::Clock clock;
  /// How many files may be read ahead of the report; 0 means four per
  /// thread on a slow file system, four groups per thread on a fast one.
  size_t window = 0;
  /// How many handles the walk may hold open at once; 0 means what the file
  /// system has to spare.
  size_t handles = 0;
  /// How many cores the calls of a fast file system may keep busy; 0 means
  /// this machine's. With one, a fast file system is read in batches on the
  /// walking thread; with more, in groups of files on the walk's own threads.
  size_t cores = 0;
};

class Schedule {
 public:
  /// Runs jobs that read fs as tuning says, which must outlive it.
  Schedule(FileSystem& fs, const ScanTuning& tuning);
  Schedule(const Schedule&) = delete;
  Schedule& operator=(const Schedule&) = delete;

  /// Hands job over to be run; returns nothing.
  void Submit(std::shared_ptr<Job> job) { Current().Submit(std::move(job)); }
  /// Returns once job, handed over before, is done.
  void Wait(const Job& job);
  /// Returns once every job handed over is done.
  void WaitAll();
  /// Takes how long a finished job took, in nanoseconds; returns nothing.
  void Record(int64_t nanoseconds);
  /// Lets at most reads jobs read at once from now on; returns nothing.
  void SetReads(size_t reads);
  /// Returns how many jobs may run at once now.
  size_t Parallelism() const { return gate_.Parallelism(); }
  /// Returns true when jobs handed over run while the walk goes on, so that
  /// handing out work ahead of the walk pays.
  bool RunsAhead();
  /// Returns how many files may be read ahead of the report.
  size_t Window() const;
  /// Returns the clock that jobs time themselves by.
  const LatencyGate& Gate() const { return gate_; }

 private:
  Executor& Current();
  Executor& Pool();
  Executor& Grouped();
  /// Makes the pool, the handed-in executor or one of threads, once.
  void MakePool();
  /// Hands the pool single jobs again, after groups; returns nothing.
  void StopGrouping();
  /// Returns how many jobs the pool may run at once in the mode it is in.
  size_t PoolParallelism() const;

  const ScanTuning& tuning_;
  const size_t cores_;
  LatencyGate gate_;
  InlineExecutor inline_;
  BatchExecutor batch_;
  Executor* pool_ = nullptr;
  bool grouping_ = false;  // the pool runs groups, one a core
  size_t fast_calls_ = 0;  // in a row, toward the next larger group
  std::unique_ptr<GroupedExecutor> grouped_;
  // Declared last: destroying it joins the threads before anything they
  // might still touch goes.
  std::unique_ptr<ThreadPool> own_pool_;
};

}  // namespace wavtally
