// Pull policy against the real container engine (see docker/testing/engine_fixture.h).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "docker/docker.h"
#include "docker/testing/engine_fixture.h"
#include "fetcher/fetcher.h"

namespace tolvan::fetcher {
namespace {

using docker::testing::EngineTest;
using FetcherEngine = EngineTest;

Value container(const std::string& image, const char* field, const char* policy) {
  return Value(Mapping{{"type", "container"}, {"image", image}, {field, policy}});
}

// Removes the image reference when the test ends.
struct ImageGuard {
  const docker::Client& client;
  std::string image;
  ~ImageGuard() {
    try {
      client.remove_image(image);
    } catch (const docker::Error&) {
      // never pulled, or already removed
    }
  }
};

TEST_F(FetcherEngine, ImageExistsLocallyTellsPresentFromAbsent) {
  EXPECT_TRUE(detail::image_exists_locally(*client_, docker::testing::kLocalImage));
  EXPECT_FALSE(detail::image_exists_locally(*client_, docker::testing::absent_registry_image()));
}

TEST_F(FetcherEngine, StartupPrefetchPullsWhatIsMissingAndRefreshSkipsIt) {
  const std::string prefetched = docker::testing::fresh_registry_tag();
  const std::string not_here = docker::testing::fresh_registry_tag();
  ASSERT_FALSE(prefetched.empty() || not_here.empty()) << "cannot tag an image in the local registry";
  ImageGuard guard_a{*client_, prefetched};
  ImageGuard guard_b{*client_, not_here};
  const std::string unavailable = docker::testing::absent_registry_image();
  const Sequence aliases{container(prefetched, "prefetchImage", "on-start"),
                         container(not_here, "refreshImage", "on-start"),
                         container(unavailable, "prefetchImage", "on-start")};

  const std::vector<std::string> errors = startup_pull(aliases, nullptr, nullptr, client_);
  ASSERT_EQ(errors.size(), 1u);
  const std::string prefix = "Failed to prefetch image " + quote_literal(unavailable) + " at startup: ";
  EXPECT_EQ(errors[0].substr(0, prefix.size()), prefix);
  EXPECT_GT(errors[0].size(), prefix.size()) << "the engine's reason is missing";
  EXPECT_TRUE(detail::image_exists_locally(*client_, prefetched));
  EXPECT_FALSE(detail::image_exists_locally(*client_, not_here));
}

TEST_F(FetcherEngine, ReloadBlocksOnANewAliasWhoseImageCannotBePulled) {
  const std::string unavailable = docker::testing::absent_registry_image();
  const Mapping next{{"fresh", container(unavailable, "prefetchImage", "on-config-change")}};
  const std::vector<std::string> errors = reload_pull(Mapping{}, next, nullptr, client_);
  ASSERT_EQ(errors.size(), 1u);
  const std::string prefix = "Failed to prefetch image " + quote_literal(unavailable) + " for alias(es) fresh: ";
  EXPECT_EQ(errors[0].substr(0, prefix.size()), prefix);
}

TEST_F(FetcherEngine, RefreshBeforeRunPullsUnderAlways) {
  const std::string image = docker::testing::fresh_registry_tag();
  ASSERT_FALSE(image.empty()) << "cannot tag an image in the local registry";
  ImageGuard guard{*client_, image};
  EXPECT_GT(refresh_before_run(client_, container(image, "refreshImage", "always"), nullptr, 60), 0.0);
  EXPECT_TRUE(detail::image_exists_locally(*client_, image));
}

TEST_F(FetcherEngine, ProcessWideClientComesFromTheEnvironment) {
  detail::reset_client();
  const std::shared_ptr<docker::Client> client = get_client();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client, get_client());
  EXPECT_NO_THROW(client->ping());
}

}  // namespace
}  // namespace tolvan::fetcher
