#include "base/posix/head_reader.h"

#if defined(WAVTALLY_HAVE_URING)

#include <fcntl.h>
#include <liburing.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>

#if defined(__SANITIZE_THREAD__)
#define WAVTALLY_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WAVTALLY_TSAN 1
#endif
#endif
#if defined(WAVTALLY_TSAN)
// ThreadSanitizer follows descriptors through the calls it wraps, and a close
// in the ring is none of them. Unaware of it, it would take the next file that
// another thread opens under the same number for a race with this one.
extern "C" void __sanitizer_syscall_pre_impl_close(long fd);
#endif

namespace wavtally::platform {
namespace {

/// Tells a race detector that the ring is about to close fd.
void NoteClose(int fd) {
#if defined(WAVTALLY_TSAN)
  __sanitizer_syscall_pre_impl_close(fd);
#else
  (void)fd;
#endif
}

// Two entries a file in the last step: 64 files a batch.
constexpr unsigned kEntries = 128;

class Ring;
Ring& TheRing();

// The ring of this process, made on first use. Rings are not shared: a child
// forked after it was made leaves it alone, since parent and child would
// both see one ring's memory.
class Ring {
 public:
  /// Returns the ring, made now if need be; null when it cannot be had.
  io_uring* Get() {
    if (made_) return &ring_;
    if (refused_ || !allowed_) return nullptr;
    const int code = io_uring_queue_init(kEntries, &ring_, 0);
    if (code < 0) {
      // Out of descriptors or memory may pass; anything else (no io_uring
      // in the kernel, a sandbox that forbids it) will not.
      refused_ = code != -EMFILE && code != -ENFILE && code != -ENOMEM;
      return nullptr;
    }
    made_ = true;
    if (!atfork_) ::pthread_atfork(nullptr, nullptr, [] { TheRing().Forget(); });
    atfork_ = true;
    return &ring_;
  }

  /// Closes the ring; none is made again until Allow(true). Returns nothing.
  void Allow(bool allowed) {
    if (made_) io_uring_queue_exit(&ring_);
    made_ = false;
    allowed_ = allowed;
  }

  std::mutex& Mutex() { return mutex_; }

 private:
  /// Stops using the ring without touching it, as a forked child must.
  void Forget() {
    made_ = false;
    refused_ = true;
  }

