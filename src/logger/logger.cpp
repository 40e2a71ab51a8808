#include "logger/logger.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <system_error>

#include "logger/internal/audit.h"
#include "logger/internal/io.h"

namespace tolvan::logger {

log::Logger& logger = log::get_logger("tolvan");

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDefaultAppLog = "/var/log/tolvan/app.log";
constexpr std::string_view kDefaultAuditLog = "/var/log/tolvan/audit.log";
constexpr std::string_view kDefaultLevel = "warn";

thread_local std::optional<std::string> t_correlation_id;

// setup_logging may be called again while the service runs; two calls never overlap.
std::mutex setup_mutex;

// The configured text, or `fallback` when the key is unset or empty.
std::string text_or(const Value& v, std::string_view fallback) {
  if (v.is_null()) return std::string(fallback);
  std::string text = to_text(v);
  if (text.empty()) return std::string(fallback);
  return text;
}

bool is_std_stream(std::string_view path) {
  return path == "/dev/stdout" || path == "/dev/stderr";
}

// Creates the directory that will hold `path` (an existing one is fine).
std::error_code create_parent_dir(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec).lexically_normal();
  if (ec) return ec;
  fs::create_directories(absolute.parent_path(), ec);
  return ec;
}

std::shared_ptr<detail::StreamHandler> open_app_log(const std::string& path) {
  std::error_code ec = create_parent_dir(path);
  if (!ec) {
    try {
      return std::make_shared<detail::FileHandler>(path);
    } catch (const std::system_error& e) {
      ec = e.code();
    }
  }
  detail::print_warning("WARNING: cannot open AppLog " + path + ": " + ec.message());
  return std::make_shared<detail::StreamHandler>(STDERR_FILENO);
}

std::shared_ptr<const detail::AuditTarget> choose_audit_target(const std::string& path) {
  using Kind = detail::AuditTarget::Kind;
  if (path == "/dev/stdout") return std::make_shared<detail::AuditTarget>(Kind::Stdout);
  if (path == "/dev/stderr") return std::make_shared<detail::AuditTarget>(Kind::Stderr);
  if (const std::error_code ec = create_parent_dir(path)) {
    detail::print_warning("WARNING: cannot create AuditLog directory for " + path + ": " +
                          ec.message());
    return nullptr;
  }
  return std::make_shared<detail::AuditTarget>(Kind::File, path);
}

}  // namespace

std::optional<std::string> get_correlation_id() {
  return t_correlation_id;
}

void set_correlation_id(std::optional<std::string> cid) {
  t_correlation_id = std::move(cid);
}

log::Logger& setup_logging(const config::Config& cfg) {
  return detail::setup_logging(cfg.get("AppLog"), cfg.get("LogLevel"), cfg.get("AuditLog"));
}

namespace detail {

log::Logger& setup_logging(const Value& app_log, const Value& log_level, const Value& audit_log) {
  std::lock_guard lock(setup_mutex);
  log::Logger& app = log::get_logger("tolvan");
  auto correlation = std::make_shared<CorrelationFilter>();

  const std::string app_log_raw = text_or(app_log, kDefaultAppLog);
  const config::AppLogParts parts = config::parse_app_log(app_log_raw);
  const std::string configured_level = to_lower(text_or(log_level, kDefaultLevel));

  app.set_level(level_for_word(parts.level ? *parts.level : configured_level));

  std::shared_ptr<const Formatter> formatter;
  const std::string format_word =
      parts.format && !parts.format->empty() ? to_lower(*parts.format) : "json";
  if (format_word == "json") {
    formatter = std::make_shared<JsonFormatter>();
  } else {
    formatter = std::make_shared<PlainFormatter>();
  }

  // The handler list is built whole and swapped in at once: a concurrent record goes to the
  // old handlers or to the new ones, never to a half-built list.
  log::HandlerList handlers;
  std::shared_ptr<StreamHandler> app_handler;
  const bool app_on_stream = is_std_stream(parts.path);
  if (parts.path == "/dev/stdout") {
    app_handler = std::make_shared<StreamHandler>(STDOUT_FILENO);
  } else if (parts.path == "/dev/stderr") {
    app_handler = std::make_shared<StreamHandler>(STDERR_FILENO);
  } else {
    app_handler = open_app_log(parts.path);
  }
  app_handler->set_formatter(formatter);
  app_handler->add_filter(correlation);
  handlers.push_back(app_handler);

  const std::string audit_raw = text_or(audit_log, kDefaultAuditLog);
  set_audit_target(choose_audit_target(audit_raw));

  // An AppLog that fell back to standard error still gets the console.
  if (::isatty(STDOUT_FILENO) == 1 && !app_on_stream && !is_std_stream(audit_raw)) {
    auto console = std::make_shared<StreamHandler>(STDOUT_FILENO);
    console->set_level(level_for_word(configured_level));
    console->set_formatter(std::make_shared<PlainFormatter>(false, false, true));
    console->add_filter(correlation);
    handlers.push_back(std::move(console));
  }

  app.set_handlers(std::move(handlers));
  return app;
}

}  // namespace detail

void reopen_logs() noexcept {
  try {
    const auto handlers = log::get_logger("tolvan").handlers();
    if (!handlers) return;
    for (const auto& handler : *handlers) {
      auto* file = dynamic_cast<detail::FileHandler*>(handler.get());
      if (file == nullptr) continue;
      if (auto error = file->reopen()) {
        detail::print_warning("WARNING: failed to reopen log file: " + *error);
      }
    }
  } catch (...) {
    // Reopening is best effort; the next reopen tries again.
  }
}

}  // namespace tolvan::logger
