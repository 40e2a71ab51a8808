// Rendering cost of a typical command-line template: five parameter placeholders, two
// built-in calls (one of them a regex replace) and a run-directory marker.

#include <optional>
#include <string>

#include <benchmark/benchmark.h>

#include "template/template.h"

namespace {

void BM_Render(benchmark::State& state) {
  const tolvan::Value tmpl(
      "deploy --host {host} --port {port} --user {shell_quote(user)} --env {env} "
      "--tag {replace(tag, /[^a-z0-9]+/, '-')} --retries {retries} "
      "--log %sharedDir/{name}.log");
  const tolvan::Mapping params{
      {"host", "app-01.internal"},  {"port", "8443"}, {"user", "o'brien"},    {"env", "staging"},
      {"tag", "Release 2.4 (rc1)"}, {"retries", 3},   {"name", "deploy-run"},
  };
  const std::optional<std::string> run_dir = "/srv/tolvan/shared/3f2a9c1e";
  for (auto _ : state) {
    std::string out = tolvan::tmpl::render(tmpl, params, run_dir);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Render);

}  // namespace
