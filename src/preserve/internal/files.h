#pragma once

// File helpers shared by volume and stream preservation. Each returns the operating system's
// error text instead of throwing.

#include <string>
#include <string_view>

#include "value/value.h"

namespace tolvan::preserve {

/// `base` and `name` joined with one "/".
std::string join_path(std::string_view base, std::string_view name);

/// The configured LogDir, or the default when it is null or empty.
std::string resolve_log_dir(const Value& log_dir);

struct CopyOutcome {
  bool skipped_link = false;  // the source is a symbolic link and was left alone
  std::string error;          // empty on success
};

/// Copies the regular file `src` to `dest` with its permission bits (rwx only) and its access
/// and modification times, creating missing parent directories. The copy is written beside
/// `dest` and renamed over it, so an existing file is replaced whatever its permissions. A
/// symbolic link is never followed; any other non-regular file is an error.
CopyOutcome copy_regular_file(const std::string& src, const std::string& dest);

/// Writes `content` to `dest`, creating missing parent directories and replacing an existing
/// file. The content is written to a file beside `dest` and renamed over it when complete, so
/// `dest` never holds part of it: on failure it is left as it was. Returns the error text,
/// empty on success.
std::string write_file(const std::string& dest, std::string_view content);

}  // namespace tolvan::preserve
