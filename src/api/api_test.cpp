// The real server on 127.0.0.1, real alias processes and real files, spoken to over sockets.

#include "api/api.h"

#include <stdlib.h>
#include <unzip.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "api/testing/http_client.h"
#include "auth/auth.h"
#include "auth/testing/auth_dir.h"
#include "auth/testing/keys.h"
#include "config/config.h"
#include "logger/logger.h"
#include "value/codec.h"
#include "value/json.h"
#include "value/testing/temp_dir.h"
#include "value/value.h"

namespace tolvan::api {
namespace {

namespace fs = std::filesystem;
using testing::Connection;
using testing::http_request;
using testing::HttpResponse;
using testing::round_trip;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr std::string_view kAliases = R"(
- name: echo
  type: process
  mode: inline
  command: "printf '%s|%s' {shell_quote(msg)} {shell_quote(extra)}"
  parameters:
    msg:
      validator: '[a-z ]+'
    extra:
      validator: '[a-z0-9.]*'
      default: none
  output:
    single_value: {source: "%stdOut", content-type: "text/plain; charset=utf-8"}
- name: report
  type: process
  mode: inline
  command: "echo hello; echo oops >&2; printf r1 > %sharedDir/report.txt"
  output:
    multiple_values:
      - {parameter_name: out, source: "%stdOut"}
      - {parameter_name: err, source: "%stdErr"}
      - {parameter_name: code, source: "%exitCode"}
      - {parameter_name: report, source: report.txt}
      - {parameter_name: missing, source: absent.txt}
- name: bundle
  type: process
  mode: inline
  command: "mkdir -p %sharedDir/pack/sub && printf A > %sharedDir/pack/a.txt && printf C > %sharedDir/pack/sub/c.txt"
  output:
    single_value: {source: pack/, content-type: application/zip}
- name: fail
  type: process
  mode: inline
  command: "echo failing; exit {code}"
  parameters:
    code: {validator: '[0-9]+'}
  exitCodeMap:
    3: {status: 409, text: "Already\tthere\r\nX-Injected: 1"}
    4-9: 503
  output:
    single_value: {source: "%stdOut", content-type: text/plain}
- name: slow
  type: process
  mode: inline
  command: "sleep 30"
  timeout: 1
  output:
    single_value: {source: "%stdOut", content-type: text/plain}
- name: gated
  type: process
  mode: inline
  command: "touch GATE/started; while [ ! -e GATE/go ]; do sleep 0.02; done; echo released"
  output:
    single_value: {source: "%stdOut", content-type: text/plain}
- name: broken
  type: process
  mode: inline
  command: "true"
  files:
    - {location: ../../outside.txt, content: x}
  output:
    single_value: {source: "%stdOut", content-type: text/plain}
- name: boxed
  type: container
  mode: inline
  image: busybox
  output:
    single_value: {source: "%stdOut", content-type: text/plain}
)";

constexpr std::string_view kAlice = "alice-key";
constexpr std::string_view kBob = "bob-key";

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A configuration, AuthDir and AliasDir in a fresh directory, loaded into the process-wide
// configuration store, auth and logging that the server uses.
class Site {
 public:
  explicit Site(std::string_view extra_config) {
    std::string aliases(kAliases);
    for (std::size_t at; (at = aliases.find("GATE")) != std::string::npos;) {
      aliases.replace(at, 4, gate().string());
    }
    fs::create_directories(gate());
    dir_.write("aliases.d/aliases.yaml", aliases);
    dir_.write("auth.d/users.yaml",
               "- username: alice\n"
               "  api_keys: [alice-key]\n"
               "  aliases: [echo, report, bundle, fail, slow, gated, broken, boxed, ghost]\n"
               "- username: bob\n"
               "  api_keys: [bob-key]\n"
               "  aliases: [ghost-of-bob]\n" +
                   auth::testing::key_item(auth::testing::ec_key().public_pem()));
    std::string conf_text = "ListenAddress 127.0.0.1\n";
    conf_text += "AliasDir " + (dir_ / "aliases.d").string() + "\n";
    conf_text += "AuthDir " + (dir_ / "auth.d").string() + "\n";
    conf_text += "SharedDir " + (dir_ / "shared").string() + "\n";
    conf_text += "LogDir " + (dir_ / "logs").string() + "\n";
    conf_text += "AppLog " + app_log().string() + " info plain\n";
    conf_text += "AuditLog " + audit_log().string() + "\n";
    conf_text += extra_config;
    const fs::path conf = dir_.write("tolvan.conf", conf_text);
    // No container engine here: container runs must find it unavailable.
    ::setenv("DOCKER_HOST", ("unix://" + (dir_ / "no-engine.sock").string()).c_str(), 1);
    config::config.load(conf.string());
    auto [set, alias_errors] = config::config.load_aliases();
    if (!alias_errors.empty()) throw std::runtime_error("aliases: " + alias_errors.front());
    config::config.apply_aliases(std::move(set));
    const auto auth_errors = auth::auth.load_auth_config();
    if (!auth_errors.empty()) throw std::runtime_error("auth: " + auth_errors.front());
    logger::setup_logging(config::config);
  }

