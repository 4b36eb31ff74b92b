#include "base/line_writer.h"

namespace wavtally {

void LineWriter::EndLine() {
  line_.push_back(L'\n');
  if (!failed_) {
    switch (Emit(line_, &error_)) {
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
  line_.clear();
}

LineWriter::EmitResult StringLineWriter::Emit(std::wstring_view line, std::string*) {
  AppendUtf8(line, text_);
  return EmitResult::kOk;
}

}  // namespace wavtally
