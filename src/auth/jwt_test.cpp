#include "auth/internal/jwt.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "auth/auth.h"
#include "auth/testing/keys.h"
#include "value/codec.h"

namespace tolvan::auth {
namespace {

using detail::decode_jwt;
using detail::JwtOutcome;
using testing::TestKey;

constexpr std::int64_t kNow = 1'700'000'000;

const char* name_of(JwtOutcome o) {
  switch (o) {
    case JwtOutcome::Valid:
      return "Valid";
    case JwtOutcome::Expired:
      return "Expired";
    case JwtOutcome::Invalid:
      return "Invalid";
  }
  return "?";
}

JwtOutcome outcome(const std::string& token, const TestKey& key, std::int64_t now = kNow) {
  return decode_jwt(token, detail::parse_public_key(key.public_pem()).get(), now).outcome;
}

TEST(decode_jwt, EachKeyVerifiesTokensOfItsOwnAlgorithm) {
  const Value claims = Mapping{{"sub", "ann"}, {"aliases", Sequence{"a"}}, {"exp", kNow + 60}};
  for (const TestKey* key : {&testing::rsa_key(), &testing::ec_key()}) {
    detail::PublicKey pub = detail::parse_public_key(key->public_pem());
    ASSERT_NE(pub, nullptr);
    detail::JwtResult r = decode_jwt(testing::make_token(claims, *key), pub.get(), kNow);
    EXPECT_EQ(name_of(r.outcome), std::string("Valid")) << (key->is_ec() ? "EC" : "RSA");
    EXPECT_EQ(r.claims, claims);
  }
  // A PKCS#1 RSA key verifies the same tokens.
  detail::PublicKey pkcs1 = detail::parse_public_key(testing::rsa_key().pkcs1_public_pem());
  ASSERT_NE(pkcs1, nullptr);
  EXPECT_EQ(decode_jwt(testing::make_token(claims, testing::rsa_key()), pkcs1.get(), kNow).outcome,
            JwtOutcome::Valid);
}

TEST(decode_jwt, ExpiryIsReportedOnlyWhenTheSignatureHolds) {
  const TestKey& key = testing::ec_key();
  struct Row {
    Value exp;
    JwtOutcome want;
  };
  const Row rows[] = {
      {kNow - 1, JwtOutcome::Expired},
      {kNow, JwtOutcome::Expired},  // exp is the first moment the token is no longer good
      {kNow + 1, JwtOutcome::Valid},
      {static_cast<double>(kNow) + 0.5, JwtOutcome::Valid},  // NumericDate may have a fraction
      {static_cast<double>(kNow) - 0.5, JwtOutcome::Expired},
  };
  for (const Row& row : rows) {
    const std::string token = testing::make_token(Mapping{{"exp", row.exp}}, key);
    EXPECT_STREQ(name_of(outcome(token, key)), name_of(row.want)) << to_literal(row.exp);
  }
  // The same expired token against a key that did not sign it is merely invalid, so the
  // caller goes on to its next key.
  const std::string expired = testing::make_token(Mapping{{"exp", kNow - 1}}, key);
  EXPECT_STREQ(name_of(outcome(expired, testing::other_ec_key())), "Invalid");
}

TEST(decode_jwt, FutureStartTimesAreToleratedOnlyWithinTheLeeway) {
  const TestKey& key = testing::rsa_key();
  struct Row {
    const char* claim;
    std::int64_t at;
    JwtOutcome want;
  };
  const Row rows[] = {
      {"nbf", kNow + detail::kClockLeewaySeconds, JwtOutcome::Valid},
      {"nbf", kNow + detail::kClockLeewaySeconds + 1, JwtOutcome::Invalid},
      {"iat", kNow + detail::kClockLeewaySeconds, JwtOutcome::Valid},
      {"iat", kNow + detail::kClockLeewaySeconds + 1, JwtOutcome::Invalid},
      {"nbf", kNow - 3600, JwtOutcome::Valid},
  };
  for (const Row& row : rows) {
    const std::string token = testing::make_token(Mapping{{row.claim, row.at}}, key);
    EXPECT_STREQ(name_of(outcome(token, key)), name_of(row.want)) << row.claim << "=" << row.at;
  }
}

TEST(decode_jwt, AttacksAndMalformedTokensAreInvalidForEveryKey) {
  for (const testing::Attack& attack : testing::attack_tokens(Mapping{{"sub", "ann"}})) {
    for (const TestKey* key : {&testing::rsa_key(), &testing::ec_key()}) {
      EXPECT_STREQ(name_of(outcome(attack.token, *key)), "Invalid")
          << attack.label << " with " << (key->is_ec() ? "EC" : "RSA") << " key";
    }
  }
}

TEST(decode_jwt, Es256NeedsAP256Key) {
  const TestKey p384 = TestKey::ec("P-384");
  const std::string input = testing::segment(testing::jose_header("ES256")) + "." +
                            testing::segment(Mapping{{"sub", "ann"}});
  const std::string token = input + "." + base64url_encode(p384.sign_jose(input));
  EXPECT_STREQ(name_of(outcome(token, p384)), "Invalid");
}

TEST(load_pem_public_key, AcceptsOnlyPublicKeys) {
  const TestKey& rsa = testing::rsa_key();
  const TestKey& ec = testing::ec_key();
  const std::string pem = rsa.public_pem();
  struct Row {
    const char* label;
    Value pem;
    bool want;
  };
  const Row rows[] = {
      {"RsaPublicKey", pem, true},
      {"EcPublicKey", ec.public_pem(), true},
      {"RsaPkcs1PublicKey", rsa.pkcs1_public_pem(), true},
      {"SurroundingWhiteSpace", "\n  \t" + pem + "\n\n  ", true},
      {"PrivateKey", rsa.private_pem(), false},
      {"EncryptedPrivateKey", ec.encrypted_private_pem(), false},
      {"Certificate", ec.certificate_pem(), false},
      {"TruncatedBody", pem.substr(0, pem.size() / 2) + "\n-----END PUBLIC KEY-----\n", false},
      {"NonAscii", "\xc3\xa9" + pem, false},
      {"HeaderAndFooterOnly", "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----", false},
      {"Empty", "", false},
      {"NotText", 42, false},
      {"Null", Value(), false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(detail::load_pem_public_key(row.pem), row.want) << row.label;
  }
  static_assert(noexcept(detail::load_pem_public_key(Value())));
}

}  // namespace
}  // namespace tolvan::auth
