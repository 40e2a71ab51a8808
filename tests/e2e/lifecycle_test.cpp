// The gateway as a Unix process: reload on SIGHUP, graceful shutdown on SIGTERM and SIGINT,
// the PID file, daemon mode, the configuration watcher, and life as PID 1.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace tolvan::e2e {
namespace {

using nlohmann::json;

constexpr const char* kLaterAlias = R"(name: later
type: process
mode: inline
command: "echo added later"
output:
  single_value:
    source: "%stdOut"
    content-type: text/plain
)";

std::string pid_file_text(const Gateway& gw) { return read_file(gw.path("tolvan.pid")); }

TEST(Reload, SighupReopensTheLogAndReloadsAuthAndAliasesIndependently) {
  Gateway gw;
  ASSERT_TRUE(gw.start()) << gw.err();
  EXPECT_EQ(gw.run_alias("later").status, 404);

  gw.write("aliases.d/later.yaml", kLaterAlias);
  gw.write("auth.d/carol.yaml", "- username: carol\n  api_keys: [carol-key]\n  aliases: [later]\n");
  fs::rename(gw.path("app.log"), gw.path("app.log.1"));  // as a log rotation does
  gw.signal(SIGHUP);

  ASSERT_TRUE(gw.log_shows("Alias configuration reloaded successfully")) << gw.app_log();
  EXPECT_NE(gw.app_log().find("Auth configuration reloaded successfully"), std::string::npos);
  EXPECT_NE(read_file(gw.path("app.log.1"))
                .find("SIGHUP received — reopening log files and reloading configuration"),
            std::string::npos);
  EXPECT_EQ(gw.run_alias("later").body, "added later\n");
  EXPECT_EQ(gw.run_alias("later", "carol-key").status, 200);

  // A broken AuthDir keeps the keys in force; the alias reload still happens.
  gw.write("auth.d/zz-broken.yaml", "- username: dave\n  api_keys: [carol-key]\n  aliases: [later]\n");
  fs::remove(gw.path("aliases.d/later.yaml"));
  gw.signal(SIGHUP);
  ASSERT_TRUE(eventually([&] {
    const std::string log = gw.app_log();
    const std::size_t first = log.find("Alias configuration reloaded successfully");
    return log.find("Alias configuration reloaded successfully", first + 1) != std::string::npos;
  })) << gw.app_log();
  const std::string log = gw.app_log();
  const std::size_t auth_error = log.find("ERROR tolvan Auth reload: ");
  ASSERT_NE(auth_error, std::string::npos) << log;
  EXPECT_LT(auth_error, log.rfind("Alias configuration reloaded successfully"));
  EXPECT_EQ(gw.run_alias("echo?text=x", "carol-key").status, 403) << "carol's key still works";
  EXPECT_EQ(gw.run_alias("later").status, 404) << "the alias set was replaced";

  const json health = json::parse(gw.request("GET", "/health").body);
  EXPECT_EQ(health["auth_reload"]["success"], false);
  EXPECT_EQ(health["alias_reload"]["success"], true);
}

TEST(Reload, WatcherPicksUpANewAliasFile) {
  Gateway gw;
  gw.add_config("AliasReload 1");
  ASSERT_TRUE(gw.start()) << gw.err();
  gw.write("aliases.d/later.yaml", kLaterAlias);
  EXPECT_TRUE(eventually([&] { return gw.run_alias("later").status == 200; })) << gw.app_log();
  EXPECT_NE(gw.app_log().find("Alias configuration reloaded successfully"), std::string::npos);
}

TEST(Shutdown, SigtermAndSigintLetRunningRequestsFinishAndRemoveThePidFile) {
  struct Row {
    int signal;
    std::string logged;
  };
  for (const Row& row : {Row{SIGTERM, "SIGTERM received — initiating graceful shutdown"},
                         Row{SIGINT, "SIGINT (Ctrl-C) received — initiating graceful shutdown"}}) {
    Gateway gw;
    ASSERT_TRUE(gw.start()) << gw.err();
    EXPECT_EQ(pid_file_text(gw), std::to_string(gw.pid())) << "no line break, nothing else";

    auto running = std::async(std::launch::async, [&] { return gw.run_alias("slow?secs=2"); });
    // The request is in progress once the gateway has a shell running for it.
    ASSERT_TRUE(eventually([&] { return !children_of(gw.pid()).empty(); }));
    gw.signal(row.signal);
    gw.signal(row.signal);  // a second signal during the shutdown changes nothing

    const HttpResponse r = running.get();
    EXPECT_EQ(r.status, 200) << row.logged;
    EXPECT_EQ(r.body, "done\n");
    EXPECT_EQ(gw.wait_exit(), 0) << gw.err();
    EXPECT_FALSE(fs::exists(gw.path("tolvan.pid")));
    const std::string log = gw.app_log();
    EXPECT_NE(log.find(row.logged), std::string::npos) << log;
    EXPECT_NE(log.find("INFO tolvan Tolvan shutdown complete"), std::string::npos) << log;
  }
}

