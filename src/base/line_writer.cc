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

LineWriter::EmitResult StringLineWriter::Emit(std::wstring_view lines, std::string*) {
  AppendUtf8(lines, text_);
  return EmitResult::kOk;
}

}  // namespace wavtally
