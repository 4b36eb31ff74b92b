#include "report/report_sink.h"

namespace wavtally {

void ReportSink::Hold() {
  if (holding_) return;
  report_.HoldLines();
  holding_ = true;
}

void ReportSink::WavLine(std::wstring_view entry, const FormatSummary& summary) {
  Hold();
  PrintFormatLine(report_, entry, summary);
  if (progress_ != nullptr) progress_->CountWav(true);
}

void ReportSink::UnreadableLine(std::wstring_view entry) {
  Hold();
  PrintUnavailableLine(report_, entry);
  if (progress_ != nullptr) progress_->CountWav(false);
}

void ReportSink::MidiLine(std::wstring_view entry) {
  Hold();
  PrintUnavailableLine(report_, entry);
  if (progress_ != nullptr) progress_->CountMidi();
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
  report_.SendHeld();
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