  const tolvan::testing::TempDir& dir() const { return dir_; }
  fs::path app_log() const { return dir_ / "logs/app.log"; }
  fs::path audit_log() const { return dir_ / "logs/audit.log"; }
  fs::path gate() const { return dir_ / "gate"; }

  /// The audit line of the request with this correlation ID, without its time stamp, with
  /// the duration and the pid replaced by "#" (they differ from run to run).
  std::string audit_line(std::string_view cid) const {
    std::istringstream lines(read_file(audit_log()));
    for (std::string line; std::getline(lines, line);) {
      if (line.find(" cid=" + std::string(cid) + " ") == std::string::npos) continue;
      line.erase(0, line.find(' ') + 1);
      for (std::string_view field : {"duration=", "pid="}) {
        const std::size_t at = line.find(field);
        if (at == std::string::npos) continue;
        std::size_t end = at + field.size();
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
          ++end;
        if (end > at + field.size()) line.replace(at + field.size(), end - at - field.size(), "#");
      }
      return line;
    }
    return "no audit line for " + std::string(cid);
  }

  void reset_gate() const {
    fs::remove(gate() / "started");
    fs::remove(gate() / "go");
  }
  void wait_gate_started() const {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(gate() / "started")) {
      if (std::chrono::steady_clock::now() > give_up) throw std::runtime_error("never started");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void open_gate() const { dir_.write("gate/go", ""); }

 private:
  tolvan::testing::TempDir dir_;
};

// A Server serving on a free port on its own thread; shut down gracefully at the end.
class RunningServer {
 public:
  RunningServer() {
    std::promise<std::uint16_t> listening;
    std::future<std::uint16_t> port = listening.get_future();
    server_.set_port(0);
    server_.set_version("9.9.9-test");
    server_.set_on_listening([&listening](std::uint16_t p) { listening.set_value(p); });
    thread_ = std::thread([this, &listening] {
      try {
        server_.start();
      } catch (...) {
        listening.set_exception(std::current_exception());
      }
    });
    try {
      port_ = port.get();
    } catch (...) {
      thread_.join();
      throw;
    }
  }
  ~RunningServer() { stop(); }

  std::uint16_t port() const { return port_; }
  Server& server() { return server_; }
  void stop() {
    server_.graceful_shutdown();
    if (thread_.joinable()) thread_.join();
  }

 private:
  Server server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
};

HttpResponse post(std::uint16_t port, std::string_view target, std::string_view key,
                  Headers headers = {}, std::string_view body = {}) {
  if (!key.empty()) headers.emplace_back("X-API-Key", std::string(key));
  return round_trip(port, http_request("POST", target, headers, body));
}

HttpResponse post_json(std::uint16_t port, std::string_view target, std::string_view body,
                       Headers headers = {}) {
  headers.emplace_back("Content-Type", "application/json");
  return post(port, target, kAlice, std::move(headers), body);
}

HttpResponse get(std::uint16_t port, std::string_view target, Headers headers = {}) {
  return round_trip(port, http_request("GET", target, headers));
}

Value error_body(std::string_view text) {
  return Mapping{{"error", std::string(text)}};
}

// ---------------------------------------------------------------------------------------------
// The main server: MaxConcurrentRuns 4, /health and /internal/logs/reopen behind keys.

class ApiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    site_ = new Site("HealthApiKey health-secret\nLogsApiKey logs-secret\nMaxConcurrentRuns 4\n");
    server_ = new RunningServer();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete site_;
  }
  static std::uint16_t port() { return server_->port(); }

