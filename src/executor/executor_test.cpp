// The execution front: lookup, defaults and validation, dispatch, and its shared helpers.

#include "executor/executor.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "docker/testing/fake_engine.h"
#include "executor/test_support.h"

namespace tolvan::executor {
namespace {

using testing_support::ExecutorTest;
using testing_support::keys;

constexpr const char* kGreet = R"(
- name: greet
  type: process
  mode: inline
  command: echo hello {who}
  parameters:
    who: {validator: '[a-z]*', default: world}
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
- name: pair
  type: process
  mode: inline
  command: echo {a} {b}
  parameters:
    a: {validator: '[a-z]+'}
    b: {validator: '[a-z]+'}
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
)";

TEST_F(ExecutorTest, UnknownAliasGivesExactlyTwoKeys) {
  use_aliases(kGreet);
  const Value r = run("deploy");
  EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "error"}));
  EXPECT_EQ(r.at("success"), Value(false));
  EXPECT_EQ(r.at("error"), Value("Alias 'deploy' not found"));
}

TEST_F(ExecutorTest, ValidationErrorsAreListedInOrderAndJoined) {
  use_aliases(kGreet);
  const Value r = run("pair", Mapping{{"a", "1"}, {"b", "2"}});
  EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "validation_error", "errors", "error"}));
  EXPECT_EQ(r.at("success"), Value(false));
  EXPECT_EQ(r.at("validation_error"), Value(true));
  const Sequence& errors = r.at("errors").as_sequence();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(r.at("error"), Value("Parameter validation failed: " + errors[0].as_string() + ", " +
                                 errors[1].as_string()));
}

TEST_F(ExecutorTest, DefaultsFillMissingParametersAndTheCallersMappingStaysAsItWas) {
  use_aliases(kGreet);
  const Value given = Mapping{};
  const Value with_empty = Mapping{{"who", ""}};
  for (const Value& params : {Value(), given, with_empty}) {
    const Value before = params;
    const Value r = run("greet", params);
    ASSERT_EQ(r.at("success"), Value(true)) << to_literal(r);
    EXPECT_EQ(r.at("stdout"), Value("hello world\n"));
    EXPECT_EQ(params, before);
  }
}

TEST_F(ExecutorTest, TypeMustBeExactlyProcessOrContainer) {
  const struct {
    Value type;
    const char* error;
  } cases[] = {{"Process", "Unknown alias type: 'Process'"}, {nullptr, "Unknown alias type: None"}};
  for (const auto& c : cases) {
    use_raw_alias("odd", Mapping{{"name", "odd"}, {"type", c.type}, {"command", "true"}});
    const Value r = run("odd");
    EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "error"}));
    EXPECT_EQ(r.at("error"), Value(c.error));
  }
}

TEST_F(ExecutorTest, ResolveTimeoutAppliesTheDefaultAndTheCap) {
  const struct {
    Value timeout;
    const char* max_timeout_line;
    Value expected;
  } cases[] = {
      {nullptr, "", 60},
      {0, "", 60},
      {300, "MaxTimeout 120", 120},
      {120, "MaxTimeout 120", 120},
      {300, "MaxTimeout 0", 300},
      {300, "", 300},
      {true, "", 1},
  };
  for (const auto& c : cases) {
    configure(c.max_timeout_line);
    Mapping alias{{"type", "process"}};
    if (!c.timeout.is_null()) alias.set("timeout", c.timeout);
    EXPECT_EQ(detail::resolve_timeout(alias), c.expected)
        << to_literal(c.timeout) << " with '" << c.max_timeout_line << "'";
  }
}

TEST(EnvValue, WritesScalarsAsYamlWouldRead) {
  EXPECT_EQ(detail::env_value(true), "true");
  EXPECT_EQ(detail::env_value(false), "false");
  EXPECT_EQ(detail::env_value(42), "42");
  EXPECT_EQ(detail::env_value(1.5), "1.5");
  EXPECT_EQ(detail::env_value("{x} y"), "{x} y");
}

TEST(BuildEnv, EmptyEnvironmentInheritsAndAliasVariablesReplaceInherited) {
  ASSERT_EQ(setenv("TOLVAN_TEST_INHERITED", "outer", 1), 0);
  ASSERT_EQ(setenv("TOLVAN_TEST_REPLACED", "outer", 1), 0);
  EXPECT_TRUE(detail::build_env(Mapping{{"environment", Mapping{}}}, {}, std::nullopt).is_null());
  EXPECT_TRUE(detail::build_env(Mapping{}, {}, std::nullopt).is_null());

  const Value alias = Mapping{
      {"environment",
       Mapping{{"TOLVAN_TEST_REPLACED", "{p}"}, {"WHERE", "%sharedDir/x"}, {"FLAG", true}}}};
  const Value env = detail::build_env(alias, Mapping{{"p", "inner"}}, std::string("/run/d"));
  ASSERT_TRUE(env.is_mapping());
  EXPECT_EQ(env.at("TOLVAN_TEST_INHERITED"), Value("outer"));
  EXPECT_EQ(env.at("TOLVAN_TEST_REPLACED"), Value("inner"));
  EXPECT_EQ(env.at("WHERE"), Value("/run/d/x"));
  EXPECT_EQ(env.at("FLAG"), Value("true"));
}

