// Container aliases against a real container engine (DOCKER_HOST). Skipped when no engine
// answers, unless TOLVAN_REQUIRE_ENGINE=1 makes that a failure.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/support.h"

namespace tolvan::e2e {
namespace {

constexpr const char* kImage = "localhost/gwtest-busybox:latest";

// One HTTP/1.0 request on the engine's unix socket; the whole answer, or "" when the socket
// does not answer.
std::string engine_call(const std::string& socket_path, const std::string& method,
                        const std::string& target) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (fd < 0 || socket_path.size() >= sizeof addr.sun_path) {
    if (fd >= 0) ::close(fd);
    return "";
  }
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string req = method + " " + target + " HTTP/1.0\r\nHost: engine\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        answer.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

bool pings(const std::string& socket_path) {
  return engine_call(socket_path, "GET", "/_ping").find(" 200 ") != std::string::npos;
}

// The unix socket DOCKER_HOST names, or "" for any other kind of host.
std::string engine_socket() {
  const char* host = getenv("DOCKER_HOST");
  if (host == nullptr || std::strncmp(host, "unix://", 7) != 0) return "";
  return host + 7;
}

bool engine_answers() {
  return pings(engine_socket());
}

// The local registry the test engine comes with, for pulls.
bool registry_answers() {
  try {
    return http(5000, "GET", "/v2/").status == 200;
  } catch (const std::exception&) {
    return false;
  }
}

// A second API service of the same engine (same storage and containers) on a socket of its
// own, which a test may stop and start again without disturbing the tests that use
// DOCKER_HOST. Needs the configuration `scripts/container-engine/up` leaves beside its socket.
class SecondService {
 public:
  explicit SecondService(fs::path socket) : socket_(std::move(socket)) {}
  ~SecondService() { stop(); }
  SecondService(const SecondService&) = delete;
  SecondService& operator=(const SecondService&) = delete;

  static bool available() { return fs::exists(engine_dir() / "containers.conf"); }
  const fs::path& socket() const { return socket_; }

