// Output collection: file text, folder archives read back with minizip, and what a symbolic
// link left by the command may and may not reach.

#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "executor/executor.h"
#include "executor/internal/text.h"
#include "executor/internal/zip.h"
#include "executor/test_support.h"
#include "value/codec.h"

namespace tolvan::executor {
namespace {

namespace fs = std::filesystem;
using testing_support::ExecutorTest;
using testing_support::read_zip;
using testing_support::ZipEntry;

// A process alias that runs `command` and declares `sources` as multiple_values outputs.
std::string collecting_alias(const std::string& command, const std::vector<std::string>& sources) {
  std::string yaml =
      "- name: collect\n  type: process\n  mode: inline\n  command: " + quote_literal(command) +
      "\n  parameters: {name: {validator: '[a-z]*', default: report}}\n"
      "  output:\n    multiple_values:\n";
  for (std::size_t i = 0; i < sources.size(); ++i) {
    yaml += "      - {parameter_name: o" + std::to_string(i) +
            ", source: " + quote_literal(sources[i]) + "}\n";
  }
  return yaml;
}

std::vector<std::string> names(const std::vector<ZipEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries)
    out.push_back(e.name);
  return out;
}

TEST_F(ExecutorTest, FileOutputsAreTextUnderTheirDeclaredSource) {
  use_aliases(collecting_alias(
      "cd %sharedDir && printf 'a\\r\\nb\\rc\\377d\\342\\202' > {name}.txt && echo x",
      {"{name}.txt", "never-written.txt", "%stdOut", "%stdErr", "%exitCode", "out/"}));
  const Value r = run("collect");
  ASSERT_EQ(r.at("success"), Value(true)) << to_literal(r);
  const Mapping& files = r.at("file_outputs").as_mapping();
  EXPECT_EQ(files.size(), 3u) << to_literal(r);
  EXPECT_EQ(r.at("file_outputs").at("{name}.txt"), Value("a\nb\nc\xEF\xBF\xBD"
                                                         "d\xEF\xBF\xBD"));
  EXPECT_EQ(r.at("file_outputs").at("never-written.txt"), Value(""));
  EXPECT_TRUE(r.at("file_outputs").at("out/").is_string());
}

TEST_F(ExecutorTest, FolderOutputsAreZipArchivesInWalkOrder) {
  // 2021-03-04 05:06:08 local time; an even second survives the 2-second resolution.
  std::tm when{};
  when.tm_year = 121, when.tm_mon = 2, when.tm_mday = 4, when.tm_hour = 5, when.tm_min = 6,
  when.tm_sec = 8, when.tm_isdst = -1;
  const std::time_t stamp = std::mktime(&when);
  use_aliases(collecting_alias(
      "cd %sharedDir/out && echo B > b.txt && echo A > a.txt && mkdir -p sub/deeper empty && "
      "echo C > sub/c.txt && echo D > sub/deeper/d.txt && chmod 640 a.txt && chmod 755 b.txt && "
      "touch -d @" +
          std::to_string(stamp) + " a.txt && rmdir ../absent",
      {"out/", "out//", "absent/", "empty/"}));
  const Value r = run("collect");
  ASSERT_EQ(r.at("success"), Value(true)) << to_literal(r);
  const Value& files = r.at("file_outputs");

  const auto archive = base64_decode(files.at("out/").as_string());
  ASSERT_TRUE(archive);
  const std::vector<ZipEntry> entries = read_zip(*archive);
  EXPECT_EQ(names(entries),
            (std::vector<std::string>{"a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt"}));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].data, "A\n");
  EXPECT_EQ(entries[2].data, "C\n");
  EXPECT_EQ(entries[0].mode, 0640u);
  EXPECT_EQ(entries[1].mode, 0755u);
  EXPECT_EQ(entries[0].method, 8u);
  const tm_unz& t = entries[0].time;
  EXPECT_EQ((std::vector<unsigned>{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}),
            (std::vector<unsigned>{2021, 2, 4, 5, 6, 8}));

  EXPECT_EQ(files.at("out//"), files.at("out/"));
  EXPECT_EQ(files.at("absent/"), Value(""));
  EXPECT_EQ(files.at("empty/"), Value("UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA=="));  // the 22-byte archive
}

