// Starting the program: the command line, fatal startup errors with their exact reports, the
// missing default configuration, TLS, and the example configuration of the repository.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace tolvan::e2e {
namespace {

// Holds a port the way another server would.
class PortHolder {
 public:
  explicit PortHolder(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 1);
  }
  ~PortHolder() { ::close(fd_); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

 private:
  int fd_;
};

// Sets an environment variable for the programs started while it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(CommandLine, HelpVersionAndUsageErrors) {
  Gateway gw;
  EXPECT_EQ(gw.run({"--help"}), 0);
  EXPECT_NE(gw.out().find("Tolvan - Secure Execution Gateway"), std::string::npos);
  EXPECT_NE(gw.out().find("--prefetch-image on-start|on-config-change|no"), std::string::npos);
  EXPECT_EQ(gw.err(), "");

  EXPECT_EQ(gw.run({"--version", "--config", "/nonexistent/tolvan.conf"}), 0)
      << "the version needs no configuration";
  EXPECT_EQ(gw.out().rfind("Tolvan ", 0), 0u);

  EXPECT_EQ(gw.run({"--no-such-option"}), 2);
  EXPECT_EQ(gw.out(), "");
  EXPECT_NE(gw.err().find("Usage: tolvan"), std::string::npos);
  EXPECT_EQ(gw.run({"--config", gw.write_config().string(), "--listen-port"}), 2)
      << "an option without its value";
}

struct FatalCase {
  const char* label;
  // Prepares the files and returns the arguments after --config.
  std::function<std::vector<std::string>(Gateway&)> setup;
  // The complete standard error expected.
  std::function<std::string(Gateway&)> stderr_text;
  bool in_app_log;  // the first message also reaches the AppLog at error level
};

void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.label; }

class FatalStartup : public ::testing::TestWithParam<FatalCase> {};

TEST_P(FatalStartup, ReportsExactlyAndExitsWithStatusOne) {
  const FatalCase& c = GetParam();
  Gateway gw;
  // None of these needs a container engine; this one is certainly unreachable.
  ScopedEnv engine("DOCKER_HOST", "unix://" + gw.path("no-engine.sock").string());
  std::vector<std::string> args = c.setup(gw);
  if (args.empty() || args[0] != "--config") {
    args.insert(args.begin(), {"--config", gw.write_config().string()});
  }
  EXPECT_EQ(gw.run(args), 1);
  const std::string expected = c.stderr_text(gw);
  EXPECT_EQ(gw.err(), expected);
  EXPECT_FALSE(fs::exists(gw.path("tolvan.pid"))) << "a failed start left a PID file";
  if (c.in_app_log) {
    const std::string first = expected.substr(7, expected.find('\n') - 7);  // after "ERROR: "
    EXPECT_NE(gw.app_log().find(" ERROR tolvan " + first), std::string::npos) << gw.app_log();
  }
}

std::string d(Gateway& gw, const char* rel) { return gw.path(rel).string(); }

