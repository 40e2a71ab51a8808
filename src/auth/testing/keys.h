#pragma once

// Test-only key pairs and a small JWT signer, on OpenSSL. Keys are generated fresh in each
// test process; nothing here is meant for production signing.

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "value/codec.h"
#include "value/json.h"
#include "value/value.h"

namespace tolvan::auth::testing {

class TestKey {
 public:
  static TestKey rsa(unsigned bits = 2048) { return TestKey(EVP_RSA_gen(bits)); }
  static TestKey ec(const char* curve = "P-256") { return TestKey(EVP_EC_gen(curve)); }

  EVP_PKEY* get() const { return key_.get(); }
  bool is_ec() const { return EVP_PKEY_get_base_id(get()) == EVP_PKEY_EC; }

  /// SubjectPublicKeyInfo ("PUBLIC KEY").
  std::string public_pem() const {
    return write([&](BIO* b) { return PEM_write_bio_PUBKEY(b, get()); });
  }
  /// PKCS#1 ("RSA PUBLIC KEY"); RSA keys only.
  std::string pkcs1_public_pem() const {
    unsigned char* der = nullptr;
    const int length = i2d_PublicKey(get(), &der);
    if (length <= 0) throw std::runtime_error("i2d_PublicKey failed");
    std::string pem =
        write([&](BIO* b) { return PEM_write_bio(b, "RSA PUBLIC KEY", "", der, length); });
    OPENSSL_free(der);
    return pem;
  }
  std::string private_pem() const {
    return write([&](BIO* b) {
      return PEM_write_bio_PrivateKey(b, get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
  }
  std::string encrypted_private_pem() const {
    static char password[] = "secret";
    return write([&](BIO* b) {
      return PEM_write_bio_PKCS8PrivateKey(b, get(), EVP_aes_256_cbc(), password,
                                           sizeof password - 1, nullptr, nullptr);
    });
  }
  /// A self-signed certificate for this key.
  std::string certificate_pem() const {
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), get(), EVP_sha256()) <= 0) throw std::runtime_error("X509_sign");
    return write([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
  }

  /// SHA-256 signature as OpenSSL produces it (DER for EC keys).
  std::string sign_der(std::string_view input) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::size_t length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(input.data());
    if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data, input.size()) != 1) {
      throw std::runtime_error("EVP_DigestSign failed");
    }
    std::string sig(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &length, data,
                       input.size()) != 1) {
      throw std::runtime_error("EVP_DigestSign failed");
    }
    sig.resize(length);
    return sig;
  }

  /// The JWS form: PKCS#1 v1.5 bytes for RSA, r then s (each the curve's size) for EC.
  std::string sign_jose(std::string_view input) const {
    std::string der = sign_der(input);
    if (!is_ec()) return der;
    const auto half = static_cast<std::size_t>((EVP_PKEY_get_bits(get()) + 7) / 8);
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
        d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())), &ECDSA_SIG_free);
    std::string out(2 * half, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), o, static_cast<int>(half));
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), o + half, static_cast<int>(half));
    return out;
  }

 private:
  explicit TestKey(EVP_PKEY* key) : key_(key, &EVP_PKEY_free) {
    if (key == nullptr) throw std::runtime_error("key generation failed");
  }

  template <typename F>
  static std::string write(F&& f) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (f(bio.get()) <= 0) throw std::runtime_error("PEM write failed");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
  }

  std::shared_ptr<EVP_PKEY> key_;
};

/// Keys shared by the tests of one process (RSA generation is slow).
inline const TestKey& rsa_key() {
  static const TestKey key = TestKey::rsa();
  return key;
}
inline const TestKey& other_rsa_key() {
  static const TestKey key = TestKey::rsa();
  return key;
}
inline const TestKey& ec_key() {
  static const TestKey key = TestKey::ec();
  return key;
}
inline const TestKey& other_ec_key() {
  static const TestKey key = TestKey::ec();
  return key;
}

inline std::string segment(const Value& v) {
  return base64url_encode(to_json(v));
}

inline Value jose_header(std::string_view alg) {
  return Mapping{{"alg", std::string(alg)}, {"typ", "JWT"}};
}

/// header.payload with the key's JWS signature; the algorithm follows the key's type.
inline std::string make_token(const Value& claims, const TestKey& key) {
  const std::string input =
      segment(jose_header(key.is_ec() ? "ES256" : "RS256")) + "." + segment(claims);
  return input + "." + base64url_encode(key.sign_jose(input));
}

/// header.payload with `signature` bytes appended in base64url.
inline std::string token_with(const Value& header, const Value& claims,
                              std::string_view signature) {
  return segment(header) + "." + segment(claims) + "." + base64url_encode(signature);
}

struct Attack {
  std::string label;
  std::string token;
};