// The command runs with other rights than the gateway: a link it leaves in the run directory
// may reach files inside the run directory, never files outside it.
TEST_F(ExecutorTest, LinksLeadingOutsideTheRunDirectoryAreNotFollowed) {
  const fs::path secret = tmp_.write("secret.txt", "top secret");
  use_aliases(collecting_alias(
      "cd %sharedDir && echo inside > kept.txt && ln -s " + secret.string() +
          " leak.txt && "
          "ln -s kept.txt alias.txt && cd out && echo A > a.txt && ln -s " +
          secret.string() +
          " leak && ln -s ../../../secret.txt relative-leak && ln -s ../kept.txt inner && "
          "ln -s " +
          tmp_.path().string() + " dir-outside && ln -s .. dir-inside && mkfifo pipe",
      {"leak.txt", "alias.txt", "out/"}));
  const Value r = run("collect");
  ASSERT_EQ(r.at("success"), Value(true)) << to_literal(r);
  const Value& files = r.at("file_outputs");
  EXPECT_EQ(files.at("leak.txt"), Value(""));
  EXPECT_EQ(files.at("alias.txt"), Value("inside\n"));

  const std::vector<ZipEntry> entries = read_zip(*base64_decode(files.at("out/").as_string()));
  EXPECT_EQ(names(entries), (std::vector<std::string>{"a.txt", "inner"}));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].data, "inside\n");

  const auto warnings = messages_at(log::WARNING);
  const auto mentions = [&](const std::string& what) {
    return std::count_if(warnings.begin(), warnings.end(),
                         [&](const std::string& w) { return w.find(what) != std::string::npos; });
  };
  EXPECT_EQ(mentions("leak.txt"), 1) << ::testing::PrintToString(warnings);
  EXPECT_EQ(mentions("'leak'"), 1);
  EXPECT_EQ(mentions("'relative-leak'"), 1);
  EXPECT_EQ(mentions("'dir-outside'"), 1);
  EXPECT_EQ(mentions("'pipe'"), 1);
  EXPECT_EQ(warnings.size(), 5u);
}

TEST(ZipWriter, CountsBeyondTheClassicLimitGetZip64Records) {
  detail::ZipWriter zip;
  constexpr std::uint64_t kEntries = 65536;  // one more than the classic count field holds
  for (std::uint64_t i = 0; i < kEntries; ++i)
    zip.add("f" + std::to_string(i), "", 0, 0100644);
  std::uint64_t count = 0;
  const auto entries = read_zip(zip.finish(), &count);
  EXPECT_EQ(count, kEntries);
  ASSERT_EQ(entries.size(), kEntries);
  EXPECT_EQ(entries.back().name, "f65535");
  // Before 1980 the DOS format has no date; the earliest one is stored.
  EXPECT_EQ(entries.front().time.tm_year, 1980u);
}

TEST(DecodeUtf8, ReplacesEachMaximalInvalidSequenceOnce) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain \xC3\xA9", "plain \xC3\xA9"},
      {"\xFF", "\xEF\xBF\xBD"},
      {"a\xE2\x82", "a\xEF\xBF\xBD"},                            // truncated at the end
      {"\xE2\x82z", "\xEF\xBF\xBDz"},                            // truncated in the middle
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong form
      {"\xF4\x90\x80\x80", std::string(4 * 3, '\0')},            // above U+10FFFF
  };
  for (const auto& c : cases) {
    std::string expected = c.out;
    if (expected.front() == '\0') {
      expected.clear();
      for (int i = 0; i < 4; ++i)
        expected += "\xEF\xBF\xBD";
    }
    EXPECT_EQ(utf8_replace_invalid(c.in), expected) << ::testing::PrintToString(c.in);
  }
}

}  // namespace
}  // namespace tolvan::executor
