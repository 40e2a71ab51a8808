#pragma once

// Forced removal of the containers a run created, surviving an engine that is away.

#include <memory>
#include <string>

#include "docker/docker.h"

namespace tolvan::executor::detail {

/// Removes the container `id` with force. When the engine cannot be reached (it was stopped
/// or restarted in the middle of the run) or refuses, the removal is retried on a background
/// thread until the engine answers, so no container of ours is left once it is back. Never
/// throws and never waits for a retry.
void remove_container(const std::shared_ptr<docker::Client>& client,
                      const std::string& id) noexcept;

}  // namespace tolvan::executor::detail
