#include "logger/handlers.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "logger/internal/io.h"
#include "logger/logger.h"
#include "value/json.h"
#include "value/value.h"

namespace tolvan::logger::detail {

int level_for_word(std::string_view word) {
  for (const auto& [name, level] : LEVEL_MAP) {
    if (name == word) return level;
  }
  return log::WARNING;
}

std::string abbreviate_level(std::string_view level_name) {
  for (const auto& [name, letter] : LEVEL_ABBREV) {
    if (name == level_name) return std::string(letter);
  }
  return std::string(level_name.substr(0, 1));
}

std::string format_timestamp(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  // Truncate first: a time just before midnight must stay on its day.
  const auto ms = floor<milliseconds>(t);
  const auto day = floor<days>(ms);
  const year_month_day ymd{day};
  const hh_mm_ss hms{ms - day};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                static_cast<int>(hms.subseconds().count()));
  return buf;
}

std::string Formatter::format_time(const log::Record& record) const {
  return format_timestamp(record.created);
}

std::string JsonFormatter::format(const log::Record& record) const {
  std::string out = "{\"timestamp\": ";
  append_json_string(out, format_time(record), true);
  out += ", \"level\": ";
  append_json_string(out, to_lower(record.levelname), true);
  out += ", \"logger\": ";
  append_json_string(out, record.name, true);
  out += ", \"message\": ";
  append_json_string(out, record.message, true);
  if (record.correlation_id && !record.correlation_id->empty()) {
    out += ", \"correlation_id\": ";
    append_json_string(out, *record.correlation_id, true);
  }
  if (record.exc_text) {
    out += ", \"exception\": ";
    append_json_string(out, *record.exc_text, true);
  }
  out += '}';
  return out;
}

std::string PlainFormatter::format(const log::Record& record) const {
  // The abbreviation lives in this text only; the record other handlers see keeps its name.
  std::string out;
  if (include_timestamp_) {
    out += format_time(record);
    out += ' ';
  }
  out += abbreviate_level_ ? abbreviate_level(record.levelname) : record.levelname;
  out += ' ';
  if (include_name_) {
    out += record.name;
    out += ' ';
  }
  out += record.message;
  if (record.exc_text && !record.exc_text->empty()) {
    if (out.back() != '\n') out += '\n';
    out += *record.exc_text;
  }
  if (record.correlation_id && !record.correlation_id->empty()) {
    out += " [cid=";
    out += *record.correlation_id;
    out += ']';
  }
  return out;
}

bool CorrelationFilter::filter(log::Record& record) {
  record.correlation_id = get_correlation_id();
  return true;
}

int StreamHandler::fd() const {
  std::lock_guard lock(mutex_);
  return fd_;
}

void StreamHandler::emit(const log::Record& record) {
  try {
    std::string line = formatter_ ? formatter_->format(record) : record.message;
    line += '\n';
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return;  // a handler built without a descriptor
    write_result(whole_records_ ? append_whole(fd_, line) : write_fully(fd_, line));
  } catch (...) {
    // A record that cannot be formatted or written is dropped; the caller goes on.
  }
}

FileHandler::FileHandler(const std::filesystem::path& path)
    : path_(std::filesystem::absolute(path).lexically_normal()) {
  whole_records_ = true;
  fd_ = open_append(path_.c_str());
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path_.string());
}

FileHandler::~FileHandler() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> FileHandler::reopen() noexcept {
  try {
    // The new file is opened before the old one is let go: when the path cannot be opened (its
    // directory was moved away or removed), records keep going to the file already open
    // rather than being dropped until a later reopen succeeds.
    const int fd = open_append(path_.c_str());
    if (fd < 0) {
      const int error = errno;
      return error_text(error) + ": '" + path_.string() + "'";
    }
    int old_fd;
    {
      // Records are written straight to the descriptor, so there is nothing to flush; a record
      // being written holds the mutex, so none is written to a descriptor closed under it.
      std::lock_guard lock(mutex_);
      old_fd = std::exchange(fd_, fd);
      write_failing_ = false;
    }
    if (old_fd >= 0) ::close(old_fd);
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  } catch (...) {
    return std::string("unknown error");
  }
}

void FileHandler::write_result(int error) noexcept {
  if (error == 0) {
    write_failing_ = false;
    return;
  }
  if (write_failing_) return;
  write_failing_ = true;
  try {
    print_warning("WARNING: cannot write to log file " + path_.string() + ": " + error_text(error));
  } catch (...) {
  }
}

}  // namespace tolvan::logger::detail
