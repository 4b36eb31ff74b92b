#include "report/progress.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cwchar>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "base/path.h"
#include "report/report_writer.h"

namespace wavtally {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
// Soon enough to reassure, late enough that a quick run shows nothing.
constexpr int64_t kFirstFrame = kSecond / 2;
// Ten frames a second move the numbers smoothly and cost next to nothing.
constexpr int64_t kFrameInterval = kSecond / 10;
constexpr int64_t kRateWindow = 2 * kSecond;
constexpr int64_t kNever = INT64_MAX;
constexpr size_t kUnknownWidth = 80;
// A folder is shown cut only while this many columns of it fit; fewer say
// nothing useful.
constexpr size_t kMinFolderColumns = 8;
constexpr wchar_t kEllipsis = 0x2026;
constexpr std::wstring_view kReading = L", reading ";
// The timer formats a line and writes it: a small stack holds that many
// times over, and leaves room where address space is short.
constexpr size_t kTimerStack = 128 * 1024;

int64_t SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The display whose line the stop cleanup erases; null while none shows.
std::atomic<Progress*> shown{nullptr};

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c < 0xE000; }

// Returns the length in wchar_t of the character at text[at]: 2 for a UTF-16
// surrogate pair, which is one character and must not be cut in two.
size_t CharLength(std::wstring_view text, size_t at) {
  if (sizeof(wchar_t) == 2 && at + 1 < text.size() && IsHighSurrogate(text[at]) &&
      IsLowSurrogate(text[at + 1])) {
    return 2;
  }
  return 1;
}

struct CodePointRange {
  uint32_t first;
  uint32_t last;
};

#include "report/char_widths.inc"

// Returns true when c lies in one of ranges, sorted and apart.
template <size_t N>
bool InRanges(const CodePointRange (&ranges)[N], uint32_t c) {
  const CodePointRange* end = ranges + N;
  const CodePointRange* at = std::upper_bound(
      ranges, end, c, [](uint32_t v, const CodePointRange& r) { return v < r.first; });
  return at != ranges && c <= (at - 1)->last;
}

}  // namespace

size_t CodePointColumns(uint32_t c) {
  if (c < 0x300) return 1;  // nearly every name, at once
  if (InRanges(kZeroWidth, c)) return 0;
  return InRanges(kWide, c) ? 2 : 1;
}

namespace {

// Returns the code point of the character of length chars at text.
uint32_t CodePointAt(std::wstring_view text, size_t at, size_t chars) {
  if (chars == 2) {
    return 0x10000 + ((static_cast<uint32_t>(text[at]) - 0xD800) << 10) +
           (static_cast<uint32_t>(text[at + 1]) - 0xDC00);
  }
  return static_cast<uint32_t>(text[at]);
}

void AppendAscii(std::string_view ascii, CStdStr& out) { out.append(ascii.begin(), ascii.end()); }

// Appends a time of nanoseconds: tenths of a second under a minute, then
// minutes and seconds, then hours and minutes.
void AppendDuration(int64_t nanoseconds, CStdStr& out) {
  if (nanoseconds < 0) nanoseconds = 0;
  const uint64_t tenths = static_cast<uint64_t>((nanoseconds + kSecond / 20) / (kSecond / 10));
  if (tenths < 600) {
    AppendCount(tenths / 10, out);
    out.push_back(L'.');
    AppendCount(tenths % 10, out);
    AppendAscii(" s", out);
    return;
  }
  const uint64_t seconds = static_cast<uint64_t>((nanoseconds + kSecond / 2) / kSecond);
  if (seconds < 3600) {
    AppendCount(seconds / 60, out);
    AppendAscii(" min ", out);
    AppendCount(seconds % 60, out);
    AppendAscii(" s", out);
    return;
  }
  AppendCount(seconds / 3600, out);
  AppendAscii(" h ", out);
  AppendCount(seconds / 60 % 60, out);
  AppendAscii(" min", out);
}

// Appends the separator and folder, escaped, as the report's paths begin,
// cut at the left to at most room columns when it is wider. Each character
// is escaped on its own, so that the cut falls between characters and never
// inside an escape.
void AppendFolder(std::wstring_view folder, size_t room, CStdStr& out) {
  CStdStr escaped(Path::GetNameSeparator());
  std::vector<size_t> starts;  // where each character's escaped form begins
  for (size_t i = 0; i < folder.size();) {
    const size_t chars = CharLength(folder, i);
    starts.push_back(escaped.size());
    AppendTerminalPath(folder.substr(i, chars), &escaped);
    i += chars;
  }
  if (TerminalColumns(escaped) <= room) {
    out.append(escaped);
    return;
  }
  // Whole characters from the right while they and the ellipsis fit.
  const std::wstring_view all = escaped;
  size_t from = all.size();
  size_t kept = 1;
  for (size_t k = starts.size(); k-- > 0;) {
    kept += TerminalColumns(all.substr(starts[k], from - starts[k]));
    if (kept > room) break;
    from = starts[k];
  }
  out.push_back(kEllipsis);
  out.append(all.substr(from));
}

}  // namespace

