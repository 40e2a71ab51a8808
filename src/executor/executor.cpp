#include "executor/executor.h"

#include <exception>
#include <filesystem>

#include "config/config.h"
#include "executor/internal/runner.h"
#include "logger/logger.h"
#include "preserve/preserve.h"
#include "template/template.h"
#include "validator/validator.h"
#include "workspace/workspace.h"

extern char** environ;

namespace tolvan::executor {

Executor executor;

namespace detail {

log::Logger& app_log() {
  static log::Logger& logger = log::get_logger("tolvan");
  return logger;
}

const Value& field(const Value& alias_cfg, std::string_view key) {
  static const Value kNull;
  const Value* v = alias_cfg.find(key);
  return v != nullptr ? *v : kNull;
}

std::string prepare_shared_dir() {
  const Value configured = config::config.get("SharedDir");
  std::string shared_dir = configured.truthy() ? to_text(configured) : "/tmp/tolvan";
  std::filesystem::create_directories(shared_dir);
  return shared_dir;
}

std::optional<std::string> create_run_dir(const std::string& shared_dir, const Value& alias_cfg) {
  if (!workspace::needs_run_dir(alias_cfg)) return std::nullopt;
  const std::string cid = logger::get_correlation_id().value_or("");
  return workspace::create(shared_dir, alias_cfg, cid).run_dir;
}

void close_run(const Sequence& stream_entries, const std::optional<std::string>& captured_stdout,
               const std::optional<std::string>& captured_stderr,
               const std::optional<std::string>& run_dir,
               const std::vector<preserve::PreserveSpec>* volumes_to_preserve) noexcept {
  try {
    const Value log_dir = config::config.get("LogDir");
    const std::string cid = logger::get_correlation_id().value_or("");
    try {
      preserve::preserve_streams(stream_entries, captured_stdout, captured_stderr, log_dir, cid);
    } catch (const std::exception& e) {
      app_log().error(std::string("Stream preserve failed: ") + e.what());
    }
    if (!run_dir) return;
    if (volumes_to_preserve != nullptr)
      preserve::preserve_volumes(*volumes_to_preserve, log_dir, cid);
    workspace::cleanup(*run_dir);
  } catch (const std::exception& e) {
    app_log().error(std::string("Closing stage failed: ") + e.what());
  } catch (...) {
    app_log().error("Closing stage failed");
  }
}

Value resolve_timeout(const Value& alias_cfg) {
  const auto as_number = [](const Value& v) {
    if (v.is_bool()) return Value(v.as_bool() ? 1 : 0);
    if (!v.is_number()) throw ValueError("timeout must be a number, got " + to_literal(v));
    return v;
  };
  const Value& raw = field(alias_cfg, "timeout");
  const Value alias_timeout = raw.truthy() ? as_number(raw) : Value(60);
  const Value max_t = config::config.get("MaxTimeout");
  if (max_t.truthy() && max_t.is_number() && alias_timeout.as_float() > max_t.as_float()) {
    return max_t;
  }
  return alias_timeout;
}

std::string env_value(const Value& var_def) {
  if (var_def.is_bool()) return var_def.as_bool() ? "true" : "false";
  if (var_def.is_string()) return var_def.as_string();
  return to_text(var_def);
}

Value build_env(const Value& alias_cfg, const Mapping& params,
                const std::optional<std::string>& run_dir) {
  const Value& environment = field(alias_cfg, "environment");
  if (!environment.is_mapping() || environment.as_mapping().empty()) return nullptr;
  Mapping env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    const std::string_view name = entry.substr(0, eq);
    if (env.contains(name)) continue;  // the first definition is the one getenv sees
    env.set(std::string(name), std::string(entry.substr(eq + 1)));
  }
  for (const auto& [name, definition] : environment.as_mapping()) {
    env.set(to_text(name), tmpl::render(Value(env_value(definition)), params, run_dir));
  }
  return env;
}

Value short_id(const Value& full_id) {
  if (full_id.is_null()) return nullptr;
  const std::string text = to_text(full_id);
  if (text.empty()) return nullptr;
  const std::size_t colon = text.rfind(':');
  const std::string tail = colon == std::string::npos ? text : text.substr(colon + 1);
  return tail.substr(0, 12);
}

}  // namespace detail

std::shared_ptr<docker::Client> Executor::get_docker_client() {
  std::shared_ptr<docker::Client> client = docker_client_.load();
  if (client) return client;
  client = docker::Client::from_env();
  std::shared_ptr<docker::Client> expected;
  if (!docker_client_.compare_exchange_strong(expected, client)) return expected;
  return client;
}

Value Executor::execute_alias(std::string_view alias_name, const Value& parameters) {
  Value params = parameters.truthy() ? parameters : Value(Mapping{});

  const std::shared_ptr<const Value> alias = config::config.get_alias(alias_name);
  if (!alias || !alias->truthy()) {
    return Mapping{{"success", false},
                   {"error", "Alias " + quote_literal(alias_name) + " not found"}};
  }
  const Value& alias_cfg = *alias;

  params = validator::apply_defaults(params, alias_cfg);
  const validator::Messages errors = validator::validate_parameters(params, alias_cfg);
  if (!errors.empty()) {
    std::string joined;
    Sequence listed;
    for (const std::string& e : errors) {
      if (!joined.empty()) joined += ", ";
      joined += e;
      listed.emplace_back(e);
    }
    return Mapping{{"success", false},
                   {"validation_error", true},
                   {"errors", std::move(listed)},
                   {"error", "Parameter validation failed: " + joined}};
  }
  if (!params.is_mapping()) params = Mapping{};

  const Value& type = detail::field(alias_cfg, "type");
  if (type.is_string() && type.as_string() == "process") {
    return execute_process(alias_cfg, params.as_mapping());
  }
  if (type.is_string() && type.as_string() == "container") {
    return execute_container(alias_cfg, params.as_mapping());
  }
  return Mapping{{"success", false}, {"error", "Unknown alias type: " + to_literal(type)}};
}

}  // namespace tolvan::executor
