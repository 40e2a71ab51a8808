#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "auth/auth.h"
#include "auth/testing/auth_dir.h"
#include "auth/testing/keys.h"

namespace tolvan::auth {
namespace {

using testing::key_item;
using testing::make_token;
using Messages = std::vector<std::string>;

std::int64_t in_an_hour() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count() +
         3600;
}

std::vector<std::string> sorted_texts(const Sequence& s) {
  std::vector<std::string> out;
  for (const Value& v : s)
    out.push_back(to_text(v));
  std::sort(out.begin(), out.end());
  return out;
}

// Configured: an RSA key then an EC key; ann and bob with API keys, cy with none.
class AuthenticateRequest : public testing::AuthDirTest {
 protected:
  void SetUp() override {
    write("keys.yaml",
          key_item(testing::rsa_key().public_pem()) + key_item(testing::ec_key().public_pem()));
    write("users.yaml",
          "- username: ann\n"
          "  api_keys: [ann-key-1, ann-key-2]\n"
          "  aliases: [deploy, status]\n"
          "- username: bob\n"
          "  api_keys: bob-key\n"  // a single text is one key
          "  aliases: [status]\n"
          "- username: cy\n"
          "  aliases: [report]\n");
    ASSERT_EQ(load(), Messages{});
  }

  std::optional<AuthInfo> bearer(const std::string& token) const {
    return auth_.authenticate_request(Headers{{"Authorization", "Bearer " + token}});
  }
  std::optional<AuthInfo> api_key(const std::string& key) const {
    return auth_.authenticate_request(Headers{{"X-API-Key", key}});
  }
};

TEST_F(AuthenticateRequest, BearerTokenIsTriedAgainstEachKeyInLoadOrder) {
  // Signed by the second key: the first refuses it as invalid, the second accepts it.
  const Value claims = Mapping{{"aliases", Sequence{"a", "b"}}, {"exp", in_an_hour()}};
  std::optional<AuthInfo> info = bearer(make_token(claims, testing::ec_key()));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->to_value(), Value(Mapping{{"user_id", "jwt-anonymous"},
                                            {"type", "jwt"},
                                            {"allowed_aliases", Sequence{"a", "b"}}}));
  EXPECT_TRUE(info->allows("b"));
  EXPECT_FALSE(info->allows("c"));

  info = bearer(make_token(Mapping{{"sub", "ann"}}, testing::rsa_key()));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->user_id, "ann");
}

TEST_F(AuthenticateRequest, JwtCallersGetTheirAliases) {
  struct Row {
    const char* label;
    Value claims;
    std::optional<std::string> user_id;  // nullopt: refused
    std::vector<std::string> aliases;    // compared sorted
  };
  const Row rows[] = {
      {"NoSubNoAliases", Mapping{}, "jwt-anonymous", {}},
      {"NoSubRepeatsKept",
       Mapping{{"aliases", Sequence{"b", "a", "b"}}},
       "jwt-anonymous",
       {"a", "b", "b"}},
      {"EmptySubIsAnonymous",
       Mapping{{"sub", ""}, {"aliases", Sequence{"x"}}},
       "jwt-anonymous",
       {"x"}},
      {"SubNamesUserUnionEachOnce",
       Mapping{{"sub", "ann"}, {"aliases", Sequence{"status", "extra", "extra"}}},
       "ann",
       {"deploy", "extra", "status"}},
      {"SubNamesUserWithoutApiKeys", Mapping{{"sub", "cy"}}, "cy", {"report"}},
      {"SingleTextClaimIsOneAlias", Mapping{{"aliases", "deploy"}}, "jwt-anonymous", {"deploy"}},
      {"SubNamesNoUser", Mapping{{"sub", "zed"}, {"aliases", Sequence{"x"}}}, std::nullopt, {}},
  };
  for (const Row& row : rows) {
    for (const testing::TestKey* key : {&testing::rsa_key(), &testing::ec_key()}) {
      std::optional<AuthInfo> info = bearer(make_token(row.claims, *key));
      if (!row.user_id) {
        EXPECT_FALSE(info.has_value()) << row.label;
        continue;
      }
      ASSERT_TRUE(info.has_value()) << row.label;
      EXPECT_EQ(info->user_id, *row.user_id) << row.label;
      EXPECT_EQ(info->type, "jwt") << row.label;
      EXPECT_EQ(sorted_texts(info->allowed_aliases), row.aliases) << row.label;
    }
  }
  // Order and repeats of an anonymous caller's claim are kept as given.
  std::optional<AuthInfo> info =
      bearer(make_token(Mapping{{"aliases", Sequence{"b", "a", "b"}}}, testing::ec_key()));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->allowed_aliases, (Sequence{"b", "a", "b"}));
}

