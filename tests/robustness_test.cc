// Bad input of every kind a folder of audio files can hold, on a real disk
// and through the real tool: damaged WAV headers, files that are no files,
// link cycles, deep trees, hostile names and outputs that fail. None of it
// may crash the tool, stall it, or cost a line of the report.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/line_writer.h"
#include "base/path.h"
#include "base/text.h"
#include "base/wav_reader.h"
#include "process_runner.h"
#include "report/report_writer.h"
#include "scan/scan.h"
#include "temp_tree.h"
#include "wave_builder.h"

namespace wavtally::test {
namespace {

const std::string& kHeader = kReportHeader;

const std::string kNa = "\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t";

// Splits text into lines, each without its "\n"; text must end in "\n".
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "last line unterminated";
  return lines;
}

// Returns the lines of a report after its header.
std::vector<std::string> BodyLines(const std::string& report) {
  if (report.compare(0, kHeader.size(), kHeader) != 0) {
    ADD_FAILURE() << "report does not start with the header";
    return {};
  }
  return Lines(report.substr(kHeader.size()));
}

// ---------------------------------------------------------------------------
// Damaged headers. A handful of valid files is broken in every way a header
// breaks in the field; each broken file must give either a well-formed line
// of values or the N/A line, the same each time it is read, and where the
// damage cannot matter, the intact file's line.

struct ChunkSpec {
  std::string id;
  ByteImage body;
  Pad pad = Pad::kYes;
  std::optional<uint32_t> size = std::nullopt;  // the size field, when it is not the body's size
};

struct Base {
  std::string name;
  std::string form;
  std::vector<ChunkSpec> chunks;
  std::string values;  // the intact file's line after its path
};

struct Placed {
  std::string id;
  size_t header;    // offset of the chunk header
  size_t body;      // offset of the body
  size_t bodySize;  // bytes of body actually stored
  bool padded;      // a pad byte follows the body
};

struct Layout {
  ByteImage bytes;
  std::vector<Placed> chunks;
};

// Returns the integers in the byte order of form, each given with its width.
ByteImage Fields(const std::string& form, std::initializer_list<std::pair<uint64_t, int>> fields) {
  const bool be = form == "RIFX";
  ByteImage out;
  for (const auto& [v, n] : fields) {
    for (int i = 0; i < n; ++i)
      out.push_back(static_cast<uint8_t>(v >> (8 * (be ? n - 1 - i : i))));
  }
  return out;
}

ByteImage FmtBody(const std::string& form, uint16_t tag, uint16_t channels, uint32_t rate,
                  uint32_t avg, uint16_t align, uint16_t bits) {
  return Fields(form, {{tag, 2}, {channels, 2}, {rate, 4}, {avg, 4}, {align, 2}, {bits, 2}});
}

ByteImage Concat(ByteImage a, const ByteImage& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ByteImage Ramp(size_t n) {
  ByteImage body(n);
  for (size_t i = 0; i < n; ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
  return body;
}

Layout Assemble(const std::string& form, const std::vector<ChunkSpec>& chunks) {
  WaveBuilder b(form);
  Layout layout;
  for (const ChunkSpec& c : chunks) {
    Placed p{c.id, b.Offset(), b.Offset() + 8, c.body.size(), false};
    b.Header(c.id, c.size.value_or(static_cast<uint32_t>(c.body.size())));
    b.Raw(c.body);
    if (c.pad == Pad::kYes && c.body.size() % 2 != 0) {
      b.Zeros(1);
      p.padded = true;
    }
    layout.chunks.push_back(p);
  }
  layout.bytes = b.Bytes();
  return layout;
}

std::vector<Base> Bases() {
  const ByteImage kGuidTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                               0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  const ByteImage kList = {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 6,
                           0,   0,   0,   't', 'a', 'l', 'l', 'y', 0};
  return {
      {"pcm",
       "RIFF",
       {{"fmt ", FmtBody("RIFF", 1, 2, 44100, 176400, 4, 16)}, {"data", Ramp(64)}},
       "\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t16"},
      {"rifx",
       "RIFX",
       {{"fmt ", FmtBody("RIFX", 1, 1, 8000, 16000, 2, 16)}, {"data", Ramp(64)}},
       "\t0x0001\t1\t0x00000000\t8000\t16000\t2\t16\t32"},
      // The ds64 data size (60) is below what the file holds (64), so the
      // line shows which one was used.
      {"rf64",
       "RF64",
       {{"ds64", Fields("RF64", {{136, 8}, {60, 8}, {30, 8}, {0, 4}})},
        {"fmt ", FmtBody("RF64", 1, 1, 8000, 16000, 2, 16)},
        {"data", Ramp(64), Pad::kYes, 0xFFFFFFFF}},
       "\t0x0001\t1\t0x00000000\t8000\t16000\t2\t16\t30"},
      {"extensible",
       "RIFF",
       {{"fmt ", Concat(Concat(FmtBody("RIFF", 0xFFFE, 6, 48000, 864000, 18, 24),
                               Fields("RIFF", {{22, 2}, {24, 2}, {0x3F, 4}, {1, 2}})),
                        kGuidTail)},
        {"data", Ramp(72)}},
       "\t0xFFFE\t6\t0x0000003f\t48000\t864000\t18\t24\t4"},
      // Two IMA ADPCM blocks of 57 frames: only the fact chunk knows 114.
      {"adpcm",
       "RIFF",
       {{"fmt ",
         Concat(FmtBody("RIFF", 0x11, 1, 8000, 4055, 32, 4), Fields("RIFF", {{2, 2}, {57, 2}}))},
        {"fact", Fields("RIFF", {{114, 4}})},
        {"data", Ramp(64)}},
       "\t0x0011\t1\t0x00000000\t8000\t4055\t32\t4\t114"},
      {"list-first",
       "RIFF",
       {{"LIST", kList}, {"fmt ", FmtBody("RIFF", 1, 2, 22050, 88200, 4, 16)}, {"data", Ramp(40)}},
       "\t0x0001\t2\t0x00000000\t22050\t88200\t4\t16\t10"},
      {"odd-padded",
       "RIFF",
       {{"junk", Ramp(3)},
        {"fmt ", FmtBody("RIFF", 3, 1, 32000, 128000, 4, 32)},
        {"data", Ramp(33)}},
       "\t0x0003\t1\t0x00000000\t32000\t128000\t4\t32\t8"},
      {"odd-unpadded",
       "RIFF",
       {{"junk", Ramp(3), Pad::kNo},
        {"fmt ", FmtBody("RIFF", 6, 1, 8000, 8000, 1, 8)},
        {"data", Ramp(35), Pad::kNo}},
       "\t0x0006\t1\t0x00000000\t8000\t8000\t1\t8\t35"},
  };
}

// What a mutant's line must be, beyond well-formed.
enum class Expect {
  kAny,          // any well-formed line
  kSame,         // the intact file's line
  kSameFormat,   // the intact file's values except the sample count, or N/A
  kUnavailable,  // the N/A line
  kCut,          // a cut-off copy: see CheckCuts
};

struct Mutant {
  ByteImage bytes;
  size_t base;
  Expect expect;
  std::string what;
  size_t cut = 0;  // for kCut, the length kept
};

// Returns whether id names a chunk whose body the reader interprets.
bool Interpreted(const std::string& id) { return id == "fmt " || id == "fact" || id == "ds64"; }

void WriteSize(ByteImage& bytes, const std::string& form, size_t at, uint64_t v, int width) {
  const ByteImage f = Fields(form, {{v, width}});
  std::copy(f.begin(), f.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
}

std::vector<Mutant> MakeMutants(const std::vector<Base>& bases) {
  std::vector<Mutant> out;
  constexpr uint32_t kSizes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFF};
  for (size_t b = 0; b < bases.size(); ++b) {
    const Base& base = bases[b];
    const Layout layout = Assemble(base.form, base.chunks);
    const ByteImage& intact = layout.bytes;
    out.push_back({intact, b, Expect::kSame, "intact"});

    // Flipped bytes.
    for (const uint8_t mask : {0x01, 0x80, 0xFF}) {
      for (size_t i = 0; i < std::min<size_t>(64, intact.size()); ++i) {
        Mutant m{intact, b, Expect::kAny, "flip " + std::to_string(i) + "^" + std::to_string(mask)};
        m.bytes[i] ^= mask;
        if (i < 4 || (i >= 8 && i < 12)) m.expect = Expect::kUnavailable;
        if (i >= 4 && i < 8) m.expect = Expect::kSame;  // the RIFF size is never trusted
        for (const Placed& c : layout.chunks) {
          const size_t end = c.body + c.bodySize + (c.padded ? 1 : 0);
          if (!Interpreted(c.id) && i >= c.body && i < end) m.expect = Expect::kSame;
        }
        out.push_back(std::move(m));
      }
    }

    // Cut off at every length up to a little past the data chunk's header,
    // which covers every boundary: inside the RIFF header, inside each chunk
    // header and body, and right at the data.
    const size_t dataBody = layout.chunks.back().body;
    for (size_t n = 0; n <= dataBody + 4 && n < intact.size(); ++n) {
      Mutant m{intact, b, Expect::kCut, "cut at " + std::to_string(n), n};
      TruncateTo(m.bytes, n);
      out.push_back(std::move(m));
    }
    out.push_back({intact, b, Expect::kCut, "cut at end-1", intact.size() - 1});
    TruncateTo(out.back().bytes, intact.size() - 1);

    // Size fields at the values that break arithmetic.
    for (const uint32_t v : kSizes) {
      Mutant riff{intact, b, Expect::kSame, "riff size " + std::to_string(v)};
      WriteSize(riff.bytes, base.form, 4, v, 4);
      out.push_back(std::move(riff));
      for (const Placed& c : layout.chunks) {
        Mutant m{intact, b, Expect::kAny, c.id + " size " + std::to_string(v)};
        WriteSize(m.bytes, base.form, c.header + 4, v, 4);
        // Every base has its fmt before its data: a fmt that is too short or
        // runs past the end hides the data, and the data size only counts.
        if (c.id == "fmt ") m.expect = Expect::kUnavailable;
        if (c.id == "data") m.expect = Expect::kSameFormat;
        out.push_back(std::move(m));
      }
    }
    for (const Placed& c : layout.chunks) {
      if (c.id != "ds64") continue;
      for (const uint64_t v :
           {uint64_t{0}, uint64_t{1}, uint64_t{0x7FFFFFFF}, uint64_t{0x80000000},
            uint64_t{0xFFFFFFF0}, uint64_t{0xFFFFFFFF}, uint64_t{1} << 63, ~uint64_t{0}}) {
        Mutant riff{intact, b, Expect::kSame, "ds64 riff size " + std::to_string(v)};
        WriteSize(riff.bytes, base.form, c.body, v, 8);
        out.push_back(std::move(riff));
        Mutant data{intact, b, Expect::kSameFormat, "ds64 data size " + std::to_string(v)};
        WriteSize(data.bytes, base.form, c.body + 8, v, 8);
        out.push_back(std::move(data));
        Mutant count{intact, b, Expect::kAny, "ds64 sample count " + std::to_string(v)};
        WriteSize(count.bytes, base.form, c.body + 16, v, 8);
        out.push_back(std::move(count));
      }
    }

    // Chunks in another order.
    for (size_t i = 0; i < base.chunks.size(); ++i) {
      for (size_t j = i + 1; j < base.chunks.size(); ++j) {
        std::vector<ChunkSpec> swapped = base.chunks;
        std::swap(swapped[i], swapped[j]);
        out.push_back({Assemble(base.form, swapped).bytes, b, Expect::kAny,
                       "swap " + base.chunks[i].id + "/" + base.chunks[j].id});
      }
    }

    // Odd chunks with the pad byte and without it read alike; an even chunk
    // followed by a stray byte is simply damaged.
    for (size_t i = 0; i < base.chunks.size(); ++i) {
      std::vector<ChunkSpec> changed = base.chunks;
      ChunkSpec& c = changed[i];
      if (c.body.size() % 2 != 0) {
        c.pad = c.pad == Pad::kYes ? Pad::kNo : Pad::kYes;
        out.push_back(
            {Assemble(base.form, changed).bytes, b, Expect::kSame, "pad toggled " + c.id});
      } else {
        c.body.push_back(0);
        c.size = c.size.value_or(static_cast<uint32_t>(c.body.size() - 1));
        out.push_back({Assemble(base.form, changed).bytes, b, Expect::kAny, "stray byte " + c.id});
      }
    }
  }
  return out;
}

// Returns the line the tool prints for the WAV file name in folder dir, made
// in this process.
std::string InProcessLine(const std::string& dir, const std::string& name) {
  FormatSummary summary;
  FsError error;
  StringLineWriter w;
  const Path entry(DecodeUtf8(name));
  if (ProbeWavFormat(DiskFileSystem(), DecodeUtf8(dir + "/" + name), summary, &error)) {
    PrintFormatLine(w, entry, summary);
  } else {
    PrintUnavailableLine(w, entry);
  }
  std::string line = w.Text();
  if (!line.empty()) line.pop_back();
  return line;
}

// Returns true when values is a tab, then the eight value cells: the format
// tag as 0x and 4 upper-case hex digits, a decimal, the mask as 0x and 8
// lower-case hex digits, five decimals; decimals without leading zeros.
bool WellFormedValues(std::string_view values) {
  const auto hex = [](std::string_view cell, size_t digits, const char* alphabet) {
    return cell.size() == 2 + digits && cell.substr(0, 2) == "0x" &&
           cell.find_first_not_of(alphabet, 2) == std::string_view::npos;
  };
  const auto decimal = [](std::string_view cell) {
    return !cell.empty() && cell.find_first_not_of("0123456789") == std::string_view::npos &&
           (cell == "0" || cell[0] != '0');
  };
  if (values.empty() || values[0] != '\t') return false;
  std::vector<std::string_view> cells;
  for (size_t start = 1;;) {
    const size_t tab = values.find('\t', start);
    cells.push_back(values.substr(start, tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (cells.size() != 8 || !hex(cells[0], 4, "0123456789ABCDEF") || !decimal(cells[1]) ||
      !hex(cells[2], 8, "0123456789abcdef")) {
    return false;
  }
  for (size_t i = 3; i < 8; ++i) {
    if (!decimal(cells[i])) return false;
  }
  return true;
}

// Returns the values part of a line (after the path), or an empty text when
// the line is not well-formed: every column present, the hex columns in
// their fixed forms, decimals without leading zeros and within their fields'
// ranges.
std::string ValuesOf(const std::string& line, const std::string& path) {
  if (line.compare(0, path.size(), path) != 0) return "";
  const std::string values = line.substr(path.size());
  if (values == kNa) return values;
  if (!WellFormedValues(values)) return "";
  std::vector<unsigned long long> n;
  for (const char* p = values.c_str(); *p != '\0';) {
    ++p;  // the tab
    char* end;
    n.push_back(std::strtoull(p, &end, p[0] == '0' && p[1] == 'x' ? 16 : 10));
    p = end;
  }
  const unsigned long long kU16 = 0xFFFF, kU32 = 0xFFFFFFFF, kMask = 0xFFFFF;
  const unsigned long long limits[] = {kU16, kU16, kMask, kU32, kU32, kU16, kU16, kU32};
  for (size_t i = 0; i < 8; ++i) {
    if (n.size() != 8 || n[i] > limits[i]) return "";
  }
  return values;
}

// Returns the values without the sample count.
std::string FormatPart(const std::string& values) { return values.substr(0, values.rfind('\t')); }

uint64_t SampleCount(const std::string& values) {
  return std::strtoull(values.c_str() + values.rfind('\t') + 1, nullptr, 10);
}

TEST(DamagedHeaderTest, EveryMutantGetsOneWellFormedStableLine) {
  const std::vector<Base> bases = Bases();
  const std::vector<Mutant> mutants = MakeMutants(bases);
  ASSERT_GE(mutants.size(), 1800u);
  ASSERT_LT(mutants.size(), 10000u);  // four digits keep the names in order
  std::vector<size_t> dataBody;
  for (const Base& base : bases)
    dataBody.push_back(Assemble(base.form, base.chunks).chunks.back().body);
  TempTree tree;
  std::vector<std::string> names;
  for (size_t i = 0; i < mutants.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "m%04zu.wav", i);
    names.push_back(name);
    ASSERT_TRUE(WriteFile(tree.At(name), mutants[i].bytes)) << name;
  }

  const RunResult first = RunTool({tree.Root()});
  const RunResult second = RunTool({tree.Root()});
  ASSERT_EQ(first.status, 0);
  ASSERT_EQ(first.err, "");
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_TRUE(first.out == second.out) << "two runs over the same files differ";
  const std::vector<std::string> lines = BodyLines(first.out);
  ASSERT_EQ(lines.size(), mutants.size());

  // The cut-off copies of one base, in the order they were made.
  std::vector<std::vector<size_t>> cuts(bases.size());
  size_t failures = 0;
  for (size_t i = 0; i < mutants.size() && failures < 20; ++i) {
    const Mutant& m = mutants[i];
    const Base& base = bases[m.base];
    const std::string path = "/" + names[i];
    SCOPED_TRACE(names[i] + ": " + base.name + ", " + m.what);
    const std::string values = ValuesOf(lines[i], path);
    const int before =
        ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    EXPECT_NE(values, "") << "malformed line: " << lines[i];
    // Read again in this process, twice: the same file gives the same line.
    EXPECT_EQ(InProcessLine(tree.Root(), names[i]), lines[i]);
    EXPECT_EQ(InProcessLine(tree.Root(), names[i]), lines[i]);
    switch (m.expect) {
      case Expect::kAny:
        break;
      case Expect::kSame:
        EXPECT_EQ(values, base.values);
        break;
      case Expect::kSameFormat:
        if (values != kNa) {
          EXPECT_EQ(FormatPart(values), FormatPart(base.values));
        }
        break;
      case Expect::kUnavailable:
        EXPECT_EQ(values, kNa);
        break;
      case Expect::kCut:
        cuts[m.base].push_back(i);
        // Without the data chunk's header the file has no sample count.
        if (m.cut < dataBody[m.base]) {
          EXPECT_EQ(values, kNa);
        } else if (values != kNa) {
          EXPECT_EQ(FormatPart(values), FormatPart(base.values));
        } else {
          ADD_FAILURE() << "a file cut inside its data must still be read";
        }
        break;
    }
    if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() !=
        before) {
      ++failures;
    }
  }
  // Cutting less off never loses frames.
  for (size_t b = 0; b < bases.size(); ++b) {
    uint64_t last = 0;
    for (const size_t i : cuts[b]) {
      const std::string values = ValuesOf(lines[i], "/" + names[i]);
      if (values.empty() || values == kNa) continue;
      EXPECT_GE(SampleCount(values), last) << names[i] << ": " << mutants[i].what;
      last = SampleCount(values);
    }
    EXPECT_LE(last, SampleCount(bases[b].values)) << bases[b].name;
  }
}

// A source that claims size bytes but serves only those of bytes that exist:
// a file that shrank after it was measured, or grew, when bytes is longer.
class ChangedSource : public ByteSource {
 public:
  ChangedSource(const ByteImage& bytes, uint64_t size) : bytes_(bytes), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    if (offset >= bytes_.size()) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, bytes_.size() - offset));
    std::memcpy(data, bytes_.data() + offset, n);
    return n;
  }

 private:
  const ByteImage& bytes_;
  uint64_t size_;
};

std::string Describe(ByteSource& source) {
  WaveHeader h;
  if (!ReadWaveHeader(source, 3, &h)) return "refused";
  const TqAudioFormat& f = h.format;
  char text[160];
  std::snprintf(text, sizeof text, "%u %u %u %u %u %u 0x%x %u", f.formatTag, f.numChannels,
                f.sampleRate, f.avgBytesPerSec, f.blockAlign, f.bitsPerSample, f.channelConfig,
                h.numSamples);
  return text;
}

TEST(DamagedHeaderTest, FileChangingWhileReadIsReadAsMeasuredOrRefused) {
  for (const Base& base : Bases()) {
    SCOPED_TRACE(base.name);
    const ByteImage bytes = Assemble(base.form, base.chunks).bytes;
    MemoryByteSource whole(bytes);
    const std::string intact = Describe(whole);
    // The intact file is read, with its count; otherwise a reader that
    // refuses everything would pass all that follows.
    ASSERT_NE(intact, "refused");
    EXPECT_EQ(intact.substr(intact.rfind(' ') + 1), std::to_string(SampleCount(base.values)));
    for (size_t n = 0; n < bytes.size(); ++n) {
      SCOPED_TRACE(n);
      // Shrunk to n after it was measured: what can still be read is read as
      // before, or the file is refused; never anything in between.
      const ByteImage cut(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
      ChangedSource shrunk(cut, bytes.size());
      const std::string s = Describe(shrunk);
      if (s != "refused") {
        EXPECT_EQ(s, intact);
      }
      // Grown past n after it was measured: exactly the n bytes measured.
      MemoryByteSource measured(cut);
      ChangedSource grown(bytes, n);
      EXPECT_EQ(Describe(grown), Describe(measured));
    }
  }
}

// ---------------------------------------------------------------------------
// Trees that are hostile to a walk.

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// 16-bit mono at 8 kHz, two frames: its line ends in kMonoValues.
ByteImage Mono16() { return Riff().Fmt(1, 1, 8000, 16000, 2, 16).Data(4).Bytes(); }
const std::string kMonoValues = "\t0x0001\t1\t0x00000000\t8000\t16000\t2\t16\t2";

TEST(HostileTreeTest, FifosDevicesAndSocketsNamedWavGetNaWithoutBlocking) {
  TempTree tree;
  // Nobody ever writes to these FIFOs: opening one to read it would block.
  ASSERT_EQ(mkfifo(tree.At("fifo.wav").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(tree.At("fifo.mid").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(tree.At("fifo").c_str(), 0644), 0);
  tree.Link("/dev/zero", "zero.wav");
  tree.Link("/dev/null", "null.wav");
  tree.Link("/dev/urandom", "random.wav");
  tree.File("real.wav", Mono16());
  std::string lines = "/fifo.wav" + kNa + "\n/null.wav" + kNa + "\n/random.wav" + kNa + "\n";
  // Device nodes of our own and sockets need privileges or a file system
  // that allows them; what cannot be made is left out.
  struct stat null_device;
  if (stat("/dev/null", &null_device) == 0 &&
      mknod(tree.At("tty.wav").c_str(), S_IFCHR | 0644, null_device.st_rdev) == 0) {
    lines += "/real.wav" + kMonoValues + "\n/tty.wav" + kNa + "\n";
  } else {
    lines += "/real.wav" + kMonoValues + "\n";
  }
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  const std::string socket_path = tree.At("x-socket.wav");
  const Fd sock(socket(AF_UNIX, SOCK_STREAM, 0));
  if (sock.fd >= 0 && socket_path.size() < sizeof addr.sun_path) {
    std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      lines += "/x-socket.wav" + kNa + "\n";
    }
  }
  lines += "/zero.wav" + kNa + "\n/fifo.mid" + kNa + "\n";
  const RunResult r = RunTool({tree.Root()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHeader + lines);
  EXPECT_EQ(r.err, "");
}

TEST(HostileTreeTest, LinkCyclesAndBrokenLinksEndInACompleteReport) {
  TempTree tree;
  tree.File("sub/s.mid");
  tree.Link(tree.Root(), "root");
  tree.Link("..", "sub/up");
  tree.Link(".", "sub/here");
  tree.Link("self", "self");
  tree.Link("loop.wav", "loop.wav");
  tree.Link("nowhere.wav", "dangling.wav");
  tree.Link("q", "p");
  tree.Link("p", "q");
  tree.Link("c2", "c1");
  tree.Link("c3", "c2");
  tree.Link("sub", "c3");
  // sub is reported once, under the first way to it; every other way and
  // every loop is named on standard error, and the run still succeeds.
  const RunResult r = RunTool({tree.Root()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            kHeader + "/dangling.wav" + kNa + "\n/loop.wav" + kNa + "\n/c1/s.mid" + kNa + "\n");
  const std::string loops = "': too many levels of symbolic links\n";
  const auto seen = [&](const std::string& rel, const std::string& first) {
    return "wavtally: skipping folder '" + tree.At(rel) + "': already reported as '" + first +
           "'\n";
  };
  EXPECT_EQ(r.err, "wavtally: cannot open file '" + tree.At("loop.wav") + loops +
                       seen("c1/here", tree.At("c1")) + seen("c1/up", tree.Root()) +
                       seen("c2", tree.At("c1")) + seen("c3", tree.At("c1")) +
                       "wavtally: cannot list folder '" + tree.At("p") + loops +
                       "wavtally: cannot list folder '" + tree.At("q") + loops +
                       seen("root", tree.Root()) + "wavtally: cannot list folder '" +
                       tree.At("self") + loops + seen("sub", tree.At("c1")));
}

// Makes a chain of folders below root, each named by one entry of names and
// holding an empty x.mid unless midi_in_each is false, and last.wav holding
// wav in the last one, without ever naming a path longer than one name.
void MakeChain(const std::string& root, const std::vector<std::string>& names,
               const test::ByteImage& wav, bool midi_in_each = true) {
  auto dir = std::make_unique<Fd>(open(root.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_GE(dir->fd, 0);
  for (const std::string& name : names) {
    ASSERT_EQ(mkdirat(dir->fd, name.c_str(), 0755), 0);
    dir = std::make_unique<Fd>(openat(dir->fd, name.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(dir->fd, 0);
    if (!midi_in_each) continue;
    const Fd file(openat(dir->fd, "x.mid", O_WRONLY | O_CREAT, 0644));
    ASSERT_GE(file.fd, 0);
  }
  const Fd file(openat(dir->fd, "last.wav", O_WRONLY | O_CREAT, 0644));
  ASSERT_GE(file.fd, 0);
  ASSERT_EQ(write(file.fd, wav.data(), wav.size()), static_cast<ssize_t>(wav.size()));
}

TEST(HostileTreeTest, FoldersAndFilesBeyondTheLongestPathAreReported) {
  TempTree tree;
  std::vector<std::string> names;
  std::string path = tree.Root(), rel;
  // Well past the longest path one system call takes, more than twice over.
  for (int i = 0; path.size() < 3 * PATH_MAX; ++i) {
    names.push_back(std::string(255, static_cast<char>('a' + i % 26)));
    path += "/" + names.back();
  }
  MakeChain(tree.Root(), names, Mono16());
  std::string expected = kHeader;
  for (const std::string& name : names) {
    rel += "/" + name;
    if (&name == &names.back()) expected += rel + "/last.wav" + kMonoValues + "\n";
    expected += rel + "/x.mid" + kNa + "\n";
  }
  const RunResult r = RunTool({tree.Root()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == expected) << r.out.size() << " bytes, expected " << expected.size();
  EXPECT_EQ(r.err, "");
}

// Removes the chain of folders named name below root, deepest first,
// without ever naming a path longer than one name.
void RemoveChain(const std::string& root, const std::string& name) {
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  size_t depth = 0;
  for (int next; (next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY)) >= 0; ++depth) {
    close(dir);
    dir = next;
  }
  for (; depth > 0; --depth) {
    const int parent = openat(dir, "..", O_RDONLY | O_DIRECTORY);
    // What the deepest folder holds goes with it.
    for (const char* file : {"x.mid", "last.wav"}) unlinkat(dir, file, 0);
    close(dir);
    unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    dir = parent;
  }
  close(dir);
}

TEST(HostileTreeTest, AThousandLevelsAreWalkedToTheBottomInMemoryInProportionToTheDepth) {
  // A walk that kept every level's full path would take the square of the
  // depth: 100 MB of wide characters here, for names of 50 characters. Only
  // the top and the deepest folder hold a file, so the report stays small
  // and the walk is what is measured. (A walk that recursed is caught at
  // 100,000 levels in memory, by
  // WalkTest.AHundredThousandLevelsAreWalkedWithoutRecursion.)
  constexpr int kDepth = 1000;
  const std::string name(50, 'd');
  TempTree tree;
  tree.File("top.mid");
  MakeChain(tree.Root(), std::vector<std::string>(kDepth, name), Mono16(), false);
  const RunResult r = RunTool({tree.Root()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::string last;
  for (int i = 0; i < kDepth; ++i) last += "/" + name;
  EXPECT_TRUE(r.out == kHeader + "/top.mid" + kNa + "\n" + last + "/last.wav" + kMonoValues + "\n")
      << r.out.size() << " bytes";
  // A sanitizer's shadow memory and quarantine come on top; a walk whose
  // memory grew with the square of the depth would take gigabytes still.
  const bool sanitized = getenv("ASAN_OPTIONS") != nullptr || getenv("TSAN_OPTIONS") != nullptr;
  EXPECT_LT(r.peak_rss_kib, (sanitized ? 256 : 16) * 1024) << "peak resident memory in KiB";
  RemoveChain(tree.Root(), name);
}

TEST(HostileTreeTest, FolderThatCannotBeSearchedIsNamedNotDroppedSilently) {
  TempTree tree;
  tree.File("p/a.wav", Mono16());
  tree.File("p/inner/x.mid");
  tree.File("q/y.mid");
  // Readable but not searchable: its names can be listed, nothing in it
  // can be opened or looked at.
  tree.Lock("p");
  chmod(tree.At("p").c_str(), 0444);
  chmod(tree.Root().c_str(), 0755);
  RunOptions opt;
  opt.unprivileged = true;
  const RunResult r = RunTool({tree.Root()}, opt);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHeader + "/p/a.wav" + kNa + "\n/q/y.mid" + kNa + "\n");
  EXPECT_EQ(r.err,
            "wavtally: cannot list folder '" + tree.At("p/inner") + "': permission denied\n");
}

TEST(HostileTreeTest, LinkChainsDeeperThanTheSystemFollowsAreNamed) {
  TempTree tree;
  tree.File("real/inside.mid");
  tree.File("real.wav", Mono16());
  // Linux follows at most 40 links in one lookup; 50 is past any system's.
  for (int i = 0; i < 50; ++i) {
    const std::string next = i == 0 ? "real" : "d" + std::to_string(i - 1);
    tree.Link(next, "d" + std::to_string(i));
    tree.Link(i == 0 ? "real.wav" : "w" + std::to_string(i - 1) + ".wav",
              "w" + std::to_string(i) + ".wav");
  }
  const RunResult r = RunTool({tree.Root()});
  EXPECT_EQ(r.status, 0);
  // Short chains lead to a file or folder already reported, or are reported;
  // the deep ones are named, never dropped.
  const std::string loops = "': too many levels of symbolic links\n";
  size_t named_files = 0, named_folders = 0, wav_lines = 0;
  for (size_t at = 0; (at = r.err.find(loops, at)) != std::string::npos; at += loops.size()) {
    const size_t start = r.err.rfind("wavtally: ", at);
    if (r.err.compare(start, 26, "wavtally: cannot open file") == 0) ++named_files;
    if (r.err.compare(start, 28, "wavtally: cannot list folder") == 0) ++named_folders;
  }
  for (size_t at = 0; (at = r.out.find(".wav\t", at)) != std::string::npos; ++at) ++wav_lines;
  EXPECT_EQ(wav_lines, 51u);
  EXPECT_GE(named_files, 9u);
  EXPECT_GE(named_folders, 9u);
  // Every folder chain that could be followed leads to real, reported once.
  EXPECT_NE(r.out.find("/d0/inside.mid"), std::string::npos);
  EXPECT_EQ(r.out.find("/real/inside.mid"), std::string::npos);
  // Of the 51 folders, one is reported and every other one named: as too
  // deep, or as reported already.
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), named_files + 50) << r.err;
}

TEST(HostileTreeTest, NamesWithControlCharactersAndInvalidUtf8AreEscapedExactly) {
  // Each name as stored and as the report must print it, in report order.
  // A surrogate written as UTF-8 (ED B2 80) is not valid UTF-8: were it taken
  // for the code point, the file would be opened under other bytes and read
  // as N/A. Wildcards in names are just characters.
  const std::pair<std::string, std::string> kNames[] = {
      {"\x1b[31mred.wav", "/\\x1b[31mred.wav"},
      {"*.wav", "/*.wav"},
      {"-dash.wav", "/-dash.wav"},
      {"?x.wav", "/?x.wav"},
      {"cr\rret.wav", "/cr\\rret.wav"},
      {"del\x7f.wav", "/del\\x7f.wav"},
      {"new\nline.wav", "/new\\nline.wav"},
      {"tab\there.wav", "/tab\\there.wav"},
      {"\xc0\xaf.wav", "/\xc0\xaf.wav"},
      {"\xc3\xa9.wav", "/\xc3\xa9.wav"},
      {"\xed\xb2\x80.wav", "/\xed\xb2\x80.wav"},
      {"\xff.wav", "/\xff.wav"},
      {"\x01x.mid", "/\\x01x.mid"},
      {"-sub/x.wav", "/-sub/x.wav"},
      {"new\ndir/in.wav", "/new\\ndir/in.wav"},
  };
  TempTree tree;
  std::string expected = kHeader;
  for (const auto& [name, printed] : kNames) {
    const bool midi = name.ends_with(".mid");
    tree.File(name, midi ? ByteImage{} : Mono16());
    expected += printed + (midi ? kNa : kMonoValues) + "\n";
  }
  const RunResult r = RunTool({tree.Root()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  // A folder argument that starts with a dash is a folder, not an option.
  RunOptions in_tree;
  in_tree.cwd = tree.Root();
  const RunResult dash = RunTool({"-sub"}, in_tree);
  EXPECT_EQ(dash.status, 0);
  EXPECT_EQ(dash.out, kHeader + "/x.wav" + kMonoValues + "\n");
}

TEST(HostileTreeTest, TenThousandFilesInOneFolderGetOneLineEach) {
  TempTree tree;
  std::string expected = kHeader;
  for (int i = 0; i < 10000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%05d.wav", i);
    // A readable file now and then shows values still come through.
    tree.File(name, i % 1000 == 999 ? Mono16() : ByteImage{});
    expected += "/" + std::string(name) + (i % 1000 == 999 ? kMonoValues : kNa) + "\n";
  }
  const RunResult r = RunTool({tree.Root()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == expected) << Lines(r.out).size() << " lines";
  EXPECT_EQ(r.err, "");
}

// ---------------------------------------------------------------------------
// Standard output that fails. The tree is large enough that a walk going on
// after the failure would be seen: its last folder cannot be listed by the
// unprivileged tool, so a walk that reached it would write to standard error.

class FailingOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Long names make a report of more than a pipe holds from few files.
    for (int i = 0; i < 600; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "f%04d-", i);
      tree_.File(name + std::string(150, 'x') + ".wav");
    }
    tree_.File("zz/late.mid");
    tree_.Lock("zz");
    chmod(tree_.Root().c_str(), 0755);
    RunOptions opt;
    opt.unprivileged = true;
    full_ = RunTool({tree_.Root()}, opt);
  }

  TempTree tree_;
  RunResult full_;  // a run that could write everything
};

TEST_F(FailingOutputTest, WalkStopsAtTheFirstFailedLineWithOneMessage) {
  ASSERT_EQ(full_.status, 0);
  ASSERT_GT(full_.out.size(), 100000u);
  const std::string unlisted =
      "wavtally: cannot list folder '" + tree_.At("zz") + "': permission denied\n";
  ASSERT_EQ(full_.err, unlisted);

  RunOptions full_disk;
  full_disk.unprivileged = true;
  full_disk.out_path = "/dev/full";
  const RunResult r = RunTool({tree_.Root()}, full_disk);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "wavtally: cannot write report: no space left on device\n");

  // The file fills up part way through the report: what went out is the
  // report's beginning, and nothing more happens. The message says how much
  // of the last line is there, unless the file ends between lines.
  const size_t kInLine = 50000, kAtLineEnd = full_.out.find('\n', kInLine) + 1;
  for (const size_t bytes : {kInLine, kAtLineEnd}) {
    SCOPED_TRACE(bytes);
    RunOptions limit;
    limit.unprivileged = true;
    limit.file_limit = bytes;
    const RunResult cut = RunTool({tree_.Root()}, limit);
    EXPECT_EQ(cut.status, 1);
    const size_t start = full_.out.rfind('\n', bytes - 1) + 1;
    const std::string note = start == bytes
                                 ? ""
                                 : " (wrote " + std::to_string(bytes - start) + " of " +
                                       std::to_string(full_.out.find('\n', bytes) + 1 - start) +
                                       " bytes of the last line)";
    EXPECT_EQ(cut.err, "wavtally: cannot write report: file too large" + note + "\n");
    EXPECT_TRUE(cut.out == full_.out.substr(0, bytes)) << cut.out.size() << " bytes";
  }

  RunOptions closed;
  closed.out = Sink::kClosed;
  closed.unprivileged = true;
  const RunResult none = RunTool({tree_.Root()}, closed);
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "wavtally: cannot write report: bad file descriptor\n");
}

TEST_F(FailingOutputTest, NonBlockingPipeThatFillsUpIsWaitedFor) {
  ASSERT_GT(full_.out.size(), 100000u);
  RunOptions slow;
  slow.out = Sink::kFullPipe;
  slow.unprivileged = true;
  const RunResult r = RunTool({tree_.Root()}, slow);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == full_.out) << r.out.size() << " bytes of " << full_.out.size();
  EXPECT_EQ(r.err, full_.err);
}

TEST_F(FailingOutputTest, ReaderThatLeavesEndsTheWalkSilently) {
  ASSERT_NE(full_.err, "");
  for (const bool ignore : {false, true}) {
    SCOPED_TRACE(ignore ? "SIGPIPE ignored" : "SIGPIPE default");
    RunOptions gone;
    gone.unprivileged = true;
    gone.out = Sink::kGonePipe;
    gone.ignore_sigpipe = ignore;
    // As a shell sees it: 141 when SIGPIPE ended the tool, and 1 where
    // SIGPIPE was ignored from the start.
    const int status = ignore ? 1 : 128 + SIGPIPE;
    const RunResult r = RunTool({tree_.Root()}, gone);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, "");

    // Like `wavtally DIR | head`: the reader takes the first lines and goes.
    RunOptions head = gone;
    head.out = Sink::kPipe;
    head.take = 1000;
    const RunResult h = RunTool({tree_.Root()}, head);
    EXPECT_EQ(h.status, status);
    EXPECT_EQ(h.err, "");
    EXPECT_EQ(h.out, full_.out.substr(0, head.take));
  }
}

// ---------------------------------------------------------------------------
// Standard error whose reader goes away costs no line of the report: the
// messages stop, the report goes on. The unprivileged tool cannot list the
// locked folders, which come first in the walk and give more messages than a
// pipe holds, so a writer that stopped at a closed pipe would be seen.

TEST(StandardErrorTest, ReaderThatLeavesCostsNoLineOfTheReport) {
  TempTree tree;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "a%03d-", i);
    tree.Dir(name + std::string(200, 'x'));
    tree.Lock(name + std::string(200, 'x'));
  }
  for (int i = 0; i < 50; ++i) tree.File("b/" + std::to_string(i) + ".wav", Mono16());
  chmod(tree.Root().c_str(), 0755);
  RunOptions opt;
  opt.unprivileged = true;
  const RunResult full = RunTool({tree.Root()}, opt);
  ASSERT_EQ(full.status, 0);
  ASSERT_EQ(BodyLines(full.out).size(), 50u);
  ASSERT_GT(full.err.size(), 65536u);
  for (const bool ignore : {false, true}) {
    SCOPED_TRACE(ignore ? "SIGPIPE ignored" : "SIGPIPE default");
    RunOptions gone = opt;
    gone.err = Sink::kGonePipe;
    gone.ignore_sigpipe = ignore;
    const RunResult r = RunTool({tree.Root()}, gone);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == full.out) << BodyLines(r.out).size() << " lines";

    RunOptions head = gone;
    head.err = Sink::kPipe;
    head.take = 1000;
    const RunResult h = RunTool({tree.Root()}, head);
    EXPECT_EQ(h.status, 0);
    EXPECT_TRUE(h.out == full.out) << BodyLines(h.out).size() << " lines";
    EXPECT_EQ(h.err, full.err.substr(0, head.take));
  }
}

// ---------------------------------------------------------------------------
// SIGINT and SIGTERM at any moment of a run: what went out ends at the end of
// a line, and the tool dies by the signal, so a shell sees 130 or 143.

// Runs the tool over root a number of times, output to a file or to a
// one-page pipe, sending SIGINT or SIGTERM at moments spread over the time
// a whole run takes.
void CheckStopsBetweenLines(const std::string& root, bool one_page_pipe) {
  SCOPED_TRACE(one_page_pipe ? "one-page pipe" : "file");
  RunOptions opt;
  opt.out = one_page_pipe ? Sink::kPipe : Sink::kFile;
  const auto started = std::chrono::steady_clock::now();
  const RunResult full = RunTool({root}, opt);
  const auto whole = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(full.status, 0);
  // Twelve moments spread over a run reach its start, its middle and its
  // end; each is a process, and on a busy machine many cost more than the
  // test's time.
  constexpr int kRuns = 12;
  int stopped = 0;
  for (int i = 0; i < kRuns; ++i) {
    opt.signal = i % 2 == 0 ? SIGINT : SIGTERM;
    opt.signal_delay = std::chrono::duration_cast<std::chrono::microseconds>(whole * i / kRuns);
    SCOPED_TRACE(std::to_string(opt.signal) + " after " + std::to_string(opt.signal_delay.count()) +
                 " us");
    const RunResult r = RunTool({root}, opt);
    EXPECT_EQ(r.err, "");
    // A run may be over before its signal comes.
    if (r.status == 0) {
      EXPECT_TRUE(r.out == full.out) << r.out.size() << " bytes";
      continue;
    }
    ++stopped;
    EXPECT_EQ(r.status, 128 + opt.signal);
    EXPECT_TRUE(r.out.empty() || r.out.back() == '\n')
        << "ends in a partial line: " << r.out.substr(r.out.rfind('\n') + 1, 80);
    EXPECT_TRUE(full.out.compare(0, r.out.size(), r.out) == 0) << r.out.size() << " bytes";
  }
  EXPECT_GT(stopped, 0);
}

TEST(StopSignalTest, ShortLinesAndLinesLongerThanAPipeBufferEndAtALineEnd) {
  TempTree short_lines;
  for (int i = 0; i < 1000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%02d/take-%04d.wav", i / 100, i);
    short_lines.File(name, Mono16());
  }
  // Control characters go out escaped, four bytes each: the lines come to
  // about 15 KiB, past PIPE_BUF (4096) and three page boundaries, while the
  // paths stay within PATH_MAX.
  TempTree long_lines;
  for (int d = 0; d < 10; ++d) {
    std::string folder = std::to_string(d);
    for (const char c : {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 14, 15, 16, 17, 18, 19}) {
      folder += "/" + std::string(235, c);
    }
    for (int f = 0; f < 20; ++f)
      long_lines.File(folder + "/" + std::to_string(f) + ".wav", Mono16());
  }
  ASSERT_GT(BodyLines(RunTool({long_lines.Root()}).out).at(0).size(), 15000u);
  for (const TempTree* tree : {&short_lines, &long_lines}) {
    CheckStopsBetweenLines(tree->Root(), false);
    CheckStopsBetweenLines(tree->Root(), true);
  }
}

}  // namespace
}  // namespace wavtally::test
