// The gateway on broken file systems: SharedDir, LogDir and the AuditLog each on a small tmpfs
// that is made full or read-only while the gateway runs. Runs are still answered at once, no
// half-written run directory or preserved file stays behind, failures reach the AppLog (which
// stays on a sound disk), and the gateway serves normally once the file system is sound again.

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/support.h"
#include "value/testing/tmpfs.h"

namespace tolvan::e2e {
namespace {

using nlohmann::json;
using tolvan::testing::Tmpfs;
using Clock = std::chrono::steady_clock;

// A run that takes longer than this counts as hung.
constexpr auto kPrompt = std::chrono::seconds(10);

// Process aliases for the faults; carol may run them and the common "echo".
constexpr const char* kFaultAliases = R"(- name: staged
  type: process
  mode: inline
  files:
    - location: in/data.txt
      content: "payload"
  command: "cat %sharedDir/in/data.txt"
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain

- name: kept
  type: process
  mode: inline
  command: "head -c 65536 /dev/zero | tr '\\000' o; printf err >&2; exit 3"
  preserveStreams:
    - stream: stdout
      flatten: true
      filename: out.txt
    - stream: stderr
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain
)";

constexpr const char* kFaultUsers = R"(- username: carol
  api_keys: [carol-key]
  aliases: [echo, staged, kept, boxed-keep, boxed-auto]
)";

void add_fault_aliases(Gateway& gw) {
  gw.write("aliases.d/fault.yaml", kFaultAliases);
  gw.write("auth.d/fault.yaml", kFaultUsers);
}

// POST /run/{target} as carol with the correlation ID `cid`; fails the test when the answer
// takes longer than kPrompt.
HttpResponse run_as_carol(const Gateway& gw, const std::string& target, const std::string& cid) {
  const auto start = Clock::now();
  HttpResponse r =
      gw.request("POST", "/run/" + target, {{"X-API-Key", "carol-key"}, {"X-Correlation-ID", cid}});
  EXPECT_LT(Clock::now() - start, kPrompt) << target << " took too long";
  return r;
}

void expect_execution_failed(const HttpResponse& r, const std::string& what) {
  EXPECT_EQ(r.status, 500) << what << ": " << r.body;
  EXPECT_EQ(json::parse(r.body, nullptr, false), json::parse(R"({"error": "Execution failed"})"))
      << what;
}

std::size_t open_descriptors(pid_t pid) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++n;
  }
  return n;
}

enum class Break { Full, ReadOnly };

const char* name_of(Break how) {
  return how == Break::Full ? "full" : "read-only";
}

void break_mount(const Tmpfs& mount, Break how, std::size_t leave = 0) {
  if (how == Break::Full) {
    mount.fill(leave);
  } else {
    mount.set_read_only(true);
  }
}

void repair_mount(const Tmpfs& mount, Break how) {
  if (how == Break::Full) {
    mount.drain();
  } else {
    mount.set_read_only(false);
  }
}

// ---- SharedDir -----------------------------------------------------------------------------

TEST(FaultSharedDir, RunDirectoryAliasesFailCleanlyAndRecover) {
  Gateway gw;
  add_fault_aliases(gw);
  Tmpfs shared(gw.path("shared"), 256 * 1024);
  TOLVAN_MOUNT_OR_SKIP(shared);
  ASSERT_TRUE(gw.start()) << gw.err();

  for (const Break how : {Break::Full, Break::ReadOnly}) {
    SCOPED_TRACE(name_of(how));
    break_mount(shared, how);
    const std::string cid = std::string("shared-") + (how == Break::Full ? "full" : "ro");
    expect_execution_failed(run_as_carol(gw, "staged", cid), "staged");
    const std::regex logged("ERROR tolvan Execution of alias 'staged' failed: .* \\[cid=" + cid +
                            "\\]");
    EXPECT_TRUE(eventually([&] { return std::regex_search(gw.app_log(), logged); }))
        << gw.app_log();

    const HttpResponse plain = run_as_carol(gw, "echo?text=still%20here", cid + "-echo");
    EXPECT_EQ(plain.status, 200) << plain.body;
    EXPECT_EQ(plain.body, "still here");

    repair_mount(shared, how);
    EXPECT_EQ(shared.entries(), std::vector<std::string>{}) << "half-written run directory";
    const HttpResponse again = run_as_carol(gw, "staged", cid + "-again");
    EXPECT_EQ(again.status, 200) << again.body;
    EXPECT_EQ(again.body, "payload");
    EXPECT_EQ(shared.entries(), std::vector<std::string>{});
  }
}

