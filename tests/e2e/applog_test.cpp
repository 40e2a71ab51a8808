// The AppLog under load while it is rotated (moved away, then SIGHUP), and a reopen that
// cannot open the file again.

#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/support.h"

namespace tolvan::e2e {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kReloaded = "Alias configuration reloaded successfully";

// Runs "echo" with its own correlation ID; an empty string when the answer is right, else what
// was wrong with it.
std::string run_echo(const Gateway& gw, const std::string& text, const std::string& cid) {
  try {
    const HttpResponse r = gw.request("POST", "/run/echo?text=" + text,
                                      {{"X-API-Key", "alice-key"}, {"X-Correlation-ID", cid}});
    if (r.status != 200 || r.body != text || r.header("X-Correlation-ID") != cid) {
      return cid + ": status " + std::to_string(r.status) + ", body '" + r.body + "'";
    }
    return {};
  } catch (const std::exception& e) {
    return cid + ": " + e.what();
  }
}

// The text a client sends on one run; all of the same length, so none contains another.
std::string run_text(int client, int run) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "c%dr%02d", client, run);
  return buf;
}

// The records of one AppLog file carrying a correlation ID, keyed by it; every line of the
// file must be one whole JSON object and the file must end with a line end.
std::map<std::string, std::vector<json>> records_by_cid(const fs::path& file) {
  std::map<std::string, std::vector<json>> out;
  const std::string text = read_file(file);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << file << " ends inside a line";
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string line = text.substr(start, nl - start);
    const json record = json::parse(line, nullptr, false);
    if (!record.is_object() || !record.contains("message")) {
      ADD_FAILURE() << file << ": not one whole record: " << line;
      continue;
    }
    if (record.contains("correlation_id")) {
      out[record["correlation_id"].get<std::string>()].push_back(record);
    }
  }
  return out;
}

