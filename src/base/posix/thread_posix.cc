#include <limits.h>
#include <pthread.h>

#include <algorithm>

#include "base/thread.h"

namespace wavtally {
namespace {

class PosixThread final : public Thread {
 public:
  explicit PosixThread(std::function<void()> fn) : fn_(std::move(fn)) {}
  ~PosixThread() override {
    if (started_) pthread_join(id_, nullptr);
  }
  PosixThread(const PosixThread&) = delete;
  PosixThread& operator=(const PosixThread&) = delete;

  /// Starts the thread; returns false when the system refuses it.
  bool Launch(size_t stack_bytes) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    const size_t stack = std::max<size_t>(stack_bytes, PTHREAD_STACK_MIN);
    started_ = pthread_attr_setstacksize(&attr, stack) == 0 &&
               pthread_create(&id_, &attr, &PosixThread::Main, this) == 0;
    pthread_attr_destroy(&attr);
    return started_;
  }

 private:
  static void* Main(void* self) {
    static_cast<PosixThread*>(self)->fn_();
    return nullptr;
  }

  std::function<void()> fn_;
  pthread_t id_{};
  bool started_ = false;
};

}  // namespace

std::unique_ptr<Thread> Thread::Start(std::function<void()> fn, size_t stack_bytes) {
  auto thread = std::make_unique<PosixThread>(std::move(fn));
  if (!thread->Launch(stack_bytes)) return nullptr;
  return thread;
}

}  // namespace wavtally
