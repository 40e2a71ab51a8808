#pragma once

// File access confined to one run directory. Paths from templates are first resolved
// lexically (`inside_run_dir`): one that leads outside is refused before anything is touched.
// Every later open is resolved by the kernel beneath the run directory's descriptor, so a
// symbolic link left in the run directory (the commands run with other rights than the
// gateway) cannot make the gateway read or write anything outside it.
//
// Failure: `PathError` for a path that leads outside; `FsError` for file-system failures,
// whose message names the path and the system's reason. `open` reports through errno instead.
// Thread-safety: a RunDirFs is used by the one execution that owns it.

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace tolvan::executor::detail {

/// A path that leads outside the run directory.
class PathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A file-system failure inside the run directory.
class FsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Owns one file descriptor; -1 when empty.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

/// `rel` (a rendered template) joined to `run_dir` and normalised lexically, as a path relative
/// to the run directory without trailing "/" ("" for the run directory itself). Throws
/// PathError "{what} '{rel}' leads outside the run directory" when it does (or a PathError
/// naming a NUL character in it).
std::string inside_run_dir(const std::string& run_dir, const std::string& rel,
                           std::string_view what);

/// `path` lexically normalised, without trailing "/" (but "/" stays "/").
std::string normalise(const std::string& path);

class RunDirFs {
 public:
  /// Opens the run directory; FsError when it is missing or is a symbolic link.
  explicit RunDirFs(std::string run_dir);

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }

  /// Opens `rel` (relative to the run directory, "" for itself) with `flags`, resolving every
  /// component beneath the run directory; links inside it are followed unless `no_symlinks`.
  /// Returns -1 with errno set on failure: EXDEV when the path leads outside.
  UniqueFd open(const std::string& rel, int flags, mode_t mode = 0, bool no_symlinks = false) const;

  /// Creates the directory `rel` with every missing parent; existing ones are fine.
  void make_dirs(const std::string& rel) const;

  /// Creates the parent directories of `rel`, then creates or truncates the file and writes
  /// `content`.
  void write_file(const std::string& rel, std::string_view content) const;

  /// The message of an FsError for `rel` and errno `err`.
  std::string describe(std::string_view action, const std::string& rel, int err) const;

 private:
  std::string path_;
  UniqueFd fd_;
};

/// Reads an open file to its end; FsError naming `what` on failure.
std::string read_all(int fd, std::string_view what);

}  // namespace tolvan::executor::detail
