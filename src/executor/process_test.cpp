// Process runs with real /bin/sh one-liners.

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "executor/executor.h"
#include "executor/test_support.h"

namespace tolvan::executor {
namespace {

namespace fs = std::filesystem;
using testing_support::ExecutorTest;
using testing_support::keys;
using testing_support::read_file;

const std::vector<std::string> kCompletedKeys{"success", "returncode", "pid",
                                              "stdout",  "stderr",     "file_outputs"};
const std::vector<std::string> kTimedOutKeys{"success", "timed_out", "returncode", "pid", "error"};
const std::vector<std::string> kFailedKeys{"success", "error", "pid"};

// A process alias around `command`, with optional further YAML lines (indented by two).
std::string process_alias(const std::string& name, const std::string& command,
                          const std::string& more = "") {
  return "- name: " + name +
         "\n  type: process\n  mode: inline\n  command: " + quote_literal(command) +
         "\n  output: {single_value: {source: '%stdOut', content-type: text/plain}}\n" + more;
}

// State of a process from /proc: 'Z' for a zombie, '\0' when it is gone.
char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return '\0';
  const auto paren = line.rfind(')');
  return paren + 2 < line.size() ? line[paren + 2] : '\0';
}

pid_t read_pid(const fs::path& file) {
  return static_cast<pid_t>(std::stol(read_file(file)));
}

// Whether a process (not necessarily our child) has ended or ends within a few seconds: a
// process killed a moment ago may still be on its way out. One that is not being killed, like
// the 30-second sleeps below, is still there when the wait gives up.
bool has_ended(pid_t pid) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd p{fd, POLLIN, 0};
  const int ready = poll(&p, 1, 5000);
  close(fd);
  return ready == 1;
}

TEST_F(ExecutorTest, CompletedRunsReportStatusAndBothStreams) {
  const struct {
    const char* command;
    int returncode;
    const char* out;
    const char* err;
  } cases[] = {
      {"echo out; echo err >&2; exit 3", 3, "out\n", "err\n"},
      {"printf 'a\\r\\nb\\rc\\n'; printf 'x\\r\\n' >&2", 0, "a\nb\nc\n", "x\n"},
      {"echo before; kill -9 $$", -9, "before\n", ""},
  };
  for (const auto& c : cases) {
    use_aliases(process_alias("p", c.command));
    const Value r = run("p");
    EXPECT_EQ(keys(r), kCompletedKeys) << c.command;
    EXPECT_EQ(r.at("success"), Value(true)) << to_literal(r);
    EXPECT_EQ(r.at("returncode"), Value(c.returncode)) << c.command;
    EXPECT_EQ(r.at("stdout"), Value(c.out)) << c.command;
    EXPECT_EQ(r.at("stderr"), Value(c.err)) << c.command;
    EXPECT_GT(r.at("pid").as_int(), 0);
    EXPECT_EQ(r.at("file_outputs"), Value(Mapping{}));
  }
}

TEST_F(ExecutorTest, TimeLimitKillsTheCommandAndReportsTheResolvedLimit) {
  use_aliases(process_alias("slow", "echo partial; sleep 30", "  timeout: 1\n"));
  const Value r = run("slow");
  EXPECT_EQ(keys(r), kTimedOutKeys);
  EXPECT_EQ(r.at("success"), Value(false));
  EXPECT_EQ(r.at("timed_out"), Value(true));
  EXPECT_TRUE(r.at("returncode").is_null());
  EXPECT_EQ(r.at("error"), Value("Command timed out after 1 seconds"));
  const pid_t pid = static_cast<pid_t>(r.at("pid").as_int());
  EXPECT_GT(pid, 0);
  EXPECT_EQ(process_state(pid), '\0') << "the shell must be killed and reaped";
}

// Background children of the command hold its pipes after the shell has gone. The whole
// process group is killed at the limit, so the request ends and nothing keeps running.
TEST_F(ExecutorTest, BackgroundChildrenHoldingThePipesAreKilledAtTheLimit) {
  const fs::path pid_file = tmp_ / "grandchild.pid";
  use_aliases(process_alias("bg", "sleep 30 & echo $! > " + pid_file.string() + "; echo started",
                            "  timeout: 1\n"));
  const Value r = run("bg");
  EXPECT_EQ(keys(r), kTimedOutKeys);
  EXPECT_TRUE(has_ended(read_pid(pid_file))) << "the background child is still running";
}

