// Callers identified by API keys and by RS256 JSON Web Tokens.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/e2e/support.h"

namespace tolvan::e2e {
namespace {

std::string indent(const std::string& pem) {
  std::string out;
  std::size_t start = 0;
  while (start < pem.size()) {
    const std::size_t end = pem.find('\n', start);
    out += "    " + pem.substr(start, end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

long long now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(Authentication, ApiKeysAndTokensFromEveryConfiguredKey) {
  const auto [first_private, first_public] = make_rsa_key();
  const auto [second_private, second_public] = make_rsa_key();
  const auto [stranger_private, stranger_public] = make_rsa_key();
  (void)stranger_public;

  Gateway gw;
  gw.write("auth.d/keys.yaml", "- public_key: |\n" + indent(first_public) +
                                   "- public_key: |\n" + indent(second_public));
  ASSERT_TRUE(gw.start()) << gw.err();

  const std::string exp = std::to_string(now() + 600);
  const std::string anonymous =
      sign_rs256(second_private, R"({"aliases": ["echo"], "exp": )" + exp + "}");
  const std::string as_alice = sign_rs256(first_private, R"({"sub": "alice", "exp": )" + exp + "}");
  const std::string unknown_sub =
      sign_rs256(first_private, R"({"sub": "mallory", "aliases": ["echo"], "exp": )" + exp + "}");
  const std::string expired = sign_rs256(
      first_private, R"({"aliases": ["echo"], "exp": )" + std::to_string(now() - 60) + "}");
  const std::string foreign =
      sign_rs256(stranger_private, R"({"aliases": ["echo"], "exp": )" + exp + "}");

  struct Row {
    const char* what;
    HeaderList headers;
    std::string alias;
    int status;
  };
  const Row rows[] = {
      {"token from the second key", {{"Authorization", "Bearer " + anonymous}}, "echo?text=t", 200},
      {"token grants only its aliases", {{"Authorization", "Bearer " + anonymous}}, "multi", 403},
      {"sub adds the user's aliases", {{"Authorization", "Bearer " + as_alice}}, "multi", 200},
      {"sub naming no user", {{"Authorization", "Bearer " + unknown_sub}}, "echo?text=t", 401},
      {"expired token", {{"Authorization", "Bearer " + expired}}, "echo?text=t", 401},
      {"key not configured", {{"Authorization", "Bearer " + foreign}}, "echo?text=t", 401},
      {"bad token beats a good API key",
       {{"Authorization", "Bearer " + foreign}, {"X-API-Key", "alice-key"}}, "echo?text=t", 401},
      {"lower-case bearer falls back to the API key",
       {{"Authorization", "bearer " + anonymous}, {"X-API-Key", "bob-key"}}, "echo?text=t", 200},
      {"empty API key", {{"X-API-Key", ""}}, "echo?text=t", 401},
  };
  for (const Row& row : rows) {
    HeaderList headers = row.headers;
    headers.emplace_back("X-Correlation-ID", "auth-row");
    const HttpResponse r = gw.request("POST", "/run/" + row.alias, headers);
    EXPECT_EQ(r.status, row.status) << row.what << ": " << r.body;
  }

  gw.request("POST", "/run/echo?text=t",
             {{"Authorization", "Bearer " + anonymous}, {"X-Correlation-ID", "jwt-anon"}});
  EXPECT_TRUE(eventually([&] {
    return gw.audit_log().find("cid=jwt-anon user=jwt-anonymous alias=echo status=200") !=
           std::string::npos;
  })) << gw.audit_log();
}

}  // namespace
}  // namespace tolvan::e2e
