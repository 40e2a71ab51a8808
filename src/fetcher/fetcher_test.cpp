#include "fetcher/fetcher.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "docker/docker.h"
#include "docker/testing/fake_engine.h"
#include "value/log.h"
#include "value/testing/temp_dir.h"

namespace tolvan::fetcher {
namespace {

using docker::testing::Exchange;
using docker::testing::FakeEngine;
using docker::testing::HttpRequest;

// ---- fixtures ----------------------------------------------------------------------------

std::string percent_decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string query_param(const std::string& target, const std::string& name) {
  const std::size_t at = target.find(name + "=");
  if (at == std::string::npos) return {};
  const std::size_t start = at + name.size() + 1;
  return percent_decode(target.substr(start, target.find('&', start) - start));
}

// An engine that knows which images are local, which pulls fail and whether pulls hang.
// Records the references it was asked to pull and to inspect.
class ImageEngine {
 public:
  std::set<std::string> local;
  std::set<std::string> unpullable;
  bool hang_pulls = false;
  int inspect_failure = 0;  // answer image inspect with this status when not 0

  ImageEngine()
      : engine_([this](const HttpRequest& req, Exchange& ex) { handle(req, ex); }),
        client_(std::make_shared<docker::Client>(engine_.settings())) {}

  std::shared_ptr<docker::Client> client() const { return client_; }
  std::string host() const { return engine_.settings().host; }
  std::vector<std::string> pulls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pulls_;
  }
  std::vector<std::string> inspected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inspected_;
  }
  std::size_t requests() const { return engine_.requests().size(); }

 private:
  void handle(const HttpRequest& req, Exchange& ex) {
    const std::string images = "/v1.41/images/";
    if (req.path == "/v1.41/_ping") return ex.reply(200, "OK", "text/plain");
    if (req.path == images + "create") {
      const std::string ref = query_param(req.target, "fromImage") + ":" + query_param(req.target, "tag");
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pulls_.push_back(ref);
      }
      if (hang_pulls) return ex.hang();
      ex.begin_chunked(200);
      ex.chunk("{\"status\":\"Pulling from " + ref + "\"}\n");
      if (unpullable.count(ref) != 0) ex.chunk("{\"error\":\"manifest unknown\"}\n");
      return ex.end_chunked();
    }
    if (req.method == "GET" && req.path.starts_with(images) && req.path.ends_with("/json")) {
      std::string ref = percent_decode(req.path.substr(images.size(), req.path.size() - images.size() - 5));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        inspected_.push_back(ref);
      }
      if (inspect_failure != 0) return ex.reply(inspect_failure, "{\"message\":\"storage is corrupt\"}");
      if (local.count(ref) != 0) return ex.reply(200, "{\"Id\":\"sha256:1\"}");
      return ex.reply(404, "{\"message\":\"No such image: " + ref + "\"}");
    }
    ex.reply(500, "{\"message\":\"unexpected call\"}");
  }

  mutable std::mutex mutex_;
  std::vector<std::string> pulls_;
  std::vector<std::string> inspected_;
  FakeEngine engine_;
  std::shared_ptr<docker::Client> client_;
};

// Captures what the "tolvan" logger emits during a test.
class LogCapture {
 public:
  LogCapture() : logger_(log::get_logger("tolvan")), old_level_(logger_.level()), old_(logger_.handlers()) {
    logger_.set_handlers({memory_});
    logger_.set_level(log::DEBUG);
  }
  ~LogCapture() {
    logger_.set_handlers(*old_);
    logger_.set_level(old_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  /// "LEVEL message" lines.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const auto& r : memory_->records()) out.push_back(r.levelname + " " + r.message);
    return out;
  }

 private:
  log::Logger& logger_;
  int old_level_;
  std::shared_ptr<const log::HandlerList> old_;
  std::shared_ptr<log::MemoryHandler> memory_ = std::make_shared<log::MemoryHandler>();
};

// Points get_client at `host` for the duration of a test, starting from no client.
class ClientFromEnvironment {
 public:
  explicit ClientFromEnvironment(const std::string& host) {
    if (const char* old = std::getenv("DOCKER_HOST")) old_ = old;
    ::setenv("DOCKER_HOST", host.c_str(), 1);
    detail::reset_client();
  }
  ~ClientFromEnvironment() {
    if (old_) ::setenv("DOCKER_HOST", old_->c_str(), 1);
    else ::unsetenv("DOCKER_HOST");
    detail::reset_client();
  }

