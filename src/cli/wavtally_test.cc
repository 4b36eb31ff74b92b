#include "cli/wavtally.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "full_disk.h"
#include "memory_file_system.h"
#include "report/report_writer.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::FullDisk;
using test::MemoryFileSystem;
using test::Riff;
using Call = MemoryFileSystem::Call;

const std::string kUsage =
    "Usage: Wavtally DIR\n"
    "\n"
    "positional arguments:\n"
    " DIR\tDirectory to originals folder\n"
    "\n"
    "optional arguments:\n"
    " -h, --help\tShow this help message\n";

// Its text is checked by ReportWriterTest.
const std::string kHeader = [] {
  StringLineWriter header;
  PrintReportHeader(header);
  return header.Text();
}();

const std::string kUnresolved =
    "Path specified as 'DIR' cannot be resolved.\n"
    "Generation aborted.\n";

const std::string kNa = "\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n";

struct Outcome {
  int status;
  std::string out;
  std::string err;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& r) {
  return os << "status " << r.status << "\n--- out\n" << r.out << "--- err\n" << r.err;
}

Outcome Tally(FileSystem& fs, const std::vector<CStdStr>& args) {
  StringLineWriter out, err;
  const int status = RunWavtally(args, out, err, fs);
  return {status, out.Text(), err.Text()};
}

TEST(CommandLineTest, UsageHelpAndWhatCannotBeResolved) {
  MemoryFileSystem fs;
  fs.File("/lib/file.wav", Riff().Fmt(1, 1, 8000, 16000, 2, 16).Data(2).Bytes());
  fs.File("/-H/a.mid");
  EXPECT_EQ(Tally(fs, {}), (Outcome{1, "", kUsage}));
  EXPECT_EQ(Tally(fs, {L"a", L"b"}), (Outcome{1, "", kUsage}));
  // "-h" beside another argument is a wrong count, not a request for help.
  EXPECT_EQ(Tally(fs, {L"-h", L"x"}), (Outcome{1, "", kUsage}));
  EXPECT_EQ(Tally(fs, {L"-h"}), (Outcome{0, kUsage, ""}));
  EXPECT_EQ(Tally(fs, {L"--help"}), (Outcome{0, kUsage, ""}));
  for (const CStdStr arg : {L"--HELP", L"-help", L"/missing", L"/lib/file.wav", L""}) {
    EXPECT_EQ(Tally(fs, {arg}), (Outcome{1, "", kUnresolved})) << EncodeUtf8(arg);
  }
  // Only the exact texts ask for help; any other is a folder.
  EXPECT_EQ(Tally(fs, {L"/-H"}), (Outcome{0, kHeader + "/a.mid" + kNa, ""}));
}

TEST(CommandLineTest, StatusOfAReport) {
  MemoryFileSystem fs;
  fs.Dir("/empty");
  fs.File("/bad/a.wav", {'R', 'I', 'F', 'F'});
  fs.File("/bad/b.wav");
  fs.File("/lib/a.mid");
  fs.File("/lib/locked/b.mid");
  fs.Fail(Call::kList, "/lib/locked", "permission denied");
  fs.File("/root-locked/c.mid");
  fs.Fail(Call::kList, "/root-locked", "permission denied");
  EXPECT_EQ(Tally(fs, {L"/empty"}), (Outcome{0, kHeader, ""}));
  // However many files are unreadable, and whatever folder below cannot be
  // listed, the report is complete.
  EXPECT_EQ(Tally(fs, {L"/bad"}), (Outcome{0, kHeader + "/a.wav" + kNa + "/b.wav" + kNa, ""}));
  EXPECT_EQ(Tally(fs, {L"/lib"}),
            (Outcome{0, kHeader + "/a.mid" + kNa,
                     "wavtally: cannot list folder '/lib/locked': permission denied\n"}));
  // A DIR that cannot be listed is no report of an empty folder.
  EXPECT_EQ(
      Tally(fs, {L"/root-locked"}),
      (Outcome{1, kHeader, "wavtally: cannot list folder '/root-locked': permission denied\n"}));
}

TEST(CommandLineTest, AReportThatCannotBeWrittenFails) {
  MemoryFileSystem fs;
  fs.File("/lib/a.mid");
  fs.File("/lib/b.mid");
  for (const size_t lines : {0, 4, 5}) {
    FullDisk out(FullDisk::Room::kLines, lines);
    StringLineWriter err;
    EXPECT_EQ(RunWavtally({L"/lib"}, out, err, fs), 1) << lines;
    EXPECT_EQ(err.Text(), "wavtally: cannot write report: no space left on device\n") << lines;
  }
  FullDisk help(FullDisk::Room::kLines, 0);
  StringLineWriter err;
  EXPECT_EQ(RunWavtally({L"-h"}, help, err, fs), 1);
  EXPECT_EQ(err.Text(), "wavtally: cannot write report: no space left on device\n");
}

TEST(CommandLineTest, FilesLeftOutForALimitOfTheProcessFailTheRun) {
  MemoryFileSystem fs;
  fs.File("/lib/a.mid");
  fs.File("/lib/b.wav", test::Stereo16(1));
  fs.Fail(Call::kOpen, "/lib/b.wav", "too many open files", /*limit=*/true);
  EXPECT_EQ(Tally(fs, {L"/lib"}),
            (Outcome{1, kHeader + "/a.mid" + kNa,
                     "wavtally: cannot open file '/lib/b.wav': too many open files\n"}));
}

TEST(CommandLineTest, MemoryThatRunsOutOutsideTheWalkFailsTheRunWithAWord) {
  MemoryFileSystem fs;
  fs.File("/lib/a.mid");
  for (const Call call : {Call::kStat, Call::kList}) {
    // The front end's own look at DIR, then the walk's listing: the first
    // is the front end's, not a job's, so nothing but the guard catches it.
    fs.SetHook([call](Call made, const std::string&) {
      if (made == call) throw std::bad_alloc();
    });
    StringLineWriter out, err;
    EXPECT_EQ(RunWavtallyGuarded({L"/lib"}, out, err, fs), 1);
    EXPECT_NE(err.Text().find("out of memory"), std::string::npos) << err.Text();
  }
}

}  // namespace
}  // namespace wavtally
