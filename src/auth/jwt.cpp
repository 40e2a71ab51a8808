#include "auth/internal/jwt.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include "value/codec.h"
#include "value/json.h"
#include "value/value.h"

namespace tolvan::auth::detail {
namespace {

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)>;

// Public keys are never encrypted; refusing at once keeps OpenSSL from prompting on a
// terminal when handed an encrypted private key.
int refuse_password(char*, int, int, void*) {
  return -1;
}

bool is_ascii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

BioPtr memory_bio(std::string_view text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), &BIO_free);
}

EVP_PKEY* read_subject_public_key_info(std::string_view pem) {
  BioPtr bio = memory_bio(pem);
  if (!bio) return nullptr;
  return PEM_read_bio_PUBKEY(bio.get(), nullptr, refuse_password, nullptr);
}

EVP_PKEY* read_pkcs1_rsa_public_key(std::string_view pem) {
  BioPtr bio = memory_bio(pem);
  if (!bio) return nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  char* name = nullptr;
  if (PEM_bytes_read_bio(&data, &length, &name, PEM_STRING_RSA_PUBLIC, bio.get(), refuse_password,
                         nullptr) != 1) {
    return nullptr;
  }
  const unsigned char* p = data;
  EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, length);
  OPENSSL_free(data);
  OPENSSL_free(name);
  return key;
}

bool is_p256(EVP_PKEY* key) {
  char name[80];
  std::size_t length = 0;
  if (EVP_PKEY_get_group_name(key, name, sizeof name, &length) != 1) return false;
  int nid = OBJ_sn2nid(name);
  if (nid == NID_undef) nid = EC_curve_nist2nid(name);
  return nid == NID_X9_62_prime256v1;
}

bool key_fits(JwtAlg alg, EVP_PKEY* key) {
  switch (alg) {
    case JwtAlg::RS256:
      return EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
    case JwtAlg::ES256:
      return EVP_PKEY_get_base_id(key) == EVP_PKEY_EC && is_p256(key);
  }
  return false;
}

// Lenient decoders would let one token have many spellings; only the canonical one is taken.
std::optional<std::string> decode_segment(std::string_view segment) {
  std::optional<std::string> bytes = base64url_decode(segment);
  if (!bytes || base64url_encode(*bytes) != segment) return std::nullopt;
  return bytes;
}

std::optional<Value> decode_object(std::string_view segment) {
  std::optional<std::string> text = decode_segment(segment);
  if (!text) return std::nullopt;
  Value v = parse_json(*text);
  if (!v.is_mapping()) return std::nullopt;
  return v;
}

// ES256 signatures travel as r then s, 32 bytes each; OpenSSL verifies the DER form.
std::optional<std::string> jose_to_der(std::string_view sig) {
  constexpr std::size_t kHalf = 32;
  if (sig.size() != 2 * kHalf) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(sig.data());
  EcdsaSigPtr ecdsa(ECDSA_SIG_new(), &ECDSA_SIG_free);
  BIGNUM* r = BN_bin2bn(bytes, kHalf, nullptr);
  BIGNUM* s = BN_bin2bn(bytes + kHalf, kHalf, nullptr);
  if (!ecdsa || r == nullptr || s == nullptr || ECDSA_SIG_set0(ecdsa.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return std::nullopt;
  }
  int length = i2d_ECDSA_SIG(ecdsa.get(), nullptr);
  if (length <= 0) return std::nullopt;
  std::string der(static_cast<std::size_t>(length), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_ECDSA_SIG(ecdsa.get(), &out) != length) return std::nullopt;
  return der;
}

bool verify_sha256(EVP_PKEY* key, std::string_view data, std::string_view sig) {
  MdCtxPtr ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx) return false;
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, key, nullptr) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

bool signature_ok(const ParsedJwt& jwt, EVP_PKEY* key) {
  if (jwt.alg == JwtAlg::RS256) return verify_sha256(key, jwt.signing_input, jwt.signature);
  std::optional<std::string> der = jose_to_der(jwt.signature);
  return der && verify_sha256(key, jwt.signing_input, *der);
}

