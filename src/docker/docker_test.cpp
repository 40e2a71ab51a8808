#include <gtest/gtest.h>
#include <stdlib.h>

#include <exception>
#include <optional>
#include <thread>
#include <tuple>
#include <string>
#include <vector>

#include "docker/docker.h"
#include "docker/internal/wire.h"
#include "docker/testing/fake_engine.h"
#include "value/json.h"
#include "value/testing/temp_dir.h"

namespace tolvan::docker {
namespace {

using testing::Exchange;
using testing::FakeEngine;
using testing::HttpRequest;
using testing::log_frame;

// ---- command splitting -------------------------------------------------------------------

struct SplitCase {
  const char* input;
  std::vector<std::string> words;
};

TEST(split_command, FollowsShellWordRulesWithoutExpansion) {
  const SplitCase cases[] = {
      {"echo hello  world", {"echo", "hello", "world"}},
      {" \t\n", {}},
      {"sh -c 'echo $HOME; exit 3'", {"sh", "-c", "echo $HOME; exit 3"}},
      {R"(a'b c'd)", {"ab cd"}},
      {R"('' "" x)", {"", "", "x"}},
      {R"("a \"q\" \\ \$x \`y\` \n")", {R"(a "q" \ $x `y` \n)"}},
      {R"('back\slash' "it's")", {R"(back\slash)", "it's"}},
      {R"(a\ b \'c \\)", {"a b", "'c", "\\"}},
      {"one\\\ntwo \"x\\\ny\"", {"onetwo", "xy"}},
      {"$(rm -rf /) *.txt ~ #c", {"$(rm", "-rf", "/)", "*.txt", "~", "#c"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_command(c.input), c.words) << c.input;
  }
}

TEST(split_command, RejectsUnfinishedQuotingWithAMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"echo 'open", "unterminated single quote in command"},
      {"echo \"open \\\"", "unterminated double quote in command"},
      {"echo \\", "command ends with an unescaped backslash"},
  };
  for (const auto& [input, message] : cases) {
    try {
      split_command(input);
      ADD_FAILURE() << "no error for " << input;
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), message) << input;
    }
  }
}

// ---- wire formats ------------------------------------------------------------------------

TEST(LogDemuxer, ReassemblesFramesSplitAnywhere) {
  const std::string stream = log_frame(1, "out one\n") + log_frame(2, "err one\n") +
                             log_frame(1, "") + log_frame(1, std::string(300, 'x')) +
                             log_frame(2, "err two\n") + log_frame(1, "out two\n");
  const std::string want_out = "out one\n" + std::string(300, 'x') + "out two\n";
  for (std::size_t piece = 1; piece <= stream.size(); piece += (piece < 20 ? 1 : 37)) {
    detail::LogDemuxer out(1);
    detail::LogDemuxer err(2);
    for (std::size_t i = 0; i < stream.size(); i += piece) {
      out.feed(std::string_view(stream).substr(i, piece));
      err.feed(std::string_view(stream).substr(i, piece));
    }
    EXPECT_EQ(out.output(), want_out) << "chunks of " << piece;
    EXPECT_EQ(err.output(), "err one\nerr two\n") << "chunks of " << piece;
    EXPECT_FALSE(out.incomplete());
  }
}

TEST(LogDemuxer, KeepsTheReceivedPartOfATruncatedFrame) {
  const std::string frame = log_frame(1, "abcdef");
  detail::LogDemuxer out(1);
  out.feed(std::string_view(frame).substr(0, frame.size() - 2));
  EXPECT_EQ(out.output(), "abcd");
  EXPECT_TRUE(out.incomplete());
}

TEST(split_image_reference, SeparatesTagDigestAndRegistryPort) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"busybox", "busybox", "latest"},
      {"busybox:1.36", "busybox", "1.36"},
      {"127.0.0.1:5000/team/app", "127.0.0.1:5000/team/app", "latest"},
      {"127.0.0.1:5000/app:v2", "127.0.0.1:5000/app", "v2"},
      {"app@sha256:abcd", "app", "sha256:abcd"},
  };
  for (const auto& [ref, repo, tag] : cases) {
    EXPECT_EQ(detail::split_image_reference(ref), std::make_pair(std::string(repo), std::string(tag)))
        << ref;
  }
}

TEST(pull_stream_error, FindsAnErrorAnywhereInTheStream) {
  EXPECT_EQ(detail::pull_stream_error("{\"status\":\"Pulling\"}\n{\"status\":\"Done\"}\n"), std::nullopt);
  EXPECT_EQ(detail::pull_stream_error("{\"status\":\"Pulling\"}\n"
                                      "{\"errorDetail\":{\"message\":\"manifest unknown\"},"
                                      "\"error\":\"manifest unknown\"}\n{\"status\":\"x\"}\n"),
            "manifest unknown");
  EXPECT_EQ(detail::pull_stream_error("{\"errorDetail\":{\"message\":\"denied\"}}"), "denied");
}

