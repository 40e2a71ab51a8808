#pragma once

// Preservation: copies a run's marked volumes and its captured output streams into LogDir,
// under the request's correlation ID, so they can be read after the run directory is gone.
//
// Volume layout, with `cid` the correlation ID and `rel` a file's path inside the volume:
//   directory layout  {LogDir}/{cid}/[{prefix}/]{rel}
//   flat layout       {LogDir}/{cid}_[{prefix}_]{rel with "/" replaced by "_"}
// Stream files land at {LogDir}/{cid}/{filename} or, flattened, {LogDir}/{cid}_{filename}.
//
// Failure: preservation is best effort. `preserve_volumes` and `preserve_streams` never throw;
// every failure is logged at error level on the "tolvan" logger and the request goes on.
// Symbolic links inside a preserved volume are never followed: they are skipped (with a warning),
// so a link left in the run directory cannot bring a file from elsewhere into LogDir.
// Thread-safety: all functions may run concurrently; executions with different correlation
// IDs write to different destinations.

#include <compare>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "value/value.h"

namespace tolvan::preserve {

/// The accepted normalised values of a volume's `preserve` field.
inline const std::set<std::string> PRESERVE_VALUES{"none", "false", "flatten", "yes", "true"};

/// The streams `preserveStreams` may name.
inline const std::set<std::string> STREAM_NAMES{"stdout", "stderr"};

/// Where LogDir is unset, and the correlation ID used when there is none.
inline constexpr std::string_view kDefaultLogDir = "/var/log/tolvan";
inline constexpr std::string_view kUnknownCorrelationId = "unknown";

/// "none" for null; otherwise the value's text form in lower case (true -> "true",
/// "Flatten" -> "flatten", 3 -> "3").
std::string normalize_preserve(const Value& value);

/// False only for values that normalise to "none" or "false". Accepts raw or normalised values;
/// rejecting unknown words is the alias validator's job.
bool is_preserve_enabled(const Value& value);

/// One file to preserve: its path relative to the volume ("/"-separated) and its full path.
struct Entry {
  std::string relative_path;
  std::string absolute_path;

  friend auto operator<=>(const Entry&, const Entry&) = default;
  friend bool operator==(const Entry&, const Entry&) = default;
};

/// One volume marked for preservation.
struct PreserveSpec {
  std::string local_path;  // the volume inside the run directory; a folder may end in "/"
  bool is_dir = false;
  std::string preserve_mode;  // normalised: "true", "yes" or "flatten"
  std::string prefix;         // `preservePrefix`; empty when absent
};

/// The files of one volume, sorted by relative path then full path. A folder is walked
/// recursively without following links to directories; every non-directory entry (a symbolic
/// link included) is one entry. A file volume gives (base name, path) when it is an existing
/// regular file. A missing volume gives nothing.
std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir);

/// Copies one volume: content, permission bits (rwx) and access/modification times,
/// replacing what is at the destination. A symbolic link is skipped with a warning. Returns one
/// text per file that could not be copied ("failed to preserve '<abs>' to '<dest>': <error>");
/// the other files are still copied. Throws only on resource exhaustion.
std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir,
                                         const std::string& preserve_mode,
                                         const std::string& prefix, const std::string& log_dir,
                                         const std::string& correlation_id);

/// Copies every volume of one execution. `log_dir` is the configured LogDir (null or empty:
/// "/var/log/tolvan"); an empty `correlation_id` becomes "unknown". Never throws.
void preserve_volumes(const std::vector<PreserveSpec>& specs, const Value& log_dir,
                      std::string_view correlation_id) noexcept;

/// The stream entries of an alias's `preserveStreams` value (null when absent): nothing for
/// null, false or an empty sequence; both streams with defaults for true (stderr first);
/// otherwise the given entries in order.
Sequence expand_preserve_streams(const Value& raw);

/// Writes the captured streams named by `entries` (from `expand_preserve_streams`).
/// A stream that is absent (never captured) or empty writes nothing. Content is written as
/// UTF-8, invalid sequences replaced by U+FFFD. Each file is written whole or not at all (a full
/// LogDir leaves no truncated file). File-system failures are logged at error level per entry
/// ("Stream preserve failed: ..."); never throws.
/// An entry without a "stream" key is a programming error and throws ValueError.
void preserve_streams(const Sequence& entries, const std::optional<std::string>& captured_stdout,
                      const std::optional<std::string>& captured_stderr, const Value& log_dir,
                      std::string_view correlation_id);

namespace detail {

/// The name preserved files are filed under: the correlation ID when it can name one entry of
/// LogDir, otherwise kUnknownCorrelationId (so "../x" never leads out of LogDir).
inline std::string log_name_for(std::string_view correlation_id) {
  return is_plain_file_name(correlation_id) ? std::string(correlation_id)
                                            : std::string(kUnknownCorrelationId);
}

/// Disabled normalised values.
inline const std::set<std::string> DISABLED_VALUES{"none", "false"};

/// Destination of one volume entry.
std::string dest_path(const std::string& rel_path, const std::string& preserve_mode,
                      const std::string& prefix, const std::string& log_dir,
                      const std::string& correlation_id);

/// The entry's "filename" when present and non-empty, else "{stream}.log".
std::string stream_filename(const Value& entry);

/// {log_dir}/{cid}_{filename} when flattened, else {log_dir}/{cid}/{filename}.
std::string stream_dest_path(const std::string& filename, bool flatten,
                             const std::string& log_dir, const std::string& correlation_id);


}  // namespace detail

}  // namespace tolvan::preserve
