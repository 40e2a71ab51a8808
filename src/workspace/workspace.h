#pragma once

// Run directories: one directory per execution under SharedDir, named after the request's
// correlation ID (or a random UUID), created before the command runs and removed after it.
//
// Layout: {shared_dir}/{name}/ holds input, volume and output files; {shared_dir}/{name}/auto/
// holds the files of container volumes that declare no `source`.
//
// Failure: the `needs_*` decisions never throw. `create` lets directory-creation errors
// propagate (std::filesystem::filesystem_error). `cleanup` never throws and never follows a
// symbolic link.
// Thread-safety: no state besides the file system; all functions may run concurrently.

#include <optional>
#include <string>
#include <string_view>

#include "value/value.h"

namespace tolvan::workspace {

/// What `create` made.
struct RunDir {
  std::string run_dir;                  // shared directory joined with the name; always set
  std::optional<std::string> auto_dir;  // run_dir + "/auto" when created, otherwise none
};

/// Does this alias need a run directory: a process alias with `files` or a file output, a
/// container alias with a run-directory volume or a file output.
bool needs_run_dir(const Value& alias_config);

/// Does this container alias mount a volume whose host path lies in the run directory (a volume
/// without `source` or with a relative one). Such an alias needs ExternalDir when the service
/// itself runs in a container.
bool needs_external_dir(const Value& alias_config);

/// Does this container alias have a volume without `source`.
bool needs_auto_dir(const Value& alias_config);

/// Creates the run directory (and "auto" when `needs_auto_dir`), with missing parents; an
/// existing directory is reused. The name is `correlation_id`, or a fresh UUID when it is empty.
/// Throws std::filesystem::filesystem_error when a directory cannot be created; a run directory
/// this call made is removed again before that.
RunDir create(const std::string& shared_dir, const Value& alias_config,
              std::string_view correlation_id = {});

/// Removes the run directory and everything in it, ignoring what cannot be removed. Links
/// inside are removed as links; a run directory that is itself a link is left alone. Does
/// nothing for an empty path. Never throws.
void cleanup(const std::string& run_dir) noexcept;

namespace detail {

/// Is any declared output source a file or folder path rather than a "%" source.
bool has_file_output_sources(const Value& alias_config);

}  // namespace detail

}  // namespace tolvan::workspace