  static Site* site_;
  static RunningServer* server_;
};
Site* ApiTest::site_ = nullptr;
RunningServer* ApiTest::server_ = nullptr;

TEST_F(ApiTest, RunsAliasWithParametersFromQueryAndBody) {
  struct Case {
    const char* label;
    std::string target;
    std::string content_type;
    std::string body;
    std::string expected;
  };
  const Case cases[] = {
      {"query plus JSON number as written", "/run/echo?msg=hello%20world", "application/json",
       R"({"extra": 1.50})", "hello world|1.50"},
      {"form body", "/run/echo", "application/x-www-form-urlencoded", "msg=a+b&extra=x.y",
       "a b|x.y"},
      {"default fills in", "/run/echo?msg=hi", "", "", "hi|none"},
      {"JSON boolean", "/run/echo?msg=x", "application/json; charset=utf-8", R"({"extra": true})",
       "x|true"},
  };
  for (const Case& c : cases) {
    Headers headers;
    if (!c.content_type.empty()) headers.emplace_back("Content-Type", c.content_type);
    const HttpResponse r = post(port(), c.target, kAlice, headers, c.body);
    EXPECT_EQ(r.status, 200) << c.label << ": " << r.body;
    EXPECT_EQ(r.reason, "OK") << c.label;
    EXPECT_EQ(r.body, c.expected) << c.label;
    EXPECT_EQ(r.header("Content-Type"), "text/plain; charset=utf-8") << c.label;
    EXPECT_EQ(r.header("X-Exit-Code"), "0") << c.label;
  }
}

TEST_F(ApiTest, ConnectionStaysOpenAndHonoursExpectContinue) {
  Connection c(port());
  const std::string body = R"({"msg": "first"})";
  // A client that asks first gets "100 Continue" before it sends the body.
  c.send(
      "POST /run/echo HTTP/1.1\r\nHost: x\r\nX-API-Key: alice-key\r\n"
      "Content-Type: application/json\r\nExpect: 100-continue\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n");
  const std::optional<HttpResponse> interim = c.read_response();
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100);
  c.send(body);
  const std::optional<HttpResponse> first = c.read_response();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->body, "first|none");

  c.send(http_request("POST", "/run/echo?msg=second", {{"X-API-Key", "alice-key"}}));
  const std::optional<HttpResponse> second = c.read_response();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->body, "second|none");
}

TEST_F(ApiTest, MultipleValuesAreAnObjectInDeclarationOrder) {
  const HttpResponse r = post(port(), "/run/report", kAlice);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  const Value body = r.json();
  std::vector<std::string> keys;
  for (const auto& [k, v] : body.as_mapping())
    keys.push_back(to_text(k));
  EXPECT_EQ(keys, (std::vector<std::string>{"out", "err", "code", "report", "missing"}));
  EXPECT_EQ(
      body,
      Value(Mapping{
          {"out", "hello\n"}, {"err", "oops\n"}, {"code", 0}, {"report", "r1"}, {"missing", ""}}));
  EXPECT_TRUE(body.at("code").is_int());
}

TEST_F(ApiTest, FolderOutputIsTheZipArchiveItself) {
  const HttpResponse r = post(port(), "/run/bundle", kAlice);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.header("Content-Type"), "application/zip");
  const fs::path zip = site_->dir().write("out.zip", r.body);
  unzFile z = unzOpen64(zip.string().c_str());
  ASSERT_NE(z, nullptr) << "not a zip archive";
  std::vector<std::pair<std::string, std::string>> entries;
  for (int rc = unzGoToFirstFile(z); rc == UNZ_OK; rc = unzGoToNextFile(z)) {
    char name[256];
    unz_file_info64 info;
    unzGetCurrentFileInfo64(z, &info, name, sizeof name, nullptr, 0, nullptr, 0);
    std::string content(info.uncompressed_size, '\0');
    unzOpenCurrentFile(z);
    unzReadCurrentFile(z, content.data(), static_cast<unsigned>(content.size()));
    unzCloseCurrentFile(z);
    entries.emplace_back(name, content);
  }
  unzClose(z);
  EXPECT_EQ(entries,
            (std::vector<std::pair<std::string, std::string>>{{"a.txt", "A"}, {"sub/c.txt", "C"}}));
}

