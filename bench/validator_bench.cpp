// Validation costs: the per-request parameter check of an alias with five parameters (run on
// every request), and the load-time check of a typical container alias definition.

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "validator/validator.h"
#include "value/yaml.h"

namespace {

constexpr const char* kAlias = R"(
name: deploy
type: container
mode: inline
image: registry.internal/deploy:2.4
command: deploy --host {host} --port {port} --env {env} --tag {tag} --retries {retries}
refreshImage: on-start
parameters:
  host: {validator: '[a-z0-9]([a-z0-9.-]*[a-z0-9])?'}
  port: {validator: '\d{1,5}'}
  env: {validator: '(dev|staging|prod)'}
  tag: {validator: '[A-Za-z0-9._-]{1,64}'}
  retries: {validator: '\d*', default: 3}
environment:
  DEPLOY_ENV: '{env}'
  LOG_LEVEL: info
volumes:
  - {location: /work/request.json, content: '{"host": "{json_escape(host)}"}'}
  - {source: out/, location: /out/, preserve: flatten, preservePrefix: deploy}
preserveStreams: [{stream: stdout}, {stream: stderr, flatten: true}]
exitCodeMap: {0: 200, 1-9: {status: 400, text: Bad input}, '*': 500}
output:
  multiple_values:
    - {parameter_name: log, source: '%stdOut'}
    - {parameter_name: report, source: out/}
timeout: 120
)";

void BM_ValidateParameters(benchmark::State& state) {
  const tolvan::Value alias = tolvan::load_yaml(kAlias);
  const tolvan::Value request =
      tolvan::validator::apply_defaults(tolvan::Mapping{{"host", "app-01.internal"},
                                                        {"port", "8443"},
                                                        {"env", "staging"},
                                                        {"tag", "release-2.4.1"}},
                                        alias);
  if (!tolvan::validator::validate_parameters(request, alias).empty()) {
    state.SkipWithError("the request should be valid");
    return;
  }
  for (auto _ : state) {
    std::vector<std::string> messages = tolvan::validator::validate_parameters(request, alias);
    benchmark::DoNotOptimize(messages);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValidateParameters);

void BM_ValidateAliasDefinition(benchmark::State& state) {
  // Validating a definition again replaces its `_exit_code_map`, so one copy serves every run.
  tolvan::Value alias = tolvan::load_yaml(kAlias);
  const tolvan::Value max_timeout = 300;
  if (!tolvan::validator::validate_alias_definition(alias, max_timeout).empty()) {
    state.SkipWithError("the definition should be valid");
    return;
  }
  for (auto _ : state) {
    std::vector<std::string> messages =
        tolvan::validator::validate_alias_definition(alias, max_timeout);
    benchmark::DoNotOptimize(messages);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValidateAliasDefinition);

}  // namespace
