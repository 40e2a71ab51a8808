#include "logger/logger.h"

#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logger/handlers.h"
#include "logger/internal/audit.h"
#include "logger/internal/capture.h"
#include "value/json.h"
#include "value/testing/temp_dir.h"
#include "value/testing/tmpfs.h"

namespace tolvan::logger {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using testing::CapturedFd;
using testing::read_file;
using testing::TerminalStdout;

// 2024-02-29 23:59:59.9999 UTC: a leap day, a tenth of a millisecond before midnight.
const system_clock::time_point kLeapDayLate =
    sys_days{2024y / February / 29} + 23h + 59min + 59s + 999900us;

log::Record make_record(int level, std::string message,
                        std::optional<std::string> cid = std::nullopt,
                        std::optional<std::string> exc = std::nullopt) {
  log::Record r;
  r.name = "tolvan";
  r.levelno = level;
  r.levelname = log::level_name(level);
  r.message = std::move(message);
  r.created = kLeapDayLate;
  r.exc_text = std::move(exc);
  r.correlation_id = std::move(cid);
  return r;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Four threads log 2000 records "record" each without pause while `disturb` runs again and
// again (at least once) until they are done. Returns how many records were logged.
std::size_t log_from_threads_while(const std::function<void()>& disturb) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 2000;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < kRecords; ++n)
        logger.info("record");
      running.fetch_sub(1);
    });
  }
  do {
    disturb();
  } while (running.load() > 0);
  for (auto& t : threads)
    t.join();
  return static_cast<std::size_t>(kThreads) * kRecords;
}

// Every test leaves the application logger without handlers and audit lines off.
class LoggingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    log::get_logger("tolvan").set_handlers({});
    detail::set_audit_target(nullptr);
    set_correlation_id(std::nullopt);
  }

  // setup_logging through the real configuration store, from a file with these lines.
  log::Logger& setup_from_file(const std::string& lines) {
    const fs::path file = dir_.write("tolvan.conf", lines);
    config::Config cfg;
    cfg.load(file.string());
    return setup_logging(cfg);
  }

  std::string path(std::string_view rel) const { return (dir_ / rel).string(); }

  tolvan::testing::TempDir dir_;
};