// A container alias whose run directory needs an "auto" subdirectory for a volume without
// `source`. The run directory is made before the engine is asked for anything.
constexpr const char* kBoxedAuto = R"(- name: boxed-auto
  type: container
  mode: inline
  image: localhost/gwtest-busybox:latest
  command: "cat /in/note.txt"
  volumes:
    - location: /in/note.txt
      content: "note"
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain
)";

TEST(FaultSharedDir, NoInodeLeftLeavesNoRunDirectoryBehind) {
  Gateway gw;
  add_fault_aliases(gw);
  gw.write("aliases.d/boxed.yaml", kBoxedAuto);
  Tmpfs shared(gw.path("shared"), 256 * 1024, "nr_inodes=64");
  TOLVAN_MOUNT_OR_SKIP(shared);
  ASSERT_TRUE(gw.start({"--container", "0"})) << gw.err();

  // One inode left: enough for a run directory, not for anything in it.
  shared.exhaust_inodes(1);
  for (const std::string alias : {"staged", "boxed-auto"}) {
    expect_execution_failed(run_as_carol(gw, alias, "inode-" + alias), alias);
    EXPECT_EQ(shared.entries(), std::vector<std::string>{}) << alias;
  }
  EXPECT_EQ(run_as_carol(gw, "echo?text=plain", "inode-echo").status, 200);
  shared.restore_inodes();
  EXPECT_EQ(run_as_carol(gw, "staged", "inode-again").body, "payload");
  EXPECT_EQ(shared.entries(), std::vector<std::string>{});
}

// ---- LogDir --------------------------------------------------------------------------------

// The files preserved under LogDir for the correlation ID `cid` must each be one of `complete`,
// with exactly that content.
void expect_whole_or_absent(const Tmpfs& logs, const std::string& cid,
                            const std::map<std::string, std::string>& complete) {
  const std::string& what = cid;
  for (const std::string& entry : logs.entries()) {
    if (entry.ends_with("/")) continue;
    if (!entry.starts_with(cid + "/") && !entry.starts_with(cid + "_")) continue;
    const auto it = complete.find(entry);
    if (it == complete.end()) {
      ADD_FAILURE() << what << ": unexpected file under LogDir: " << entry;
      continue;
    }
    const std::string content = read_file(logs.dir() / entry);
    EXPECT_TRUE(content == it->second) << what << ": " << entry << " holds " << content.size()
                                       << " of " << it->second.size() << " bytes";
  }
}

TEST(FaultLogDir, StreamsArePreservedWholeOrNotAtAll) {
  Gateway gw;
  add_fault_aliases(gw);
  Tmpfs logs(gw.path("logs"), 256 * 1024);
  TOLVAN_MOUNT_OR_SKIP(logs);
  ASSERT_TRUE(gw.start()) << gw.err();
  const std::string out(65536, 'o');

  for (const Break how : {Break::Full, Break::ReadOnly}) {
    SCOPED_TRACE(name_of(how));
    // A full LogDir keeps a little room: the small stream fits, the large one does not.
    break_mount(logs, how, 16 * 1024);
    const std::string cid = std::string("logs-") + (how == Break::Full ? "full" : "ro");
    const HttpResponse r = run_as_carol(gw, "kept", cid);
    EXPECT_EQ(r.status, 422) << r.body;
    EXPECT_EQ(r.header("X-Exit-Code"), "3");
    EXPECT_TRUE(r.body == out) << "stdout of " << r.body.size() << " bytes";

    expect_whole_or_absent(logs, cid, {{cid + "_out.txt", out}, {cid + "/stderr.log", "err"}});
    EXPECT_FALSE(fs::exists(logs.dir() / (cid + "_out.txt"))) << "it cannot fit";
    EXPECT_TRUE(gw.log_shows("Stream preserve failed: failed to preserve stdout to '" +
                             (logs.dir() / (cid + "_out.txt")).string() + "'"))
        << gw.app_log();

    repair_mount(logs, how);
    const std::string again = cid + "-again";
    EXPECT_EQ(run_as_carol(gw, "kept", again).status, 422);
    EXPECT_EQ(read_file(logs.dir() / (again + "_out.txt")), out);
    EXPECT_EQ(read_file(logs.dir() / again / "stderr.log"), "err");
  }
}

