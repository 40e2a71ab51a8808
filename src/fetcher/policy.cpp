#include "fetcher/fetcher.h"

#include <string_view>

namespace tolvan::fetcher {
namespace {

std::string effective_policy(const Value& alias_cfg, std::string_view field,
                             const Value& global_default) {
  const Value* own = alias_cfg.find(field);
  const Value& chosen = (own != nullptr && !own->is_null()) ? *own : global_default;
  if (!chosen.truthy()) {
    return "no";
  }
  return to_lower(to_text(chosen));
}

}  // namespace

std::string effective_refresh_image(const Value& alias_cfg, const Value& global_default) {
  return effective_policy(alias_cfg, "refreshImage", global_default);
}

std::string effective_prefetch_image(const Value& alias_cfg, const Value& global_default) {
  return effective_policy(alias_cfg, "prefetchImage", global_default);
}

}  // namespace tolvan::fetcher