TEST(FormatTimestamp, TruncatesToMillisecondsAndStaysOnItsDay) {
  const struct {
    system_clock::time_point t;
    const char* text;
  } cases[] = {
      {kLeapDayLate, "2024-02-29T23:59:59.999Z"},
      {sys_days{2024y / February / 29} + 23h + 59min + 59s + 999999999ns,
       "2024-02-29T23:59:59.999Z"},
      {sys_days{2023y / July / 1} + 12h + 123999us, "2023-07-01T12:00:00.123Z"},
      {system_clock::time_point{}, "1970-01-01T00:00:00.000Z"},
      {system_clock::time_point{} - 1ns, "1969-12-31T23:59:59.999Z"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(detail::format_timestamp(c.t), c.text);
}

TEST(JsonFormatter, WritesOneAsciiLinePerRecord) {
  const struct {
    const char* label;
    log::Record record;
    const char* json;
  } cases[] = {
      {"plain warning", make_record(log::WARNING, "disk low"),
       R"({"timestamp": "2024-02-29T23:59:59.999Z", "level": "warning", "logger": "tolvan", )"
       R"("message": "disk low"})"},
      {"non-ASCII, newline, quotes, with cid",
       make_record(log::INFO, "caf\xc3\xa9 \xf0\x9f\x98\x80\nnext \"q\" \\ \t", "abc"),
       R"({"timestamp": "2024-02-29T23:59:59.999Z", "level": "info", "logger": "tolvan", )"
       R"("message": "caf\u00e9 \ud83d\ude00\nnext \"q\" \\ \t", "correlation_id": "abc"})"},
      {"exception, empty cid", make_record(log::ERROR, "boom", "", "Traceback:\n  line 1\nOSError"),
       R"({"timestamp": "2024-02-29T23:59:59.999Z", "level": "error", "logger": "tolvan", )"
       R"("message": "boom", "exception": "Traceback:\n  line 1\nOSError"})"},
      {"trace and invalid UTF-8", make_record(logger::TRACE, "bad\xff"),
       R"({"timestamp": "2024-02-29T23:59:59.999Z", "level": "trace", "logger": "tolvan", )"
       R"("message": "bad\ufffd"})"},
      {"control character", make_record(log::CRITICAL, std::string("nul\x01", 4), "r1"),
       R"({"timestamp": "2024-02-29T23:59:59.999Z", "level": "critical", "logger": "tolvan", )"
       R"("message": "nul\u0001", "correlation_id": "r1"})"},
  };
  const detail::JsonFormatter formatter;
  for (const auto& c : cases)
    EXPECT_EQ(formatter.format(c.record), c.json) << c.label;
}

TEST(PlainFormatter, BuildsItsLineFromTheChosenParts) {
  const detail::PlainFormatter app_log;
  const detail::PlainFormatter console(false, false, true);
  const struct {
    const char* label;
    const detail::PlainFormatter& formatter;
    log::Record record;
    const char* text;
  } cases[] = {
      {"app log", app_log, make_record(log::WARNING, "disk low"),
       "2024-02-29T23:59:59.999Z WARNING tolvan disk low"},
      {"app log with cid", app_log, make_record(log::INFO, "hello", "abc"),
       "2024-02-29T23:59:59.999Z INFO tolvan hello [cid=abc]"},
      {"app log, empty cid", app_log, make_record(log::DEBUG, "hello", ""),
       "2024-02-29T23:59:59.999Z DEBUG tolvan hello"},
      {"exception before cid", app_log, make_record(log::ERROR, "failed", "c9", "E1\nE2"),
       "2024-02-29T23:59:59.999Z ERROR tolvan failed\nE1\nE2 [cid=c9]"},
      {"console warning", console, make_record(log::WARNING, "disk low", "r1"),
       "W disk low [cid=r1]"},
      {"console trace", console, make_record(logger::TRACE, "step"), "T step"},
      {"console critical", console, make_record(log::CRITICAL, "down"), "C down"},
      {"console unnamed level", console, make_record(25, "between"), "L between"},
      {"app log unnamed level", app_log, make_record(25, "between"),
       "2024-02-29T23:59:59.999Z Level 25 tolvan between"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.formatter.format(c.record), c.text) << c.label;
}

TEST(CorrelationId, BelongsToTheThreadThatSetIt) {
  set_correlation_id("main");
  std::barrier all_set(4);
  std::vector<std::optional<std::string>> seen(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      if (i > 0) set_correlation_id("t" + std::to_string(i));
      all_set.arrive_and_wait();  // every thread has set its own before any reads
      seen[static_cast<std::size_t>(i)] = get_correlation_id();
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(seen[0], std::nullopt);  // never set on that thread; main's value is not shared
  EXPECT_EQ(seen[1], "t1");
  EXPECT_EQ(seen[3], "t3");
  EXPECT_EQ(get_correlation_id(), "main");
  set_correlation_id(std::nullopt);
  EXPECT_EQ(get_correlation_id(), std::nullopt);
}

TEST_F(LoggingTest, RecordsCarryTheLoggingThreadsCorrelationId) {
  setup_from_file("AppLog " + path("app.log") + " info\nAuditLog " + path("audit.log") + "\n");
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i] {
      if (i == 1) set_correlation_id("");
      if (i >= 2) set_correlation_id("req-" + std::to_string(i));
      for (int n = 0; n < 50; ++n)
        logger.info("thread " + std::to_string(i));
    });
  }
  for (auto& t : threads)
    t.join();

  const auto lines = lines_of(read_file(path("app.log")));
  ASSERT_EQ(lines.size(), 200u);
  for (const auto& line : lines) {
    const Value v = parse_json(line);
    const std::string& message = v.at("message").as_string();
    const Value* cid = v.find("correlation_id");
    if (message == "thread 0" || message == "thread 1") {
      EXPECT_EQ(cid, nullptr) << line;
    } else {
      ASSERT_NE(cid, nullptr) << line;
      EXPECT_EQ(message, "thread " + cid->as_string().substr(4)) << line;
    }
  }
}

TEST_F(LoggingTest, AppLogFileIsOpenedAtOnceInAppendModeWithJsonByDefault) {
  const std::string app = path("logs/deep/app.log");  // directories created as needed
  dir_.write("logs/deep/app.log", "earlier line\n");
  log::Logger& lg = setup_from_file("AppLog " + app + "\nAuditLog " + path("audit.log") + "\n");
  EXPECT_EQ(&lg, &logger);
  EXPECT_EQ(lg.level(), log::WARNING);  // LogLevel's default
  ASSERT_EQ(lg.handlers()->size(), 1u) << "standard output is not a terminal here";

  lg.info("not shown");
  lg.warning("shown");
  const auto lines = lines_of(read_file(app));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier line");
  const Value v = parse_json(lines[1]);
  EXPECT_EQ(v.at("level"), Value("warning"));
  EXPECT_EQ(v.at("logger"), Value("tolvan"));
  EXPECT_EQ(v.at("message"), Value("shown"));
}

