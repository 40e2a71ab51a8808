// Signals reach the service through a signalfd read by one thread, so the handlers run in
// ordinary thread context, one at a time, and may log, lock and start threads freely.

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "tolvan/service.h"

namespace tolvan::service {
namespace {

sigset_t set_of(const std::vector<int>& signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  return set;
}

}  // namespace

void SignalDispatcher::block_signals(const std::vector<int>& signals) {
  const sigset_t set = set_of(signals);
  const int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
}

SignalDispatcher::~SignalDispatcher() { stop(); }

void SignalDispatcher::start(const std::vector<int>& signals, Handler handler) {
  stop();
  const sigset_t set = set_of(signals);
  signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (signal_fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    const int err = errno;
    ::close(signal_fd_);
    signal_fd_ = -1;
    throw std::system_error(err, std::generic_category(), "eventfd");
  }
  handler_ = std::move(handler);
  thread_ = std::thread([this] { run(); });
}

void SignalDispatcher::stop() noexcept {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  if (signal_fd_ >= 0) ::close(signal_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  signal_fd_ = -1;
  wake_fd_ = -1;
}

void SignalDispatcher::run() {
  for (;;) {
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    signalfd_siginfo info{};
    const ssize_t n = ::read(signal_fd_, &info, sizeof info);
    if (n != static_cast<ssize_t>(sizeof info)) continue;
    try {
      handler_(static_cast<int>(info.ssi_signo));
    } catch (...) {
      // A handler failure must not end signal handling for the rest of the run.
    }
  }
}

}  // namespace tolvan::service