const FatalCase kFatalCases[] = {
    {"MissingConfigFile",
     [](Gateway& gw) { return std::vector<std::string>{"--config", d(gw, "nope.conf")}; },
     [](Gateway& gw) { return "ERROR: Configuration file not found: " + d(gw, "nope.conf") + "\n"; },
     false},
    {"UnknownConfigKey",
     [](Gateway& gw) {
       gw.add_config("Bogus 1");
       return std::vector<std::string>{};
     },
     [](Gateway& gw) {
       const std::string conf = read_file(gw.path("tolvan.conf"));
       const auto line = std::count(conf.begin(), conf.begin() + conf.find("Bogus"), '\n') + 1;
       return "CONFIG ERROR: " + d(gw, "tolvan.conf") + ":" + std::to_string(line) +
              ": unknown key 'Bogus'\n";
     },
     false},
    {"BadOverride",
     [](Gateway&) { return std::vector<std::string>{"--listen-port", "abc"}; },
     [](Gateway&) {
       return std::string(
           "CONFIG ERROR: --listen-port: ListenPort must be an integer from 1 to 65535, got "
           "'abc'\n");
     },
     false},
    {"MissingAuthDir",
     [](Gateway& gw) { return std::vector<std::string>{"--auth-dir", d(gw, "none")}; },
     [](Gateway& gw) { return "ERROR: AuthDir does not exist: " + d(gw, "none") + "\n"; }, true},
    {"NoAuthentication",
     [](Gateway& gw) {
       fs::remove(gw.path("auth.d/users.yaml"));
       return std::vector<std::string>{};
     },
     [](Gateway& gw) {
       return "ERROR: No authentication configured: no users and no JWT public keys found in " +
              d(gw, "auth.d") + ". At least one form of authentication is required.\n";
     },
     true},
    {"InvalidAlias",
     [](Gateway& gw) {
       gw.write("aliases.d/bad.yaml", "name: bad\ntype: process\n");
       return std::vector<std::string>{};
     },
     [](Gateway&) {
       return std::string(
           "ERROR: bad.yaml: alias 'bad': missing mandatory field 'mode'\n"
           "ERROR: bad.yaml: alias 'bad': process alias missing mandatory field 'command'\n"
           "ERROR: bad.yaml: alias 'bad': missing mandatory field 'output'\n");
     },
     true},
    {"NoAliases",
     [](Gateway& gw) {
       fs::remove_all(gw.path("aliases.d"));
       fs::create_directory(gw.path("aliases.d"));
       return std::vector<std::string>{};
     },
     [](Gateway& gw) {
       return "ERROR: No aliases configured in " + d(gw, "aliases.d") +
              ". At least one alias is required.\n";
     },
     true},
    {"EngineUnreachableInAContainer",
     [](Gateway& gw) {
       gw.write("aliases.d/boxed.yaml", R"(name: boxed
type: container
mode: inline
image: localhost/none:latest
output: {single_value: {source: "%stdOut", content-type: text/plain}}
)");
       return std::vector<std::string>{"--container", "1"};
     },
     [](Gateway&) {
       return std::string(
           "ERROR: Tolvan is running in a container and at least one alias has type "
           "'container', but the Docker socket is not reachable. Mount the Docker socket (e.g. "
           "-v /var/run/docker.sock:/var/run/docker.sock).\n");
     },
     true},
    {"UnreadableTlsMaterial",
     [](Gateway& gw) {
       return std::vector<std::string>{"--ssl-enabled", "true", "--ssl-cert", d(gw, "c.pem"),
                                       "--ssl-key", d(gw, "k.pem")};
     },
     [](Gateway& gw) {
       return "ERROR: Cannot load SSL certificate " + d(gw, "c.pem") +
              ": No such file or directory\nERROR: Cannot load SSL private key " + d(gw, "k.pem") +
              ": No such file or directory\n";
     },
     true},
};

INSTANTIATE_TEST_SUITE_P(Cases, FatalStartup, ::testing::ValuesIn(kFatalCases),
                         [](const ::testing::TestParamInfo<FatalCase>& row) {
                           return std::string(row.param.label);
                         });

TEST(FatalStartupOther, PortInUseEndsTheProgramWithStatusOne) {
  Gateway gw;
  PortHolder holder(gw.port());
  EXPECT_EQ(gw.run({"--config", gw.write_config().string()}), 1);
  EXPECT_NE(gw.err().find("ERROR: cannot listen on 127.0.0.1:" + std::to_string(gw.port())),
            std::string::npos)
      << gw.err();
  EXPECT_FALSE(fs::exists(gw.path("tolvan.pid")));
}

