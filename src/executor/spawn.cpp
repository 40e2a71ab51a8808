#include "executor/internal/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>

#include "value/value.h"

extern char** environ;

namespace tolvan::executor::detail {

namespace {

using Clock = std::chrono::steady_clock;

// Set once the kernel has refused CLONE_PIDFD; exits are then noticed by polling waitpid.
std::atomic<bool> g_no_pidfd{false};

constexpr std::size_t kChildStack = 64 * 1024;

enum class Step { None, ProcessGroup, Pipes, Groups, Group, User, Exec };

// What the child needs, prepared by the parent: the child may only make system calls.
struct ChildContext {
  const char* argv[4];
  char* const* envp;
  int out_fd;
  int err_fd;
  const Credentials* credentials;
  int max_fd;  // for closing descriptors when close_range is missing
  // Written by the child before it dies; read by the parent once clone returns.
  int failed_errno;
  Step failed_step;
};

[[noreturn]] __attribute__((no_sanitize("address"))) void child_fail(ChildContext* c, Step step) {
  c->failed_errno = errno;
  c->failed_step = step;
  _exit(127);
}

// Runs in the child, on its own stack, sharing the gateway's memory until execve.
__attribute__((no_sanitize("address"))) int child_main(void* arg) {
  auto* c = static_cast<ChildContext*>(arg);

  // Handlers of the gateway must not run in here, and the command starts with default
  // dispositions (ignored signals stay ignored, except the two that break pipelines and
  // large writes) before the signal mask, fully blocked by the parent, is cleared.
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0) continue;
    const bool ignored = sa.sa_handler == SIG_IGN && (sa.sa_flags & SA_SIGINFO) == 0;
    const bool restore = sig == SIGPIPE || sig == SIGXFSZ;
    if (sa.sa_handler == SIG_DFL && (sa.sa_flags & SA_SIGINFO) == 0) continue;
    if (ignored && !restore) continue;
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  if (setpgid(0, 0) != 0) child_fail(c, Step::ProcessGroup);
  if (dup2(c->out_fd, STDOUT_FILENO) < 0 || dup2(c->err_fd, STDERR_FILENO) < 0) {
    child_fail(c, Step::Pipes);
  }
  if (const Credentials* cr = c->credentials) {
    if (cr->set_groups && syscall(SYS_setgroups, cr->groups.size(), cr->groups.data()) != 0) {
      child_fail(c, Step::Groups);
    }
    if (syscall(SYS_setgid, cr->gid) != 0) child_fail(c, Step::Group);
    if (syscall(SYS_setuid, cr->uid) != 0) child_fail(c, Step::User);
  }
  if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
    for (int fd = 3; fd < c->max_fd; ++fd)
      close(fd);
  }
  execve(c->argv[0], const_cast<char* const*>(c->argv), c->envp);
  child_fail(c, Step::Exec);
}

std::string step_error(Step step, const Credentials* cr, int err) {
  const std::string reason = std::strerror(err);
  switch (step) {
    case Step::ProcessGroup:
      return "cannot give the command a process group: " + reason;
    case Step::Pipes:
      return "cannot connect the command's output pipes: " + reason;
    case Step::Groups:
      return "cannot set the supplementary groups of user id " + std::to_string(cr->uid) + ": " +
             reason;
    case Step::Group:
      return "cannot switch to group id " + std::to_string(cr->gid) + ": " + reason;
    case Step::User:
      return "cannot switch to user id " + std::to_string(cr->uid) + ": " + reason;
    case Step::Exec:
    case Step::None:
      break;
  }
  return "cannot start /bin/sh: " + reason;
}

// A pipe whose ends are both above the standard descriptors, so the child's dup2 onto 1 and 2
// can never overwrite the other pipe.
void make_pipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw SpawnError(std::string("cannot create a pipe: ") + std::strerror(errno));
  }
  for (int i = 0; i < 2; ++i) {
    if (fds[i] > STDERR_FILENO) continue;
    const int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int err = errno;
    close(fds[i]);
    fds[i] = moved;
    if (moved < 0) {
      close(fds[1 - i]);
      throw SpawnError(std::string("cannot create a pipe: ") + std::strerror(err));
    }
  }
}

int close_fallback_limit() {
  static const int limit = [] {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
      return static_cast<int>(std::min<rlim_t>(rl.rlim_cur, INT_MAX));
    }
    return 65536;
  }();
  return limit;
}

// The child's stack, one per spawning thread: the thread is suspended while its child uses it.
class ChildStack {
 public:
  ~ChildStack() {
    if (base_ != nullptr) munmap(base_, kChildStack);
  }
  // The top of the stack, or nullptr with errno set.
  char* top() {
    if (base_ == nullptr) {
      void* p = mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
      if (p == MAP_FAILED) return nullptr;
      base_ = p;
    }
    return static_cast<char*>(base_) + kChildStack;
  }

 private:
  void* base_ = nullptr;
};