// The level and format words of AppLog and LogLevel, from the raw values the store returns.
TEST_F(LoggingTest, LevelAndFormatWordsSelectLevelAndFormatter) {
  const std::string app = path("app.log");
  const struct {
    std::string app_log;
    Value log_level;
    int level;
    bool json;
  } cases[] = {
      {app, nullptr, log::WARNING, true},
      {app + " debug text", "error", log::DEBUG, false},  // LogLevel not read for the logger
      {app + " JSON", "INFO", log::INFO, true},
      {app + " plain", "", log::WARNING, false},
      {app + " Error", "debug", log::ERROR, true},
      {app, "verbose", log::WARNING, true},
      {app, "trace", logger::TRACE, true},
  };
  for (const auto& c : cases) {
    fs::remove(app);
    log::Logger& lg = detail::setup_logging(c.app_log, c.log_level, Value(path("audit.log")));
    EXPECT_EQ(lg.level(), c.level) << c.app_log;
    lg.critical("line");
    const std::string text = read_file(app);
    if (c.json) {
      EXPECT_EQ(text.rfind("{\"timestamp\": ", 0), 0u) << c.app_log << ": " << text;
    } else {
      EXPECT_EQ(text.substr(24), " CRITICAL tolvan line\n") << c.app_log << ": " << text;
    }
  }
}

TEST_F(LoggingTest, PlainAppLogShowsTimestampLevelLoggerAndMessage) {
  setup_from_file("AppLog " + path("app.log") + " debug text\nLogLevel error\nAuditLog " +
                  path("audit.log") + "\n");
  logger.debug("details");
  logger.trace("too fine");
  const auto lines = lines_of(read_file(path("app.log")));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 24 + std::string(" DEBUG tolvan details").size());
  EXPECT_EQ(lines[0].substr(23), "Z DEBUG tolvan details");
}

TEST_F(LoggingTest, AppLogOnStandardOutputIsJsonAndNeverOpenedAsAFile) {
  CapturedFd out(STDOUT_FILENO, dir_ / "stdout.txt");
  setup_from_file("AppLog /dev/stdout\nAuditLog " + path("audit.log") + "\n");
  set_correlation_id("abc");
  logger.error("on stdout");
  const auto handlers = logger.handlers();
  const std::string text = out.text();

  ASSERT_EQ(handlers->size(), 1u);
  EXPECT_EQ(dynamic_cast<detail::FileHandler*>(handlers->at(0).get()), nullptr);
  const auto lines = lines_of(text);
  ASSERT_EQ(lines.size(), 1u) << text;
  const Value v = parse_json(lines[0]);
  EXPECT_EQ(v.at("message"), Value("on stdout"));
  EXPECT_EQ(v.at("correlation_id"), Value("abc"));
}

TEST_F(LoggingTest, UnopenableAppLogFallsBackToStandardErrorInTheConfiguredFormat) {
  dir_.write("not-a-dir", "");
  const std::string app = path("not-a-dir/app.log");
  CapturedFd err(STDERR_FILENO, dir_ / "stderr.txt");
  setup_from_file("AppLog " + app + " info text\nAuditLog " + path("audit.log") + "\n");
  logger.info("still logged");
  const auto lines = lines_of(err.text());

  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("WARNING: cannot open AppLog " + app + ": ", 0), 0u) << lines[0];
  EXPECT_GT(lines[0].size(), ("WARNING: cannot open AppLog " + app + ": ").size());
  EXPECT_EQ(lines[1].substr(23), "Z INFO tolvan still logged");
}

TEST_F(LoggingTest, RepeatedSetupReplacesHandlersInsteadOfAddingThem) {
  const std::string conf = "AppLog " + path("app.log") + "\nAuditLog " + path("audit.log") + "\n";
  setup_from_file(conf);
  setup_from_file(conf);
  logger.warning("once");
  EXPECT_EQ(lines_of(read_file(path("app.log"))).size(), 1u);
}

// Threads log without pause while the set-up is replaced again and again: every record goes
// to exactly one of the two AppLogs, none is lost or doubled.
TEST_F(LoggingTest, SetupWhileOtherThreadsLogLosesAndDoublesNothing) {
  const Value audit(path("audit.log"));
  detail::setup_logging(Value(path("a.log")), "info", audit);
  int round = 0;
  const std::size_t logged = log_from_threads_while([&] {
    detail::setup_logging(Value(path(round++ % 2 == 0 ? "b.log" : "a.log")), "info", audit);
  });
  const std::size_t total =
      lines_of(read_file(path("a.log"))).size() + lines_of(read_file(path("b.log"))).size();
  EXPECT_EQ(total, logged);
}

