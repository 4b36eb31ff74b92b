#include "base/line_writer.h"

namespace wavtally {

void LineWriter::EndLine() {
  line_.push_back(L'\n');
  if (holding_) {
    if (!failed_) held_ += line_;
  } else {
    Send(line_);
  }
  line_.clear();
}

void LineWriter::SendHeld() {
  holding_ = false;
  if (!held_.empty()) Send(held_);
  held_.clear();
}

void LineWriter::Send(std::wstring_view text) {
  if (failed_) return;
  switch (Emit(text, &error_)) {
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

LineWriter::EmitResult StringLineWriter::Emit(std::wstring_view line, std::string*) {
  AppendUtf8(line, text_);
  return EmitResult::kOk;
}

}  // namespace wavtally
