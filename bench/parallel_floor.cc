// The floor of the machine rather than of one thread: the least any walk
// that reads every WAV header must ask of the kernel and the device, asked
// by many threads at once. Each thread takes one folder at a time from a
// shared stack, lists it, pushes its subfolders (those without a dot in the
// name, as wavtally walks) and opens, fstats, reads the first 4 KiB of and
// closes each WAV file in it. No order, no parsing, no report: it prints
// only how many WAV files it read.
//
//   parallel_floor [-j THREADS] DIR     (THREADS: the cores by default)

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

bool IsWav(const char* name) {
  const size_t n = std::strlen(name);
  if (n < 4) return false;
  const char* e = name + n - 4;
  return e[0] == '.' && (e[1] | 0x20) == 'w' && (e[2] | 0x20) == 'a' && (e[3] | 0x20) == 'v';
}

class Stack {
 public:
  void Push(std::string folder) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      folders_.push_back(std::move(folder));
    }
    ready_.notify_one();
  }
  // Takes a folder, after the one taken before when finished says so;
  // returns false once every folder is done.
  bool Take(std::string* folder, bool finished) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished) --busy_;
    if (folders_.empty() && busy_ == 0) ready_.notify_all();
    ready_.wait(lock, [&] { return !folders_.empty() || busy_ == 0; });
    if (folders_.empty()) return false;
    *folder = std::move(folders_.back());
    folders_.pop_back();
    ++busy_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<std::string> folders_;
  int busy_ = 0;
};

std::atomic<long> wavs{0};

void ReadHead(int dir, const char* name) {
  const int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;
  struct stat info;
  char head[4096];
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && pread(fd, head, sizeof head, 0) >= 0) {
    ++wavs;
  }
  close(fd);
}

void Work(Stack& stack) {
  std::string folder;
  for (bool finished = false; stack.Take(&folder, finished); finished = true) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) continue;  // still counts as finished
    const int dir = dirfd(listing);
    while (const dirent* entry = readdir(listing)) {
      const char* name = entry->d_name;
      if (entry->d_type == DT_DIR) {
        if (std::strchr(name, '.') == nullptr) stack.Push(folder + "/" + name);
      } else if (IsWav(name)) {
        ReadHead(dir, name);
      }
    }
    closedir(listing);
  }
}

}  // namespace

int main(int argc, char** argv) {
  unsigned threads = std::thread::hardware_concurrency();
  int arg = 1;
  if (argc > 2 && std::strcmp(argv[1], "-j") == 0) {
    threads = static_cast<unsigned>(std::atoi(argv[2]));
    arg = 3;
  }
  if (argc != arg + 1 || threads == 0) {
    std::fprintf(stderr, "usage: parallel_floor [-j THREADS] DIR\n");
    return 2;
  }
  Stack stack;
  stack.Push(argv[arg]);
  std::vector<std::thread> pool;
  for (unsigned i = 0; i < threads; ++i) pool.emplace_back(Work, std::ref(stack));
  for (std::thread& t : pool) t.join();
  std::printf("%ld\n", wavs.load());
  return 0;
}