 private:
  std::optional<std::string> old_;
};

Value container(const std::string& image, Mapping extra = {}) {
  Mapping m{{"type", "container"}, {"image", image}};
  for (auto& [k, v] : extra) m.set(k, v);
  return Value(std::move(m));
}

// ---- effective policy ----------------------------------------------------------------------

TEST(EffectivePolicy, OverrideOrDefaultWithFalseLikeReadAsNo) {
  struct Case {
    const char* label;
    Value alias_cfg;
    Value global_default;
    const char* want;
  };
  const Case cases[] = {
      {"absent uses default", Mapping{}, "on-start", "on-start"},
      {"null uses default", Mapping{{"refreshImage", nullptr}}, "always", "always"},
      {"override wins", Mapping{{"refreshImage", "no"}}, "always", "no"},
      {"capitals lowered", Mapping{{"refreshImage", "ALWAYS"}}, nullptr, "always"},
      {"boolean false is no", Mapping{{"refreshImage", false}}, "always", "no"},
      {"empty override is no, not the default", Mapping{{"refreshImage", ""}}, "always", "no"},
      {"zero is no", Mapping{{"refreshImage", 0}}, "always", "no"},
      {"no default is no", Mapping{}, nullptr, "no"},
      {"default false is no", Mapping{}, false, "no"},
      {"other values pass unchecked", Mapping{{"refreshImage", true}}, nullptr, "true"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(effective_refresh_image(c.alias_cfg, c.global_default), c.want) << c.label;
    // prefetchImage follows the same rules on its own field
    Mapping prefetch;
    for (const auto& [k, v] : c.alias_cfg.as_mapping()) prefetch.set("prefetchImage", v);
    EXPECT_EQ(effective_prefetch_image(Value(prefetch), c.global_default), c.want) << c.label;
    EXPECT_EQ(effective_prefetch_image(c.alias_cfg, "on-config-change"), "on-config-change")
        << c.label << ": refreshImage must not affect prefetch";
  }
  EXPECT_EQ(REFRESH_IMAGE_VALUES, (std::set<std::string>{"always", "on-start", "no"}));
  EXPECT_EQ(PREFETCH_IMAGE_VALUES, (std::set<std::string>{"on-start", "on-config-change", "no"}));
}

// ---- startup_pull ------------------------------------------------------------------------

TEST(startup_pull, PrefetchWinsOverRefreshWhateverTheOrder) {
  const Value prefetcher = container("app:1", {{"prefetchImage", "on-start"}});
  const Value refresher = container("app:1", {{"refreshImage", "on-start"}});
  for (const Sequence& aliases : {Sequence{prefetcher, refresher}, Sequence{refresher, prefetcher}}) {
    ImageEngine engine;  // app:1 is not present locally
    LogCapture logs;
    EXPECT_EQ(startup_pull(aliases, nullptr, nullptr, engine.client()), std::vector<std::string>{});
    EXPECT_EQ(engine.pulls(), std::vector<std::string>{"app:1"});
    EXPECT_EQ(engine.inspected(), std::vector<std::string>{});
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"INFO Pulled image 'app:1' at startup (prefetch)"});
  }
}

TEST(startup_pull, RefreshesOnlyImagesPresentLocallyAndComparesReferencesExactly) {
  ImageEngine engine;
  engine.local = {"here:1"};
  LogCapture logs;
  const Sequence aliases{
      container("here:1"), container("gone:1"),
      container("here:1"),                                   // same image: one refresh
      container("here", {{"prefetchImage", "on-config-change"}}),  // another reference
  };
  EXPECT_EQ(startup_pull(aliases, "on-start", nullptr, engine.client()), std::vector<std::string>{});
  EXPECT_EQ(engine.inspected(), (std::vector<std::string>{"here:1", "gone:1"}));
  EXPECT_EQ(engine.pulls(), (std::vector<std::string>{"here:1", "here:latest"}));
  EXPECT_EQ(logs.lines(), (std::vector<std::string>{"INFO Pulled image 'here:1' at startup (refresh)",
                                                    "INFO Pulled image 'here' at startup (prefetch)"}));
}