TEST_F(ApiTest, ExitCodeSetsStatusAndReasonPhrase) {
  struct Case {
    int code;
    int status;
    std::string reason;
  };
  const Case cases[] = {
      {0, 200, "OK"},
      // Control characters never reach the status line, so the text cannot add a header.
      {3, 409, "AlreadythereX-Injected: 1"},
      {5, 503, "Command exited with code 5"},
      {12, 422, "Command exited with code 12"},
  };
  for (const Case& c : cases) {
    const HttpResponse r = post(port(), "/run/fail?code=" + std::to_string(c.code), kAlice);
    EXPECT_EQ(r.status, c.status) << c.code;
    EXPECT_EQ(r.reason, c.reason) << c.code;
    EXPECT_EQ(r.header("X-Exit-Code"), std::to_string(c.code));
    EXPECT_EQ(r.header("X-Injected"), std::nullopt);
    EXPECT_EQ(r.body, "failing\n");
  }
}

TEST_F(ApiTest, ParameterProblemsAreClientErrors) {
  struct Case {
    const char* label;
    std::string target;
    std::string content_type;
    std::string body;
    int status;
    std::string error;
  };
  const std::string not_scalar = "Parameter 'msg' must be a string, number or boolean";
  const Case cases[] = {
      {"name twice in the query", "/run/echo?msg=a&msg=b", "", "", 400, "Duplicate parameter: msg"},
      {"name in query and body", "/run/echo?msg=a", "application/json", R"({"msg": "b"})", 400,
       "Duplicate parameter: msg"},
      {"name twice in the JSON body", "/run/echo", "application/json",
       R"({"msg": "a", "msg": "b"})", 400, "Duplicate parameter: msg"},
      {"name in query and form body", "/run/echo?msg=a", "application/x-www-form-urlencoded",
       "msg=b", 400, "Duplicate parameter: msg"},
      {"malformed JSON", "/run/echo", "application/json", "{", 400,
       "Request body must be a JSON object"},
      {"JSON array", "/run/echo", "application/json", "[1]", 400,
       "Request body must be a JSON object"},
      {"null value", "/run/echo", "application/json", R"({"msg": null})", 400, not_scalar},
      {"object value", "/run/echo", "application/json", R"({"msg": {"a": 1}})", 400, not_scalar},
      {"array value", "/run/echo", "application/json", R"({"msg": ["a"]})", 400, not_scalar},
      {"other content type", "/run/echo", "text/plain", "msg=a", 415, "Unsupported content type"},
  };
  for (const Case& c : cases) {
    Headers headers;
    if (!c.content_type.empty()) headers.emplace_back("Content-Type", c.content_type);
    const HttpResponse r = post(port(), c.target, kAlice, headers, c.body);
    EXPECT_EQ(r.status, c.status) << c.label;
    EXPECT_EQ(r.json(), error_body(c.error)) << c.label << ": " << r.body;
    EXPECT_EQ(r.header("Content-Type"), "application/json") << c.label;
  }

  const HttpResponse invalid = post(port(), "/run/echo?msg=ABC", kAlice);
  EXPECT_EQ(invalid.status, 400);
  EXPECT_EQ(invalid.json(),
            Value(Mapping{{"error", "Parameter validation failed"},
                          {"errors", Sequence{"Parameter 'msg' failed validation against "
                                              "'[a-z ]+'"}}}));
}

