#include "workspace/workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "value/codec.h"
#include "value/log.h"

namespace tolvan::workspace {

namespace fs = std::filesystem;

namespace {

bool is_type(const Value& alias_config, std::string_view type) {
  const Value* t = alias_config.find("type");
  return t != nullptr && t->is_string() && t->as_string() == type;
}

// The entries of a sequence field; nothing when absent, null, empty or not a sequence.
const Sequence& entries_of(const Value& alias_config, std::string_view key) {
  static const Sequence kNone;
  const Value* v = alias_config.find(key);
  if (v == nullptr || !v->is_sequence()) return kNone;
  return v->as_sequence();
}

// The text of a source that is present and not empty; empty otherwise.
std::string source_text(const Value& holder) {
  const Value* source = holder.find("source");
  if (source == nullptr || source->is_null()) return {};
  return to_text(*source);
}

bool has_no_source(const Value& volume) {
  const Value* source = volume.find("source");
  return source == nullptr || source->is_null();
}

// Empties the directory open as `dir_fd`, never following links: every entry is examined
// without following, and subdirectories are opened relative to their parent with
// O_NOFOLLOW, so a link swapped in cannot lead the removal elsewhere. Errors are ignored.
void remove_contents(int dir_fd) {
  const int list_fd = ::dup(dir_fd);
  if (list_fd < 0) return;
  DIR* dir = ::fdopendir(list_fd);
  if (dir == nullptr) {
    ::close(list_fd);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      const int child = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        remove_contents(child);
        ::close(child);
      }
      ::unlinkat(dir_fd, name, AT_REMOVEDIR);
      continue;
    }
    ::unlinkat(dir_fd, name, 0);
  }
  ::closedir(dir);
}

}  // namespace

namespace detail {

bool has_file_output_sources(const Value& alias_config) {
  const Value* output = alias_config.find("output");
  if (output == nullptr || !output->is_mapping()) return false;
  std::vector<std::string> sources;
  if (const Value* single = output->find("single_value"); single != nullptr) {
    if (std::string s = source_text(*single); !s.empty()) sources.push_back(std::move(s));
  }
  for (const Value& entry : entries_of(*output, "multiple_values")) {
    if (std::string s = source_text(entry); !s.empty()) sources.push_back(std::move(s));
  }
  for (const std::string& source : sources) {
    if (source.front() != '%') return true;
  }
  return false;
}

}  // namespace detail

bool needs_external_dir(const Value& alias_config) {
  if (!is_type(alias_config, "container")) return false;
  for (const Value& volume : entries_of(alias_config, "volumes")) {
    if (has_no_source(volume)) return true;
    const std::string source = source_text(volume);
    if (source.empty() || source.front() != '/') return true;
  }
  return false;
}

bool needs_auto_dir(const Value& alias_config) {
  if (!is_type(alias_config, "container")) return false;
  for (const Value& volume : entries_of(alias_config, "volumes")) {
    if (has_no_source(volume)) return true;
  }
  return false;
}

bool needs_run_dir(const Value& alias_config) {
  if (is_type(alias_config, "process")) {
    const Value* files = alias_config.find("files");
    if (files != nullptr && files->truthy()) return true;
    return detail::has_file_output_sources(alias_config);
  }
  if (is_type(alias_config, "container")) {
    return needs_external_dir(alias_config) || detail::has_file_output_sources(alias_config);
  }
  return false;
}

RunDir create(const std::string& shared_dir, const Value& alias_config,
              std::string_view correlation_id) {
  // An ID that could name anything but one entry of SharedDir gets a fresh name instead.
  const std::string name =
      is_plain_file_name(correlation_id) ? std::string(correlation_id) : random_uuid();
  RunDir result;
  result.run_dir = (fs::path(shared_dir) / name).string();
  const bool made_run_dir = fs::create_directories(result.run_dir);
  if (needs_auto_dir(alias_config)) {
    std::string auto_dir = (fs::path(result.run_dir) / "auto").string();
    try {
      fs::create_directories(auto_dir);
    } catch (...) {
      // The caller gets no run directory to clean up, so one made here must not stay behind
      // (a full SharedDir may have room for it but not for "auto"). A directory that was
      // already there belongs to another execution with the same ID and is left alone.
      if (made_run_dir) ::rmdir(result.run_dir.c_str());
      throw;
    }
    result.auto_dir = std::move(auto_dir);
  }
  return result;
}

void cleanup(const std::string& run_dir) noexcept {
  if (run_dir.empty()) return;
  try {
    // O_NOFOLLOW: a run directory that is itself a link is left in place, target untouched.
    const int fd = ::open(run_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    remove_contents(fd);
    ::close(fd);
    ::rmdir(run_dir.c_str());
  } catch (const std::exception& e) {
    log::get_logger("tolvan").debug(std::string("Run-dir cleanup error (ignored): ") + e.what());
  } catch (...) {
    log::get_logger("tolvan").debug("Run-dir cleanup error (ignored): unknown error");
  }
}

}  // namespace tolvan::workspace
