#include "value/yaml.h"

#include <chrono>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "value/testing/temp_dir.h"

namespace tolvan {
namespace {

Value scalar(const std::string& text) {
  return load_yaml("v: " + text).at("v");
}

std::string error_of(const std::string& text) {
  try {
    (void)load_yaml(text);
  } catch (const YamlError& e) {
    return e.what();
  }
  return "no error";
}

TEST(Yaml, PlainScalarResolution) {
  const std::pair<const char*, Value> cases[] = {
      {"true", true},
      {"True", true},
      {"TRUE", true},
      {"yes", true},
      {"Yes", true},
      {"YES", true},
      {"on", true},
      {"On", true},
      {"ON", true},
      {"false", false},
      {"False", false},
      {"FALSE", false},
      {"no", false},
      {"No", false},
      {"NO", false},
      {"off", false},
      {"Off", false},
      {"OFF", false},
      {"y", "y"},
      {"n", "n"},
      {"tRUE", "tRUE"},
      {"~", Value()},
      {"null", Value()},
      {"Null", Value()},
      {"NULL", Value()},
      {"", Value()},
      {"nULL", "nULL"},
      {"0", 0},
      {"-0", 0},
      {"+12", 12},
      {"1_000", 1000},
      {"0x1f", 31},
      {"0x_1F", 31},
      {"-0x1f", -31},
      {"017", 15},
      {"0_17", 15},
      {"0b101", 5},
      {"-0b11", -3},
      {"0o17", "0o17"},
      {"1:30", 90},
      {"-1:30", -90},
      {"190:20:30", 685230},
      {"09", "09"},
      {"1:60", "1:60"},
      {"0x", "0x"},
      {"1.5", 1.5},
      {"1.0e+3", 1000.0},
      {"1e3", "1e3"},
      {"1.5e3", "1.5e3"},
      {".5", 0.5},
      {"-.5", "-.5"},
      {"1_000.5", 1000.5},
      {"1.", 1.0},
      {"-1.5E-2", -0.015},
      {"1:30.5", 90.5},
      {"1.2.3", "1.2.3"},
      {".", "."},
      {"2001-12-14", "2001-12-14"},
      {"<<", "<<"},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"'true'", "true"},
      {"\"12\"", "12"},
      {"'~'", "~"},
      {"''", ""},
      {"!!str 12", "12"},
      {"!!int '12'", 12},
      {"!!float 2", 2.0},
      {"!!bool 'yes'", true},
      {"!!null ''", Value()},
      {"! 12", "12"},
  };
  for (const auto& [text, expected] : cases) {
    const Value v = scalar(text);
    EXPECT_EQ(v.kind(), expected.kind()) << text;
    EXPECT_EQ(v, expected) << text;
  }
  EXPECT_EQ(scalar(".inf").as_float(), INFINITY);
  EXPECT_EQ(scalar("-.Inf").as_float(), -INFINITY);
  EXPECT_EQ(scalar("+.INF").as_float(), INFINITY);
  EXPECT_TRUE(std::isnan(scalar(".NaN").as_float()));
  // A 1.0 stays a float, 1 an integer.
  EXPECT_TRUE(scalar("1.0").is_float());
  EXPECT_TRUE(scalar("1").is_int());
}

TEST(Yaml, StructureOrderAndKeys) {
  const Value v = load_yaml(R"(
zeta: 1
alpha:
  - a
  - {b: 2, a: [x, 'y']}
404: int key
"404": string key
multi: |
  line one
  line two
)");
  std::vector<Value> keys;
  for (const auto& [k, _] : v.as_mapping())
    keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<Value>{"zeta", "alpha", 404, "404", "multi"}));
  EXPECT_EQ(v.at("404"), Value("string key"));
  EXPECT_EQ(*v.find(Value(404)), Value("int key"));
  EXPECT_EQ(to_literal(v.at("alpha")), "['a', {'b': 2, 'a': ['x', 'y']}]");
  EXPECT_EQ(v.at("multi"), Value("line one\nline two\n"));
}

TEST(Yaml, DuplicateKeysLastWinsInFirstPosition) {
  const Value v = load_yaml("a: 1\nb: 2\na: 3\n");
  EXPECT_EQ(to_literal(v), "{'a': 3, 'b': 2}");
}

TEST(Yaml, AnchorsAreCopied) {
  const Value v = load_yaml("base: &b {x: 1}\nuse: *b\nlist: [&s 5, *s]\n");
  EXPECT_EQ(v.at("use"), v.at("base"));
  EXPECT_EQ(to_literal(v.at("list")), "[5, 5]");
  EXPECT_NE(error_of("a: *nowhere\n").find("found undefined alias 'nowhere' at line 1"),
            std::string::npos);
}

TEST(Yaml, EmptyAndMultipleDocuments) {
  EXPECT_TRUE(load_yaml("").is_null());
  EXPECT_TRUE(load_yaml("# only a comment\n").is_null());
  EXPECT_TRUE(load_yaml("---\n").is_null());
  EXPECT_EQ(load_yaml("- 1\n"), Value(Sequence{1}));
  EXPECT_EQ(error_of("a: 1\n---\nb: 2\n"),
            "expected a single document in the stream but found another document at line 2, "
            "column 1");
}

