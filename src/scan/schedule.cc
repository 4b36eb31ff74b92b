#include "scan/schedule.h"

#include <algorithm>
#include <thread>

namespace wavtally {
namespace {

// Fewer reads at once than this, for want of handles, and the groups would
// keep too many folders open while they wait.
constexpr size_t kReadsForGroups = 16;

}  // namespace

Schedule::Schedule(FileSystem& fs, const ScanTuning& tuning)
    : tuning_(tuning),
      cores_(tuning.cores != 0 ? tuning.cores
                               : std::max<size_t>(1, std::thread::hardware_concurrency())),
      gate_(tuning.clock),
      batch_(fs, [this] { return gate_.Now(); }) {}

Executor& Schedule::Current() {
  switch (tuning_.mode) {
    case ScanTuning::Mode::kInline:
      return inline_;
    case ScanTuning::Mode::kPooled:
      return Pool();
    case ScanTuning::Mode::kAdaptive:
      break;
  }
  if (gate_.Slow()) return Pool();
  // On a fast file system the calls cost CPU, not waiting. With cores to
  // spare they run in groups on the walk's own threads, one a core, a
  // hand-over a group; on one core a batch of files at a time on this
  // thread, in the fewest calls, since a hand-over per file would cost more
  // than it saves.
  // Short of handles (a low limit, or after a refusal), batches.
  if (cores_ > 1 && tuning_.executor == nullptr && gate_.Parallelism() >= kReadsForGroups) {
    return Grouped();
  }
  StopGrouping();
  return batch_;
}

Executor& Schedule::Pool() {
  MakePool();
  StopGrouping();
  return *pool_;
}

void Schedule::StopGrouping() {
  if (!grouping_) return;
  grouping_ = false;
  grouped_->Restart();
  pool_->SetParallelism(PoolParallelism());
}

void Schedule::MakePool() {
  if (pool_ != nullptr) return;
  pool_ = tuning_.executor;
  if (pool_ == nullptr) {
    own_pool_ = std::make_unique<ThreadPool>(gate_.Parallelism());
    pool_ = own_pool_.get();
  }
  pool_->SetParallelism(gate_.Parallelism());
}

Executor& Schedule::Grouped() {
  MakePool();
  if (grouped_ == nullptr) {
    grouped_ = std::make_unique<GroupedExecutor>(*own_pool_, GroupedExecutor::kGroup);
  }
  if (!grouping_) {
    grouping_ = true;
    pool_->SetParallelism(PoolParallelism());
  }
  return *grouped_;
}

size_t Schedule::PoolParallelism() const {
  return grouping_ ? std::min(cores_, gate_.Parallelism()) : gate_.Parallelism();
}

// A job not done is in a group, in a batch not yet run, or in the pool's
// hands.
void Schedule::Wait(const Job& job) {
  if (grouped_ != nullptr) grouped_->Wait(job);
  batch_.Wait(job);
  if (!job.Done()) pool_->Wait(job);
}

void Schedule::WaitAll() {
  if (grouped_ != nullptr) grouped_->WaitAll();
  batch_.WaitAll();
  if (pool_ != nullptr) pool_->WaitAll();
}

void Schedule::Record(int64_t nanoseconds) {
  const size_t before = gate_.Parallelism();
  gate_.Record(nanoseconds);
  // The groups grow only on evidence: a group's worth of fast calls.
  if (grouping_) {
    fast_calls_ = LatencyGate::IsSlowCall(nanoseconds) ? 0 : fast_calls_ + 1;
    if (fast_calls_ >= grouped_->GroupSize()) {
      fast_calls_ = 0;
      grouped_->Grow();
    }
  }
  if (pool_ != nullptr && gate_.Parallelism() != before) {
    pool_->SetParallelism(PoolParallelism());
  }
}

void Schedule::SetReads(size_t reads) {
  gate_.Cap(reads);
  batch_.SetParallelism(reads);
  if (pool_ != nullptr) pool_->SetParallelism(PoolParallelism());
}

// Run one at a time, or in a batch on this thread, work handed out ahead
// would gain nothing, only hold its handles longer.
bool Schedule::RunsAhead() { return &Current() == pool_; }

size_t Schedule::Window() const {
  if (tuning_.window != 0) return tuning_.window;
  // Four groups a thread keep every thread busy while the front waits, up
  // to the bound the handles set for reads ahead in any mode: each job
  // waiting keeps its folder open.
  if (grouping_) {
    return std::min(4 * grouped_->GroupSize() * PoolParallelism(), 4 * gate_.Capped());
  }
  return 4 * gate_.Parallelism();
}

}  // namespace wavtally
