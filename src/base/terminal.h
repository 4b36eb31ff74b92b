#pragma once

// The terminal a person watches a run on: standard error, when it is one and
// the report goes elsewhere. One line is drawn there in place, over and over.

#include <cstddef>
#include <memory>
#include <string_view>

namespace wavtally {

/// One line drawn in place on a terminal, each drawing replacing the last.
class Terminal {
 public:
  virtual ~Terminal() = default;

  /// Returns the terminal's width in columns now, or 0 when it cannot tell.
  virtual size_t Width() = 0;
  /// Replaces the line drawn before (if any) with line, which holds no
  /// control characters and fits the width; returns false when the write
  /// failed.
  virtual bool Draw(std::wstring_view line) = 0;
  /// Clears the line drawn and leaves the cursor at its start; returns false
  /// when the write failed.
  virtual bool Erase() = 0;
  /// Clears the line as Erase does with a single write of a fixed sequence,
  /// whatever else is under way; safe in a signal handler. Returns nothing.
  virtual void EraseForStop() = 0;
};

/// Returns standard error's terminal when standard error is a terminal and
/// standard output is not; returns null otherwise, when no progress may show.
std::unique_ptr<Terminal> OpenProgressTerminal();

}  // namespace wavtally
