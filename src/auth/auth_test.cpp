#include "auth/auth.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth/testing/auth_dir.h"
#include "auth/testing/keys.h"
#include "config/config.h"
#include "value/yaml.h"

namespace tolvan::auth {
namespace {

using testing::AuthDirTest;
using testing::key_item;
using Messages = std::vector<std::string>;

std::string yaml_error(std::string_view text) {
  try {
    load_yaml(text);
  } catch (const YamlError& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected a YAML error for: " << text;
  return {};
}

std::optional<std::string> api_key_user(const Auth& a, const std::string& key) {
  std::optional<AuthInfo> info = a.authenticate_request(Headers{{"X-API-Key", key}});
  if (!info) return std::nullopt;
  return info->user_id;
}

using LoadAuthConfig = AuthDirTest;

TEST_F(LoadAuthConfig, ReportsEveryProblemInItsFixedOrder) {
  const std::string bad_yaml = "- username: [unclosed\n";
  write("a.yaml", bad_yaml);
  write("b.yml", "");
  write("c.yaml", "username: top-level mapping\n");
  write("d.yaml",
        "- just a string\n"
        "- role: admin\n"
        "- public_key: not a key\n"
        "- public_key: 42\n"
        "- username: ann\n"
        "  api_keys: [k1]\n"
        "  aliases: [deploy]\n"
        "- username: bob\n"
        "  api_keys: [k1, k2, k2]\n"
        "  aliases: []\n");
  write("e.yml",
        "- username: ann\n"
        "  api_keys: [k3]\n"
        "  aliases: [deploy]\n"
        "- username: cy\n"
        "  api_keys: [k2]\n"
        "  aliases: [deploy]\n");
  // Not auth files: neither is read.
  write("notes.txt", "- [broken\n");
  write("extra.YAML", "- [broken\n");

  EXPECT_EQ(load(),
            (Messages{
                "a.yaml: invalid YAML: " + yaml_error(bad_yaml),
                "b.yml: expected a YAML list at top level",
                "c.yaml: expected a YAML list at top level",
                "d.yaml: each item must be a mapping",
                "d.yaml: item is neither a user (missing 'username') nor a JWT public key "
                "(missing 'public_key')",
                "d.yaml: invalid JWT public key format",
                "d.yaml: invalid JWT public key format",
                "d.yaml: API key duplicated for user 'bob' (already used by 'ann' in d.yaml)",
                "d.yaml: API key duplicated for user 'bob' (already used by 'bob' in d.yaml)",
                "d.yaml: user 'bob' has no allowed aliases",
                "e.yml: duplicate username 'ann' (first defined in d.yaml)",
                "e.yml: API key duplicated for user 'cy' (already used by 'bob' in d.yaml)",
            }));
  EXPECT_TRUE(auth_.users().empty());
  EXPECT_TRUE(auth_.public_keys().empty());
}

TEST_F(LoadAuthConfig, UsersWithoutApiKeysNeedAJwtKey) {
  write("users.yaml",
        "- username: ann\n"
        "  aliases: [deploy]\n"
        "- username: bob\n"
        "  api_keys: ~\n"
        "  aliases:\n");
  EXPECT_EQ(load(),
            (Messages{
                "users.yaml: user 'ann' has no api_keys and no JWT public key is configured",
                "users.yaml: user 'bob' has no allowed aliases",
                "users.yaml: user 'bob' has no api_keys and no JWT public key is configured",
            }));

  write("users.yaml",
        "- username: ann\n"
        "  aliases: [deploy]\n");
  write("keys.yaml", key_item(testing::ec_key().public_pem()));
  EXPECT_EQ(load(), Messages{});
  EXPECT_EQ(auth_.users().size(), 1u);
}

TEST_F(LoadAuthConfig, MissingAuthDirIsTheOnlyMessage) {
  write("users.yaml", "- [broken\n");
  const auto regular_file = tmp_.write("plain-file", "");
  EXPECT_EQ(load(regular_file), Messages{"AuthDir does not exist: " + regular_file.string()});
  const auto missing = tmp_ / "missing";
  EXPECT_EQ(load(missing), Messages{"AuthDir does not exist: " + missing.string()});

  config::Config unset;  // never loaded: AuthDir reads as null
  EXPECT_EQ(auth_.load_auth_config(unset), Messages{"AuthDir does not exist: None"});
}

TEST_F(LoadAuthConfig, ItemsAreTakenInFileNameOrderAndKeptAsRead) {
  const std::string pem = testing::rsa_key().public_pem();
  write("b.yml",
        "- username: bob\n"
        "  api_keys: [bob-key]\n"
        "  aliases: [status]\n");
  write("a.yaml",
        "- username: ann\n"
        "  api_keys: [ann-key]\n"
        "  aliases: [deploy]\n"
        "  team: ops\n" +
            key_item(pem) + "  username: ignored-because-it-is-a-key\n");
  write("B.yaml",  // upper case sorts before lower case
        "- username: zed\n"
        "  api_keys: [zed-key]\n"
        "  aliases: [x]\n");

  ASSERT_EQ(load(), Messages{});
  const Sequence users = auth_.users();
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users[0].at("username"), Value("zed"));
  EXPECT_EQ(users[1],
            load_yaml("username: ann\napi_keys: [ann-key]\naliases: [deploy]\nteam: ops\n"));
  EXPECT_EQ(users[2].at("username"), Value("bob"));
  EXPECT_EQ(auth_.public_keys(), Sequence{pem});
  EXPECT_EQ(api_key_user(auth_, "ignored-because-it-is-a-key"), std::nullopt);
}

TEST_F(LoadAuthConfig, FailedLoadKeepsThePreviousConfigurationInForce) {
  write("users.yaml",
        "- username: ann\n"
        "  api_keys: [ann-key]\n"
        "  aliases: [deploy]\n");
  write("keys.yaml", key_item(testing::rsa_key().public_pem()));
  ASSERT_EQ(load(), Messages{});
  const Sequence users = auth_.users();
  const Sequence keys = auth_.public_keys();

  // A new user and key alongside a broken file: nothing of it takes effect.
  write("more.yaml",
        "- username: bob\n"
        "  api_keys: [bob-key]\n"
        "  aliases: [deploy]\n" +
            key_item(testing::ec_key().public_pem()));
  write("zz.yaml", "- username: cy\n  api_keys: [cy-key]\n");
  EXPECT_EQ(load(), Messages{"zz.yaml: user 'cy' has no allowed aliases"});
  EXPECT_EQ(auth_.users(), users);
  EXPECT_EQ(auth_.public_keys(), keys);
  EXPECT_EQ(api_key_user(auth_, "ann-key"), "ann");
  EXPECT_EQ(api_key_user(auth_, "bob-key"), std::nullopt);

  // Neither does a load that stops on an unreadable file.
  std::filesystem::create_directory(auth_dir() / "dir.yaml");
  EXPECT_THROW(load(), std::runtime_error);
  std::filesystem::remove(auth_dir() / "dir.yaml");
  write("bad-utf8.yaml", "- username: \xff\xfe\n");
  EXPECT_THROW(load(), std::runtime_error);
  remove("bad-utf8.yaml");
  EXPECT_EQ(auth_.users(), users);

  // A good load after the failed ones replaces what was in force before them.
  remove("users.yaml");
  write("zz.yaml", "- username: cy\n  api_keys: [cy-key]\n  aliases: [x]\n");
  ASSERT_EQ(load(), Messages{});
  EXPECT_EQ(api_key_user(auth_, "ann-key"), std::nullopt);
  EXPECT_EQ(api_key_user(auth_, "bob-key"), "bob");
  EXPECT_EQ(api_key_user(auth_, "cy-key"), "cy");
  EXPECT_EQ(auth_.public_keys().size(), 2u);
}

TEST_F(LoadAuthConfig, EmptyDirectoryIsAValidEmptyConfiguration) {
  write("users.yaml", "- username: ann\n  api_keys: [k]\n  aliases: [a]\n");
  ASSERT_EQ(load(), Messages{});
  remove("users.yaml");
  EXPECT_EQ(load(), Messages{});
  EXPECT_TRUE(auth_.users().empty());
  EXPECT_TRUE(auth_.public_keys().empty());
}

}  // namespace
}  // namespace tolvan::auth
