// Container runs against a real engine, found through DOCKER_HOST. Without a reachable engine
// these tests are skipped, unless TOLVAN_REQUIRE_ENGINE=1 makes that a failure.

#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "docker/docker.h"
#include "executor/executor.h"
#include "executor/test_support.h"
#include "value/codec.h"

namespace tolvan::executor {
namespace {

namespace fs = std::filesystem;
using testing_support::keys;
using testing_support::read_file;
using testing_support::read_zip;

constexpr const char* kImage = "localhost/gwtest-busybox:latest";

class EngineTest : public testing_support::ExecutorTest {
 protected:
  void SetUp() override {
    const char* host = getenv("DOCKER_HOST");
    const bool required = getenv("TOLVAN_REQUIRE_ENGINE") != nullptr &&
                          std::string(getenv("TOLVAN_REQUIRE_ENGINE")) == "1";
    std::string problem;
    if (host == nullptr || *host == '\0') {
      problem = "DOCKER_HOST is not set";
    } else {
      try {
        client_ = docker::Client::from_env();
      } catch (const std::exception& e) {
        problem = std::string("engine unreachable: ") + e.what();
      }
    }
    if (!problem.empty()) {
      if (required) FAIL() << problem;
      GTEST_SKIP() << problem;
    }
    ExecutorTest::SetUp();
    // The test engine has no bridge network.
    configure("ContainerNetwork none\n");
  }

  std::string container_alias(const std::string& name, const std::string& more) const {
    return "- name: " + name + "\n  type: container\n  mode: inline\n  image: " + kImage + "\n" +
           more;
  }

  std::shared_ptr<docker::Client> client_;
};

constexpr const char* kStdOut = "  output: {single_value: {source: '%stdOut', content-type: x}}\n";

TEST_F(EngineTest, CompletedContainerReportsStatusStreamsAndShortIds) {
  use_aliases(container_alias(
      "status", "  command: sh -c 'echo out; echo err >&2; exit 2'\n" + std::string(kStdOut)));
  const Value r = run("status");
  EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "returncode", "container_id", "image_id",
                                               "stdout", "stderr", "file_outputs"}));
  EXPECT_EQ(r.at("success"), Value(true)) << to_literal(r);
  EXPECT_EQ(r.at("returncode"), Value(2));
  EXPECT_EQ(r.at("stdout"), Value("out\n"));
  EXPECT_EQ(r.at("stderr"), Value("err\n"));
  EXPECT_EQ(r.at("container_id").as_string().size(), 12u);
  EXPECT_EQ(r.at("image_id").as_string().size(), 12u);
  EXPECT_THROW(client_->inspect_container(r.at("container_id").as_string()), docker::NotFound);
}

TEST_F(EngineTest, TimeLimitKillsTheContainerAndLeavesNothingBehind) {
  use_aliases(
      container_alias("slow", "  command: sleep 30\n  timeout: 1\n" + std::string(kStdOut)));
  const Value r = run("slow");
  EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "timed_out", "returncode", "container_id",
                                               "image_id", "error"}));
  EXPECT_EQ(r.at("timed_out"), Value(true));
  EXPECT_TRUE(r.at("returncode").is_null());
  EXPECT_EQ(r.at("error"), Value("Container timed out after 1 seconds"));
  ASSERT_TRUE(r.at("container_id").is_string());
  EXPECT_THROW(client_->inspect_container(r.at("container_id").as_string()), docker::NotFound);
}

TEST_F(EngineTest, VolumesCarryFilesInAndFolderContentOut) {
  use_aliases(
      container_alias("volumes",
                      "  command: sh -c 'cat /in/data.txt; echo made > /out/made.txt'\n"
                      "  parameters: {p: {validator: '[a-z]+'}}\n"
                      "  volumes:\n"
                      "    - {location: /in/data.txt, content: 'given {p}'}\n"
                      "    - {location: /out/, source: out/, preserve: yes}\n"
                      "  preserveStreams: true\n"
                      "  output: {single_value: {source: out/, content-type: application/zip}}\n"));
  const Value r = run("volumes", Mapping{{"p", "here"}});
  ASSERT_EQ(r.at("success"), Value(true)) << to_literal(r);
  EXPECT_EQ(r.at("stdout"), Value("given here"));
  const auto entries = read_zip(*base64_decode(r.at("file_outputs").at("out/").as_string()));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "made.txt");
  EXPECT_EQ(entries[0].data, "made\n");
  // Closing stage: streams and the marked volume are preserved, the run directory is gone.
  EXPECT_EQ(read_file(log_dir() / testing_support::kCid / "stdout.log"), "given here");
  EXPECT_EQ(read_file(log_dir() / testing_support::kCid / "made.txt"), "made\n");
  EXPECT_FALSE(fs::exists(run_dir()));
}

TEST_F(EngineTest, UnavailableImageIsReportedWithNullIds) {
  use_aliases(
      "- name: missing\n  type: container\n  mode: inline\n"
      "  image: 127.0.0.1:5000/gwtest-no-such-image:latest\n" +
      std::string(kStdOut));
  const Value r = run("missing");
  EXPECT_EQ(keys(r), (std::vector<std::string>{"success", "error", "container_id", "image_id"}));
  EXPECT_TRUE(r.at("error").as_string().starts_with("Container image not found: "))
      << to_literal(r);
  EXPECT_TRUE(r.at("container_id").is_null());
  EXPECT_TRUE(r.at("image_id").is_null());
  EXPECT_TRUE(messages_at(log::ERROR).empty());
}

TEST_F(EngineTest, ContainerSeesOnlyTheAliasEnvironment) {
  ASSERT_EQ(setenv("TOLVAN_GATEWAY_ONLY", "leaked", 1), 0);
  use_aliases(
      container_alias("env",
                      "  command: sh -c 'echo \"$GREETING|$TOLVAN_GATEWAY_ONLY|%sharedDir\"'\n"
                      "  environment: {GREETING: hi}\n" +
                          std::string(kStdOut)));
  const Value r = run("env");
  EXPECT_EQ(r.at("stdout"), Value("hi||%sharedDir\n")) << to_literal(r);
}

}  // namespace
}  // namespace tolvan::executor