// ---- settings ----------------------------------------------------------------------------

class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~EnvVar() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Settings, ComeFromTheUsualEnvironment) {
  tolvan::testing::TempDir certs;
  certs.write("ca.pem", "x");
  certs.write("key.pem", "x");
  {
    EnvVar host("DOCKER_HOST", nullptr);
    EnvVar verify("DOCKER_TLS_VERIFY", nullptr);
    EnvVar tls("DOCKER_TLS", nullptr);
    const Settings s = Settings::from_env();
    EXPECT_EQ(s.host, "unix:///var/run/docker.sock");
    EXPECT_FALSE(s.tls);
  }
  {
    EnvVar host("DOCKER_HOST", "tcp://engine.example:2376");
    EnvVar verify("DOCKER_TLS_VERIFY", "1");
    EnvVar path("DOCKER_CERT_PATH", certs.path().c_str());
    const Settings s = Settings::from_env();
    EXPECT_EQ(s.host, "tcp://engine.example:2376");
    EXPECT_TRUE(s.tls);
    EXPECT_TRUE(s.verify_peer);
    EXPECT_EQ(s.ca_cert, (certs / "ca.pem").string());
    EXPECT_EQ(s.client_cert, "");  // cert.pem is absent
    EXPECT_EQ(s.client_key, (certs / "key.pem").string());
  }
}

TEST(Client, AcceptsOnlyUnixAndTcpHosts) {
  for (const char* good : {"unix:///run/engine.sock", "tcp://127.0.0.1:2375", "tcp://[::1]", "tcp://h/"}) {
    Settings s;
    s.host = good;
    EXPECT_NO_THROW(Client{s}) << good;
  }
  for (const char* bad : {"unix://relative.sock", "unix://", "ssh://host", "http://h:1", "tcp://", "/var/run/x.sock"}) {
    Settings s;
    s.host = bad;
    EXPECT_THROW(Client{s}, Error) << bad;
  }
}

// ---- transport and engine faults (fake engine) ---------------------------------------------

TEST(Client, MissingSocketIsAConnectionErrorNamingTheSocket) {
  tolvan::testing::TempDir dir;
  Settings s;
  s.host = "unix://" + (dir / "absent.sock").string();
  try {
    Client(s).ping();
    FAIL() << "ping succeeded";
  } catch (const ConnectionError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot connect to the container engine at " + s.host +
                                         ": No such file or directory");
  }
}

TEST(Client, ErrorStatusesBecomeTypedErrorsWithTheEngineMessage) {
  FakeEngine engine([](const HttpRequest& req, Exchange& ex) {
    if (req.path == "/v1.41/_ping") return ex.reply(500, "{\"message\":\"engine is sick\"}");
    if (req.path == "/v1.41/images/nosuch:1/json") return ex.reply(404, "{\"message\":\"No such image: nosuch:1\"}");
    if (req.path == "/v1.41/containers/gone/json") return ex.reply(404, "{\"message\":\"no such container\"}");
    ex.reply(409, "conflict in plain text\n", "text/plain");
  });
  const Client client(engine.settings());
  try {
    client.ping();
    FAIL();
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 500);
    EXPECT_STREQ(e.what(), "engine is sick");
  }
  EXPECT_THROW(client.inspect_image("nosuch:1"), ImageNotFound);
  try {
    client.inspect_container("gone");
    FAIL();
  } catch (const ImageNotFound&) {
    FAIL() << "a missing container is not a missing image";
  } catch (const NotFound& e) {
    EXPECT_STREQ(e.what(), "no such container");
  }
  try {
    client.kill("c1");
    FAIL();
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 409);
    EXPECT_STREQ(e.what(), "conflict in plain text");
  }
}

TEST(Client, PullFollowsTheStreamAndFailsOnAnErrorInside) {
  FakeEngine engine([](const HttpRequest& req, Exchange& ex) {
    ex.begin_chunked(200);
    ex.chunk("{\"status\":\"Pulling from app\"}\n{\"status\":\"Down");
    ex.chunk("loading\",\"progressDetail\":{}}\n");
    if (req.target.find("tag=bad") != std::string::npos) {
      ex.chunk("{\"errorDetail\":{\"message\":\"read: connection reset\"},\"error\":\"read: connection reset\"}\n");
    }
    ex.end_chunked();
  });
  const Client client(engine.settings());
  EXPECT_NO_THROW(client.pull("127.0.0.1:5000/app"));
  try {
    client.pull("127.0.0.1:5000/app:bad");
    FAIL() << "error in the stream was reported as success";
  } catch (const ApiError& e) {
    EXPECT_STREQ(e.what(), "read: connection reset");
  }
  EXPECT_EQ(engine.requests(),
            (std::vector<std::string>{"POST /v1.41/images/create?fromImage=127.0.0.1%3A5000%2Fapp&tag=latest",
                                      "POST /v1.41/images/create?fromImage=127.0.0.1%3A5000%2Fapp&tag=bad"}));
}

