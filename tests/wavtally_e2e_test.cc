// The built executable run as a user runs it: arguments in, bytes and exit
// status out.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "cli/wavtally.h"
#include "process_runner.h"
#include "temp_tree.h"
#include "wave_builder.h"

namespace wavtally::test {
namespace {

// The text itself is checked in process, by CommandLineTest.
std::string Usage() {
  StringLineWriter usage;
  PrintUsage(usage);
  return usage.Text();
}

const std::string& kHeader = kReportHeader;

const std::string kUnresolved =
    "Path specified as 'DIR' cannot be resolved.\n"
    "Generation aborted.\n";

const std::string kNa = "\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n";

void ExpectResult(const RunResult& r, int status, const std::string& out, const std::string& err) {
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

// The statuses and messages of each case are tested in process; this is
// what only a real process shows: the arguments reach the tool, and its
// status and streams reach the caller.
TEST(CommandLineTest, ArgumentsStatusAndStreamsReachTheCaller) {
  ExpectResult(RunTool({}), 1, "", Usage());
  ExpectResult(RunTool({"--help"}), 0, Usage(), "");
  TempTree tree;
  tree.File("file.wav", Riff().Fmt(1, 1, 8000, 16000, 2, 16).Data(2).Bytes());
  tree.Link("nowhere", "dangling");
  tree.File("-H/a.mid");
  RunOptions in_tree;
  in_tree.cwd = tree.Root();
  for (const char* arg : {"file.wav", "dangling"}) {
    SCOPED_TRACE(arg);
    ExpectResult(RunTool({arg}, in_tree), 1, "", kUnresolved);
  }
  ExpectResult(RunTool({"-H"}, in_tree), 0, kHeader + "/a.mid" + kNa, "");
}

TEST(ReportTest, SameBytesWhateverTheLocaleAndArgumentForm) {
  TempTree tree;
  tree.File("caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.wav",
            Riff().Fmt(1, 1, 48000, 96000, 2, 16).Data(96000).Bytes());
  tree.File("raw\xff.mid");
  tree.File("tab\there.mid");
  const std::string expected =
      kHeader + "/raw\xff.mid" + kNa + "/tab\\there.mid" + kNa +
      "/caf\xc3\xa9/"
      "\xe6\x97\xa5\xe6\x9c\xac.wav\t0x0001\t1\t0x00000000\t48000\t96000\t2\t16\t48000\n";
  for (const char* locale : {"LC_ALL=C", "LC_ALL=C.UTF-8", "LANG=", "LC_ALL=POSIX"}) {
    SCOPED_TRACE(locale);
    RunOptions opt;
    opt.env = {locale};
    ExpectResult(RunTool({tree.Root()}, opt), 0, expected, "");
  }
  for (const char* tail : {"/", "//", "/caf\xc3\xa9/.."}) {
    ExpectResult(RunTool({tree.Root() + tail}), 0, expected, "");
  }
  RunOptions below;
  below.cwd = tree.At("caf\xc3\xa9");
  ExpectResult(RunTool({".."}, below), 0, expected, "");
}

TEST(ReportTest, FolderWithAnInvalidUtf8NameIsOpenedAndPrintedAsItsBytes) {
  TempTree tree;
  tree.File("\xfe\xff/a.wav", Riff().Fmt(1, 2, 8000, 32000, 4, 16).Data(16).Bytes());
  ExpectResult(RunTool({tree.At("\xfe\xff")}), 0,
               kHeader + "/a.wav\t0x0001\t2\t0x00000000\t8000\t32000\t4\t16\t4\n", "");
  ExpectResult(RunTool({tree.Root()}), 0,
               kHeader + "/\xfe\xff/a.wav\t0x0001\t2\t0x00000000\t8000\t32000\t4\t16\t4\n", "");
}

TEST(ReportTest, UnlistableFolderIsNamedOnStandardErrorAndTheRunGoesOn) {
  TempTree tree;
  tree.File("a/x.mid");
  tree.File("b/y.mid");
  tree.File("c/z.mid");
  // Its path is escaped like the report's, so it never breaks the line.
  tree.File("d\te\n\x1b/w.mid");
  tree.Lock("b");
  tree.Lock("d\te\n\x1b");
  chmod(tree.Root().c_str(), 0755);
  RunOptions opt;
  opt.unprivileged = true;
  ExpectResult(RunTool({tree.Root()}, opt), 0, kHeader + "/a/x.mid" + kNa + "/c/z.mid" + kNa,
               "wavtally: cannot list folder '" + tree.At("b") +
                   "': permission denied\n"
                   "wavtally: cannot list folder '" +
                   tree.At("d\\te\\n\\x1b") + "': permission denied\n");
}

TEST(ReportTest, TheFewestDescriptorsGiveTheWholeReport) {
  if (WAVTALLY_UBSAN_BUILT) GTEST_SKIP() << "UBSan needs descriptors of its own";
  // Files beside DIR's own subfolders: the folder held open leaves one
  // descriptor for the files, which reading in batches must not take.
  TempTree tree;
  for (int i = 0; i < 30; ++i) {
    tree.File("f" + std::to_string(10 + i) + ".wav",
              Riff().Fmt(1, 1, 8000, 16000, 2, 16).Data(i).Bytes());
  }
  tree.File("sub/deeper/g.wav", Riff().Fmt(1, 2, 8000, 32000, 4, 16).Data(8).Bytes());
  tree.File("sub/m.mid");
  const RunResult whole = RunTool({tree.Root()});
  ASSERT_EQ(whole.status, 0);
  RunOptions few;
  few.descriptor_limit = 5;
  ExpectResult(RunTool({tree.Root()}, few), 0, whole.out, "");
}

}  // namespace
}  // namespace wavtally::test