  std::mutex mutex_;
  io_uring ring_{};
  bool made_ = false;
  bool refused_ = false;
  bool allowed_ = true;
  bool atfork_ = false;
};

Ring& TheRing() {
  // Never destroyed: a worker thread may still read heads while the process
  // ends.
  static Ring* const ring = new Ring();
  return *ring;
}

// Submits the count entries prepared and waits for all of them, handing each
// completion to done(user_data, result). Returns false when not all could be
// submitted or waited for. A failed call is tried again a bounded number of
// times in a row, so that a ring that is never let finish ends the step;
// completions the ring already holds are taken even then, since the
// descriptors their opens made are ours to close.
template <typename Done>
bool Step(RingCalls& calls, io_uring* ring, unsigned count, Done done) {
  int submitted = calls.SubmitAndWait(ring, count);
  for (int i = 0; i < kMostInterruptions && submitted == -EINTR; ++i) {
    submitted = calls.SubmitAndWait(ring, count);
  }
  const unsigned under_way = submitted > 0 ? static_cast<unsigned>(submitted) : 0;
  unsigned seen = 0;
  const auto take = [&](io_uring_cqe* cqe) {
    done(cqe->user_data, cqe->res);
    io_uring_cqe_seen(ring, cqe);
    ++seen;
  };
  for (int failures = 0; seen < under_way && failures <= kMostInterruptions;) {
    io_uring_cqe* cqe = nullptr;
    if (calls.WaitCompletion(ring, &cqe) < 0) {
      ++failures;
      continue;
    }
    failures = 0;
    take(cqe);
  }
  for (io_uring_cqe* cqe = nullptr; seen < under_way && io_uring_peek_cqe(ring, &cqe) == 0;) {
    take(cqe);
  }
  return seen == under_way && under_way == count;
}

RingCalls& SystemCalls() {
  static RingCalls calls;
  return calls;
}

}  // namespace

int RingCalls::SubmitAndWait(io_uring* ring, unsigned wait) {
  return io_uring_submit_and_wait(ring, wait);
}

int RingCalls::WaitCompletion(io_uring* ring, io_uring_cqe** cqe) {
  return io_uring_wait_cqe(ring, cqe);
}

size_t RingDescriptors() { return 1; }

void AllowRing(bool allowed) {
  Ring& owner = TheRing();
  const std::lock_guard<std::mutex> lock(owner.Mutex());
  owner.Allow(allowed);
}

bool ReadHeadsTogether(std::span<const HeadFile> files, RingCalls* given) {
  if (files.empty() || files.size() > kEntries / 2) return false;
  RingCalls& calls = given != nullptr ? *given : SystemCalls();
  Ring& owner = TheRing();
  std::unique_lock<std::mutex> lock(owner.Mutex(), std::try_to_lock);
  if (!lock.owns_lock()) return false;
  io_uring* ring = owner.Get();
  if (ring == nullptr) return false;
  const auto count = static_cast<unsigned>(files.size());
  std::array<int, kEntries / 2> fds;
  fds.fill(-1);

  // The opens. One that fails is left to the file's own open, which says
  // why as every other open does.
  for (unsigned i = 0; i < count; ++i) {
    io_uring_sqe* sqe = io_uring_get_sqe(ring);
    io_uring_prep_openat(sqe, files[i].dir, files[i].name, kFileOpenFlags, 0);
    io_uring_sqe_set_data64(sqe, i);
  }
  bool ok = Step(calls, ring, count, [&](uint64_t i, int result) {
    if (result >= 0) fds[i] = result;
  });

  // What each open file is and its size. A statx through the ring would be
  // handed to a kernel worker thread every time, which costs more than the
  // call. Then the first bytes of each regular file, and every descriptor
  // closed, each close after its read whatever the read did.
  unsigned entries = 0;
  for (unsigned i = 0; ok && i < count; ++i) {
    if (fds[i] < 0) continue;
    FileHead& head = *files[i].head;
    head.error.Clear();
    head.size = 0;
    head.got = 0;
    head.opened = InspectOpenFile(fds[i], &head.size, &head.error,
                                  [&](int fd, struct stat* info) { return calls.Fstat(fd, info); });
    const auto want = static_cast<unsigned>(std::min<uint64_t>(head.size, FileHead::kBytes));
    if (head.opened && want > 0) {
      io_uring_sqe* sqe = io_uring_get_sqe(ring);
      io_uring_prep_read(sqe, fds[i], head.bytes.data(), want, 0);
      io_uring_sqe_set_flags(sqe, IOSQE_IO_HARDLINK);
      io_uring_sqe_set_data64(sqe, 2 * i);
      ++entries;
    }
    NoteClose(fds[i]);
    io_uring_sqe* sqe = io_uring_get_sqe(ring);
    io_uring_prep_close(sqe, fds[i]);
    io_uring_sqe_set_data64(sqe, 2 * i + 1);
    ++entries;
  }
  std::array<bool, kEntries / 2> closed{};
  ok = ok && Step(calls, ring, entries, [&](uint64_t data, int result) {
         const uint64_t i = data / 2;
         if (data % 2 == 1) {
           // A close that did not run (cancelled with its link) leaves the
           // descriptor open; one that ran and failed has released it all
           // the same, as close(2) does.
           closed[i] = result != -ECANCELED;
           return;
         }
         // A read that failed or came up short leaves the rest to the file's
         // own reads, should the header lie beyond what came.
         files[i].head->got = result > 0 ? static_cast<size_t>(result) : 0;
       });

  for (unsigned i = 0; i < count; ++i) {
    if (fds[i] >= 0 && !closed[i]) ::close(fds[i]);
  }
  if (!ok) {
    // Entries left unsubmitted would run with the next batch's: the ring
    // goes, and every file is opened on its own from now on.
    owner.Allow(false);
    return false;
  }
  for (unsigned i = 0; i < count; ++i) {
    FileHead& head = *files[i].head;
    head.read = fds[i] >= 0;
  }
  return true;
}

}  // namespace wavtally::platform

#else

namespace wavtally::platform {

int RingCalls::SubmitAndWait(io_uring*, unsigned) { return -ENOSYS; }
int RingCalls::WaitCompletion(io_uring*, io_uring_cqe**) { return -ENOSYS; }

size_t RingDescriptors() { return 0; }
void AllowRing(bool) {}

bool ReadHeadsTogether(std::span<const HeadFile>, RingCalls*) { return false; }

}  // namespace wavtally::platform

#endif
