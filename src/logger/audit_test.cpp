#include "logger/internal/audit.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logger/internal/capture.h"
#include "logger/logger.h"
#include "value/testing/temp_dir.h"
#include "value/testing/tmpfs.h"

namespace tolvan::logger {
namespace {

namespace fs = std::filesystem;
using testing::CapturedFd;
using testing::read_file;

const std::regex kTimestamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The line without its timestamp, after checking the timestamp's shape.
std::string after_timestamp(const std::string& line) {
  const auto space = line.find(' ');
  EXPECT_NE(space, std::string::npos) << line;
  EXPECT_TRUE(std::regex_match(line.substr(0, space), kTimestamp)) << line;
  return line.substr(space + 1);
}

class AuditTest : public ::testing::Test {
 protected:
  void TearDown() override {
    log::get_logger("tolvan").set_handlers({});
    detail::set_audit_target(nullptr);
  }

  // setup_logging with the AppLog in the temporary directory and this AuditLog value.
  void setup(const std::string& audit_log) {
    detail::setup_logging(Value((dir_ / "app.log").string()), "info", Value(audit_log));
  }

  std::string audit_path() const { return (dir_ / "audit.log").string(); }

  tolvan::testing::TempDir dir_;
};

TEST_F(AuditTest, FieldsComeInTheirFixedOrderWithOptionalOnesOnlyWhenGiven) {
  setup(audit_path());
  write_audit("10.0.0.1", "alice", "deploy", 12, 200, "OK", "c1");
  write_audit("10.0.0.1", "alice", "deploy", 12, 200, "OK", "c1", 0, 77);
  write_audit("10.0.0.1", "-", "build", 5, 500, "EXEC_FAILED", "c2", "-", nullptr, "-");
  write_audit("::1", "bob", "scan", 153.9, 200, "OK", "c3", 3, nullptr, "0123abcd", "sha256:ff");
  write_audit("::1", "bob", "scan", -1.5, 504, "TIMEOUT", "c4", nullptr, nullptr, nullptr,
              "sha256:ee");
  // Texts are written as given: no quoting or escaping.
  write_audit("10.0.0.2", "carol smith", "a%20b", 7, 404, "NOT_FOUND", "");

  const auto lines = lines_of(read_file(audit_path()));
  const std::vector<std::string> expected = {
      "src=10.0.0.1 cid=c1 user=alice alias=deploy status=200 code=OK duration=12ms",
      "src=10.0.0.1 cid=c1 user=alice alias=deploy status=200 code=OK duration=12ms "
      "exitcode=0 pid=77",
      "src=10.0.0.1 cid=c2 user=- alias=build status=500 code=EXEC_FAILED duration=5ms "
      "exitcode=- containerid=-",
      "src=::1 cid=c3 user=bob alias=scan status=200 code=OK duration=153ms exitcode=3 "
      "containerid=0123abcd imageid=sha256:ff",
      "src=::1 cid=c4 user=bob alias=scan status=504 code=TIMEOUT duration=-1ms "
      "imageid=sha256:ee",
      "src=10.0.0.2 cid= user=carol smith alias=a%20b status=404 code=NOT_FOUND duration=7ms",
  };
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(after_timestamp(lines[i]), expected[i]);
}

TEST_F(AuditTest, ANumberThatIsNoIntegerFailsTheCallBeforeAnythingIsWritten) {
  setup(audit_path());
  EXPECT_THROW(write_audit("s", "u", "a", std::nan(""), 200, "OK", "c"), std::invalid_argument);
  try {
    write_audit("s", "u", "a", 1, 1e300, "OK", "c");
    ADD_FAILURE() << "no error for an out-of-range status";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "status: cannot convert float 1e+300 to integer");
  }
  EXPECT_FALSE(fs::exists(audit_path()));
}

TEST_F(AuditTest, NothingIsWrittenWhileAuditLinesAreOff) {
  CapturedFd out(STDOUT_FILENO, dir_ / "stdout.txt");
  CapturedFd err(STDERR_FILENO, dir_ / "stderr.txt");
  write_audit("s", "u", "a", 1, 200, "OK", "c");  // no setup_logging in force
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
}

TEST_F(AuditTest, DirectoryThatCannotBeCreatedWarnsAndSwitchesAuditLinesOff) {
  dir_.write("not-a-dir", "");
  const std::string audit = (dir_ / "not-a-dir/audit.log").string();
  CapturedFd err(STDERR_FILENO, dir_ / "stderr.txt");
  setup(audit);
  write_audit("s", "u", "a", 1, 200, "OK", "c");
  const auto lines = lines_of(err.text());

  ASSERT_EQ(lines.size(), 1u);
  const std::string prefix = "WARNING: cannot create AuditLog directory for " + audit + ": ";
  EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
  EXPECT_GT(lines[0].size(), prefix.size());

  setup(audit_path());  // the next set-up switches them on again
  write_audit("s", "u", "a", 1, 200, "OK", "c");
  EXPECT_EQ(lines_of(read_file(audit_path())).size(), 1u);
}

TEST_F(AuditTest, StandardOutputTargetGetsEachLineAtOnce) {
  CapturedFd out(STDOUT_FILENO, dir_ / "stdout.txt");
  setup("/dev/stdout");
  write_audit("s", "u", "a", 1, 200, "OK", "c1");
  write_audit("s", "u", "a", 2, 200, "OK", "c2");
  const auto lines = lines_of(out.text());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(after_timestamp(lines[0]),
            "src=s cid=c1 user=u alias=a status=200 code=OK duration=1ms");
  EXPECT_EQ(after_timestamp(lines[1]),
            "src=s cid=c2 user=u alias=a status=200 code=OK duration=2ms");
}

TEST_F(AuditTest, RotatedFileIsRecreatedAndAVanishedDirectoryIsSilent) {
  const std::string audit = (dir_ / "audit/audit.log").string();
  setup(audit);
  EXPECT_FALSE(fs::exists(audit)) << "the file is opened per line, not at set-up";
  write_audit("s", "u", "a", 1, 200, "OK", "first");
  fs::rename(audit, audit + ".1");
  write_audit("s", "u", "a", 1, 200, "OK", "second");
  EXPECT_EQ(lines_of(read_file(audit + ".1")).size(), 1u);
  EXPECT_EQ(lines_of(read_file(audit)).size(), 1u);

  fs::remove_all(dir_ / "audit");
  CapturedFd err(STDERR_FILENO, dir_ / "stderr.txt");
  write_audit("s", "u", "a", 1, 200, "OK", "lost");
  EXPECT_EQ(err.text(), "");
  EXPECT_FALSE(fs::exists(dir_ / "audit"));
}

TEST_F(AuditTest, AFullFileSystemLosesWholeLinesOnly) {
  tolvan::testing::Tmpfs mount(dir_ / "small", 64 * 1024);
  TOLVAN_MOUNT_OR_SKIP(mount);
  const std::string audit = (mount / "audit.log").string();
  setup(audit);
  write_audit("s", "u", "a", 1, 200, "OK", "before");
  // No free block is left; the AuditLog's own last block still has room for a few lines.
  mount.fill();
  const std::string user(200, 'u');
  for (int n = 0; n < 40; ++n) {
    write_audit("s", user, "a", 1, 200, "OK", "during");
  }
  mount.drain();
  write_audit("s", "u", "a", 1, 200, "OK", "after");

  const auto lines = lines_of(read_file(audit));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_LT(lines.size(), 42u) << "the file system was full";
  EXPECT_EQ(after_timestamp(lines.front()),
            "src=s cid=before user=u alias=a status=200 code=OK duration=1ms");
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(after_timestamp(lines[i]),
              "src=s cid=during user=" + user + " alias=a status=200 code=OK duration=1ms");
  }
  EXPECT_EQ(after_timestamp(lines.back()),
            "src=s cid=after user=u alias=a status=200 code=OK duration=1ms");
}

TEST_F(AuditTest, LinesFromManyThreadsNeverInterleave) {
  setup(audit_path());
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  // Long values make a torn or mixed line easy to see.
  const std::string filler(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kLines; ++n) {
        write_audit("10.0.0." + std::to_string(t), filler, "alias", n, 200, "OK",
                    "t" + std::to_string(t) + "-" + std::to_string(n), 0, t * 1000 + n);
      }
    });
  }
  for (auto& th : threads)
    th.join();

  const std::regex line_re(R"(\S+ src=10\.0\.0\.(\d) cid=t(\d)-(\d+) user=x{300} alias=alias )"
                           R"(status=200 code=OK duration=(\d+)ms exitcode=0 pid=(\d+))");
  const auto lines = lines_of(read_file(audit_path()));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::set<std::string> cids;
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_re)) << line;
    EXPECT_EQ(m[1], m[2]);
    EXPECT_EQ(m[3], m[4]);
    EXPECT_EQ(std::stoi(m[5]), std::stoi(m[1]) * 1000 + std::stoi(m[3]));
    cids.insert("t" + std::string(m[2]) + "-" + std::string(m[3]));
  }
  EXPECT_EQ(cids.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace tolvan::logger
