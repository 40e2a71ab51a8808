#pragma once

// The configuration watcher: reloads AuthDir and AliasDir when their files change, so an
// operator can drop in a new alias or key file without sending SIGHUP.
//
// `start` starts one background thread when AuthReload or AliasReload is above 0. Every N
// seconds (each directory on its own interval) it takes a fingerprint of the directory (name,
// size, modification time and inode of each `.yaml`/`.yml` entry) and, when it differs from the
// previous one, reloads that directory exactly as SIGHUP does: the same log messages and the
// same outcome recorded on the configuration store. A failed reload is not retried until the
// fingerprint changes again.
//
// Failure: nothing here throws to the caller; a reload that fails is logged and recorded.
// Thread-safety: every reload of auth or aliases, from the watcher or from SIGHUP, runs under
// `reload_mutex()`, so two reloads never run at the same time. `start` and `stop` may be
// called from any thread; `stop` is idempotent and may be called without `start`.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvan::config {
class Config;
}
namespace tolvan::auth {
class Auth;
}

namespace tolvan::watcher {

/// Held by whoever reloads auth or aliases: the watcher thread and the SIGHUP handler.
std::mutex& reload_mutex();

/// Reloads AuthDir into `auth`, logs "Auth configuration reloaded successfully" or one
/// "Auth reload: {e}" error line per problem, and records the outcome on `cfg`. A directory that
/// cannot be read counts as a failed reload. Returns whether it succeeded. The caller holds
/// `reload_mutex()`.
bool reload_auth(config::Config& cfg, auth::Auth& auth) noexcept;

/// Reloads AliasDir into `cfg` (the new set replaces the old one only when it has no error),
/// logs "Alias configuration reloaded successfully" or one "Alias reload: {e}" line per
/// problem, and records the outcome. Returns whether it succeeded. The caller holds
/// `reload_mutex()`.
bool reload_aliases(config::Config& cfg) noexcept;

/// One `.yaml`/`.yml` entry of a watched directory, as far as change detection needs it.
struct EntryStamp {
  std::string name;
  std::uintmax_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uintmax_t inode = 0;
  bool operator==(const EntryStamp&) const = default;
};

/// What a directory looked like: its entries sorted by name, or `readable` false when the
/// directory could not be listed (missing, not a directory, no permission).
struct Fingerprint {
  bool readable = false;
  std::vector<EntryStamp> entries;
  bool operator==(const Fingerprint&) const = default;
};

/// Takes the fingerprint of `dir`. Symbolic links are followed, so replacing the target of a
/// linked file counts as a change. Never throws.
Fingerprint take_fingerprint(const std::filesystem::path& dir) noexcept;

class ConfigWatcher {
 public:
  ConfigWatcher() = default;
  ~ConfigWatcher();
  ConfigWatcher(const ConfigWatcher&) = delete;
  ConfigWatcher& operator=(const ConfigWatcher&) = delete;

  /// Reads AuthDir, AuthReload, AliasDir and AliasReload from `cfg`, takes the first
  /// fingerprints before returning, and starts the watching thread when either interval is
  /// above 0. A watcher that is already running is stopped first. `cfg` and `auth` must
  /// outlive the watching.
  void start(config::Config& cfg, auth::Auth& auth);

  /// Wakes the thread and waits for it; a reload in progress finishes first.
  void stop() noexcept;

  /// Whether the watching thread runs.
  bool running() const;

 private:
  struct Watched {
    std::string key;       // "AuthDir" or "AliasDir"
    int interval = 0;      // seconds; 0 means not watched
    Fingerprint last;
  };

  void run(config::Config& cfg, auth::Auth& auth, std::vector<Watched> watched);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_requested_ = false;  // guarded by mutex_
  std::thread thread_;           // joinable while watching
  std::mutex lifecycle_mutex_;   // serialises start and stop
};

/// The process-wide watcher the service shell starts and stops.
extern ConfigWatcher config_watcher;

}  // namespace tolvan::watcher
