// Writes the benchmark library: a folder tree of WAV, MIDI and other files
// whose shape depends only on the arguments, so every run and every machine
// times the same work.
//
//   make_tree library DIR FILES   FILES WAV files, 100 per folder, in folders
//                                 two levels deep, plus FILES/20 MIDI files
//                                 and FILES/20 other files
//   make_tree sizes DIR COUNT     DIR/small and DIR/large: COUNT WAV files
//                                 each, alike but for their size (1 KiB and
//                                 a sparse 4 GiB)
//   make_tree chain DIR DEPTH     DEPTH nested folders named "d" and one WAV
//                                 file in the deepest
//
// The tree is written to DIR.tmp and renamed to DIR at the end, so DIR exists
// only when it is complete; an existing DIR is left alone.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kWavPerFolder = 100;
constexpr int kFoldersPerGroup = 20;
constexpr uint32_t kListBodySize = 64 * 1024;

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

void PutId(Bytes& b, const char* id) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(id[i]));
}

// What one WAV file of the library holds.
struct WaveShape {
  uint16_t channels;
  uint16_t bits;
  bool extensible;
  bool list_first;  // a 64 KiB LIST chunk before "fmt "
  uint64_t data_bytes;
};

WaveShape ShapeOf(int i) {
  static const uint16_t kBits[] = {16, 24, 32};
  static const uint16_t kChannels[] = {1, 2, 6};
  WaveShape s;
  s.bits = kBits[i % 3];
  s.channels = kChannels[(i / 3) % 3];
  s.extensible = s.channels == 6;
  s.list_first = i % 10 == 7;
  const uint32_t frames = 480 + static_cast<uint32_t>(i % 97) * 100;
  s.data_bytes = uint64_t{frames} * s.channels * (s.bits / 8);
  return s;
}

// Returns the header bytes up to and including the "data" chunk header; the
// caller places them and sizes the file. The LIST body is left to the caller
// as well, so it can be a hole.
Bytes HeaderOf(const WaveShape& s, uint64_t file_size) {
  Bytes b;
  PutId(b, "RIFF");
  Put32(b, static_cast<uint32_t>(file_size - 8 > 0xFFFFFFFF ? 0xFFFFFFFF : file_size - 8));
  PutId(b, "WAVE");
  if (s.list_first) {
    PutId(b, "LIST");
    Put32(b, kListBodySize);
    PutId(b, "INFO");
    b.resize(b.size() + kListBodySize - 4);
  }
  const uint16_t align = static_cast<uint16_t>(s.channels * (s.bits / 8));
  const uint32_t rate = 48000;
  const uint16_t tag = s.bits == 32 ? 3 : 1;
  // Float carries the cbSize word that non-PCM formats have, as most
  // writers store it.
  const bool plain_pcm = !s.extensible && tag == 1;
  PutId(b, "fmt ");
  Put32(b, s.extensible ? 40 : plain_pcm ? 16 : 18);
  Put16(b, s.extensible ? 0xFFFE : tag);
  Put16(b, s.channels);
  Put32(b, rate);
  Put32(b, rate * align);
  Put16(b, align);
  Put16(b, s.bits);
  if (!s.extensible && !plain_pcm) Put16(b, 0);
  if (s.extensible) {
    Put16(b, 22);
    Put16(b, s.bits);
    Put32(b, 0x3F);  // 5.1
    static const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    Put16(b, tag);
    for (const uint8_t byte : kGuidTail) b.push_back(byte);
  }
  PutId(b, "data");
  Put32(b, static_cast<uint32_t>(s.data_bytes > 0xFFFFFFFF ? 0xFFFFFFFF : s.data_bytes));
  return b;
}

bool WriteFile(const std::string& path, const Bytes& bytes, uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    return false;
  }
  // Only the header is written; the rest of the file is a hole, which reads
  // as the silence a real file would hold and costs no disk.
  bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
            ftruncate(fd, static_cast<off_t>(size)) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok) std::perror(path.c_str());
  return ok;
}

bool WriteWave(const std::string& path, const WaveShape& s) {
  Bytes header = HeaderOf(s, 0);
  const uint64_t size = header.size() + s.data_bytes;
  header = HeaderOf(s, size);
  return WriteFile(path, header, size);
}

bool MakeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  std::perror(path.c_str());
  return false;
}

