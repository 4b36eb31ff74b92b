// The floor a folder report can reach on one thread: the walk wavtally does,
// with nothing but the system calls it cannot avoid. Each folder is listed
// once and sorted; a name without an extension costs one stat to learn
// whether it is a folder; a WAV file costs one open, one fstat, one 4 KiB
// pread and one close; every output line costs one write.
//
//   baseline DIR > report
//
// The lines hold the path and the first format values of a canonical header,
// enough that the work cannot be skipped, not a full report.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool FoldedLess(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(Lower(a[i]));
    const unsigned char y = static_cast<unsigned char>(Lower(b[i]));
    if (x != y) return x < y;
  }
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

bool HasExtension(const std::string& name, const char* ext) {
  const size_t n = std::strlen(ext);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Lower(name[name.size() - n + i]) != ext[i]) return false;
  }
  return true;
}

uint32_t Le(const unsigned char* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void WriteLine(std::string& line) {
  line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = write(STDOUT_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void ReportWave(const std::string& path, const std::string& shown) {
  std::string line = shown;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st;
  unsigned char block[4096];
  ssize_t got = -1;
  if (fd >= 0) {
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) got = pread(fd, block, sizeof block, 0);
    close(fd);
  }
  if (got >= 36 && std::memcmp(block + 12, "fmt ", 4) == 0) {
    char values[64];
    std::snprintf(values, sizeof values, "\t0x%04X\t%u\t%u\t%u", Le(block + 20, 2),
                  Le(block + 22, 2), Le(block + 24, 4), Le(block + 34, 2));
    line += values;
  } else {
    line += "\tN/A";
  }
  WriteLine(line);
}

void Walk(const std::string& folder, const std::string& shown) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* e = readdir(dir)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        names.emplace_back(e->d_name);
      }
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end(), FoldedLess);
  for (const std::string& name : names) {
    if (HasExtension(name, ".wav")) ReportWave(folder + "/" + name, shown + "/" + name);
  }
  for (const std::string& name : names) {
    if (HasExtension(name, ".mid")) {
      std::string line = shown + "/" + name + "\tN/A";
      WriteLine(line);
    }
  }
  for (const std::string& name : names) {
    if (name.find('.') != std::string::npos) continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Walk(path, shown + "/" + name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: baseline DIR\n");
    return 2;
  }
  Walk(argv[1], "");
  return 0;
}
