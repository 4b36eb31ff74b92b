#pragma once

#include <string>
#include <string_view>

#include "base/stop.h"
#include "base/text.h"

namespace wavtally {

/// A text stream that goes out a whole line at a time: text gathers in a
/// buffer and EndLine hands the finished line to the sink in one write, so
/// every completed line is out as soon as it is complete and no line is ever
/// cut in two by the stream. Lines may also be held back and sent together
/// in one write.
///
/// A stop signal (see RequestStop) never cuts what a writer is sending: the
/// process ends once the line or batch under way is out, and no later one
/// is begun.
class LineWriter {
 public:
  virtual ~LineWriter() = default;

  /// Appends text to the current line.
  void Write(std::wstring_view text) { text_.append(text); }
  /// Appends ASCII text to the current line.
  void Write(std::string_view ascii) {
    // Widening in place: appending a range of another character type builds
    // a temporary string, an allocation per number in a report line.
    const size_t at = text_.size();
    text_.resize(at + ascii.size());
    for (size_t i = 0; i < ascii.size(); ++i) text_[at + i] = static_cast<wchar_t>(ascii[i]);
  }
  /// Ends the current line and sends it to the sink, or holds it back after
  /// HoldLines.
  void EndLine();

  /// Holds finished lines back: from now on EndLine queues each line instead
  /// of sending it.
  void HoldLines() { holding_ = true; }
  /// Sends every held line in one Emit (one write(2)) and goes back to
  /// sending each line as it ends; returns nothing.
  void SendHeld();

  /// Returns true once a write has failed; later lines are then dropped.
  bool Failed() const { return failed_; }
  /// Returns true when the failure was a closed pipe rather than an error.
  bool Closed() const { return closed_; }
  /// Returns the reason of the first failure, or an empty text.
  const std::string& Error() const { return error_; }
  /// Returns how many lines have gone out whole: a line cut by a failed
  /// write is not among them.
  uint64_t LinesOut() const { return lines_out_; }

 protected:
  enum class EmitResult { kOk, kClosed, kFailed };
  /// Writes one or more finished lines, each ending in "\n", to the sink,
  /// however many writes that takes; on failure stores the reason in *error.
  virtual EmitResult Emit(std::wstring_view lines, std::string* error) = 0;

  /// Takes, from a failed Emit, that only the first written bytes of sent,
  /// the bytes of whole lines, went out. Returns " (wrote N of M bytes of the
  /// last line)" when they end inside a line, or an empty text when they end
  /// at the end of a line or are none.
  std::string CutLineNote(std::string_view sent, size_t written);

 private:
  // Hands lines, count of them, to Emit unless a write failed before;
  // records a failure.
  void Send(std::wstring_view lines, size_t count);

  // The held lines (the first held_ characters), then the current line.
  CStdStr text_;
  size_t held_ = 0;
  size_t held_lines_ = 0;
  uint64_t lines_out_ = 0;
  size_t cut_lines_out_ = 0;  // whole lines a failed Emit got out
  bool holding_ = false;
  bool failed_ = false;
  bool closed_ = false;
  std::string error_;
};

/// A LineWriter that keeps what it is given as UTF-8, for tests.
class StringLineWriter : public LineWriter {
 public:
  /// Returns everything written so far, as UTF-8.
  const std::string& Text() const { return text_; }

 protected:
  EmitResult Emit(std::wstring_view lines, std::string* error) override;

 private:
  std::string text_;
};

/// Returns the writer for standard output, which carries the report as UTF-8
/// whatever the locale.
LineWriter& StdOut();
/// Returns the writer for standard error.
LineWriter& StdErr();

}  // namespace wavtally
