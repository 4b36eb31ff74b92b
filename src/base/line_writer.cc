#include "base/line_writer.h"

namespace wavtally {

void LineWriter::EndLine() {
  text_.push_back(L'\n');
  if (holding_ && !failed_) {
    held_ = text_.size();
    return;
  }
  Send(text_);
  text_.clear();
}

void LineWriter::SendHeld() {
  holding_ = false;
  if (held_ == 0) return;
  Send(std::wstring_view(text_).substr(0, held_));
  text_.erase(0, held_);
  held_ = 0;
}

void LineWriter::Send(std::wstring_view lines) {
  if (failed_) return;
  switch (Emit(lines, &error_)) {
    case EmitResult::kOk:
      break;
    case EmitResult::kClosed:
      closed_ = true;
      failed_ = true;
      break;
    case EmitResult::kFailed:
      failed_ = true;
      break;
  }
}

std::string LineWriter::CutLineNote(std::string_view sent, size_t written) {
  if (written == 0 || written >= sent.size() || sent[written - 1] == '\n') return "";
  const size_t previous_end = sent.rfind('\n', written - 1);
  const size_t start = previous_end == std::string_view::npos ? 0 : previous_end + 1;
  const size_t end = sent.find('\n', written);
  const size_t length = (end == std::string_view::npos ? sent.size() : end + 1) - start;
  return " (wrote " + std::to_string(written - start) + " of " + std::to_string(length) +
         " bytes of the last line)";
}

LineWriter::EmitResult StringLineWriter::Emit(std::wstring_view lines, std::string*) {
  AppendUtf8(lines, text_);
  return EmitResult::kOk;
}

}  // namespace wavtally
