#pragma once

// The pieces `setup_logging` assembles: the level tables, the AppLog formatters (JSON and
// plain text), the correlation filter, and the stream and file handlers.
//
// Failure: formatting never throws for any record; a handler that cannot write drops the
// record (a file handler says so once on standard error) and never fails the logging call.
// Thread-safety: formatters and the filter are stateless. Each handler serialises its own
// writes and the descriptor swap of its reopen with a mutex of its own.

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "value/log.h"

namespace tolvan::logger::detail {

/// Configuration word to severity. Any other word means WARNING.
inline constexpr std::array<std::pair<std::string_view, int>, 7> LEVEL_MAP{{
    {"trace", log::TRACE},
    {"debug", log::DEBUG},
    {"info", log::INFO},
    {"warn", log::WARNING},
    {"warning", log::WARNING},
    {"error", log::ERROR},
    {"critical", log::CRITICAL},
}};

/// Level name to the one letter the console shows.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 6> LEVEL_ABBREV{{
    {"TRACE", "T"},
    {"DEBUG", "D"},
    {"INFO", "I"},
    {"WARNING", "W"},
    {"ERROR", "E"},
    {"CRITICAL", "C"},
}};

/// The severity of a configuration word (exact, lower case), WARNING when it is not one.
int level_for_word(std::string_view word);

/// The console letter of a level name: its table entry, or the name's first character.
std::string abbreviate_level(std::string_view level_name);

/// "2024-02-29T23:59:59.999Z": UTC, milliseconds truncated (never rounded).
std::string format_timestamp(std::chrono::system_clock::time_point t);

class Formatter {
 public:
  virtual ~Formatter() = default;
  /// One record as text, without the line end.
  virtual std::string format(const log::Record& record) const = 0;
  /// The record's creation time as `format_timestamp` writes it.
  std::string format_time(const log::Record& record) const;
};

/// One JSON object per record: timestamp, level (lower case), logger, message, then
/// correlation_id (when non-empty) and exception (when present). ASCII only, ", " and ": "
/// separators, so a line break in the message never breaks the line.
class JsonFormatter : public Formatter {
 public:
  std::string format(const log::Record& record) const override;
};

/// "{timestamp} {LEVEL} {logger} {message}", each of the timestamp and the logger name only
/// when asked for, the level optionally as one letter; exception text on the following
/// lines; " [cid={cid}]" at the very end when the record has a non-empty correlation ID.
class PlainFormatter : public Formatter {
 public:
  explicit PlainFormatter(bool include_timestamp = true, bool include_name = true,
                          bool abbreviate_level = false)
      : include_timestamp_(include_timestamp),
        include_name_(include_name),
        abbreviate_level_(abbreviate_level) {}

  std::string format(const log::Record& record) const override;

  bool include_timestamp() const { return include_timestamp_; }
  bool include_name() const { return include_name_; }
  bool abbreviates_level() const { return abbreviate_level_; }

 private:
  bool include_timestamp_;
  bool include_name_;
  bool abbreviate_level_;
};

/// Stamps each record with the emitting thread's correlation ID; lets every record pass.
class CorrelationFilter : public log::Filter {
 public:
  bool filter(log::Record& record) override;
};

/// Writes each formatted record and "\n" to a standard stream with one write, so nothing is
/// left in a buffer. Without a formatter a record is written as its message.
class StreamHandler : public log::Handler {
 public:
  /// `fd` is standard output (1) or standard error (2); it is not owned.
  explicit StreamHandler(int fd) : fd_(fd) {}

  /// Set before the handler is attached to a logger.
  void set_formatter(std::shared_ptr<const Formatter> formatter) {
    formatter_ = std::move(formatter);
  }
  const Formatter* formatter() const { return formatter_.get(); }

  /// The descriptor written to; -1 when the handler has no usable stream.
  int fd() const;

 protected:
  /// Takes over a descriptor this handler owns (a file handler's).
  StreamHandler() = default;

  void emit(const log::Record& record) override;
  /// Called under the mutex after each write: 0 on success, else the errno value.
  virtual void write_result(int /*error*/) noexcept {}

  mutable std::mutex mutex_;
  int fd_ = -1;  // guarded by mutex_
  // A file of ours: a record the file system takes only part of is cut off again.
  bool whole_records_ = false;

 private:
  std::shared_ptr<const Formatter> formatter_;
};

/// A stream handler on a file it owns, opened for appending at once, and reopened at the same
/// path on request. The path is kept in absolute form, so a later change of the working
/// directory does not move the log.
class FileHandler : public StreamHandler {
 public:
  /// Opens (creating) `path` for appending; throws std::system_error when it cannot.
  explicit FileHandler(const std::filesystem::path& path);
  ~FileHandler() override;
  FileHandler(const FileHandler&) = delete;
  FileHandler& operator=(const FileHandler&) = delete;

  const std::filesystem::path& path() const { return path_; }

  /// Opens the path again (creating the file) and then closes the current file, so a file moved
  /// away is replaced by a new one at the path. On failure returns the error's text and keeps
  /// writing to the file it has, until a later reopen succeeds.
  std::optional<std::string> reopen() noexcept;

 protected:
  void write_result(int error) noexcept override;

 private:
  std::filesystem::path path_;
  bool write_failing_ = false;  // a failure was reported; quiet until a write succeeds
};

}  // namespace tolvan::logger::detail
