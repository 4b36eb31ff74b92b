#pragma once

#include <cstddef>

#include "base/file_system.h"
#include "base/line_writer.h"
#include "base/path.h"
#include "base/text.h"
#include "report/report_writer.h"
#include "scan/pipeline.h"

namespace wavtally {

/// Where a walk writes: the report, and one line per entry it cannot reach.
struct ScanOutput {
  LineWriter& report;
  LineWriter& errors;
};

/// How a walk schedules its reads. Whatever is chosen, the output is the
/// same; only the time differs.
struct ScanTuning {
  enum class Mode {
    kAdaptive,  ///< one call at a time until the file system turns out slow
    kInline,    ///< always one call at a time, on the walking thread
    kPooled,    ///< always through the executor
  };
  Mode mode = Mode::kAdaptive;
  /// Runs the reads handed off; null means a thread pool of the walk's own.
  Executor* executor = nullptr;
  /// Measures how long calls take; empty means the steady clock.
  LatencyGate::Clock clock;
  /// How many files may be read ahead of the report; 0 means four per thread.
  size_t window = 0;
};

/// Reads the format of the WAV file at pathText. Returns true and stores the
/// eight values into out when the reader delivered a format; leaves out as it
/// was otherwise.
bool ProbeWavFormat(const CStdStr& pathText, FormatSummary& out);

/// Reads the format of the WAV file at pathText in fs, as above; when it
/// returns false, sets *error to why the file could not be reached at all,
/// or to an empty text when it was there but is not a readable WAV file.
bool ProbeWavFormat(FileSystem& fs, const CStdStr& pathText, FormatSummary& out,
                    std::string* error);

/// Reports folder and every folder below it, depth first: in each folder its
/// WAV files, then its MIDI files, then its subfolders, each folder once.
/// Paths are reported relative to root; record is scratch space for the
/// probe. Stops early once the report can no longer be written. Returns
/// false when folder itself could not be listed, so the report is not
/// complete.
bool ScanFolder(const Path& root, const Path& folder, FormatSummary& record, ScanOutput& out);

/// Reports as above, reading through fs and scheduling as tuning says.
bool ScanFolder(const Path& root, const Path& folder, FormatSummary& record, ScanOutput& out,
                FileSystem& fs, const ScanTuning& tuning);

}  // namespace wavtally