// A container engine on DOCKER_HOST answers /_ping.
bool engine_answers() {
  const char* host = ::getenv("DOCKER_HOST");
  if (host == nullptr || std::strncmp(host, "unix://", 7) != 0) return false;
  const std::string path = host + 7;
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const char req[] = "GET /_ping HTTP/1.0\r\nHost: engine\r\n\r\n";
    if (::send(fd, req, sizeof req - 1, MSG_NOSIGNAL) > 0) {
      char buf[64] = {};
      ok = ::recv(fd, buf, sizeof buf - 1, 0) > 12 && std::strstr(buf, " 200 ") != nullptr;
    }
  }
  ::close(fd);
  return ok;
}

// A container alias that fills a file volume and a folder volume, both preserved.
constexpr const char* kBoxedKeep = R"(- name: boxed-keep
  type: container
  mode: inline
  image: localhost/gwtest-busybox:latest
  command: "sh -c 'head -c 40000 /dev/zero > /vol/big.bin; echo a > /dir/a.txt; echo boxed; exit 4'"
  timeout: 60
  volumes:
    - location: /vol/big.bin
      source: big.bin
      content: ""
      preserve: yes
    - location: /dir/
      source: dir/
      preserve: flatten
      preservePrefix: d
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain
)";

TEST(FaultLogDir, VolumesArePreservedWholeOrNotAtAll) {
  if (!engine_answers()) {
    const char* require = ::getenv("TOLVAN_REQUIRE_ENGINE");
    if (require != nullptr && std::string(require) == "1") {
      FAIL() << "TOLVAN_REQUIRE_ENGINE=1 but no engine answers on DOCKER_HOST";
    }
    GTEST_SKIP() << "no container engine on DOCKER_HOST";
  }
  Gateway gw;
  add_fault_aliases(gw);
  gw.write("aliases.d/boxed.yaml", kBoxedKeep);
  gw.add_config("ContainerNetwork none");
  Tmpfs logs(gw.path("logs"), 256 * 1024);
  TOLVAN_MOUNT_OR_SKIP(logs);
  // The gateway itself runs on this host, whatever the detection makes of the test machine.
  ASSERT_TRUE(gw.start({"--container", "0"})) << gw.err();
  const std::string big(40000, '\0');

  for (const Break how : {Break::Full, Break::ReadOnly}) {
    SCOPED_TRACE(name_of(how));
    break_mount(logs, how, 16 * 1024);
    const std::string cid = std::string("vol-") + (how == Break::Full ? "full" : "ro");
    const HttpResponse r = run_as_carol(gw, "boxed-keep", cid);
    EXPECT_EQ(r.status, 422) << r.body << "\n" << gw.app_log();
    EXPECT_EQ(r.header("X-Exit-Code"), "4");
    EXPECT_EQ(r.body, "boxed\n");

    expect_whole_or_absent(logs, cid, {{cid + "/big.bin", big}, {cid + "_d_a.txt", "a\n"}});
    EXPECT_FALSE(fs::exists(logs.dir() / cid / "big.bin")) << "it cannot fit";
    EXPECT_TRUE(gw.log_shows("' to '" + (logs.dir() / cid / "big.bin").string() + "': "))
        << gw.app_log();

    repair_mount(logs, how);
    const std::string again = cid + "-again";
    EXPECT_EQ(run_as_carol(gw, "boxed-keep", again).status, 422);
    EXPECT_TRUE(read_file(logs.dir() / again / "big.bin") == big);
    EXPECT_EQ(read_file(logs.dir() / (again + "_d_a.txt")), "a\n");
  }
}

