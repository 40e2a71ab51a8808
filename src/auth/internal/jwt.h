#pragma once

// Public-key parsing and JWT (JWS compact form) verification on OpenSSL's EVP interface.
//
// A token is parsed once (`parse_jwt`) and then checked against each configured key
// (`check_jwt`). The algorithm is taken from the key's type: an RSA key verifies only RS256,
// a P-256 EC key only ES256; whatever the token's header claims otherwise makes it invalid
// for that key. Segments are base64url without padding in canonical form only.
//
// Failure: nothing here throws; a token that cannot be parsed or verified is Invalid, and the
// OpenSSL error queue is cleared after every failure.
// Thread-safety: keys are shared read-only between threads; everything else is per call.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/types.h>

#include "value/value.h"

namespace tolvan::auth::detail {

/// Tolerance for `nbf` and `iat` lying in the future (issuer's clock ahead of ours).
inline constexpr std::int64_t kClockLeewaySeconds = 30;
/// Longer tokens are refused before any decoding.
inline constexpr std::size_t kMaxTokenBytes = 64 * 1024;

using PublicKey = std::shared_ptr<EVP_PKEY>;

/// The key in PEM text ("PUBLIC KEY", or "RSA PUBLIC KEY"), surrounding white space ignored;
/// nullptr when the text holds no such key (a private key or certificate included).
/// Non-ASCII text is refused.
PublicKey parse_public_key(std::string_view pem) noexcept;

enum class JwtAlg { RS256, ES256 };

/// A token split into its parts; nothing is verified yet.
struct ParsedJwt {
  JwtAlg alg;
  Value claims;               // a mapping
  std::string signing_input;  // header and payload segments as sent
  std::string signature;      // decoded bytes
};

/// Splits and decodes a token; nullopt when it is malformed, names an algorithm other than
/// RS256 or ES256, carries "crit", or its header or payload is not a JSON object.
std::optional<ParsedJwt> parse_jwt(std::string_view token) noexcept;

enum class JwtOutcome { Valid, Expired, Invalid };

/// Verifies the signature with `key`, then the time and audience claims at time `now` (seconds
/// since the epoch). Expired only when the signature is good for this key.
JwtOutcome check_jwt(const ParsedJwt& jwt, EVP_PKEY* key, std::int64_t now) noexcept;

/// parse_jwt then check_jwt; the claims come with Valid only.
struct JwtResult {
  JwtOutcome outcome = JwtOutcome::Invalid;
  Value claims;
};
JwtResult decode_jwt(std::string_view token, EVP_PKEY* key, std::int64_t now) noexcept;

}  // namespace tolvan::auth::detail
