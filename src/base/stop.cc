#include "base/stop.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "base/platform.h"

namespace wavtally {
namespace {

// One pair for the whole process: any thread may send (the report's lines,
// messages on standard error) and the stop may be asked for on any thread.
// Both sides store first and load second, all sequentially consistent, so
// at least one sees the other: either the stop sees no send under way and
// ends the process itself, or a sender sees the request, before it begins
// (and then sends nothing) or after it ends (and then ends the process).
std::atomic<int> sends_under_way{0};
std::atomic<int> stop_signal{0};
std::atomic<void (*)()> stop_cleanup{nullptr};
std::atomic<bool> ending{false};

// Waits for the thread that ends the process.
[[noreturn]] void WaitForTheEnd() {
  for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Ends the process on the stop signal sig once the cleanup has run. Two
// threads may get here at once (the one that took the signal and the last
// sender); the second must not end the process under the first's cleanup.
[[noreturn]] void EndByStop(int sig) {
  if (ending.exchange(true)) WaitForTheEnd();
  if (void (*cleanup)() = stop_cleanup.load()) cleanup();
  platform::EndBySignal(sig);
}

void EndSend() {
  if (sends_under_way.fetch_sub(1) == 1) {
    const int sig = stop_signal.load();
    if (sig != 0) EndByStop(sig);
  }
}

void BeginSend() {
  sends_under_way.fetch_add(1);
  if (stop_signal.load() == 0) return;
  EndSend();
  // Another send is under way and ends the process once it is out; nothing
  // more may start meanwhile.
  WaitForTheEnd();
}

}  // namespace

void RequestStop(int sig) {
  if (stop_signal.exchange(sig) != 0) platform::EndBySignal(sig);
  if (sends_under_way.load() == 0) EndByStop(sig);
}

void SetStopCleanup(void (*cleanup)()) { stop_cleanup.store(cleanup); }

ScopedSend::ScopedSend() { BeginSend(); }

ScopedSend::~ScopedSend() { EndSend(); }

}  // namespace wavtally
