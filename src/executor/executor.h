#pragma once

// The execution engine: runs one alias from lookup to execution result. A process alias runs
// its rendered command through /bin/sh on this host, a container alias runs a throw-away
// container through the container engine; both may use a run directory under SharedDir for
// input, volume and output files, which is removed when the run ends.
//
// The execution result is a mapping whose keys, in this order, depend on the outcome:
//   alias not found                success, error
//   parameter validation failed    success, validation_error, errors, error
//   unknown alias type             success, error
//   process ran to completion      success, returncode, pid, stdout, stderr, file_outputs
//   process timed out              success, timed_out, returncode, pid, error
//   process run failed             success, error, pid
//   container engine unavailable   success, error
//   container ran to completion    success, returncode, container_id, image_id, stdout,
//                                  stderr, file_outputs
//   container timed out            success, timed_out, returncode, container_id, image_id, error
//   container image not found      success, error, container_id, image_id
//   container run failed           success, error, container_id, image_id
// `success` means the command ran to completion; its exit status is `returncode`.
//
// Failure: every outcome of a run is a result. Failures of the preparation (SharedDir or run
// directory creation, `preserveStreams` expansion) and of the lookup, defaulting and
// validation calls propagate as exceptions. Template paths (input file locations, output
// sources, relative volume sources) that lead outside the run directory fail the execution;
// nothing outside it is written, read or bound.
// Thread-safety: `execute_alias` may be called from any number of threads at once on the one
// shared `executor`; each call owns everything it creates.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "docker/docker.h"
#include "value/value.h"

namespace tolvan::executor {

class Executor {
 public:
  /// Does not contact the container engine.
  Executor() = default;
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  /// Runs the alias with `parameters` (a mapping, or null for none; never modified) and
  /// returns the execution result described above.
  Value execute_alias(std::string_view alias_name, const Value& parameters = nullptr);

  /// The container engine client, created from the environment on first use and kept. Throws
  /// docker::Error when the engine cannot be reached (nothing is kept then).
  std::shared_ptr<docker::Client> get_docker_client();

 private:
  Value execute_process(const Value& alias_cfg, const Mapping& params);
  Value execute_container(const Value& alias_cfg, const Mapping& params);

  // Null until the first container run; two first uses racing may both create one.
  std::atomic<std::shared_ptr<docker::Client>> docker_client_;
};

/// The shared instance that serves every execution.
extern Executor executor;

namespace detail {

/// The alias's `timeout` (60 when absent, null, false or 0; a boolean counts as 0 or 1),
/// capped by a MaxTimeout that is set and not 0. Throws ValueError for a timeout that is not a
/// number.
Value resolve_timeout(const Value& alias_cfg);

/// The template text of one environment value: booleans as true/false, strings as they are,
/// other scalars in their text form.
std::string env_value(const Value& var_def);

/// The environment of a process alias: null when the alias declares no `environment` (the
/// command inherits the gateway's), otherwise the gateway's environment with each alias
/// variable rendered (with `run_dir`) and set over it, as a name-to-text mapping.
Value build_env(const Value& alias_cfg, const Mapping& params,
                const std::optional<std::string>& run_dir);

/// The 12-character form of an engine id: the part after the last ":", cut to 12 characters;
/// null for a null or empty id.
Value short_id(const Value& full_id);

}  // namespace detail

}  // namespace tolvan::executor