TEST(Yaml, SyntaxErrorsCarryLineAndColumn) {
  EXPECT_EQ(error_of("a: 1\nb: [1, 2\n"),
            "while parsing a flow sequence at line 2, column 4: did not find expected ',' or "
            "']' at line 3, column 1");
  EXPECT_EQ(error_of("a: 1\nb:\n  c: \"open\n"),
            "while scanning a quoted scalar at line 3, column 6: found unexpected end of stream "
            "at line 4, column 1");
  EXPECT_EQ(error_of("a: b: c\n"),
            "mapping values are not allowed in this context at line 1, column 5");
  EXPECT_EQ(error_of("ok: 1\nbad: \"\xff\"\n"),
            "invalid leading UTF-8 octet #ff at line 2, column 7");
  EXPECT_EQ(error_of("? [1, 2]\n: x\n"), "mapping keys must be scalars at line 1, column 3");
  EXPECT_EQ(error_of("n: 99999999999999999999\n"),
            "integer out of range: 99999999999999999999 at line 1, column 4");
  EXPECT_EQ(error_of("n: 0x10000000000000000\n"),
            "integer out of range: 0x10000000000000000 at line 1, column 4");
  EXPECT_EQ(error_of("n: 9223372036854775808\n"),
            "integer out of range: 9223372036854775808 at line 1, column 4");
  EXPECT_EQ(error_of("n: !!int abc\n"), "cannot read 'abc' as !!int at line 1, column 4");
  EXPECT_EQ(error_of("n: !custom x\n"),
            "cannot construct a value for the tag '!custom' at line 1, column 4");
}

TEST(Yaml, SizeAndDepthCaps) {
  EXPECT_EQ(error_of(std::string(kMaxYamlBytes + 1, '#')), "document larger than 4194304 bytes");
  // Exactly at the depth limit is fine, one more level is not.
  std::string ok(kMaxYamlDepth, '[');
  ok += std::string(kMaxYamlDepth, ']');
  EXPECT_NO_THROW((void)load_yaml(ok));
  std::string deep(kMaxYamlDepth + 1, '[');
  deep += std::string(kMaxYamlDepth + 1, ']');
  EXPECT_EQ(error_of(deep), "document nests deeper than 64 levels at line 1, column 65");

  // Block nesting counts too.
  std::string block;
  for (int i = 0; i < 70; ++i)
    block += std::string(static_cast<std::size_t>(i), ' ') + "k:\n";
  EXPECT_NE(error_of(block).find("document nests deeper than 64 levels"), std::string::npos);

  // A very deep document fails at once instead of scanning the whole input.
  const auto start = std::chrono::steady_clock::now();
  std::string huge(100000, '[');
  huge += std::string(100000, ']');
  EXPECT_NE(error_of(huge).find("nests deeper"), std::string::npos);
  std::string huge_block;
  for (int i = 0; i < 100000; ++i)
    huge_block += "- ";
  EXPECT_NE(error_of(huge_block).find("nests deeper"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Yaml, AliasesCannotExceedDepthOrExplode) {
  std::string nested = "a: &a " + std::string(60, '[') + std::string(60, ']') + "\n";
  EXPECT_NO_THROW((void)load_yaml(nested + "b: *a\n"));
  EXPECT_NE(error_of(nested + "b: [[[[[*a]]]]]\n").find("nests deeper than 64 levels"),
            std::string::npos);

  std::string bomb = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
  for (char c = 'b'; c <= 'j'; ++c) {
    const char prev = static_cast<char>(c - 1);
    bomb += std::string(1, c) + ": &" + c + " [";
    for (int i = 0; i < 10; ++i)
      bomb += std::string(i ? ", *" : "*") + prev;
    bomb += "]\n";
  }
  EXPECT_NE(error_of(bomb).find("document expands aliases beyond 1000000 nodes"),
            std::string::npos);
}

TEST(Yaml, Files) {
  testing::TempDir dir;
  EXPECT_EQ(load_yaml_file(dir.write("a.yaml", "- x: yes\n")),
            Value(Sequence{Mapping{{"x", true}}}));
  try {
    (void)load_yaml_file(dir / "missing.yaml");
    FAIL() << "no exception";
  } catch (const YamlReadError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot read " + (dir / "missing.yaml").string() + ": No such file or directory");
  }
  EXPECT_THROW((void)load_yaml_file(dir.path()), YamlReadError);
  EXPECT_THROW((void)load_yaml_file(dir.write("latin1.yaml", "a: caf\xe9\n")), YamlReadError);
  // A syntax error is a YamlError but not a read error.
  try {
    (void)load_yaml_file(dir.write("bad.yaml", "a: [\n"));
    FAIL() << "no exception";
  } catch (const YamlReadError&) {
    FAIL() << "syntax error reported as a read error";
  } catch (const YamlError& e) {
    EXPECT_NE(std::string(e.what()).find("line 2, column 1"), std::string::npos);
  }
}

}  // namespace
}  // namespace tolvan