// A descendant that leaves the process group cannot be killed with it; the pipes it holds are
// read for a bounded time only, so the request still ends while it runs on.
TEST_F(ExecutorTest, ADescendantThatLeftTheGroupDoesNotHoldTheRequest) {
  const fs::path pid_file = tmp_ / "escaped.pid";
  use_aliases(process_alias("escape", "setsid sleep 60 & echo $! > " + pid_file.string(),
                            "  timeout: 1\n"));
  const Value r = run("escape");
  EXPECT_EQ(keys(r), kTimedOutKeys);
  const pid_t escaped = read_pid(pid_file);
  EXPECT_EQ(process_state(escaped), 'S') << "the request waited for the escaped process to end";
  kill(escaped, SIGKILL);
}

TEST_F(ExecutorTest, UnknownUserStartsNothing) {
  const fs::path marker = tmp_ / "marker";
  use_aliases(
      process_alias("as-nobody", "touch " + marker.string(), "  user: no-such-user-tolvan\n"));
  const Value r = run("as-nobody");
  EXPECT_EQ(keys(r), kFailedKeys);
  EXPECT_EQ(r.at("success"), Value(false));
  EXPECT_EQ(r.at("error"), Value("unknown user 'no-such-user-tolvan'"));
  EXPECT_TRUE(r.at("pid").is_null());
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(
      messages_at(log::ERROR),
      std::vector<std::string>{"Process execution error: unknown user 'no-such-user-tolvan'"});
}

// The command runs with the user's ids and the user's groups only: a supplementary group of
// the gateway must not reach it.
TEST_F(ExecutorTest, UserSwitchSetsTheUsersIdsAndGroupsOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "switching users needs root";
  std::vector<gid_t> saved(static_cast<std::size_t>(getgroups(0, nullptr)));
  ASSERT_GE(getgroups(static_cast<int>(saved.size()), saved.data()), 0);
  const gid_t planted = 4242;
  ASSERT_EQ(setgroups(1, &planted), 0);

  use_aliases(process_alias("ids", "id -u; id -g; id -G", "  user: nobody\n"));
  const Value r = run("ids");
  ASSERT_EQ(setgroups(saved.size(), saved.data()), 0);

  ASSERT_EQ(r.at("success"), Value(true)) << to_literal(r);
  EXPECT_EQ(r.at("stdout"), Value("65534\n65534\n65534\n"));
}

TEST_F(ExecutorTest, NoOtherDescriptorOfTheGatewayReachesTheCommand) {
  const int fd = open("/dev/null", O_RDONLY);  // deliberately inheritable
  ASSERT_GE(fd, 0);
  ASSERT_EQ(dup2(fd, 57), 57);
  close(fd);
  use_aliases(
      process_alias("fds", "if [ -e /proc/$$/fd/57 ]; then echo leaked; else echo closed; fi"));
  const Value r = run("fds");
  close(57);
  EXPECT_EQ(r.at("stdout"), Value("closed\n")) << to_literal(r);
}

TEST_F(ExecutorTest, UncreatableSharedDirPropagatesWithoutClosingStage) {
  tmp_.write("occupied", "a file where a directory should be");
  configure("", (tmp_ / "occupied" / "shared").string());
  use_aliases(process_alias("p", "echo hi", "  preserveStreams: true\n"));
  EXPECT_THROW(run("p"), std::filesystem::filesystem_error);
  EXPECT_FALSE(fs::exists(log_dir()));
}

TEST_F(ExecutorTest, SharedDirMarkerIsTheRunDirectoryOnlyWhenThereIsOne) {
  // No files and no file outputs: no run directory, the marker stays as written.
  use_aliases(process_alias("plain", "echo %sharedDir"));
  Value r = run("plain");
  EXPECT_EQ(r.at("stdout"), Value("%sharedDir\n"));
  EXPECT_FALSE(fs::exists(run_dir()));

  use_aliases(process_alias("with-file", "cat %sharedDir/sub/in.txt; echo; echo $WHERE",
                            "  parameters: {p: {validator: '[a-z]+'}}\n"
                            "  environment: {WHERE: '%sharedDir'}\n"
                            "  files:\n"
                            "    - {location: sub/in.txt, content: 'stale'}\n"
                            "    - {location: sub/in.txt, content: '{p} in %sharedDir'}\n"));
  r = run("with-file", Mapping{{"p", "hello"}});
  ASSERT_EQ(r.at("success"), Value(true)) << to_literal(r);
  const std::string dir = run_dir().string();
  EXPECT_EQ(r.at("stdout"), Value("hello in " + dir + "\n" + dir + "\n"));
  EXPECT_FALSE(fs::exists(run_dir()));
}

