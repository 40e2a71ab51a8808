#include "value/json.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace tolvan {
namespace {

std::string error_of(std::string_view text) {
  try {
    (void)parse_json(text);
  } catch (const JsonError& e) {
    return e.what();
  }
  return "no error";
}

TEST(Json, ParseKeepsOrderAndTypes) {
  const Value v = parse_json(
      R"({"z": 1, "a": [true, null, 1.5, -7, "s\u00e9\ud83d\ude00"], "big": 18446744073709551615,
          "max": 9223372036854775807, "min": -9223372036854775808, "f": 1.0, "z": 2})");
  std::vector<std::string> keys;
  for (const auto& [k, _] : v.as_mapping())
    keys.push_back(k.as_string());
  EXPECT_EQ(keys, (std::vector<std::string>{"z", "a", "big", "max", "min", "f"}));
  EXPECT_EQ(v.at("z"), Value(2));  // duplicate: last value, first position
  EXPECT_EQ(to_literal(v.at("a")), "[True, None, 1.5, -7, 's\xc3\xa9\xf0\x9f\x98\x80']");
  EXPECT_TRUE(v.at("big").is_float());
  EXPECT_EQ(v.at("max").as_int(), INT64_MAX);
  EXPECT_EQ(v.at("min").as_int(), INT64_MIN);
  EXPECT_TRUE(v.at("f").is_float());
  EXPECT_EQ(parse_json("\"x\""), Value("x"));
  EXPECT_EQ(parse_json(" [] "), Value(Sequence{}));
}

TEST(Json, ParseErrors) {
  EXPECT_NE(error_of("{\"a\": }").find("line 1, column 7"), std::string::npos);
  EXPECT_EQ(error_of("{\"a\": }").find("[json.exception"), std::string::npos);
  EXPECT_NE(error_of(""), "no error");
  EXPECT_NE(error_of("[1] x"), "no error");
  EXPECT_NE(error_of("\"bad \xff\""), "no error");
  EXPECT_NE(error_of("NaN"), "no error");
  // Deep nesting is refused instead of exhausting the stack later.
  EXPECT_EQ(error_of(std::string(100000, '[') + std::string(100000, ']')),
            "document nests deeper than 512 levels");
  EXPECT_NO_THROW((void)parse_json(std::string(512, '[') + std::string(512, ']')));
}

TEST(Json, WriterForms) {
  const Value v(Mapping{{"m", "caf\xc3\xa9 \xf0\x9f\x98\x80 \x01\x7f\n\"\\/ \xe2\x80\xa8"},
                        {"n", Sequence{1, 1.5, 1e16, Value(), true}}});
  // The AppLog form, byte for byte.
  EXPECT_EQ(to_json(v, kLogJsonStyle),
            R"({"m": "caf\u00e9 \ud83d\ude00 \u0001\u007f\n\"\\/ \u2028", )"
            R"("n": [1, 1.5, 1e+16, null, true]})");
  // Compact, UTF-8 kept.
  EXPECT_EQ(to_json(v),
            "{\"m\":\"caf\xc3\xa9 \xf0\x9f\x98\x80 \\u0001\x7f\\n\\\"\\\\/ \xe2\x80\xa8\","
            "\"n\":[1,1.5,1e+16,null,true]}");
  EXPECT_EQ(to_json(Value(Sequence{std::nan(""), INFINITY, -INFINITY, 1e-5, 0.1, -0.0})),
            "[NaN,Infinity,-Infinity,1e-05,0.1,-0.0]");
  EXPECT_EQ(to_json(Value(Mapping{{404, 1}, {true, 2}, {Value(), 3}, {1.5, 4}}), {.spaced = true}),
            R"({"404": 1, "True": 2, "None": 3, "1.5": 4})");
  EXPECT_EQ(to_json(Value(Mapping{})), "{}");
  EXPECT_EQ(to_json(Value(Sequence{}), kLogJsonStyle), "[]");
}

TEST(Json, InvalidUtf8BecomesReplacementCharacter) {
  const std::string bad =
      "a\xff"
      "b\xc3(\xed\xa0\x80\xf0\x9f\x98";  // stray, cut, surrogate
  EXPECT_EQ(to_json(Value(bad), kLogJsonStyle),
            R"("a\ufffdb\ufffd(\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")");
  EXPECT_EQ(to_json(Value(bad)),
            "\"a\xef\xbf\xbd"
            "b\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd"
            "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
  // What the writer produces always reads back.
  EXPECT_NO_THROW((void)parse_json(to_json(Value(bad))));
}

TEST(Json, RoundTrip) {
  const Value v(Mapping{{"s", "tab\there \xe2\x82\xac \xf0\x9f\x98\x80 \x1f"},
                        {"list", Sequence{0, -1, 2.5, 1e300, 5e-324, false, Value()}},
                        {"nested", Mapping{{"k", Sequence{Mapping{}}}}}});
  EXPECT_EQ(parse_json(to_json(v)), v);
  EXPECT_EQ(parse_json(to_json(v, kLogJsonStyle)), v);
  std::string out = "x";
  append_json_string(out, "\xc3\xa9", true);
  EXPECT_EQ(out, "x\"\\u00e9\"");
}

}  // namespace
}  // namespace tolvan