// Appends value in decimal with a comma between each group of three digits.
// swprintf writes the wide digits straight into a buffer whose size it is
// told, a call the hardened build checks against the buffer's real size.
void AppendCount(uint64_t value, CStdStr& out) {
  wchar_t digits[24];
  const int count =
      std::swprintf(digits, std::size(digits), L"%llu", static_cast<unsigned long long>(value));
  if (count <= 0) return;
  const auto size = static_cast<size_t>(count);
  for (size_t i = 0; i < size; ++i) {
    if (i != 0 && (size - i) % 3 == 0) out.push_back(L',');
    out.push_back(digits[i]);
  }
}

void AppendCounted(uint64_t value, std::wstring_view thing, CStdStr& out) {
  AppendCount(value, out);
  out.push_back(L' ');
  out.append(thing);
  if (value != 1) out.push_back(L's');
}

size_t TerminalColumns(std::wstring_view text) {
  size_t columns = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t chars = CharLength(text, i);
    columns += CodePointColumns(CodePointAt(text, i, chars));
    i += chars;
  }
  return columns;
}

CStdStr RenderProgressLine(const ProgressCounts& counts, uint64_t rate, std::wstring_view folder,
                           size_t width) {
  const size_t limit = (width == 0 ? kUnknownWidth : width) - 1;
  CStdStr line;
  AppendCounted(counts.Files(), L"file", line);
  AppendAscii(" (", line);
  AppendCount(counts.wav, line);
  AppendAscii(" WAV), ", line);
  AppendCounted(counts.folders, L"folder", line);
  AppendAscii(", ", line);
  AppendCount(rate, line);
  AppendAscii(" files/s", line);
  // The counts are ASCII: one column each.
  if (line.size() > limit) {
    line.resize(limit);
    return line;
  }
  const size_t room = limit - line.size();
  if (room < kReading.size() + 1) return line;
  const size_t folder_room = room - kReading.size();
  // The separator alone, for DIR, always fits.
  if (folder_room < kMinFolderColumns && !folder.empty()) return line;
  line.append(kReading);
  AppendFolder(folder, folder_room, line);
  return line;
}

CStdStr RenderSummary(const ProgressCounts& counts, int64_t elapsed) {
  CStdStr line;
  AppendCounted(counts.wav, L"WAV file", line);
  if (counts.unreadable != 0) {
    AppendAscii(" (", line);
    AppendCount(counts.unreadable, line);
    AppendAscii(" unreadable)", line);
  }
  AppendAscii(", ", line);
  AppendCounted(counts.midi, L"MIDI file", line);
  AppendAscii(", ", line);
  AppendCounted(counts.folders, L"folder", line);
  if (counts.skipped != 0) {
    AppendAscii(", ", line);
    AppendCounted(counts.skipped, L"folder", line);
    AppendAscii(" skipped", line);
  }
  AppendAscii(", in ", line);
  AppendDuration(elapsed, line);
  return line;
}

uint64_t RateWindow::Add(int64_t now, uint64_t files) {
  // The base is the newest sample at least a window old, so the rate spans
  // the whole window once the run is that old.
  while (samples_.size() > 1 && samples_[1].first <= now - kRateWindow) samples_.pop_front();
  const auto [then, files_then] = samples_.front();
  samples_.emplace_back(now, files);
  if (now <= then || files <= files_then) return 0;
  const double seconds = static_cast<double>(now - then) / kSecond;
  return static_cast<uint64_t>(static_cast<double>(files - files_then) / seconds + 0.5);
}

