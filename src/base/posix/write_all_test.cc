#include "base/posix/write_all.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace wavtally {
namespace {

void Ignore(int) {}

// A pipe whose write end blocks or refuses (non_blocking) once full, and a
// handler without SA_RESTART, so that a signal cuts the blocked write short
// with EINTR before it has written anything.
struct FullPipe {
  explicit FullPipe(bool non_blocking) {
    EXPECT_EQ(pipe(fds), 0);
    struct sigaction action = {};
    action.sa_handler = Ignore;
    sigaction(SIGUSR1, &action, &before);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'f');
    while (write(fds[1], block.data(), block.size()) > 0) filled += block.size();
    if (!non_blocking) fcntl(fds[1], F_SETFL, 0);
  }
  ~FullPipe() {
    sigaction(SIGUSR1, &before, nullptr);
    close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
  }
  FullPipe(const FullPipe&) = delete;
  FullPipe& operator=(const FullPipe&) = delete;

  int fds[2] = {-1, -1};
  size_t filled = 0;
  struct sigaction before = {};
};

TEST(WriteAllTest, AFullPipeIsWaitedForThroughInterruptionsAndRefusals) {
  for (const bool non_blocking : {false, true}) {
    SCOPED_TRACE(non_blocking ? "refused (EAGAIN)" : "interrupted (EINTR)");
    FullPipe pipe(non_blocking);
    const std::string data(100'000, 'd');
    const pthread_t writer = pthread_self();
    std::string got;
    std::thread reader([&] {
      // Interrupt the write while the pipe is still full, then drain it.
      for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(writer, SIGUSR1);
      }
      char buffer[8192];
      while (got.size() < pipe.filled + data.size()) {
        const ssize_t n = read(pipe.fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
      }
    });
    size_t written = 0;
    const int error = platform::WriteAll(pipe.fds[1], data.data(), data.size(), &written);
    // The end of the file ends the reader, whatever the write left out.
    close(pipe.fds[1]);
    pipe.fds[1] = -1;
    reader.join();
    EXPECT_EQ(error, 0);
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(got.size(), pipe.filled + data.size());
    EXPECT_EQ(got.substr(pipe.filled), data);
  }
}

}  // namespace
}  // namespace wavtally