TEST(Startup, WithoutTheDefaultConfigFileTheDefaultsApplyAfterAWarning) {
  if (fs::exists("/etc/tolvan/tolvan.conf")) GTEST_SKIP() << "/etc/tolvan/tolvan.conf exists";
  Gateway gw;
  const auto p = [&](const char* rel) { return gw.path(rel).string(); };
  ASSERT_TRUE(gw.start_raw({"--listen-port", std::to_string(gw.port()), "--alias-dir",
                            p("aliases.d"), "--auth-dir", p("auth.d"), "--shared-dir",
                            p("shared"), "--log-dir", p("logs"), "--pid-file", p("tolvan.pid"),
                            "--app-log", p("app.log") + " info plain", "--audit-log",
                            p("audit.log")}))
      << gw.err();
  const std::string warning =
      "Config file not found: /etc/tolvan/tolvan.conf. Starting with default settings.";
  EXPECT_EQ(gw.err(), "WARNING: " + warning + "\n");
  EXPECT_EQ(gw.run_alias("echo?text=defaults").body, "defaults");
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait_exit(), 0);
  const std::string log = gw.app_log();
  EXPECT_NE(log.find(" INFO tolvan Tolvan version "), std::string::npos) << log;
  EXPECT_NE(log.find(" INFO tolvan Running on "), std::string::npos) << log;
  EXPECT_NE(log.find(" WARNING tolvan " + warning), std::string::npos) << log;
}

TEST(Startup, ServesHttpsWithTheConfiguredCertificate) {
  Gateway gw;
  const std::string cert = gw.path("cert.pem").string();
  const std::string key = gw.path("key.pem").string();
  const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                          "-days 2 -subj /CN=localhost -keyout " + key + " -out " + cert +
                          " >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "openssl could not make a certificate";
  ASSERT_TRUE(gw.start({"--ssl-enabled", "true", "--ssl-cert", cert, "--ssl-key", key}))
      << gw.err();

  const HttpResponse r =
      gw.request("POST", "/run/echo?text=secure", {{"X-API-Key", "alice-key"}}, "", true);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "secure");
  EXPECT_THROW(gw.request("POST", "/run/echo?text=plain", {{"X-API-Key", "alice-key"}}),
               std::runtime_error)
      << "plain HTTP on the TLS port";
}

TEST(Startup, TheExampleConfigurationServesAsDocumented) {
  Gateway gw;
  const auto p = [&](const char* rel) { return gw.path(rel).string(); };
  ASSERT_TRUE(gw.start_raw({"--config", "examples/tolvan.conf", "--listen-port",
                            std::to_string(gw.port()), "--shared-dir", p("shared"), "--log-dir",
                            p("logs"), "--pid-file", p("tolvan.pid"), "--app-log",
                            p("app.log") + " info plain", "--audit-log", p("audit.log")},
                           source_dir()))
      << gw.err();
  const std::string key = "demo-key-3f9c2a7e51";
  HttpResponse r = gw.run_alias("greet?name=World", key);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "Hello, World!\n");
  r = gw.run_alias("greet?name=Robert%27%3B%20rm", key);
  EXPECT_EQ(r.status, 400) << "validators refuse what the alias does not expect";

  r = gw.run_alias("divide", key, R"({"a": 7, "b": 2})", "application/json");
  EXPECT_EQ(r.body, "3\n");
  r = gw.run_alias("divide", key, R"({"a": 7, "b": 0})", "application/json");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.reason, "Division by zero");

  r = gw.run_alias("sysinfo", key);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(nlohmann::json::parse(r.body).at("exit_code"), 0) << r.body;

  r = gw.run_alias("report?title=Quarterly", key);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("title.txt"), std::string::npos);
  EXPECT_NE(r.body.find("generated-at.txt"), std::string::npos);

  EXPECT_EQ(gw.run_alias("slow?seconds=5", key).status, 504);
  EXPECT_EQ(gw.run_alias("slow", key).body, "done after 1 s\n");
}

}  // namespace
}  // namespace tolvan::e2e