// Eight clients run "echo" while the AppLog is rotated five times. The debug record each run
// leaves ("Executing process: ...") must land whole in exactly one of the files, and in the
// file that was current while the run went on: not one rotated away before the run started,
// not one created after its answer came. Each file gets runs that start after its reopen,
// the newest file included.
TEST(AppLogRotation, RotationUnderLoadLosesTearsAndDoublesNothing) {
  constexpr int kClients = 8;
  constexpr int kRotations = 5;
  constexpr int kRunsPerFile = 40;  // answered runs started in a file's time, before the next
  constexpr int kLateRuns = 5;      // runs of each client after the last rotation
  constexpr int kMaxRuns = 250;     // of one client: a hang guard

  Gateway gw;
  const fs::path log = gw.path("app.log");
  ASSERT_TRUE(gw.start({"--app-log", log.string() + " debug json"})) << gw.err();

  // Counted by the rotating thread: `signalled` before each SIGHUP, `reopened` once the
  // reload it causes shows in the new file. File k (0-based, the newest last) holds what was
  // written after k reopens, so a run that started at reopened == lo and was answered at
  // signalled == hi must be in a file between lo and hi.
  std::atomic<int> signalled{0};
  std::atomic<int> reopened{0};
  std::array<std::atomic<int>, kRotations + 1> started_and_answered{};
  struct Run {
    std::string text;
    std::string problem;  // empty when the answer was right
    int lo = 0;
    int hi = 0;
  };
  std::vector<std::vector<Run>> runs(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int n = 0, late = 0; n < kMaxRuns && late < kLateRuns; ++n) {
        Run& run = runs[c].emplace_back();
        run.lo = reopened.load();
        if (run.lo == kRotations) ++late;
        run.text = run_text(c, n);
        run.problem = run_echo(gw, run.text, "applog-" + run.text);
        run.hi = signalled.load();
        if (run.hi == run.lo) started_and_answered[run.lo].fetch_add(1);
      }
    });
  }

  // Each rotation waits for the previous reload to finish, so no two signals merge into one.
  for (int k = 1; k <= kRotations; ++k) {
    if (!eventually([&] { return started_and_answered[k - 1].load() >= kRunsPerFile; }, 30s)) {
      ADD_FAILURE() << "clients stalled before rotation " << k;
      break;
    }
    fs::rename(log, gw.path("app.log." + std::to_string(k)));
    signalled.fetch_add(1);
    gw.signal(SIGHUP);
    if (!gw.log_shows(kReloaded)) {
      ADD_FAILURE() << "rotation " << k << ": no reload in the new file\n" << gw.err();
      break;
    }
    reopened.fetch_add(1);
  }
  for (auto& t : clients)
    t.join();
  ASSERT_EQ(reopened.load(), kRotations);

  // files[k-1] is app.log.k, files[kRotations] the newest.
  std::vector<std::map<std::string, std::vector<json>>> files;
  for (int k = 1; k <= kRotations; ++k)
    files.push_back(records_by_cid(gw.path("app.log." + std::to_string(k))));
  files.push_back(records_by_cid(log));

  std::vector<int> in_file(files.size(), 0);
  for (int c = 0; c < kClients; ++c) {
    ASSERT_LT(runs[c].size(), static_cast<std::size_t>(kMaxRuns)) << "client " << c;
    for (const Run& run : runs[c]) {
      const std::string cid = "applog-" + run.text;
      EXPECT_EQ(run.problem, "") << cid;
      std::vector<int> holders;
      int executing = 0;
      std::set<std::string> seen;
      for (int f = 0; f < static_cast<int>(files.size()); ++f) {
        const auto it = files[f].find(cid);
        if (it == files[f].end()) continue;
        holders.push_back(f);
        for (const json& record : it->second) {
          const std::string message = record["message"].get<std::string>();
          EXPECT_TRUE(seen.insert(record.dump()).second) << cid << ": record twice: " << message;
          if (message.rfind("Executing process: ", 0) == 0) {
            ++executing;
            EXPECT_NE(message.find(run.text), std::string::npos)
                << cid << " stamped on another run's record: " << message;
          }
        }
      }
      EXPECT_EQ(executing, 1) << cid;
      ASSERT_EQ(holders.size(), 1u) << cid << " is in " << holders.size() << " files";
      EXPECT_GE(holders[0], run.lo) << cid << " went to a file rotated away before it started";
      EXPECT_LE(holders[0], run.hi) << cid << " went to a file created after its answer";
      if (run.lo == run.hi) ++in_file[holders[0]];
    }
  }
  for (std::size_t f = 0; f < files.size(); ++f) {
    const int wanted = f + 1 < files.size() ? kRunsPerFile : kClients * kLateRuns;
    EXPECT_GE(in_file[f], wanted) << "file " << f;
  }
}

// The log directory is moved away, so the reopen cannot create the file: the gateway warns and
// keeps writing to the file it has; once the directory is back, a reopen moves to a new file.
TEST(AppLogRotation, FailedReopenKeepsWritingToTheOldFile) {
  Gateway gw;
  gw.add_config("LogsApiKey logs-key");
  const fs::path dir = gw.path("applog");
  const fs::path moved = gw.path("applog.old");
  ASSERT_TRUE(gw.start({"--app-log", (dir / "app.log").string() + " debug json"})) << gw.err();

  fs::rename(dir, moved);
  gw.signal(SIGHUP);
  ASSERT_TRUE(eventually([&] {
    return read_file(moved / "app.log").find(kReloaded) != std::string::npos;
  })) << "records after the failed reopen were dropped\n"
      << gw.err();
  EXPECT_NE(gw.err().find("WARNING: failed to reopen log file: "), std::string::npos) << gw.err();
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_EQ(run_echo(gw, "kept", "applog-kept"), "");
  EXPECT_EQ(records_by_cid(moved / "app.log").count("applog-kept"), 1u);

  fs::create_directory(dir);
  const HttpResponse r = gw.request("POST", "/internal/logs/reopen", {{"X-API-Key", "logs-key"}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(run_echo(gw, "moved", "applog-moved"), "");
  EXPECT_EQ(records_by_cid(dir / "app.log").count("applog-moved"), 1u);
  EXPECT_EQ(records_by_cid(moved / "app.log").count("applog-moved"), 0u);
}

}  // namespace
}  // namespace tolvan::e2e