TEST_F(ExecutorTest, OutputDirectoriesExistBeforeTheCommandStarts) {
  use_aliases(
      process_alias("prepared",
                    "cd %sharedDir && [ -d out ] && [ -z \"$(ls -A out)\" ] && [ -d sub ] && "
                    "[ ! -e sub/f.txt ] && [ ! -e %stdOut ] && echo ready",
                    "  output:\n    multiple_values:\n"
                    "      - {parameter_name: a, source: out/}\n"
                    "      - {parameter_name: b, source: sub/f.txt}\n"
                    "      - {parameter_name: c, source: '%stdOut'}\n"));
  const Value r = run("prepared");
  EXPECT_EQ(r.at("stdout"), Value("ready\n")) << to_literal(r);
  EXPECT_EQ(r.at("file_outputs").at("sub/f.txt"), Value(""));
  EXPECT_FALSE(fs::exists(run_dir()));
}

TEST_F(ExecutorTest, TemplatePathsLeadingOutsideTheRunDirectoryFailBeforeTheCommand) {
  const fs::path marker = tmp_ / "marker";
  const std::string touch = "touch " + marker.string();
  const std::string param = "  parameters: {p: {validator: '.*'}}\n";
  const struct {
    const char* label;
    std::string more;
    std::string p;
    std::string error;
  } cases[] = {
      {"input location", param + "  files: [{location: '{p}', content: x}]\n", "../escaped.txt",
       "input file location '../escaped.txt' leads outside the run directory"},
      {"absolute input location", param + "  files: [{location: '{p}', content: x}]\n",
       (tmp_ / "escaped.txt").string(),
       "input file location " + quote_literal((tmp_ / "escaped.txt").string()) +
           " leads outside the run directory"},
      {"output folder",
       param + "  output: {single_value: {source: '{p}', content-type: application/zip}}\n",
       "../../", "output source '../../' leads outside the run directory"},
      {"output file",
       param + "  output: {single_value: {source: 'a/{p}', content-type: text/plain}}\n",
       "../../escaped.txt", "output source 'a/../../escaped.txt' leads outside the run directory"},
  };
  for (const auto& c : cases) {
    use_aliases("- name: out\n  type: process\n  mode: inline\n  command: " + touch + "\n" +
                c.more +
                (c.more.find("output:") == std::string::npos
                     ? "  output: {single_value: {source: '%stdOut', content-type: x}}\n"
                     : ""));
    const Value r = run("out", Mapping{{"p", c.p}});
    EXPECT_EQ(keys(r), kFailedKeys) << c.label;
    EXPECT_EQ(r.at("error"), Value(c.error)) << c.label;
    EXPECT_TRUE(r.at("pid").is_null()) << c.label;
    EXPECT_FALSE(fs::exists(marker)) << c.label;
    EXPECT_FALSE(fs::exists(shared_dir() / "escaped.txt")) << c.label;
    EXPECT_FALSE(fs::exists(tmp_ / "escaped.txt")) << c.label;
    EXPECT_FALSE(fs::exists(run_dir())) << c.label;
  }
}

TEST_F(ExecutorTest, UndecodableOutputFailsTheRunWithItsPid) {
  use_aliases(process_alias("binary", "printf 'ok\\377'"));
  const Value r = run("binary");
  EXPECT_EQ(keys(r), kFailedKeys);
  EXPECT_EQ(r.at("error"), Value("stdout is not valid UTF-8: invalid byte 0xff at offset 2"));
  EXPECT_GT(r.at("pid").as_int(), 0);
}

// The closing stage runs after a failed collection too: streams are preserved, then the run
// directory is removed.
TEST_F(ExecutorTest, ClosingStageFollowsAFailedOutputCollection) {
  use_aliases(process_alias(
      "dangling", "mkdir -p %sharedDir/out && ln -s missing %sharedDir/out/x; echo kept",
      "  preserveStreams: true\n"
      "  output: {single_value: {source: out/, content-type: application/zip}}\n"));
  const Value r = run("dangling");
  EXPECT_EQ(keys(r), kFailedKeys);
  EXPECT_EQ(r.at("error"), Value("cannot read " + quote_literal(run_dir().string() + "/out/x") +
                                 ": No such file or directory"));
  EXPECT_GT(r.at("pid").as_int(), 0);
  EXPECT_EQ(read_file(log_dir() / testing_support::kCid / "stdout.log"), "kept\n");
  EXPECT_FALSE(fs::exists(run_dir()));
}

}  // namespace
}  // namespace tolvan::executor
