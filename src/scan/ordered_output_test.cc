#include "scan/ordered_output.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "memory_file_system.h"
#include "walk_fixture.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::kNaLine;
using test::MemoryFileSystem;
using test::Stereo16;
using test::Values;

// Slots leave strictly from the front: a finished read behind an
// unfinished one waits, and a message waits for the lines before it.
TEST(OrderedOutputTest, SlotsLeaveInWalkOrderWhateverOrderTheReadsFinishIn) {
  MemoryFileSystem fs;
  fs.File("/r/a.wav", Stereo16(1));
  fs.File("/r/b.wav", Stereo16(2));
  FolderLook folder = fs.OpenFolder(L"/r");
  const std::shared_ptr<const Folder> r(std::move(folder.folder));
  const LatencyGate gate({});
  auto a = std::make_shared<ProbeJob>(fs, gate, r, L"a.wav");
  auto b = std::make_shared<ProbeJob>(fs, gate, r, L"b.wav");
  auto gone = std::make_shared<ProbeJob>(fs, gate, r, L"gone.wav");

  StringLineWriter report, errors;
  ReportSink sink(report, errors, nullptr);
  std::string settled;
  OrderedOutput output(sink,
                       [&](const CStdStr& path, ProbeJob&) { settled += EncodeUtf8(path) + ";"; });
  output.SetPrefix(3);  // "/r/": the writer puts the separator back
  output.Queue(Slot{Slot::Kind::kWav, L"/r/a.wav", a, {}, {}});
  output.Queue(Slot{Slot::Kind::kWav, L"/r/b.wav", b, {}, {}});
  output.Queue(Slot{Slot::Kind::kUnlistable, L"/r/x", nullptr, "permission denied", {}});
  output.Queue(Slot{Slot::Kind::kWav, L"/r/gone.wav", gone, {}, {}});
  output.Queue(Slot{Slot::Kind::kMidi, L"/r/m.mid", nullptr, {}, {}});
  b->RunToEnd();
  output.Pump();
  EXPECT_EQ(report.Text(), "");
  EXPECT_EQ(output.Awaited(), a.get());
  a->RunToEnd();
  output.Pump();
  EXPECT_EQ(report.Text(), "/a.wav" + Values(1) + "/b.wav" + Values(2));
  EXPECT_EQ(errors.Text(), "wavtally: cannot list folder '/r/x': permission denied\n");
  EXPECT_EQ(output.Size(), 2u);
  gone->RunToEnd();
  output.Pump();
  EXPECT_EQ(output.Size(), 0u);
  EXPECT_EQ(report.Text(), "/a.wav" + Values(1) + "/b.wav" + Values(2) + "/gone.wav" + kNaLine +
                               "/m.mid" + kNaLine);
  EXPECT_EQ(settled, "/r/a.wav;/r/b.wav;/r/gone.wav;");
  // Nothing that was named fails the run on its own.
  EXPECT_FALSE(output.Incomplete());
  output.Put(Slot{Slot::Kind::kUnlistable, L"/r", nullptr, "out of memory", {}, true});
  EXPECT_TRUE(output.Incomplete());
}

}  // namespace
}  // namespace wavtally
