// Hostile input against the whole chain: parameter values that carry shell syntax, line breaks,
// NUL and path tricks into every template field of a process alias; correlation IDs and alias
// names built to leave their directory or split a line; bearer tokens that try to confuse the
// signature algorithm. Every case must be refused or stay inert: no command of the client's
// runs, nothing outside the run directory is written or read, nothing is left behind.

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "api/internal/handlers.h"
#include "auth/auth.h"
#include "auth/testing/keys.h"
#include "config/config.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "value/codec.h"
#include "value/log.h"
#include "value/testing/temp_dir.h"
#include "value/value.h"

namespace tolvan {
// Failure messages show values in their literal form.
inline void PrintTo(const Value& v, std::ostream* os) {
  *os << to_literal(v);
}
}  // namespace tolvan

namespace tolvan::security {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSecret = "CANARY-SECRET";
constexpr const char* kApiKey = "ann-key";

// One parameter `v` that accepts anything, used by one template field per alias; "strict" and
// "bare" accept only [a-z0-9]+, with and without explicit anchors.
constexpr const char* kAliases = R"(
- name: cmd
  type: process
  mode: inline
  parameters: {v: {validator: '(?s).*'}}
  command: printf '%s' {shell_quote(v)}
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
- name: env
  type: process
  mode: inline
  parameters: {v: {validator: '(?s).*'}}
  environment: {PROBE: '{v}'}
  command: printf '%s' "$PROBE"
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
- name: content
  type: process
  mode: inline
  parameters: {v: {validator: '(?s).*'}}
  files: [{location: in.txt, content: '{v}'}]
  command: cat '%sharedDir/in.txt'
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
- name: location
  type: process
  mode: inline
  parameters: {v: {validator: '(?s).*'}}
  files: [{location: '{v}', content: payload}]
  command: 'true'
  output: {single_value: {source: '{v}', content-type: text/plain}}
- name: source
  type: process
  mode: inline
  parameters: {v: {validator: '(?s).*'}}
  command: 'true'
  output:
    multiple_values:
      - {parameter_name: file, source: '{v}'}
      - {parameter_name: folder, source: '{v}/'}
- name: strict
  type: process
  mode: inline
  parameters: {v: {validator: '^[a-z0-9]+$'}}
  command: echo {v}
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
- name: bare
  type: process
  mode: inline
  parameters: {v: {validator: '[a-z0-9]+'}}
  command: echo {v}
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
- name: where
  type: process
  mode: inline
  files: [{location: in.txt, content: x}]
  preserveStreams: true
  command: printf '%s' '%sharedDir'
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
)";

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// What the captured streams make of a value: line ends read with universal newlines.
std::string as_captured(std::string s) {
  return replace_all(replace_all(s, "\r\n", "\n"), "\r", "\n");
}

