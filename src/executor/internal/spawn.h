#pragma once

// One shell command as a child process: `/bin/sh -c <command>` with standard output and
// standard error on pipes, standard input inherited, in a process group of its own, optionally
// as another user. No other descriptor of the gateway reaches the command, and the command
// starts with default signal dispositions and an empty signal mask.
//
// The child is created with clone(CLONE_VM | CLONE_VFORK): unlike fork, its cost does not grow
// with the gateway's memory, and unlike posix_spawn it can switch users. In that child only raw
// system calls change credentials: glibc's setuid/setgid would signal every thread of the
// shared address space, which are the gateway's own threads.
//
// Failure: the constructor throws SpawnError when the shell cannot be started or the user
// switch fails (nothing is left running then). Reading errors throw std::system_error.
// Thread-safety: one ShellProcess per execution; any number may run concurrently.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvan::executor::detail {

class SpawnError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Who the command runs as.
struct Credentials {
  uid_t uid = 0;
  gid_t gid = 0;
  /// The user's supplementary groups; applied when `set_groups` (the gateway may change them).
  std::vector<gid_t> groups;
  bool set_groups = false;
};

/// The user database entry of `name`: its user id, primary group and supplementary groups.
/// Throws SpawnError "unknown user '{name}'" when there is none.
Credentials lookup_user(const std::string& name);

class ShellProcess {
 public:
  /// Starts `/bin/sh -c command`. `envp` is a null-terminated "NAME=value" array, or nullptr
  /// for the gateway's own environment.
  ShellProcess(const std::string& command, const char* const* envp, const Credentials* credentials);
  /// Kills the process group and reaps the child when that has not happened yet.
  ~ShellProcess();
  ShellProcess(const ShellProcess&) = delete;
  ShellProcess& operator=(const ShellProcess&) = delete;

  pid_t pid() const { return pid_; }

  /// Reads both pipes to their end and waits for the shell to exit, until `deadline`.
  /// True when both happened in time; then returncode() is set and the child is reaped.
  bool communicate(std::chrono::steady_clock::time_point deadline);

  /// After a missed deadline: kills the whole process group, reads what is still in the pipes
  /// for at most `grace` (a descendant that left the group may hold them open), then reaps the
  /// shell.
  void kill_and_drain(std::chrono::milliseconds grace);

  /// Exit status, or the negative signal number when a signal ended the shell.
  int returncode() const { return returncode_; }
  std::string& out() { return out_; }
  std::string& err() { return err_; }

 private:
  void reap();
  bool read_ready(int& fd, std::string& into);

  pid_t pid_ = -1;
  int pidfd_ = -1;   // -1 on kernels without CLONE_PIDFD
  int out_fd_ = -1;  // read ends; -1 once at end of file
  int err_fd_ = -1;
  bool exited_ = false;  // the shell has exited (not necessarily reaped)
  bool reaped_ = false;
  int returncode_ = 0;
  std::string out_;
  std::string err_;
};

}  // namespace tolvan::executor::detail
