// Output files: the directories they need before a run, and their collection after it.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "executor/internal/runner.h"
#include "executor/internal/text.h"
#include "executor/internal/zip.h"
#include "template/template.h"
#include "value/codec.h"

namespace tolvan::executor::detail {

namespace {

bool is_special_source(const std::string& source) {
  return source == "%stdOut" || source == "%stdErr" || source == "%exitCode";
}

// Opens `rel` beneath the directory `dirfd` without following any symbolic link.
UniqueFd open_plain_beneath(int dirfd, const std::string& rel, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, dirfd, rel.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EAGAIN);
  if (fd < 0 && errno == ENOSYS) {
    // Older kernels: open each component without following links.
    UniqueFd current(fcntl(dirfd, F_DUPFD_CLOEXEC, 3));
    std::size_t start = 0;
    while (current) {
      const std::size_t slash = rel.find('/', start);
      const std::string part = rel.substr(start, slash - start);
      const bool last = slash == std::string::npos;
      const int next = openat(current.get(), part.c_str(),
                              (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
      current.reset(next);
      if (last) break;
      start = slash + 1;
    }
    return current;
  }
  return UniqueFd(static_cast<int>(fd));
}

struct Listed {
  std::string name;
  bool link = false;
};

}  // namespace

std::vector<Value> output_sources(const Value& alias_cfg) {
  std::vector<Value> sources;
  const Value& output = field(alias_cfg, "output");
  const auto add = [&](const Value& entry) {
    const Value& source = field(entry, "source");
    if (source.truthy()) sources.push_back(source);
  };
  add(field(output, "single_value"));
  const Value& multiple = field(output, "multiple_values");
  if (multiple.is_sequence()) {
    for (const Value& entry : multiple.as_sequence())
      add(entry);
  }
  return sources;
}

void precreate_output_dirs(const Value& alias_cfg, const Mapping& params, const RunDirFs* run_dir) {
  if (run_dir == nullptr) return;
  for (const Value& source : output_sources(alias_cfg)) {
    if (to_text(source).starts_with('%')) continue;
    const std::string rendered = tmpl::render(source, params);
    if (rendered.empty()) continue;
    const std::string rel = inside_run_dir(run_dir->path(), rendered, "output source");
    if (rendered.ends_with('/')) {
      run_dir->make_dirs(rel);
      continue;
    }
    const std::size_t slash = rel.rfind('/');
    if (slash != std::string::npos) run_dir->make_dirs(rel.substr(0, slash));
  }
}

namespace {

std::string file_value(const RunDirFs& run_dir, const std::string& rel, const std::string& source) {
  UniqueFd fd = run_dir.open(rel, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd) {
    if (errno == EXDEV) {
      app_log().warning("Output file " + quote_literal(source) + " (" +
                        quote_literal(run_dir.path() + "/" + rel) +
                        ") leads outside the run directory; its value is empty");
    }
    return {};
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  try {
    return universal_newlines(utf8_replace_invalid(read_all(fd.get(), rel)));
  } catch (const FsError&) {
    return {};
  }
}

}  // namespace

std::optional<std::string> zip_folder(const RunDirFs& run_dir, const std::string& rel,
                                      const std::string& source) {
  UniqueFd folder = run_dir.open(rel, O_RDONLY | O_DIRECTORY);
  if (!folder) {
    if (errno == EXDEV) {
      app_log().warning("Output folder " + quote_literal(source) + " (" +
                        quote_literal(run_dir.path() + "/" + rel) +
                        ") leads outside the run directory; its value is empty");
    }
    return std::nullopt;
  }
  const std::string base = rel.empty() ? std::string() : rel + "/";
  const auto skip = [&](const std::string& entry, const char* why) {
    app_log().warning("Output folder " + quote_literal(source) + ": skipped " +
                      quote_literal(entry) + ", " + why);
  };

  ZipWriter zip;
  // Directories still to visit, relative to the folder; the top of the stack is the next one,
  // so the walk is top-down with subdirectories in listing order.
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    UniqueFd dfd = dir.empty() ? UniqueFd(fcntl(folder.get(), F_DUPFD_CLOEXEC, 3))
                               : open_plain_beneath(folder.get(), dir, O_RDONLY | O_DIRECTORY);
    if (!dfd) continue;  // a directory that cannot be listed is left out
    std::unique_ptr<DIR, int (*)(DIR*)> listing(fdopendir(dfd.get()), closedir);
    if (!listing) continue;
    const int listing_fd = dfd.release();
    std::vector<Listed> files;
    std::vector<std::string> subdirs;
    while (const dirent* d = readdir(listing.get())) {
      const std::string name = d->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      if (fstatat(listing_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      const std::string path = dir.empty() ? name : dir + "/" + name;
      if (S_ISDIR(st.st_mode)) {
        subdirs.push_back(path);
      } else {
        files.push_back({name, S_ISLNK(st.st_mode)});
      }
    }
    std::sort(files.begin(), files.end(),
              [](const Listed& a, const Listed& b) { return a.name < b.name; });

    for (const Listed& f : files) {
      const std::string path = dir.empty() ? f.name : dir + "/" + f.name;
      UniqueFd fd;
      if (!f.link) {
        fd.reset(openat(listing_fd, f.name.c_str(),
                        O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
      }
      if (f.link || (!fd && errno == ELOOP)) {
        // A link may point anywhere inside the run directory, never outside it.
        fd = run_dir.open(base + path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (!fd && (errno == EXDEV || errno == ELOOP)) {
          skip(path, "which leads outside the run directory");
          continue;
        }
      }
      if (!fd) throw FsError(run_dir.describe("cannot read", base + path, errno));
      struct stat st;
      if (fstat(fd.get(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) continue;  // a link to a directory is not followed
      if (!S_ISREG(st.st_mode)) {
        skip(path, "which is not a regular file");
        continue;
      }
      const std::string data =
          read_all(fd.get(), quote_literal(run_dir.path() + "/" + base + path));
      zip.add(path, data, st.st_mtime, st.st_mode);
    }
    listing.reset();
    pending.insert(pending.end(), subdirs.rbegin(), subdirs.rend());
  }
  return zip.finish();
}

Mapping collect_output_files(const Value& alias_cfg, const Mapping& params,
                             const RunDirFs* run_dir) {
  Mapping result;
  if (run_dir == nullptr) return result;
  for (const Value& declared : output_sources(alias_cfg)) {
    const std::string source = to_text(declared);
    if (source.empty() || is_special_source(source)) continue;
    const std::string rendered = tmpl::render(declared, params);
    const std::string rel = inside_run_dir(run_dir->path(), rendered, "output source");
    if (rendered.ends_with('/')) {
      const std::optional<std::string> archive = zip_folder(*run_dir, rel, source);
      result.set(source, archive ? base64_encode(*archive) : std::string());
    } else {
      result.set(source, file_value(*run_dir, rel, source));
    }
  }
  return result;
}

}  // namespace tolvan::executor::detail