// Layout: SharedDir and LogDir below the temporary root, root/canary.txt a file nobody may
// read through the gateway. Aliases come from an alias file, users and keys from AuthDir, all
// through the process-wide store, auth and executor the service itself uses.
class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    records_ = std::make_shared<log::MemoryHandler>();
    log::get_logger("tolvan").set_handlers({records_});
    tmp_.write("canary.txt", std::string(kSecret));
    tmp_.write("aliases/all.yaml", kAliases);
    tmp_.write("auth/keys.yaml", key_item(auth::testing::rsa_key().public_pem()) +
                                     key_item(auth::testing::ec_key().public_pem()));
    tmp_.write("auth/users.yaml",
               std::string("- username: ann\n  api_keys: [") + kApiKey + "]\n  aliases: [cmd]\n");
    const fs::path conf = tmp_.write(
        "tolvan.conf", "SharedDir " + shared_dir().string() + "\nLogDir " + log_dir().string() +
                           "\nAliasDir " + (tmp_ / "aliases").string() + "\nAuthDir " +
                           (tmp_ / "auth").string() + "\n");
    config::config.load(conf.string());
    auto [aliases, errors] = config::config.load_aliases();
    ASSERT_EQ(errors, std::vector<std::string>{});
    config::config.apply_aliases(std::move(aliases));
    ASSERT_EQ(auth::auth.load_auth_config(config::config), std::vector<std::string>{});
    fs::create_directories(shared_dir());
    fs::create_directories(log_dir());
    logger::set_correlation_id(std::string("sec-run"));
  }
  void TearDown() override {
    logger::set_correlation_id(std::nullopt);
    log::get_logger("tolvan").set_handlers({});
  }

  static std::string key_item(std::string_view pem) {
    std::string out = "- public_key: |\n";
    std::string line;
    for (const char c : pem) {
      if (c != '\n') {
        line += c;
        continue;
      }
      out += "    " + line + "\n";
      line.clear();
    }
    return out;
  }

  fs::path root() const { return tmp_.path(); }
  // Nested deep enough that every ".." trick below stays inside the temporary root.
  fs::path shared_dir() const { return tmp_ / "srv" / "run" / "shared"; }
  fs::path log_dir() const { return tmp_ / "var" / "log" / "logs"; }

  // Every path under the temporary root, LogDir's contents left out.
  std::set<std::string> snapshot() const {
    std::set<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(root());
         it != fs::recursive_directory_iterator(); ++it) {
      if (it->path().parent_path() == log_dir()) {
        it.disable_recursion_pending();
        continue;
      }
      paths.insert(it->path().lexically_relative(root()).string());
    }
    return paths;
  }

  // Runs `alias` with `v` and checks what must hold whatever the outcome: no injected command
  // ran, the file system is as it was, the canary's content appears in no output.
  Value run_checked(const std::string& alias, const std::string& v, const std::string& label) {
    const std::set<std::string> before = snapshot();
    Value r;
    try {
      r = executor::executor.execute_alias(alias, Mapping{{"v", v}});
    } catch (const std::exception& e) {
      ADD_FAILURE() << label << ": execute_alias raised " << e.what();
      return r;
    }
    EXPECT_FALSE(fs::exists(root() / "pwned")) << label << ": an injected command ran";
    EXPECT_EQ(snapshot(), before) << label << ": files appeared or vanished";
    EXPECT_EQ(read_file(root() / "canary.txt"), kSecret) << label;
    // The canary's content may show nowhere; a folder output's zip, which names its entries in
    // clear text, may not list it either.
    const Value* out = r.find("stdout");
    if (out != nullptr && out->is_string()) {
      EXPECT_EQ(out->as_string().find(kSecret), std::string::npos) << label << ": canary read";
    }
    const Value* outputs = r.find("file_outputs");
    if (outputs != nullptr && outputs->is_mapping()) {
      for (const auto& [source, text] : outputs->as_mapping()) {
        EXPECT_EQ(text.as_string().find(kSecret), std::string::npos) << label << ": canary read";
        const std::string zip = base64_decode(text.as_string()).value_or("");
        EXPECT_EQ(zip.find("canary.txt"), std::string::npos) << label << ": canary listed";
      }
    }
    fs::remove(root() / "pwned");
    return r;
  }

  tolvan::testing::TempDir tmp_;
  std::shared_ptr<log::MemoryHandler> records_;
};

// Values with @ROOT standing for the temporary root, so a successful escape lands where the
// test can see it (and nowhere else: no trick climbs above the root).
const std::vector<std::string> kHostileValues = {
    "; touch @ROOT/pwned",
    "$(touch @ROOT/pwned)",
    "`touch @ROOT/pwned`",
    "'; touch @ROOT/pwned; '",
    "\"; touch @ROOT/pwned; \"",
    "\\'; touch @ROOT/pwned #",
    "x' \"'\" '; touch @ROOT/pwned",
    "|| touch @ROOT/pwned",
    "&& touch @ROOT/pwned &",
    "> @ROOT/pwned",
    "${IFS}touch${IFS}@ROOT/pwned",
    "a\ntouch @ROOT/pwned",
    "a\r\ntouch @ROOT/pwned\r",
    "-n",
    "{v}",
    std::string("a\0; touch @ROOT/pwned", 21),
    std::string("\0' ; touch @ROOT/pwned; '", 25),
    "..",
    ".",
    "../escaped",
    "../../escaped",
    "../../../../escaped",
    "../../../../canary.txt",  // the run directory is four levels below the root
    "a/../../../../../canary.txt",
    "../../../..",
    "@ROOT/escaped",
    "@ROOT/canary.txt",
    "@ROOT",
    "//@ROOT/canary.txt",
    "%2e%2e/%2e%2e/%2e%2e/%2e%2e/canary.txt",
    "",
};

