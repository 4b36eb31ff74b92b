#include <windows.h>

#include "base/thread.h"

namespace wavtally {
namespace {

class WindowsThread final : public Thread {
 public:
  explicit WindowsThread(std::function<void()> fn) : fn_(std::move(fn)) {}
  ~WindowsThread() override {
    if (handle_ == nullptr) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
  }
  WindowsThread(const WindowsThread&) = delete;
  WindowsThread& operator=(const WindowsThread&) = delete;

  /// Starts the thread; returns false when the system refuses it.
  bool Launch(size_t stack_bytes) {
    // The size is what is reserved; only what the thread touches is
    // committed.
    handle_ = CreateThread(nullptr, stack_bytes, &WindowsThread::Main, this,
                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    return handle_ != nullptr;
  }

 private:
  static DWORD WINAPI Main(void* self) {
    static_cast<WindowsThread*>(self)->fn_();
    return 0;
  }

  std::function<void()> fn_;
  HANDLE handle_ = nullptr;
};

}  // namespace

std::unique_ptr<Thread> Thread::Start(std::function<void()> fn, size_t stack_bytes) {
  auto thread = std::make_unique<WindowsThread>(std::move(fn));
  if (!thread->Launch(stack_bytes)) return nullptr;
  return thread;
}

}  // namespace wavtally
