#include "scan/pipeline.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <utility>

namespace wavtally {
namespace {

// A call counts as slow above this: a page-cache hit takes a few
// microseconds, a read from a disk or over a network tens of microseconds
// and more. Threads take over once most of the latest calls were slow and
// hand back once nearly none were, so one stray slow file does not bring
// them in and a run does not flip to and fro.
constexpr double kSlowMicros = 50;
constexpr int kSlowToStart = 6;  // of the latest 8 calls
constexpr int kSlowToStop = 1;
// Calls this slow on average (a share far away) that stay so for this many
// files in a row get the most threads: they only wait, so more of them in
// flight cost nothing. Below it, more threads fighting over the work cost
// more than they gain.
constexpr double kVerySlowMicros = 1000;
constexpr int kVerySlowStreak = 64;
// How much one call moves the average.
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
constexpr size_t kJobsPerThread = 4;

// A job reads a file's header through a 4 KiB block and lists folders; a
// small stack holds that many times over.
constexpr size_t kStackBytes = 256 * 1024;

ThreadPool::ThreadPool(size_t threads)
    : ThreadPool(threads, [](std::function<void()> fn) {
        return Thread::Start(std::move(fn), kStackBytes);
      }) {}

ThreadPool::ThreadPool(size_t threads, ThreadStarter start)
    : start_(std::move(start)), limit_(threads == 0 ? 1 : threads) {}

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
  if (staged_.size() >= kBatch) Publish(kJobsPerThread);
}

void ThreadPool::SubmitLarge(std::shared_ptr<Job> job) {
  staged_.push_back(std::move(job));
  Publish(1);
}

void ThreadPool::Publish(size_t per_thread) {
  if (staged_.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  for (std::shared_ptr<Job>& job : staged_) queue_.push_back(std::move(job));
  staged_.clear();
  // A thread that is awake takes the next job as it finishes one, so a few
  // jobs a thread keep the threads busy without waking one per job. When
  // jobs are slow they pile up, the window lets more of them wait, and more
  // threads come in, up to the limit.
  const size_t wanted = (queue_.size() + per_thread - 1) / per_thread;
  const size_t awake = threads_.size() - idle_;
  size_t wake = wanted > awake ? std::min(idle_, wanted - awake) : 0;
  for (size_t start = wanted - std::min(wanted, awake + wake);
       start > 0 && threads_.size() < limit_; --start) {
    std::unique_ptr<Thread> thread = start_([this] { Work(); });
    if (!thread) break;
    threads_.push_back(std::move(thread));
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
  Publish(kJobsPerThread);
  if (job.Done()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  awaited_ = &job;
  done_.wait(lock, [&] { return job.Done(); });
  awaited_ = nullptr;
}

void ThreadPool::WaitAll() {
  Publish(kJobsPerThread);
  std::unique_lock<std::mutex> lock(mutex_);
  awaiting_all_ = true;
  done_.wait(lock, [&] { return queue_.empty() && running_ == 0; });
  awaiting_all_ = false;
}

void ThreadPool::SetParallelism(size_t jobs) {
  bool more;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Threads already started stay; a lower limit makes the extra ones wait.
    more = jobs > limit_;
    limit_ = jobs == 0 ? 1 : jobs;
  }
  if (more) work_.notify_all();
}

void ThreadPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!stopping_ && (queue_.empty() || running_ >= limit_)) {
      ++idle_;
      work_.wait(lock, [&] { return stopping_ || (!queue_.empty() && running_ < limit_); });
      --idle_;
    }
    if (stopping_) return;
    std::shared_ptr<Job> job = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    job->RunToEnd();
    lock.lock();
    --running_;
    // Done is set by RunToEnd; taking the lock before the check makes sure
    // an owner that saw the job unfinished is already waiting.
    if (awaited_ == job.get() || (awaiting_all_ && running_ == 0 && queue_.empty())) {
      done_.notify_one();
    }
  }
}

void BatchExecutor::Submit(std::shared_ptr<Job> job) {
  if (job->FileToRead().folder == nullptr) {
    job->RunToEnd();
    return;
  }
  staged_.push_back(std::move(job));
  if (staged_.size() >= std::min(size_, next_)) RunBatch();
}