TEST(Client, ConnectionLostMidStreamOrMidWaitIsAConnectionError) {
  FakeEngine engine([](const HttpRequest& req, Exchange& ex) {
    if (req.path.ends_with("/wait")) return;  // closes without a word
    ex.begin_chunked(200);
    ex.chunk("{\"status\":\"Downloading\"}\n");
    // the engine dies before finishing the stream
  });
  const Client client(engine.settings());
  EXPECT_THROW(client.pull("app"), ConnectionError);
  EXPECT_THROW(client.wait("c1"), ConnectionError);
}

TEST(Client, CallsPastTheirTimeLimitFailWithTimeout) {
  FakeEngine engine([](const HttpRequest&, Exchange& ex) { ex.hang(); });
  const Client client(engine.settings());
  EXPECT_THROW(client.pull("app", 0.3), Timeout);
  EXPECT_THROW(client.wait("c1", 0.3), Timeout);
}

TEST(Client, WaitResultWithAnErrorIsAFailure) {
  FakeEngine engine([](const HttpRequest& req, Exchange& ex) {
    if (req.path == "/v1.41/containers/ok/wait") return ex.reply(200, "{\"StatusCode\":7,\"Error\":null}");
    ex.reply(200, "{\"StatusCode\":0,\"Error\":{\"Message\":\"container vanished\"}}");
  });
  const Client client(engine.settings());
  EXPECT_EQ(client.wait("ok").at("StatusCode"), Value(7));
  try {
    client.wait("bad");
    FAIL() << "a failed wait read as status 0";
  } catch (const ApiError& e) {
    EXPECT_STREQ(e.what(), "waiting for container bad failed: container vanished");
  }
}

TEST(Client, LogsAreDemultiplexedUnlessTheContainerHasATerminal) {
  const std::string frames = log_frame(1, "hello ") + log_frame(1, "world\n");
  FakeEngine engine([&frames](const HttpRequest& req, Exchange& ex) {
    const bool tty = req.path.starts_with("/v1.41/containers/tty/");
    if (req.path.ends_with("/json")) {
      return ex.reply(200, tty ? "{\"Config\":{\"Tty\":true}}" : "{\"Config\":{\"Tty\":false}}");
    }
    ex.begin_chunked(200, "application/vnd.docker.raw-stream");
    if (tty) {
      ex.chunk("raw\r\noutput\r\n");
    } else {
      for (std::size_t i = 0; i < frames.size(); i += 5) ex.chunk(frames.substr(i, 5));
    }
    ex.end_chunked();
  });
  const Client client(engine.settings());
  EXPECT_EQ(client.logs("plain", LogStream::Stdout), "hello world\n");
  EXPECT_EQ(client.logs("plain", LogStream::Stderr), "");  // the frames are all stdout
  EXPECT_EQ(client.logs("tty", LogStream::Stdout), "raw\r\noutput\r\n");
}

// The create request, and what run does around it: pull on a missing image, clean up after a
// failed start.
struct RunScript {
  int create_status_first = 201;
  int create_status_after_pull = 201;
  const char* create_message = "no such image: app:latest: image not known";
  bool pull_fails = false;
  int start_status = 204;
};

std::vector<std::string> run_against(const RunScript& script, RunOptions options,
                                     std::string* create_body = nullptr,
                                     std::exception_ptr* error = nullptr) {
  int creates = 0;
  FakeEngine engine([&](const HttpRequest& req, Exchange& ex) {
    if (req.path == "/v1.41/containers/create") {
      if (create_body != nullptr) *create_body = req.body;
      const int status = creates++ == 0 ? script.create_status_first : script.create_status_after_pull;
      if (status == 201) return ex.reply(201, "{\"Id\":\"abc123\",\"Warnings\":[]}");
      return ex.reply(status, std::string("{\"message\":\"") + script.create_message + "\"}");
    }
    if (req.path == "/v1.41/images/create") {
      ex.begin_chunked(200);
      ex.chunk(script.pull_fails ? "{\"error\":\"manifest unknown\"}\n" : "{\"status\":\"ok\"}\n");
      return ex.end_chunked();
    }
    if (req.path == "/v1.41/containers/abc123/start") {
      return ex.reply(script.start_status, script.start_status == 204 ? "" : "{\"message\":\"exec failed\"}");
    }
    if (req.path == "/v1.41/containers/abc123/json") return ex.reply(200, "{\"Id\":\"abc123\",\"Image\":\"sha256:feed\"}");
    if (req.method == "DELETE") return ex.reply(204, "");
    ex.reply(500, "{\"message\":\"unexpected\"}");
  });
  try {
    const Container c = Client(engine.settings()).run(options);
    EXPECT_EQ(c.id, "abc123");
    EXPECT_EQ(c.attrs.at("Image"), Value("sha256:feed"));
  } catch (...) {
    if (error == nullptr) throw;
    *error = std::current_exception();
  }
  std::vector<std::string> calls;
  for (const auto& r : engine.requests()) calls.push_back(r.substr(0, r.find('?')));
  return calls;
}