bool MakeLibrary(const std::string& dir, int files) {
  static const char* const kKinds[] = {"kick", "Snare", "amb", "DLG", "music", "fx"};
  static const char* const kOther[] = {"notes.txt", "session.ptx", "cover.JPG", "README",
                                       "mix.flac"};
  const int folders = (files + kWavPerFolder - 1) / kWavPerFolder;
  std::vector<std::string> leaves;
  for (int f = 0; f < folders; ++f) {
    const std::string group = dir + "/Group" + std::to_string(f / kFoldersPerGroup);
    if (f % kFoldersPerGroup == 0 && !MakeDir(group)) return false;
    leaves.push_back(group + "/Session_" + std::to_string(f % kFoldersPerGroup));
    if (!MakeDir(leaves.back())) return false;
  }
  char name[128];
  for (int i = 0; i < files; ++i) {
    const WaveShape s = ShapeOf(i);
    // Mixed case and the odd upper-case extension, as real libraries have.
    std::snprintf(name, sizeof name, "/%s_take_%05d_%uch_%ubit.%s", kKinds[i % 6], i, s.channels,
                  s.bits, i % 13 == 0 ? "WAV" : "wav");
    if (!WriteWave(leaves[static_cast<size_t>(i % folders)] + name, s)) return false;
  }
  static const uint8_t kMidi[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96};
  const Bytes midi(kMidi, kMidi + sizeof kMidi);
  for (int i = 0; i < files / 20; ++i) {
    std::snprintf(name, sizeof name, "/cue_%05d.%s", i, i % 7 == 0 ? "MID" : "mid");
    if (!WriteFile(leaves[static_cast<size_t>(i % folders)] + name, midi, midi.size())) {
      return false;
    }
  }
  const Bytes text = {'x', '\n'};
  for (int i = 0; i < files / 20; ++i) {
    std::snprintf(name, sizeof name, "/%05d_%s", i, kOther[i % 5]);
    if (!WriteFile(leaves[static_cast<size_t>(i % folders)] + name, text, text.size())) {
      return false;
    }
  }
  return true;
}

bool MakeSizes(const std::string& dir, int count) {
  if (!MakeDir(dir + "/small") || !MakeDir(dir + "/large")) return false;
  char name[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "/take_%05d.wav", i);
    WaveShape s = ShapeOf(i);
    s.list_first = false;
    Bytes header = HeaderOf(s, 0);
    s.data_bytes = 1024 - header.size();
    if (!WriteFile(dir + "/small" + name, HeaderOf(s, 1024), 1024)) return false;
    // 4 GiB exactly: the data size still fits the 32-bit field, so the
    // header is valid and the count comes out of it as for the small file.
    const uint64_t big = uint64_t{1} << 32;
    s.data_bytes = big - header.size();
    if (!WriteFile(dir + "/large" + name, HeaderOf(s, big), big)) return false;
  }
  return true;
}

// Every folder is made relative to the one above it, so no path handed to
// the system grows with the depth.
bool MakeChain(const std::string& dir, int depth) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < depth && fd >= 0; ++i) {
    const int next =
        mkdirat(fd, "d", 0755) == 0 ? openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    close(fd);
    fd = next;
  }
  if (fd < 0) {
    std::perror(dir.c_str());
    return false;
  }
  const Bytes header = HeaderOf(ShapeOf(0), 0);
  const int file = openat(fd, "take.wav", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok =
      file >= 0 && write(file, header.data(), header.size()) == static_cast<ssize_t>(header.size());
  if (file >= 0 && close(file) != 0) ok = false;
  close(fd);
  if (!ok) std::perror("take.wav");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string kind = argc == 4 ? argv[1] : "";
  if (kind != "library" && kind != "sizes" && kind != "chain") {
    std::fprintf(stderr, "usage: make_tree library|sizes|chain DIR COUNT\n");
    return 2;
  }
  const std::string dir = argv[2];
  const int count = std::atoi(argv[3]);
  if (count <= 0) {
    std::fprintf(stderr, "make_tree: COUNT must be positive\n");
    return 2;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return 0;
  // A partial DIR.tmp from a run that was cut short makes this fail; the
  // driver removes it first.
  const std::string tmp = dir + ".tmp";
  if (!MakeDir(tmp)) return 1;
  const bool ok = kind == "library" ? MakeLibrary(tmp, count)
                  : kind == "sizes" ? MakeSizes(tmp, count)
                                    : MakeChain(tmp, count);
  if (!ok) return 1;
  if (rename(tmp.c_str(), dir.c_str()) != 0) {
    std::perror(dir.c_str());
    return 1;
  }
  return 0;
}
