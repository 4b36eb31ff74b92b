#pragma once

// The report's text: its title and column header, and one line per file,
// a FormatSummary (the eight values of one WAV file) or "N/A", each column
// in its fixed number form, paths escaped so that a line is always one file.

#include <cstdint>

#include "base/line_writer.h"
#include "base/path.h"

namespace wavtally {

/// The eight reported values of one WAV file.
struct FormatSummary {
  uint16_t formatTag = 0;
  uint16_t numChannels = 0;
  uint32_t sampleRate = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitDepth = 0;
  uint32_t channelMask = 0;
  uint32_t numSamples = 0;
};

/// Writes the title, a blank line, the column header and a blank line.
void PrintReportHeader(LineWriter& out);

/// Writes the line of values for entry, whose path is already relative.
void PrintFormatLine(LineWriter& out, const Path& entry, const FormatSummary& record);
/// Writes the line of values for the file at the relative path text.
void PrintFormatLine(LineWriter& out, std::wstring_view entry, const FormatSummary& record);

/// Writes the line of "N/A" for entry, whose path is already relative.
void PrintUnavailableLine(LineWriter& out, const Path& entry);
/// Writes the line of "N/A" for the file at the relative path text.
void PrintUnavailableLine(LineWriter& out, std::wstring_view entry);

/// Writes text with its control characters escaped: tab, line feed and
/// carriage return as \t, \n and \r, any other character below 0x20, 0x7F
/// and the C1 controls 0x80 to 0x9F as \x and two lower-case hex digits of
/// the code point. Other characters go out unchanged.
void WriteEscapedPath(LineWriter& out, std::wstring_view text);

/// Appends text to *out escaped as WriteEscapedPath writes it; returns nothing.
void AppendEscapedPath(std::wstring_view text, CStdStr* out);

/// Appends text to *out escaped for a terminal: as WriteEscapedPath, and
/// also raw bytes of invalid UTF-8 (as "\x9b"), unpaired surrogates, bidi
/// controls and U+2028/U+2029 (as "\u202e"), so that nothing a file name
/// holds can move the cursor, reorder the line or talk to the terminal.
/// Returns nothing.
void AppendTerminalPath(std::wstring_view text, CStdStr* out);

}  // namespace wavtally