int to_returncode(int status) {
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace

Credentials lookup_user(const std::string& name) {
  if (name.find('\0') != std::string::npos) {
    throw SpawnError("unknown user " + quote_literal(name));
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0) {
    throw SpawnError("cannot look up user " + quote_literal(name) + ": " + std::strerror(rc));
  }
  if (found == nullptr) throw SpawnError("unknown user " + quote_literal(name));

  Credentials cr;
  cr.uid = pw.pw_uid;
  cr.gid = pw.pw_gid;
  // Only a privileged gateway can set supplementary groups; it must, or the command would keep
  // the gateway's own (root's) group memberships.
  if (geteuid() == 0) {
    int count = 32;
    cr.groups.resize(static_cast<std::size_t>(count));
    while (getgrouplist(pw.pw_name, pw.pw_gid, cr.groups.data(), &count) < 0) {
      cr.groups.resize(static_cast<std::size_t>(count) + 1);
      count = static_cast<int>(cr.groups.size());
    }
    cr.groups.resize(static_cast<std::size_t>(count));
    cr.set_groups = true;
  }
  return cr;
}

ShellProcess::ShellProcess(const std::string& command, const char* const* envp,
                           const Credentials* credentials) {
  if (command.find('\0') != std::string::npos) {
    throw SpawnError("cannot start /bin/sh: the command contains a NUL character");
  }
  int out[2];
  int err[2];
  make_pipe(out);
  try {
    make_pipe(err);
  } catch (...) {
    close(out[0]);
    close(out[1]);
    throw;
  }

  ChildContext ctx{};
  ctx.argv[0] = "/bin/sh";
  ctx.argv[1] = "-c";
  ctx.argv[2] = command.c_str();
  ctx.argv[3] = nullptr;
  ctx.envp = const_cast<char* const*>(envp != nullptr ? envp : environ);
  ctx.out_fd = out[1];
  ctx.err_fd = err[1];
  ctx.credentials = credentials;
  ctx.max_fd = close_fallback_limit();
  ctx.failed_step = Step::None;

  thread_local ChildStack stack;
  char* top = stack.top();
  int spawn_errno = 0;
  if (top == nullptr) {
    spawn_errno = errno;
  } else {
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD;
    int pidfd = -1;
    pid_t pid = -1;
    if (!g_no_pidfd.load(std::memory_order_relaxed)) {
      pid = clone(child_main, top, flags | CLONE_PIDFD, &ctx, &pidfd);
      if (pid < 0 && errno == EINVAL) g_no_pidfd.store(true, std::memory_order_relaxed);
    }
    if (pid < 0 && g_no_pidfd.load(std::memory_order_relaxed)) {
      pidfd = -1;
      pid = clone(child_main, top, flags, &ctx);
    }
    spawn_errno = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pid_ = pid;
    pidfd_ = pid > 0 ? pidfd : -1;
  }
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];

  if (pid_ <= 0) {
    close(out_fd_);
    close(err_fd_);
    throw SpawnError("cannot start /bin/sh: " + std::string(std::strerror(spawn_errno)));
  }
  if (ctx.failed_step != Step::None) {
    // The child has already exited; collect it and report why it could not start.
    out_fd_ = -1, err_fd_ = -1;
    close(out[0]);
    close(err[0]);
    reap();
    pid_ = -1;
    throw SpawnError(step_error(ctx.failed_step, credentials, ctx.failed_errno));
  }
}

ShellProcess::~ShellProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(-pid_, SIGKILL);
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
    out_fd_ = err_fd_ = -1;
    reap();
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
  if (pidfd_ >= 0) close(pidfd_);
}

void ShellProcess::reap() {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, 0);
  } while (r < 0 && errno == EINTR);
  reaped_ = true;
  exited_ = true;
  if (r == pid_) returncode_ = to_returncode(status);
  if (pidfd_ >= 0) close(pidfd_);
  pidfd_ = -1;
}

bool ShellProcess::read_ready(int& fd, std::string& into) {
  char buf[64 * 1024];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n > 0) {
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n < 0) throw std::system_error(errno, std::generic_category(), "reading command output");
  close(fd);
  fd = -1;
  return false;
}

bool ShellProcess::communicate(Clock::time_point deadline) {
  std::chrono::milliseconds backoff(1);
  for (;;) {
    const bool pipes_open = out_fd_ >= 0 || err_fd_ >= 0;
    if (!pipes_open && exited_) {
      if (!reaped_) reap();
      return true;
    }
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);

    if (!pipes_open && pidfd_ < 0) {
      // No pidfd to wait on: check for the exit now and then.
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = exited_ = true;
        returncode_ = to_returncode(status);
        return true;
      }
      std::this_thread::sleep_for(std::min(backoff, left));
      backoff = std::min(backoff * 2, std::chrono::milliseconds(50));
      continue;
    }

    pollfd fds[3];
    nfds_t n = 0;
    int* owners[3] = {nullptr, nullptr, nullptr};
    if (out_fd_ >= 0) owners[n] = &out_fd_, fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) owners[n] = &err_fd_, fds[n++] = {err_fd_, POLLIN, 0};
    if (!exited_ && pidfd_ >= 0) fds[n++] = {pidfd_, POLLIN, 0};
    const int timeout_ms = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
    const int rc = poll(fds, n, timeout_ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) throw std::system_error(errno, std::generic_category(), "waiting for the command");
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (owners[i] == nullptr) {
        exited_ = true;
        continue;
      }
      read_ready(*owners[i], owners[i] == &out_fd_ ? out_ : err_);
    }
  }
}

void ShellProcess::kill_and_drain(std::chrono::milliseconds grace) {
  if (reaped_) return;
  // The shell is not reaped yet, so its process group id cannot have been reused.
  kill(-pid_, SIGKILL);
  const auto deadline = Clock::now() + grace;
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    pollfd fds[2];
    int* owners[2];
    nfds_t n = 0;
    if (out_fd_ >= 0) owners[n] = &out_fd_, fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) owners[n] = &err_fd_, fds[n++] = {err_fd_, POLLIN, 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    const int rc = poll(fds, n, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents != 0) read_ready(*owners[i], owners[i] == &out_fd_ ? out_ : err_);
    }
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
  out_fd_ = err_fd_ = -1;
  reap();
}

}  // namespace tolvan::executor::detail
