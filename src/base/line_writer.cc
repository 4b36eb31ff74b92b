#include "base/line_writer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "base/platform.h"

namespace wavtally {
namespace {

// One pair for the whole process: any thread may send (the report's lines,
// messages on standard error) and the stop may be asked for on any thread.
// Both sides store first and load second, all sequentially consistent, so
// at least one sees the other: either the stop sees no send under way and
// ends the process itself, or a sender sees the request, before it begins
// (and then sends nothing) or after it ends (and then ends the process).
std::atomic<int> sends_under_way{0};
std::atomic<int> stop_signal{0};
std::atomic<void (*)()> stop_cleanup{nullptr};
std::atomic<bool> ending{false};

// Waits for the thread that ends the process.
[[noreturn]] void WaitForTheEnd() {
  for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Ends the process on the stop signal sig once the cleanup has run. Two
// threads may get here at once (the one that took the signal and the last
// sender); the second must not end the process under the first's cleanup.
[[noreturn]] void EndByStop(int sig) {
  if (ending.exchange(true)) WaitForTheEnd();
  if (void (*cleanup)() = stop_cleanup.load()) cleanup();
  platform::EndBySignal(sig);
}

void EndSend() {
  if (sends_under_way.fetch_sub(1) == 1) {
    const int sig = stop_signal.load();
    if (sig != 0) EndByStop(sig);
  }
}

void BeginSend() {
  sends_under_way.fetch_add(1);
  if (stop_signal.load() == 0) return;
  EndSend();
  // Another send is under way and ends the process once it is out; nothing
  // more may start meanwhile.
  WaitForTheEnd();
}

}  // namespace

void RequestStop(int sig) {
  if (stop_signal.exchange(sig) != 0) platform::EndBySignal(sig);
  if (sends_under_way.load() == 0) EndByStop(sig);
}

void SetStopCleanup(void (*cleanup)()) { stop_cleanup.store(cleanup); }

ScopedSend::ScopedSend() { BeginSend(); }

ScopedSend::~ScopedSend() { EndSend(); }

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
  BeginSend();
  cut_lines_out_ = 0;
  const EmitResult result = Emit(lines, &error_);
  EndSend();
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