TEST_F(SecurityTest, HostileValuesReachEveryTemplateFieldOnlyAsData) {
  for (const std::string& raw : kHostileValues) {
    const std::string v = replace_all(raw, "@ROOT", root().string());
    const std::string shown = quote_literal(v);
    const bool has_nul = v.find('\0') != std::string::npos;

    // The command gets the value as one shell word; the environment and the input file carry it
    // byte for byte (a NUL cannot travel through exec or the environment).
    for (const char* alias : {"cmd", "env", "content"}) {
      const Value r = run_checked(alias, v, std::string(alias) + " " + shown);
      if (has_nul && std::string_view(alias) != "content") continue;
      if (r.get_or("success", false) != Value(true)) {
        ADD_FAILURE() << alias << " " << shown << " did not run: " << to_literal(r);
        continue;
      }
      EXPECT_EQ(r.at("stdout"), Value(as_captured(v))) << alias << " " << shown;
    }
    // Paths: an input file lands inside the run directory or the run fails; an output source
    // reads inside the run directory or yields nothing.
    for (const char* alias : {"location", "source"}) {
      const Value r = run_checked(alias, v, std::string(alias) + " " + shown);
      if (r.get_or("success", false) != Value(true)) {
        EXPECT_NE(r.get_or("error", "").as_string(), "") << alias << " " << shown;
      }
    }
  }
}

TEST_F(SecurityTest, PlainValuesStillWorkThroughThePathFields) {
  // The same aliases as above with ordinary values: the path fields are not simply broken.
  const Value written = run_checked("location", "sub/in.txt", "location");
  ASSERT_EQ(written.get_or("success", false), Value(true)) << to_literal(written);
  EXPECT_EQ(written.at("file_outputs"), Value(Mapping{{"{v}", "payload"}}));
  const Value read = run_checked("source", "missing.txt", "source");
  ASSERT_EQ(read.get_or("success", false), Value(true)) << to_literal(read);
  EXPECT_EQ(read.at("file_outputs").at("{v}"), Value(""));
}

TEST_F(SecurityTest, ValidatorsMatchTheWholeValue) {
  const struct {
    std::string value;
    bool accepted;
  } cases[] = {
      {"abc123", true},
      {"abc\n", false},  // "$" must not stop before a final line break
      {"abc\ntouch pwned", false},
      {"\nabc", false},
      {"abc; touch pwned", false},
      {"abc touch", false},
      {std::string("abc\0x", 5), false},
      {"ABC", false},
      {"", false},
  };
  for (const char* alias : {"strict", "bare"}) {
    for (const auto& c : cases) {
      const Value r =
          run_checked(alias, c.value, std::string(alias) + " " + quote_literal(c.value));
      if (c.accepted) {
        EXPECT_EQ(r.get_or("success", false), Value(true)) << alias << " " << to_literal(r);
        EXPECT_EQ(r.get_or("stdout", ""), Value(c.value + "\n"));
      } else {
        EXPECT_EQ(r.get_or("validation_error", false), Value(true))
            << alias << " " << quote_literal(c.value) << " " << to_literal(r);
      }
    }
  }
}

// The executor names the run directory (and the preserved stream files) after the thread's
// correlation ID. Whatever that ID is, the run directory is a fresh directory directly inside
// SharedDir and is gone afterwards, and preserved files stay inside LogDir.
TEST_F(SecurityTest, CorrelationIdsNeverLeadOutOfSharedDirOrLogDir) {
  const std::string root_text = root().string();
  const std::vector<std::string> cids = {
      "",  // a fresh UUID
      "plain-id",
      "line\nbreak",
      "../escape",
      "../../escape",
      "a/../../escape",
      "a/b",
      "..",
      ".",
      root_text + "/abs-escape",
  };
  const fs::path shared = shared_dir().lexically_normal();
  const std::set<std::string> before = snapshot();
  for (const std::string& cid : cids) {
    const std::string label = "cid " + quote_literal(cid);
    logger::set_correlation_id(cid);
    Value r;
    try {
      r = executor::executor.execute_alias("where");
    } catch (const std::exception&) {
      // Refusing to prepare the run is fine; it must have left nothing behind.
    }
    EXPECT_EQ(snapshot(), before) << label << ": files appeared or vanished";
    if (r.get_or("success", false) == Value(true)) {
      const fs::path run_dir = fs::path(r.at("stdout").as_string()).lexically_normal();
      EXPECT_EQ(run_dir.parent_path(), shared) << label << ": run directory " << run_dir;
      EXPECT_NE(run_dir.filename(), "..") << label;
    }
    // Put back what an escape changed, so each ID is judged on its own.
    for (const std::string& rel : snapshot()) {
      if (!before.contains(rel)) fs::remove_all(root() / rel);
    }
    fs::create_directories(shared_dir());
  }
}

