#pragma once

// A small tmpfs mounted over a directory for one test, so that the test can make a file system
// full, read-only or short of inodes without touching anything else on the machine. For tests
// only.
//
// Mounting needs privilege; a test checks the mount with TOLVAN_MOUNT_OR_SKIP. The other
// operations throw std::system_error (or std::runtime_error) when they cannot do what they
// promise, which ends the test as failed instead of letting it run on against a file system
// that is not in the state it expects.

#include <errno.h>
#include <stdio.h>
#include <sys/mount.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace tolvan::testing {

class Tmpfs {
 public:
  /// What fill() writes to use up the space, and where exhaust_inodes() puts its empty files;
  /// both sit directly below the mount.
  static constexpr const char* kFiller = ".filler";
  static constexpr const char* kInodes = ".inodes";

  /// Mounts a tmpfs of `bytes` over `dir` (made if missing). `more_options` is appended to the
  /// mount options, e.g. "nr_inodes=16". A failed mount is recorded, not thrown: see mounted().
  Tmpfs(std::filesystem::path dir, std::size_t bytes, const std::string& more_options = {})
      : dir_(std::move(dir)) {
    std::filesystem::create_directories(dir_);
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (!more_options.empty()) options += "," + more_options;
    if (::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      error_ = errno;
    }
  }
  /// Unmounts, also when the test failed half-way. Something the code under test still holds
  /// open would make the unmount busy; the lazy unmount then lets go once it is closed.
  ~Tmpfs() {
    if (mounted_ && ::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  bool mounted() const { return mounted_; }
  /// Mounting is refused to an unprivileged test run; any other error is a failure.
  bool not_permitted() const { return error_ == EPERM || error_ == EACCES; }
  std::string error() const { return std::strerror(error_); }
  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path operator/(std::string_view rel) const { return dir_ / rel; }

  void set_read_only(bool read_only) const {
    const unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
    if (::mount(nullptr, dir_.c_str(), nullptr, flags, nullptr) != 0) {
      fail(errno, read_only ? "remounting read-only" : "remounting read-write");
    }
  }

  /// Writes the filler file until not one more byte fits, then gives `leave` bytes back.
  void fill(std::size_t leave = 0) const {
    const std::filesystem::path filler = dir_ / kFiller;
    FILE* f = ::fopen(filler.c_str(), "wb");
    if (f == nullptr) fail(errno, "creating " + filler.string());
    // Unbuffered, so that the last chunk is written as far as it fits instead of being dropped
    // whole with the buffer.
    ::setvbuf(f, nullptr, _IONBF, 0);
    const std::string chunk(64 * 1024, 'f');
    while (::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size()) {
    }
    ::fclose(f);
    const auto size = std::filesystem::file_size(filler);
    if (size <= leave) {
      throw std::runtime_error("filling " + dir_.string() + ": only " + std::to_string(size) +
                               " bytes fit, cannot leave " + std::to_string(leave));
    }
    std::filesystem::resize_file(filler, size - leave);
  }
  void drain() const { std::filesystem::remove(dir_ / kFiller); }

  /// Creates empty files until no inode is left, then gives `leave` of them back.
  void exhaust_inodes(int leave = 0) const {
    const std::filesystem::path holder = dir_ / kInodes;
    std::filesystem::create_directory(holder);
    int made = 0;
    int err = 0;
    for (;; ++made) {
      FILE* f = ::fopen((holder / std::to_string(made)).c_str(), "w");
      if (f == nullptr) {
        err = errno;
        break;
      }
      ::fclose(f);
    }
    if (err != ENOSPC) fail(err, "using up the inodes");
    if (made < leave) {
      throw std::runtime_error("using up the inodes of " + dir_.string() + ": only " +
                               std::to_string(made) + " were free, cannot leave " +
                               std::to_string(leave));
    }
    for (int i = 0; i < leave; ++i) {
      std::filesystem::remove(holder / std::to_string(i));
    }
  }
  void restore_inodes() const { std::filesystem::remove_all(dir_ / kInodes); }

  /// Every entry below the mount except the filler and the inode holder, "/"-separated and
  /// sorted, directories ending in "/".
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_)) {
      const std::string rel = std::filesystem::relative(e.path(), dir_).string();
      if (rel == kFiller || rel == kInodes || rel.starts_with(std::string(kInodes) + "/")) {
        continue;
      }
      out.push_back(e.is_directory() ? rel + "/" : rel);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  [[noreturn]] void fail(int err, const std::string& what) const {
    throw std::system_error(err, std::generic_category(), what + " on " + dir_.string());
  }

  std::filesystem::path dir_;
  bool mounted_ = false;
  int error_ = 0;
};

}  // namespace tolvan::testing

/// In a test body or SetUp(): skips the test when `mount` (a Tmpfs) could not be mounted for
/// lack of privilege, fails it on any other mount error. Needs <gtest/gtest.h>.
#define TOLVAN_MOUNT_OR_SKIP(mount)                                                           \
  do {                                                                                        \
    if (!(mount).mounted()) {                                                                 \
      if ((mount).not_permitted()) GTEST_SKIP() << "cannot mount tmpfs: " << (mount).error(); \
      FAIL() << "mounting tmpfs on " << (mount).dir() << " failed: " << (mount).error();      \
    }                                                                                         \
  } while (false)
