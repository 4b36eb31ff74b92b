#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace wavtally {

/// A thread with a stack of a chosen size, joined when destroyed. The
/// system's default stack (8 MiB on Linux) would let a few dozen threads
/// reserve hundreds of megabytes of address space that their jobs never use.
class Thread {
 public:
  /// Starts fn on a new thread with stack_bytes of stack (at least the
  /// system's minimum); returns null when the system refuses a thread.
  static std::unique_ptr<Thread> Start(std::function<void()> fn, size_t stack_bytes);
  /// Waits for the thread to end.
  virtual ~Thread() = default;

 protected:
  Thread() = default;
};

}  // namespace wavtally
