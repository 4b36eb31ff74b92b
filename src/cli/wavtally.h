#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "base/file_system.h"
#include "base/line_writer.h"
#include "base/text.h"
#include "report/progress.h"
#include "scan/scan.h"

namespace wavtally {

/// Writes the usage text to stream.
void PrintUsage(LineWriter& stream);

/// Opens the progress display of a report run, which writes its summary
/// through messages; returns null when none may show.
using ProgressOpener = std::function<std::unique_ptr<Progress>(LineWriter& messages)>;

/// Runs the tool on args (the arguments after the program name) over the
/// file system fs, writing the report or usage to out and messages to err,
/// with the progress display open_progress opens, if any, for a report, and
/// the walk scheduled as tuning says. Returns the exit status: 0 after help
/// or a completed report, 1 for a wrong argument count, a folder that cannot
/// be resolved, a DIR that cannot be listed, entries left out for a limit of
/// the process, or a report that could not be written.
int RunWavtally(const std::vector<CStdStr>& args, LineWriter& out, LineWriter& err, FileSystem& fs,
                const ProgressOpener& open_progress = nullptr,
                const ScanTuning& tuning = ScanTuning());

/// Runs RunWavtally; a run that memory ran out for (the one way anything
/// here can throw) ends with "wavtally: out of memory" on err and status 1.
int RunWavtallyGuarded(const std::vector<CStdStr>& args, LineWriter& out, LineWriter& err,
                       FileSystem& fs, const ProgressOpener& open_progress = nullptr);

/// Runs the tool on args with standard output and standard error, over the
/// machine's own file system, with progress when a person watches.
int WavtallyMain(const std::vector<CStdStr>& args);

}  // namespace wavtally
