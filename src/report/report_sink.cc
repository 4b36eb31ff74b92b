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
}

void ReportSink::UnavailableLine(std::wstring_view entry) {
  Hold();
  PrintUnavailableLine(report_, entry);
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
  BeginMessage(head, path, middle);
  errors_.Write(reason);
  EndMessage();
}

void ReportSink::Message(std::string_view head, std::wstring_view path, std::string_view middle,
                         std::wstring_view second) {
  BeginMessage(head, path, middle);
  WriteEscapedPath(errors_, second);
  errors_.Write(std::string_view("'"));
  EndMessage();
}

}  // namespace wavtally