// A full file system takes only the start of a record: that start is cut off again, so the
// AppLog holds whole records only and the next one is not glued to a fragment.
TEST_F(LoggingTest, AFullFileSystemLosesWholeRecordsOnly) {
  tolvan::testing::Tmpfs mount(dir_ / "small", 64 * 1024);
  TOLVAN_MOUNT_OR_SKIP(mount);
  const std::string app_log = (mount / "app.log").string();
  setup_from_file("AppLog " + app_log + " info\n");
  logger.info("before");
  mount.fill();  // the AppLog's own last block still has room for a few records
  const std::string during = "during " + std::string(200, 'x');
  for (int n = 0; n < 40; ++n) {
    logger.info(during);
  }
  mount.drain();
  logger.info("after");

  const auto lines = lines_of(read_file(app_log));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_LT(lines.size(), 42u) << "the file system was full";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string want = i == 0 ? "before" : i + 1 == lines.size() ? "after" : during;
    EXPECT_EQ(parse_json(lines[i]).at("message"), Value(want)) << "line " << i;
  }
}

TEST_F(LoggingTest, ReopenAfterRotationWritesToANewFileAtTheConfiguredPath) {
  setup_from_file("AppLog " + path("app.log") + " info\nAuditLog " + path("audit.log") + "\n");
  logger.info("before rotation");
  fs::rename(path("app.log"), path("app.log.1"));
  logger.info("after move, before reopen");
  reopen_logs();
  logger.info("after reopen");

  const auto rotated = lines_of(read_file(path("app.log.1")));
  const auto fresh = lines_of(read_file(path("app.log")));
  ASSERT_EQ(rotated.size(), 2u);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(parse_json(fresh[0]).at("message"), Value("after reopen"));
}

// The log directory is moved away, so the reopen cannot create the file: it says so, and the
// records go on to the file already open. Once the directory is back, a reopen moves on to a
// new file there.
TEST_F(LoggingTest, FailedReopenWarnsAndKeepsWritingToTheOpenFile) {
  const std::string app = path("logs/app.log");
  setup_from_file("AppLog " + app + " info\nAuditLog " + path("audit.log") + "\n");
  logger.info("first");
  fs::rename(path("logs"), path("logs.old"));

  CapturedFd err(STDERR_FILENO, dir_ / "stderr.txt");
  reopen_logs();
  logger.info("kept");
  const std::string warnings = err.text();
  EXPECT_EQ(warnings.rfind("WARNING: failed to reopen log file: ", 0), 0u) << warnings;
  EXPECT_NE(warnings.find(app), std::string::npos) << warnings;
  EXPECT_EQ(lines_of(warnings).size(), 1u) << warnings;
  EXPECT_FALSE(fs::exists(path("logs")));

  fs::create_directory(path("logs"));
  reopen_logs();
  logger.info("second");
  const auto messages = [](const std::string& file) {
    std::vector<Value> out;
    for (const std::string& line : lines_of(read_file(file)))
      out.push_back(parse_json(line).at("message"));
    return out;
  };
  EXPECT_EQ(messages(path("logs.old/app.log")),
            (std::vector<Value>{Value("first"), Value("kept")}));
  EXPECT_EQ(messages(app), std::vector<Value>{Value("second")});
}

// Threads log without pause while the file is moved away and reopened again and again: every
// record lands whole in exactly one of the files, none on a descriptor closed by the swap.
TEST_F(LoggingTest, ReopenWhileOtherThreadsLogLosesAndDoublesNothing) {
  detail::setup_logging(Value(path("app.log")), "info", Value(path("audit.log")));
  int rotations = 0;
  const std::size_t logged = log_from_threads_while([&] {
    fs::rename(path("app.log"), path("app.log." + std::to_string(++rotations)));
    reopen_logs();
  });

  std::size_t total = 0;
  for (int k = 0; k <= rotations; ++k) {
    const std::string file = path(k == 0 ? "app.log" : "app.log." + std::to_string(k));
    for (const std::string& line : lines_of(read_file(file))) {
      ++total;
      ASSERT_EQ(parse_json(line).at("message"), Value("record")) << file << ": " << line;
    }
  }
  EXPECT_EQ(total, logged);
}

TEST_F(LoggingTest, ReopenKeepsTheAbsolutePathWhenTheWorkingDirectoryChanges) {
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_.path());
  detail::setup_logging(Value("rel/app.log"), "info", Value(path("audit.log")));
  fs::current_path(old_cwd);
  fs::rename(path("rel/app.log"), path("rel/app.log.1"));
  reopen_logs();
  logger.info("after reopen");
  EXPECT_EQ(lines_of(read_file(path("rel/app.log"))).size(), 1u);
}

