#include "report/report_sink.h"

namespace wavtally {

void ReportSink::Hold() {
  if (holding_) return;
  report_.HoldLines();
  holding_ = true;
}

void ReportSink::WavLine(std::wstring_view entry, const FormatSummary& summary, bool cut_short) {
  Hold();
  PrintFormatLine(report_, entry, summary);
  if (progress_ == nullptr) return;
  size_t name = 0;
  if (cut_short) {
    name = held_names_.size();
    held_names_.emplace_back(entry);
  }
  Held({HeldLine::Kind::kWav, Unreadable::kNotWave, cut_short, summary, name});
}

void ReportSink::UnreadableLine(std::wstring_view entry, Unreadable why) {
  Hold();
  PrintUnavailableLine(report_, entry);
  Held({HeldLine::Kind::kUnreadable, why, false, {}, 0});
}

void ReportSink::MidiLine(std::wstring_view entry) {
  Hold();
  PrintUnavailableLine(report_, entry);
  Held({HeldLine::Kind::kMidi, Unreadable::kNotWave, false, {}, 0});
}

void ReportSink::FolderListed(std::wstring_view entry) {
  if (progress_ == nullptr) return;
  progress_->CountFolder();
  progress_->SetFolder(entry);
}

void ReportSink::FolderLeftOut() {
  if (progress_ != nullptr) progress_->CountSkipped();
}

void ReportSink::Flush() {
  if (!holding_) return;
  holding_ = false;
  const uint64_t before = report_.LinesOut();
  report_.SendHeld();
  if (progress_ == nullptr) return;
  // Only what reached the report whole counts: a disk that filled up in
  // the middle of the batch took the rest.
  const uint64_t whole = report_.LinesOut() - before;
  RunTally& tally = progress_->Tally();
  for (size_t i = 0; i < held_.size() && i < whole; ++i) {
    const HeldLine& line = held_[i];
    switch (line.kind) {
      case HeldLine::Kind::kWav:
        progress_->CountWav(true);
        tally.Format(line.summary);
        if (line.cut_short) tally.CutShort(held_names_[line.name]);
        break;
      case HeldLine::Kind::kUnreadable:
        progress_->CountWav(false);
        tally.Unreadable(line.why);
        break;
      case HeldLine::Kind::kMidi:
        progress_->CountMidi();
        break;
    }
  }
  held_.clear();
  held_names_.clear();
}

void ReportSink::BeginMessage(std::string_view head, std::wstring_view path,
                              std::string_view middle) {
  // The report lines before the message in the walk go out before it.
  Flush();
  errors_.Write(std::string_view("wavtally: "));
  errors_.Write(head);
  WriteEscapedPath(errors_, path);
  errors_.Write(middle);
}

void ReportSink::EndMessage() { errors_.EndLine(); }

void ReportSink::Message(std::string_view head, std::wstring_view path, std::string_view middle,
                         std::string_view reason) {
  const ProgressMessage aside(progress_);
  BeginMessage(head, path, middle);
  errors_.Write(reason);
  EndMessage();
}

void ReportSink::Message(std::string_view head, std::wstring_view path, std::string_view middle,
                         std::wstring_view second) {
  const ProgressMessage aside(progress_);
  BeginMessage(head, path, middle);
  WriteEscapedPath(errors_, second);
  errors_.Write(std::string_view("'"));
  EndMessage();
}

}  // namespace wavtally
