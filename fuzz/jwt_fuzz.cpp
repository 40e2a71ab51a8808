// Request authentication against an Auth loaded with an RSA key, an EC key (both generated at
// start-up) and one user with an API key. The first input byte picks what the rest becomes:
//   0  the bearer token itself: it can never carry a valid signature, so it never authenticates
//   1  the JOSE header of a token otherwise well formed and signed by a configured key
//   2  the claims of a token signed by a configured key: authenticated only when the claims
//      pass the time and audience checks
//   3  (offset, byte) patches applied to a valid signed token: any change refuses it
//   4  the X-API-Key header: only the configured key authenticates
//   5  the whole Authorization header next to a valid X-API-Key: a bearer token here that
//      cannot be valid refuses the request, any other header leaves the key in charge
// authenticate_request must never throw here: every key is usable for its own algorithm.

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "auth/auth.h"
#include "auth/testing/keys.h"
#include "config/config.h"
#include "value/codec.h"
#include "value/json.h"
#include "value/value.h"

namespace {

namespace a = tolvan::auth;
namespace at = tolvan::auth::testing;

constexpr const char* kApiKey = "fuzz-key-1";

void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "jwt_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void write(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// An AuthDir list item holding `pem` as a JWT public key.
std::string key_item(const std::string& pem) {
  std::string out = "- public_key: |\n";
  for (std::size_t pos = 0; pos < pem.size();) {
    const std::size_t eol = pem.find('\n', pos);
    out += "    " + pem.substr(pos, eol - pos) + "\n";
    pos = eol == std::string::npos ? pem.size() : eol + 1;
  }
  return out;
}

// The AuthDir is read once at start-up and removed again; the keys stay in memory.
const a::Auth& configured_auth() {
  static a::Auth auth;
  static const bool loaded = [] {
    char dir_name[] = "/tmp/tolvan-jwt-fuzz-XXXXXX";
    if (::mkdtemp(dir_name) == nullptr) fail("mkdtemp", dir_name);
    const std::filesystem::path dir(dir_name);
    std::filesystem::create_directories(dir / "auth.d");
    write(dir / "auth.d" / "keys.yaml",
          key_item(at::rsa_key().public_pem()) + key_item(at::ec_key().public_pem()));
    write(dir / "auth.d" / "users.yaml",
          std::string("- username: ann\n  api_keys: [") + kApiKey + "]\n  aliases: [deploy]\n");
    write(dir / "tolvan.conf", "AuthDir " + (dir / "auth.d").string() + "\n");
    tolvan::config::Config cfg;
    cfg.load((dir / "tolvan.conf").string());
    const auto problems = auth.load_auth_config(cfg);
    std::filesystem::remove_all(dir);
    if (!problems.empty()) fail("auth configuration refused", problems.front());
    return true;
  }();
  (void)loaded;
  return auth;
}

std::optional<a::AuthInfo> authenticate(const a::Headers& headers) {
  return configured_auth().authenticate_request(headers);
}

std::optional<a::AuthInfo> bearer(const std::string& token) {
  return authenticate(a::Headers{{"Authorization", "Bearer " + token}});
}

const at::TestKey& key_for(bool ec) {
  return ec ? at::ec_key() : at::rsa_key();
}

std::string sign(std::string_view header_json, std::string_view claims_json, bool ec) {
  const std::string input =
      tolvan::base64url_encode(header_json) + "." + tolvan::base64url_encode(claims_json);
  return input + "." + tolvan::base64url_encode(key_for(ec).sign_jose(input));
}

std::string header_for(bool ec) {
  return ec ? R"({"alg":"ES256"})" : R"({"alg":"RS256"})";
}

const std::string& valid_token(bool ec) {
  static const std::string rsa = sign(header_for(false), R"({"sub":"ann"})", false);
  static const std::string es = sign(header_for(true), R"({"sub":"ann"})", true);
  return ec ? es : rsa;
}

std::optional<tolvan::Value> json_object(std::string_view text) {
  try {
    tolvan::Value v = tolvan::parse_json(text);
    if (v.is_mapping()) return v;
  } catch (const tolvan::JsonError&) {
  }
  return std::nullopt;
}

void check_header(std::string_view header, bool ec) {
  const std::string token = sign(header, R"({"sub":"ann"})", ec);
  if (!bearer(token)) return;
  const auto parsed = json_object(header);
  if (!parsed) fail("header that is not a JSON object accepted", header);
  const tolvan::Value* alg = parsed->find("alg");
  if (alg == nullptr || !alg->is_string() || alg->as_string() != (ec ? "ES256" : "RS256")) {
    fail("header naming another algorithm accepted", header);
  }
  if (parsed->find("crit") != nullptr) fail("header with crit accepted", header);
}

void check_claims(std::string_view claims, bool ec) {
  const std::int64_t before = now();
  const auto info = bearer(sign(header_for(ec), claims, ec));
  if (!info) return;
  const auto parsed = json_object(claims);
  if (!parsed) fail("claims that are not a JSON object accepted", claims);
  if (parsed->find("aud") != nullptr) fail("token with an audience accepted", claims);
  if (const tolvan::Value* exp = parsed->find("exp"); exp != nullptr) {
    if (!exp->is_number() || exp->as_float() <= static_cast<double>(before)) {
      fail("expired token accepted", claims);
    }
  }
  if (info->type != "jwt") fail("bearer token gave another type", claims);
}

void check_patched(std::string_view patches, bool ec) {
  std::string token = valid_token(ec);
  for (std::size_t i = 0; i + 1 < patches.size(); i += 2) {
    token[static_cast<unsigned char>(patches[i]) % token.size()] = patches[i + 1];
  }
  if (token != valid_token(ec) && bearer(token)) fail("altered token accepted", token);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)configured_auth();
  if (!bearer(valid_token(false)) || !bearer(valid_token(true))) fail("valid tokens refused", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool ec = (data[0] & 0x80) != 0;
  switch (data[0] % 6) {
    case 0:
      if (rest != valid_token(false) && rest != valid_token(true) && bearer(rest)) {
        fail("unsigned token accepted", rest);
      }
      break;
    case 1:
      check_header(rest, ec);
      break;
    case 2:
      check_claims(rest, ec);
      break;
    case 3:
      check_patched(rest, ec);
      break;
    case 4:
      if (authenticate(a::Headers{{"X-API-Key", rest}}).has_value() != (rest == kApiKey)) {
        fail("API key decision wrong", rest);
      }
      break;
    default: {
      const auto info = authenticate(a::Headers{{"Authorization", rest}, {"X-API-Key", kApiKey}});
      if (rest.starts_with("Bearer ") ? info.has_value() : !info.has_value()) {
        fail("header dispatch wrong", rest);
      }
      break;
    }
  }
  return 0;
}
