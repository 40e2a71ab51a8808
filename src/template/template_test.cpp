#include "template/template.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "value/regex.h"

namespace tolvan::tmpl {
namespace {

// ---- render ----

struct RenderCase {
  const char* label;
  Value tmpl;
  Mapping params = {};
  std::optional<std::string> run_dir = std::nullopt;
  std::string expected;
};
void PrintTo(const RenderCase& c, std::ostream* os) {
  *os << c.label;
}

class RenderTable : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderTable, Renders) {
  const RenderCase& c = GetParam();
  EXPECT_EQ(render(c.tmpl, c.params, c.run_dir), c.expected);
}

const RenderCase kRenderCases[] = {
    // Templates that are not plain strings.
    {.label = "NullIsEmpty", .tmpl = Value(), .params = {{"x", "v"}}, .expected = ""},
    {.label = "IntegerTemplate", .tmpl = 12, .expected = "12"},
    {.label = "FalseLikeTemplatesAsText", .tmpl = false, .expected = "False"},
    {.label = "ZeroTemplate", .tmpl = 0, .expected = "0"},
    // Placeholder scanning.
    {.label = "SpacesAroundName", .tmpl = "{ name }", .params = {{"name", "v"}}, .expected = "v"},
    {.label = "DoubleBraces", .tmpl = "{{name}}", .params = {{"name", "v"}}, .expected = "{v}"},
    {.label = "UnbalancedOpen", .tmpl = "{a{b}", .params = {{"b", "v"}}, .expected = "{av"},
    {.label = "EmptyBracesKeptBlankOnesDropped",
     .tmpl = "a{}b{ }c}",
     .params = {{"x", "v"}},
     .expected = "a{}bc}"},
    {.label = "ReplacementNotRescanned",
     .tmpl = "{x}",
     .params = {{"x", "{other}"}, {"other", "no"}},
     .expected = "{other}"},
    {.label = "NonStringParameterAsText",
     .tmpl = "{n} {b} {f} {z}",
     .params = {{"n", -5}, {"b", true}, {"f", 0.5}, {"z", nullptr}},
     .expected = "-5 True 0.5 None"},
    // The run-directory marker.
    {.label = "SharedDirMarker",
     .tmpl = "%sharedDir/out.txt",
     .run_dir = "/r/x",
     .expected = "/r/x/out.txt"},
    {.label = "SharedDirFromParameter",
     .tmpl = "{x}",
     .params = {{"x", "%sharedDir/out.txt"}},
     .run_dir = "/r/x",
     .expected = "/r/x/out.txt"},
    {.label = "SharedDirWithoutRunDir",
     .tmpl = "%sharedDir/out.txt",
     .expected = "%sharedDir/out.txt"},
    // What renders as nothing.
    {.label = "UnknownNameCallAndLiterals",
     .tmpl = "[{unknown}|{nosuch(x)}|{'text'}|{7}|{trim()}|{a b}]",
     .params = {{"x", "v"}, {"a", "v"}},
     .expected = "[|||||]"},
    // Built-ins.
    {.label = "TrimWhitespace",
     .tmpl = "{trim(  a  )}",
     .params = {{"a", "  x "}},
     .expected = "x"},
    {.label = "TrimChars", .tmpl = "{trim(a, 'x')}", .params = {{"a", "xxaxx"}}, .expected = "a"},
    {.label = "ReplaceLoneSlashIsText",
     .tmpl = "{replace(p, '/', '_')}",
     .params = {{"p", "a/b"}},
     .expected = "a_b"},
    {.label = "ReplaceQuotedRegexShape",
     .tmpl = "{replace(p, '/a/', 'b')}",
     .params = {{"p", "xax"}},
     .expected = "xbx"},
    {.label = "ReplaceRegexGroup",
     .tmpl = R"({replace(v, /(\d+)/, '<\1>')})",
     .params = {{"v", "a12b"}},
     .expected = "a<12>b"},
    {.label = "ReplaceMissingReplacement",
     .tmpl = "{replace(v, x)}",
     .params = {{"v", "axa"}, {"x", "x"}},
     .expected = "aa"},
    {.label = "ReplaceEmptySearch",
     .tmpl = "{replace(v, '', '-')}",
     .params = {{"v", "ab"}},
     .expected = "-a-b-"},
    {.label = "Wrap",
     .tmpl = "{wrap(v, '.', '[', ']')}",
     .params = {{"v", "a.b"}},
     .expected = "a[.]b"},
    {.label = "Escape",
     .tmpl = "{escape(v, '$')}",
     .params = {{"v", "a$b"}},
     .expected = R"(a\$b)"},
    {.label = "JsonEscape",
     .tmpl = "{json_escape(v)}",
     .params = {{"v", "\n\"\\"}},
     .expected = R"(\n\"\\)"},
    {.label = "ShellQuote",
     .tmpl = "{shell_quote(v)}",
     .params = {{"v", "it's"}},
     .expected = R"('it'"'"'s')"},
    {.label = "ShellQuoteEmpty",
     .tmpl = "{shell_quote(v)}",
     .params = {{"v", ""}},
     .expected = "''"},
    {.label = "UrlEncode",
     .tmpl = "{url_encode(v)}",
     .params = {{"v", "a b/ü"}},
     .expected = "a%20b%2F%C3%BC"},
    {.label = "Base64", .tmpl = "{base64(v)}", .params = {{"v", "abc"}}, .expected = "YWJj"},
    // Argument forms.
    {.label = "IntegerLeadingZeros", .tmpl = "{trim(007)}", .expected = "7"},
    {.label = "FloatExponent", .tmpl = "{trim(1e3)}", .expected = "1000.0"},
    {.label = "NanIsNumberNotParameter",
     .tmpl = "{trim(nan)}",
     .params = {{"nan", "x"}},
     .expected = "nan"},
    {.label = "NestedCall",
     .tmpl = "{json_escape(trim(a))}",
     .params = {{"a", " \" "}},
     .expected = R"(\")"},
    {.label = "CommaInRegexLiteral",
     .tmpl = "{trim(replace(x, /a,b/, ''))}",
     .params = {{"x", "1a,b2"}},
     .expected = "12"},
    {.label = "CommaInQuotes",
     .tmpl = "{replace(v, 'a,b', 'c')}",
     .params = {{"v", "a,b"}},
     .expected = "c"},
    {.label = "ParametersNeverQuotedByEngine",
     .tmpl = "echo {v}; echo {shell_quote(v)}",
     .params = {{"v", "$(id)"}},
     .expected = "echo $(id); echo '$(id)'"},
};

INSTANTIATE_TEST_SUITE_P(Template, RenderTable, ::testing::ValuesIn(kRenderCases),
                         [](const ::testing::TestParamInfo<RenderCase>& row) {
                           return std::string(row.param.label);
                         });

// trim, escape, wrap and an empty replace search work on whole UTF-8 characters: a
// multi-byte character in the set must not match, nor split, another character.
TEST(Render, MultibyteCharactersStayWhole) {
  const Mapping params{{"v", "éaè"}};  // é and è share their first byte
  EXPECT_EQ(render("{trim(v, 'è')}", params), "éa");
  EXPECT_EQ(render("{escape(v, 'è')}", params), "éa\\è");
  EXPECT_EQ(render("{wrap(v, 'é', '<', '>')}", params), "<é>aè");
  EXPECT_EQ(render("{replace(v, '', '-')}", params), "-é-a-è-");
}

TEST(Render, RegexErrorsPropagateAndNothingIsRendered) {
  const Mapping params{{"v", "x"}};
  for (const char* tmpl : {
           "{replace(v, /[/, '')}",                // invalid pattern
           R"({replace(v, /(x)/, '\2')})",         // unknown group
           R"({replace(v, /x/, '\q')})",           // bad escape
           "{trim(v, 'x', replace(v, /[/, ''))}",  // surplus arguments are still evaluated
       }) {
    EXPECT_THROW(render(tmpl, params), RegexError) << tmpl;
  }
}

TEST(BuiltinFunctions, HoldsExactlyTheEightNames) {
  EXPECT_EQ(BUILTIN_FUNCTIONS, (std::set<std::string, std::less<>>{
                                   "base64", "shell_quote", "json_escape", "url_encode", "trim",
                                   "escape", "wrap", "replace"}));
}

// ---- split_args ----

TEST(SplitArgs, SplitsOnlyAtTopLevelCommas) {
  struct Row {
    const char* input;
    std::vector<std::string_view> pieces;
  };
  const Row rows[] = {
      {" a , b,c ", {"a", "b", "c"}},
      {"a,,b, ,", {"a", "b"}},
      {"   ", {}},
      {R"('a,b', "c,d")", {"'a,b'", R"("c,d")"}},
      {R"('it\'s, ok', x)", {R"('it\'s, ok')", "x"}},
      {R"('a"b', c)", {R"('a"b')", "c"}},
      {"/a,b/, c", {"/a,b/", "c"}},
      {R"(/a\/,b/, c)", {R"(/a\/,b/)", "c"}},
      {"/open, x", {"/open, x"}},
      {"f(a, g(b, c)), d", {"f(a, g(b, c))", "d"}},
      {"f(/x, y), z", {"f(/x, y)", "z"}},  // a slash inside parentheses is ordinary
      {"a), b", {"a), b"}},                // depth below zero: no split
      {"'open, x", {"'open, x"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(detail::split_args(row.input), row.pieces) << row.input;
  }
}

// ---- eval_arg ----

TEST(EvalArg, FirstMatchingRuleDecides) {
  const Mapping params{{"name", 5}, {"s", " x "}, {"inf", "param"}};
  struct Row {
    const char* arg;
    Value expected;  // compared by kind and text form (1 == 1.0 as Values)
  };
  const Row rows[] = {
      {"  'x'  ", "x"},
      {R"('a\'b')", "a'b"},
      {R"("a\"b")", "a\"b"},
      {R"('a\\b')", R"(a\b)"},
      {R"('a\nb')", R"(a\nb)"},    // other escapes stay
      {R"('a\\\'b')", R"(a\'b)"},  // the quote pass runs before the backslash pass
      {R"("'")", "'"},
      {"'7'", "7"},  // quoted: a string, not a number
      {"/x/", "/x/"},
      {"//", ""},
      {"+12", 12},
      {"-1_000", -1000},
      {"-0_0", 0},
      {"99999999999999999999", "99999999999999999999"},
      {"-0099999999999999999999", "-99999999999999999999"},
      {"-9223372036854775808", Value(static_cast<long long>(INT64_MIN))},
      {"1__0", ""},
      {"1_", ""},
      {".5", 0.5},
      {"5.", 5.0},
      {"1_0.2_5", 10.25},
      {"2.5E-4", 0.00025},
      {"1e1_0", 1e10},
      {"1e400", HUGE_VAL},
      {"-INF", -HUGE_VAL},
      {"Infinity", HUGE_VAL},
      {"inf", HUGE_VAL},  // the number rule hides the parameter "inf"
      {"1._5", ""},
      {"1e", ""},
      {".", ""},
      {"e5", ""},
      {"trim( s )", "x"},
      {"trim (s)", "x"},
      {"nosuch(s)", ""},
      {"trim()", ""},
      {"name", 5},  // as stored, not as text
      {"missing", ""},
      {"-", ""},
      {"a/b", ""},
      {"'open", ""},
      {"", ""},
  };
  for (const Row& row : rows) {
    const Value got = detail::eval_arg(row.arg, params);
    EXPECT_EQ(got.kind(), row.expected.kind()) << row.arg;
    EXPECT_EQ(to_text(got), to_text(row.expected)) << row.arg;
  }
  const Value nan = detail::eval_arg("NaN", params);
  ASSERT_TRUE(nan.is_float());
  EXPECT_TRUE(std::isnan(nan.as_float()));
}

// ---- apply ----

TEST(Apply, MissingArgumentsAreEmptySurplusIgnored) {
  struct Row {
    const char* func;
    std::vector<Value> args;
    std::string expected;
  };
  const Row rows[] = {
      {"trim", {}, ""},
      {"trim", {"xyaxy", "yx", "ignored"}, "a"},
      {"trim", {" a ", ""}, " a "},  // an empty set removes nothing
      {"escape", {"a b", " ", "%"}, "a% b"},
      {"escape", {"a b", " ", ""}, "a b"},  // a third argument, even empty, is the escape text
      {"wrap", {"ab", "b"}, "ab"},
      {"replace", {"a.b", "/\\./"}, "ab"},
      {"replace", {"a5", 5, "x"}, "ax"},  // a non-string search is its text form
      {"replace", {"abc", "/x*/", "-"}, "-a-b-c-"},
      {"replace", {"a12b", "/(?P<n>\\d+)/", "[\\g<n>]"}, "a[12]b"},
      {"replace", {12, 1, 3.5}, "3.52"},
      {"shell_quote", {"a@%+=:,./-_Z9"}, "a@%+=:,./-_Z9"},
      {"shell_quote", {"a b"}, "'a b'"},
      {"shell_quote", {"é"}, "'é'"},
      {"json_escape", {"\t\r\b\f/\x01"}, "\\t\\r\\b\\f/\x01"},
      {"url_encode", {"-_.~+"}, "-_.~%2B"},
      {"base64", {true}, "VHJ1ZQ=="},
      {"nosuch", {"a"}, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(detail::apply(row.func, row.args), row.expected) << row.func << " " << row.expected;
  }
}

TEST(Eval, CallsOnlyBuiltinsAndReturnsParametersAsStored) {
  const Mapping params{{"n", 7}, {"s", " v "}};
  EXPECT_EQ(detail::eval("trim(s)", params), Value("v"));
  EXPECT_TRUE(detail::eval("n", params).is_int());
  EXPECT_EQ(detail::eval("n", params), Value(7));
  EXPECT_EQ(detail::eval("missing", params), Value(""));
  EXPECT_EQ(detail::eval("print(s)", params), Value(""));
  EXPECT_EQ(detail::eval("'s'", params), Value(""));
}

}  // namespace
}  // namespace tolvan::tmpl