TEST_F(ApiTest, CallersMustAuthenticateAndMayRunOnlyTheirAliases) {
  const HttpResponse anonymous = post(port(), "/run/echo?msg=a", "");
  EXPECT_EQ(anonymous.status, 401);
  EXPECT_EQ(anonymous.json(), error_body("Authentication required"));
  EXPECT_EQ(anonymous.header("WWW-Authenticate"), "Bearer");
  EXPECT_EQ(post(port(), "/run/echo?msg=a", "wrong-key").status, 401);

  const HttpResponse forbidden = post(port(), "/run/echo?msg=a", kBob);
  EXPECT_EQ(forbidden.status, 403);
  EXPECT_EQ(forbidden.json(), error_body("Alias not allowed"));
  // Unknown aliases look the same as forbidden ones to a caller who may not run them.
  EXPECT_EQ(post(port(), "/run/no-such-alias", kBob).status, 403);

  const HttpResponse missing = post(port(), "/run/ghost", kAlice);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.json(), error_body("Alias not found"));

  const std::string token =
      auth::testing::make_token(Mapping{{"aliases", Sequence{"echo"}},
                                        {"exp", static_cast<long long>(std::time(nullptr) + 600)}},
                                auth::testing::ec_key());
  const HttpResponse bearer =
      post(port(), "/run/echo?msg=jwt", "", {{"Authorization", "Bearer " + token}});
  EXPECT_EQ(bearer.status, 200) << bearer.body;
  EXPECT_EQ(bearer.body, "jwt|none");
}

TEST_F(ApiTest, UnknownPathsAndWrongMethods) {
  struct Case {
    std::string method;
    std::string target;
    int status;
    std::optional<std::string> allow;
  };
  const Case cases[] = {
      {"GET", "/run/echo", 405, "POST"},       {"POST", "/aliases", 405, "GET"},
      {"POST", "/health", 405, "GET"},         {"GET", "/internal/logs/reopen", 405, "POST"},
      {"GET", "/nope", 404, std::nullopt},     {"POST", "/run/", 404, std::nullopt},
      {"POST", "/run/a/b", 404, std::nullopt},
  };
  for (const Case& c : cases) {
    const HttpResponse r =
        round_trip(port(), http_request(c.method, c.target, {{"X-API-Key", "alice-key"}}));
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.target;
    EXPECT_EQ(r.header("Allow"), c.allow) << c.method << " " << c.target;
    EXPECT_TRUE(r.json().find("error")) << c.method << " " << c.target;
    EXPECT_TRUE(r.header("X-Correlation-ID")) << c.method << " " << c.target;
  }
}

TEST_F(ApiTest, ExecutionsThatDoNotCompleteMapToGatewayStatuses) {
  const HttpResponse timed_out = post(port(), "/run/slow", kAlice, {{"X-Correlation-ID", "t-1"}});
  EXPECT_EQ(timed_out.status, 504);
  EXPECT_EQ(timed_out.json(), error_body("Execution timed out"));
  EXPECT_EQ(site_->audit_line("t-1"),
            "src=127.0.0.1 cid=t-1 user=alice alias=slow status=504 code=TIMEOUT "
            "duration=#ms exitcode=- pid=#");

  const HttpResponse no_engine = post(port(), "/run/boxed", kAlice, {{"X-Correlation-ID", "t-2"}});
  EXPECT_EQ(no_engine.status, 503);
  EXPECT_EQ(no_engine.json(), error_body("Container engine unavailable"));
  EXPECT_EQ(site_->audit_line("t-2"),
            "src=127.0.0.1 cid=t-2 user=alice alias=boxed status=503 code=ENGINE_UNAVAILABLE "
            "duration=#ms exitcode=- containerid=- imageid=-");

  const HttpResponse failed = post(port(), "/run/broken", kAlice, {{"X-Correlation-ID", "t-3"}});
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.json(), error_body("Execution failed"));
  // The diagnostic is for the operator: in the AppLog, never in the answer.
  const std::string app_log = read_file(site_->app_log());
  const std::size_t at = app_log.find("Execution of alias 'broken' failed: ");
  ASSERT_NE(at, std::string::npos) << app_log;
  EXPECT_NE(app_log.find("[cid=t-3]", at), std::string::npos);
  EXPECT_EQ(site_->audit_line("t-3"),
            "src=127.0.0.1 cid=t-3 user=alice alias=broken status=500 code=EXEC_FAILED "
            "duration=#ms exitcode=- pid=-");
}

