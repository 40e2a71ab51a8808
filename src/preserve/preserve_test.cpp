#include "preserve/preserve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "preserve/internal/files.h"
#include "value/log.h"
#include "value/testing/temp_dir.h"
#include "value/testing/tmpfs.h"

namespace tolvan::preserve {
namespace {

namespace fs = std::filesystem;
using tolvan::testing::TempDir;
using tolvan::testing::Tmpfs;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Every regular file below `root`, relative, sorted.
std::vector<std::string> files_under(const fs::path& root) {
  std::vector<std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) out.push_back(fs::relative(e.path(), root).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Captures the "tolvan" logger's records for one test.
class LoggedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_.set_handlers({handler_});
    previous_level_ = logger_.level();
    logger_.set_level(log::DEBUG);
  }
  void TearDown() override {
    logger_.set_handlers({});
    logger_.set_level(previous_level_);
  }
  std::vector<std::string> logged(int level) const {
    std::vector<std::string> out;
    for (const log::Record& r : handler_->records()) {
      if (r.levelno == level) out.push_back(r.message);
    }
    return out;
  }

  TempDir tmp_;
  log::Logger& logger_ = log::get_logger("tolvan");
  std::shared_ptr<log::MemoryHandler> handler_ = std::make_shared<log::MemoryHandler>();
  int previous_level_ = log::WARNING;
};

TEST(PreserveValues, NormaliseAndEnable) {
  struct Row {
    Value raw;
    std::string normalised;
    bool enabled;
  };
  const Row rows[] = {
      {Value(), "none", false},         {Value(true), "true", true},
      {Value(false), "false", false},   {Value("Flatten"), "flatten", true},
      {Value("FALSE"), "false", false}, {Value("yes"), "yes", true},
      {Value("None"), "none", false},   {Value(3), "3", true},
      {Value("maybe"), "maybe", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(normalize_preserve(row.raw), row.normalised) << to_literal(row.raw);
    EXPECT_EQ(is_preserve_enabled(row.raw), row.enabled) << to_literal(row.raw);
  }
  EXPECT_EQ(PRESERVE_VALUES, (std::set<std::string>{"none", "false", "flatten", "yes", "true"}));
  EXPECT_EQ(STREAM_NAMES, (std::set<std::string>{"stdout", "stderr"}));
}

TEST(ExpandPreserveStreams, TrueGivesStderrThenStdoutAndFalseLikeGiveNothing) {
  const Sequence both = expand_preserve_streams(Value(true));
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0], Value(Mapping{{"stream", "stderr"}}));
  EXPECT_EQ(both[1], Value(Mapping{{"stream", "stdout"}}));

  for (const Value& raw : {Value(), Value(false), Value(Sequence{})}) {
    EXPECT_TRUE(expand_preserve_streams(raw).empty()) << to_literal(raw);
  }

  const Sequence given{Value(Mapping{{"stream", "stdout"}, {"filename", "o.txt"}})};
  EXPECT_EQ(expand_preserve_streams(Value(given)), given);
}

