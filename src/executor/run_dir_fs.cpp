#include "executor/internal/run_dir_fs.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>

#include "value/value.h"

namespace tolvan::executor::detail {

namespace fs = std::filesystem;

namespace {

// Set once the kernel has shown that it lacks openat2; the component walk is used then.
std::atomic<bool> g_no_openat2{false};

std::vector<std::string> split_components(const std::string& rel) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= rel.size()) {
    const std::size_t slash = rel.find('/', start);
    const std::size_t end = slash == std::string::npos ? rel.size() : slash;
    if (end > start) parts.push_back(rel.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Without openat2: walk the components without following any link. Every link is refused as
// if it led outside, which is safe and only stricter than needed.
int open_without_links(int dirfd, const std::string& rel, int flags, mode_t mode) {
  const std::vector<std::string> parts = split_components(rel);
  if (parts.empty()) return fcntl(dirfd, F_DUPFD_CLOEXEC, 3);
  UniqueFd current;
  int at = dirfd;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part == "..") {
      errno = EXDEV;
      return -1;
    }
    struct stat st;
    if (fstatat(at, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      errno = EXDEV;
      return -1;
    }
    const bool last = i + 1 == parts.size();
    const int fd = last ? openat(at, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode)
                        : openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    if (last) return fd;
    current.reset(fd);
    at = fd;
  }
  return -1;
}

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::string normalise(const std::string& path) {
  std::string s = fs::path(path).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/')
    s.pop_back();
  return s;
}

std::string inside_run_dir(const std::string& run_dir, const std::string& rel,
                           std::string_view what) {
  const auto refuse = [&] {
    return PathError(std::string(what) + " " + quote_literal(rel) +
                     " leads outside the run directory");
  };
  if (rel.find('\0') != std::string::npos) {
    throw PathError(std::string(what) + " " + quote_literal(rel) + " holds a NUL character");
  }
  const fs::path base = normalise(run_dir);
  const fs::path full = (base / rel).lexically_normal();
  std::string inner = full.lexically_relative(base).string();
  if (inner.empty() || inner == ".." || inner.starts_with("../")) throw refuse();
  while (!inner.empty() && inner.back() == '/')
    inner.pop_back();
  if (inner == ".") inner.clear();
  return inner;
}

RunDirFs::RunDirFs(std::string run_dir) : path_(std::move(run_dir)) {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    throw FsError("cannot open run directory " + quote_literal(path_) + ": " +
                  std::strerror(errno));
  }
  fd_.reset(fd);
}

UniqueFd RunDirFs::open(const std::string& rel, int flags, mode_t mode, bool no_symlinks) const {
  const std::string path = rel.empty() ? "." : rel;
  if (!g_no_openat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | (no_symlinks ? RESOLVE_NO_SYMLINKS : 0);
    for (int attempt = 0;; ++attempt) {
      const long fd = syscall(SYS_openat2, fd_.get(), path.c_str(), &how, sizeof how);
      if (fd >= 0) return UniqueFd(static_cast<int>(fd));
      // A concurrent rename makes the kernel refuse the walk; it asks to retry.
      if (errno == EAGAIN && attempt < 8) continue;
      if (errno != ENOSYS) return UniqueFd();
      g_no_openat2.store(true, std::memory_order_relaxed);
      break;
    }
  }
  return UniqueFd(open_without_links(fd_.get(), rel, flags, mode));
}

std::string RunDirFs::describe(std::string_view action, const std::string& rel, int err) const {
  const std::string full = rel.empty() ? path_ : path_ + "/" + rel;
  const std::string reason =
      err == EXDEV ? "it leads outside the run directory" : std::strerror(err);
  return std::string(action) + " " + quote_literal(full) + ": " + reason;
}

void RunDirFs::make_dirs(const std::string& rel) const {
  std::string prefix;
  UniqueFd parent;
  for (const std::string& part : split_components(rel)) {
    const std::string next = prefix.empty() ? part : prefix + "/" + part;
    UniqueFd dir = open(next, O_PATH | O_DIRECTORY);
    if (!dir && errno == ENOENT) {
      const int at = parent ? parent.get() : fd_.get();
      if (mkdirat(at, part.c_str(), 0777) != 0 && errno != EEXIST) {
        throw FsError(describe("cannot create directory", next, errno));
      }
      dir = open(next, O_PATH | O_DIRECTORY);
    }
    if (!dir) throw FsError(describe("cannot create directory", next, errno));
    parent = std::move(dir);
    prefix = next;
  }
}

void RunDirFs::write_file(const std::string& rel, std::string_view content) const {
  const std::size_t slash = rel.rfind('/');
  if (slash != std::string::npos) make_dirs(rel.substr(0, slash));
  UniqueFd fd = open(rel, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) throw FsError(describe("cannot write", rel, errno));
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FsError(describe("cannot write", rel, errno));
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd.release()) != 0) throw FsError(describe("cannot write", rel, errno));
}

std::string read_all(int fd, std::string_view what) {
  std::string data;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  constexpr std::size_t kChunk = 64 * 1024;
  for (;;) {
    const std::size_t used = data.size();
    data.resize(used + kChunk);
    const ssize_t n = ::read(fd, data.data() + used, kChunk);
    if (n < 0 && errno == EINTR) {
      data.resize(used);
      continue;
    }
    if (n < 0) {
      const int err = errno;
      throw FsError("cannot read " + std::string(what) + ": " + std::strerror(err));
    }
    data.resize(used + static_cast<std::size_t>(n));
    if (n == 0) return data;
  }
}

}  // namespace tolvan::executor::detail
