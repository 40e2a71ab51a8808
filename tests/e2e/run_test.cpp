// Running aliases over HTTP: outputs, statuses, errors and the audit trail.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace tolvan::e2e {
namespace {

using nlohmann::json;

// One gateway for the read-only tests of this file; starting one per test buys nothing.
class RunAlias : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gw = new Gateway();
    ASSERT_TRUE(gw->start()) << gw->err();
  }
  static void TearDownTestSuite() {
    delete gw;
    gw = nullptr;
  }
  static Gateway* gw;
};
Gateway* RunAlias::gw = nullptr;

TEST_F(RunAlias, EachOutputKindReachesTheClient) {
  HttpResponse r = gw->run_alias("echo?text=Hello%20World");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "Hello World");
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_EQ(r.header("X-Exit-Code"), "0");
  EXPECT_TRUE(r.header("X-Correlation-ID").has_value());

  r = gw->run_alias("echo", "alice-key", R"({"text": "From JSON"})", "application/json");
  EXPECT_EQ(r.body, "From JSON");
  r = gw->run_alias("echo", "alice-key", "text=Form+Body", "application/x-www-form-urlencoded");
  EXPECT_EQ(r.body, "Form Body");

  r = gw->run_alias("multi");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.reason, "Three is fine");
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(json::parse(r.body), json::parse(R"({"out": "out", "err": "err", "code": 3})"));

  r = gw->run_alias("fileout?word=quiet");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "QUIET");

  r = gw->run_alias("folder?name=abc");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.header("Content-Type"), "application/zip");
  ASSERT_EQ(r.body.rfind("PK\x03\x04", 0), 0u) << "not a zip archive";
  EXPECT_NE(r.body.find("copy.txt"), std::string::npos);
  EXPECT_NE(r.body.find("sub/x.txt"), std::string::npos);
  const fs::path zip = gw->write("folder.zip", r.body);
  if (std::FILE* p = ::popen(("unzip -p " + zip.string() + " copy.txt 2>/dev/null").c_str(), "r")) {
    char buf[64] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf, p);
    if (::pclose(p) == 0) {
      EXPECT_EQ(std::string(buf, n), "abc") << "input file round trip";
    }
  }
  // Nothing of the run is left behind in SharedDir.
  EXPECT_TRUE(fs::is_empty(gw->path("shared")));
}

