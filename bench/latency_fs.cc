// A read-only FUSE passthrough that answers like a network share: every
// request that would cross the network on SMB or NFS (a lookup or getattr, an
// open, a read, an opendir and the first readdir of a listing) waits DELAY
// before it is served from SOURCE. Requests are served by a pool of threads,
// so requests that a client has in flight at once overlap, as on a share; a
// scanner that waits for each answer in turn pays the full delay every time.
//
//   latency_fs [--delay-us N] [--cache-ms N] [--threads N] [--hang-reads PATTERN]
//              [--stats FILE] [--debug] SOURCE MOUNTPOINT
//
// It stays in the foreground, prints "mounted" on standard output once the
// mount is in place, and exits when MOUNTPOINT is unmounted (fusermount3 -u)
// or on SIGINT/SIGTERM. By default the kernel caches nothing: entries and
// attributes expire at once (--cache-ms keeps them that long, as SMB and NFS
// clients do) and file data always bypasses the page cache, so every run
// pays the latency. Listings are answered with READDIRPLUS, as NFS clients do: the
// kernel serializes first-time lookups within one folder, and a listing that
// carries the attributes spares those lookups.
//
// --stats writes to FILE, when the share stops, how many requests of each
// kind crossed the "network" and how many were in flight at once: on
// average while any was, at most, and over each tenth of the busy time.
//
// --hang-reads makes every read of a file whose name (the last component)
// matches the fnmatch(3) PATTERN go unanswered, as on a share whose server
// stopped answering for that file: the reading thread sits in the kernel,
// where no signal handler runs, until its process is killed (SIGKILL, or a
// signal whose default action ends it) or the share stops.

#define FUSE_USE_VERSION 312

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Settings {
  long delay_us = 1000;
  long cache_ms = 0;
  unsigned threads = 128;
  const char* hang_reads = nullptr;
  const char* stats = nullptr;
  int source_fd = -1;
};

Settings settings;

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

/// One delayed request, for --stats.
struct Served {
  int64_t start;
  int64_t end;
  const char* kind;
};
std::mutex served_mutex;
std::vector<Served> served;

/// Writes what --stats reports to its file; returns nothing.
void WriteStats() {
  FILE* out = std::fopen(settings.stats, "w");
  if (out == nullptr) return;
  std::map<std::string, long> kinds;
  std::vector<std::pair<int64_t, int>> edges;
  for (const Served& s : served) {
    ++kinds[s.kind];
    edges.push_back({s.start, 1});
    edges.push_back({s.end, -1});
  }
  std::sort(edges.begin(), edges.end());
  std::fprintf(out, "requests %zu:", served.size());
  for (const auto& [kind, count] : kinds) std::fprintf(out, " %s %ld", kind.c_str(), count);
  std::fprintf(out, "\n");
  if (edges.empty()) {
    std::fclose(out);
    return;
  }
  // In flight over the time from the first request to the last answer, and
  // over each tenth of it.
  const int64_t first = edges.front().first, last = edges.back().first;
  const int64_t span = std::max<int64_t>(last - first, 1);
  double area = 0, tenths[10] = {};
  int now = 0, most = 0;
  int64_t busy = 0;
  for (size_t i = 0; i + 1 < edges.size(); ++i) {
    now += edges[i].second;
    most = std::max(most, now);
    const int64_t from = edges[i].first, to = edges[i + 1].first;
    if (now > 0) busy += to - from;
    area += static_cast<double>(now) * static_cast<double>(to - from);
    for (int t = 0; t < 10; ++t) {
      const int64_t lo = std::max(from, first + span * t / 10);
      const int64_t hi = std::min(to, first + span * (t + 1) / 10);
      if (hi > lo) tenths[t] += static_cast<double>(now) * static_cast<double>(hi - lo);
    }
  }
  std::fprintf(out,
               "span %.1f ms, idle %.1f ms, in flight: mean %.1f, mean while busy %.1f, most %d\n",
               static_cast<double>(span) / 1e6, static_cast<double>(span - busy) / 1e6,
               area / static_cast<double>(span),
               area / static_cast<double>(std::max<int64_t>(busy, 1)), most);
  std::fprintf(out, "by tenths:");
  for (double t : tenths) std::fprintf(out, " %.1f", t / (static_cast<double>(span) / 10));
  std::fprintf(out, "\n");
  std::fclose(out);
}

/// Waits the configured delay for a request of kind; returns nothing, a
/// delay of 0 does not sleep.
void Delay(const char* kind) {
  if (settings.delay_us <= 0) return;
  const int64_t start = settings.stats != nullptr ? NowNs() : 0;
  // An absolute deadline keeps a signal or an early wake-up from shortening
  // the wait.
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += (settings.delay_us % 1000000) * 1000;
  until.tv_sec += settings.delay_us / 1000000 + until.tv_nsec / 1000000000;
  until.tv_nsec %= 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
  if (settings.stats == nullptr) return;
  const int64_t end = NowNs();
  std::lock_guard<std::mutex> lock(served_mutex);
  served.push_back({start, end, kind});
}

