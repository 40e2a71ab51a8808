#pragma once

// The configuration store: the configuration file merged with command-line overrides, and the
// applied alias definitions.
//
// Failure: `load` raises ConfigError carrying every problem found; `load_aliases` and
// `reload_aliases` return their problems as messages.
// Thread-safety: request threads call `get`, `get_alias` and `get_all_aliases` while a reload
// may replace the alias set; the set is an immutable snapshot replaced whole, so a reader sees
// the old set or the new one, never a mixture. `load` runs at startup only.

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "value/value.h"

namespace tolvan::config {

class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(std::vector<std::string> errors);
  const std::vector<std::string>& errors() const { return errors_; }

 private:
  std::vector<std::string> errors_;
};

inline constexpr std::string_view kDefaultConfigPath = "/etc/tolvan/tolvan.conf";

/// The applied alias definitions: name to validated definition, in load order.
using AliasSet = Mapping;

/// What `parse_app_log` makes of an AppLog value "path [level] [format]".
struct AppLogParts {
  std::string path;
  std::optional<std::string> level;   // lower-cased level word, or none
  std::optional<std::string> format;  // "json", "plain" or "text", or none
  std::vector<std::string> unrecognised;
};

/// Splits an AppLog value on blanks (`_parse_app_log`).
AppLogParts parse_app_log(std::string_view text);

/// The command-line option that overrides a key ("ListenPort" -> "--listen-port"), as
/// messages about overrides name it.
std::string option_name_for_key(std::string_view key);

/// Does the service run inside a container. `container_setting` is the Container value: null
/// means detect ("/.dockerenv", "/run/.containerenv", or a `container` environment variable);
/// otherwise its text form, lower-cased, of "1" or "true" means yes and anything else no.
bool running_in_container(const Value& container_setting);

/// Outcome of a startup or reload, kept for the health endpoint.
struct Outcome {
  bool success = false;
  std::chrono::system_clock::time_point at;
};

class Config {
 public:
  /// Reads the file (or only the defaults when `path` is absent and the default file is
  /// missing), then applies the overrides keyed by configuration key. Throws ConfigError.
  void load(const std::optional<std::string>& path = std::nullopt,
            const std::map<std::string, std::string>& cli_overrides = {});

  /// The value of a key, or null when unset.
  Value get(std::string_view key) const;

  /// The applied definition, or nullptr when no alias has that name.
  std::shared_ptr<const Value> get_alias(std::string_view name) const;
  /// Every applied definition, in load order.
  std::vector<Value> get_all_aliases() const;
  /// The applied set as one snapshot.
  std::shared_ptr<const AliasSet> aliases() const;

  /// Reads and validates AliasDir: (aliases, errors).
  std::pair<AliasSet, std::vector<std::string>> load_aliases() const;
  void apply_aliases(AliasSet aliases);
  /// Loads afresh and swaps the new set in whole only when there is no error.
  std::vector<std::string> reload_aliases();

  void record_startup_success();
  void record_auth_reload(bool success);
  void record_alias_reload(bool success);
  std::optional<Outcome> startup_outcome() const;
  std::optional<Outcome> last_auth_reload() const;
  std::optional<Outcome> last_alias_reload() const;

  // The implementation adds its own private members below.

 private:
  using Settings = std::map<std::string, Value, std::less<>>;

  /// Error messages of one alias definition, each prefixed with where it came from.
  void check_definition(const std::string& file, std::size_t index, Value definition,
                        AliasSet& aliases, std::map<std::string, std::string>& first_file,
                        std::vector<std::string>& errors) const;
  void load_alias_file(const std::string& dir, const std::string& file, AliasSet& aliases,
                       std::map<std::string, std::string>& first_file,
                       std::vector<std::string>& errors) const;

  // Every key with a value after `load`; an absent key reads as null. Replaced whole.
  std::atomic<std::shared_ptr<const Settings>> settings_{std::make_shared<const Settings>()};
  // The applied alias set; never null. Replaced whole, never edited in place.
  std::atomic<std::shared_ptr<const AliasSet>> aliases_{std::make_shared<const AliasSet>()};
  // Recorded outcomes; null until first recorded.
  std::atomic<std::shared_ptr<const Outcome>> startup_;
  std::atomic<std::shared_ptr<const Outcome>> auth_reload_;
  std::atomic<std::shared_ptr<const Outcome>> alias_reload_;
  // Serialises alias reloads, so two reloads never compare against the same previous set.
  std::mutex reload_mutex_;
};

namespace detail {

/// `running_in_container` with the markers given, so it can be tried on any machine.
bool running_in_container(const Value& container_setting, const std::string& dockerenv_path,
                          const std::string& containerenv_path, const char* env_name);

}  // namespace detail

/// The process-wide store.
extern Config config;

}  // namespace tolvan::config