TEST(DestPath, DirectoryAndFlatLayouts) {
  struct Row {
    std::string mode, prefix, expected;
  };
  const Row rows[] = {
      {"yes", "", "/logs/c1/sub/b.txt"},
      {"true", "run", "/logs/c1/run/sub/b.txt"},
      {"flatten", "", "/logs/c1_sub_b.txt"},
      {"flatten", "run", "/logs/c1_run_sub_b.txt"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(detail::dest_path("sub/b.txt", row.mode, row.prefix, "/logs", "c1"), row.expected)
        << row.mode << " " << row.prefix;
  }
  EXPECT_EQ(detail::dest_path("b.txt", "yes", "", "/logs/", "c1"), "/logs/c1/b.txt");
}

TEST(ResolveLogDir, NullOrEmptyFallsBackToDefault) {
  EXPECT_EQ(resolve_log_dir(Value()), "/var/log/tolvan");
  EXPECT_EQ(resolve_log_dir(Value("")), "/var/log/tolvan");
  EXPECT_EQ(resolve_log_dir(Value("/srv/logs")), "/srv/logs");
}

TEST(ComputeEntries, FolderIsWalkedSortedAndTrailingSlashChangesNothing) {
  TempDir tmp;
  tmp.write("vol/sub/b.txt", "b");
  tmp.write("vol/a.txt", "a");
  tmp.write("vol/sub/deeper/c.txt", "c");
  fs::create_directories(tmp / "vol/empty");
  const std::string vol = (tmp / "vol").string();

  const std::vector<Entry> expected{
      {"a.txt", vol + "/a.txt"},
      {"sub/b.txt", vol + "/sub/b.txt"},
      {"sub/deeper/c.txt", vol + "/sub/deeper/c.txt"},
  };
  EXPECT_EQ(compute_entries(vol, true), expected);
  const std::vector<Entry> with_slash = compute_entries(vol + "/", true);
  ASSERT_EQ(with_slash.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(with_slash[i].relative_path, expected[i].relative_path);
    EXPECT_EQ(read(with_slash[i].absolute_path), read(expected[i].absolute_path));
  }

  EXPECT_EQ(compute_entries(vol + "/a.txt", false),
            (std::vector<Entry>{{"a.txt", vol + "/a.txt"}}));
  EXPECT_TRUE(compute_entries((tmp / "missing").string(), true).empty());
  EXPECT_TRUE(compute_entries((tmp / "missing.txt").string(), false).empty());
  EXPECT_TRUE(compute_entries(vol, false).empty()) << "a folder is not a file volume";
}

class PreserveVolumeTest : public LoggedTest {};

TEST_F(PreserveVolumeTest, DirectoryAndFlatLayoutsLandWhereExpected) {
  tmp_.write("vol/a.txt", "A");
  tmp_.write("vol/sub/b.txt", "B");
  const std::string vol = (tmp_ / "vol").string();

  const fs::path dir_logs = tmp_ / "dir-logs";
  EXPECT_TRUE(preserve_volume(vol, true, "yes", "", dir_logs.string(), "c1").empty());
  EXPECT_EQ(files_under(dir_logs), (std::vector<std::string>{"c1/a.txt", "c1/sub/b.txt"}));
  EXPECT_EQ(read(dir_logs / "c1/sub/b.txt"), "B");

  const fs::path flat_logs = tmp_ / "flat-logs";
  EXPECT_TRUE(preserve_volume(vol + "/", true, "flatten", "out", flat_logs.string(), "c1").empty());
  EXPECT_EQ(files_under(flat_logs), (std::vector<std::string>{"c1_out_a.txt", "c1_out_sub_b.txt"}));

  const fs::path file_logs = tmp_ / "file-logs";
  tmp_.write("out.json", "{}");
  EXPECT_TRUE(preserve_volume((tmp_ / "out.json").string(), false, "flatten", "run",
                              file_logs.string(), "c1")
                  .empty());
  EXPECT_EQ(read(file_logs / "c1_run_out.json"), "{}");
}

TEST_F(PreserveVolumeTest, CopyKeepsPermissionBitsAndTimesButNotSetIdBits) {
  const fs::path src = tmp_.write("vol/tool.sh", "#!/bin/sh\n");
  ASSERT_EQ(::chmod(src.c_str(), 04751), 0);
  const struct timespec times[2] = {{1000000000, 5}, {1100000000, 7}};
  ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);

  const fs::path logs = tmp_ / "logs";
  ASSERT_TRUE(
      preserve_volume((tmp_ / "vol").string(), true, "yes", "", logs.string(), "c1").empty());

  struct stat st {};
  ASSERT_EQ(::stat((logs / "c1/tool.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
  EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
  EXPECT_EQ(read(logs / "c1/tool.sh"), "#!/bin/sh\n");
}

TEST_F(PreserveVolumeTest, ExistingDestinationIsReplacedEvenWhenReadOnly) {
  tmp_.write("vol/a.txt", "new content");
  const fs::path old = tmp_.write("logs/c1/a.txt", "old content that is longer");
  ASSERT_EQ(::chmod(old.c_str(), 0444), 0);
  EXPECT_TRUE(
      preserve_volume((tmp_ / "vol").string(), true, "yes", "", (tmp_ / "logs").string(), "c1")
          .empty());
  EXPECT_EQ(read(old), "new content");
  EXPECT_EQ(files_under(tmp_ / "logs"), (std::vector<std::string>{"c1/a.txt"}));
}

TEST_F(PreserveVolumeTest, FlattenedNameCollisionKeepsTheLaterSortedFile) {
  tmp_.write("vol/a/b_c.txt", "first");
  tmp_.write("vol/a_b/c.txt", "second");
  const fs::path logs = tmp_ / "logs";
  EXPECT_TRUE(
      preserve_volume((tmp_ / "vol").string(), true, "flatten", "", logs.string(), "c1").empty());
  EXPECT_EQ(files_under(logs), (std::vector<std::string>{"c1_a_b_c.txt"}));
  EXPECT_EQ(read(logs / "c1_a_b_c.txt"), "second");
}

TEST_F(PreserveVolumeTest, FailedFilesAreReportedAndTheOthersStillCopied) {
  tmp_.write("vol/a.txt", "A");
  const fs::path blocked = tmp_.write("vol/b.txt", "B");
  tmp_.write("vol/d.txt", "D");
  const fs::path fifo = tmp_ / "vol/c.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A non-empty directory where b.txt should land cannot be replaced by a file, whoever runs.
  const fs::path logs = tmp_ / "logs";
  tmp_.write("logs/c1/b.txt/keep", "x");

  preserve_volumes({{(tmp_ / "vol").string(), true, "yes", ""}}, Value(logs.string()), "c1");

  EXPECT_EQ(read(logs / "c1/a.txt"), "A");
  EXPECT_EQ(read(logs / "c1/d.txt"), "D");
  EXPECT_FALSE(fs::exists(logs / "c1/c.fifo"));
  EXPECT_EQ(logged(log::ERROR),
            (std::vector<std::string>{
                "Volume preserve failed: failed to preserve '" + blocked.string() + "' to '" +
                    (logs / "c1/b.txt").string() + "': Is a directory",
                "Volume preserve failed: failed to preserve '" + fifo.string() + "' to '" +
                    (logs / "c1/c.fifo").string() + "': not a regular file",
            }));
  // No temporary copy is left behind.
  EXPECT_EQ(files_under(logs), (std::vector<std::string>{"c1/a.txt", "c1/b.txt/keep", "c1/d.txt"}));
}

TEST_F(PreserveVolumeTest, SymbolicLinksAreNeverFollowedIntoLogDir) {
  const fs::path secret = tmp_.write("outside/secret.txt", "secret");
  tmp_.write("vol/real.txt", "real");
  fs::create_symlink(secret, tmp_ / "vol/link.txt");
  fs::create_directory_symlink(tmp_ / "outside", tmp_ / "vol/linkdir");
  fs::create_symlink(secret, tmp_ / "file-volume.txt");

  const fs::path logs = tmp_ / "logs";
  preserve_volumes({{(tmp_ / "vol").string(), true, "yes", ""},
                    {(tmp_ / "file-volume.txt").string(), false, "yes", ""}},
                   Value(logs.string()), "c1");

  EXPECT_EQ(files_under(logs), (std::vector<std::string>{"c1/real.txt"}));
  EXPECT_TRUE(logged(log::ERROR).empty());
  EXPECT_EQ(logged(log::WARNING),
            (std::vector<std::string>{
                "Volume preserve skipped symbolic link '" + (tmp_ / "vol/link.txt").string() + "'",
                "Volume preserve skipped symbolic link '" + (tmp_ / "vol/linkdir").string() + "'",
            }));
  EXPECT_EQ(read(secret), "secret");
}

TEST_F(PreserveVolumeTest, NothingToCopyCreatesNothingUnderLogDir) {
  fs::create_directories(tmp_ / "empty");
  const fs::path logs = tmp_ / "logs";
  fs::create_directories(logs);
  preserve_volumes({{(tmp_ / "empty").string(), true, "yes", ""},
                    {(tmp_ / "missing").string(), true, "flatten", "p"},
                    {(tmp_ / "missing.txt").string(), false, "yes", ""}},
                   Value(logs.string()), "c1");
  EXPECT_TRUE(fs::is_empty(logs));
  EXPECT_TRUE(handler_->records().empty());

  const fs::path untouched = tmp_ / "never";
  preserve_volumes({}, Value(untouched.string()), "c1");
  EXPECT_FALSE(fs::exists(untouched));
}

TEST_F(PreserveVolumeTest, EmptyCorrelationIdBecomesUnknown) {
  tmp_.write("vol/a.txt", "A");
  const fs::path logs = tmp_ / "logs";
  preserve_volumes(
      {{(tmp_ / "vol").string(), true, "yes", ""}, {(tmp_ / "vol").string(), true, "flatten", ""}},
      Value(logs.string()), "");
  EXPECT_EQ(files_under(logs), (std::vector<std::string>{"unknown/a.txt", "unknown_a.txt"}));
}

static_assert(noexcept(preserve_volumes({}, Value(), "")));

class PreserveStreamsTest : public LoggedTest {};

TEST_F(PreserveStreamsTest, WritesNonEmptyStreamsOnly) {
  const fs::path logs = tmp_ / "logs";
  preserve_streams(expand_preserve_streams(Value(true)), std::string("ok"), std::string(""),
                   Value(logs.string()), "c1");
  EXPECT_EQ(files_under(logs), (std::vector<std::string>{"c1/stdout.log"}));
  EXPECT_EQ(read(logs / "c1/stdout.log"), "ok");
}

TEST_F(PreserveStreamsTest, FlattenAndFilename) {
  const fs::path logs = tmp_ / "logs";
  const Sequence entries{
      Value(Mapping{{"stream", "stderr"}, {"flatten", true}, {"filename", "err.txt"}}),
      Value(Mapping{{"stream", "stdout"}, {"flatten", Value()}, {"filename", ""}}),
  };
  preserve_streams(entries, std::string("out\n"), std::string("err\n"), Value(logs.string()), "c1");
  EXPECT_EQ(files_under(logs), (std::vector<std::string>{"c1/stdout.log", "c1_err.txt"}));
  EXPECT_EQ(read(logs / "c1_err.txt"), "err\n");
}

TEST_F(PreserveStreamsTest, InvalidUtf8IsReplacedAndASecondRunReplacesTheFirst) {
  const fs::path logs = tmp_ / "logs";
  const Sequence entries = expand_preserve_streams(Value(true));
  preserve_streams(entries,
                   std::string("a\xff"
                               "b long first run"),
                   std::nullopt, Value(logs.string()), "c1");
  EXPECT_EQ(read(logs / "c1/stdout.log"),
            "a\xEF\xBF\xBD"
            "b long first run");
  preserve_streams(entries, std::string("second"), std::nullopt, Value(logs.string()), "c1");
  EXPECT_EQ(read(logs / "c1/stdout.log"), "second");
}

TEST_F(PreserveStreamsTest, NeverCapturedWritesAndLogsNothing) {
  const fs::path logs = tmp_ / "logs";
  preserve_streams(expand_preserve_streams(Value(true)), std::nullopt, std::nullopt,
                   Value(logs.string()), "c1");
  EXPECT_FALSE(fs::exists(logs));
  EXPECT_TRUE(handler_->records().empty());
}

TEST_F(PreserveStreamsTest, UnwritableLogDirLogsOneErrorPerStream) {
  // A file where LogDir should be: no directory can be made below it, whoever runs.
  const fs::path logs = tmp_.write("logs", "not a directory");
  preserve_streams(expand_preserve_streams(Value(true)), std::string("o"), std::string("e"),
                   Value(logs.string()), "c1");
  EXPECT_EQ(logged(log::ERROR), (std::vector<std::string>{
                                    "Stream preserve failed: failed to preserve stderr to '" +
                                        (logs / "c1/stderr.log").string() + "': Not a directory",
                                    "Stream preserve failed: failed to preserve stdout to '" +
                                        (logs / "c1/stdout.log").string() + "': Not a directory",
                                }));
}

// LogDir on a small tmpfs of its own, made read-only or full by the test. Skipped where
// mounting is not permitted.
class BrokenLogDirTest : public LoggedTest {
 protected:
  void SetUp() override {
    LoggedTest::SetUp();
    TOLVAN_MOUNT_OR_SKIP(mount_);
  }

  const fs::path logs_ = tmp_ / "logs";
  Tmpfs mount_{logs_, 256 * 1024};
};

TEST_F(BrokenLogDirTest, PreservedFilesAreWholeOrAbsent) {
  const Sequence entries = expand_preserve_streams(Value(true));
  const Value log_dir(logs_.string());
  const std::string big(64 * 1024, 'b');
  tmp_.write("vol/big.bin", big);
  const std::vector<PreserveSpec> volume{{(tmp_ / "vol/big.bin").string(), false, "yes", ""}};
  // A complete earlier run of the same correlation ID.
  preserve_streams(entries, std::string("first"), std::nullopt, log_dir, "c1");

  mount_.set_read_only(true);
  preserve_streams(entries, big, std::string("err"), log_dir, "c1");
  preserve_volumes(volume, log_dir, "c1");
  EXPECT_EQ(files_under(logs_), (std::vector<std::string>{"c1/stdout.log"}));
  EXPECT_EQ(read(logs_ / "c1/stdout.log"), "first");
  EXPECT_EQ(logged(log::ERROR).size(), 3u);
  mount_.set_read_only(false);

  // Room for a small file, not for a large one.
  mount_.fill(16 * 1024);
  handler_->clear();
  preserve_streams(entries, big, std::string("err"), log_dir, "c1");
  preserve_volumes(volume, log_dir, "c1");
  EXPECT_EQ(files_under(logs_),
            (std::vector<std::string>{Tmpfs::kFiller, "c1/stderr.log", "c1/stdout.log"}));
  const std::string kept = read(logs_ / "c1/stdout.log");
  EXPECT_TRUE(kept == "first") << "the complete earlier copy stays, not " << kept.size()
                               << " bytes of the new one";
  EXPECT_EQ(read(logs_ / "c1/stderr.log"), "err");
  EXPECT_EQ(logged(log::ERROR),
            (std::vector<std::string>{
                "Stream preserve failed: failed to preserve stdout to '" +
                    (logs_ / "c1/stdout.log").string() + "': No space left on device",
                "Volume preserve failed: failed to preserve '" + volume[0].local_path + "' to '" +
                    (logs_ / "c1/big.bin").string() + "': No space left on device",
            }));
}

TEST(DecodeUtf8Replace, InvalidSequencesBecomeReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  struct Row {
    std::string in, out;
  };
  const Row rows[] = {
      {"plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xFF", R},
      {"\xE2\x82"
       "A",
       R + "A"},                            // cut short: one replacement for the whole start
      {"\xE0\x80", R + R},                  // overlong start
      {"\xED\xA0\x80", R + R + R},          // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xC3", R},
  };
  for (const Row& row : rows)
    EXPECT_EQ(utf8_replace_invalid(row.in), row.out);
}

}  // namespace
}  // namespace tolvan::preserve
