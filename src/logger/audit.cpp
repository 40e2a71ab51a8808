#include "logger/internal/audit.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <mutex>

#include "logger/handlers.h"
#include "logger/internal/io.h"
#include "logger/logger.h"

namespace tolvan::logger {

namespace {

// Serialises audit lines: each line's open, write and close is one unit. Not reentrant:
// nothing called under it logs or audits.
std::mutex audit_lock;

// Null until setup_logging chooses a target, and after the AuditLog directory failed.
std::atomic<std::shared_ptr<const detail::AuditTarget>> audit_target;

void append_field(std::string& line, std::string_view name, std::string_view value) {
  line += ' ';
  line += name;
  line += '=';
  line += value;
}

void append_optional(std::string& line, std::string_view name, const Value& value) {
  if (value.is_null()) return;
  append_field(line, name, to_text(value));
}

std::string format_line(std::chrono::system_clock::time_point now, std::string_view source,
                        std::string_view user, std::string_view alias, std::int64_t duration_ms,
                        std::int64_t status, std::string_view app_code,
                        std::string_view correlation_id, const Value& exit_code, const Value& pid,
                        const Value& container_id, const Value& image_id) {
  std::string line = detail::format_timestamp(now);
  append_field(line, "src", source);
  append_field(line, "cid", correlation_id);
  append_field(line, "user", user);
  append_field(line, "alias", alias);
  append_field(line, "status", std::to_string(status));
  append_field(line, "code", app_code);
  append_field(line, "duration", std::to_string(duration_ms) + "ms");
  append_optional(line, "exitcode", exit_code);
  append_optional(line, "pid", pid);
  append_optional(line, "containerid", container_id);
  append_optional(line, "imageid", image_id);
  line += '\n';
  return line;
}

void write_line(const detail::AuditTarget& target, std::string_view line) noexcept {
  switch (target.kind) {
    case detail::AuditTarget::Kind::Stdout:
      detail::write_fully(STDOUT_FILENO, line);
      return;
    case detail::AuditTarget::Kind::Stderr:
      detail::write_fully(STDERR_FILENO, line);
      return;
    case detail::AuditTarget::Kind::File: {
      // Opened for every line, so a rotated AuditLog is recreated without a reopen. The
      // line is one write on an O_APPEND descriptor, so lines never interleave.
      const int fd = detail::open_append(target.path.c_str());
      if (fd < 0) return;
      detail::append_whole(fd, line);
      ::close(fd);
      return;
    }
  }
}

}  // namespace

std::int64_t AuditNumber::to_int(std::string_view what) const {
  if (!is_float_) return int_;
  // 2^63 is exactly representable; every double below it in magnitude fits after truncation.
  constexpr double kLimit = 9223372036854775808.0;
  const double t = std::trunc(float_);
  if (!std::isfinite(t) || t >= kLimit || t < -kLimit) {
    throw std::invalid_argument(std::string(what) + ": cannot convert float " +
                                format_float(float_) + " to integer");
  }
  return static_cast<std::int64_t>(t);
}

void write_audit(std::string_view source, std::string_view user, std::string_view alias,
                 AuditNumber duration_ms, AuditNumber status, std::string_view app_code,
                 std::string_view correlation_id, const Value& exit_code, const Value& pid,
                 const Value& container_id, const Value& image_id) {
  // Argument errors surface before anything is written and before the off-switch is read.
  const std::int64_t duration = duration_ms.to_int("duration_ms");
  const std::int64_t status_code = status.to_int("status");
  if (!audit_target.load()) return;
  try {
    const auto now = std::chrono::system_clock::now();
    const std::string line = format_line(now, source, user, alias, duration, status_code, app_code,
                                         correlation_id, exit_code, pid, container_id, image_id);
    std::lock_guard lock(audit_lock);
    const auto target = audit_target.load();
    if (target) write_line(*target, line);
  } catch (...) {
    // Out of memory or a failed lock: the line is lost, the request is not.
  }
}

namespace detail {

void set_audit_target(std::shared_ptr<const AuditTarget> target) noexcept {
  std::lock_guard lock(audit_lock);
  audit_target.store(std::move(target));
}

}  // namespace detail

}  // namespace tolvan::logger
