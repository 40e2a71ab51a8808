#include "value/value.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace tolvan {
namespace {

TEST(FormatFloat, MatchesPythonRepr) {
  const std::pair<double, std::string> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {1.5, "1.5"},
      {-2.25, "-2.25"},
      {1000.0, "1000.0"},
      {0.1, "0.1"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {0.000123, "0.000123"},
      {1.5e-7, "1.5e-07"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e20, "1.5e+20"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {1e100, "1e+100"},
      {1e-300, "1e-300"},
      {0.1 + 0.2, "0.30000000000000004"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& [d, text] : cases)
    EXPECT_EQ(format_float(d), text) << text;
}

TEST(TextForm, Scalars) {
  EXPECT_EQ(to_text(Value("as is 'x'")), "as is 'x'");
  EXPECT_EQ(to_text(Value(-42)), "-42");
  EXPECT_EQ(to_text(Value(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(to_text(Value(3.0)), "3.0");
  EXPECT_EQ(to_text(Value(true)), "True");
  EXPECT_EQ(to_text(Value(false)), "False");
  EXPECT_EQ(to_text(Value()), "None");
  EXPECT_EQ(to_text(Value(Sequence{"a", 1})), "['a', 1]");
  EXPECT_EQ(to_text(Value(Mapping{{"k", "v"}})), "{'k': 'v'}");
}

TEST(LiteralForm, QuotingAndEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"deploy", "'deploy'"},
      {"", "''"},
      {"\\d+", "'\\\\d+'"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"it's \"x\"", "'it\\'s \"x\"'"},
      {"a\nb\r\tc", "'a\\nb\\r\\tc'"},
      {std::string("nul\0x", 5), "'nul\\x00x'"},
      {"\x1b[0m\x7f", "'\\x1b[0m\\x7f'"},
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "'caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80'"},
      {"\xc2\x85", "'\\x85'"},  // C1 control
      {"a\xc2\xa0"
       "b",
       "'a\\xa0b'"},                          // no-break space
      {"\xe2\x80\x8b", "'\\u200b'"},          // zero width space (format)
      {"\xe2\x80\xa8", "'\\u2028'"},          // line separator
      {"\xf3\xa0\x80\x81", "'\\U000e0001'"},  // language tag (format)
      {"bad\xff", "'bad\\xff'"},              // not UTF-8
  };
  for (const auto& [text, literal] : cases)
    EXPECT_EQ(quote_literal(text), literal) << literal;
}

TEST(LiteralForm, Collections) {
  Mapping m{{"k", "v"}, {1, 2}, {Value(), Sequence{}}};
  EXPECT_EQ(to_literal(Value(m)), "{'k': 'v', 1: 2, None: []}");
  EXPECT_EQ(to_literal(Value(Sequence{"a", 1, 1.5, true, Value(), Mapping{}})),
            "['a', 1, 1.5, True, None, {}]");
  EXPECT_EQ(to_literal(Value(Sequence{Sequence{"it's"}})), "[[\"it's\"]]");
  EXPECT_EQ(sorted_literal({"b", "a", "B", "ab"}), "['B', 'a', 'ab', 'b']");
  EXPECT_EQ(sorted_literal({}), "[]");
}

TEST(Value, TypeNamesAndAccessors) {
  EXPECT_EQ(Value().type_name(), "NoneType");
  EXPECT_EQ(Value(true).type_name(), "bool");
  EXPECT_EQ(Value(1).type_name(), "int");
  EXPECT_EQ(Value(1.0).type_name(), "float");
  EXPECT_EQ(Value("x").type_name(), "str");
  EXPECT_EQ(Value(Sequence{}).type_name(), "list");
  EXPECT_EQ(Value(Mapping{}).type_name(), "dict");

  EXPECT_EQ(Value(7).as_float(), 7.0);
  EXPECT_TRUE(Value(std::size_t{3}).is_int());
  EXPECT_EQ(Value(std::uint64_t{INT64_MAX}).as_int(), INT64_MAX);
  EXPECT_TRUE(Value(UINT64_MAX).is_float());  // beyond the integer range
  try {
    (void)Value(7).as_string();
    FAIL() << "no exception";
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "expected str, got int");
  }
  EXPECT_THROW((void)Value(true).as_int(), ValueError);
  EXPECT_THROW((void)Value(1.5).as_int(), ValueError);

  const Value v(Mapping{{"name", "x"}, {404, "int key"}});
  try {
    (void)v.at("missing");
    FAIL() << "no exception";
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "key 'missing' not found");
  }
  EXPECT_EQ(v.at("name"), Value("x"));
  EXPECT_THROW((void)v.at(0), ValueError);
  EXPECT_THROW((void)Value(Sequence{1}).at(1), ValueError);
  EXPECT_EQ(Value(Sequence{1}).at(0), Value(1));
  EXPECT_EQ(Value("s").find("x"), nullptr);
  EXPECT_EQ(v.get_or("absent", 5), Value(5));
  EXPECT_EQ(Value(3).get_or("absent", "fb"), Value("fb"));
}

TEST(Mapping, KeysAreTypedAndOrderKept) {
  Mapping m;
  m.set(404, "int");
  m.set("404", "str");
  m.set("a", 1);
  m.set(404, "int again");  // replaced in place
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m.begin()->first, Value(404));
  EXPECT_EQ(m.begin()->second, Value("int again"));
  EXPECT_EQ(*m.find("404"), Value("str"));  // string lookup matches only string keys
  EXPECT_EQ(*m.find(Value(404)), Value("int again"));
  EXPECT_EQ(*m.find(Value(404.0)), Value("int again"));  // numeric equality
  EXPECT_EQ(m.find(Value(true)), nullptr);
  EXPECT_TRUE(m.erase(Value("404")));
  EXPECT_FALSE(m.erase(Value("404")));
  EXPECT_EQ(m.size(), 2u);
}