class HttpSecurityTest : public SecurityTest {
 protected:
  std::variant<api::detail::Response, api::detail::RunJob> request(const std::string& target,
                                                                   auth::Headers headers,
                                                                   std::string method = "POST") {
    api::detail::Request r;
    r.method = std::move(method);
    r.target = target;
    r.headers = std::move(headers);
    r.peer = "127.0.0.1";
    return handlers_.handle(r);
  }
  static const std::string* header(const api::detail::Response& r, std::string_view name) {
    for (const auto& [n, v] : r.headers) {
      if (n == name) return &v;
    }
    return nullptr;
  }
  static int status_of(const std::variant<api::detail::Response, api::detail::RunJob>& outcome) {
    const auto* response = std::get_if<api::detail::Response>(&outcome);
    return response != nullptr ? response->status : 0;  // 0: a run was accepted
  }

  api::detail::Handlers handlers_{"test"};
};

TEST_F(HttpSecurityTest, OnlyWellFormedCorrelationIdsAreTakenFromTheClient) {
  const struct {
    std::string given;
    bool taken;
  } cases[] = {
      {"A.b_c-9", true},
      {std::string(64, 'a'), true},
      {std::string(65, 'a'), false},
      {"../escape", false},
      {"a/b", false},
      {"..", false},
      {".hidden", false},
      {"-dash", false},
      {"line\nbreak", false},
      {"line\r\nX-Injected: 1", false},
      {"tab\there", false},
      {"a b", false},
      {std::string("nul\0x", 5), false},
      {"caf\xC3\xA9", false},
      {"", false},
  };
  for (const auto& c : cases) {
    const auto outcome = request("/health", auth::Headers{{"X-Correlation-ID", c.given}}, "GET");
    const auto& response = std::get<api::detail::Response>(outcome);
    ASSERT_EQ(response.status, 200) << quote_literal(c.given);
    const std::string* cid = header(response, "X-Correlation-ID");
    ASSERT_NE(cid, nullptr);
    if (c.taken) {
      EXPECT_EQ(*cid, c.given);
    } else {
      EXPECT_NE(*cid, c.given);
      EXPECT_EQ(cid->size(), 36u) << quote_literal(c.given) << " gave " << quote_literal(*cid);
    }
  }
}

TEST_F(HttpSecurityTest, AliasNamesMatchOnlyExactly) {
  const std::vector<std::string> names = {
      "../cmd", "cmd/", "./cmd", "cmd\n", "a\nb", "CMD", " cmd", std::string("cmd\0", 4), ""};
  for (const std::string& name : names) {
    EXPECT_EQ(config::config.get_alias(name), nullptr) << quote_literal(name);
  }
  EXPECT_NE(config::config.get_alias("cmd"), nullptr);

  // The name is quoted in the error text, which goes to the AppLog: no raw line break.
  const Value r = executor::executor.execute_alias("a\nb\r");
  EXPECT_EQ(r.at("error"), Value("Alias 'a\\nb\\r' not found"));

  // Through the HTTP layer, with a key that may run "cmd": every trick is refused before any
  // run is prepared.
  const auth::Headers key{{"X-API-Key", kApiKey}};
  for (const char* target : {"/run/cmd%00", "/run/cmd%0A", "/run/%2E%2E%2Fcmd", "/run/..%2fcmd",
                             "/run/./cmd", "/run/cmd/", "/run/cmd%2F", "/run/CMD", "/run/"}) {
    const int status = status_of(request(target, key));
    EXPECT_TRUE(status == 403 || status == 404) << target << " gave " << status;
  }
  EXPECT_EQ(status_of(request("/run/cmd?v=x", key)), 0);  // the same key runs the real name
}

TEST_F(HttpSecurityTest, TokensThatConfuseTheAlgorithmAreRefused) {
  const std::int64_t later = 4'000'000'000;
  const Value claims = Mapping{{"sub", "ann"}, {"exp", later}};
  // The HTTP layer must not fall back to the API key when a bearer token is refused.
  for (const auth::testing::Attack& attack : auth::testing::attack_tokens(claims)) {
    const auto outcome =
        request("/run/cmd?v=x",
                auth::Headers{{"Authorization", "Bearer " + attack.token}, {"X-API-Key", kApiKey}});
    EXPECT_EQ(status_of(outcome), 401) << attack.label;
  }
  for (const auto* key : {&auth::testing::rsa_key(), &auth::testing::ec_key()}) {
    const std::string token = auth::testing::make_token(claims, *key);
    EXPECT_EQ(
        status_of(request("/run/cmd?v=x", auth::Headers{{"Authorization", "Bearer " + token}})), 0);
  }
}

}  // namespace
}  // namespace tolvan::security
