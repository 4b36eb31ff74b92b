#pragma once

#include "base/line_writer.h"
#include "base/path.h"
#include "base/text.h"
#include "report/report_writer.h"

namespace wavtally {

/// Where a walk writes: the report, and one line per folder it cannot list.
struct ScanOutput {
  LineWriter& report;
  LineWriter& errors;
};

/// Reads the format of the WAV file at pathText. Returns true and stores the
/// eight values into out when the reader delivered a format; leaves out as it
/// was otherwise.
bool ProbeWavFormat(const CStdStr& pathText, FormatSummary& out);

/// Reports folder and every folder below it, depth first: in each folder its
/// WAV files, then its MIDI files, then its subfolders. Paths are reported
/// relative to root; record is scratch space for the probe. Stops early once
/// the report can no longer be written.
void ScanFolder(const Path& root, const Path& folder, FormatSummary& record, ScanOutput& out);

}  // namespace wavtally
