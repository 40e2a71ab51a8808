// The text helpers whose mistakes would let a client forge an audit line or smuggle bytes.

#include "api/internal/handlers.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace tolvan::api::detail {
namespace {

TEST(AuditEscape, EncodesEverythingThatCouldSplitOrForgeALine) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {"plain-alias_1.x", "plain-alias_1.x"},
      {"a b", "a%20b"},
      {"x\nuser=root", "x%0Auser=root"},
      {"tab\tcr\r", "tab%09cr%0D"},
      {"100%", "100%25"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"del\x7F", "del%7F"},
      {std::string_view("nul\0", 4), "nul%00"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(audit_escape(c.in), c.out) << c.in;
}

TEST(PercentDecode, DecodesValidEscapesAndKeepsTheRest) {
  EXPECT_EQ(percent_decode("a%20b%2Fc%c3%A9", false), "a b/c\xC3\xA9");
  EXPECT_EQ(percent_decode("a+b", false), "a+b");
  EXPECT_EQ(percent_decode("a+b", true), "a b");
  EXPECT_EQ(percent_decode("100%", true), "100%");
  EXPECT_EQ(percent_decode("%zz%4", true), "%zz%4");
  EXPECT_EQ(percent_decode("%00", true), std::string("\0", 1));
}

TEST(RepairUtf8, ReplacesOnlyInvalidSequences) {
  EXPECT_EQ(utf8_replace_invalid("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_replace_invalid("a\xFFz"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf8_replace_invalid("\xC3"), "\xEF\xBF\xBD");                                  // truncated
  EXPECT_EQ(utf8_replace_invalid("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong "/"
  EXPECT_EQ(utf8_replace_invalid("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
}

TEST(ParseParameters, FormValuesAreDecodedAndRepaired) {
  const ParsedParameters p = parse_parameters("a=1&&b&c=x%20y+z&d=%FF", "", "");
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(Value(p.parameters),
            Value(Mapping{{"a", "1"}, {"b", ""}, {"c", "x y z"}, {"d", "\xEF\xBF\xBD"}}));
}

TEST(ParseParameters, JsonScalarsBecomeText) {
  const ParsedParameters p =
      parse_parameters("", "Application/JSON",
                       R"({"s": "x", "i": -7, "big": 18446744073709551615, "f": 1e3,)"
                       R"( "t": true, "deep": "ok"})");
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(Value(p.parameters), Value(Mapping{{"s", "x"},
                                               {"i", "-7"},
                                               {"big", "18446744073709551615"},
                                               {"f", "1e3"},
                                               {"t", "true"},
                                               {"deep", "ok"}}));
  // Nesting below a member is refused however deep, without building it.
  const std::string deep = R"({"x": )" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_EQ(parse_parameters("", "application/json", deep).error,
            "Parameter 'x' must be a string, number or boolean");
}

TEST(CorrelationId, AcceptsOnlyTheSafeShape) {
  EXPECT_TRUE(is_valid_correlation_id("a"));
  EXPECT_TRUE(is_valid_correlation_id("Z9._-"));
  EXPECT_TRUE(is_valid_correlation_id(std::string(64, 'a')));
  EXPECT_FALSE(is_valid_correlation_id(""));
  EXPECT_FALSE(is_valid_correlation_id(std::string(65, 'a')));
  EXPECT_FALSE(is_valid_correlation_id(".a"));
  EXPECT_FALSE(is_valid_correlation_id("a/b"));
  EXPECT_FALSE(is_valid_correlation_id("a b"));
  EXPECT_FALSE(is_valid_correlation_id("a\n"));
}

}  // namespace
}  // namespace tolvan::api::detail
