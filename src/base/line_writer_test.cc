#include "base/line_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wavtally {
namespace {

// Keeps each Emit apart; the Emit numbered fail_at fails.
class RecordingWriter : public LineWriter {
 public:
  std::vector<std::string> emits;
  size_t fail_at = SIZE_MAX;

 protected:
  EmitResult Emit(std::wstring_view lines, std::string* error) override {
    emits.push_back(EncodeUtf8(lines));
    if (emits.size() - 1 != fail_at) return EmitResult::kOk;
    *error = "disk full";
    return EmitResult::kFailed;
  }
};

void Line(LineWriter& w, std::string_view text) {
  w.Write(text);
  w.EndLine();
}

TEST(LineWriterTest, HeldLinesGoOutInOneEmitOtherLinesOneEach) {
  RecordingWriter w;
  Line(w, "a");
  w.HoldLines();
  Line(w, "b");
  Line(w, "c");
  EXPECT_EQ(w.emits, std::vector<std::string>{"a\n"});
  // A line begun but not ended stays behind the held ones.
  w.Write(std::string_view("d"));
  w.SendHeld();
  w.SendHeld();
  w.EndLine();
  Line(w, "e");
  EXPECT_EQ(w.emits, (std::vector<std::string>{"a\n", "b\nc\n", "d\n", "e\n"}));

  StringLineWriter s;
  s.HoldLines();
  Line(s, "x");
  Line(s, "y");
  EXPECT_EQ(s.Text(), "");
  s.SendHeld();
  EXPECT_EQ(s.Text(), "x\ny\n");
}

TEST(LineWriterTest, NothingIsSentAfterAFailureHeldOrNot) {
  RecordingWriter w;
  w.fail_at = 1;
  Line(w, "a");
  w.HoldLines();
  Line(w, "b");
  Line(w, "c");
  w.SendHeld();
  EXPECT_TRUE(w.Failed());
  EXPECT_FALSE(w.Closed());
  EXPECT_EQ(w.Error(), "disk full");
  w.HoldLines();
  Line(w, "d");
  w.SendHeld();
  Line(w, "e");
  EXPECT_EQ(w.emits, (std::vector<std::string>{"a\n", "b\nc\n"}));
}

}  // namespace
}  // namespace wavtally