TEST_F(ApiTest, CorrelationIdIsTakenWhenWellFormedAndReplacedOtherwise) {
  const auto cid_of = [](const std::string& given) {
    const HttpResponse r = get(port(), "/nope", {{"X-Correlation-ID", given}});
    return r.header("X-Correlation-ID").value_or("");
  };
  for (const std::string& good :
       std::vector<std::string>{"a", "req-1.A_b", "9" + std::string(63, 'x')}) {
    EXPECT_EQ(cid_of(good), good);
  }
  for (const std::string& bad :
       std::vector<std::string>{"-lead", "has space", "9" + std::string(64, 'x'), "caf\xC3\xA9"}) {
    const std::string cid = cid_of(bad);
    EXPECT_NE(cid, bad);
    // A fresh version 4 UUID.
    ASSERT_EQ(cid.size(), 36U) << cid;
    EXPECT_EQ(cid[14], '4') << cid;
  }
  EXPECT_EQ(get(port(), "/nope").header("X-Correlation-ID").value_or("").size(), 36U);
}

TEST_F(ApiTest, EveryRunRequestIsAuditedWithEscapedFields) {
  struct Case {
    std::string target;
    std::string key;
    std::string expected;  // after "cid=<cid> "
  };
  const Case cases[] = {
      {"/run/echo?msg=a", "alice-key",
       "user=alice alias=echo status=200 code=OK duration=#ms exitcode=0 pid=#"},
      {"/run/fail?code=3", "alice-key",
       "user=alice alias=fail status=409 code=OK duration=#ms exitcode=3 pid=#"},
      {"/run/echo?msg=a", "", "user=- alias=echo status=401 code=AUTH_REQUIRED duration=#ms"},
      {"/run/we%20ird%25%C3%A9%0Aalias=x", "alice-key",
       "user=alice alias=we%20ird%25%C3%A9%0Aalias=x status=403 code=FORBIDDEN duration=#ms"},
      {"/run/echo?msg=a&msg=b", "alice-key",
       "user=alice alias=echo status=400 code=BAD_REQUEST duration=#ms"},
      {"/run/ghost", "alice-key", "user=alice alias=ghost status=404 code=NOT_FOUND duration=#ms"},
      {"/run/echo?msg=ABC", "alice-key",
       "user=alice alias=echo status=400 code=INVALID_PARAMS duration=#ms exitcode=- pid=-"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string cid = "audit-" + std::to_string(++n);
    post(port(), c.target, c.key, {{"X-Correlation-ID", cid}});
    EXPECT_EQ(site_->audit_line(cid), "src=127.0.0.1 cid=" + cid + " " + c.expected) << c.target;
  }
}

TEST_F(ApiTest, AliasListShowsWhatTheCallerMayRun) {
  const HttpResponse r = get(port(), "/aliases", {{"X-API-Key", "alice-key"}});
  ASSERT_EQ(r.status, 200) << r.body;
  const Value body = r.json();
  const Value& listed = body.at("aliases");
  std::vector<std::string> names;
  for (const Value& entry : listed.as_sequence()) {
    names.push_back(entry.at("name").as_string());
    EXPECT_FALSE(entry.find("command")) << r.body;
  }
  // "ghost" is allowed but does not exist.
  EXPECT_EQ(names, (std::vector<std::string>{"boxed", "broken", "bundle", "echo", "fail", "gated",
                                             "report", "slow"}));
  EXPECT_EQ(listed.at(3), Value(Mapping{{"name", "echo"},
                                        {"type", "process"},
                                        {"parameters", Sequence{Mapping{{"name", "msg"},
                                                                        {"required", true},
                                                                        {"validator", "[a-z ]+"},
                                                                        {"default", nullptr}},
                                                                Mapping{{"name", "extra"},
                                                                        {"required", false},
                                                                        {"validator", "[a-z0-9.]*"},
                                                                        {"default", "none"}}}},
                                        {"output", "single_value"}}));
  EXPECT_EQ(listed.at(6).at("output"), Value("multiple_values"));

  EXPECT_EQ(get(port(), "/aliases", {{"X-API-Key", "bob-key"}}).json(),
            Value(Mapping{{"aliases", Sequence{}}}));
  EXPECT_EQ(get(port(), "/aliases").status, 401);
}

TEST_F(ApiTest, HealthNeedsItsKeyAndReportsReloads) {
  EXPECT_EQ(get(port(), "/health").status, 401);
  EXPECT_EQ(get(port(), "/health", {{"X-API-Key", "alice-key"}}).status, 401);

  const auto health = [] { return get(port(), "/health", {{"X-API-Key", "health-secret"}}); };
  HttpResponse r = health();
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.json(), Value(Mapping{{"status", "ok"},
                                    {"version", "9.9.9-test"},
                                    {"aliases", 8},
                                    {"auth_reload", nullptr},
                                    {"alias_reload", nullptr}}));

  config::config.record_alias_reload(false);
  const Value after = health().json();
  const Value& outcome = after.at("alias_reload");
  EXPECT_EQ(outcome.at("success"), Value(false));
  const std::string time = outcome.at("time").as_string();
  EXPECT_EQ(time.size(), 24U) << time;  // 2024-02-29T23:59:59.999Z
  EXPECT_EQ(time.back(), 'Z') << time;
}