TEST(startup_pull, NothingDueContactsNoEngine) {
  struct Case {
    const char* label;
    Sequence aliases;
    Value refresh_default;
    Value prefetch_default;
  };
  const Case cases[] = {
      {"no aliases", {}, "on-start", "on-start"},
      {"process aliases only", {Value(Mapping{{"type", "process"}, {"image", "app:1"}})}, "on-start", "on-start"},
      {"every policy no", {container("app:1"), container("b", {{"refreshImage", "no"}})}, "no", "no"},
      {"refresh always plays no part at startup", {container("app:1")}, "always", nullptr},
      {"empty image", {container("", {{"prefetchImage", "on-start"}})}, nullptr, nullptr},
      {"false override", {container("app:1", {{"refreshImage", false}, {"prefetchImage", false}})}, "on-start", "on-start"},
      {"unknown policy value", {container("app:1", {{"prefetchImage", "sometimes"}})}, nullptr, nullptr},
  };
  ImageEngine engine;
  ClientFromEnvironment env("unix:///nonexistent/engine.sock");
  for (const auto& c : cases) {
    EXPECT_EQ(startup_pull(c.aliases, c.refresh_default, c.prefetch_default, engine.client()),
              std::vector<std::string>{})
        << c.label;
    // Without a client: an unreachable engine would show up as an error if one were created.
    EXPECT_EQ(startup_pull(c.aliases, c.refresh_default, c.prefetch_default), std::vector<std::string>{})
        << c.label;
  }
  EXPECT_EQ(engine.requests(), 0u);
}

TEST(startup_pull, CollectsEveryFailureAndPullsTheRest) {
  ImageEngine engine;
  engine.local = {"stale:1"};
  engine.unpullable = {"missing:1", "stale:1"};
  LogCapture logs;
  const Sequence aliases{container("missing:1", {{"prefetchImage", "on-start"}}),
                         container("stale:1", {{"refreshImage", "on-start"}}),
                         container("good:1", {{"prefetchImage", "on-start"}})};
  EXPECT_EQ(startup_pull(aliases, nullptr, nullptr, engine.client()),
            (std::vector<std::string>{"Failed to prefetch image 'missing:1' at startup: manifest unknown",
                                      "Failed to refresh image 'stale:1' at startup: manifest unknown"}));
  EXPECT_EQ(engine.pulls(), (std::vector<std::string>{"missing:1", "stale:1", "good:1"}));
  // The caller reports the errors; only the success is logged here.
  EXPECT_EQ(logs.lines(), std::vector<std::string>{"INFO Pulled image 'good:1' at startup (prefetch)"});
}

TEST(startup_pull, UnreachableEngineIsASingleError) {
  tolvan::testing::TempDir dir;
  const std::string host = "unix://" + (dir / "engine.sock").string();
  ClientFromEnvironment env(host);
  const Sequence aliases{container("a:1", {{"prefetchImage", "on-start"}}),
                         container("b:1", {{"prefetchImage", "on-start"}})};
  EXPECT_EQ(startup_pull(aliases, nullptr, nullptr),
            std::vector<std::string>{"Cannot reach Docker to refresh/prefetch images at startup: "
                                     "Cannot connect to the container engine at " +
                                     host + ": No such file or directory"});
}

TEST(startup_pull, UsesTheProcessWideClientFromTheEnvironment) {
  ImageEngine engine;
  ClientFromEnvironment env(engine.host());
  const Sequence aliases{container("a:1", {{"prefetchImage", "on-start"}})};
  EXPECT_EQ(startup_pull(aliases, nullptr, nullptr), std::vector<std::string>{});
  EXPECT_EQ(engine.pulls(), std::vector<std::string>{"a:1"});
  EXPECT_EQ(get_client(), get_client());
}

