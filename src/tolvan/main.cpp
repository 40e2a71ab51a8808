// The `tolvan` program: parse the command line, load configuration, auth and aliases, check the
// environment, optionally become a daemon, then serve until SIGTERM or SIGINT.
//
// Every startup failure is reported in the AppLog (once logging is configured) and on standard
// error, and ends the process with status 1 before any request is served.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/api.h"
#include "auth/auth.h"
#include "config/config.h"
#include "logger/logger.h"
#include "tolvan/service.h"
#include "value/log.h"
#include "value/value.h"
#include "watcher/watcher.h"

namespace {

using namespace tolvan;
namespace detail = tolvan::service::detail;

log::Logger& log_ = log::get_logger("tolvan");

// Removed by the exit hook; set once the PID file exists.
std::string g_pid_path;

void remove_pid_at_exit() { detail::remove_pid(g_pid_path); }

// A fatal startup problem: the AppLog first, then the operator's terminal.
void report(const std::string& message) {
  log_.error(message);
  std::cerr << "ERROR: " << message << std::endl;
}

bool report_all(const std::vector<std::string>& messages) {
  for (const std::string& m : messages) report(m);
  return !messages.empty();
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Shutdown threads started by SIGTERM/SIGINT; joined before main returns so none is still
// inside the HTTP layer while the process tears down.
class ShutdownThreads {
 public:
  void launch() {
    std::lock_guard lock(mutex_);
    threads_.emplace_back([] {
      try {
        api::api.graceful_shutdown();
      } catch (const std::exception& e) {
        log_.error(std::string("Graceful shutdown error: ") + e.what());
      }
    });
  }
  void join_all() {
    std::lock_guard lock(mutex_);
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

ShutdownThreads g_shutdown_threads;

void on_sighup() {
  log_.info("SIGHUP received — reopening log files and reloading configuration");
  logger::reopen_logs();
  detail::do_reload(config::config, auth::auth);
}

void on_sigterm(int signum) {
  log_.info(detail::signal_display_name(signum) + " received — initiating graceful shutdown");
  watcher::config_watcher.stop();
  g_shutdown_threads.launch();
}

void on_signal(int signum) {
  switch (signum) {
    case SIGHUP:
      on_sighup();
      break;
    case SIGTERM:
    case SIGINT:
      on_sigterm(signum);
      break;
    case SIGCHLD:
      detail::reap_orphans();
      break;
    default:
      break;
  }
}

int run(const service::CommandLine& cl) {
  // Which configuration file: an explicit one must exist, the default one may be missing.
  const bool config_is_default = !cl.config.has_value();
  const std::string config_path = cl.config.value_or(std::string(service::DEFAULT_CONFIG));
  if (cl.config && !path_exists(config_path)) {
    const std::string message = "Configuration file not found: " + config_path;
    std::cerr << "ERROR: " << message << std::endl;
    detail::log_pre_init_error(message);
    return 1;
  }
  const std::optional<std::string> startup_warning =
      detail::missing_config_warning(config_path, config_is_default);
  if (startup_warning) std::cerr << "WARNING: " << *startup_warning << std::endl;

  // The configuration, with the command-line overrides applied last.
  std::map<std::string, std::string> overrides(cl.overrides.begin(), cl.overrides.end());
  try {
    config::config.load(config_path, overrides);
  } catch (const config::ConfigError& e) {
    for (const std::string& err : e.errors()) std::cerr << "CONFIG ERROR: " << err << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "CONFIG ERROR: " << e.what() << std::endl;
    return 1;
  }
  config::Config& cfg = config::config;

  // Logging as configured, then the first lines of the AppLog.
  logger::setup_logging(cfg);
  const service::VersionInfo& version = service::version_info();
  log_.info("Tolvan version " + version.version + " starting");
  log_.info(detail::container_mode_description(cfg.get("Container")));
  if (startup_warning) log_.warning(*startup_warning);

  // Authentication: at least one user or JWT key.
  try {
    if (report_all(auth::auth.load_auth_config(cfg))) return 1;
  } catch (const std::exception& e) {
    report(e.what());
    return 1;
  }
  if (auth::auth.users().empty() && auth::auth.public_keys().empty()) {
    report("No authentication configured: no users and no JWT public keys found in " +
           to_text(cfg.get("AuthDir")) + ". At least one form of authentication is required.");
    return 1;
  }

  // Aliases: all valid, and at least one.
  try {
    auto [aliases, alias_errors] = cfg.load_aliases();
    if (report_all(alias_errors)) return 1;
    cfg.apply_aliases(std::move(aliases));
  } catch (const std::exception& e) {
    report(e.what());
    return 1;
  }
  const std::vector<Value> all_aliases = cfg.get_all_aliases();
  if (all_aliases.empty()) {
    report("No aliases configured in " + to_text(cfg.get("AliasDir")) +
           ". At least one alias is required.");
    return 1;
  }

  // The environment: container mode, the engine socket, startup pulls, TLS material.
  if (auto notice = detail::external_dir_startup_warning(cfg.get("Container"), cfg.get("ExternalDir"))) {
    log_.warning(*notice);
  }
  if (report_all(detail::validate_docker_socket(cfg.get("Container"), all_aliases))) return 1;
  if (report_all(detail::run_startup_fetcher(all_aliases, cfg.get("RefreshImage"),
                                             cfg.get("PrefetchImage")))) {
    return 1;
  }
  if (cfg.get("SslEnabled").truthy()) {
    if (report_all(detail::validate_ssl(to_text(cfg.get("SslCert")), to_text(cfg.get("SslKey"))))) {
      return 1;
    }
  }

  // Everything above ran attached to the terminal, so the operator saw its errors.
  if (cl.daemon) detail::daemonize();

  // Signals are blocked before the first long-lived thread exists, so every thread inherits
  // the mask and only the dispatcher ever receives them. Until the dispatcher runs, a signal
  // waits.
  const bool reap = ::getpid() == 1;
  std::vector<int> signals{SIGHUP, SIGTERM, SIGINT};
  if (reap) {
    // As PID 1 of a container every orphaned descendant becomes our child.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    signals.push_back(SIGCHLD);
  }
  service::SignalDispatcher::block_signals(signals);

  watcher::config_watcher.start(cfg, auth::auth);

  // After daemonizing, so the file holds the daemon's id.
  g_pid_path = to_text(cfg.get("PidFile"));
  detail::write_pid(g_pid_path);
  std::atexit(remove_pid_at_exit);

  cfg.record_startup_success();
  service::SignalDispatcher dispatcher;
  dispatcher.start(signals, on_signal);
  if (reap) detail::reap_orphans();

  // Serve until a graceful shutdown makes start() return.
  int status = 0;
  api::api.set_version(version.version);
  try {
    api::api.start();
  } catch (const std::exception& e) {
    report(e.what());
    status = 1;
  }

  dispatcher.stop();
  g_shutdown_threads.join_all();
  watcher::config_watcher.stop();
  if (status == 0) log_.info("Tolvan shutdown complete");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A client or log reader that goes away must not end the service; commands started by the
  // executor get the default dispositions back.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  auto parsed = service::parse_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  return run(std::get<service::CommandLine>(parsed));
}
