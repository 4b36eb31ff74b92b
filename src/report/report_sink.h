#pragma once

#include <string_view>
#include <vector>

#include "base/line_writer.h"
#include "report/progress.h"
#include "report/report_writer.h"
#include "report/run_tally.h"

namespace wavtally {

/// Where a walk's output goes, in walk order: report lines to one stream and
/// messages to the other, each exactly where it happened. Report lines that
/// come together are held and go out in one write, and always before a
/// message that follows them, so the two streams interleave in walk order
/// when they share a file or a terminal. A terminal's progress line, when
/// there is one, is counted on and kept out of the messages' way. One thread
/// writes.
class ReportSink {
 public:
  /// Writes to report and errors; progress may be null.
  ReportSink(LineWriter& report, LineWriter& errors, Progress* progress)
      : report_(report), errors_(errors), progress_(progress) {}
  ReportSink(const ReportSink&) = delete;
  ReportSink& operator=(const ReportSink&) = delete;
  /// Sends what is held.
  ~ReportSink() { Flush(); }

  /// Holds the line of values for the WAV file at the relative path entry,
  /// which holds less data than its header declares when cut_short; returns
  /// nothing.
  void WavLine(std::wstring_view entry, const FormatSummary& summary, bool cut_short = false);
  /// Holds the line of "N/A" for the WAV file at the relative path entry,
  /// unreadable for why; returns nothing.
  void UnreadableLine(std::wstring_view entry, Unreadable why = Unreadable::kNotWave);
  /// Holds the line of "N/A" for the MIDI file at the relative path entry;
  /// returns nothing.
  void MidiLine(std::wstring_view entry);

  /// Tells that the folder at the relative path entry is being read and was
  /// listed; returns nothing.
  void FolderListed(std::wstring_view entry);
  /// Tells that a folder was not listed or was skipped; returns nothing.
  void FolderLeftOut();
  /// Tells that the folder at the relative path entry is not walked for the
  /// dot in its name; returns nothing.
  void DottedFolder(std::wstring_view entry) {
    if (progress_ != nullptr) progress_->Tally().DottedFolder(entry);
  }
  /// Tells that the walk waits for the folder at the relative path entry;
  /// returns nothing.
  void Reading(std::wstring_view entry) {
    if (progress_ != nullptr) progress_->SetFolder(entry);
  }
  /// Returns true when a progress display is told what happens.
  bool ShowsProgress() const { return progress_ != nullptr; }

  /// Writes "wavtally: " head, path (escaped), middle and reason as one line
  /// to the messages, after the report lines held so far; returns nothing.
  void Message(std::string_view head, std::wstring_view path, std::string_view middle,
               std::string_view reason);
  /// Writes "wavtally: " head, path, middle, second and a closing quote,
  /// both paths escaped, as above; returns nothing.
  void Message(std::string_view head, std::wstring_view path, std::string_view middle,
               std::wstring_view second);

  /// Sends the report lines held so far in one write; returns nothing.
  void Flush();

  /// Returns true once the report can no longer be written.
  bool Failed() const { return report_.Failed(); }

 private:
  /// Starts holding report lines unless it already does; returns nothing.
  void Hold();
  /// Writes "wavtally: " head, path and middle to the messages; returns nothing.
  void BeginMessage(std::string_view head, std::wstring_view path, std::string_view middle);
  /// Ends the message line; returns nothing.
  void EndMessage();

  // What a held line tells the display once it is out whole.
  struct HeldLine {
    enum class Kind : uint8_t { kWav, kUnreadable, kMidi };
    Kind kind;
    Unreadable why;
    bool cut_short;
    FormatSummary summary;
    size_t name;  // in held_names_, for a file cut short
  };
  /// Holds what line tells, for a display; returns nothing.
  void Held(HeldLine line) {
    if (progress_ != nullptr) held_.push_back(line);
  }

  LineWriter& report_;
  LineWriter& errors_;
  Progress* const progress_;
  bool holding_ = false;
  std::vector<HeldLine> held_;
  std::vector<CStdStr> held_names_;
};

}  // namespace wavtally
