// The Unix process around the service: daemon, PID file, the error line written before
// logging exists, reload, and reaping of orphaned descendants.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include "tolvan/service.h"
#include "watcher/watcher.h"

namespace tolvan::service::detail {
namespace {

void flush_standard_streams() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
}

void fork_or_exit(int which) {
  flush_standard_streams();
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::cerr << "ERROR: daemon fork #" << which << " failed: " << std::strerror(errno)
              << std::endl;
    std::exit(1);
  }
  // The parent leaves without running exit hooks or destructors: they belong to the child.
  if (pid > 0) ::_exit(0);
}

}  // namespace

void daemonize() {
  fork_or_exit(1);
  ::setsid();
  fork_or_exit(2);

  flush_standard_streams();
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd < 0) return;
  ::dup2(null_fd, STDIN_FILENO);
  ::dup2(null_fd, STDOUT_FILENO);
  ::dup2(null_fd, STDERR_FILENO);
  if (null_fd > STDERR_FILENO) ::close(null_fd);
}

void write_pid(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  int err = errno;
  if (f != nullptr) {
    const bool written = std::fprintf(f, "%d", static_cast<int>(::getpid())) > 0;
    err = errno;
    const bool closed = std::fclose(f) == 0;
    if (!closed) err = errno;
    if (written && closed) return;
  }
  std::cerr << "ERROR: cannot write PID file " << path << ": " << std::strerror(err)
            << std::endl;
  std::exit(1);
}

void remove_pid(const std::string& path) noexcept { ::unlink(path.c_str()); }

void log_pre_init_error(std::string_view msg, const std::string& path) noexcept {
  try {
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);

    const std::time_t now = std::time(nullptr);
    struct tm local {};
    char stamp[64] = "";
    if (::localtime_r(&now, &local) != nullptr) {
      std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S,000", &local);
    }
    std::string line = std::string(stamp) + " ERROR tolvan " + std::string(msg) + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write, so concurrent writers never split the line.
    [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
  } catch (...) {
  }
}

void do_reload(config::Config& cfg, auth::Auth& auth) noexcept {
  std::lock_guard lock(watcher::reload_mutex());
  watcher::reload_auth(cfg, auth);
  watcher::reload_aliases(cfg);
}

std::string signal_display_name(int signum) {
  return signum == SIGINT ? "SIGINT (Ctrl-C)" : "SIGTERM";
}

int reap_orphans() noexcept {
  int reaped = 0;
  const pid_t self = ::getpid();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;

    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    std::FILE* f = std::fopen(path, "re");
    if (f == nullptr) continue;
    char buf[1024];
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // "pid (comm) state ppid pgrp ..."; comm may hold spaces and parentheses.
    const char* close = std::strrchr(buf, ')');
    if (close == nullptr) continue;
    char state = 0;
    long ppid = 0;
    long pgrp = 0;
    if (std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) continue;
    if (state != 'Z' || ppid != self) continue;
    // Commands the executor starts lead their own process group and are waited for by it.
    if (pgrp == pid) continue;
    int status = 0;
    if (::waitpid(static_cast<pid_t>(pid), &status, WNOHANG) > 0) ++reaped;
  }
  ::closedir(proc);
  return reaped;
}

}  // namespace tolvan::service::detail
