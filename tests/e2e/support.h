#pragma once

// Helpers for end-to-end tests: start the built `tolvan` program in a temporary directory on a
// free loopback port, talk HTTP (or HTTPS) to it, send it signals, read its logs.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "value/testing/temp_dir.h"

namespace tolvan::e2e {

namespace fs = std::filesystem;

/// The program under test and the source tree, from the build.
std::string tolvan_binary();
std::string source_dir();

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  int status = 0;
  std::string reason;
  HeaderList headers;
  std::string body;

  /// First header with this name (case-insensitive).
  std::optional<std::string> header(std::string_view name) const;
};

/// One request on a fresh connection ("Connection: close"). Throws std::runtime_error when the
/// server cannot be reached or the answer is not HTTP.
HttpResponse http(std::uint16_t port, const std::string& method, const std::string& target,
                  const HeaderList& headers = {}, const std::string& body = {}, bool tls = false);

/// A loopback port nobody listens on right now.
std::uint16_t free_port();

std::string read_file(const fs::path& path);

/// Polls `cond` for up to `limit`; true as soon as it holds.
bool eventually(const std::function<bool()>& cond,
                std::chrono::milliseconds limit = std::chrono::seconds(15));

/// What /proc says about a process.
struct ProcStat {
  char state = 0;
  long ppid = 0;
  std::string comm;
};
std::optional<ProcStat> proc_stat(long pid);
/// Processes whose parent is `parent`, with their state.
std::vector<std::pair<long, ProcStat>> children_of(long parent);

/// Exit status of a finished process: the exit code, or 128 + signal number.
int exit_code(int wait_status);

/// The files every gateway of these tests starts from: a few process aliases covering each
/// output kind and exit code handling, and two users.
///   alice (key "alice-key") may run every alias;
///   bob (key "bob-key") may run "echo" and "ghost" (which does not exist).
class Gateway {
 public:
  Gateway();
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  const fs::path& dir() const { return tmp_.path(); }
  fs::path path(std::string_view rel) const { return tmp_ / rel; }
  fs::path write(std::string_view rel, std::string_view content) const {
    return tmp_.write(rel, content);
  }
  /// Lines added to the configuration file before the start.
  void add_config(const std::string& line) { extra_config_ += line + "\n"; }
  /// Writes the configuration file (also done by `start`); returns its path.
  fs::path write_config();

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }

  /// Starts the program with --config and `args`, and waits until it accepts connections.
  /// Returns false when it exited instead (see `wait_exit`).
  bool start(const std::vector<std::string>& args = {});
  /// Starts the program with exactly `args` (working directory `cwd`, default the temporary
  /// directory) and waits until it accepts connections on `port()`.
  bool start_raw(const std::vector<std::string>& args, const std::string& cwd = {});
  /// Runs the program with exactly `args` (no --config added) in the temporary directory and
  /// waits for it to exit; returns the exit status.
  int run(const std::vector<std::string>& args,
          std::chrono::milliseconds limit = std::chrono::seconds(30));
  /// Starts the program with exactly `args` without waiting for anything.
  void spawn(const std::vector<std::string>& args, const std::string& cwd = {});

  /// Runs the program through this command line (for example a namespace tool).
  void set_launcher(std::vector<std::string> launcher) { launcher_ = std::move(launcher); }

  /// Sends `sig` to the running program.
  void signal(int sig) const;
  /// Waits for the program to exit; its exit status, or -1 when it outlives `limit`.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(30));

  std::string out() const { return read_file(path("stdout.txt")); }
  std::string err() const { return read_file(path("stderr.txt")); }
  std::string app_log() const { return read_file(path("app.log")); }
  std::string audit_log() const { return read_file(path("audit.log")); }
  /// Waits until the AppLog contains `text`.
  bool log_shows(const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(15)) const;

  HttpResponse request(const std::string& method, const std::string& target,
                       const HeaderList& headers = {}, const std::string& body = {},
                       bool tls = false) const {
    return http(port_, method, target, headers, body, tls);
  }
  /// POST /run/{alias}{query} as alice.
  HttpResponse run_alias(const std::string& alias_and_query, const std::string& key = "alice-key",
                         const std::string& body = {},
                         const std::string& content_type = {}) const;

 private:
  tolvan::testing::TempDir tmp_;
  std::uint16_t port_;
  /// Collects the exit status once the process has ended; true when it has.
  bool reap();

  std::string extra_config_;
  std::vector<std::string> launcher_;
  pid_t pid_ = -1;                  // the running program; -1 once reaped
  std::optional<int> exit_status_;  // set when reaped
};

/// A JSON Web Token signed with RS256 by `private_key_pem`.
std::string sign_rs256(const std::string& private_key_pem, const std::string& payload_json);

/// A fresh RSA key pair: (private key PEM, public key PEM).
std::pair<std::string, std::string> make_rsa_key();

}  // namespace tolvan::e2e
