#pragma once

#include <cstddef>
#include <string_view>

#include "base/file_system.h"
#include "base/line_writer.h"
#include "base/path.h"
#include "base/text.h"
#include "report/progress.h"
#include "report/report_writer.h"
#include "scan/schedule.h"

namespace wavtally {

/// Where a walk writes: the report, and one line per entry it cannot reach;
/// and what it has done, to a terminal's progress display when there is one.
struct ScanOutput {
  LineWriter& report;
  LineWriter& errors;
  Progress* progress = nullptr;
  /// When not null, set to the most folders the walk held on its way down at
  /// once: a folder whose subfolders are all handed out is no longer held.
  size_t* most_frames = nullptr;
};

/// How a walk ended.
enum class ScanResult {
  kComplete,    ///< every entry reported, or the report stopped being written
  kIncomplete,  ///< the folder could not be listed, or entries were left out
};

/// Reads the format of the WAV file at pathText in fs. Returns true and
/// stores the eight values into out when the reader delivered a format;
/// leaves out as it was otherwise, and sets *error to why the file could not
/// be opened (an empty text when it was there but is no readable file).
/// The walk probes each file in its open folder; this is the same probe for
/// a caller that holds only the path.
bool ProbeWavFormat(FileSystem& fs, const CStdStr& pathText, FormatSummary& out, FsError* error);

/// Reports folder and every folder below it, depth first: in each folder its
/// WAV files, then its MIDI files, then its subfolders, each folder once.
/// Paths are reported relative to root; messages name full paths. Reads
/// through fs and schedules as tuning says. Stops early once the report can
/// no longer be written. Returns kIncomplete when folder itself could not be
/// listed, or when an entry could not be read for a limit of this process
/// even one at a time.
ScanResult ScanFolder(const Path& root, const Path& folder, ScanOutput& out, FileSystem& fs,
                      const ScanTuning& tuning = ScanTuning());

}  // namespace wavtally
