#include "watcher/watcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "auth/auth.h"
#include "config/config.h"
#include "value/log.h"
#include "value/value.h"

namespace tolvan::watcher {

ConfigWatcher config_watcher;

namespace {

using Clock = std::chrono::steady_clock;

log::Logger& logger() {
  return log::get_logger("tolvan");
}

bool has_yaml_suffix(std::string_view name) {
  return name.ends_with(".yaml") || name.ends_with(".yml");
}

int interval_of(const Value& v) {
  if (!v.is_int() || v.as_int() <= 0) return 0;
  // Far beyond any sensible interval; keeps the time arithmetic from overflowing.
  return static_cast<int>(std::min<std::int64_t>(v.as_int(), 365LL * 24 * 3600));
}

}  // namespace

std::mutex& reload_mutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {

// One reload: `load` returns its problems (an exception counts as one, and leaves the previous
// state in force like any other); the outcome is logged under `what` and handed to `record`.
template <typename Load, typename Record>
bool run_reload(std::string_view what, const Load& load, const Record& record) noexcept {
  std::vector<std::string> errors;
  try {
    errors = load();
  } catch (const std::exception& e) {
    errors = {e.what()};
  } catch (...) {
    errors = {"unexpected failure"};
  }
  try {
    if (errors.empty()) {
      logger().info(std::string(what) + " configuration reloaded successfully");
    } else {
      for (const std::string& e : errors)
        logger().error(std::string(what) + " reload: " + e);
    }
  } catch (...) {
  }
  try {
    record(errors.empty());
  } catch (...) {
  }
  return errors.empty();
}

}  // namespace

bool reload_auth(config::Config& cfg, auth::Auth& auth) noexcept {
  return run_reload(
      "Auth", [&] { return auth.load_auth_config(cfg); },
      [&](bool ok) { cfg.record_auth_reload(ok); });
}

bool reload_aliases(config::Config& cfg) noexcept {
  return run_reload(
      "Alias", [&] { return cfg.reload_aliases(); }, [&](bool ok) { cfg.record_alias_reload(ok); });
}

Fingerprint take_fingerprint(const std::filesystem::path& dir) noexcept {
  Fingerprint fp;
  try {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) return fp;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (ec) return Fingerprint{};
      const std::string name = it->path().filename().string();
      if (!has_yaml_suffix(name)) continue;
      EntryStamp stamp{.name = name};
      struct stat st {};
      // A dangling link or an entry that vanished mid-scan is still part of the picture.
      if (::stat(it->path().c_str(), &st) == 0) {
        stamp.size = static_cast<std::uintmax_t>(st.st_size);
        stamp.mtime_ns =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        stamp.inode = st.st_ino;
      }
      fp.entries.push_back(std::move(stamp));
    }
    std::sort(fp.entries.begin(), fp.entries.end(),
              [](const EntryStamp& a, const EntryStamp& b) { return a.name < b.name; });
    fp.readable = true;
  } catch (...) {
    return Fingerprint{};
  }
  return fp;
}

ConfigWatcher::~ConfigWatcher() {
  stop();
}

bool ConfigWatcher::running() const {
  std::lock_guard lock(mutex_);
  return thread_.joinable() && !stop_requested_;
}

void ConfigWatcher::start(config::Config& cfg, auth::Auth& auth) {
  std::lock_guard lifecycle(lifecycle_mutex_);
  {
    std::unique_lock lock(mutex_);
    if (thread_.joinable()) {
      stop_requested_ = true;
      lock.unlock();
      wake_.notify_all();
      thread_.join();
    }
    stop_requested_ = false;
  }

  std::vector<Watched> watched;
  for (const auto& [dir_key, interval_key] :
       {std::pair{"AuthDir", "AuthReload"}, std::pair{"AliasDir", "AliasReload"}}) {
    const int interval = interval_of(cfg.get(interval_key));
    if (interval == 0) continue;
    watched.push_back({.key = dir_key,
                       .interval = interval,
                       .last = take_fingerprint(to_text(cfg.get(dir_key)))});
  }
  if (watched.empty()) return;

  for (const Watched& w : watched) {
    logger().info("Watching " + w.key + " " + to_text(cfg.get(w.key)) + " every " +
                  std::to_string(w.interval) + " s");
  }
  std::lock_guard lock(mutex_);
  thread_ = std::thread(
      [this, &cfg, &auth, w = std::move(watched)]() mutable { run(cfg, auth, std::move(w)); });
}

void ConfigWatcher::stop() noexcept {
  std::lock_guard lifecycle(lifecycle_mutex_);
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stop_requested_ = true;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
  if (thread.joinable()) thread.detach();
}

void ConfigWatcher::run(config::Config& cfg, auth::Auth& auth, std::vector<Watched> watched) {
  std::vector<Clock::time_point> due;
  const Clock::time_point started = Clock::now();
  for (const Watched& w : watched)
    due.push_back(started + std::chrono::seconds(w.interval));

  for (;;) {
    {
      std::unique_lock lock(mutex_);
      const Clock::time_point next = *std::min_element(due.begin(), due.end());
      wake_.wait_until(lock, next, [this] { return stop_requested_; });
      if (stop_requested_) return;
    }
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (due[i] > now) continue;
      Watched& w = watched[i];
      // The next check is an interval after this one, however long the reload takes.
      due[i] = now + std::chrono::seconds(w.interval);
      const std::string dir = to_text(cfg.get(w.key));
      Fingerprint fp = take_fingerprint(dir);
      if (fp == w.last) continue;
      // Remembered before reloading: a failed reload waits for the next change.
      w.last = std::move(fp);
      logger().info(w.key + " " + dir + " changed; reloading");
      std::lock_guard reload(reload_mutex());
      if (w.key == "AuthDir") {
        reload_auth(cfg, auth);
      } else {
        reload_aliases(cfg);
      }
    }
  }
}

}  // namespace tolvan::watcher
