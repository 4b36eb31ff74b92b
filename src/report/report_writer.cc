#include "report/report_writer.h"

#include <cstddef>

namespace wavtally {
namespace {

constexpr std::string_view kTitle = "WAV Files";
constexpr std::string_view kColumnTitles[] = {"Path",         "Format Tag",  "Num Channels",
                                              "Channel Mask", "Sample Rate", "Avg Bytes Per Sec",
                                              "Block Align",  "Bit Depth",   "Num Samples"};
constexpr size_t kValueColumns = 8;

// The numbers are formatted here rather than by a stream, so that no width,
// fill or base set for one column can leak into the next or into later lines.
void WriteDecimal(LineWriter& out, uint32_t value) {
  char text[10];
  size_t pos = sizeof text;
  do {
    text[--pos] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  out.Write(std::string_view(text + pos, sizeof text - pos));
}

void WriteHex(LineWriter& out, uint32_t value, int width, bool upper) {
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[10] = {'0', 'x'};
  for (int i = width - 1; i >= 0; --i) {
    text[2 + i] = alphabet[value & 0xF];
    value >>= 4;
  }
  out.Write(std::string_view(text, 2 + width));
}

void WritePathCell(LineWriter& out, std::wstring_view entry) {
  out.Write(Path::GetNameSeparator());
  WriteEscapedPath(out, entry);
  out.Write(std::string_view("\t"));
}

// Gives EscapePath a wide string to write to.
struct WideAppender {
  CStdStr& text;
  void Write(std::wstring_view wide) { text.append(wide); }
  void Write(std::string_view ascii) { text.append(ascii.begin(), ascii.end()); }
};

// Returns true for the control characters: C0, DEL and C1. U+0085 ends a
// line for some readers, and U+009B is CSI on a terminal that reads C1.
bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Returns true for what a terminal must never be handed as it is, beyond the
// control characters: raw bytes of a name that is not UTF-8 (0x9B alone is
// CSI on an 8-bit terminal), UTF-16 halves without their partner, the
// controls that reorder text right to left and the line and paragraph
// separators.
bool IsUnsafeOnTerminal(wchar_t c) {
  const auto u = static_cast<uint32_t>(c);
  return (u >= 0xD800 && u <= 0xDFFF) || u == 0x061C || u == 0x200E || u == 0x200F ||
         (u >= 0x2028 && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

// Writes text escaped to out, a LineWriter or anything else with its two
// Write forms: the report and the progress line escape alike, the terminal
// more.
template <typename Out>
void EscapePath(Out& out, std::wstring_view text, bool terminal) {
  size_t plain = 0;  // start of the run not yet written
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    // Printable ASCII, nearly every character of a path, at one test.
    if (c >= 0x20 && c < 0x7F) continue;
    if (!IsControl(c) && !(terminal && IsUnsafeOnTerminal(c))) continue;
    if (terminal && sizeof(wchar_t) == 2 && i + 1 < text.size() && c >= 0xD800 && c < 0xDC00 &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      ++i;  // a whole surrogate pair is one character, and safe
      continue;
    }
    out.Write(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case L'\t':
        out.Write(std::string_view("\\t"));
        break;
      case L'\n':
        out.Write(std::string_view("\\n"));
        break;
      case L'\r':
        out.Write(std::string_view("\\r"));
        break;
      default: {
        const char* hex = "0123456789abcdef";
        const auto u = static_cast<uint32_t>(c);
        if (u <= 0xFF) {
          const char escape[4] = {'\\', 'x', hex[(u >> 4) & 0xF], hex[u & 0xF]};
          out.Write(std::string_view(escape, 4));
        } else if (sizeof(wchar_t) == 4 && u >= 0xDC80 && u <= 0xDCFF) {
          // A raw byte of a name that is not UTF-8, shown as that byte.
          const char escape[4] = {'\\', 'x', hex[(u >> 4) & 0xF], hex[u & 0xF]};
          out.Write(std::string_view(escape, 4));
        } else {
          const char escape[6] = {
              '\\',        'u', hex[(u >> 12) & 0xF], hex[(u >> 8) & 0xF], hex[(u >> 4) & 0xF],
              hex[u & 0xF]};
          out.Write(std::string_view(escape, 6));
        }
      }
    }
  }
  out.Write(text.substr(plain));
}

}  // namespace

void WriteEscapedPath(LineWriter& out, std::wstring_view text) { EscapePath(out, text, false); }

void AppendEscapedPath(std::wstring_view text, CStdStr* out) {
  WideAppender appender{*out};
  EscapePath(appender, text, false);
}

void AppendTerminalPath(std::wstring_view text, CStdStr* out) {
  WideAppender appender{*out};
  EscapePath(appender, text, true);
}

void PrintReportHeader(LineWriter& out) {
  out.Write(kTitle);
  out.EndLine();
  out.EndLine();
  for (size_t i = 0; i < std::size(kColumnTitles); ++i) {
    if (i != 0) out.Write(std::string_view("\t"));
    out.Write(kColumnTitles[i]);
  }
  out.EndLine();
  out.EndLine();
}

void PrintFormatLine(LineWriter& out, const Path& entry, const FormatSummary& record) {
  PrintFormatLine(out, entry.GetFullPath(), record);
}

void PrintFormatLine(LineWriter& out, std::wstring_view entry, const FormatSummary& record) {
  const std::string_view tab = "\t";
  WritePathCell(out, entry);
  WriteHex(out, record.formatTag, 4, /*upper=*/true);
  out.Write(tab);
  WriteDecimal(out, record.numChannels);
  out.Write(tab);
  WriteHex(out, record.channelMask, 8, /*upper=*/false);
  for (uint32_t value : {record.sampleRate, record.avgBytesPerSec, uint32_t{record.blockAlign},
                         uint32_t{record.bitDepth}, record.numSamples}) {
    out.Write(tab);
    WriteDecimal(out, value);
  }
  out.EndLine();
}

void PrintUnavailableLine(LineWriter& out, const Path& entry) {
  PrintUnavailableLine(out, entry.GetFullPath());
}

void PrintUnavailableLine(LineWriter& out, std::wstring_view entry) {
  WritePathCell(out, entry);
  for (size_t i = 0; i < kValueColumns; ++i) out.Write(std::string_view("N/A\t"));
  out.EndLine();
}

}  // namespace wavtally
