#include "preserve/internal/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "preserve/preserve.h"

namespace tolvan::preserve {

namespace fs = std::filesystem;

namespace {

std::string errno_text(int err) {
  return std::generic_category().message(err);
}

// Closes the descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  /// Closes now and reports the close's own error (0 when fine).
  int close_now() {
    const int fd = fd_;
    fd_ = -1;
    return (fd >= 0 && ::close(fd) != 0) ? errno : 0;
  }

 private:
  int fd_;
};

std::string make_parent(const std::string& dest) {
  const fs::path parent = fs::path(dest).parent_path();
  if (parent.empty()) return {};
  std::error_code ec;
  fs::create_directories(parent, ec);
  return ec ? ec.message() : std::string();
}

// Writes all of `data`; returns errno on failure, 0 when done.
int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Distinguishes the temporary files of concurrent writes in this process.
unsigned long next_temp_number() {
  static std::atomic<unsigned long> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

// Writes `dest` through a fresh temporary file beside it (mode 0666 less the file creation
// mask, as a file created in place would get), which `fill` writes and which is renamed over
// `dest` only once complete. On a full or failing file system the half-written copy is
// removed, so a preserved file is whole or absent, and an earlier complete one stays as it
// was. Returns 0 or an errno value.
template <typename Fill>
int replace_file(const std::string& dest, const Fill& fill) {
  const fs::path dest_path(dest);
  const std::string stem = "." + dest_path.filename().string().substr(0, 200) + ".";
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = (dest_path.parent_path() /
           (stem + std::to_string(::getpid()) + "-" + std::to_string(next_temp_number())))
              .string();
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  Fd out(fd);
  int err = fill(out.get());
  if (const int close_err = out.close_now(); err == 0) err = close_err;
  if (err == 0 && ::rename(tmp.c_str(), dest.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(tmp.c_str());
  return err;
}

int copy_content(int from, int to) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (const int err = write_all(to, buffer, static_cast<std::size_t>(n)); err != 0) return err;
  }
}

}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
  if (base.empty()) return std::string(name);
  std::string joined(base);
  if (joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

std::string resolve_log_dir(const Value& log_dir) {
  if (log_dir.is_null()) return std::string(kDefaultLogDir);
  std::string text = to_text(log_dir);
  return text.empty() ? std::string(kDefaultLogDir) : text;
}

CopyOutcome copy_regular_file(const std::string& src, const std::string& dest) {
  struct stat link_st {};
  if (::lstat(src.c_str(), &link_st) == 0 && S_ISLNK(link_st.st_mode)) return {true, {}};

  // O_NONBLOCK keeps a named pipe from blocking the open; O_NOFOLLOW closes the gap between
  // the check above and the open.
  Fd in(::open(src.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in.valid()) return {false, errno_text(errno)};
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return {false, errno_text(errno)};
  if (!S_ISREG(st.st_mode)) return {false, "not a regular file"};
  // Back to blocking reads for the copy itself.
  ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);

  if (std::string err = make_parent(dest); !err.empty()) return {false, err};

  const int err = replace_file(dest, [&](int out) {
    int e = copy_content(in.get(), out);
    // Only the permission bits travel: set-user-ID, set-group-ID and sticky bits of a file
    // from a run directory must not reappear on a copy owned by the service.
    if (e == 0 && ::fchmod(out, st.st_mode & 0777) != 0) e = errno;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (e == 0 && ::futimens(out, times) != 0) e = errno;
    return e;
  });
  if (err != 0) return {false, errno_text(err)};
  return {};
}

std::string write_file(const std::string& dest, std::string_view content) {
  if (std::string err = make_parent(dest); !err.empty()) return err;
  const int err =
      replace_file(dest, [&](int out) { return write_all(out, content.data(), content.size()); });
  return err == 0 ? std::string() : errno_text(err);
}

}  // namespace tolvan::preserve