TEST(startup_pull, LocalImageQueryFailureIsPassedOn) {
  ImageEngine engine;
  engine.inspect_failure = 500;
  const Sequence aliases{container("a:1", {{"refreshImage", "on-start"}})};
  EXPECT_THROW(startup_pull(aliases, nullptr, nullptr, engine.client()), docker::ApiError);
  EXPECT_TRUE(engine.pulls().empty());
}

// ---- reload_pull -------------------------------------------------------------------------

Value on_change(const std::string& image, const std::string& command) {
  return container(image, {{"command", command}, {"prefetchImage", "on-config-change"}});
}

TEST(reload_pull, ChangedSettingsRepullButOnlyNewOrChangedImagesBlock) {
  ImageEngine engine;
  engine.unpullable = {"bad:1", "bad:2"};
  LogCapture logs;
  const Mapping previous{{"cmd_only", on_change("bad:1", "echo 1")}, {"moved", on_change("good:1", "x")}};
  const Mapping next{{"cmd_only", on_change("bad:1", "echo 2")},
                     {"moved", on_change("bad:2", "x")},
                     {"fresh", on_change("good:1", "y")}};
  EXPECT_EQ(reload_pull(previous, next, nullptr, engine.client()),
            std::vector<std::string>{"Failed to prefetch image 'bad:2' for alias(es) moved: manifest unknown"});
  EXPECT_EQ(engine.pulls(), (std::vector<std::string>{"bad:1", "bad:2", "good:1"}));
  EXPECT_EQ(logs.lines(),
            (std::vector<std::string>{
                "ERROR Failed to prefetch image 'bad:1' for alias(es) cmd_only: manifest unknown",
                "ERROR Failed to prefetch image 'bad:2' for alias(es) moved: manifest unknown",
                "INFO Prefetched image 'good:1' for alias(es) fresh after configuration change"}));
}

TEST(reload_pull, AliasesSharingAnImageShareOnePull) {
  ImageEngine engine;
  engine.unpullable = {"bad:1"};
  LogCapture logs;
  const Mapping previous{{"b", on_change("shared:1", "old")}, {"d", on_change("bad:1", "old")}};
  const Mapping next{{"a", on_change("shared:1", "x")},
                     {"b", on_change("shared:1", "new")},
                     {"c", on_change("shared:1", "x")},
                     {"d", on_change("bad:1", "new")},
                     {"e", on_change("bad:1", "x")}};
  // "d" only changed its command, but "e" is new on the same image: the failure blocks.
  EXPECT_EQ(reload_pull(previous, next, "no", engine.client()),
            std::vector<std::string>{"Failed to prefetch image 'bad:1' for alias(es) d, e: manifest unknown"});
  EXPECT_EQ(engine.pulls(), (std::vector<std::string>{"shared:1", "bad:1"}));
  EXPECT_EQ(logs.lines().front(),
            "INFO Prefetched image 'shared:1' for alias(es) a, b, c after configuration change");
}

TEST(reload_pull, NothingRelevantChangedContactsNoEngine) {
  Mapping reordered;  // same definition, keys in another order
  reordered.set("prefetchImage", "on-config-change");
  reordered.set("command", "x");
  reordered.set("image", "app:1");
  reordered.set("type", "container");
  const Mapping previous{{"same", on_change("app:1", "x")},
                         {"proc", Value(Mapping{{"type", "process"}, {"command", "a"}})},
                         {"gone", on_change("app:2", "x")},
                         {"other_policy", container("app:3", {{"command", "a"}})}};
  const Mapping next{{"same", Value(reordered)},
                     {"proc", Value(Mapping{{"type", "process"}, {"command", "b"}, {"image", "app:4"},
                                            {"prefetchImage", "on-config-change"}})},
                     {"other_policy", container("app:3", {{"command", "b"}, {"prefetchImage", "on-start"}})},
                     {"no_image", container("", {{"prefetchImage", "on-config-change"}})}};
  ImageEngine engine;
  ClientFromEnvironment env("unix:///nonexistent/engine.sock");
  LogCapture logs;
  EXPECT_EQ(reload_pull(previous, next, "on-config-change", engine.client()), std::vector<std::string>{});
  EXPECT_EQ(reload_pull(previous, next, "on-config-change"), std::vector<std::string>{});
  EXPECT_EQ(engine.requests(), 0u);
  EXPECT_EQ(logs.lines(), std::vector<std::string>{});
}

