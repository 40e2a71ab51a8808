#pragma once

// Who may call the gateway: the users and JWT public keys declared in AuthDir, and the
// authentication of one request against them.
//
// AuthDir holds YAML files (names ending in ".yaml" or ".yml", read in code-point order of
// their names), each a list of items. An item with `public_key` is a JWT public key (PEM text
// of an RSA or EC key); an item with `username` is a user with `api_keys` and `aliases`.
// `load_auth_config` validates the whole directory and swaps the result in only when there is
// no problem at all; otherwise the previous users and keys stay in force.
//
// Requests authenticate with "Authorization: Bearer <JWT>" or "X-API-Key: <key>". Tokens are
// accepted only as RS256 (RSA keys) or ES256 (P-256 keys), each key verifying only tokens of
// its own algorithm. Claims checked: `exp` (a token is expired once `exp` <= now, no leeway),
// `nbf` and `iat` (rejected when more than 30 seconds in the future, for clock skew between
// issuer and gateway), and `aud` (no audience is configured, so a token that names one is
// refused). A claim of these four that is not a JSON number makes the token invalid.
// API keys are compared as SHA-256 digests with a constant-time comparison over every
// configured key, so neither the presented key nor which user holds it changes the time a
// lookup takes.
//
// Failure: problems in AuthDir's content are returned as messages. A file that cannot be read
// (or is not UTF-8) makes `load_auth_config` throw std::runtime_error; nothing is replaced.
// `authenticate_request` never reports why a request is refused: it returns std::nullopt.
// Thread-safety: request threads call `authenticate_request` while a reload runs. The users and
// keys are one immutable snapshot replaced whole, so a request sees the old set or the new one,
// never a mixture. Loads themselves must not run concurrently with each other.

#include <atomic>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "value/value.h"

namespace tolvan::config {
class Config;
}

namespace tolvan::auth {

/// Request headers by name, matched case-insensitively (ASCII), as HTTP header names are.
/// Setting a name that is already present replaces its value.
class Headers {
 public:
  Headers() = default;
  Headers(std::initializer_list<std::pair<std::string, std::string>> headers);

  void set(std::string name, std::string value);
  std::optional<std::string_view> find(std::string_view name) const;

 private:
  std::vector<std::pair<std::string, std::string>> headers_;
};

/// The value of a request header, looked up case-insensitively by name; nullopt when the
/// request has no such header. The HTTP layer adapts its framework's header list to this.
using HeaderLookup = std::function<std::optional<std::string>(std::string_view name)>;

/// Who is calling and what they may run.
struct AuthInfo {
  /// The user's `username` (text form), the token's "sub", or "jwt-anonymous".
  std::string user_id;
  /// "jwt" or "api_key".
  std::string type;
  /// Alias names as configured or claimed; elements that are not texts name no alias.
  Sequence allowed_aliases;

  /// Whether `alias` is among the allowed aliases.
  bool allows(std::string_view alias) const;
  /// The record as a mapping with the keys "user_id", "type", "allowed_aliases", in this order.
  Value to_value() const;
};

class Auth {
 public:
  /// Starts with no users and no keys.
  Auth();
  ~Auth();
  Auth(const Auth&) = delete;
  Auth& operator=(const Auth&) = delete;

  /// Loads AuthDir as named by the process-wide configuration store.
  std::vector<std::string> load_auth_config();
  /// Loads AuthDir as named by `cfg` ("AuthDir"). Returns every problem found, in a fixed
  /// order; empty means the new users and keys are in force. On problems, or when a file cannot
  /// be read (std::runtime_error), the previous users and keys stay in force.
  std::vector<std::string> load_auth_config(const config::Config& cfg);

  /// The user items of the last successful load, as read, in load order.
  Sequence users() const;
  /// The `public_key` values (PEM text) of the last successful load, in load order.
  Sequence public_keys() const;

  /// The caller identified by a bearer JWT in "Authorization" or, when there is no bearer
  /// token, by "X-API-Key"; nullopt when the request is not authenticated.
  std::optional<AuthInfo> authenticate_request(const HeaderLookup& headers) const;
  std::optional<AuthInfo> authenticate_request(const Headers& headers) const;

 private:
  struct State;  // immutable once published
  /// (file name, item) in load order.
  using Item = std::pair<std::string, Value>;
  /// Identity of a username -> file that first defined it.
  using UserSources = std::map<std::string, std::string>;
  /// Identity of an API key -> (file, username) that first listed it.
  using KeySources = std::map<std::string, std::pair<std::string, std::string>>;

  std::vector<std::string> load_from(const Value& auth_dir);
  static std::vector<std::string> validate(const std::vector<Item>& users,
                                           const std::vector<Item>& public_keys,
                                           UserSources& user_sources, KeySources& key_sources);

  static std::optional<Value> verify_jwt(const State& state, std::string_view token);
  static const Value* find_user(const State& state, const Value& username);
  static const Value* find_user_by_key(const State& state, std::string_view api_key);

  std::atomic<std::shared_ptr<const State>> state_;
};

/// The process-wide instance the service shell loads and the HTTP layer authenticates with.
extern Auth auth;

namespace detail {

/// Whether `pem` is text holding a loadable PEM public key ("PUBLIC KEY", or an RSA key as
/// "RSA PUBLIC KEY"); surrounding white space is ignored. Never throws.
bool load_pem_public_key(const Value& pem) noexcept;

}  // namespace detail

}  // namespace tolvan::auth
