#include "value/log.h"

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tolvan::log {
namespace {

class UpperFilter : public Filter {
 public:
  bool filter(Record& r) override {
    if (r.message == "drop") return false;
    r.correlation_id = "cid-" + r.message;
    return true;
  }
};

class ThrowingHandler : public Handler {
 protected:
  void emit(const Record&) override { throw std::runtime_error("disk full"); }
};

TEST(Log, LevelNamesAndWords) {
  EXPECT_EQ(level_name(5), "TRACE");
  EXPECT_EQ(level_name(30), "WARNING");
  EXPECT_EQ(level_name(50), "CRITICAL");
  EXPECT_EQ(level_name(25), "Level 25");
  EXPECT_EQ(level_name(0), "Level 0");
  EXPECT_EQ(level_from_word("warn"), WARNING);
  EXPECT_EQ(level_from_word("warning"), WARNING);
  EXPECT_EQ(level_from_word("trace"), TRACE);
  EXPECT_EQ(level_from_word("critical"), CRITICAL);
  EXPECT_EQ(level_from_word("DEBUG"), std::nullopt);
  EXPECT_EQ(level_from_word("fatal"), std::nullopt);
}

TEST(Log, LoggerAndHandlerLevelsAndFilters) {
  Logger& logger = get_logger("log-test-levels");
  EXPECT_EQ(&logger, &get_logger("log-test-levels"));
  EXPECT_EQ(logger.level(), WARNING);

  auto all = std::make_shared<MemoryHandler>();
  auto errors = std::make_shared<MemoryHandler>();
  errors->set_level(ERROR);
  errors->add_filter(std::make_shared<UpperFilter>());
  logger.set_handlers({all, std::make_shared<ThrowingHandler>(), errors});

  logger.info("not shown");
  logger.warning("w");
  logger.error("e");
  logger.error("drop");
  logger.log(45, "custom");
  logger.set_level(TRACE);
  logger.trace("t");
  EXPECT_EQ(all->messages(), (std::vector<std::string>{"w", "e", "drop", "custom", "t"}));
  EXPECT_EQ(errors->messages(), (std::vector<std::string>{"e", "custom"}));

  const auto recs = errors->records();
  EXPECT_EQ(recs[0].correlation_id, "cid-e");
  EXPECT_EQ(recs[1].levelname, "Level 45");
  EXPECT_EQ(recs[0].name, "log-test-levels");
  // The filter amended only its own handler's copy.
  EXPECT_EQ(all->records()[1].correlation_id, std::nullopt);

  all->clear();
  logger.exception("failed", std::runtime_error("boom"));
  ASSERT_EQ(all->records().size(), 1u);
  EXPECT_EQ(all->records()[0].levelno, ERROR);
  EXPECT_EQ(all->records()[0].exc_text, "boom");

  logger.set_handlers({});
  logger.critical("nobody listens");
  EXPECT_EQ(all->records().size(), 1u);
}

// Counts the records it receives; cheap enough to poll while other threads log.
class CountingHandler : public Handler {
 public:
  std::atomic<int> count{0};
  std::atomic<int> wrong{0};

 protected:
  void emit(const Record& r) override {
    if (r.message != "tick" || r.levelname != "INFO") ++wrong;
    ++count;
  }
};

// A handler that logs from its destructor, as a file handler reporting a failed close might.
class LoggingOnCloseHandler : public MemoryHandler {
 public:
  explicit LoggingOnCloseHandler(Logger& logger) : logger_(logger) {}
  ~LoggingOnCloseHandler() override { logger_.warning("closing"); }

 private:
  Logger& logger_;
};

TEST(Log, ReplacedHandlerMayLogFromItsDestructor) {
  Logger& logger = get_logger("log-test-destructor");
  auto survivor = std::make_shared<MemoryHandler>();
  logger.set_handlers({std::make_shared<LoggingOnCloseHandler>(logger)});
  logger.set_handlers({survivor});  // destroys the first handler: must not deadlock
  EXPECT_EQ(survivor->messages(), std::vector<std::string>{"closing"});
  logger.set_handlers({});
}

TEST(Log, HandlersReplacedWhileLogging) {
  Logger& logger = get_logger("log-test-concurrent");
  logger.set_level(DEBUG);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&] {
      while (!stop.load())
        logger.info("tick");
    });
  }
  std::vector<std::shared_ptr<CountingHandler>> used;
  for (int i = 0; i < 50; ++i) {
    auto h = std::make_shared<CountingHandler>();
    used.push_back(h);
    logger.set_handlers({h});
    while (h->count.load() == 0)
      std::this_thread::yield();  // a writer reached the new list
  }
  stop = true;
  for (auto& w : writers)
    w.join();
  logger.set_handlers({});
  for (const auto& h : used)
    EXPECT_EQ(h->wrong.load(), 0);
}

}  // namespace
}  // namespace tolvan::log
