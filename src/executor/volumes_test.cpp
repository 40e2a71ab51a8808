// Container volumes as binds and run-directory files; no engine needed.

#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "executor/internal/runner.h"
#include "executor/test_support.h"
#include "value/yaml.h"

namespace tolvan::executor {
namespace {

namespace fs = std::filesystem;
using testing_support::read_file;

class BuildVolumes : public ::testing::Test {
 protected:
  BuildVolumes() {
    fs::create_directories(run);
    fs::create_directories(run / "auto");
  }
  detail::Volumes build(const std::string& volumes_yaml, const std::string& external = "") {
    const Value alias = load_yaml("volumes:\n" + volumes_yaml);
    detail::RunDirFs fs_(run.string());
    return detail::build_volumes(alias, Mapping{{"p", "data"}, {"up", "../.."}}, &fs_,
                                 shared.string(), external);
  }

  tolvan::testing::TempDir tmp;
  fs::path shared = tmp / "shared";
  fs::path run = shared / "cid";
};

TEST_F(BuildVolumes, EachKindBindsAndWritesAsDeclared) {
  const detail::Volumes v = build(
      "  - {location: /auto.txt, content: 'auto {p}', preserve: true}\n"
      "  - {location: /etc/x, source: /srv/first, mode: rw, preserve: yes}\n"
      "  - {location: '/{p}/', source: '{p}/', mode: ro, preserve: flatten, preservePrefix: run}\n"
      "  - {location: /in.txt, source: 'sub/{p}.txt', content: '{p} %sharedDir'}\n"
      "  - {location: /etc/y, source: /srv/first}\n");
  ASSERT_EQ(v.binds.size(), 4u);

  const docker::Bind& automatic = v.binds[0];
  EXPECT_TRUE(std::regex_match(automatic.host, std::regex(run.string() + "/auto/[0-9a-f]{32}")))
      << automatic.host;
  EXPECT_EQ(automatic.container, "/auto.txt");
  EXPECT_EQ(automatic.mode, "rw");
  EXPECT_EQ(read_file(automatic.host), "auto data");

  // The later volume with the same absolute source wins; absolute sources are read-only.
  EXPECT_EQ(v.binds[1].host, "/srv/first");
  EXPECT_EQ(v.binds[1].container, "/etc/y");
  EXPECT_EQ(v.binds[1].mode, "ro");

  EXPECT_EQ(v.binds[2].host, run.string() + "/data/");
  EXPECT_EQ(v.binds[2].container, "/{p}/");  // a location is never rendered
  EXPECT_EQ(v.binds[2].mode, "ro");
  EXPECT_TRUE(fs::is_directory(run / "data"));
  EXPECT_TRUE(fs::is_empty(run / "data"));

  EXPECT_EQ(v.binds[3].host, run.string() + "/sub/data.txt");
  EXPECT_EQ(v.binds[3].mode, "rw");
  EXPECT_EQ(read_file(run / "sub/data.txt"), "data %sharedDir");

  // Absolute sources are never preserved.
  ASSERT_EQ(v.to_preserve.size(), 2u);
  EXPECT_EQ(v.to_preserve[0].local_path, automatic.host);
  EXPECT_FALSE(v.to_preserve[0].is_dir);
  EXPECT_EQ(v.to_preserve[0].preserve_mode, "true");
  EXPECT_EQ(v.to_preserve[1].local_path, run.string() + "/data/");
  EXPECT_TRUE(v.to_preserve[1].is_dir);
  EXPECT_EQ(v.to_preserve[1].preserve_mode, "flatten");
  EXPECT_EQ(v.to_preserve[1].prefix, "run");
}

TEST_F(BuildVolumes, ExternalDirMapsRunDirectoryPathsOnly) {
  const detail::Volumes v = build(
      "  - {location: /d/, source: 'x/{p}/'}\n"
      "  - {location: /f, source: in.txt}\n"
      "  - {location: /abs, source: /srv/a}\n",
      "/host/shared");
  ASSERT_EQ(v.binds.size(), 3u);
  EXPECT_EQ(v.binds[0].host, "/host/shared/cid/x/data");
  EXPECT_EQ(v.binds[1].host, "/host/shared/cid/in.txt");
  EXPECT_EQ(v.binds[2].host, "/srv/a");
}

TEST_F(BuildVolumes, SourcesLeadingOutsideOrThroughLinksAreRefused) {
  EXPECT_THROW(
      {
        try {
          build("  - {location: /f, source: '{up}/escaped.txt', content: x}\n");
        } catch (const detail::PathError& e) {
          EXPECT_STREQ(e.what(),
                       "volume source '../../escaped.txt' leads outside the run directory");
          throw;
        }
      },
      detail::PathError);
  EXPECT_FALSE(fs::exists(tmp / "escaped.txt"));

  // A link already in the run directory (another run with the same correlation ID may have
  // left it) must neither receive the file nor be bound.
  const fs::path outside = tmp / "outside";
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, run / "linked");
  EXPECT_THROW(build("  - {location: /f, source: linked/in.txt, content: x}\n"), detail::FsError);
  EXPECT_THROW(build("  - {location: /d/, source: linked/}\n"), detail::FsError);
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST(ToHostPath, RelativeToSharedDirUnderExternalDir) {
  EXPECT_EQ(detail::to_host_path("/s/r/in.txt", "/s", ""), "/s/r/in.txt");
  EXPECT_EQ(detail::to_host_path("/s/r/data/", "/s", ""), "/s/r/data/");
  EXPECT_EQ(detail::to_host_path("/s/r/in.txt", "/s", "/e"), "/e/r/in.txt");
  EXPECT_EQ(detail::to_host_path("/s/r/data/", "/s/", "/e"), "/e/r/data");
  EXPECT_EQ(detail::to_host_path("/s/r/./a/../b", "/s", "/e"), "/e/r/b");
}

}  // namespace
}  // namespace tolvan::executor
