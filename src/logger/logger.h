#pragma once

// The service's logging: the application logger "tolvan" and where its records go (AppLog
// file or standard stream, JSON or plain text, the console on a terminal), the per-thread
// correlation ID stamped on every record, log reopening for rotation, and the AuditLog.
//
// Failure: nothing here fails the code that logs. Problems of the logging set-up itself are
// reported on standard error as lines beginning "WARNING: "; a failed audit line is dropped.
// Thread-safety: every function may be called from any thread. `setup_logging` may run while
// other threads log: a record goes to the old handlers or to the new ones.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "config/config.h"
#include "logger/handlers.h"
#include "value/log.h"
#include "value/value.h"

namespace tolvan::logger {

inline constexpr int TRACE = log::TRACE;

/// The application logger, the same object as `log::get_logger("tolvan")`.
extern log::Logger& logger;

/// The calling thread's correlation ID; nullopt when this thread never set one.
std::optional<std::string> get_correlation_id();

/// Sets the calling thread's correlation ID (nullopt clears it). Other threads are unaffected.
void set_correlation_id(std::optional<std::string> cid);

/// Reads AppLog, LogLevel and AuditLog from `cfg` and replaces the application logger's
/// handlers: the AppLog handler, then the console handler when standard output is a terminal
/// (and neither log is on a standard stream). Also selects the AuditLog target. An AppLog that
/// cannot be opened falls back to standard error; an AuditLog directory that cannot be created
/// switches audit lines off. Both are reported on standard error. Returns the logger.
log::Logger& setup_logging(const config::Config& cfg);

/// Reopens every AppLog file handler at its path (for log rotation). A handler that cannot be
/// reopened is reported on standard error and goes on writing to the file it had open.
void reopen_logs() noexcept;

/// A whole number for an audit field: any integer, or a floating-point number truncated toward
/// zero. Booleans are refused at compile time.
class AuditNumber {
 public:
  template <typename T>
  requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
      AuditNumber(T v) {  // NOLINT(google-explicit-constructor): a number at the call site
    if constexpr (std::is_floating_point_v<T>) {
      is_float_ = true;
      float_ = static_cast<double>(v);
    } else {
      int_ = static_cast<std::int64_t>(v);
    }
  }

  /// The integer value; throws std::invalid_argument naming `what` for a float that is not
  /// finite or does not fit in 64 bits.
  std::int64_t to_int(std::string_view what) const;

 private:
  bool is_float_ = false;
  std::int64_t int_ = 0;
  double float_ = 0;
};

/// Writes one AuditLog line:
/// "{time} src= cid= user= alias= status= code= duration={ms}ms" followed by " exitcode=",
/// " pid=", " containerid=", " imageid=" for each of the last four that is not null (in their
/// text form). Does nothing while audit lines are off (before `setup_logging`, or when the
/// AuditLog directory could not be created). Each line is one write under a lock, so lines
/// from concurrent callers never mix. A file target is opened for every line, so a rotated
/// AuditLog is recreated by the next line. A failed open or write drops the line silently.
/// Throws std::invalid_argument, before anything is written, only for a non-finite or
/// out-of-range floating-point `duration_ms` or `status` (a caller error).
void write_audit(std::string_view source, std::string_view user, std::string_view alias,
                 AuditNumber duration_ms, AuditNumber status, std::string_view app_code,
                 std::string_view correlation_id, const Value& exit_code = {},
                 const Value& pid = {}, const Value& container_id = {}, const Value& image_id = {});

namespace detail {

/// `setup_logging` on the three raw configuration values (null when unset).
log::Logger& setup_logging(const Value& app_log, const Value& log_level, const Value& audit_log);

}  // namespace detail

}  // namespace tolvan::logger
