#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "docker/docker.h"
#include "fetcher/fetcher.h"
#include "value/log.h"
#include "value/value.h"

namespace tolvan::fetcher {
namespace {

// Grace given to an abandoned per-run pull beyond the caller's limit, so the pull's own time
// limit does not race the bounded wait; the worker then ends by itself.
constexpr double kAbandonedPullGraceSeconds = 5.0;

log::Logger& logger() { return log::get_logger("tolvan"); }

std::mutex client_mutex;
std::shared_ptr<docker::Client> client_instance;  // `_client`: null until get_client succeeds

bool is_container_with_image(const Value& alias) {
  const Value* type = alias.find("type");
  if (type == nullptr || !type->is_string() || type->as_string() != "container") return false;
  const Value* image = alias.find("image");
  return image != nullptr && image->truthy();
}

std::string image_of(const Value& alias) { return to_text(alias.at("image")); }

std::string join_names(const std::vector<std::pair<std::string, bool>>& entries) {
  std::string names;
  for (const auto& [name, changed] : entries) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  return names;
}

// Insertion-ordered map from image reference to its value; the lists here are small.
template <typename T>
T& slot(std::vector<std::pair<std::string, T>>& list, const std::string& image) {
  for (auto& entry : list) {
    if (entry.first == image) return entry.second;
  }
  list.emplace_back(image, T{});
  return list.back().second;
}

std::string timeout_text(const Value& timeout) { return to_text(timeout); }

}  // namespace

std::shared_ptr<docker::Client> get_client() {
  std::lock_guard<std::mutex> lock(client_mutex);
  if (!client_instance) client_instance = docker::Client::from_env();
  return client_instance;
}

namespace detail {

bool image_exists_locally(const docker::Client& client, const std::string& image) {
  try {
    client.inspect_image(image);
    return true;
  } catch (const docker::ImageNotFound&) {
    return false;
  }
}

void reset_client() {
  std::lock_guard<std::mutex> lock(client_mutex);
  client_instance.reset();
}

}  // namespace detail

std::vector<std::string> startup_pull(const Sequence& aliases, const Value& refresh_default,
                                      const Value& prefetch_default,
                                      std::shared_ptr<docker::Client> client) {
  std::vector<std::pair<std::string, std::string>> image_mode;
  for (const Value& alias : aliases) {
    if (!is_container_with_image(alias)) continue;
    const std::string image = image_of(alias);
    const std::string prefetch = effective_prefetch_image(alias, prefetch_default);
    const std::string refresh = effective_refresh_image(alias, refresh_default);
    if (prefetch == "on-start" || prefetch == "on-config-change") {
      slot(image_mode, image) = "prefetch";
      continue;
    }
    if (refresh != "on-start") continue;
    std::string& mode = slot(image_mode, image);
    if (mode != "prefetch") mode = "refresh";
  }
  if (image_mode.empty()) return {};

  if (!client) {
    try {
      client = get_client();
    } catch (const std::exception& e) {
      return {std::string("Cannot reach Docker to refresh/prefetch images at startup: ") + e.what()};
    }
  }

  std::vector<std::string> errors;
  for (const auto& [image, mode] : image_mode) {
    if (mode == "refresh" && !detail::image_exists_locally(*client, image)) continue;
    try {
      client->pull(image);
      logger().info("Pulled image " + quote_literal(image) + " at startup (" + mode + ")");
    } catch (const std::exception& e) {
      const std::string action = mode == "prefetch" ? "prefetch" : "refresh";
      errors.push_back("Failed to " + action + " image " + quote_literal(image) + " at startup: " +
                       e.what());
    }
  }
  return errors;
}

std::vector<std::string> reload_pull(const Mapping& previous_aliases, const Mapping& new_aliases,
                                     const Value& prefetch_default,
                                     std::shared_ptr<docker::Client> client) {
  struct Changed {
    std::string name;
    std::string image;
    bool image_changed;
  };
  std::vector<Changed> changed;
  for (const auto& [name_value, new_cfg] : new_aliases) {
    if (!is_container_with_image(new_cfg)) continue;
    if (effective_prefetch_image(new_cfg, prefetch_default) != "on-config-change") continue;
    const Value* old_cfg = previous_aliases.find(name_value);
    const bool is_new = old_cfg == nullptr || old_cfg->is_null();
    if (!is_new && *old_cfg == new_cfg) continue;
    const bool image_changed = is_new || old_cfg->get_or("image", Value()) != new_cfg.at("image");
    changed.push_back({to_text(name_value), image_of(new_cfg), image_changed});
  }
  if (changed.empty()) return {};

  if (!client) {
    try {
      client = get_client();
    } catch (const std::exception& e) {
      const std::string message = std::string("Cannot reach Docker to prefetch changed alias images: ") + e.what();
      logger().error(message);
      const bool blocking = std::any_of(changed.begin(), changed.end(),
                                        [](const Changed& c) { return c.image_changed; });
      if (blocking) return {message};
      return {};
    }
  }

  std::vector<std::pair<std::string, std::vector<std::pair<std::string, bool>>>> images_to_pull;
  for (const Changed& c : changed) slot(images_to_pull, c.image).emplace_back(c.name, c.image_changed);

  std::vector<std::string> errors;
  for (const auto& [image, entries] : images_to_pull) {
    const std::string names = join_names(entries);
    try {
      client->pull(image);
      logger().info("Prefetched image " + quote_literal(image) + " for alias(es) " + names +
                    " after configuration change");
    } catch (const std::exception& e) {
      const std::string message = "Failed to prefetch image " + quote_literal(image) +
                                  " for alias(es) " + names + ": " + e.what();
      logger().error(message);
      const bool blocking = std::any_of(entries.begin(), entries.end(),
                                        [](const auto& entry) { return entry.second; });
      if (blocking) errors.push_back(message);
    }
  }
  return errors;
}

double refresh_before_run(const std::shared_ptr<docker::Client>& client, const Value& alias_cfg,
                          const Value& refresh_default, const Value& timeout) noexcept {
  try {
    const Value* image_value = alias_cfg.find("image");
    if (image_value == nullptr || !image_value->truthy()) return 0.0;
    if (effective_refresh_image(alias_cfg, refresh_default) != "always") return 0.0;
    const std::string image = to_text(*image_value);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [start] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    double limit = timeout.is_number() ? timeout.as_float() : 0.0;
    if (std::isnan(limit) || limit < 0.0) limit = 0.0;
    const auto log_failure = [&image](const std::string& what) {
      logger().error("Image refresh (pull) failed for " + quote_literal(image) + ": " + what +
                     "; running with existing/implicit image");
    };
    const auto log_timeout = [&image, &timeout] {
      logger().error("Image refresh (pull) for " + quote_literal(image) + " timed out after " +
                     timeout_text(timeout) + "s; running with existing/implicit image");
    };
    if (!client) {
      log_failure("no container engine client");
      return elapsed();
    }

    // One worker of its own: a hanging registry can hold the worker, never the caller.
    auto outcome = std::make_shared<std::promise<void>>();
    std::future<void> done = outcome->get_future();
    const double pull_limit = std::isinf(limit) ? limit : limit + kAbandonedPullGraceSeconds;
    std::thread worker([client, image, outcome, pull_limit] {
      try {
        if (std::isinf(pull_limit)) client->pull(image);
        else client->pull(image, pull_limit);
        outcome->set_value();
      } catch (...) {
        outcome->set_exception(std::current_exception());
      }
    });
    const bool finished =
        std::isinf(limit) ||
        done.wait_for(std::chrono::duration<double>(limit)) == std::future_status::ready;
    if (!finished) {
      worker.detach();  // abandoned: its outcome is ignored
      log_timeout();
      return elapsed();
    }
    worker.join();
    try {
      done.get();
    } catch (const docker::Timeout&) {
      log_timeout();
    } catch (const std::exception& e) {
      log_failure(e.what());
    }
    return elapsed();
  } catch (const std::exception& e) {
    // Only resource exhaustion (no thread, no memory) gets here; the run goes on regardless.
    logger().error(std::string("Image refresh (pull) could not run: ") + e.what());
    return 0.0;
  }
}

}  // namespace tolvan::fetcher