TEST(Client, RunSendsTheSplitCommandEnvironmentBindsAndNetwork) {
  RunOptions o;
  o.image = "app";
  o.command = "sh -c 'echo \"$A\"'";
  o.environment = {{"A", "1 2"}, {"B", "x=y"}};
  o.binds = {{"/srv/in", "/in", "ro"}, {"/srv/out", "/out", "rw"}};
  o.network_mode = "none";
  std::string body;
  run_against({}, o, &body);
  EXPECT_EQ(parse_json(body), parse_json(R"({"Image":"app","Cmd":["sh","-c","echo \"$A\""],
      "Env":["A=1 2","B=x=y"],
      "HostConfig":{"Binds":["/srv/in:/in:ro","/srv/out:/out:rw"],"NetworkMode":"none"}})"));

  o.command.reset();  // the image's own command: no Cmd at all
  o.network_mode.reset();
  run_against({}, o, &body);
  EXPECT_EQ(parse_json(body), parse_json(R"({"Image":"app","Env":["A=1 2","B=x=y"],
      "HostConfig":{"Binds":["/srv/in:/in:ro","/srv/out:/out:rw"]}})"));
}

TEST(Client, RunPullsAMissingImageOnceAndRetries) {
  RunOptions o;
  o.image = "app";
  EXPECT_EQ(run_against({.create_status_first = 404}, o),
            (std::vector<std::string>{"POST /v1.41/containers/create", "POST /v1.41/images/create",
                                      "POST /v1.41/containers/create", "POST /v1.41/containers/abc123/start",
                                      "GET /v1.41/containers/abc123/json"}));

  struct Case {
    const char* label;
    RunScript script;
  };
  const Case still_missing[] = {
      {"pull fails", {.create_status_first = 404, .pull_fails = true}},
      {"pull succeeds, image still missing", {.create_status_first = 404, .create_status_after_pull = 404}},
  };
  for (const auto& c : still_missing) {
    std::exception_ptr error;
    run_against(c.script, o, nullptr, &error);
    try {
      std::rethrow_exception(error);
    } catch (const ImageNotFound& e) {
      EXPECT_NE(std::string(e.what()).find("no such image: app:latest"), std::string::npos) << c.label;
    } catch (...) {
      ADD_FAILURE() << c.label << ": not ImageNotFound";
    }
  }
}

TEST(Client, RunDoesNotPullForOtherMissingThings) {
  RunOptions o;
  o.image = "app";
  std::exception_ptr error;
  const auto calls = run_against({.create_status_first = 404, .create_message = "network foo not found"}, o,
                                 nullptr, &error);
  EXPECT_EQ(calls, std::vector<std::string>{"POST /v1.41/containers/create"});
  try {
    std::rethrow_exception(error);
  } catch (const ImageNotFound&) {
    FAIL();
  } catch (const NotFound& e) {
    EXPECT_STREQ(e.what(), "network foo not found");
  }
}

TEST(Client, RunRemovesTheContainerWhenStartFails) {
  RunOptions o;
  o.image = "app";
  std::exception_ptr error;
  const auto calls = run_against({.start_status = 500}, o, nullptr, &error);
  EXPECT_EQ(calls, (std::vector<std::string>{"POST /v1.41/containers/create", "POST /v1.41/containers/abc123/start",
                                             "DELETE /v1.41/containers/abc123"}));
  try {
    std::rethrow_exception(error);
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 500);
    EXPECT_STREQ(e.what(), "exec failed");
  }
}

TEST(Client, SharedBetweenThreads) {
  FakeEngine engine([](const HttpRequest& req, Exchange& ex) {
    ex.reply(200, "{\"Id\":\"" + req.path.substr(std::string("/v1.41/containers/").size(), 2) + "\"}");
  });
  const Client client(engine.settings());
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const std::string id = "c" + std::to_string(t);
      for (int i = 0; i < 20; ++i) {
        const Value attrs = client.inspect_container(id);
        if (attrs.at("Id") != Value(id)) return;
      }
      seen[static_cast<std::size_t>(t)] = id;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(seen[static_cast<std::size_t>(t)], "c" + std::to_string(t));
}

}  // namespace
}  // namespace tolvan::docker