/// Returns PATH (always absolute within the mount) relative to the source
/// folder, "." for its root.
const char* Relative(const char* path) { return path[1] == '\0' ? "." : path + 1; }

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  cfg->use_ino = 1;
  const double cache_s = static_cast<double>(settings.cache_ms) / 1000;
  cfg->entry_timeout = cache_s;
  cfg->attr_timeout = cache_s;
  cfg->negative_timeout = cache_s;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  // The kernel lets only max_background asynchronous requests be in flight
  // (12 unless raised), which would cap the overlap below the thread count.
  conn->max_background = settings.threads;
  conn->congestion_threshold = settings.threads;
  conn->want |= FUSE_CAP_READDIRPLUS | FUSE_CAP_PARALLEL_DIROPS;
  conn->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS_AUTO);
  return nullptr;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  Delay("getattr");
  const int done = fi != nullptr
                       ? fstat(static_cast<int>(fi->fh), st)
                       : fstatat(settings.source_fd, Relative(path), st, AT_SYMLINK_NOFOLLOW);
  return done == 0 ? 0 : -errno;
}

int ReadLink(const char* path, char* buf, size_t size) {
  if (size == 0) return -EINVAL;
  const ssize_t n = readlinkat(settings.source_fd, Relative(path), buf, size - 1);
  if (n < 0) return -errno;
  buf[n] = '\0';
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  Delay("open");
  const int fd = openat(settings.source_fd, Relative(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

/// Returns true when reads of path go unanswered (--hang-reads).
bool Hangs(const char* path) {
  if (settings.hang_reads == nullptr || path == nullptr) return false;
  const char* slash = std::strrchr(path, '/');
  return fnmatch(settings.hang_reads, slash == nullptr ? path : slash + 1, 0) == 0;
}

/// Returns true when the thread tid has SIGKILL pending: its process is
/// being ended by a fatal signal.
bool BeingKilled(pid_t tid) {
  char name[64];
  std::snprintf(name, sizeof name, "/proc/%d/status", static_cast<int>(tid));
  FILE* status = std::fopen(name, "re");
  if (status == nullptr) return true;  // gone already
  unsigned long long pending = 0;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "SigPnd: %llx", &pending) == 1) break;
  }
  std::fclose(status);
  return (pending >> (SIGKILL - 1) & 1) != 0;
}

/// Waits until the session ends (unmounted, SIGINT, SIGTERM) or the reader
/// is being killed; returns nothing. Once the share has taken a request up,
/// the kernel waits for its answer whatever the signal, SIGKILL included:
/// giving up on a fatal signal is what a hard-mounted NFS or SMB share does,
/// and giving up when the session ends lets the share itself exit.
void WaitForTheEnd() {
  const fuse_context* context = fuse_get_context();
  fuse_session* session = fuse_get_session(context->fuse);
  const timespec step = {0, 10 * 1000 * 1000};
  while (!fuse_session_exited(session) && !BeingKilled(context->pid)) nanosleep(&step, nullptr);
}

int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  if (Hangs(path)) {
    WaitForTheEnd();
    return -EIO;
  }
  Delay("read");
  const ssize_t n = pread(static_cast<int>(fi->fh), buf, size, offset);
  return n >= 0 ? static_cast<int>(n) : -errno;
}

int Release(const char*, fuse_file_info* fi) {
  close(static_cast<int>(fi->fh));
  return 0;
}

// An open listing and where the kernel is in it: readdir requests carry the
// offset of the next entry, and an entry that did not fit in the last answer
// is kept for the next one.
struct Listing {
  DIR* dir = nullptr;
  off_t offset = 0;
  const dirent* pending = nullptr;
};

int OpenDir(const char* path, fuse_file_info* fi) {
  Delay("opendir");
  const int fd = openat(settings.source_fd, Relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    close(fd);
    return -error;
  }
  fi->fh = reinterpret_cast<uint64_t>(new Listing{dir});
  return 0;
}