TEST(ShortId, KeepsTwelveCharactersAfterTheLastColon) {
  const std::string digest(64, 'a');
  const struct {
    Value id;
    Value expected;
  } cases[] = {
      {nullptr, nullptr},
      {"", nullptr},
      {"abc", "abc"},
      {"sha256:0123456789abcdef" + digest, "0123456789ab"},
      {"0123456789abcdef" + digest, "0123456789ab"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(detail::short_id(c.id), c.expected) << to_literal(c.id);
}

// Needs no engine: the client cannot be created, which is reported as a result, and the run
// directory made for the volume is still removed.
TEST_F(ExecutorTest, EngineUnavailableIsAResultAndTheRunDirectoryIsRemoved) {
  use_aliases(R"(
- name: boxed
  type: container
  mode: inline
  image: localhost/none:latest
  volumes: [{location: /in.txt, content: hi}]
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
)");
  const char* saved = getenv("DOCKER_HOST");
  const std::string restore = saved != nullptr ? saved : "";
  ASSERT_EQ(setenv("DOCKER_HOST", ("unix://" + (tmp_ / "no-engine.sock").string()).c_str(), 1), 0);
  Executor fresh;
  const Value r = fresh.execute_alias("boxed");
  if (saved != nullptr)
    setenv("DOCKER_HOST", restore.c_str(), 1);
  else
    unsetenv("DOCKER_HOST");

  EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "error"}));
  EXPECT_EQ(r.at("success"), Value(false));
  EXPECT_TRUE(r.at("error").as_string().starts_with("Docker not available: ")) << to_literal(r);
  EXPECT_FALSE(std::filesystem::exists(run_dir()));
  const auto errors = messages_at(log::ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Docker client unavailable: "));
}

// An engine that stops answering in the middle of a run (frozen, its socket still open): the
// run still ends some seconds after its limit, and once the engine answers again the
// container it could not remove is removed.
TEST_F(ExecutorTest, AnEngineThatStopsAnsweringCannotHoldTheRunPastTheLimit) {
  use_aliases(R"(
- name: boxed
  type: container
  mode: inline
  image: localhost/any:latest
  timeout: 1
  output: {single_value: {source: '%stdOut', content-type: text/plain}}
)");
  const std::string id(64, 'c');
  std::atomic<bool> frozen{false};
  std::atomic<int> removed{0};
  docker::testing::FakeEngine engine(
      [&](const docker::testing::HttpRequest& req, docker::testing::Exchange& ex) {
        if (req.path.ends_with("/wait")) frozen = true;  // from here on, nothing is answered
        // A frozen engine keeps the connection open and says nothing, for up to a minute.
        for (int i = 0; frozen && i < 3000; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (req.path.ends_with("/_ping")) return ex.reply(200, "OK", "text/plain");
        if (req.path.ends_with("/containers/create"))
          return ex.reply(201, R"({"Id": ")" + id + "\"}");
        if (req.path.ends_with("/start")) return ex.reply(204, "");
        if (req.method == "GET" && req.path.ends_with("/json")) {
          return ex.reply(200, R"({"Id": ")" + id + R"(", "Image": "sha256:)" +
                                   std::string(64, 'e') + R"(", "Config": {"Tty": false}})");
        }
        if (req.method == "DELETE") ++removed;
        ex.reply(req.method == "DELETE" ? 204 : 500, "");
      });
  const char* saved = getenv("DOCKER_HOST");
  const std::string restore = saved != nullptr ? saved : "";
  ASSERT_EQ(setenv("DOCKER_HOST", engine.settings().host.c_str(), 1), 0);
  Executor fresh;
  std::future<Value> run =
      std::async(std::launch::async, [&] { return fresh.execute_alias("boxed"); });
  const bool answered = run.wait_for(std::chrono::seconds(90)) == std::future_status::ready;
  if (!answered) frozen = false;  // let the run end, so the failure below is reported
  const Value r = run.get();
  if (saved != nullptr)
    setenv("DOCKER_HOST", restore.c_str(), 1);
  else
    unsetenv("DOCKER_HOST");

  ASSERT_TRUE(answered) << "the run waited for the frozen engine";
  EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "timed_out", "returncode", "container_id",
                                               "image_id", "error"}));
  EXPECT_EQ(r.at("error"), Value("Container timed out after 1 seconds"));
  EXPECT_EQ(removed.load(), 0);
  frozen = false;
  // The removal that failed is retried until the engine answers it.
  const std::string done =
      "Removed container cccccccccccc, left behind while the engine could "
      "not remove it";
  const auto reported = [&] {
    const auto infos = messages_at(log::INFO);
    return std::find(infos.begin(), infos.end(), done) != infos.end();
  };
  for (int i = 0; i < 300 && !reported(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(reported()) << ::testing::PrintToString(engine.requests()) << "\n"
                          << ::testing::PrintToString(messages_at(log::WARNING));
}

}  // namespace
}  // namespace tolvan::executor