// A full disk: the AppLog reports the failure once on standard error (not once per record),
// audit lines are dropped without a word, and the callers never notice.
TEST_F(LoggingTest, FailingWritesAreReportedOnceAndNeverReachTheCaller) {
  CapturedFd err(STDERR_FILENO, dir_ / "stderr.txt");
  detail::setup_logging(Value("/dev/full"), "info", Value("/dev/full"));
  for (int i = 0; i < 3; ++i) {
    logger.info("lost");
    write_audit("s", "u", "a", 1, 200, "OK", "c");
  }
  const auto lines = lines_of(err.text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "WARNING: cannot write to log file /dev/full: " + std::string(strerror(ENOSPC)));
}

// Standard output is a pipe whose reader has gone: writing must not end the process with
// SIGPIPE.
TEST_F(LoggingTest, ClosedPipeOnStandardOutputDoesNotEndTheProcess) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  detail::setup_logging(Value("/dev/stdout"), "info", Value("/dev/stdout"));
  logger.info("nobody reads this");
  write_audit("s", "u", "a", 1, 200, "OK", "c");
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  SUCCEED() << "still running";
}

// The console goes to a terminal on standard output unless one of the logs is on a stream.
TEST_F(LoggingTest, ConsoleIsAddedOnlyForATerminalAndFileLogs) {
  dir_.write("not-a-dir", "");
  const struct {
    std::string app_log;
    std::string audit_log;
    bool console;
  } cases[] = {
      {path("app.log"), path("audit.log"), true},
      {path("app.log") + " debug", path("audit.log"), true},  // console keeps LogLevel's level
      {"/dev/stdout", path("audit.log"), false},
      {"/dev/stderr", path("audit.log"), false},
      {path("app.log"), "/dev/stderr", false},
      {path("app.log"), "/dev/stdout", false},
      {path("not-a-dir/app.log"), path("audit.log"), true},  // fell back to standard error
  };
  for (const auto& c : cases) {
    CapturedFd err(STDERR_FILENO, dir_ / "stderr.txt");
    TerminalStdout terminal;
    if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    detail::setup_logging(Value(c.app_log), "info", Value(c.audit_log));
    const auto handlers = logger.handlers();
    terminal.restore();
    log::get_logger("tolvan").set_handlers({});

    ASSERT_EQ(handlers->size(), c.console ? 2u : 1u) << c.app_log << " / " << c.audit_log;
    if (!c.console) continue;
    EXPECT_EQ(c.app_log.find("not-a-dir") == std::string::npos,
              dynamic_cast<const detail::FileHandler*>(handlers->at(0).get()) != nullptr);
    const auto* console = dynamic_cast<const detail::StreamHandler*>(handlers->at(1).get());
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(console->fd(), STDOUT_FILENO);
    EXPECT_EQ(console->level(), log::INFO);
  }
}

TEST_F(LoggingTest, ConsoleShowsOneLetterLevelsAtItsOwnLevel) {
  TerminalStdout terminal;
  if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  // Logger at error from the AppLog word; console at info from LogLevel.
  setup_from_file("AppLog " + path("app.log") + " error text\nLogLevel info\nAuditLog " +
                  path("audit.log") + "\n");
  set_correlation_id("r1");
  logger.warning("not shown");
  logger.error("failed");
  logger.critical("down");
  std::string console = terminal.read_lines(2);
  console += terminal.read_rest();  // the warning must not follow
  terminal.restore();

  EXPECT_EQ(console, "E failed [cid=r1]\nC down [cid=r1]\n");
  const auto lines = lines_of(read_file(path("app.log")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(23), "Z ERROR tolvan failed [cid=r1]");
}

TEST_F(LoggingTest, ConsoleAbbreviationNeverReachesTheAppLog) {
  TerminalStdout terminal;
  if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  setup_from_file("AppLog " + path("app.log") + " text\nLogLevel info\nAuditLog " +
                  path("audit.log") + "\n");
  set_correlation_id("r1");
  logger.warning("disk low");
  logger.log(25, "between");
  const std::string console = terminal.read_lines(2);
  terminal.restore();

  EXPECT_EQ(console, "W disk low [cid=r1]\nL between [cid=r1]\n");
  const auto lines = lines_of(read_file(path("app.log")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(23), "Z WARNING tolvan disk low [cid=r1]");
  EXPECT_EQ(lines[1].substr(23), "Z Level 25 tolvan between [cid=r1]");
}

}  // namespace
}  // namespace tolvan::logger
