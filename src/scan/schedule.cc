#include "scan/schedule.h"

namespace wavtally {

Schedule::Schedule(FileSystem& fs, const ScanTuning& tuning)
    : tuning_(tuning), gate_(tuning.clock), batch_(fs, [this] { return gate_.Now(); }) {}

Executor& Schedule::Current() {
  switch (tuning_.mode) {
    case ScanTuning::Mode::kInline:
      return inline_;
    case ScanTuning::Mode::kPooled:
      return Pool();
    case ScanTuning::Mode::kAdaptive:
      break;
  }
  // A fast file system is read a batch of files at a time on this thread:
  // a hand-over to threads would cost more than it saves.
  return gate_.Slow() ? Pool() : static_cast<Executor&>(batch_);
}

Executor& Schedule::Pool() {
  if (pool_ == nullptr) {
    pool_ = tuning_.executor;
    if (pool_ == nullptr) {
      own_pool_ = std::make_unique<ThreadPool>(gate_.Parallelism());
      pool_ = own_pool_.get();
    }
    pool_->SetParallelism(gate_.Parallelism());
  }
  return *pool_;
}

// A job not done is in a batch not yet run, or in the pool's hands.
void Schedule::Wait(const Job& job) {
  batch_.Wait(job);
  if (!job.Done()) pool_->Wait(job);
}

void Schedule::WaitAll() {
  batch_.WaitAll();
  if (pool_ != nullptr) pool_->WaitAll();
}

void Schedule::Record(int64_t nanoseconds) {
  const size_t before = gate_.Parallelism();
  gate_.Record(nanoseconds);
  if (pool_ != nullptr && gate_.Parallelism() != before) {
    pool_->SetParallelism(gate_.Parallelism());
  }
}

void Schedule::SetReads(size_t reads) {
  gate_.Cap(reads);
  batch_.SetParallelism(reads);
  if (pool_ != nullptr) pool_->SetParallelism(gate_.Parallelism());
}

// Run one at a time, or in a batch on this thread, work handed out ahead
// would gain nothing, only hold its handles longer.
bool Schedule::RunsAhead() { return &Current() == pool_; }

size_t Schedule::Window() const {
  if (tuning_.window != 0) return tuning_.window;
  return 4 * gate_.Parallelism();
}

}  // namespace wavtally