TEST_F(ApiTest, LogReopenNeedsItsKeyAndReopensTheAppLog) {
  const auto reopen = [](std::string key) {
    return post(port(), "/internal/logs/reopen", "", {{"X-API-Key", std::move(key)}});
  };
  EXPECT_EQ(reopen("alice-key").status, 401);

  const fs::path rotated = site_->app_log().string() + ".1";
  fs::rename(site_->app_log(), rotated);
  const HttpResponse r = reopen("logs-secret");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.json(), Value(Mapping{{"status", "reopened"}}));
  post(port(), "/run/broken", kAlice);  // logs an error
  EXPECT_NE(read_file(site_->app_log()).find("Execution of alias 'broken' failed"),
            std::string::npos);
}

TEST_F(ApiTest, OversizedRequestsAreRefused) {
  const HttpResponse big_header = round_trip(
      port(), http_request("GET", "/health", {{"X-Filler", std::string(17 * 1024, 'x')}}));
  EXPECT_EQ(big_header.status, 431);

  const std::string too_big(1024 * 1024 + 1, 'a');
  const HttpResponse big_body =
      post(port(), "/run/echo", kAlice,
           {{"Content-Type", "application/json"}, {"X-Correlation-ID", "big-body"}}, too_big);
  EXPECT_EQ(big_body.status, 413);
  EXPECT_EQ(site_->audit_line("big-body"),
            "src=127.0.0.1 cid=big-body user=- alias=echo status=413 code=BAD_REQUEST "
            "duration=#ms");

  // A chunked body has no length to check up front; its size is counted as it arrives.
  std::string chunked =
      "POST /run/echo HTTP/1.1\r\nHost: x\r\nX-API-Key: alice-key\r\n"
      "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunk(64 * 1024, 'b');
  for (int i = 0; i < 17; ++i)
    chunked += "10000\r\n" + chunk + "\r\n";
  chunked += "0\r\n\r\n";
  EXPECT_EQ(round_trip(port(), chunked).status, 413);

  // A body of exactly the limit is read and parsed.
  const std::string at_limit =
      R"({"msg": "b", "msg": ")" + std::string(1024 * 1024 - 23, 'a') + "\"}";
  ASSERT_EQ(at_limit.size(), 1024U * 1024U);
  EXPECT_EQ(post_json(port(), "/run/echo", at_limit).json(),
            error_body("Duplicate parameter: msg"));
}

// ---------------------------------------------------------------------------------------------
// One execution at a time, and no keys for /health or /internal/logs/reopen.

class NarrowApiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { site_ = new Site("MaxConcurrentRuns 1\n"); }
  static void TearDownTestSuite() { delete site_; }
  void SetUp() override { site_->reset_gate(); }

  static Site* site_;
};
Site* NarrowApiTest::site_ = nullptr;