/// Tokens that must never authenticate when only `rsa_key()` and `ec_key()` are configured.
/// `claims` are otherwise acceptable claims (no expiry in the past, no audience).
inline std::vector<Attack> attack_tokens(const Value& claims) {
  const TestKey& rsa = rsa_key();
  const TestKey& ec = ec_key();
  const std::string rs_input = segment(jose_header("RS256")) + "." + segment(claims);
  const std::string es_input = segment(jose_header("ES256")) + "." + segment(claims);
  const std::string none_input = segment(jose_header("none")) + "." + segment(claims);
  const std::string hs_input = segment(jose_header("HS256")) + "." + segment(claims);
  const std::string rs_sig = rsa.sign_jose(rs_input);
  const std::string es_sig = ec.sign_jose(es_input);

  auto hmac = [&](const std::string& secret) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(hs_input.data()), hs_input.size(), out, &length);
    return hs_input + "." + base64url_encode(std::string(reinterpret_cast<char*>(out), length));
  };
  auto with_claims = [&](Value extra) {
    Mapping m = claims.as_mapping();
    for (const auto& [k, v] : extra.as_mapping())
      m.set(k, v);
    return Value(std::move(m));
  };
  const std::int64_t later = 4'000'000'000;  // far in the future

  std::vector<Attack> attacks = {
      {"AlgNoneUnsigned", none_input + "."},
      {"AlgNoneWithRsaSignature", none_input + "." + base64url_encode(rsa.sign_jose(none_input))},
      {"Hs256WithRsaPemAsSecret", hmac(rsa.public_pem())},
      {"Hs256WithEcPemAsSecret", hmac(ec.public_pem())},
      {"RsaSignedByUnconfiguredKey", make_token(claims, other_rsa_key())},
      {"EcSignedByUnconfiguredKey", make_token(claims, other_ec_key())},
      {"RsaSignatureTruncated",
       rs_input + "." + base64url_encode(rs_sig.substr(0, rs_sig.size() - 1))},
      {"EcSignatureTruncated",
       es_input + "." + base64url_encode(es_sig.substr(0, es_sig.size() - 1))},
      {"EcSignatureAsDer", es_input + "." + base64url_encode(ec.sign_der(es_input))},
      {"RsaSignatureUnderEs256Header", es_input + "." + base64url_encode(rsa.sign_jose(es_input))},
      {"EcSignatureUnderRs256Header", rs_input + "." + base64url_encode(ec.sign_jose(rs_input))},
      {"SignatureSegmentPadded", rs_input + "." + base64url_encode(rs_sig) + "="},
      {"SignatureSegmentStandardAlphabet", rs_input + "." + base64_encode(rs_sig)},
      {"EmptySignature", rs_input + "."},
      {"TwoSegments", rs_input},
      {"FourSegments", rs_input + "." + base64url_encode(rs_sig) + ".x"},
      {"AlgLowerCase", token_with(jose_header("rs256"), claims, rsa.sign_jose(rs_input))},
      {"AlgMissing", token_with(Mapping{{"typ", "JWT"}}, claims, rs_sig)},
      {"HeaderNotAnObject",
       base64url_encode("[\"RS256\"]") + "." + segment(claims) + "." + base64url_encode(rs_sig)},
      {"AudiencePresent", make_token(with_claims(Mapping{{"aud", "someone"}}), rsa)},
      {"NotBeforeInTheFuture", make_token(with_claims(Mapping{{"nbf", later}}), ec)},
      {"IssuedInTheFuture", make_token(with_claims(Mapping{{"iat", later}}), rsa)},
      {"ExpiryAsText", make_token(with_claims(Mapping{{"exp", std::to_string(later)}}), rsa)},
      {"NotBeforeAsBoolean", make_token(with_claims(Mapping{{"nbf", false}}), ec)},
      {"IssuedAtNull", make_token(with_claims(Mapping{{"iat", Value()}}), rsa)},
  };
  {
    // A payload segment whose last character carries spare bits: a lenient decoder yields the
    // signed bytes from it, but it is not the text that was signed.
    Value padded = claims;
    std::string filler;
    while ((segment(padded).size() % 4) != 3) {
      filler += 'x';
      padded = with_claims(Mapping{{"jti", filler}});
    }
    const std::string input = segment(jose_header("RS256")) + "." + segment(padded);
    std::string tampered = input;
    tampered.back() = static_cast<char>(tampered.back() + 1);
    attacks.push_back(
        {"PayloadNonCanonicalBase64", tampered + "." + base64url_encode(rsa.sign_jose(input))});
  }
  {
    const std::string crit_input =
        segment(Mapping{{"alg", "RS256"}, {"crit", Sequence{"exp"}}}) + "." + segment(claims);
    attacks.push_back(
        {"CriticalHeader", crit_input + "." + base64url_encode(rsa.sign_jose(crit_input))});
  }
  return attacks;
}

}  // namespace tolvan::auth::testing
