#pragma once

// Test helpers: what a standard stream receives, and a terminal as standard output.
// For tests only; not thread-safe (one capture of a descriptor at a time).

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tolvan::logger::testing {

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

/// Points descriptor `fd` at a file until `text()` or destruction puts it back.
class CapturedFd {
 public:
  CapturedFd(int fd, const std::filesystem::path& file) : fd_(fd), file_(file) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int target = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (target < 0) throw std::runtime_error("cannot create capture file");
    saved_ = ::dup(fd);
    ::dup2(target, fd);
    ::close(target);
  }
  ~CapturedFd() { restore(); }
  CapturedFd(const CapturedFd&) = delete;
  CapturedFd& operator=(const CapturedFd&) = delete;

  /// Restores the descriptor and returns everything written to it.
  std::string text() {
    restore();
    return read_file(file_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
  }

  int fd_;
  std::filesystem::path file_;
  int saved_ = -1;
};

/// Makes standard output a pseudo-terminal (raw mode, so "\n" arrives unchanged) until
/// `restore()` or destruction. `ok()` is false when no terminal can be had here.
class TerminalStdout {
 public:
  TerminalStdout() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const char* name = ::ptsname(master_);
    if (name == nullptr) return;
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return;
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(slave, TCSANOW, &tio);
    }
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(slave, STDOUT_FILENO);
    ::close(slave);
  }
  ~TerminalStdout() {
    restore();
    if (master_ >= 0) ::close(master_);
  }
  TerminalStdout(const TerminalStdout&) = delete;
  TerminalStdout& operator=(const TerminalStdout&) = delete;

  bool ok() const { return saved_ >= 0; }

  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
  }

  /// What the terminal received, read until `lines` line ends arrived or nothing more comes.
  std::string read_lines(int lines) {
    std::string out;
    int seen = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen < lines && std::chrono::steady_clock::now() < give_up) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i)
        seen += buf[i] == '\n' ? 1 : 0;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  /// Whatever arrived within a short wait (for checking that nothing more came).
  std::string read_rest() {
    std::string out;
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) return out;
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return out;
      out.append(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  int master_ = -1;
  int saved_ = -1;
};

}  // namespace tolvan::logger::testing
