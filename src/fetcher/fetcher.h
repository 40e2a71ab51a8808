#pragma once

// Image pull policy for container aliases: which images are pulled at startup, after an alias
// reload, and before each run.
//
// Policies: RefreshImage ("always" | "on-start" | "no") and PrefetchImage ("on-start" |
// "on-config-change" | "no"), each with a global default and an optional per-alias override.
//
// Failure: the effective-policy functions never throw. Pull failures become messages (returned
// or logged through the "tolvan" logger), never exceptions; the only exceptions are the ones
// noted on get_client and startup_pull.
// Thread-safety: everything may be called from any thread; refresh_before_run runs
// concurrently for different executions and shares no state.

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "docker/docker.h"
#include "value/value.h"

namespace tolvan::fetcher {

/// Accepted RefreshImage values (also used by alias validation).
inline const std::set<std::string> REFRESH_IMAGE_VALUES{"always", "on-start", "no"};
/// Accepted PrefetchImage values (also used by alias validation).
inline const std::set<std::string> PREFETCH_IMAGE_VALUES{"on-start", "on-config-change", "no"};

/// The alias's "refreshImage" (or `global_default` when absent or null), false-like values read
/// as "no", in lower case. No validation against REFRESH_IMAGE_VALUES.
std::string effective_refresh_image(const Value& alias_cfg, const Value& global_default);
/// Same for "prefetchImage".
std::string effective_prefetch_image(const Value& alias_cfg, const Value& global_default);

/// The process-wide client for startup and reload pulls: created from the environment on the
/// first call (and only once it has answered a ping), then kept for the life of the process.
/// Throws docker::Error when it cannot be created; the next call tries again.
std::shared_ptr<docker::Client> get_client();

/// Pulls the images of container aliases once at startup: PrefetchImage "on-start" or
/// "on-config-change" pulls the image; RefreshImage "on-start" pulls it only when it is
/// already present locally. Each distinct image is pulled at most once ("prefetch" wins).
/// Returns one message per failure, empty on success; contacts the engine (through `client`,
/// or get_client when null) only when some image is due. Logs each pull at info level.
/// Throws docker::Error when asking whether an image exists locally fails for any reason
/// other than the image being absent.
std::vector<std::string> startup_pull(const Sequence& aliases, const Value& refresh_default,
                                      const Value& prefetch_default,
                                      std::shared_ptr<docker::Client> client = nullptr);

/// After an alias reload: pulls the images of container aliases with PrefetchImage
/// "on-config-change" whose definition changed (or that are new), one pull per image. Every
/// failure is logged at error level; it is returned (blocking the reload) only when an alias
/// of that image is new or changed its image reference. Contacts the engine only when some
/// alias is due.
std::vector<std::string> reload_pull(const Mapping& previous_aliases, const Mapping& new_aliases,
                                     const Value& prefetch_default,
                                     std::shared_ptr<docker::Client> client = nullptr);

/// Before a container run: under RefreshImage "always", pulls the alias's image on a worker of
/// its own and waits at most `timeout` seconds (a number, shown in messages in its text form).
/// A failed or timed-out pull is logged at error level and otherwise ignored; a pull still
/// running at the limit is abandoned (it ends by itself shortly after). Returns the seconds
/// spent, 0.0 when no pull was due. Never throws.
double refresh_before_run(const std::shared_ptr<docker::Client>& client, const Value& alias_cfg,
                          const Value& refresh_default, const Value& timeout) noexcept;

namespace detail {

/// Whether the engine has the image: false on ImageNotFound; other docker::Error pass through.
bool image_exists_locally(const docker::Client& client, const std::string& image);

/// Forgets the process-wide client, so get_client creates a new one. For tests.
void reset_client();

}  // namespace detail

}  // namespace tolvan::fetcher
