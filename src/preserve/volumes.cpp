#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "preserve/internal/files.h"
#include "preserve/preserve.h"
#include "value/log.h"

namespace tolvan::preserve {

namespace fs = std::filesystem;

namespace {

// Adds every non-directory entry below `dir` to `out`. Links are never followed, so a link to
// a directory is one entry and its target's content is never listed. A directory that cannot
// be listed is passed over, as a missing one is.
void walk(const fs::path& dir, const std::string& rel_prefix, std::vector<Entry>& out) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return;
  for (const fs::directory_entry& entry : it) {
    const std::string name = entry.path().filename().string();
    const std::string rel = rel_prefix.empty() ? name : rel_prefix + "/" + name;
    std::error_code status_ec;
    const fs::file_status status = entry.symlink_status(status_ec);
    if (!status_ec && fs::is_directory(status)) {
      walk(entry.path(), rel, out);
      continue;
    }
    out.push_back(Entry{rel, entry.path().string()});
  }
}

}  // namespace

std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir) {
  std::vector<Entry> entries;
  if (is_dir) {
    walk(fs::path(local_path), "", entries);
    std::sort(entries.begin(), entries.end());
    return entries;
  }
  struct stat st {};
  if (::lstat(local_path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    entries.push_back(Entry{fs::path(local_path).filename().string(), local_path});
  }
  return entries;
}

namespace detail {

std::string dest_path(const std::string& rel_path, const std::string& preserve_mode,
                      const std::string& prefix, const std::string& log_dir,
                      const std::string& correlation_id) {
  if (preserve_mode == "flatten") {
    std::string flat = rel_path;
    std::replace(flat.begin(), flat.end(), '/', '_');
    std::string name = correlation_id;
    if (!prefix.empty()) name += "_" + prefix;
    name += "_" + flat;
    return join_path(log_dir, name);
  }
  std::string base = join_path(log_dir, correlation_id);
  if (!prefix.empty()) base = join_path(base, prefix);
  return join_path(base, rel_path);
}

}  // namespace detail

std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir,
                                         const std::string& preserve_mode,
                                         const std::string& prefix, const std::string& log_dir,
                                         const std::string& correlation_id) {
  std::vector<std::string> errors;
  for (const Entry& entry : compute_entries(local_path, is_dir)) {
    const std::string dest =
        detail::dest_path(entry.relative_path, preserve_mode, prefix, log_dir, correlation_id);
    const CopyOutcome outcome = copy_regular_file(entry.absolute_path, dest);
    if (outcome.skipped_link) {
      log::get_logger("tolvan").warning("Volume preserve skipped symbolic link " +
                                        quote_literal(entry.absolute_path));
      continue;
    }
    if (!outcome.error.empty()) {
      errors.push_back("failed to preserve " + quote_literal(entry.absolute_path) + " to " +
                       quote_literal(dest) + ": " + outcome.error);
    }
  }
  return errors;
}

void preserve_volumes(const std::vector<PreserveSpec>& specs, const Value& log_dir,
                      std::string_view correlation_id) noexcept {
  if (specs.empty()) return;
  log::Logger& logger = log::get_logger("tolvan");
  std::string dir;
  std::string cid;
  try {
    dir = resolve_log_dir(log_dir);
    cid = detail::log_name_for(correlation_id);
  } catch (const std::exception& e) {
    logger.error(std::string("Volume preserve failed: ") + e.what());
    return;
  }
  for (const PreserveSpec& spec : specs) {
    try {
      for (const std::string& text : preserve_volume(spec.local_path, spec.is_dir,
                                                     spec.preserve_mode, spec.prefix, dir, cid)) {
        logger.error("Volume preserve failed: " + text);
      }
    } catch (const std::exception& e) {
      logger.error("Volume preserve failed for " + spec.local_path + ": " + e.what());
    } catch (...) {
      logger.error("Volume preserve failed for " + spec.local_path + ": unknown error");
    }
  }
}

}  // namespace tolvan::preserve
