// Tests against the real container engine (see testing/engine_fixture.h).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "docker/docker.h"
#include "docker/testing/engine_fixture.h"
#include "value/testing/temp_dir.h"

namespace tolvan::docker {
namespace {

using testing::ContainerGuard;
using testing::EngineTest;

using DockerEngine = EngineTest;

TEST_F(DockerEngine, RunReportsExitCodeAndBothStreamsSeparately) {
  const Container c = client_->run(options("sh -c 'echo out; echo err >&2; exit 3'"));
  ContainerGuard guard(*client_, c.id);
  EXPECT_EQ(client_->wait(c.id).at("StatusCode"), Value(3));
  EXPECT_EQ(client_->logs(c.id, LogStream::Stdout), "out\n");
  EXPECT_EQ(client_->logs(c.id, LogStream::Stderr), "err\n");
  EXPECT_EQ(c.attrs.at("Image"), client_->inspect_image(testing::kLocalImage).at("Id"));
}

TEST_F(DockerEngine, LongInterleavedOutputArrivesWhole) {
  const Container c = client_->run(options(
      "sh -c 'i=0; while [ $i -lt 3000 ]; do echo out$i; echo err$i >&2; i=$((i+1)); done'"));
  ContainerGuard guard(*client_, c.id);
  EXPECT_EQ(client_->wait(c.id).at("StatusCode"), Value(0));
  std::string want_out;
  std::string want_err;
  for (int i = 0; i < 3000; ++i) {
    want_out += "out" + std::to_string(i) + "\n";
    want_err += "err" + std::to_string(i) + "\n";
  }
  EXPECT_EQ(client_->logs(c.id, LogStream::Stdout), want_out);
  EXPECT_EQ(client_->logs(c.id, LogStream::Stderr), want_err);
}

TEST_F(DockerEngine, EnvironmentAndBindsReachTheContainer) {
  tolvan::testing::TempDir dir;
  dir.write("in/greeting.txt", "from the host");
  RunOptions o = options("sh -c 'echo \"$WHO|$EMPTY|\"; cat /in/greeting.txt; echo done > /out/result'");
  o.environment = {{"WHO", "it's me"}, {"EMPTY", ""}};
  std::filesystem::create_directories(dir / "out");
  o.binds = {{(dir / "in").string(), "/in", "ro"}, {(dir / "out").string(), "/out", "rw"}};
  const Container c = client_->run(o);
  ContainerGuard guard(*client_, c.id);
  EXPECT_EQ(client_->wait(c.id).at("StatusCode"), Value(0));
  EXPECT_EQ(client_->logs(c.id, LogStream::Stdout), "it's me||\nfrom the host");
  std::ifstream result(dir / "out/result");
  std::string line;
  std::getline(result, line);
  EXPECT_EQ(line, "done");
}

TEST_F(DockerEngine, KillStopsASleepingContainerAndRemoveLeavesNothing) {
  const Container c = client_->run(options("sleep 300"));
  ContainerGuard guard(*client_, c.id);
  EXPECT_THROW(client_->wait(c.id, 0.5), Timeout);
  client_->kill(c.id);
  const Value result = client_->wait(c.id, 60);
  EXPECT_NE(result.at("StatusCode"), Value(0));
  EXPECT_THROW(client_->kill(c.id), ApiError);  // no longer running

  client_->remove(c.id, true);
  EXPECT_THROW(client_->inspect_container(c.id), NotFound);
  EXPECT_THROW(client_->remove(c.id, true), NotFound);
}

TEST_F(DockerEngine, ForcedRemovalOfARunningContainer) {
  const Container c = client_->run(options("sleep 300"));
  client_->remove(c.id, true);
  EXPECT_THROW(client_->inspect_container(c.id), NotFound);
  EXPECT_THROW(client_->logs(c.id, LogStream::Stdout), NotFound);
}

TEST_F(DockerEngine, PullFromTheRegistryMakesTheImageAvailable) {
  const std::string image = testing::fresh_registry_tag();
  ASSERT_FALSE(image.empty()) << "cannot tag an image in the local registry";
  EXPECT_THROW(client_->inspect_image(image), ImageNotFound);
  client_->pull(image);
  EXPECT_TRUE(client_->inspect_image(image).at("Id").truthy());
  client_->remove_image(image);
  EXPECT_THROW(client_->inspect_image(image), ImageNotFound);
}

TEST_F(DockerEngine, RunPullsAnImageThatIsOnlyInTheRegistry) {
  const std::string image = testing::fresh_registry_tag();
  ASSERT_FALSE(image.empty()) << "cannot tag an image in the local registry";
  RunOptions o = options("echo pulled");
  o.image = image;
  const Container c = client_->run(o);
  ContainerGuard guard(*client_, c.id);
  EXPECT_EQ(client_->wait(c.id).at("StatusCode"), Value(0));
  EXPECT_EQ(client_->logs(c.id, LogStream::Stdout), "pulled\n");
  client_->remove(c.id, true);
  client_->remove_image(image);
}

TEST_F(DockerEngine, UnavailableImageIsImageNotFoundAndItsPullFails) {
  const std::string image = testing::absent_registry_image();
  EXPECT_THROW(client_->inspect_image(image), ImageNotFound);
  EXPECT_THROW(client_->pull(image), ApiError);
  RunOptions o = options("true");
  o.image = image;
  EXPECT_THROW(client_->run(o), ImageNotFound);
}

TEST_F(DockerEngine, StartFailureIsAnErrorNotAMissingImage) {
  RunOptions o = options("no-such-program");
  try {
    client_->run(o);
    FAIL() << "run of a missing program succeeded";
  } catch (const ImageNotFound&) {
    FAIL() << "a start failure is not a missing image";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-program"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tolvan::docker
