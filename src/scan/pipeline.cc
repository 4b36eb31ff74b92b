#include "scan/pipeline.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace wavtally {
namespace {

// A call counts as slow above this, and threads take over; they hand back
// only well below it, so a run does not flip to and fro.
constexpr double kSlowMicros = 200;
constexpr double kFastMicros = 50;
// Calls that stay slow for this many files in a row get the most threads:
// a cold disk answers a deep queue faster than a shallow one, and threads
// that wait on a share cost nothing while they wait.
constexpr int kSlowStreak = 64;
// How much one call moves the average: enough to react within a few files,
// little enough that one stray slow file does not bring the threads in.
constexpr double kWeight = 1.0 / 8;

}  // namespace

void Job::RunToEnd() {
  try {
    Run();
  } catch (...) {
    Abandon();
  }
  MarkDone();
}

// Jobs handed over together; a slow file system loses nothing by it, since
// the owner hands over what it has whenever it waits.
constexpr size_t kBatch = 16;

ThreadPool::ThreadPool(size_t threads) : limit_(threads == 0 ? 1 : threads) {}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  work_.notify_all();
  threads_.clear();
}

void ThreadPool::Submit(std::shared_ptr<Job> job) {
  staged_.push_back(std::move(job));
  if (staged_.size() >= kBatch) Publish();
}

void ThreadPool::Publish() {
  if (staged_.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  for (std::shared_ptr<Job>& job : staged_) queue_.push_back(std::move(job));
  staged_.clear();
  // Threads that are awake take the next job as they finish one; only the
  // jobs beyond the idle threads need new ones.
  size_t wake = std::min(idle_, queue_.size());
  while (queue_.size() > wake + (threads_.size() - idle_) && threads_.size() < limit_) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads_.empty()) {
    // No thread to be had: the owner does the work itself.
    std::deque<std::shared_ptr<Job>> own;
    own.swap(queue_);
    lock.unlock();
    for (const std::shared_ptr<Job>& job : own) job->RunToEnd();
    return;
  }
  lock.unlock();
  for (; wake > 0; --wake) work_.notify_one();
}

void ThreadPool::Wait(const Job& job) {
  Publish();
  if (job.Done()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  awaited_ = &job;
  done_.wait(lock, [&] { return job.Done(); });
  awaited_ = nullptr;
}

void ThreadPool::SetParallelism(size_t jobs) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Threads already started stay; a lower limit only stops new ones.
  limit_ = jobs == 0 ? 1 : jobs;
}

void ThreadPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (queue_.empty() && !stopping_) {
      ++idle_;
      work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      --idle_;
    }
    if (stopping_) return;
    std::shared_ptr<Job> job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    job->RunToEnd();
    lock.lock();
    // Done is set by RunToEnd; taking the lock before the check makes sure
    // an owner that saw the job unfinished is already waiting.
    if (awaited_ == job.get()) done_.notify_one();
  }
}

LatencyGate::LatencyGate(Clock clock) : clock_(std::move(clock)) {
  if (!clock_) {
    clock_ = [] {
      return std::chrono::duration_cast<std::chrono::nanoseconds>(
                 std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
  }
}

void LatencyGate::Record(int64_t nanoseconds) {
  const double micros = static_cast<double>(nanoseconds) / 1000;
  average_ += (micros - average_) * kWeight;
  if (!slow_ && average_ > kSlowMicros) slow_ = true;
  if (slow_ && average_ < kFastMicros) slow_ = false;
  streak_ = average_ > kSlowMicros ? streak_ + 1 : 0;
}

size_t LatencyGate::Parallelism() const { return streak_ >= kSlowStreak ? kMaxThreads : kThreads; }

}  // namespace wavtally