std::optional<double> numeric_date(const Value& v) {
  if (v.is_int()) return static_cast<double>(v.as_int());
  if (v.is_float() && std::isfinite(v.as_float())) return v.as_float();
  return std::nullopt;
}

JwtOutcome check_claims(const Value& claims, std::int64_t now) {
  const auto current = static_cast<double>(now);
  const auto latest_start = static_cast<double>(now + kClockLeewaySeconds);
  if (const Value* iat = claims.find("iat")) {
    std::optional<double> t = numeric_date(*iat);
    if (!t || *t > latest_start) return JwtOutcome::Invalid;
  }
  if (const Value* nbf = claims.find("nbf")) {
    std::optional<double> t = numeric_date(*nbf);
    if (!t || *t > latest_start) return JwtOutcome::Invalid;
  }
  if (const Value* exp = claims.find("exp")) {
    std::optional<double> t = numeric_date(*exp);
    if (!t) return JwtOutcome::Invalid;
    if (*t <= current) return JwtOutcome::Expired;
  }
  // No audience is configured here, so a token meant for a named audience is not for us.
  if (claims.find("aud") != nullptr) return JwtOutcome::Invalid;
  return JwtOutcome::Valid;
}

std::optional<ParsedJwt> parse(std::string_view token) {
  if (token.size() > kMaxTokenBytes) return std::nullopt;
  const std::size_t first = token.find('.');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
    return std::nullopt;
  }

  std::optional<Value> header = decode_object(token.substr(0, first));
  if (!header) return std::nullopt;
  // Extensions we would have to understand; we understand none.
  if (header->find("crit") != nullptr) return std::nullopt;
  const Value* alg = header->find("alg");
  if (alg == nullptr || !alg->is_string()) return std::nullopt;
  ParsedJwt jwt{};
  if (alg->as_string() == "RS256") {
    jwt.alg = JwtAlg::RS256;
  } else if (alg->as_string() == "ES256") {
    jwt.alg = JwtAlg::ES256;
  } else {
    return std::nullopt;
  }

  std::optional<Value> claims = decode_object(token.substr(first + 1, second - first - 1));
  if (!claims) return std::nullopt;
  std::optional<std::string> signature = decode_segment(token.substr(second + 1));
  if (!signature || signature->empty()) return std::nullopt;

  jwt.claims = std::move(*claims);
  jwt.signing_input = std::string(token.substr(0, second));
  jwt.signature = std::move(*signature);
  return jwt;
}

}  // namespace

PublicKey parse_public_key(std::string_view pem) noexcept {
  std::string_view text = strip(pem);
  if (text.empty() || !is_ascii(text) || text.size() > INT_MAX) return nullptr;
  EVP_PKEY* key = read_subject_public_key_info(text);
  if (key == nullptr) key = read_pkcs1_rsa_public_key(text);
  ERR_clear_error();
  if (key == nullptr) return nullptr;
  return PublicKey(key, &EVP_PKEY_free);
}

std::optional<ParsedJwt> parse_jwt(std::string_view token) noexcept {
  try {
    return parse(token);
  } catch (...) {
    // JSON errors and allocation failures alike: the token is unusable.
    return std::nullopt;
  }
}

JwtOutcome check_jwt(const ParsedJwt& jwt, EVP_PKEY* key, std::int64_t now) noexcept {
  if (key == nullptr || !key_fits(jwt.alg, key)) return JwtOutcome::Invalid;
  const bool good = signature_ok(jwt, key);
  ERR_clear_error();
  if (!good) return JwtOutcome::Invalid;
  return check_claims(jwt.claims, now);
}

JwtResult decode_jwt(std::string_view token, EVP_PKEY* key, std::int64_t now) noexcept {
  std::optional<ParsedJwt> jwt = parse_jwt(token);
  if (!jwt) return {};
  JwtOutcome outcome = check_jwt(*jwt, key, now);
  if (outcome != JwtOutcome::Valid) return {.outcome = outcome, .claims = Value()};
  return {.outcome = outcome, .claims = std::move(jwt->claims)};
}

}  // namespace tolvan::auth::detail