TEST(reload_pull, UnreachableEngineBlocksOnlyForNewOrChangedImages) {
  tolvan::testing::TempDir dir;
  const std::string host = "unix://" + (dir / "engine.sock").string();
  ClientFromEnvironment env(host);
  const std::string message = "Cannot reach Docker to prefetch changed alias images: "
                              "Cannot connect to the container engine at " + host +
                              ": No such file or directory";
  const Mapping previous{{"a", on_change("app:1", "old")}};
  {
    LogCapture logs;
    EXPECT_EQ(reload_pull(previous, Mapping{{"a", on_change("app:1", "new")}}, nullptr), std::vector<std::string>{});
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"ERROR " + message});
  }
  {
    LogCapture logs;
    EXPECT_EQ(reload_pull(previous, Mapping{{"a", on_change("app:2", "old")}}, nullptr),
              std::vector<std::string>{message});
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"ERROR " + message});
  }
}

// ---- refresh_before_run --------------------------------------------------------------------

TEST(refresh_before_run, PullsOnlyUnderAlways) {
  ImageEngine engine;
  LogCapture logs;
  const std::pair<Value, Value> no_pull[] = {
      {container("app:1"), "on-start"},
      {container("app:1", {{"refreshImage", false}}), "always"},
      {container("app:1", {{"refreshImage", "no"}}), "always"},
      {container("", {{"refreshImage", "always"}}), nullptr},
      {Value(Mapping{{"refreshImage", "always"}}), nullptr},
  };
  for (const auto& [alias, global] : no_pull) {
    EXPECT_EQ(refresh_before_run(engine.client(), alias, global, 10), 0.0) << to_literal(alias);
  }
  EXPECT_EQ(engine.requests(), 0u);

  EXPECT_GT(refresh_before_run(engine.client(), container("app:1"), "ALWAYS", 10), 0.0);
  EXPECT_EQ(engine.pulls(), std::vector<std::string>{"app:1"});
  EXPECT_EQ(logs.lines(), std::vector<std::string>{});
}

TEST(refresh_before_run, FailedPullIsLoggedAndTheRunGoesOn) {
  ImageEngine engine;
  engine.unpullable = {"app:1"};
  LogCapture logs;
  EXPECT_GE(refresh_before_run(engine.client(), container("app:1", {{"refreshImage", "always"}}), nullptr, 10), 0.0);
  EXPECT_EQ(logs.lines(), std::vector<std::string>{"ERROR Image refresh (pull) failed for 'app:1': manifest unknown; "
                                                   "running with existing/implicit image"});
}

TEST(refresh_before_run, HangingPullIsAbandonedAtTheTimeLimit) {
  ImageEngine engine;
  engine.hang_pulls = true;
  LogCapture logs;
  // Several executions at once, each with its own worker; every one returns despite the hang.
  const Value timeouts[] = {1, 0.25, 0.25, 0.25};
  std::vector<double> spent(std::size(timeouts), -1.0);
  std::vector<std::thread> runs;
  for (std::size_t i = 0; i < std::size(timeouts); ++i) {
    runs.emplace_back([&, i] {
      spent[i] = refresh_before_run(engine.client(), container("app:" + std::to_string(i)), "always", timeouts[i]);
    });
  }
  for (auto& t : runs) t.join();
  for (const double s : spent) EXPECT_GT(s, 0.0);
  std::multiset<std::string> lines;
  for (const auto& line : logs.lines()) lines.insert(line);
  EXPECT_EQ(lines, (std::multiset<std::string>{
                       "ERROR Image refresh (pull) for 'app:0' timed out after 1s; running with existing/implicit image",
                       "ERROR Image refresh (pull) for 'app:1' timed out after 0.25s; running with existing/implicit image",
                       "ERROR Image refresh (pull) for 'app:2' timed out after 0.25s; running with existing/implicit image",
                       "ERROR Image refresh (pull) for 'app:3' timed out after 0.25s; running with existing/implicit image"}));
}

}  // namespace
}  // namespace tolvan::fetcher
