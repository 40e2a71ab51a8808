#include "workspace/workspace.h"

#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "value/testing/temp_dir.h"
#include "value/testing/tmpfs.h"
#include "value/yaml.h"

namespace tolvan::workspace {
namespace {

namespace fs = std::filesystem;
using tolvan::testing::TempDir;
using tolvan::testing::Tmpfs;

Value alias(std::string_view yaml) {
  return load_yaml(yaml);
}

TEST(RunDirDecisions, Table) {
  struct Row {
    const char* label;
    const char* yaml;
    bool run, external, auto_dir;
  };
  const Row rows[] = {
      {"process with files, stream output",
       "{type: process, files: [{path: in.txt}], output: {single_value: {source: '%stdOut'}}}",
       true, false, false},
      {"process with only a stream output",
       "{type: process, files: [], output: {single_value: {source: '%stdOut'}}}", false, false,
       false},
      {"process with a file output", "{type: process, output: {single_value: {source: out.txt}}}",
       true, false, false},
      {"empty and special multiple sources",
       "{type: process, output: {multiple_values: [{source: ''}, {source: '%stdErr'}, {}]}}", false,
       false, false},
      {"folder among multiple sources",
       "{type: process, output: {multiple_values: [{source: '%stdOut'}, {source: out/}]}}", true,
       false, false},
      {"container, absolute volumes, special outputs",
       "{type: container, volumes: [{source: /etc/hosts, target: /h}],"
       " output: {single_value: {source: '%stdOut'}}}",
       false, false, false},
      {"container, relative volume",
       "{type: container, volumes: [{source: /etc/hosts}, {source: data/in.txt}],"
       " output: {single_value: {source: '%stdOut'}}}",
       true, true, false},
      {"container, volume without source",
       "{type: container, volumes: [{target: /work}], output: {single_value: {source: "
       "'%exitCode'}}}",
       true, true, true},
      {"container, null source", "{type: container, volumes: [{source: null, target: /w}]}", true,
       true, true},
      {"container, file output only",
       "{type: container, volumes: [], output: {single_value: {source: result.json}}}", true, false,
       false},
      {"unknown type", "{type: batch, files: [{path: a}], volumes: [{target: /w}]}", false, false,
       false},
      {"no type", "{files: [{path: a}]}", false, false, false},
  };
  for (const Row& row : rows) {
    const Value a = alias(row.yaml);
    EXPECT_EQ(needs_run_dir(a), row.run) << row.label;
    EXPECT_EQ(needs_external_dir(a), row.external) << row.label;
    EXPECT_EQ(needs_auto_dir(a), row.auto_dir) << row.label;
  }
}

TEST(Create, NamesTheDirectoryAfterTheCorrelationIdAndReusesIt) {
  TempDir tmp;
  const std::string shared = (tmp / "shared/nested").string();
  const Value process = alias("{type: process, files: [{path: a}]}");

  const RunDir first = create(shared, process, "X");
  EXPECT_EQ(first.run_dir, shared + "/X");
  EXPECT_FALSE(first.auto_dir.has_value());
  EXPECT_TRUE(fs::is_directory(first.run_dir));
  tmp.write("shared/nested/X/kept.txt", "k");

  const RunDir second = create(shared, process, "X");
  EXPECT_EQ(second.run_dir, first.run_dir);
  EXPECT_TRUE(fs::exists(fs::path(second.run_dir) / "kept.txt"));
}

TEST(Create, WithoutCorrelationIdUsesAFreshUuidAndMakesAutoWhenNeeded) {
  TempDir tmp;
  const Value container = alias("{type: container, volumes: [{target: /w}]}");
  const RunDir a = create(tmp.path().string(), container);
  const RunDir b = create(tmp.path().string(), container, "");
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  for (const RunDir& r : {a, b}) {
    const std::string name = fs::path(r.run_dir).filename().string();
    EXPECT_TRUE(std::regex_match(name, uuid)) << name;
    ASSERT_TRUE(r.auto_dir.has_value());
    EXPECT_EQ(*r.auto_dir, r.run_dir + "/auto");
    EXPECT_TRUE(fs::is_directory(*r.auto_dir));
  }
  EXPECT_NE(a.run_dir, b.run_dir);
}

TEST(Create, CreationErrorsPropagate) {
  TempDir tmp;
  const fs::path file = tmp.write("shared", "a file, not a directory");
  EXPECT_THROW(create(file.string(), alias("{type: process}"), "X"), fs::filesystem_error);
}

TEST(Create, ARunDirectoryWithoutRoomForAutoIsNotLeftBehind) {
  TempDir tmp;
  // A SharedDir whose inodes run out: room for a run directory, none for "auto" in it.
  Tmpfs shared(tmp / "shared", 64 * 1024, "nr_inodes=16");
  TOLVAN_MOUNT_OR_SKIP(shared);
  const Value boxed = alias("{type: container, volumes: [{location: /in.txt, content: x}]}");
  // An earlier execution with the same ID owns "same"; it is left alone.
  fs::create_directory(shared / "same");
  shared.exhaust_inodes(0);

  EXPECT_THROW(create(shared.dir().string(), boxed, "same"), fs::filesystem_error);
  EXPECT_TRUE(fs::is_directory(shared / "same"));
  shared.restore_inodes();
  shared.exhaust_inodes(1);
  EXPECT_THROW(create(shared.dir().string(), boxed, "fresh"), fs::filesystem_error);
  EXPECT_FALSE(fs::exists(shared / "fresh"));
}

TEST(Cleanup, RemovesTheTreeButNeverFollowsLinks) {
  TempDir tmp;
  const fs::path outside = tmp / "outside";
  tmp.write("outside/precious.txt", "p");
  tmp.write("run/a.txt", "a");
  tmp.write("run/sub/deeper/b.txt", "b");
  fs::create_directory_symlink(outside, tmp / "run/sub/link-to-dir");
  fs::create_symlink(outside / "precious.txt", tmp / "run/link-to-file");

  cleanup((tmp / "run").string());

  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "run")));
  EXPECT_TRUE(fs::exists(outside / "precious.txt"));
}

TEST(Cleanup, ARunDirectoryThatIsALinkIsLeftInPlace) {
  TempDir tmp;
  tmp.write("target/keep.txt", "k");
  fs::create_directory_symlink(tmp / "target", tmp / "run");
  cleanup((tmp / "run").string());
  EXPECT_TRUE(fs::is_symlink(tmp / "run"));
  EXPECT_TRUE(fs::exists(tmp / "target/keep.txt"));
}

TEST(Cleanup, EmptyOrMissingPathIsQuiet) {
  TempDir tmp;
  cleanup("");
  cleanup((tmp / "does-not-exist").string());
  EXPECT_TRUE(fs::exists(tmp.path()));
}

static_assert(noexcept(cleanup(std::string())));

}  // namespace
}  // namespace tolvan::workspace