  bool start() {
    const fs::path dir = engine_dir();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setenv("CONTAINERS_CONF", (dir / "containers.conf").c_str(), 1);
      ::setenv("CONTAINERS_STORAGE_CONF", (dir / "storage.conf").c_str(), 1);
      ::setenv("CONTAINERS_REGISTRIES_CONF", (dir / "registries.conf").c_str(), 1);
      const std::string log = socket_.string() + ".log";
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      const std::string url = "unix://" + socket_.string();
      ::execlp("podman", "podman", "system", "service", "--time=0", url.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid_ > 0 && eventually([&] { return pings(socket_); });
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  static fs::path engine_dir() { return fs::path(engine_socket()).parent_path(); }

  fs::path socket_;
  pid_t pid_ = -1;
};

// The id and state of every container whose description mentions `token`.
std::vector<std::pair<std::string, std::string>> containers_with(const std::string& token) {
  const std::string answer = engine_call(engine_socket(), "GET", "/v1.41/containers/json?all=1");
  const std::size_t body = answer.find("\r\n\r\n");
  std::vector<std::pair<std::string, std::string>> found;
  if (body == std::string::npos) return found;
  for (const nlohmann::json& c : nlohmann::json::parse(answer.substr(body + 4))) {
    if (c.dump().find(token) == std::string::npos) continue;
    found.emplace_back(c.value("Id", ""), c.value("State", ""));
  }
  return found;
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (engine_answers()) return;
    const char* require = getenv("TOLVAN_REQUIRE_ENGINE");
    if (require != nullptr && std::string(require) == "1") {
      FAIL() << "TOLVAN_REQUIRE_ENGINE=1 but no engine answers on DOCKER_HOST";
    }
    GTEST_SKIP() << "no container engine on DOCKER_HOST";
  }

  static void add_container_aliases(Gateway& gw) {
    gw.add_config("ContainerNetwork none");
    gw.write("aliases.d/boxed.yaml", std::string(R"(- name: boxed
  type: container
  mode: inline
  image: )") + kImage + R"(
  parameters:
    word:
      validator: "[a-z ]{1,20}"
  command: "echo {shell_quote(word)}"
  timeout: 60
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain
- name: boxed-exit
  type: container
  mode: inline
  image: )" + kImage + R"(
  command: "sh -c 'echo out; echo err >&2; exit 3'"
  timeout: 60
  exitCodeMap:
    3: {status: 409, text: Three from a container}
  output:
    multiple_values:
      - {parameter_name: out, source: "%stdOut"}
      - {parameter_name: err, source: "%stdErr"}
      - {parameter_name: code, source: "%exitCode"}
)");
    gw.write("auth.d/boxes.yaml",
             "- username: boxer\n  api_keys: [box-key]\n"
             "  aliases: [boxed, boxed-exit]\n");
  }
};

TEST_F(Engine, ContainerAliasesRunAndAreAudited) {
  Gateway gw;
  add_container_aliases(gw);
  ASSERT_TRUE(gw.start()) << gw.err();

  HttpResponse r = gw.request("POST", "/run/boxed?word=two%20words",
                              {{"X-API-Key", "box-key"}, {"X-Correlation-ID", "engine-1"}});
  ASSERT_EQ(r.status, 200) << r.body << "\n" << gw.app_log();
  EXPECT_EQ(r.body, "two words\n");

  r = gw.run_alias("boxed-exit", "box-key");
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.reason, "Three from a container");
  EXPECT_NE(r.body.find("\"code\": 3"), std::string::npos) << r.body;

  const std::regex line(
      R"(cid=engine-1 user=boxer alias=boxed status=200 code=OK duration=\d+ms exitcode=0 containerid=\w+ imageid=\S+)");
  EXPECT_TRUE(eventually([&] { return std::regex_search(gw.audit_log(), line); }))
      << gw.audit_log();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait_exit(), 0);
}

TEST_F(Engine, ContainerModeStartsWhenTheEngineAnswers) {
  Gateway gw;
  add_container_aliases(gw);
  ASSERT_TRUE(gw.start({"--container", "1"})) << gw.err();
  const std::string log = gw.app_log();
  EXPECT_NE(log.find("INFO tolvan Running on container (configured)"), std::string::npos) << log;
  EXPECT_NE(log.find("WARNING tolvan Tolvan is running in a container but ExternalDir is not set"),
            std::string::npos)
      << log;
  EXPECT_EQ(gw.run_alias("boxed?word=inside", "box-key").body, "inside\n");
}

TEST_F(Engine, StartupPrefetchPullsOrRefusesToStart) {
  if (!registry_answers()) GTEST_SKIP() << "no local registry on 127.0.0.1:5000";
  {
    Gateway gw;
    gw.add_config("PrefetchImage on-start");
    gw.write("aliases.d/pulled.yaml", R"(name: pulled
type: container
mode: inline
image: 127.0.0.1:5000/gwtest-busybox:latest
output: {single_value: {source: "%stdOut", content-type: text/plain}}
)");
    ASSERT_TRUE(gw.start()) << gw.err();
    EXPECT_NE(gw.app_log().find(
                  "Pulled image '127.0.0.1:5000/gwtest-busybox:latest' at startup (prefetch)"),
              std::string::npos)
        << gw.app_log();
  }
  Gateway gw;
  gw.write("aliases.d/missing.yaml", R"(name: missing
type: container
mode: inline
image: 127.0.0.1:5000/gwtest-no-such-image:latest
prefetchImage: on-start
output: {single_value: {source: "%stdOut", content-type: text/plain}}
)");
  EXPECT_EQ(gw.run({"--config", gw.write_config().string()}), 1);
  EXPECT_EQ(gw.err().rfind(
                "ERROR: Failed to prefetch image '127.0.0.1:5000/gwtest-no-such-image:latest' at "
                "startup: ",
                0),
            0u)
      << gw.err();
  EXPECT_FALSE(fs::exists(gw.path("tolvan.pid")));
}

// The engine's API service goes away while a container runs. The request is answered with a
// failure at once, the run directory is removed, and the container the engine could not
// remove then is removed once the service is back.
TEST_F(Engine, EngineStoppedMidRunLeavesNoContainerOnceItIsBack) {
  if (!SecondService::available())
    GTEST_SKIP() << "the engine's configuration is not beside its socket";
  Gateway gw;
  SecondService service(gw.path("engine.sock"));
  ASSERT_TRUE(service.start()) << read_file(gw.path("engine.sock.log"));

  const std::string token =
      "stopped-engine-" + std::to_string(::getpid()) + "-" + std::to_string(gw.port());
  gw.add_config("ContainerNetwork none");
  // The engine runs on this host, so SharedDir is its own host-side path.
  gw.add_config("ExternalDir " + gw.path("shared").string());
  gw.write("aliases.d/long.yaml", std::string(R"(name: long
type: container
mode: inline
image: )") + kImage + R"(
command: "sh -c 'sleep 60 || echo )" + token +
                                      R"('"
timeout: 90
volumes:
  - {source: "scratch/", location: /scratch/}
output:
  single_value: {source: "%stdOut", content-type: text/plain}
)");
  gw.write("auth.d/long.yaml", "- username: waiter\n  api_keys: [long-key]\n  aliases: [long]\n");
  const std::string old_host = getenv("DOCKER_HOST");
  ::setenv("DOCKER_HOST", ("unix://" + service.socket().string()).c_str(), 1);
  const bool started = gw.start();
  ::setenv("DOCKER_HOST", old_host.c_str(), 1);
  ASSERT_TRUE(started) << gw.err();

  std::future<HttpResponse> answer = std::async(std::launch::async, [&] {
    return gw.request("POST", "/run/long",
                      {{"X-API-Key", "long-key"}, {"X-Correlation-ID", "stopped-engine"}});
  });
  ASSERT_TRUE(eventually([&] {
    const auto found = containers_with(token);
    return found.size() == 1 && found[0].second == "running";
  })) << gw.app_log()
      << (answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready ? answer.get().body
                                                                                : "");
  EXPECT_TRUE(fs::exists(gw.path("shared/stopped-engine")));
  service.stop();

  ASSERT_EQ(answer.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "the request waited for the container although the engine had gone";
  const HttpResponse r = answer.get();
  EXPECT_EQ(r.status, 500) << r.body;
  EXPECT_EQ(r.body, R"({"error": "Execution failed"})");
  EXPECT_FALSE(fs::exists(gw.path("shared/stopped-engine")));
  EXPECT_TRUE(gw.log_shows("retrying in the background"));
  ASSERT_EQ(containers_with(token).size(), 1u) << "the engine kept the container while away";

  ASSERT_TRUE(service.start()) << read_file(gw.path("engine.sock.log"));
  EXPECT_TRUE(eventually([&] { return containers_with(token).empty(); }, std::chrono::seconds(40)))
      << gw.app_log();
  EXPECT_TRUE(gw.log_shows("left behind while the engine could not remove it"));
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait_exit(), 0);
}

}  // namespace
}  // namespace tolvan::e2e