TEST_F(RunAlias, AccessAndParameterErrors) {
  struct Row {
    const char* what;
    std::string target;
    std::string key;
    int status;
    std::string error;
  };
  const Row rows[] = {
      {"no credentials", "echo?text=x", "", 401, "Authentication required"},
      {"unknown key", "echo?text=x", "nobody-key", 401, "Authentication required"},
      {"alias not allowed", "multi", "bob-key", 403, "Alias not allowed"},
      {"allowed but missing", "ghost", "bob-key", 404, "Alias not found"},
      {"duplicate parameter", "echo?text=a&text=b", "alice-key", 400, "Duplicate parameter: text"},
      {"shell metacharacters", "echo?text=%24(id)", "alice-key", 400, "Parameter validation failed"},
      {"mandatory parameter missing", "echo", "alice-key", 400, "Parameter validation failed"},
  };
  for (const Row& row : rows) {
    const HttpResponse r = gw->run_alias(row.target, row.key);
    EXPECT_EQ(r.status, row.status) << row.what << ": " << r.body;
    const json body = json::parse(r.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << row.what << ": " << r.body;
    EXPECT_EQ(body.value("error", ""), row.error) << row.what;
    if (row.status == 401) {
      EXPECT_EQ(r.header("WWW-Authenticate"), "Bearer") << row.what;
    }
    if (row.error == "Parameter validation failed") {
      EXPECT_FALSE(body.at("errors").empty()) << row.what;
    }
  }
}

TEST_F(RunAlias, ExitCodesBecomeStatusesAndReasonPhrases) {
  struct Row {
    std::string target;
    int status;
    std::string reason;
    std::string exit_code;
  };
  const Row rows[] = {
      {"exit?code=0", 200, "OK", "0"},
      {"exit?code=3", 422, "Command exited with code 3", "3"},
      {"mapped?code=2", 400, "Division by zero", "2"},
      {"mapped?code=5", 503, "Command exited with code 5", "5"},
  };
  for (const Row& row : rows) {
    const HttpResponse r = gw->run_alias(row.target);
    EXPECT_EQ(r.status, row.status) << row.target;
    EXPECT_EQ(r.reason, row.reason) << row.target;
    EXPECT_EQ(r.header("X-Exit-Code"), row.exit_code) << row.target;
  }
  EXPECT_EQ(gw->run_alias("mapped?code=2").body, "mapped\n") << "the output still comes back";
}

TEST_F(RunAlias, TimeLimitAnswers504) {
  const HttpResponse r = gw->run_alias("sleepy");
  EXPECT_EQ(r.status, 504);
  EXPECT_EQ(json::parse(r.body), json::parse(R"({"error": "Execution timed out"})"));
}

TEST_F(RunAlias, EveryRunRequestLeavesOneAuditLine) {
  gw->request("POST", "/run/echo?text=audited",
              {{"X-API-Key", "alice-key"}, {"X-Correlation-ID", "audit-ok-1"}});
  gw->request("POST", "/run/echo?text=audited", {{"X-Correlation-ID", "audit-anon-1"}});
  gw->request("POST", "/run/multi", {{"X-API-Key", "bob-key"}, {"X-Correlation-ID", "audit-403-1"}});
  // A client-chosen alias name cannot split or forge a line.
  gw->request("POST", "/run/ev%0Ail%20x", {{"X-API-Key", "bob-key"}, {"X-Correlation-ID", "audit-forge-1"}});

  const std::vector<std::regex> expected = {
      std::regex(R"(^\S+Z src=127\.0\.0\.1 cid=audit-ok-1 user=alice alias=echo status=200 code=OK duration=\d+ms exitcode=0 pid=\d+$)"),
      std::regex(R"(^\S+Z src=127\.0\.0\.1 cid=audit-anon-1 user=- alias=echo status=401 code=AUTH_REQUIRED duration=\d+ms$)"),
      std::regex(R"(^\S+Z src=127\.0\.0\.1 cid=audit-403-1 user=bob alias=multi status=403 code=FORBIDDEN duration=\d+ms$)"),
      std::regex(R"(^\S+Z src=127\.0\.0\.1 cid=audit-forge-1 user=bob alias=ev%0Ail%20x status=403 code=FORBIDDEN duration=\d+ms$)"),
  };
  for (const std::regex& re : expected) {
    EXPECT_TRUE(eventually([&] {
      std::istringstream lines(gw->audit_log());
      std::string line;
      while (std::getline(lines, line)) {
        if (std::regex_match(line, re)) return true;
      }
      return false;
    })) << gw->audit_log();
  }
}

TEST_F(RunAlias, AliasListAndHealthShowOnlyWhatTheCallerMaySee) {
  HttpResponse r = gw->request("GET", "/aliases", {{"X-API-Key", "bob-key"}});
  ASSERT_EQ(r.status, 200);
  const json listed = json::parse(r.body);
  ASSERT_EQ(listed.at("aliases").size(), 1u) << "ghost does not exist, multi is not bob's";
  EXPECT_EQ(listed["aliases"][0]["name"], "echo");
  EXPECT_EQ(listed["aliases"][0]["parameters"][0]["validator"], "[A-Za-z0-9 ]{1,20}");
  EXPECT_EQ(r.body.find("printf"), std::string::npos) << "commands are never shown";

  r = gw->request("GET", "/health");
  ASSERT_EQ(r.status, 200);
  const json health = json::parse(r.body);
  EXPECT_EQ(health["status"], "ok");
  EXPECT_EQ(health["aliases"], 8);

  Gateway version_run;
  ASSERT_EQ(version_run.run({"--version"}), 0);
  EXPECT_EQ(version_run.out(), "Tolvan " + health["version"].get<std::string>() + "\n");
}

TEST(RunLimits, RunsBeyondMaxConcurrentRunsAreAnswered429) {
  Gateway gw;
  gw.add_config("MaxConcurrentRuns 1");
  ASSERT_TRUE(gw.start()) << gw.err();
  auto first = std::async(std::launch::async, [&] { return gw.run_alias("slow?secs=2"); });
  // The first run holds the only slot once its shell runs.
  ASSERT_TRUE(eventually([&] { return !children_of(gw.pid()).empty(); }));
  const HttpResponse busy = gw.run_alias("echo?text=later");
  EXPECT_EQ(busy.status, 429);
  EXPECT_EQ(busy.header("Retry-After"), "1");
  const HttpResponse done = first.get();
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.body, "done\n");
  EXPECT_EQ(gw.run_alias("echo?text=after").status, 200) << "the slot is free again";
}

}  // namespace
}  // namespace tolvan::e2e
