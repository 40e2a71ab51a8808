#include "logger/internal/io.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <system_error>

namespace tolvan::logger::detail {

int write_fully(int fd, std::string_view data) noexcept {
  // A closed pipe on the other end must not end the service: block SIGPIPE for this thread
  // while writing and discard the one our write raised (but not one that was already waiting).
  sigset_t pipe_set;
  sigset_t old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  int error = 0;
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) {
      error = EIO;
      break;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }

  if (error == EPIPE && !was_pending) {
    const timespec no_wait{};
    while (sigtimedwait(&pipe_set, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  return error;
}

int append_whole(int fd, std::string_view line) noexcept {
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
  const int error = write_fully(fd, line);
  if (error != 0 && sized) {
    while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
    }
  }
  return error;
}

int open_append(const char* path) noexcept {
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void print_warning(std::string_view line) noexcept {
  try {
    std::string text(line);
    text += '\n';
    write_fully(STDERR_FILENO, text);
  } catch (...) {
    // Out of memory while reporting a logging problem: nothing better to do.
  }
}

std::string error_text(int error) {
  return std::generic_category().message(error);
}

}  // namespace tolvan::logger::detail
