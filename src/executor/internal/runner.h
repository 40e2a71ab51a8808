#pragma once

// The steps the process and container runners share or build on: the SharedDir, input and
// volume files, output directories and output collection, volume binds, and the closing stage.
// Every template path goes through `inside_run_dir` before it is used.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "docker/docker.h"
#include "executor/internal/run_dir_fs.h"
#include "preserve/preserve.h"
#include "value/log.h"
#include "value/value.h"

namespace tolvan::executor::detail {

/// The application logger.
log::Logger& app_log();

/// The alias field `key`, or null when absent.
const Value& field(const Value& alias_cfg, std::string_view key);

/// SharedDir ("/tmp/tolvan" when unset or empty), created with its parents. Throws
/// std::filesystem::filesystem_error when it cannot be created.
std::string prepare_shared_dir();

/// The run directory when the alias needs one, else nullopt. Throws like workspace::create.
std::optional<std::string> create_run_dir(const std::string& shared_dir, const Value& alias_cfg);

/// Writes one input file of a process alias: `location` rendered with the parameters only,
/// `content` rendered with the run directory.
void create_process_file(const Value& file_def, const Mapping& params, const RunDirFs& run_dir);

/// The declared output sources in order (single_value, then each multiple_values entry),
/// leaving out absent and empty ones.
std::vector<Value> output_sources(const Value& alias_cfg);

/// Creates the folders named by folder sources and the parent directories of file sources.
/// Nothing happens without a run directory.
void precreate_output_dirs(const Value& alias_cfg, const Mapping& params, const RunDirFs* run_dir);

/// Source (as declared) to content: a file's text (UTF-8 with replacement characters,
/// universal line endings), a folder's deflate zip archive in base64, or "" when the file
/// cannot be read or the folder does not exist. Special sources are left out. Empty without a
/// run directory. A file, or a folder entry, that leads outside the run directory through a
/// symbolic link is "" or skipped, with a warning.
Mapping collect_output_files(const Value& alias_cfg, const Mapping& params,
                             const RunDirFs* run_dir);

/// The zip archive of the folder `rel` (relative to the run directory, already checked with
/// `inside_run_dir`); nullopt when it is not an existing directory. `source` names the output
/// in warnings.
std::optional<std::string> zip_folder(const RunDirFs& run_dir, const std::string& rel,
                                      const std::string& source);

/// The binds of a container alias's volumes and those to preserve; writes volume files and
/// creates folder volumes in the run directory on the way.
struct Volumes {
  std::vector<docker::Bind> binds;
  std::vector<preserve::PreserveSpec> to_preserve;
};
Volumes build_volumes(const Value& alias_cfg, const Mapping& params, const RunDirFs* run_dir,
                      const std::string& shared_dir, const std::string& external_dir);

/// The path under which the container engine sees `local_path`: unchanged when
/// `external_dir` is empty, else `external_dir` joined with the path relative to `shared_dir`.
std::string to_host_path(const std::string& local_path, const std::string& shared_dir,
                         const std::string& external_dir);

/// Both log streams of a container, decoded with replacement characters; (nullopt, nullopt)
/// when either cannot be fetched. Never throws.
std::pair<std::optional<std::string>, std::optional<std::string>> safe_container_logs(
    const docker::Client& client, const std::string& container_id) noexcept;

/// The closing stage of every guarded run: the captured streams are preserved, then (with a
/// run directory) the marked volumes, then the run directory is removed. Never throws.
void close_run(const Sequence& stream_entries, const std::optional<std::string>& captured_stdout,
               const std::optional<std::string>& captured_stderr,
               const std::optional<std::string>& run_dir,
               const std::vector<preserve::PreserveSpec>* volumes_to_preserve) noexcept;

}  // namespace tolvan::executor::detail
