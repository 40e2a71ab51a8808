#pragma once

// Request handling without any network code: a parsed request goes in, a response (or a run
// that needs an execution worker) comes out. The server (server.cpp) does the I/O, the limits
// and the scheduling; everything a client sees in a body or a status comes from here.
//
// Failure: the entry points never throw. An unexpected failure becomes 500
// {"error": "Internal error"}, logged at error level.
// Thread-safety: the entry points may be called from any thread at once. Each sets the calling
// thread's correlation ID for the duration of the call and clears it again.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "auth/auth.h"
#include "value/value.h"

namespace tolvan::api::detail {

using Clock = std::chrono::steady_clock;

struct Request {
  std::string method;
  std::string target;  // path and query, as received
  auth::Headers headers;
  std::string body;
  std::string peer;  // the client's IP address
  Clock::time_point arrived = Clock::now();
};

struct Response {
  int status = 200;
  /// Reason phrase for the status line; nullopt means the standard phrase.
  std::optional<std::string> reason;
  /// Header names and values; values are free of control characters.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

/// A /run request that passed every check before the execution; it needs a worker.
struct RunJob {
  std::string alias;
  Mapping parameters;
  std::shared_ptr<const Value> definition;  // the alias as applied when the request arrived
  std::string user_id;
  std::string correlation_id;
  std::string peer;
  Clock::time_point arrived;
};

class Handlers {
 public:
  /// `version` is what /health reports.
  explicit Handlers(std::string version) : version_(std::move(version)) {}

  /// Answers the request, or hands back the run it asks for.
  std::variant<Response, RunJob> handle(const Request& request) noexcept;
  /// Executes a run (on a worker thread) and builds its answer.
  Response run(const RunJob& job) noexcept;
  /// The answer to a run refused because every worker is busy: 429 with Retry-After.
  Response busy(const RunJob& job) noexcept;
  /// The answer to a request the server refuses before it is complete (a header or body
  /// limit, a malformed request): `status` with `error` as body. `partial` holds whatever
  /// was received; a /run request is audited.
  Response reject(const Request& partial, int status, std::string_view error) noexcept;

 private:
  std::string version_;
};

// Building blocks, exposed for tests.

/// Whether a client-chosen correlation ID is acceptable: ^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$.
bool is_valid_correlation_id(std::string_view id);

/// %XX sequences decoded (a malformed one is kept as it is); with `plus_as_space`, "+" is a
/// space, as in form data and query strings.
std::string percent_decode(std::string_view text, bool plus_as_space);


/// The audit form of a text field: space, control characters, "%" and every byte above 0x7E
/// percent-encoded ("%20", "%0A", "%C3%A9"), so a value can never split or forge a line.
std::string audit_escape(std::string_view text);

/// `text` without control characters (below 0x20, and 0x7F).
std::string strip_control(std::string_view text);

/// Request parameters from the query string and the body, or the client error for them.
struct ParsedParameters {
  Mapping parameters;
  int status = 200;   // 400 or 415 when `error` is set
  std::string error;  // empty when the parameters are usable
};

/// Merges `query` (form-encoded) and the body by its Content-Type (empty, application/json
/// object, application/x-www-form-urlencoded). A name given twice anywhere is an error.
ParsedParameters parse_parameters(std::string_view query, std::string_view content_type,
                                  std::string_view body);

}  // namespace tolvan::api::detail
