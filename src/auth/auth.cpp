#include "auth/auth.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "auth/internal/jwt.h"
#include "config/config.h"
#include "value/yaml.h"

namespace tolvan::auth {

namespace fs = std::filesystem;

using Digest = std::array<unsigned char, 32>;

struct Auth::State {
  Sequence users;
  Sequence public_keys;
  /// Parsed `public_keys`, same order.
  std::vector<detail::PublicKey> keys;
  /// Every text API key of every user, in load order, as its SHA-256 digest.
  struct KeyEntry {
    Digest digest;
    std::size_t user;  // index into `users`
  };
  std::vector<KeyEntry> api_keys;
};

Auth auth;

namespace {

constexpr std::size_t kNoUser = static_cast<std::size_t>(-1);

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// `api_keys`, `aliases` and the "aliases" claim as a list. A single text stands for a list
// of that one text: iterating it character by character would turn "deploy" into six one-letter
// aliases, and a key into its letters. Other kinds of value count as an empty list.
Sequence as_list(const Value* v) {
  if (v == nullptr || !v->truthy()) return {};
  if (v->is_sequence()) return v->as_sequence();
  if (v->is_string()) return {*v};
  return {};
}

// Usernames and keys are told apart by kind as well as content: the key 1234 is not "1234".
std::string identity(const Value& v) {
  if (v.is_string()) return "s" + v.as_string();
  return "v" + to_literal(v);
}

bool digest_of(std::string_view text, Digest& out) {
  unsigned int length = 0;
  return EVP_Digest(text.data(), text.size(), out.data(), &length, EVP_sha256(), nullptr) == 1 &&
         length == out.size();
}

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    const bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// Unreadable files are not content problems: they abort the load with the system's reason.
std::string read_auth_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path.string());
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw std::system_error(err, std::generic_category(), path.string());
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    // The YAML reader refuses anything this large; no need to read the rest.
    if (text.size() > kMaxYamlBytes) break;
  }
  ::close(fd);
  if (!is_valid_utf8(text)) throw std::runtime_error(path.string() + ": not valid UTF-8 text");
  return text;
}

bool is_auth_file(std::string_view name) {
  return name.ends_with(".yaml") || name.ends_with(".yml");
}

