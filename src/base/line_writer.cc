#include "base/line_writer.h"

#include <algorithm>

#include "base/stop.h"

namespace wavtally {

void LineWriter::EndLine() {
  text_.push_back(L'\n');
  if (holding_ && !failed_) {
    held_ = text_.size();
    ++held_lines_;
    return;
  }
  Send(text_, 1);
  text_.clear();
}

void LineWriter::SendHeld() {
  holding_ = false;
  if (held_ == 0) return;
  Send(std::wstring_view(text_).substr(0, held_), held_lines_);
  text_.erase(0, held_);
  held_ = 0;
  held_lines_ = 0;
}

void LineWriter::Send(std::wstring_view lines, size_t count) {
  if (failed_) return;
  EmitResult result;
  {
    const ScopedSend send;
    cut_lines_out_ = 0;
    result = Emit(lines, &error_);
  }
  lines_out_ += result == EmitResult::kOk ? count : cut_lines_out_;
  switch (result) {
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
  cut_lines_out_ = static_cast<size_t>(
      std::count(sent.begin(),
                 sent.begin() + static_cast<std::ptrdiff_t>(std::min(written, sent.size())), '\n'));
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
