#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "auth/auth.h"
#include "config/config.h"
#include "tolvan/service.h"
#include "value/log.h"
#include "value/testing/temp_dir.h"

namespace tolvan::service {
namespace {

using tolvan::testing::TempDir;

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(WritePid, WritesTheBareProcessIdAndRemoveIgnoresAMissingFile) {
  static_assert(noexcept(detail::remove_pid({})));
  TempDir tmp;
  const std::string path = (tmp / "tolvan.pid").string();
  tmp.write("tolvan.pid", "stale content that is longer than any pid\n");
  detail::write_pid(path);
  EXPECT_EQ(slurp(path), std::to_string(::getpid()));
  detail::remove_pid(path);
  EXPECT_FALSE(std::filesystem::exists(path));
  detail::remove_pid(path);
}

TEST(WritePidDeathTest, UnwritablePathExitsWithStatusOne) {
  TempDir tmp;
  const std::string path = (tmp / "no-such-dir" / "tolvan.pid").string();
  EXPECT_EXIT(detail::write_pid(path), ::testing::ExitedWithCode(1),
              "^ERROR: cannot write PID file " + path + ": No such file or directory\n$");
}

TEST(LogPreInitError, AppendsOneStampedLineAndNeverFails) {
  TempDir tmp;
  const std::string no_path;
  static_assert(noexcept(detail::log_pre_init_error("", no_path)));
  const auto path = tmp / "var/log/tolvan/app.log";
  detail::log_pre_init_error("Configuration file not found: /x.conf", path.string());
  detail::log_pre_init_error("second", path.string());
  const std::regex line(
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},000 ERROR tolvan Configuration file not found: /x\.conf
\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},000 ERROR tolvan second
)");
  EXPECT_TRUE(std::regex_match(slurp(path), line)) << slurp(path);

  // A directory that cannot be created (its parent is a file): silently nothing.
  tmp.write("file", "");
  detail::log_pre_init_error("lost", (tmp / "file/sub/app.log").string());
}

TEST(SignalDisplayName, NamesCtrlCForSigint) {
  EXPECT_EQ(detail::signal_display_name(SIGINT), "SIGINT (Ctrl-C)");
  EXPECT_EQ(detail::signal_display_name(SIGTERM), "SIGTERM");
}

TEST(DoReload, BrokenAuthDirDoesNotStopTheAliasReload) {
  TempDir tmp;
  tmp.write("aliases.d/hello.yaml", R"(name: hello
type: process
mode: inline
command: echo hi
output: {single_value: {source: "%stdOut", content-type: text/plain}}
)");
  tmp.write("auth.d/users.yaml", "- username: alice\n  api_keys: [k1]\n  aliases: [hello]\n");
  const auto conf = tmp.write("tolvan.conf", "AliasDir " + (tmp / "aliases.d").string() +
                                                 "\nAuthDir " + (tmp / "auth.d").string() + "\n");
  config::Config cfg;
  cfg.load(conf.string());
  auth::Auth auth;
  ASSERT_EQ(auth.load_auth_config(cfg), std::vector<std::string>{});

  auto handler = std::make_shared<log::MemoryHandler>();
  log::get_logger("tolvan").set_handlers({handler});
  log::get_logger("tolvan").set_level(log::INFO);
  tmp.write("auth.d/users.yaml", "- username: alice\n  aliases: []\n");  // aliases must not be empty
  detail::do_reload(cfg, auth);
  log::get_logger("tolvan").set_handlers({});

  const std::vector<std::string> messages = handler->messages();
  ASSERT_GE(messages.size(), 2u);
  for (std::size_t i = 0; i + 1 < messages.size(); ++i) {
    EXPECT_EQ(messages[i].rfind("Auth reload: ", 0), 0u) << messages[i];
  }
  EXPECT_EQ(messages.back(), "Alias configuration reloaded successfully");
  ASSERT_TRUE(cfg.last_auth_reload() && cfg.last_alias_reload());
  EXPECT_FALSE(cfg.last_auth_reload()->success);
  EXPECT_TRUE(cfg.last_alias_reload()->success);
  EXPECT_EQ(auth.users().size(), 1u) << "the previous users stay in force";
  EXPECT_NE(cfg.get_alias("hello"), nullptr);
}

TEST(SignalDispatcher, RunsHandlersOneAtATimeOnItsOwnThread) {
  SignalDispatcher::block_signals({SIGHUP, SIGUSR2});
  std::mutex mutex;
  std::vector<int> received;
  std::atomic<int> active{0};
  std::atomic<bool> overlapped{false};
  std::thread::id handler_thread;
  SignalDispatcher dispatcher;
  dispatcher.start({SIGHUP, SIGUSR2}, [&](int signum) {
    if (active.fetch_add(1) != 0) overlapped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
      std::lock_guard lock(mutex);
      received.push_back(signum);
      handler_thread = std::this_thread::get_id();
    }
    active.fetch_sub(1);
  });
  ::kill(::getpid(), SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::kill(::getpid(), SIGUSR2);  // arrives while the first handler still runs
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard lock(mutex);
      if (received.size() == 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  dispatcher.stop();
  dispatcher.stop();
  std::lock_guard lock(mutex);
  EXPECT_EQ(received, (std::vector<int>{SIGHUP, SIGUSR2}));
  EXPECT_FALSE(overlapped);
  EXPECT_NE(handler_thread, std::this_thread::get_id());
}

// Runs in a forked child: the test process must not become a subreaper itself.
int reap_scenario() {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return 10;
  // A process that leaves an orphan behind, as a command's background job does.
  const pid_t parent = ::fork();
  if (parent == 0) {
    if (::fork() == 0) _exit(0);
    _exit(0);
  }
  int status = 0;
  if (::waitpid(parent, &status, 0) != parent) return 11;
  // A command as the executor starts it: leader of its own process group, waited for by the
  // executor. The reaper must leave its exit status alone.
  const pid_t command = ::fork();
  if (command == 0) {
    ::setpgid(0, 0);
    _exit(7);
  }
  ::setpgid(command, command);
  // Give both time to die; then one orphan is reaped and the command's status is still ours.
  int reaped = 0;
  for (int i = 0; i < 100 && reaped == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    reaped += detail::reap_orphans();
  }
  if (reaped != 1) return 12;
  if (::waitpid(command, &status, 0) != command) return 13;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 7) return 14;
  if (detail::reap_orphans() != 0) return 15;
  return 0;
}

TEST(ReapOrphansDeathTest, ReapsOrphansButNotTheExecutorsCommands) {
  EXPECT_EXIT(std::exit(reap_scenario()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tolvan::service