class Daemon : public ::testing::Test {
 protected:
  // The daemon's parent chain exits; as a subreaper this test process inherits the daemon
  // and can collect its exit status.
  void SetUp() override { ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0); }
  void TearDown() override {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
  }

  // Exit statuses of inherited processes, collected until `want` shows up or time runs out.
  static std::multiset<int> collect_until(int want) {
    std::multiset<int> seen;
    eventually([&] {
      int status = 0;
      while (::waitpid(-1, &status, WNOHANG) > 0) seen.insert(exit_code(status));
      return seen.count(want) > 0;
    });
    return seen;
  }
};

TEST_F(Daemon, DetachesAndServesUnderItsOwnPid) {
  Gateway gw;
  const std::string conf = gw.write_config().string();
  ASSERT_EQ(gw.run({"--config", conf, "--daemon"}), 0) << gw.err();
  ASSERT_TRUE(eventually([&] { return !pid_file_text(gw).empty(); }));
  const pid_t daemon = std::stoi(pid_file_text(gw));
  struct KillOnFailure {
    pid_t pid;
    ~KillOnFailure() {
      if (pid > 0) ::kill(pid, SIGKILL);
    }
  } guard{daemon};
  EXPECT_NE(daemon, gw.pid());
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(daemon) + "/fd/2"), "/dev/null");
  EXPECT_NE(::getsid(daemon), ::getsid(0)) << "detached from the launching session";
  ASSERT_TRUE(eventually([&] {
    try {
      return gw.run_alias("echo?text=daemon").body == "daemon";
    } catch (const std::exception&) {
      return false;
    }
  }));

  ::kill(daemon, SIGTERM);
  int status = 0;
  ASSERT_TRUE(eventually([&] { return ::waitpid(daemon, &status, WNOHANG) == daemon; }));
  guard.pid = -1;
  EXPECT_EQ(exit_code(status), 0);
  EXPECT_FALSE(fs::exists(gw.path("tolvan.pid")));
}

TEST_F(Daemon, UnwritablePidFileEndsTheDaemonWithStatusOne) {
  Gateway gw;
  const std::string conf = gw.write_config().string();
  ASSERT_EQ(gw.run({"--config", conf, "--daemon", "--pid-file",
                    gw.path("missing-dir/tolvan.pid").string()}),
            0);
  const std::multiset<int> statuses = collect_until(1);
  EXPECT_EQ(statuses.count(1), 1u) << "the daemon failed";
  EXPECT_EQ(gw.err(), "") << "its message went to the null device";
}

TEST_F(Daemon, StartupErrorsAreReportedBeforeDetaching) {
  Gateway gw;
  const std::string conf = gw.write_config().string();
  const std::string cert = gw.path("missing.crt").string();
  EXPECT_EQ(gw.run({"--config", conf, "--daemon", "--ssl-enabled", "true", "--ssl-cert", cert,
                    "--ssl-key", gw.write("k.pem", "x").string()}),
            1);
  EXPECT_NE(gw.err().find("ERROR: Cannot load SSL certificate " + cert + ": "), std::string::npos)
      << gw.err();
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "no daemon was left running";
}

TEST(Pid1, OrphansAreReapedAndCommandStatusesAreKept) {
  if (::geteuid() != 0 || std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs a PID namespace (root and unshare)";
  }
  Gateway gw;
  gw.write("aliases.d/orphan.yaml", R"(name: orphan
type: process
mode: inline
command: "sleep 1 >/dev/null 2>&1 & echo started"
output:
  single_value:
    source: "%stdOut"
    content-type: text/plain
)");
  gw.set_launcher({"unshare", "--pid", "--fork", "--mount-proc", "--kill-child"});
  ASSERT_TRUE(gw.start()) << gw.err();
  // unshare's only child is the gateway, PID 1 of the new namespace.
  std::vector<std::pair<long, ProcStat>> kids;
  ASSERT_TRUE(eventually([&] {
    kids = children_of(gw.pid());
    return kids.size() == 1;
  }));
  const long gateway = kids[0].first;

  EXPECT_EQ(gw.run_alias("orphan").body, "started\n");
  bool adopted = false;
  for (const auto& [pid, st] : children_of(gateway)) adopted |= st.comm == "sleep";
  EXPECT_TRUE(adopted) << "the background job was not re-parented to the gateway";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(gw.run_alias("exit?code=3").status, 422) << "an exit status was taken away";
  }
  EXPECT_TRUE(eventually([&] { return children_of(gateway).empty(); }))
      << "a zombie was left behind";

  ::kill(static_cast<pid_t>(gateway), SIGTERM);
  EXPECT_EQ(gw.wait_exit(), 0) << gw.err();
}

}  // namespace
}  // namespace tolvan::e2e