std::vector<std::string> auth_file_names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (is_auth_file(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void add_unique(Sequence& into, const Sequence& from) {
  for (const Value& v : from) {
    if (std::find(into.begin(), into.end(), v) == into.end()) into.push_back(v);
  }
}

}  // namespace

// --- Headers -------------------------------------------------------------------------------

Headers::Headers(std::initializer_list<std::pair<std::string, std::string>> headers) {
  for (const auto& [name, value] : headers)
    set(name, value);
}

void Headers::set(std::string name, std::string value) {
  for (auto& [n, v] : headers_) {
    if (iequals(n, name)) {
      v = std::move(value);
      return;
    }
  }
  headers_.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string_view> Headers::find(std::string_view name) const {
  for (const auto& [n, v] : headers_) {
    if (iequals(n, name)) return std::string_view(v);
  }
  return std::nullopt;
}

// --- AuthInfo ------------------------------------------------------------------------------

bool AuthInfo::allows(std::string_view alias) const {
  return std::any_of(allowed_aliases.begin(), allowed_aliases.end(),
                     [&](const Value& v) { return v.is_string() && v.as_string() == alias; });
}

Value AuthInfo::to_value() const {
  return Mapping{{"user_id", user_id}, {"type", type}, {"allowed_aliases", allowed_aliases}};
}

// --- Auth: configuration -------------------------------------------------------------------

Auth::Auth() : state_(std::make_shared<const State>()) {}
Auth::~Auth() = default;

Sequence Auth::users() const {
  return state_.load()->users;
}
Sequence Auth::public_keys() const {
  return state_.load()->public_keys;
}

std::vector<std::string> Auth::load_auth_config() {
  return load_auth_config(config::config);
}

std::vector<std::string> Auth::load_auth_config(const config::Config& cfg) {
  return load_from(cfg.get("AuthDir"));
}

std::vector<std::string> Auth::load_from(const Value& auth_dir) {
  std::error_code ec;
  if (!auth_dir.is_string() || !fs::is_directory(auth_dir.as_string(), ec)) {
    return {"AuthDir does not exist: " + to_text(auth_dir)};
  }
  const fs::path dir = auth_dir.as_string();

  std::vector<std::string> errors;
  std::vector<Item> users;
  std::vector<Item> public_keys;
  for (const std::string& filename : auth_file_names(dir)) {
    const std::string text = read_auth_file(dir / filename);
    Value doc;
    try {
      doc = load_yaml(text);
    } catch (const YamlError& e) {
      errors.push_back(filename + ": invalid YAML: " + e.what());
      continue;
    }
    if (!doc.is_sequence()) {
      errors.push_back(filename + ": expected a YAML list at top level");
      continue;
    }
    for (const Value& item : doc.as_sequence()) {
      if (!item.is_mapping()) {
        errors.push_back(filename + ": each item must be a mapping");
      } else if (const Value* pem = item.find("public_key")) {
        public_keys.emplace_back(filename, *pem);
      } else if (item.find("username") != nullptr) {
        users.emplace_back(filename, item);
      } else {
        errors.push_back(filename +
                         ": item is neither a user (missing 'username') nor a JWT public key "
                         "(missing 'public_key')");
      }
    }
  }

  UserSources user_sources;
  KeySources key_sources;
  for (std::string& e : validate(users, public_keys, user_sources, key_sources)) {
    errors.push_back(std::move(e));
  }
  if (!errors.empty()) return errors;

  auto next = std::make_shared<State>();
  for (const auto& [filename, user] : users) {
    const std::size_t index = next->users.size();
    next->users.push_back(user);
    for (const Value& key : as_list(user.find("api_keys"))) {
      // Only texts can equal a header value.
      if (!key.is_string()) continue;
      State::KeyEntry entry{.digest = {}, .user = index};
      if (!digest_of(key.as_string(), entry.digest)) {
        throw std::runtime_error("cannot compute SHA-256 digest of an API key");
      }
      next->api_keys.push_back(entry);
    }
  }
  for (const auto& [filename, pem] : public_keys) {
    next->public_keys.push_back(pem);
    next->keys.push_back(detail::parse_public_key(pem.as_string()));
  }
  state_.store(std::move(next));
  return {};
}

std::vector<std::string> Auth::validate(const std::vector<Item>& users,
                                        const std::vector<Item>& public_keys,
                                        UserSources& user_sources, KeySources& key_sources) {
  std::vector<std::string> errors;
  const bool has_jwt = !public_keys.empty();
  for (const auto& [filename, pem] : public_keys) {
    if (!detail::load_pem_public_key(pem)) {
      errors.push_back(filename + ": invalid JWT public key format");
    }
  }

  for (const auto& [filename, user] : users) {
    const Value username = user.get_or("username", Value());
    const std::string name = to_text(username);
    const Sequence aliases = as_list(user.find("aliases"));
    const Sequence api_keys = as_list(user.find("api_keys"));

    const auto [first, inserted] = user_sources.try_emplace(identity(username), filename);
    if (!inserted) {
      errors.push_back(filename + ": duplicate username '" + name + "' (first defined in " +
                       first->second + ")");
    }
    for (const Value& key : api_keys) {
      const auto [prev, fresh] = key_sources.try_emplace(identity(key), filename, name);
      if (fresh) continue;
      const auto& [prev_file, prev_user] = prev->second;
      errors.push_back(filename + ": API key duplicated for user '" + name +
                       "' (already used by '" + prev_user + "' in " + prev_file + ")");
    }
    if (aliases.empty()) {
      errors.push_back(filename + ": user '" + name + "' has no allowed aliases");
    }
    if (api_keys.empty() && !has_jwt) {
      errors.push_back(filename + ": user '" + name +
                       "' has no api_keys and no JWT public key is configured");
    }
  }
  return errors;
}

bool detail::load_pem_public_key(const Value& pem) noexcept {
  if (!pem.is_string()) return false;
  return parse_public_key(pem.as_string()) != nullptr;
}

// --- Auth: requests ------------------------------------------------------------------------

std::optional<AuthInfo> Auth::authenticate_request(const Headers& headers) const {
  return authenticate_request([&headers](std::string_view name) -> std::optional<std::string> {
    std::optional<std::string_view> v = headers.find(name);
    if (!v) return std::nullopt;
    return std::string(*v);
  });
}

std::optional<AuthInfo> Auth::authenticate_request(const HeaderLookup& headers) const {
  // One snapshot for the whole request: users and keys from the same load.
  const std::shared_ptr<const State> state = state_.load();

  const std::string auth_header = headers("Authorization").value_or("");
  constexpr std::string_view kBearer = "Bearer ";
  if (auth_header.starts_with(kBearer)) {
    std::optional<Value> payload =
        verify_jwt(*state, std::string_view(auth_header).substr(kBearer.size()));
    if (!payload) return std::nullopt;
    Sequence jwt_aliases = as_list(payload->find("aliases"));
    const Value* sub = payload->find("sub");
    if (sub == nullptr || !sub->truthy()) {
      return AuthInfo{.user_id = "jwt-anonymous", .type = "jwt", .allowed_aliases = jwt_aliases};
    }
    const Value* user = find_user(*state, *sub);
    if (user == nullptr) return std::nullopt;
    Sequence allowed;
    add_unique(allowed, jwt_aliases);
    add_unique(allowed, as_list(user->find("aliases")));
    return AuthInfo{.user_id = to_text(*sub), .type = "jwt", .allowed_aliases = std::move(allowed)};
  }

  const std::optional<std::string> api_key = headers("X-API-Key");
  if (!api_key || api_key->empty()) return std::nullopt;
  const Value* user = find_user_by_key(*state, *api_key);
  if (user == nullptr) return std::nullopt;
  return AuthInfo{.user_id = to_text(user->get_or("username", Value())),
                  .type = "api_key",
                  .allowed_aliases = as_list(user->find("aliases"))};
}

std::optional<Value> Auth::verify_jwt(const State& state, std::string_view token) {
  std::optional<detail::ParsedJwt> jwt = detail::parse_jwt(token);
  if (!jwt) return std::nullopt;
  const std::int64_t now = unix_now();
  for (const detail::PublicKey& key : state.keys) {
    switch (detail::check_jwt(*jwt, key.get(), now)) {
      case detail::JwtOutcome::Valid:
        return std::move(jwt->claims);
      case detail::JwtOutcome::Expired:
        // Expiry does not depend on the key; no other key can make this token good.
        return std::nullopt;
      case detail::JwtOutcome::Invalid:
        break;
    }
  }
  return std::nullopt;
}

const Value* Auth::find_user(const State& state, const Value& username) {
  for (const Value& user : state.users) {
    const Value* name = user.find("username");
    if (name != nullptr && *name == username) return &user;
  }
  return nullptr;
}

const Value* Auth::find_user_by_key(const State& state, std::string_view api_key) {
  Digest presented{};
  if (!digest_of(api_key, presented)) return nullptr;
  // Every entry is compared, and the first match is kept without branching on it, so the
  // time taken depends only on how many keys are configured.
  std::size_t found = kNoUser;
  for (const State::KeyEntry& entry : state.api_keys) {
    const auto equal = static_cast<std::size_t>(
        CRYPTO_memcmp(entry.digest.data(), presented.data(), presented.size()) == 0);
    const std::size_t take = equal & static_cast<std::size_t>(found == kNoUser);
    const std::size_t mask = std::size_t{0} - take;
    found = (entry.user & mask) | (found & ~mask);
  }
  if (found == kNoUser) return nullptr;
  return &state.users[found];
}

}  // namespace tolvan::auth
