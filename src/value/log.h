#pragma once

// The named-logger facade. Every library logs through `get_logger("tolvan")`; the logger
// library installs the handlers and formatters. A logger has a level and an ordered handler
// list that is replaced atomically: a record goes either to the old handlers or to the new.
// A logger never passes records on to another logger. With no handlers, records are dropped.
//
// Failure: logging never throws; a handler that fails is the handler's business.
// Thread-safety: all operations may be called from any thread.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvan::log {

inline constexpr int TRACE = 5;
inline constexpr int DEBUG = 10;
inline constexpr int INFO = 20;
inline constexpr int WARNING = 30;
inline constexpr int ERROR = 40;
inline constexpr int CRITICAL = 50;

/// "TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL", or "Level N" for other numbers.
std::string level_name(int level);

/// The configuration words: trace, debug, info, warn, warning, error, critical (lower case
/// only). nullopt for any other word.
std::optional<int> level_from_word(std::string_view word);

struct Record {
  std::string name;        // logger name
  int levelno = 0;
  std::string levelname;   // level_name(levelno)
  std::string message;
  std::chrono::system_clock::time_point created;
  std::optional<std::string> exc_text;
  std::optional<std::string> correlation_id;  // set by a filter
};

class Filter {
 public:
  virtual ~Filter() = default;
  /// May amend the record; false drops it for this handler.
  virtual bool filter(Record& record) = 0;
};

class Handler {
 public:
  virtual ~Handler() = default;
  /// Applies the handler's level and filters to a copy of the record, then emits it.
  /// Never throws.
  void handle(const Record& record) noexcept;

  void set_level(int level) { level_.store(level); }
  int level() const { return level_.load(); }
  /// Set before the handler is attached to a logger.
  void add_filter(std::shared_ptr<Filter> f) { filters_.push_back(std::move(f)); }

 protected:
  /// Writes one record; serialises its own output.
  virtual void emit(const Record& record) = 0;

 private:
  std::atomic<int> level_{0};
  std::vector<std::shared_ptr<Filter>> filters_;
};

using HandlerList = std::vector<std::shared_ptr<Handler>>;

class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  const std::string& name() const { return name_; }
  void set_level(int level) { level_.store(level); }
  int level() const { return level_.load(); }
  bool enabled_for(int level) const { return level >= level_.load(); }

  /// Replaces the whole handler list at once.
  void set_handlers(HandlerList handlers);
  std::shared_ptr<const HandlerList> handlers() const;

  void log(int level, std::string message, std::optional<std::string> exc_text = {}) noexcept;
  void trace(std::string message) noexcept { log(TRACE, std::move(message)); }
  void debug(std::string message) noexcept { log(DEBUG, std::move(message)); }
  void info(std::string message) noexcept { log(INFO, std::move(message)); }
  void warning(std::string message) noexcept { log(WARNING, std::move(message)); }
  void error(std::string message) noexcept { log(ERROR, std::move(message)); }
  void critical(std::string message) noexcept { log(CRITICAL, std::move(message)); }
  /// Error level with the exception's description attached as exception text.
  void exception(std::string message, const std::exception& e) noexcept;

 private:
  std::string name_;
  std::atomic<int> level_{WARNING};
  std::atomic<std::shared_ptr<const HandlerList>> handlers_{std::make_shared<const HandlerList>()};
};

/// The process-wide logger with this name, created on first use; never destroyed.
Logger& get_logger(std::string_view name);

/// A handler that keeps every record in memory, for tests and diagnostics.
class MemoryHandler : public Handler {
 public:
  std::vector<Record> records() const;
  std::vector<std::string> messages() const;
  void clear();

 protected:
  void emit(const Record& record) override;

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace tolvan::log
