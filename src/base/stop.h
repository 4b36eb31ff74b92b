#pragma once

// Ending the run on a stop signal without cutting a line in two: every write
// that must go out whole counts as a send while it lasts, and a stop asked
// for while one is under way ends the process as soon as the last one is
// out, no new one beginning meanwhile.

namespace wavtally {

/// Asks the process to end on the stop signal sig (nonzero; SIGINT, SIGTERM
/// or the console's Ctrl-C): at once when no writer is sending, otherwise as
/// soon as what is being sent is out. A second request while the first waits
/// ends the process at once, for a write that cannot finish. Safe on any
/// thread; returns only while a send is under way.
void RequestStop(int sig);

/// Sets the function to run right before a stop (see RequestStop) ends the
/// process, after the line under way is out; null for none. It runs at most
/// once, on whichever thread ends the process while the others go on, and
/// not when a second stop ends the process at once. It may write a few bytes
/// straight to a descriptor, never through a LineWriter, which would wait
/// for the end forever. Safe on any thread; returns nothing.
void SetStopCleanup(void (*cleanup)());

/// Counts, while it lives, as a line being sent: a stop signal waits for it
/// to end, and none begins once a stop is waiting. For writes that go around
/// the writers, such as the progress line on a terminal.
class ScopedSend {
 public:
  ScopedSend();
  ~ScopedSend();
  ScopedSend(const ScopedSend&) = delete;
  ScopedSend& operator=(const ScopedSend&) = delete;
};

}  // namespace wavtally
