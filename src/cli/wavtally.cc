#include "cli/wavtally.h"

#include <string_view>

#include "base/path.h"
#include "report/report_writer.h"

namespace wavtally {
namespace {

constexpr std::string_view kUsage[] = {
    "Usage: Wavtally DIR",
    "",
    "positional arguments:",
    " DIR\tDirectory to originals folder",
    "",
    "optional arguments:",
    " -h, --help\tShow this help message",
};

// A report that did not reach its reader must not end in status 0. A reader
// that went away (a closed pipe) is no error of ours and gets no message.
int FinishOutput(LineWriter& out, LineWriter& err, int status, Progress* progress = nullptr) {
  if (!out.Failed()) return status;
  if (!out.Closed()) {
    const ProgressMessage aside(progress);
    err.Write(std::string_view("wavtally: cannot write report: "));
    err.Write(out.Error());
    err.EndLine();
  }
  return 1;
}

}  // namespace

void PrintUsage(LineWriter& stream) {
  for (std::string_view line : kUsage) {
    stream.Write(line);
    stream.EndLine();
  }
}

int RunWavtally(const std::vector<CStdStr>& args, LineWriter& out, LineWriter& err, FileSystem& fs,
                const ProgressOpener& open_progress, const ScanTuning& tuning) {
  if (args.size() != 1) {
    PrintUsage(err);
    return 1;
  }
  const CStdStr& argument = args[0];
  if (argument == L"-h" || argument == L"--help") {
    PrintUsage(out);
    return FinishOutput(out, err, 0);
  }
  const Path root(argument);
  if (!root.DirectoryExists(fs)) {
    err.Write(std::string_view("Path specified as 'DIR' cannot be resolved."));
    err.EndLine();
    err.Write(std::string_view("Generation aborted."));
    err.EndLine();
    return 1;
  }
  const std::unique_ptr<Progress> progress = open_progress ? open_progress(err) : nullptr;
  PrintReportHeader(out);
  ScanOutput output{out, err, progress.get()};
  // A root that cannot be listed leaves the report empty, which must not
  // pass for a folder without audio files; nor may a report that left
  // files out.
  const ScanResult result = ScanFolder(root, root, output, fs, tuning);
  const int status =
      FinishOutput(out, err, result == ScanResult::kComplete ? 0 : 1, progress.get());
  if (progress) progress->Finish();
  return status;
}

int RunWavtallyGuarded(const std::vector<CStdStr>& args, LineWriter& out, LineWriter& err,
                       FileSystem& fs, const ProgressOpener& open_progress) {
  // Nothing here throws by design; only running out of memory can, and even
  // then the run must end with a message and a failure status.
  try {
    return RunWavtally(args, out, err, fs, open_progress);
  } catch (...) {
    err.Write(std::string_view("wavtally: out of memory"));
    err.EndLine();
    return 1;
  }
}

int WavtallyMain(const std::vector<CStdStr>& args) {
  return RunWavtallyGuarded(args, StdOut(), StdErr(), DiskFileSystem(),
                            [](LineWriter& messages) { return Progress::Open(messages); });
}

}  // namespace wavtally