TEST_F(AuthenticateRequest, ExpiredTokenIsRefused) {
  const Value claims = Mapping{{"sub", "ann"}, {"exp", in_an_hour() - 7200}};
  EXPECT_FALSE(bearer(make_token(claims, testing::rsa_key())).has_value());
  EXPECT_FALSE(bearer(make_token(claims, testing::ec_key())).has_value());
}

TEST_F(AuthenticateRequest, AttacksNeverAuthenticateNorFallBackToTheApiKey) {
  const Value claims = Mapping{{"sub", "ann"}, {"exp", in_an_hour()}};
  for (const testing::Attack& attack : testing::attack_tokens(claims)) {
    const Headers headers{{"Authorization", "Bearer " + attack.token}, {"X-API-Key", "ann-key-1"}};
    EXPECT_FALSE(auth_.authenticate_request(headers).has_value()) << attack.label;
  }
  EXPECT_FALSE(bearer("").has_value());
}

TEST_F(AuthenticateRequest, OnlyAnExactBearerPrefixSelectsTheJwtPath) {
  const std::string token = make_token(Mapping{{"sub", "bob"}}, testing::rsa_key());
  for (const std::string prefix : {"bearer ", "BEARER ", "Bearer\t", "Basic "}) {
    std::optional<AuthInfo> info = auth_.authenticate_request(
        Headers{{"Authorization", prefix + token}, {"X-API-Key", "ann-key-1"}});
    ASSERT_TRUE(info.has_value()) << prefix;
    EXPECT_EQ(info->type, "api_key") << prefix;
    EXPECT_EQ(info->user_id, "ann") << prefix;
  }
  // The token is taken untrimmed.
  EXPECT_FALSE(bearer(" " + token).has_value());
  EXPECT_TRUE(bearer(token).has_value());
}

TEST_F(AuthenticateRequest, ApiKeyCallersAreTheUserHoldingTheKey) {
  std::optional<AuthInfo> info = api_key("ann-key-2");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->to_value(), Value(Mapping{{"user_id", "ann"},
                                            {"type", "api_key"},
                                            {"allowed_aliases", Sequence{"deploy", "status"}}}));
  info = api_key("bob-key");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->user_id, "bob");

  for (const std::string key : {"", "bob-ke", "b", "bob-key ", "ANN-KEY-1", "ann-key-1ann-key-2"}) {
    EXPECT_FALSE(api_key(key).has_value()) << "'" << key << "'";
  }
  EXPECT_FALSE(auth_.authenticate_request(Headers{}).has_value());

  // Header names match whatever their case, through either form of lookup.
  info = auth_.authenticate_request(Headers{{"x-api-key", "ann-key-1"}});
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->user_id, "ann");
  info = auth_.authenticate_request([](std::string_view name) -> std::optional<std::string> {
    if (name == "X-API-Key") return "bob-key";
    return std::nullopt;
  });
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->user_id, "bob");
}

TEST_F(AuthenticateRequest, BearerTokenWithNoKeyConfiguredIsRefused) {
  remove("keys.yaml");
  write("users.yaml", "- username: ann\n  api_keys: [k]\n  aliases: [a]\n");
  ASSERT_EQ(load(), Messages{});
  EXPECT_FALSE(bearer(make_token(Mapping{}, testing::rsa_key())).has_value());
  EXPECT_TRUE(api_key("k").has_value());
}

TEST_F(AuthenticateRequest, ConcurrentRequestsSeeOneWholeConfiguration) {
  // Two directories give the same key to different users; a request must see one of them
  // whole, never a user list from one load and a key index from the other.
  const auto dir_a = tmp_ / "a";
  const auto dir_b = tmp_ / "b";
  tmp_.write("a/users.yaml", "- username: ann\n  api_keys: [shared]\n  aliases: [one]\n");
  tmp_.write("b/users.yaml",
             "- username: pad\n  api_keys: [other]\n  aliases: [x]\n"
             "- username: bob\n  api_keys: [shared]\n  aliases: [two]\n");
  ASSERT_EQ(load(dir_a), Messages{});

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  auto reader = [&] {
    while (!done.load()) {
      std::optional<AuthInfo> info = api_key("shared");
      const bool ok =
          info && ((info->user_id == "ann" && info->allowed_aliases == Sequence{"one"}) ||
                   (info->user_id == "bob" && info->allowed_aliases == Sequence{"two"}));
      if (!ok) bad.fetch_add(1);
    }
  };
  std::thread r1(reader);
  std::thread r2(reader);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(load(i % 2 == 0 ? dir_b : dir_a), Messages{});
  }
  done.store(true);
  r1.join();
  r2.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace tolvan::auth
