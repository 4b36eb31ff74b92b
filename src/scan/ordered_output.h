#pragma once

// The walk's output in walk order. Every line of the report and every message
// is a slot in one queue, in the order the walk meets its entry; a WAV file's
// slot waits for its probe, which may finish on any thread and in any order,
// and slots leave strictly from the front. So the report is the same however
// the reads were scheduled, and a message stands among the report lines
// exactly where its entry would have been.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/text.h"
#include "report/report_sink.h"
#include "scan/walk_jobs.h"

namespace wavtally {

/// One line of output in walk order.
struct Slot {
  enum class Kind {
    kWav,         ///< a WAV file's line, once its probe is done
    kMidi,        ///< a MIDI file's line
    kUnlistable,  ///< "cannot list folder" for a folder not walked
    kSeen,        ///< "skipping folder" for a folder met before
  };
  Kind kind;
  CStdStr path;                     ///< the entry's full path
  std::shared_ptr<ProbeJob> probe;  ///< kWav only
  std::string reason;               ///< kUnlistable: why
  CStdStr first;                    ///< kSeen: where the folder was reported first
  bool fails_run = false;           ///< kUnlistable: the report is incomplete without it
};

class OrderedOutput {
 public:
  /// Runs on the walking thread for each finished probe at the front before
  /// its slot is written, with the slot's full path: to time it, and to run
  /// it again after a limit of the process.
  using Settle = std::function<void(const CStdStr& path, ProbeJob& probe)>;

  /// Writes to sink, and hands each finished probe to settle first.
  OrderedOutput(ReportSink& sink, Settle settle) : sink_(sink), settle_(std::move(settle)) {}

  /// Makes reported paths full paths less their first prefix_size
  /// characters; returns nothing.
  void SetPrefix(size_t prefix_size) { prefix_size_ = prefix_size; }
  /// Returns path as the report shows it, relative to the folder reported on.
  std::wstring_view Relative(std::wstring_view path) const {
    return path.substr(std::min(prefix_size_, path.size()));
  }

  /// Queues slot behind what waits and writes what is ready; returns nothing.
  void Put(Slot slot);
  /// Queues slot behind what waits, without writing; returns nothing.
  void Queue(Slot slot) { slots_.push_back(std::move(slot)); }
  /// Writes every slot at the front whose line is complete; lines complete
  /// together go out in one write. Returns nothing.
  void Pump();
  /// Returns the probe that the front slot waits for, or null when the front
  /// is ready or nothing waits.
  const ProbeJob* Awaited() const;
  /// Returns how many slots wait.
  size_t Size() const { return slots_.size(); }
  /// Returns true once an entry was left out of the report for good: named
  /// on standard error for a limit of the process, or a folder the report
  /// cannot do without.
  bool Incomplete() const { return incomplete_; }

 private:
  void Emit(const Slot& slot);

  ReportSink& sink_;
  Settle settle_;
  size_t prefix_size_ = 0;
  std::deque<Slot> slots_;
  bool incomplete_ = false;
};

}  // namespace wavtally