// ---- AuditLog ------------------------------------------------------------------------------

TEST(FaultAuditLog, RequestsAreAnsweredAndNoLineIsTorn) {
  Gateway gw;
  add_fault_aliases(gw);
  Tmpfs audit(gw.path("audit"), 64 * 1024);
  TOLVAN_MOUNT_OR_SKIP(audit);
  const fs::path audit_log = audit.dir() / "audit.log";
  ASSERT_TRUE(gw.start({"--audit-log", audit_log.string()})) << gw.err();

  for (const Break how : {Break::Full, Break::ReadOnly}) {
    SCOPED_TRACE(name_of(how));
    ASSERT_EQ(run_as_carol(gw, "echo?text=before", "audit-before").status, 200);
    ASSERT_TRUE(eventually([&] { return read_file(audit_log).ends_with("\n"); }));
    break_mount(audit, how);
    // Enough lines to run past the end of the page the AuditLog already has.
    for (int i = 0; i < 40; ++i) {
      const HttpResponse r =
          run_as_carol(gw, "echo?text=during", "audit-during-" + std::to_string(i));
      ASSERT_EQ(r.status, 200) << r.body;
      ASSERT_EQ(r.body, "during");
    }
    repair_mount(audit, how);
    ASSERT_EQ(run_as_carol(gw, "echo?text=after", "audit-after").status, 200);
  }

  // The line of each repaired round is there, and every line is whole.
  EXPECT_TRUE(eventually([&] {
    const std::string text = read_file(audit_log);
    const std::string after = "cid=audit-after ";
    const std::size_t first = text.find(after);
    return first != std::string::npos && text.find(after, first + 1) != std::string::npos;
  })) << read_file(audit_log);
  const std::regex line(R"(^\S+Z src=127\.0\.0\.1 cid=audit-[a-z0-9-]+ user=carol alias=echo )"
                        R"(status=200 code=OK duration=\d+ms exitcode=0 pid=\d+$)");
  std::istringstream lines(read_file(audit_log));
  std::string text;
  while (std::getline(lines, text)) {
    EXPECT_TRUE(std::regex_match(text, line)) << "torn audit line: " << text;
  }
}

// ---- the gateway afterwards ----------------------------------------------------------------

TEST(FaultDescriptors, RepeatedFailingRunsLeakNoDescriptors) {
  Gateway gw;
  add_fault_aliases(gw);
  Tmpfs shared(gw.path("shared"), 256 * 1024);
  TOLVAN_MOUNT_OR_SKIP(shared);
  Tmpfs logs(gw.path("logs"), 256 * 1024);
  TOLVAN_MOUNT_OR_SKIP(logs);
  ASSERT_TRUE(gw.start()) << gw.err();
  shared.fill();
  logs.set_read_only(true);

  // One round first, so that whatever is opened once and kept is open before counting.
  expect_execution_failed(run_as_carol(gw, "staged", "fd-warm"), "staged");
  EXPECT_EQ(run_as_carol(gw, "kept", "fd-warm-kept").status, 422);
  const std::size_t before = open_descriptors(gw.pid());

  for (int i = 0; i < 25; ++i) {
    expect_execution_failed(run_as_carol(gw, "staged", "fd-" + std::to_string(i)), "staged");
    EXPECT_EQ(run_as_carol(gw, "kept", "fd-kept-" + std::to_string(i)).status, 422);
  }
  shared.set_read_only(true);
  for (int i = 0; i < 25; ++i) {
    expect_execution_failed(run_as_carol(gw, "staged", "fd-ro-" + std::to_string(i)), "staged");
  }
  // Connections of the last answers may still be closing.
  std::size_t after = 0;
  EXPECT_TRUE(eventually(
      [&] {
        after = open_descriptors(gw.pid());
        return after <= before;
      },
      std::chrono::seconds(5)))
      << before << " descriptors before, " << after << " after";

  const HttpResponse plain = gw.run_alias("echo?text=served");
  EXPECT_EQ(plain.status, 200);
  EXPECT_EQ(plain.body, "served");
}

}  // namespace
}  // namespace tolvan::e2e