TEST(Value, Equality) {
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_NE(Value(1), Value(1.5));
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value(false), Value(0.0));
  EXPECT_NE(Value(), Value(false));
  EXPECT_NE(Value("1"), Value(1));
  // 2^63 - 1 is not representable as a double: no false equality through rounding.
  EXPECT_NE(Value(INT64_MAX), Value(9223372036854775807.0));
  EXPECT_NE(Value(std::nan("")), Value(std::nan("")));
  EXPECT_EQ(Value(Mapping{{"a", 1}, {"b", Sequence{1, "x"}}}),
            Value(Mapping{{"b", Sequence{1.0, "x"}}, {"a", 1}}));
  EXPECT_NE(Value(Mapping{{"a", 1}}), Value(Mapping{{"a", 1}, {"b", 2}}));
  EXPECT_NE(Value(Sequence{1, 2}), Value(Sequence{2, 1}));
}

TEST(Value, Truthiness) {
  for (const Value& v : {Value(), Value(false), Value(0), Value(0.0), Value(""), Value(Sequence{}),
                         Value(Mapping{})}) {
    EXPECT_FALSE(v.truthy()) << to_literal(v);
  }
  for (const Value& v : {Value(true), Value(-1), Value(0.5), Value(std::nan("")), Value("0"),
                         Value(Sequence{Value()}), Value(Mapping{{"a", Value()}})}) {
    EXPECT_TRUE(v.truthy()) << to_literal(v);
  }
}

TEST(TextHelpers, LowerAndStrip) {
  EXPECT_EQ(to_lower("MiXeD \xc3\x89"), "mixed \xc3\x89");
  EXPECT_EQ(strip(" \t\n\r\f\vx y\v\f\r\n\t "), "x y");
  EXPECT_EQ(strip(" \t "), "");
  EXPECT_EQ(strip(""), "");
}

}  // namespace
}  // namespace tolvan
