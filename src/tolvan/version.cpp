// The program's version. The build knows its own version; when the program was installed from
// a Debian package, the package's version (which may carry a Debian revision) wins, so what
// --version and /health show is what the package manager shows.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tolvan/service.h"

#ifndef TOLVAN_VERSION
#define TOLVAN_VERSION ""
#endif

namespace tolvan::service {
namespace {

namespace fs = std::filesystem;

// Package name -> version of every installed package in a dpkg status file.
std::map<std::string, std::string> installed_packages(const std::string& status_path) {
  std::map<std::string, std::string> installed;
  std::ifstream in(status_path);
  std::string line, package, version, status;
  auto flush = [&] {
    if (!package.empty() && status.ends_with(" installed") && !version.empty()) {
      installed.emplace(package, version);
    }
    package.clear();
    version.clear();
    status.clear();
  };
  while (std::getline(in, line)) {
    if (line.empty()) {
      flush();
    } else if (line.starts_with("Package: ")) {
      package = line.substr(9);
    } else if (line.starts_with("Version: ")) {
      version = line.substr(9);
    } else if (line.starts_with("Status: ")) {
      status = line.substr(8);
    }
  }
  flush();
  return installed;
}

// The tolvan* package whose file list holds `executable`, if any. Only those lists are read:
// scanning every package's list would cost a noticeable part of a second at each start.
std::optional<std::string> owning_package(const std::string& info_dir,
                                          const std::string& executable) {
  std::vector<std::string> lists;
  std::error_code ec;
  for (fs::directory_iterator it(info_dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with("tolvan") && name.ends_with(".list")) lists.push_back(name);
  }
  std::sort(lists.begin(), lists.end());
  for (const std::string& name : lists) {
    std::ifstream in(fs::path(info_dir) / name);
    std::string line;
    while (std::getline(in, line)) {
      if (line != executable) continue;
      std::string package = name.substr(0, name.size() - 5);
      // Multi-arch packages have lists named "package:arch.list".
      if (const auto colon = package.find(':'); colon != std::string::npos) package.resize(colon);
      return package;
    }
  }
  return std::nullopt;
}

}  // namespace

VersionInfo resolve_version(const VersionSources& sources) noexcept {
  const std::string fallback = sources.build_version.empty() ? "unknown" : sources.build_version;
  try {
    const std::map<std::string, std::string> installed = installed_packages(sources.dpkg_status);
    if (!installed.empty()) {
      std::error_code ec;
      const fs::path exe = fs::canonical(
          sources.executable.empty() ? fs::path("/proc/self/exe") : fs::path(sources.executable),
          ec);
      if (!ec) {
        if (auto pkg = owning_package(sources.dpkg_info_dir, exe.string())) {
          if (auto it = installed.find(*pkg); it != installed.end()) return {it->second, *pkg};
        }
      }
      for (const char* name : {"tolvan", "tolvan-pure", "tolvan-dbg"}) {
        if (auto it = installed.find(name); it != installed.end()) return {it->second, name};
      }
    }
  } catch (...) {
  }
  return {fallback, std::nullopt};
}

const VersionInfo& version_info() {
  static const VersionInfo info = [] {
    VersionSources sources;
    sources.build_version = TOLVAN_VERSION;
    return resolve_version(sources);
  }();
  return info;
}

}  // namespace tolvan::service
