// The named-logger facade.

#include "value/log.h"

#include <map>
#include <shared_mutex>

namespace tolvan::log {

std::string level_name(int level) {
  switch (level) {
    case TRACE:
      return "TRACE";
    case DEBUG:
      return "DEBUG";
    case INFO:
      return "INFO";
    case WARNING:
      return "WARNING";
    case ERROR:
      return "ERROR";
    case CRITICAL:
      return "CRITICAL";
    default:
      return "Level " + std::to_string(level);
  }
}

std::optional<int> level_from_word(std::string_view word) {
  if (word == "trace") return TRACE;
  if (word == "debug") return DEBUG;
  if (word == "info") return INFO;
  if (word == "warn" || word == "warning") return WARNING;
  if (word == "error") return ERROR;
  if (word == "critical") return CRITICAL;
  return std::nullopt;
}

void Handler::handle(const Record& record) noexcept {
  try {
    if (record.levelno < level()) return;
    Record copy = record;
    for (const auto& f : filters_) {
      if (!f->filter(copy)) return;
    }
    emit(copy);
  } catch (...) {
    // A failing handler or filter never reaches the code that logged.
  }
}

namespace {

// libstdc++ 12's atomic<shared_ptr> releases its internal lock in load() with relaxed order,
// so a load and a later store race on the stored pointer (ThreadSanitizer reports it). Stores
// are rare: they take this lock exclusively, loads share it.
std::shared_mutex& handlers_guard() {
  static std::shared_mutex guard;
  return guard;
}

}  // namespace

void Logger::set_handlers(HandlerList handlers) {
  auto list = std::make_shared<const HandlerList>(std::move(handlers));
  std::shared_ptr<const HandlerList> old;
  {
    std::unique_lock lock(handlers_guard());
    old = handlers_.exchange(std::move(list));
  }
  // `old` goes out of scope here, outside the lock: a handler's destructor may log.
}

std::shared_ptr<const HandlerList> Logger::handlers() const {
  std::shared_lock lock(handlers_guard());
  return handlers_.load();
}

void Logger::log(int level, std::string message, std::optional<std::string> exc_text) noexcept {
  try {
    if (!enabled_for(level)) return;
    const std::shared_ptr<const HandlerList> list = handlers();
    if (list->empty()) return;
    Record record;
    record.name = name_;
    record.levelno = level;
    record.levelname = level_name(level);
    record.message = std::move(message);
    record.created = std::chrono::system_clock::now();
    record.exc_text = std::move(exc_text);
    for (const auto& handler : *list) {
      if (handler) handler->handle(record);
    }
  } catch (...) {
    // Logging never throws (for example when memory runs out while building the record).
  }
}

void Logger::exception(std::string message, const std::exception& e) noexcept {
  try {
    log(ERROR, std::move(message), std::string(e.what()));
  } catch (...) {
  }
}

Logger& get_logger(std::string_view name) {
  static std::mutex mutex;
  // Never destroyed: loggers may still be used while static objects are torn down.
  static auto* loggers = new std::map<std::string, std::unique_ptr<Logger>, std::less<>>();
  std::lock_guard lock(mutex);
  auto it = loggers->find(name);
  if (it == loggers->end()) {
    it = loggers->emplace(std::string(name), std::make_unique<Logger>(std::string(name))).first;
  }
  return *it->second;
}

std::vector<Record> MemoryHandler::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<std::string> MemoryHandler::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(records_.size());
  for (const auto& r : records_)
    out.push_back(r.message);
  return out;
}

void MemoryHandler::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

void MemoryHandler::emit(const Record& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

}  // namespace tolvan::log
