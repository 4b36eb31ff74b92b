#include "scan/ordered_output.h"

namespace wavtally {

void OrderedOutput::Put(Slot slot) {
  slots_.push_back(std::move(slot));
  Pump();
}

void OrderedOutput::Pump() {
  while (!slots_.empty() && !sink_.Failed()) {
    Slot& slot = slots_.front();
    if (slot.probe) {
      if (!slot.probe->Done()) break;
      if (settle_) settle_(slot.path, *slot.probe);
    }
    Emit(slot);
    slots_.pop_front();
  }
  sink_.Flush();
  // Nothing more reaches a report that cannot be written; what waits goes.
  if (sink_.Failed()) slots_.clear();
}

const ProbeJob* OrderedOutput::Awaited() const {
  if (slots_.empty()) return nullptr;
  const ProbeJob* probe = slots_.front().probe.get();
  return probe != nullptr && !probe->Done() ? probe : nullptr;
}

void OrderedOutput::Emit(const Slot& slot) {
  switch (slot.kind) {
    case Slot::Kind::kWav: {
      const ProbeJob& probe = *slot.probe;
      if (probe.error.Failed()) {
        sink_.Message("cannot open file '", slot.path, "': ", probe.error.text);
      }
      if (probe.HitLimit()) {
        // Not read at all, for want of a handle or memory: no line rather
        // than a line that would call the file unreadable.
        incomplete_ = true;
      } else if (probe.ok) {
        sink_.WavLine(Relative(slot.path), probe.summary, probe.cut_short);
      } else {
        sink_.UnreadableLine(Relative(slot.path), probe.Why());
      }
      break;
    }
    case Slot::Kind::kMidi:
      sink_.MidiLine(Relative(slot.path));
      break;
    case Slot::Kind::kUnlistable:
      if (slot.fails_run) incomplete_ = true;
      sink_.FolderLeftOut();
      sink_.Message("cannot list folder '", slot.path, "': ", slot.reason);
      break;
    case Slot::Kind::kSeen:
      sink_.FolderLeftOut();
      sink_.Message("skipping folder '", slot.path, "': already reported as '", slot.first);
      break;
  }
}

}  // namespace wavtally
