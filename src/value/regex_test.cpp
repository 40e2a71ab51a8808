#include "value/regex.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tolvan {
namespace {

std::string error_of(std::string_view pattern) {
  try {
    Regex re(pattern);
  } catch (const RegexError& e) {
    return e.what();
  }
  return "no error";
}

std::string sub_error(std::string_view pattern, std::string_view tpl) {
  try {
    (void)Regex(pattern).substitute("abc", tpl);
  } catch (const RegexError& e) {
    return e.what();
  }
  return "no error";
}

TEST(Regex, FullMatchVersusSearch) {
  Regex re("[a-z]+\\d");
  EXPECT_TRUE(re.full_match("abc1"));
  EXPECT_FALSE(re.full_match("abc1x"));
  EXPECT_FALSE(re.full_match("#abc1"));
  auto m = re.search("## ab1 cd2", 3);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 3u);
  EXPECT_EQ(m->end(), 6u);
  m = re.search("## ab1 cd2", 6);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 7u);
  EXPECT_FALSE(re.search("## ab1", 99));
  // Alternation must backtrack to fit the whole text.
  EXPECT_TRUE(Regex("a|ab").full_match("ab"));
  EXPECT_TRUE(Regex("").full_match(""));
  EXPECT_FALSE(Regex("a$").full_match("a\n"));
}

TEST(Regex, UnicodeClassesAndInvalidSubject) {
  EXPECT_TRUE(Regex("\\w+").full_match("caf\xc3\xa9"));
  EXPECT_TRUE(Regex("\\d").full_match("\xd9\xa3"));  // ARABIC-INDIC DIGIT THREE
  EXPECT_TRUE(Regex(".").full_match("\xf0\x9f\x98\x80"));
  // Invalid UTF-8 is no match, never a crash.
  Regex any(".*");
  EXPECT_FALSE(any.full_match("ab\xff"));
  EXPECT_FALSE(any.search("\xc3"));
  EXPECT_EQ(any.substitute("ab\xff", "x"), "ab\xff");
  // An offset inside a character is no match.
  EXPECT_FALSE(Regex("x").search("\xc3\xa9x", 1));
}

TEST(Regex, GroupsAndNames) {
  Regex re("(?P<year>\\d{4})-(\\d\\d)(x)?");
  EXPECT_EQ(re.group_count(), 3u);
  EXPECT_EQ(re.group_number("year"), 1);
  EXPECT_EQ(re.group_number("nope"), -1);
  auto m = re.search("on 2024-05!");
  ASSERT_TRUE(m);
  ASSERT_EQ(m->groups.size(), 4u);
  EXPECT_EQ(m->groups[1], std::make_pair(std::size_t{3}, std::size_t{7}));
  EXPECT_EQ(m->groups[3], std::make_pair(std::string::npos, std::string::npos));
}

TEST(Regex, InvalidPattern) {
  EXPECT_EQ(error_of("("), "missing closing parenthesis at offset 1");
  EXPECT_NE(error_of("a{2,1}").find("at offset"), std::string::npos);
  EXPECT_NE(error_of("[z-a]").find("range out of order"), std::string::npos);
}

TEST(Regex, Substitution) {
  struct Case {
    const char* pattern;
    const char* text;
    const char* tpl;
    std::size_t count;
    const char* expected;
  };
  const Case cases[] = {
      {"(\\w+)@(\\w+)", "me@host you@there", "\\2 at \\1", 0, "host at me there at you"},
      {"(?P<k>\\w+)=(?P<v>\\w+)", "a=1 b=2", "\\g<v>:\\g<k>", 0, "1:a 2:b"},
      {"(a)", "banana", "[\\g<1>\\g<0>]", 0, "b[aa]n[aa]n[aa]"},
      {"a", "banana", "o", 2, "bonona"},
      {"(a)(b)?", "ac", "<\\2>", 0, "<>c"},  // an unset group inserts nothing
      {"x*", "abxd", "-", 0, "-a-b--d-"},
      {"", "abc", "-", 0, "-a-b-c-"},
      {"a|(?=b)", "abab", "-", 0, "--b--b"},
      {"\\s+", "a  b\tc", "\\n\\t\\\\", 0, "a\n\t\\b\n\t\\c"},
      {"b", "abc", "\\r\\f\\v\\a\\b", 0, "a\r\f\v\a\bc"},
      {"b", "abc", "\\$\\.\\-", 0, "a$.-c"},  // escaped punctuation stands for itself
      {"(\\w)(\\w)(\\w)(\\w)(\\w)(\\w)(\\w)(\\w)(\\w)(\\w)(\\w)", "abcdefghijk", "\\11\\10", 0,
       "kj"},
      {"\xc3\xa9", "caf\xc3\xa9 \xc3\xa9t\xc3\xa9", "e", 0, "cafe ete"},
      {"(?<=a)", "aXa", "|", 0, "a|Xa|"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Regex(c.pattern).substitute(c.text, c.tpl, c.count), c.expected)
        << c.pattern << " / " << c.tpl;
  }
  // Octal escapes: \0 is NUL, three octal digits are a character.
  EXPECT_EQ(Regex("b").substitute("abc", "\\0\\101"), std::string("a\0Ac", 4));
}

TEST(Regex, SubstitutionTemplateErrors) {
  EXPECT_EQ(sub_error("(a)", "\\g<x>"), "unknown group name 'x'");
  EXPECT_EQ(sub_error("(a)", "\\2"), "invalid group reference 2");
  EXPECT_EQ(sub_error("(a)", "\\g<3>"), "invalid group reference 3");
  EXPECT_EQ(sub_error("(a)", "\\q"), "bad escape \\q");
  EXPECT_EQ(sub_error("(a)", "\\x41"), "bad escape \\x");
  EXPECT_EQ(sub_error("(a)", "abc\\"), "bad escape (end of pattern)");
  EXPECT_EQ(sub_error("(a)", "\\g<1"), "missing >, unterminated name");
  EXPECT_EQ(sub_error("(a)", "\\g<>"), "missing group name");
  EXPECT_EQ(sub_error("(a)", "\\g1"), "missing <");
  EXPECT_EQ(sub_error("(a)", "\\g<a-b>"), "bad character in group name 'a-b'");
  // The template is checked even when nothing matches.
  EXPECT_THROW((void)Regex("zzz").substitute("abc", "\\9"), RegexError);
}

TEST(Regex, CacheSharesCompiledPatterns) {
  auto a = Regex::cached("^ca+che$");
  auto b = Regex::cached("^ca+che$");
  EXPECT_EQ(a.get(), b.get());
  EXPECT_THROW((void)Regex::cached("("), RegexError);

  // Many threads using the cache and one compiled pattern at once.
  std::atomic<int> matches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto re = Regex::cached("item-" + std::to_string(i % 20) + "-(\\d+)");
        if (re->full_match("item-" + std::to_string(i % 20) + "-" + std::to_string(t))) ++matches;
        (void)re->substitute("item-1-2 item-3-4", "\\1");
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(matches.load(), 800);
}

TEST(Regex, LargeSubject) {
  const std::string big(200000, 'a');
  EXPECT_TRUE(Regex("a+").full_match(big));
  EXPECT_TRUE(Regex("(a|b)*").full_match(big));
  EXPECT_EQ(Regex("a").substitute(big, "").size(), 0u);
}

}  // namespace
}  // namespace tolvan
