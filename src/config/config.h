#pragma once

// The configuration store: the configuration file merged with command-line overrides, and the
// applied alias definitions.
//
// Failure: `load` raises ConfigError carrying every problem found; `load_aliases` and
// `reload_aliases` return their problems as messages.
// Thread-safety: request threads call `get`, `get_alias` and `get_all_aliases` while a reload
// may replace the alias set; the set is an immutable snapshot replaced whole, so a reader sees
// the old set or the new one, never a mixture. `load` runs at startup only.

#include <chrono>
#include <map>
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
};

/// The process-wide store.
extern Config config;

}  // namespace tolvan::config
