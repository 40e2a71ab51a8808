#pragma once

// The service shell's building blocks, kept out of main() so they can be tested on their own:
// the command line, the version, the startup checks, and the Unix process around the service
// (daemon, PID file, pre-initialisation error line, signal dispatch, reload, orphan reaping).
//
// Failure: the checks return messages and never throw; `write_pid` and `daemonize` end the
// process on failure, as their callers expect; best-effort helpers are noexcept.
// Thread-safety: the checks may run on any thread. `daemonize` must run while the process has
// a single thread.

#include <sys/types.h>

#include <array>
#include <atomic>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "value/value.h"

namespace tolvan::config {
class Config;
}
namespace tolvan::auth {
class Auth;
}

namespace tolvan::service {

// ---------------------------------------------------------------------------------------------
// Version

struct VersionInfo {
  /// Shown by --version, in the startup line and by /health.
  std::string version;
  /// The installed package that supplied the version; nullopt when the build's own version
  /// (or "unknown") is used.
  std::optional<std::string> found_pkg;
};

/// Where the version comes from: the installed Debian package that ships the running
/// executable (a package named tolvan*), else the first of "tolvan", "tolvan-pure",
/// "tolvan-dbg" that is installed, else the version compiled into the build, else "unknown".
struct VersionSources {
  std::string dpkg_status = "/var/lib/dpkg/status";
  std::string dpkg_info_dir = "/var/lib/dpkg/info";
  /// The executable's path; empty means /proc/self/exe.
  std::string executable;
  /// The build's version; empty means none.
  std::string build_version;
};

VersionInfo resolve_version(const VersionSources& sources) noexcept;

/// The version of this process, resolved once on first use.
const VersionInfo& version_info();

// ---------------------------------------------------------------------------------------------
// Command line

inline constexpr std::string_view DEFAULT_CONFIG = "/etc/tolvan/tolvan.conf";

struct OverrideOption {
  std::string_view dest;     // option name without dashes, "-" as "_"
  std::string_view key;      // configuration key it overrides
  std::string_view metavar;  // shown in the help text
};

/// Every override option, in help-text order; also the order overrides are collected in.
extern const std::array<OverrideOption, 22> CLI_TO_KEY;

struct CommandLine {
  bool daemon = false;
  /// --config as typed; nullopt when not given.
  std::optional<std::string> config;
  /// (configuration key, value as typed) for each override given, in CLI_TO_KEY order.
  std::vector<std::pair<std::string, std::string>> overrides;
};

/// Parses argv. Returns the command line, or the exit status the program ends with: 0 after
/// --help or --version (printed on `out`), 2 after a usage error (printed on `err`).
std::variant<CommandLine, int> parse_command_line(int argc, const char* const* argv,
                                                  std::ostream& out, std::ostream& err);

namespace detail {

// ---------------------------------------------------------------------------------------------
// Startup checks

/// "Config file not found: {path}. Starting with default settings." when the default path is
/// in use and nothing exists there; nullopt otherwise.
std::optional<std::string> missing_config_warning(const std::string& config_path,
                                                  bool is_default);

/// The places that tell a containerised process; replaced by tests.
struct ContainerMarkers {
  std::string dockerenv = "/.dockerenv";
  std::string containerenv = "/run/.containerenv";
  std::string env_name = "container";
};

bool is_running_in_container(const Value& container_setting, const ContainerMarkers& markers = {});

/// "Running on {container|host} ({DETECTED|configured})".
std::string container_mode_description(const Value& container_setting,
                                       const ContainerMarkers& markers = {});

/// The notice for a containerised gateway without ExternalDir; nullopt otherwise.
std::optional<std::string> external_dir_startup_warning(const Value& container_setting,
                                                        const Value& external_dir,
                                                        const ContainerMarkers& markers = {});

/// Whether the container engine named by the environment answers a ping. Never throws.
bool docker_socket_available() noexcept;

/// One error when the gateway runs in a container, some alias is a container alias and the
/// engine cannot be reached; empty otherwise (on the host the socket is not tested).
std::vector<std::string> validate_docker_socket(const Value& container_setting,
                                                const std::vector<Value>& aliases,
                                                const ContainerMarkers& markers = {});

/// The startup image pulls, only when some alias is a container alias.
std::vector<std::string> run_startup_fetcher(const std::vector<Value>& aliases,
                                             const Value& refresh_default,
                                             const Value& prefetch_default);

/// Problems of the TLS certificate and private key, in a fixed order: unreadable certificate,
/// unreadable key, expired certificate, key not matching the certificate.
std::vector<std::string> validate_ssl(const std::string& cert_path, const std::string& key_path);

/// The certificate's subject common name (nullopt when it has none) and its subject
/// alternative names as "DNS:{name}" / "IP:{address}"; (nullopt, {}) on any failure.
std::pair<std::optional<std::string>, std::vector<std::string>> get_cert_info(
    const std::string& cert_path);

// ---------------------------------------------------------------------------------------------
// Process lifecycle

inline constexpr std::string_view PRE_INIT_LOG_PATH = "/var/log/tolvan/app.log";

/// Double fork and setsid; standard input, output and error go to /dev/null. Returns only in
/// the daemon. Prints "ERROR: daemon fork #N failed: {exc}" and exits 1 when a fork fails.
void daemonize();

/// Writes the process id (decimal, no line break). Prints
/// "ERROR: cannot write PID file {path}: {exc}" and exits 1 on failure.
void write_pid(const std::string& path);

/// Deletes the PID file; errors are ignored.
void remove_pid(const std::string& path) noexcept;

/// Appends "{local time} ERROR tolvan {msg}" to `path`, creating its directory; every error is
/// ignored and nothing goes to the console.
void log_pre_init_error(std::string_view msg,
                        const std::string& path = std::string(PRE_INIT_LOG_PATH)) noexcept;

/// Reloads auth, then aliases, logging and recording each outcome, under the reload lock the
/// configuration watcher shares. Neither failure stops the other reload or the service.
void do_reload(config::Config& cfg, auth::Auth& auth) noexcept;

/// The texts the shutdown handler logs: "SIGINT (Ctrl-C)" or "SIGTERM".
std::string signal_display_name(int signum);

/// Reaps zombie children that are not process-group leaders. The executor starts every
/// command in a process group of its own and waits for it itself, so a zombie that leads its
/// own group is left alone; the others are orphans re-parented to this process (as PID 1 or a
/// subreaper). Returns how many were reaped. Never throws.
int reap_orphans() noexcept;

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Signals

/// Turns signals into calls on an ordinary thread, one at a time. The signals must be blocked
/// in every thread (`block_signals` before any thread starts), so none is ever delivered
/// asynchronously; a dedicated thread receives them through a signalfd.
class SignalDispatcher {
 public:
  using Handler = std::function<void(int signum)>;

  SignalDispatcher() = default;
  ~SignalDispatcher();
  SignalDispatcher(const SignalDispatcher&) = delete;
  SignalDispatcher& operator=(const SignalDispatcher&) = delete;

  /// Blocks `signals` in the calling thread; threads it starts later inherit the mask.
  static void block_signals(const std::vector<int>& signals);

  /// Starts the receiving thread. Throws std::system_error when the descriptors cannot be made.
  void start(const std::vector<int>& signals, Handler handler);

  /// Ends the receiving thread after the handler call in progress, if any. Idempotent.
  void stop() noexcept;

 private:
  void run();

  Handler handler_;
  int signal_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
};

}  // namespace tolvan::service
