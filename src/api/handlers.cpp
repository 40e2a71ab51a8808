// The endpoints: /run/{alias}, /aliases, /health and /internal/logs/reopen.

#include "api/internal/handlers.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "auth/auth.h"
#include "config/config.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "validator/validator.h"
#include "value/codec.h"
#include "value/json.h"
#include "value/value.h"

namespace tolvan::api::detail {

namespace {

constexpr JsonStyle kBodyStyle{.spaced = true};
constexpr std::string_view kRunPrefix = "/run/";

// The calling thread carries the request's correlation ID while it works on the request.
class CorrelationScope {
 public:
  explicit CorrelationScope(const std::string& cid) { logger::set_correlation_id(cid); }
  ~CorrelationScope() { logger::set_correlation_id(std::nullopt); }
  CorrelationScope(const CorrelationScope&) = delete;
  CorrelationScope& operator=(const CorrelationScope&) = delete;
};

std::string correlation_id_for(const Request& request) {
  const auto given = request.headers.find("X-Correlation-ID");
  if (given && is_valid_correlation_id(*given)) return std::string(*given);
  return random_uuid();
}

Response json_response(int status, const Value& body) {
  Response r;
  r.status = status;
  r.headers.emplace_back("Content-Type", "application/json");
  r.body = to_json(body, kBodyStyle);
  return r;
}

Response error_response(int status, std::string_view text) {
  return json_response(status, Mapping{{"error", std::string(text)}});
}

Response finish(Response r, const std::string& cid) {
  r.headers.emplace_back("X-Correlation-ID", cid);
  return r;
}

std::pair<std::string_view, std::string_view> split_target(std::string_view target) {
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return {target, {}};
  return {target.substr(0, q), target.substr(q + 1)};
}

// The alias named by a /run path, still percent-encoded; nullopt for any other path.
std::optional<std::string_view> run_segment(std::string_view path) {
  if (path.substr(0, kRunPrefix.size()) != kRunPrefix) return std::nullopt;
  const std::string_view segment = path.substr(kRunPrefix.size());
  if (segment.empty() || segment.find('/') != std::string_view::npos) return std::nullopt;
  return segment;
}

const Value& field(const Value& mapping, std::string_view key) {
  static const Value kNull;
  const Value* v = mapping.is_mapping() ? mapping.find(key) : nullptr;
  return v ? *v : kNull;
}

// Compares digests so that neither the content nor the length of the presented key shows in
// the time taken.
bool key_matches(std::optional<std::string_view> presented, const Value& expected) {
  if (!presented) return false;
  const std::string want = to_text(expected);
  unsigned char a[SHA256_DIGEST_LENGTH];
  unsigned char b[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(presented->data()), presented->size(), a);
  SHA256(reinterpret_cast<const unsigned char*>(want.data()), want.size(), b);
  return CRYPTO_memcmp(a, b, sizeof a) == 0;
}

std::int64_t elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// The optional audit fields: null while the alias type is unknown; once known, the values
// of the result, or "-" where the result has none.
struct AuditExtras {
  Value exit_code;
  Value pid;
  Value container_id;
  Value image_id;
};

Value audit_value(const Value& result, std::string_view key) {
  const Value& v = field(result, key);
  if (v.is_null()) return "-";
  if (v.is_string()) return audit_escape(v.as_string());
  return v;
}

AuditExtras audit_extras(const Value* definition, const Value& result) {
  if (!definition) return {};
  AuditExtras extras;
  extras.exit_code = audit_value(result, "returncode");
  const Value& type = field(*definition, "type");
  if (type == Value("process")) {
    extras.pid = audit_value(result, "pid");
  } else if (type == Value("container")) {
    extras.container_id = audit_value(result, "container_id");
    extras.image_id = audit_value(result, "image_id");
  }
  return extras;
}

// What one /run request has established so far, for its audit line.
struct RunRecord {
  std::string peer;
  std::string cid;
  std::string alias;
  std::string user = "-";
  std::shared_ptr<const Value> definition = nullptr;  // set once the alias type is known
  Clock::time_point arrived = Clock::now();
};

void audit(const RunRecord& record, int status, std::string_view app_code,
           const Value& result = nullptr) noexcept {
  try {
    const AuditExtras extras = audit_extras(record.definition.get(), result);
    logger::write_audit(audit_escape(record.peer), audit_escape(record.user),
                        audit_escape(record.alias), elapsed_ms(record.arrived), status,
                        audit_escape(app_code), audit_escape(record.cid), extras.exit_code,
                        extras.pid, extras.container_id, extras.image_id);
  } catch (const std::exception& e) {
    logger::logger.error(std::string("Audit line not written: ") + e.what());
  }
}

Response internal_error(std::string_view what, const std::exception* e) {
  logger::logger.error(std::string("Internal error while handling ") + std::string(what) + ": " +
                       (e ? e->what() : "unknown exception"));
  return error_response(500, "Internal error");
}

Response unauthenticated() {
  Response r = error_response(401, "Authentication required");
  r.headers.emplace_back("WWW-Authenticate", "Bearer");
  return r;
}

Response method_not_allowed(std::string_view allow) {
  Response r = error_response(405, "Method not allowed");
  r.headers.emplace_back("Allow", std::string(allow));
  return r;
}

// ---------------------------------------------------------------------------------------------
// Building the answer of a completed execution

// The value of one output source: the streams, the exit code, or a collected file or folder.
std::string source_text(const std::string& source, const Value& result) {
  if (source == "%stdOut") return to_text(field(result, "stdout"));
  if (source == "%stdErr") return to_text(field(result, "stderr"));
  if (source == "%exitCode") return to_text(field(result, "returncode"));
  const Value& collected = field(field(result, "file_outputs"), source);
  return collected.is_string() ? collected.as_string() : std::string();
}

bool is_folder(const std::string& source) {
  return !source.empty() && source.back() == '/';
}

Response completed(const Value& definition, const Value& result) {
  const std::int64_t returncode = field(result, "returncode").as_int();
  const validator::ExitStatus resolved =
      validator::resolve_exit_status(field(definition, "_exit_code_map"), returncode);
  Response r;
  r.status = resolved.status;
  if (resolved.text) {
    std::string reason = strip_control(*resolved.text);
    if (!reason.empty()) r.reason = std::move(reason);
  }
  r.headers.emplace_back("X-Exit-Code", std::to_string(returncode));

  const Value& output = field(definition, "output");
  if (const Value* single = output.is_mapping() ? output.find("single_value") : nullptr) {
    const std::string source = to_text(field(*single, "source"));
    r.headers.emplace_back("Content-Type", strip_control(to_text(field(*single, "content-type"))));
    r.body = source_text(source, result);
    if (is_folder(source)) r.body = base64_decode(r.body).value_or("");
    return r;
  }
  Mapping values;
  const Value& entries = field(output, "multiple_values");
  if (entries.is_sequence()) {
    for (const Value& entry : entries.as_sequence()) {
      const std::string source = to_text(field(entry, "source"));
      Value value =
          source == "%exitCode" ? field(result, "returncode") : Value(source_text(source, result));
      values.set(Value(to_text(field(entry, "parameter_name"))), std::move(value));
    }
  }
  r.headers.emplace_back("Content-Type", "application/json");
  r.body = to_json(values, kBodyStyle);
  return r;
}

bool is_engine_unavailable(const Value& result) {
  const Value& error = field(result, "error");
  return result.as_mapping().size() == 2 && error.is_string() &&
         error.as_string().starts_with("Docker not available: ");
}

bool is_alias_not_found(const Value& result, const std::string& alias) {
  return result.as_mapping().size() == 2 &&
         field(result, "error") == Value("Alias " + quote_literal(alias) + " not found");
}

// ---------------------------------------------------------------------------------------------
// Endpoints

std::variant<Response, RunJob> handle_run(const Request& request, std::string_view segment,
                                          std::string_view query, const std::string& cid) {
  RunRecord record{.peer = request.peer,
                   .cid = cid,
                   .alias = percent_decode(segment, false),
                   .arrived = request.arrived};
  try {
    if (request.method != "POST") {
      audit(record, 405, "BAD_REQUEST");
      return method_not_allowed("POST");
    }
    const std::optional<auth::AuthInfo> identity = auth::auth.authenticate_request(request.headers);
    if (!identity) {
      audit(record, 401, "AUTH_REQUIRED");
      return unauthenticated();
    }
    record.user = identity->user_id;
    // Checked before the lookup, so nobody can probe for aliases they may not run.
    if (!identity->allows(record.alias)) {
      audit(record, 403, "FORBIDDEN");
      return error_response(403, "Alias not allowed");
    }
    const auto content_type = request.headers.find("Content-Type");
    ParsedParameters parsed =
        parse_parameters(query, content_type.value_or(std::string_view()), request.body);
    if (!parsed.error.empty()) {
      audit(record, parsed.status, "BAD_REQUEST");
      return error_response(parsed.status, parsed.error);
    }
    std::shared_ptr<const Value> definition = config::config.get_alias(record.alias);
    if (!definition || !definition->truthy()) {
      audit(record, 404, "NOT_FOUND");
      return error_response(404, "Alias not found");
    }
    return RunJob{.alias = std::move(record.alias),
                  .parameters = std::move(parsed.parameters),
                  .definition = std::move(definition),
                  .user_id = std::move(record.user),
                  .correlation_id = cid,
                  .peer = request.peer,
                  .arrived = request.arrived};
  } catch (const std::exception& e) {
    audit(record, 500, "INTERNAL_ERROR");
    return internal_error("/run", &e);
  }
}

Value alias_entry(const std::string& name, const Value& definition) {
  Sequence parameters;
  const Value& declared = field(definition, "parameters");
  if (declared.is_mapping()) {
    for (const auto& [pname, pdef] : declared.as_mapping()) {
      const Value& pattern = field(pdef, "validator");
      const Value* fallback = pdef.is_mapping() ? pdef.find("default") : nullptr;
      parameters.emplace_back(Mapping{
          {"name", to_text(pname)},
          {"required", validator::detail::is_required(pattern)},
          {"validator", pattern},
          {"default", fallback ? Value(validator::detail::stringify(*fallback)) : Value()},
      });
    }
  }
  const Value& output = field(definition, "output");
  Value kind;
  if (output.is_mapping() && output.find("single_value")) kind = "single_value";
  if (output.is_mapping() && output.find("multiple_values")) kind = "multiple_values";
  return Mapping{{"name", name},
                 {"type", field(definition, "type")},
                 {"parameters", std::move(parameters)},
                 {"output", std::move(kind)}};
}

Response handle_aliases(const Request& request) {
  if (request.method != "GET") return method_not_allowed("GET");
  const std::optional<auth::AuthInfo> identity = auth::auth.authenticate_request(request.headers);
  if (!identity) return unauthenticated();
  const std::shared_ptr<const config::AliasSet> aliases = config::config.aliases();
  std::vector<std::pair<std::string, const Value*>> visible;
  for (const auto& [key, definition] : *aliases) {
    std::string name = to_text(key);
    if (identity->allows(name)) visible.emplace_back(std::move(name), &definition);
  }
  std::sort(visible.begin(), visible.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  Sequence listed;
  for (const auto& [name, definition] : visible)
    listed.push_back(alias_entry(name, *definition));
  return json_response(200, Mapping{{"aliases", std::move(listed)}});
}

Value outcome_value(const std::optional<config::Outcome>& outcome) {
  if (!outcome) return nullptr;
  return Mapping{{"success", outcome->success},
                 {"time", logger::detail::format_timestamp(outcome->at)}};
}

Response handle_health(const Request& request, const std::string& version) {
  if (request.method != "GET") return method_not_allowed("GET");
  const Value key = config::config.get("HealthApiKey");
  if (key.truthy() && !key_matches(request.headers.find("X-API-Key"), key)) {
    return error_response(401, "Authentication required");
  }
  return json_response(
      200, Mapping{{"status", "ok"},
                   {"version", version},
                   {"aliases", config::config.aliases()->size()},
                   {"auth_reload", outcome_value(config::config.last_auth_reload())},
                   {"alias_reload", outcome_value(config::config.last_alias_reload())}});
}

Response handle_reopen(const Request& request) {
  const Value key = config::config.get("LogsApiKey");
  if (!key.truthy()) return error_response(404, "Not found");
  if (request.method != "POST") return method_not_allowed("POST");
  if (!key_matches(request.headers.find("X-API-Key"), key)) {
    return error_response(401, "Authentication required");
  }
  logger::reopen_logs();
  return json_response(200, Mapping{{"status", "reopened"}});
}

}  // namespace

std::variant<Response, RunJob> Handlers::handle(const Request& request) noexcept {
  std::string cid;
  try {
    cid = correlation_id_for(request);
  } catch (...) {
    cid = "-";
  }
  CorrelationScope scope(cid);
  try {
    const auto [path, query] = split_target(request.target);
    if (const auto segment = run_segment(path)) {
      std::variant<Response, RunJob> outcome = handle_run(request, *segment, query, cid);
      if (auto* r = std::get_if<Response>(&outcome)) *r = finish(std::move(*r), cid);
      return outcome;
    }
    if (path == "/aliases") return finish(handle_aliases(request), cid);
    if (path == "/health") return finish(handle_health(request, version_), cid);
    if (path == "/internal/logs/reopen") return finish(handle_reopen(request), cid);
    return finish(error_response(404, "Not found"), cid);
  } catch (const std::exception& e) {
    return finish(internal_error(request.method, &e), cid);
  } catch (...) {
    return finish(internal_error(request.method, nullptr), cid);
  }
}

Response Handlers::run(const RunJob& job) noexcept {
  CorrelationScope scope(job.correlation_id);
  RunRecord record{.peer = job.peer,
                   .cid = job.correlation_id,
                   .alias = job.alias,
                   .user = job.user_id,
                   .definition = job.definition,
                   .arrived = job.arrived};
  Value result;
  try {
    result = executor::executor.execute_alias(job.alias, Value(job.parameters));
  } catch (const std::exception& e) {
    logger::logger.error("Execution of alias " + quote_literal(job.alias) + " failed: " + e.what());
    audit(record, 500, "EXEC_FAILED");
    return finish(error_response(500, "Execution failed"), job.correlation_id);
  } catch (...) {
    logger::logger.error("Execution of alias " + quote_literal(job.alias) + " failed");
    audit(record, 500, "EXEC_FAILED");
    return finish(error_response(500, "Execution failed"), job.correlation_id);
  }

  try {
    if (!result.is_mapping()) throw std::runtime_error("execution result is not a mapping");
    if (field(result, "success") == Value(true)) {
      Response r = completed(*job.definition, result);
      audit(record, r.status, "OK", result);
      return finish(std::move(r), job.correlation_id);
    }
    if (field(result, "validation_error") == Value(true)) {
      Sequence errors;
      const Value& listed = field(result, "errors");
      if (listed.is_sequence()) errors = listed.as_sequence();
      audit(record, 400, "INVALID_PARAMS", result);
      return finish(json_response(400, Mapping{{"error", "Parameter validation failed"},
                                               {"errors", std::move(errors)}}),
                    job.correlation_id);
    }
    if (field(result, "timed_out") == Value(true)) {
      audit(record, 504, "TIMEOUT", result);
      return finish(error_response(504, "Execution timed out"), job.correlation_id);
    }
    if (is_alias_not_found(result, job.alias)) {
      // Removed by a reload after the request was accepted.
      record.definition.reset();
      audit(record, 404, "NOT_FOUND");
      return finish(error_response(404, "Alias not found"), job.correlation_id);
    }
    const std::string error = to_text(field(result, "error"));
    logger::logger.error("Execution of alias " + quote_literal(job.alias) + " failed: " + error);
    if (is_engine_unavailable(result)) {
      audit(record, 503, "ENGINE_UNAVAILABLE", result);
      return finish(error_response(503, "Container engine unavailable"), job.correlation_id);
    }
    audit(record, 500, "EXEC_FAILED", result);
    return finish(error_response(500, "Execution failed"), job.correlation_id);
  } catch (const std::exception& e) {
    audit(record, 500, "INTERNAL_ERROR", result);
    return finish(internal_error("/run", &e), job.correlation_id);
  } catch (...) {
    audit(record, 500, "INTERNAL_ERROR", result);
    return finish(internal_error("/run", nullptr), job.correlation_id);
  }
}

Response Handlers::busy(const RunJob& job) noexcept {
  CorrelationScope scope(job.correlation_id);
  try {
    const RunRecord record{.peer = job.peer,
                           .cid = job.correlation_id,
                           .alias = job.alias,
                           .user = job.user_id,
                           .definition = job.definition,
                           .arrived = job.arrived};
    audit(record, 429, "BUSY");
    Response r = error_response(429, "Too many concurrent executions");
    r.headers.emplace_back("Retry-After", "1");
    return finish(std::move(r), job.correlation_id);
  } catch (...) {
    Response r;
    r.status = 429;
    r.headers = {{"Retry-After", "1"}, {"X-Correlation-ID", job.correlation_id}};
    return r;
  }
}

Response Handlers::reject(const Request& partial, int status, std::string_view error) noexcept {
  std::string cid = "-";
  try {
    cid = correlation_id_for(partial);
    CorrelationScope scope(cid);
    const auto [path, query] = split_target(partial.target);
    if (const auto segment = run_segment(path)) {
      audit(RunRecord{.peer = partial.peer,
                      .cid = cid,
                      .alias = percent_decode(*segment, false),
                      .arrived = partial.arrived},
            status, "BAD_REQUEST");
    }
    return finish(error_response(status, error), cid);
  } catch (...) {
    Response r;
    r.status = status;
    r.headers = {{"X-Correlation-ID", cid}};
    return r;
  }
}

bool is_valid_correlation_id(std::string_view id) {
  const auto alnum = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  };
  if (id.empty() || id.size() > 64 || !alnum(id.front())) return false;
  return std::all_of(id.begin() + 1, id.end(),
                     [&](char c) { return alnum(c) || c == '.' || c == '_' || c == '-'; });
}

std::string audit_escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      continue;
    }
    out += ch;
  }
  return out;
}

std::string strip_control(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) continue;
    out += ch;
  }
  return out;
}

}  // namespace tolvan::api::detail