TEST_F(NarrowApiTest, RunBeyondTheLimitIsRefusedAtOnceAndSlowClientsHoldNoWorker) {
  RunningServer server;
  // A client that never finishes its headers occupies a connection, not the one worker.
  Connection slow(server.port());
  slow.send("POST /run/echo HTTP/1.1\r\nHost: x\r\nX-API-Ke");
  EXPECT_EQ(post(server.port(), "/run/echo?msg=free", kAlice).body, "free|none");

  std::future<HttpResponse> running =
      std::async(std::launch::async, [&] { return post(server.port(), "/run/gated", kAlice); });
  site_->wait_gate_started();
  const HttpResponse refused =
      post(server.port(), "/run/echo?msg=a", kAlice, {{"X-Correlation-ID", "busy-1"}});
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.header("Retry-After"), "1");
  EXPECT_EQ(site_->audit_line("busy-1"),
            "src=127.0.0.1 cid=busy-1 user=alice alias=echo status=429 code=BUSY duration=#ms "
            "exitcode=- pid=-");
  site_->open_gate();
  const HttpResponse done = running.get();
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.body, "released\n");
  // The worker is free again.
  EXPECT_EQ(post(server.port(), "/run/echo?msg=again", kAlice).status, 200);
}

TEST_F(NarrowApiTest, HealthIsOpenAndLogReopenIsHiddenWithoutKeys) {
  RunningServer server;
  EXPECT_EQ(get(server.port(), "/health").status, 200);
  const HttpResponse reopen =
      post(server.port(), "/internal/logs/reopen", "", {{"X-API-Key", "anything"}});
  EXPECT_EQ(reopen.status, 404);
}

TEST_F(NarrowApiTest, GracefulShutdownLetsTheRunningExecutionFinish) {
  RunningServer server;
  const std::uint16_t port = server.port();
  // An idle keep-alive connection, between requests.
  Connection idle(port);
  idle.send(http_request("GET", "/health", {}));
  ASSERT_TRUE(idle.read_response());

  std::future<HttpResponse> running =
      std::async(std::launch::async, [&] { return post(port, "/run/gated", kAlice); });
  site_->wait_gate_started();
  server.server().graceful_shutdown();
  server.server().graceful_shutdown();  // harmless

  EXPECT_TRUE(idle.wait_closed());
  // No new connections once the shutdown has begun.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool refused = false;
  while (!refused && std::chrono::steady_clock::now() < give_up) {
    try {
      Connection c(port);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } catch (const std::runtime_error&) {
      refused = true;
    }
  }
  EXPECT_TRUE(refused);

  EXPECT_EQ(running.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  site_->open_gate();
  const HttpResponse done = running.get();
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.body, "released\n");
  EXPECT_EQ(done.header("Connection"), "close");
  server.stop();  // start() has returned
  EXPECT_EQ(server.server().bound_port(), 0);
}

// ---------------------------------------------------------------------------------------------
// HTTPS

// A self-signed certificate and its key, written as PEM files.
void write_self_signed(const fs::path& cert_path, const fs::path& key_path) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_sign(cert.get(), key.get(), EVP_sha256());
  FILE* f = std::fopen(cert_path.c_str(), "w");
  PEM_write_X509(f, cert.get());
  std::fclose(f);
  f = std::fopen(key_path.c_str(), "w");
  PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

TEST(ApiTlsTest, ServesHttpsWithTheConfiguredCertificate) {
  tolvan::testing::TempDir tls_dir;
  write_self_signed(tls_dir / "cert.pem", tls_dir / "key.pem");
  const Site site("SslEnabled true\nSslCert " + (tls_dir / "cert.pem").string() + "\nSslKey " +
                  (tls_dir / "key.pem").string() + "\n");
  RunningServer server;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  const HttpResponse r = round_trip(
      server.port(), http_request("POST", "/run/echo?msg=secure", {{"X-API-Key", "alice-key"}}),
      ctx.get());
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "secure|none");
}

TEST(ApiTlsTest, UnusableKeyIsAStartupError) {
  tolvan::testing::TempDir tls_dir;
  write_self_signed(tls_dir / "cert.pem", tls_dir / "key.pem");
  tls_dir.write("bad.pem", "not a key");
  const Site site("SslEnabled true\nSslCert " + (tls_dir / "cert.pem").string() + "\nSslKey " +
                  (tls_dir / "bad.pem").string() + "\n");
  Server server;
  server.set_port(0);
  try {
    server.start();
    FAIL() << "started with an unusable key";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(
        std::string(e.what()).rfind("cannot load SslKey " + (tls_dir / "bad.pem").string(), 0), 0U)
        << e.what();
  }
}

}  // namespace
}  // namespace tolvan::api