void BatchExecutor::SetParallelism(size_t jobs) { size_ = std::clamp<size_t>(jobs, 1, kMaxBatch); }

void BatchExecutor::RunBatch() {
  // Submit runs a batch before it outgrows kMaxBatch. Without room for the
  // heads, each job opens its file as usual.
  const size_t count = staged_.size();
  int64_t share = 0;
  if (!heads_) heads_.reset(new (std::nothrow) FileHead[kMaxBatch]);
  if (heads_ && count > 0) {
    try {
      requests_.clear();
      for (size_t i = 0; i < count; ++i) {
        // Nothing is taken as read that this batch did not read: a head left
        // from an earlier one would give another file's format.
        heads_[i].read = false;
        HeadRequest request = staged_[i]->FileToRead();
        request.head = &heads_[i];
        requests_.push_back(request);
      }
      const int64_t start = clock_();
      fs_.ReadHeads(requests_);
      share = (clock_() - start) / static_cast<int64_t>(count);
    } catch (...) {
      // Out of memory on the way: the files are opened one by one.
      for (size_t i = 0; i < count; ++i) heads_[i].read = false;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    staged_[i]->RunToEndWith(heads_ && heads_[i].read ? &heads_[i] : nullptr, share);
  }
  staged_.clear();
  next_ = std::min(2 * next_, kMaxBatch);
}

class GroupedExecutor::Group final : public Job {
 public:
  void Run() override {
    for (const std::shared_ptr<Job>& job : jobs) job->RunToEnd();
  }
  // Run cannot throw: each job turns its own failure into its Abandon.
  void Abandon() override {}
  bool Holds(const Job& job) const {
    return std::any_of(jobs.begin(), jobs.end(),
                       [&](const auto& held) { return held.get() == &job; });
  }

  std::vector<std::shared_ptr<Job>> jobs;
};

void GroupedExecutor::Submit(std::shared_ptr<Job> job) {
  // A look at a folder is waited for at once: handing it over would only
  // add a round trip to the threads.
  if (job->FileToRead().folder == nullptr) {
    job->RunToEnd();
    return;
  }
  if (!filling_) filling_ = std::make_shared<Group>();
  filling_->jobs.push_back(std::move(job));
  if (filling_->jobs.size() >= GroupSize()) Flush();
}

void GroupedExecutor::Flush() {
  if (!filling_) return;
  handed_.push_back(filling_);
  pool_.SubmitLarge(std::move(filling_));
  filling_.reset();
}

void GroupedExecutor::Restart() {
  Flush();
  next_ = 1;
}

void GroupedExecutor::Wait(const Job& job) {
  if (job.Done()) return;
  if (filling_ && filling_->Holds(job)) Flush();
  while (!handed_.empty() && handed_.front()->Done()) handed_.pop_front();
  for (const std::shared_ptr<Group>& group : handed_) {
    if (group->Holds(job)) {
      pool_.Wait(*group);
      return;
    }
  }
}

void GroupedExecutor::WaitAll() {
  Flush();
  pool_.WaitAll();
  handed_.clear();
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

bool LatencyGate::IsSlowCall(int64_t nanoseconds) {
  return static_cast<double>(nanoseconds) / 1000 > kSlowMicros;
}

void LatencyGate::Record(int64_t nanoseconds) {
  const double micros = static_cast<double>(nanoseconds) / 1000;
  average_ += (micros - average_) * kWeight;
  recent_ = static_cast<uint8_t>(recent_ << 1 | (IsSlowCall(nanoseconds) ? 1 : 0));
  const int slow_calls = std::popcount(recent_);
  if (!slow_ && slow_calls >= kSlowToStart) slow_ = true;
  if (slow_ && slow_calls <= kSlowToStop) slow_ = false;
  streak_ = average_ > kVerySlowMicros ? streak_ + 1 : 0;
}

size_t LatencyGate::Parallelism() const {
  return std::min(cap_, streak_ >= kVerySlowStreak ? kMaxThreads : kThreads);
}

}  // namespace wavtally