std::unique_ptr<Progress> Progress::Open(LineWriter& messages, ProgressOptions options) {
  // The display is a help to a person watching, never a condition of the
  // report: whatever it cannot have, the run goes on without it.
  try {
    std::unique_ptr<Terminal> terminal = OpenProgressTerminal();
    if (terminal == nullptr) return nullptr;
    auto progress = std::make_unique<Progress>(std::move(terminal), messages, std::move(options));
    if (!progress->Started()) return nullptr;
    return progress;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Progress::Progress(std::unique_ptr<Terminal> terminal, LineWriter& messages,
                   ProgressOptions options)
    : terminal_(std::move(terminal)),
      messages_(messages),
      clock_(options.clock ? std::move(options.clock) : std::function<int64_t()>(SteadyNow)),
      start_(clock_()),
      rate_(start_) {
  if (options.timer) {
    std::function<void()> run = [this] { RunTimer(); };
    timer_ = options.start_thread ? options.start_thread(std::move(run))
                                  : Thread::Start(std::move(run), kTimerStack);
    started_ = timer_ != nullptr;
    if (!started_) return;
  }
  shown.store(this);
  SetStopCleanup(&Progress::EraseOnStop);
}

Progress::~Progress() { Stop(); }

void Progress::SetFolder(std::wstring_view relative) {
  std::lock_guard<std::mutex> lock(folder_mutex_);
  folder_.assign(relative);
}

ProgressCounts Progress::Counts() const {
  ProgressCounts counts;
  counts.wav = wav_.load(std::memory_order_relaxed);
  counts.unreadable = unreadable_.load(std::memory_order_relaxed);
  counts.midi = midi_.load(std::memory_order_relaxed);
  counts.folders = folders_.load(std::memory_order_relaxed);
  counts.skipped = skipped_.load(std::memory_order_relaxed);
  return counts;
}

void Progress::BeginMessage() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++messages_under_way_;
  if (!drawn_.load() || failed_) return;
  // As a send, the erase and the flag go together: a stop's cleanup runs
  // before both or after both, never over the message that follows.
  ScopedSend send;
  failed_ = !terminal_->Erase();
  drawn_.store(false);
}

void Progress::EndMessage() {
  std::lock_guard<std::mutex> lock(mutex_);
  --messages_under_way_;
}

int64_t Progress::Tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_ || failed_) return kNever;
  const int64_t now = clock_();
  if (now < start_ + kFirstFrame) return start_ + kFirstFrame;
  if (messages_under_way_ > 0) return now + kFrameInterval;
  if (now < last_frame_ + kFrameInterval) return last_frame_ + kFrameInterval;
  const ProgressCounts counts = Counts();
  const uint64_t rate = rate_.Add(now, counts.Files());
  CStdStr line;
  {
    std::lock_guard<std::mutex> folder_lock(folder_mutex_);
    line = RenderProgressLine(counts, rate, folder_, terminal_->Width());
  }
  ScopedSend send;
  if (!terminal_->Draw(line)) {
    // A terminal that went away takes the display with it, quietly: the
    // report and the exit status are no business of the display's.
    failed_ = true;
    return kNever;
  }
  drawn_.store(true);
  last_frame_ = now;
  return now + kFrameInterval;
}

void Progress::RunTimer() {
  std::unique_lock<std::mutex> lock(timer_mutex_);
  while (!timer_stop_) {
    lock.unlock();
    const int64_t due = Tick();
    lock.lock();
    if (due == kNever) return;
    const int64_t wait = due - clock_();
    if (wait <= 0) continue;
    timer_wake_.wait_for(lock, std::chrono::nanoseconds(wait), [this] { return timer_stop_; });
  }
}

void Progress::Stop() {
  if (timer_) {
    {
      std::lock_guard<std::mutex> lock(timer_mutex_);
      timer_stop_ = true;
    }
    timer_wake_.notify_all();
    timer_.reset();  // joins
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) return;
  stopped_ = true;
  ScopedSend send;
  if (drawn_.load() && !failed_) failed_ = !terminal_->Erase();
  drawn_.store(false);
  Progress* self = this;
  shown.compare_exchange_strong(self, nullptr);
}

void Progress::Finish() {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_ || failed_) return;
  finished_ = true;
  messages_.Write(RenderSummary(Counts(), clock_() - start_));
  messages_.EndLine();
  for (const CStdStr& line : tally_.Render(terminal_->Width())) {
    messages_.Write(line);
    messages_.EndLine();
  }
}

void Progress::EraseOnStop() {
  Progress* progress = shown.load();
  if (progress != nullptr && progress->drawn_.load()) progress->terminal_->EraseForStop();
}

}  // namespace wavtally