int ReadDir(const char*, void* buf, fuse_fill_dir_t fill, off_t offset, fuse_file_info* fi,
            fuse_readdir_flags flags) {
  // Only the first request of a listing crosses the "network"; the rest
  // stand for the later pages of the same answer.
  if (offset == 0) Delay("readdir");
  Listing* listing = reinterpret_cast<Listing*>(fi->fh);
  if (offset != listing->offset) {
    seekdir(listing->dir, offset);
    listing->offset = offset;
    listing->pending = nullptr;
  }
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  for (;;) {
    if (listing->pending == nullptr) {
      errno = 0;
      listing->pending = readdir(listing->dir);
      if (listing->pending == nullptr) return -errno;
    }
    const dirent* e = listing->pending;
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_ino = e->d_ino;
    st.st_mode = static_cast<mode_t>(DTTOIF(e->d_type));
    // Entries go out with their offsets, not 0: libfuse would otherwise
    // collect the listing itself and hand the kernel READDIRPLUS entries
    // without a node, which the kernel ignores, and every name would then
    // cost a lookup of its own. "." and ".." carry no node either way.
    const bool dots = std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
    const bool have =
        plus && !dots && fstatat(dirfd(listing->dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    const off_t next = telldir(listing->dir);
    if (fill(buf, e->d_name, &st, next, have ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags{}) != 0) {
      return 0;
    }
    listing->pending = nullptr;
    listing->offset = next;
  }
}

int ReleaseDir(const char*, fuse_file_info* fi) {
  Listing* listing = reinterpret_cast<Listing*>(fi->fh);
  closedir(listing->dir);
  delete listing;
  return 0;
}

int StatFs(const char*, struct statvfs* st) {
  return fstatvfs(settings.source_fd, st) == 0 ? 0 : -errno;
}

fuse_operations Operations() {
  fuse_operations ops;
  std::memset(&ops, 0, sizeof ops);
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.open = Open;
  ops.read = Read;
  ops.release = Release;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.releasedir = ReleaseDir;
  ops.statfs = StatFs;
  return ops;
}

int Usage() {
  std::fprintf(stderr,
               "usage: latency_fs [--delay-us N] [--cache-ms N] [--threads N] "
               "[--hang-reads PATTERN] [--stats FILE] [--debug] SOURCE MOUNTPOINT\n");
  return 2;
}

/// Parses a whole non-negative decimal number; returns false for anything else.
bool ParseCount(const char* text, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > max) return false;
  *value = v;
  return true;
}

// Owns the fuse handle, its mount and the signal handlers, undone in reverse.
class Mount {
 public:
  Mount(fuse_args* args, const fuse_operations& ops, const char* mountpoint)
      : fuse_(fuse_new(args, &ops, sizeof ops, nullptr)) {
    if (fuse_ == nullptr) return;
    mounted_ = fuse_mount(fuse_, mountpoint) == 0;
    if (mounted_) handlers_ = fuse_set_signal_handlers(fuse_get_session(fuse_)) == 0;
  }
  ~Mount() {
    if (handlers_) fuse_remove_signal_handlers(fuse_get_session(fuse_));
    if (mounted_) fuse_unmount(fuse_);
    if (fuse_ != nullptr) fuse_destroy(fuse_);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  /// Returns true once mounted with signal handlers in place.
  bool ok() const { return handlers_; }
  fuse* get() const { return fuse_; }

 private:
  fuse* fuse_;
  bool mounted_ = false;
  bool handlers_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  bool debug = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    long value = 0;
    if (std::strcmp(argv[i], "--debug") == 0) {
      debug = true;
    } else if (std::strcmp(argv[i], "--delay-us") == 0 && i + 1 < argc &&
               ParseCount(argv[i + 1], 10000000, &value)) {
      settings.delay_us = value;
      ++i;
    } else if (std::strcmp(argv[i], "--cache-ms") == 0 && i + 1 < argc &&
               ParseCount(argv[i + 1], 3600000, &value)) {
      settings.cache_ms = value;
      ++i;
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc &&
               ParseCount(argv[i + 1], 1024, &value) && value > 0) {
      settings.threads = static_cast<unsigned>(value);
      ++i;
    } else if (std::strcmp(argv[i], "--stats") == 0 && i + 1 < argc) {
      settings.stats = argv[++i];
    } else if (std::strcmp(argv[i], "--hang-reads") == 0 && i + 1 < argc) {
      settings.hang_reads = argv[++i];
    } else {
      return Usage();
    }
  }
  if (argc - i != 2) return Usage();
  const char* source = argv[i];
  const char* mountpoint = argv[i + 1];
  settings.source_fd = open(source, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (settings.source_fd < 0) {
    std::perror(source);
    return 1;
  }

  std::vector<std::string> words = {"latency_fs", "-o", "ro,fsname=latency_fs,subtype=latency"};
  if (debug) words.push_back("-d");
  std::vector<char*> pointers;
  for (std::string& w : words) pointers.push_back(w.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(pointers.size()), pointers.data());
  const fuse_operations ops = Operations();
  int status = 1;
  {
    Mount mount(&args, ops, mountpoint);
    if (mount.ok()) {
      std::printf("mounted\n");
      std::fflush(stdout);
      // fuse_main would stop at 10 threads whatever -o max_threads says.
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, settings.threads);
      fuse_loop_cfg_set_idle_threads(config, settings.threads);
      status = fuse_loop_mt(mount.get(), config) == 0 ? 0 : 1;
      fuse_loop_cfg_destroy(config);
    }
  }
  fuse_opt_free_args(&args);
  close(settings.source_fd);
  if (settings.stats != nullptr) WriteStats();
  return status;
}
