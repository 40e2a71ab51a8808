#include "validator/validator.h"

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "value/log.h"
#include "value/yaml.h"

namespace tolvan::validator {
namespace {

// A valid process alias and a valid container alias. Rows append YAML to one of them; a key
// given again replaces the base's value (the YAML loader keeps the last value of a key).
constexpr const char* kProcess = R"(
name: demo
type: process
mode: inline
command: echo hi
output:
  single_value: {source: '%stdOut', content-type: text/plain}
)";

constexpr const char* kContainer = R"(
name: demo
type: container
mode: inline
image: busybox:latest
output:
  single_value: {source: '%stdOut', content-type: text/plain}
)";

Value alias_from(const char* base, const std::string& extra) {
  return load_yaml(std::string(base) + extra);
}

// Captures what the validator logs on the application logger while it is alive.
class CapturedLog {
 public:
  CapturedLog()
      : logger_(log::get_logger("tolvan")),
        previous_(logger_.handlers()),
        handler_(std::make_shared<log::MemoryHandler>()) {
    logger_.set_handlers({handler_});
  }
  ~CapturedLog() { logger_.set_handlers(*previous_); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const log::Record& r : handler_->records()) {
      if (r.levelno == log::WARNING) out.push_back(r.message);
    }
    return out;
  }
  std::size_t count() const { return handler_->records().size(); }

 private:
  log::Logger& logger_;
  std::shared_ptr<const log::HandlerList> previous_;
  std::shared_ptr<log::MemoryHandler> handler_;
};

// ---------------------------------------------------------------------------------------------
// Alias definitions: one definition per row with its complete message list.

struct AliasCase {
  const char* label;
  const char* base;  // kProcess, kContainer, or "" for a definition written in full
  std::string yaml;
  std::vector<std::string> messages;
  Value max_timeout = nullptr;
};
void PrintTo(const AliasCase& c, std::ostream* os) {
  *os << c.label;
}

class ValidateAliasDefinition : public ::testing::TestWithParam<AliasCase> {};

TEST_P(ValidateAliasDefinition, ReportsExactlyTheseMessagesInOrder) {
  const AliasCase& c = GetParam();
  Value alias = alias_from(c.base, c.yaml);
  EXPECT_EQ(validate_alias_definition(alias, c.max_timeout), c.messages);
  // The parsed exit code map is stored whether or not the definition is valid.
  EXPECT_NE(alias.find("_exit_code_map"), nullptr);
}

const AliasCase kAliasCases[] = {
    {.label = "ValidProcess", .base = kProcess, .yaml = "", .messages = {}},
    {.label = "ValidContainerWithEveryField",
     .base = kContainer,
     .yaml = R"(
parameters:
  tag: {validator: '[a-z0-9.]+'}
  level: {validator: '(debug|info)?', default: info}
command: run --level {level}
refreshImage: on-start
prefetchImage: on-config-change
volumes:
  - {location: /in.json, content: '{"tag": "{json_escape(tag)}"}'}
  - {source: out/, location: /out/, preserve: flatten, preservePrefix: run}
  - {source: /etc/hosts, location: /etc/hosts, mode: ro}
preserveStreams: [{stream: stdout, filename: out.log, flatten: true}, {stream: stderr}]
exitCodeMap: {1-5: 400, '*': 500}
environment: {TAG: '{tag}', PORT: 8080}
timeout: 30
)",
     .messages = {},
     .max_timeout = 60},
    {.label = "EmptyMapping",
     .base = "",
     .yaml = "{}",
     .messages = {"missing mandatory field 'name'", "missing mandatory field 'type'",
                  "missing mandatory field 'mode'", "missing mandatory field 'output'"}},
    {.label = "TypeComparedExactlyAndNoTypeChecks",
     .base = kProcess,
     .yaml = "type: Process\ncommand: ''\nrefreshImage: always\nfiles: [{location: /etc/x}]\n",
     .messages = {"type must be 'process' or 'container', got 'Process'"}},
    {.label = "ModeComparedExactly",
     .base = kProcess,
     .yaml = "mode: INLINE\n",
     .messages = {"mode must be one of ['inline'], got 'INLINE'"}},
    // Many checks failing at once pin the order of the steps (container flavour).
    {.label = "ContainerMessageOrder",
     .base = "",
     .yaml = R"(
type: container
mode: batch
parameters:
  p: text
image: 'img:{p}'
refreshImage: sometimes
prefetchImage: never
volumes:
  - {source: /abs, location: /abs, preserve: yes}
preserveStreams: 'yes'
exitCodeMap: {abc: 404}
environment:
  '{e}': '{q}'
output: {}
timeout: 0
)",
     .messages = {"missing mandatory field 'name'", "mode must be one of ['inline'], got 'batch'",
                  "parameter 'p' must be a mapping", "'image' cannot reference parameters",
                  "refreshImage must be one of ['always', 'no', 'on-start'], got 'sometimes'",
                  "prefetchImage must be one of ['no', 'on-config-change', 'on-start'], got "
                  "'never'",
                  "volumes[0]: 'preserve' is not applicable to an absolute-path source",
                  "'preserveStreams' must be a boolean or a list of stream entries, got 'yes'",
                  "exitCodeMap: invalid key 'abc'",
                  "environment variable name '{e}' must be a fixed string (no parameter "
                  "placeholders)",
                  "missing mandatory field 'output'", "timeout must be a positive integer, got 0",
                  "'environment.{e}' references undefined parameters: ['q']"}},
    // ... and the process flavour.
    {.label = "ProcessMessageOrder",
     .base = "",
     .yaml = R"(
name: ''
type: process
mode: ''
refreshImage: always
prefetchImage:
files: [{location: /etc/passwd, content: '{c}'}]
preserveStreams: [{stream: stdin}]
exitCodeMap: 302
environment: {A: {b: 1}}
output: {single_value: []}
timeout: 10
)",
     .messages = {"missing mandatory field 'name'", "missing mandatory field 'mode'",
                  "process alias missing mandatory field 'command'",
                  "'refreshImage' is only valid for container-type aliases",
                  "'prefetchImage' is only valid for container-type aliases",
                  "files[0] 'location' must be a relative path, got absolute: '/etc/passwd'",
                  "preserveStreams[0]: 'stream' must be one of ['stderr', 'stdout'], got "
                  "'stdin'",
                  "exitCodeMap: must be an integer status or a {status, text} mapping, got 302",
                  "environment variable 'A' value must be a plain scalar (e.g. MY_VAR: "
                  "\"value\"), not a mapping",
                  "output.single_value must be a mapping", "timeout 10 exceeds MaxTimeout 5",
                  "'files[0].content' references undefined parameters: ['c']"},
     .max_timeout = 5},
    {.label = "ContainerImageAndPolicies",
     .base = kContainer,
     .yaml = "image: ''\nrefreshImage: ALWAYS\nprefetchImage: 5\ncommand: echo {undeclared}\n",
     .messages = {"container alias missing mandatory field 'image'",
                  "prefetchImage must be one of ['no', 'on-config-change', 'on-start'], got 5"}},
    {.label = "ProcessUndefinedReferences",
     .base = kProcess,
     .yaml = "command: echo {port} {host} {json_escape(host)}\n"
             "environment: {URL: 'http://{host}', '{x}': fixed}\n",
     .messages = {"environment variable name '{x}' must be a fixed string (no parameter "
                  "placeholders)",
                  "'command' references undefined parameters: ['host', 'port']",
                  "'environment.URL' references undefined parameters: ['host']"}},
    {.label = "EnvironmentNameIsFixedEvenWhenDeclared",
     .base = kProcess,
     .yaml = "parameters: {x: {}}\nenvironment: {'{x}': v}\n",
     .messages = {"environment variable name '{x}' must be a fixed string (no parameter "
                  "placeholders)"}},
    {.label = "ParameterDefaults",
     .base = kProcess,
     .yaml = R"(
parameters:
  mandatory: {validator: '[0-9]+', default: 5}
  mismatch: {validator: '[0-9]*', default: a}
  boolean: {validator: '(true|false)?', default: yes}
  free: {default: anything}
  broken: {validator: '('}
  broken_default: {validator: '(', default: x}
)",
     .messages = {"parameter 'mandatory' has 'default' but is mandatory (validator does not "
                  "accept empty string)",
                  "parameter 'mismatch' has 'default' value 'a' that does not match its own "
                  "validator '[0-9]*'",
                  "parameter 'broken' has invalid regex: missing closing parenthesis at offset 1",
                  "parameter 'broken_default' has invalid regex: missing closing parenthesis at "
                  "offset 1",
                  "parameter 'broken_default' has 'default' but is mandatory (validator does not "
                  "accept empty string)"}},
    {.label = "TimeoutShapes",
     .base = kProcess,
     .yaml = "timeout: '30'\n",
     .messages = {"timeout must be a positive integer, got '30'"}},
    {.label = "TimeoutNegative",
     .base = kProcess,
     .yaml = "timeout: -3\n",
     .messages = {"timeout must be a positive integer, got -3"}},
    {.label = "TimeoutFloat",
     .base = kProcess,
     .yaml = "timeout: 2.5\n",
     .messages = {"timeout must be a positive integer, got 2.5"}},
    {.label = "TimeoutTrueIsOneSecond",
     .base = kProcess,
     .yaml = "timeout: true\n",
     .messages = {},
     .max_timeout = 20},
    {.label = "TimeoutWithCapZero",
     .base = kProcess,
     .yaml = "timeout: 5\n",
     .messages = {"timeout 5 exceeds MaxTimeout 0"},
     .max_timeout = 0},
    {.label = "TimeoutNoCap", .base = kProcess, .yaml = "timeout: 100000\n", .messages = {}},

    // Input files.
    {.label = "Files",
     .base = kProcess,
     .yaml = R"(
files:
  - {location: /etc/x, content: a}
  - {location: ../x}
  - just text
  - {content: x}
  - {location: ''}
  - {location: in.txt, content: '{data}'}
)",
     .messages = {"files[0] 'location' must be a relative path, got absolute: '/etc/x'",
                  "files[2] must be a mapping", "files[3] missing mandatory field 'location'",
                  "files[4] missing mandatory field 'location'",
                  "'files[5].content' references undefined parameters: ['data']"}},

    // Volumes.
    {.label = "VolumesThatNeedNoMessage",
     .base = kContainer,
     .yaml = "volumes: [5, {}, {source: data.txt}, {source: /etc/hosts, location: /h}]\n",
     .messages = {}},
    {.label = "VolumeDirectoryOrFile",
     .base = kContainer,
     .yaml = R"(
volumes:
  - {source: data/, location: /data}
  - {source: data/}
  - {source: data, location: /data/}
)",
     .messages = {"volumes[0]: 'location' and 'source' must both end with '/' (directory) or "
                  "neither (file)",
                  "volumes[1]: 'location' and 'source' must both end with '/' (directory) or "
                  "neither (file)",
                  "volumes[2]: 'location' and 'source' must both end with '/' (directory) or "
                  "neither (file)"}},
    {.label = "VolumeAbsoluteSource",
     .base = kContainer,
     .yaml = R"(
volumes:
  - {source: /etc/hosts, location: /etc/hosts, content: x, mode: rw}
  - {source: /srv/, location: /srv/, content: x}
  - {source: data.txt, location: /d, mode: rw, content: '{x}'}
)",
     .messages = {"volumes[0]: 'content' is not allowed when source is an absolute path",
                  "volumes[0]: absolute source requires mode 'ro', got 'rw'",
                  "volumes[1]: 'content' is not allowed when source is a directory",
                  "'volumes[2].content' references undefined parameters: ['x']"}},
    {.label = "VolumePreserve",
     .base = kContainer,
     .yaml = R"(
volumes:
  - {source: /etc/hosts, location: /h, preserve: yes}
  - {source: /etc/hosts, location: /h, preserve: maybe}
  - {source: /etc/hosts, location: /h, preserve: 'False'}
  - {location: /o, preserve: FLATTEN, preservePrefix: run}
)",
     .messages = {"volumes[0]: 'preserve' is not applicable to an absolute-path source",
                  "volumes[1]: 'preserve' must be one of ['false', 'flatten', 'none', 'true', "
                  "'yes'], got 'maybe'"}},
    {.label = "VolumePreservePrefix",
     .base = kContainer,
     .yaml = R"(
volumes:
  - {preserve: none, preservePrefix: run}
  - {preservePrefix: run}
  - {preserve: none, preservePrefix: 'a/{x}'}
  - {preserve: true, preservePrefix: 'a\b'}
)",
     .messages =
         {"volumes[0]: 'preservePrefix' is not allowed when 'preserve' is 'none'/'false' or unset",
          "volumes[1]: 'preservePrefix' is not allowed when 'preserve' is 'none'/'false' or unset",
          "volumes[2]: 'preservePrefix' is not allowed when 'preserve' is 'none'/'false' or unset",
          "volumes[2]: 'preservePrefix' must be a fixed literal string (no parameter "
          "placeholders)",
          R"(volumes[2]: 'preservePrefix' cannot contain '/' or '\\')",
          R"(volumes[3]: 'preservePrefix' cannot contain '/' or '\\')"}},

    // Stream preservation.
    {.label = "PreserveStreamsTrue",
     .base = kProcess,
     .yaml = "preserveStreams: true\n",
     .messages = {}},
    {.label = "PreserveStreamsEmptyList",
     .base = kProcess,
     .yaml = "preserveStreams: []\n",
     .messages = {}},
    {.label = "PreserveStreamsNumber",
     .base = kProcess,
     .yaml = "preserveStreams: 1\n",
     .messages = {"'preserveStreams' must be a boolean or a list of stream entries, got 1"}},
    {.label = "PreserveStreamsEntries",
     .base = kProcess,
     .yaml = R"(
preserveStreams:
  - {stream: stdout}
  - {stream: stdout}
  - {stream: STDOUT}
  - {stream: stderr, filename: 'out/{x}.log'}
  - {stream: stderr, flatten: 'yes'}
  - text
  - {filename: 'a\b'}
)",
     .messages = {"preserveStreams: duplicate stream 'stdout'",
                  "preserveStreams[2]: 'stream' must be one of ['stderr', 'stdout'], got 'STDOUT'",
                  "preserveStreams[3]: 'filename' must be a fixed literal string (no parameter "
                  "placeholders)",
                  R"(preserveStreams[3]: 'filename' cannot contain '/' or '\\')",
                  "preserveStreams: duplicate stream 'stderr'",
                  "preserveStreams[4]: 'flatten' must be a boolean, got 'yes'",
                  "preserveStreams[5] must be a mapping",
                  "preserveStreams[6]: 'stream' must be one of ['stderr', 'stdout'], got None",
                  R"(preserveStreams[6]: 'filename' cannot contain '/' or '\\')"}},

    // Output declaration.
    {.label = "OutputBothKeysStopsThere",
     .base = kProcess,
     .yaml = "output: {single_value: 5, multiple_values: nope}\n",
     .messages = {"output cannot define both 'single_value' and 'multiple_values'"}},
    {.label = "OutputNeitherKey",
     .base = kProcess,
     .yaml = "output: {other: 1}\n",
     .messages = {"output must define either 'single_value' or 'multiple_values'"}},
    {.label = "OutputSingleNull",
     .base = kProcess,
     .yaml = "output: {single_value: null}\n",
     .messages = {"output.single_value must be a mapping"}},
    {.label = "OutputSingleMissingFields",
     .base = kProcess,
     .yaml = "output: {single_value: {source: ''}}\n",
     .messages = {"output.single_value missing 'source'",
                  "output.single_value missing 'content-type'"}},
    {.label = "OutputSingleSourceReference",
     .base = kProcess,
     .yaml = "output: {single_value: {source: 'out/{file}', content-type: text/plain}}\n",
     .messages = {"'output.single_value.source' references undefined parameters: ['file']"}},
    {.label = "OutputMultipleNotAList",
     .base = kProcess,
     .yaml = "output: {multiple_values: {a: 1}}\n",
     .messages = {"output.multiple_values must be a list"}},
    {.label = "OutputMultipleEmptyList",
     .base = kProcess,
     .yaml = "output: {multiple_values: []}\n",
     .messages = {}},
    {.label = "OutputMultipleEntries",
     .base = kProcess,
     .yaml = R"(
output:
  multiple_values:
    - text
    - {source: '%exitCode'}
    - {parameter_name: out}
    - {parameter_name: ok, source: 'files/{name}.txt'}
    - {parameter_name: code, source: '%stdErr{x}'}
)",
     .messages = {"output.multiple_values[0] must be a mapping",
                  "output.multiple_values[1] missing 'parameter_name'",
                  "output.multiple_values[2] missing 'source'",
                  "'output.multiple_values[3].source' references undefined parameters: "
                  "['name']"}},

    // Shapes no fixed message covers are still refused, with the value shown.
    {.label = "WrongShapesProcess",
     .base = kProcess,
     .yaml = R"(
name: 7
command: 42
parameters: [a, b]
files: 3
environment: [A, B]
output: stdout
)",
     .messages = {"'name' must be a string, got 7",
                  "'parameters' must be a mapping, got ['a', 'b']",
                  "'command' must be a string, got 42", "'files' must be a list, got 3",
                  "'environment' must be a mapping, got ['A', 'B']",
                  "'output' must be a mapping, got 'stdout'"}},
    {.label = "WrongShapesInsideFields",
     .base = kContainer,
     .yaml = R"(
image: [busybox]
parameters:
  p: {default: [1, 2]}
  q: {validator: 5}
volumes:
  - {source: 5, location: [x], content: {1: 2}}
  - {preserve: yes, preservePrefix: [a]}
environment: {A: [1]}
output: {single_value: {source: 5, content-type: [text]}}
)",
     .messages = {"parameter 'p' 'default' must be a scalar, got [1, 2]",
                  "parameter 'q' has invalid regex: validator must be a string, got 5",
                  "'image' must be a string, got ['busybox']",
                  "volumes[0]: 'source' must be a string, got 5",
                  "volumes[0]: 'location' must be a string, got ['x']",
                  "volumes[0]: 'content' must be a string, got {1: 2}",
                  "volumes[1]: 'preservePrefix' must be a string, got ['a']",
                  "environment variable 'A' value must be a plain scalar, got [1]",
                  "output.single_value 'source' must be a string, got 5",
                  "output.single_value 'content-type' must be a string, got ['text']"}},
    {.label = "WrongShapeVolumes",
     .base = kContainer,
     .yaml = "volumes: 3\n",
     .messages = {"'volumes' must be a list, got 3"}},
};

INSTANTIATE_TEST_SUITE_P(Table, ValidateAliasDefinition, ::testing::ValuesIn(kAliasCases),
                         [](const ::testing::TestParamInfo<AliasCase>& row) {
                           return std::string(row.param.label);
                         });

// YAML 1.1 reads a plain `no` or `off` as the boolean false; for the image policies that is the
// policy "no", not an error. Other values keep their messages.
TEST(ValidateAliasDefinition, ImagePolicyFalseFromYamlMeansNo) {
  Value alias = alias_from(kContainer, "refreshImage: no\nprefetchImage: off\n");
  ASSERT_TRUE(alias.at("refreshImage").is_bool());
  ASSERT_TRUE(alias.at("prefetchImage").is_bool());
  EXPECT_EQ(validate_alias_definition(alias), Messages{});

  Value other = alias_from(kContainer, "refreshImage: yes\nprefetchImage: ''\n");
  EXPECT_EQ(validate_alias_definition(other),
            (Messages{"refreshImage must be one of ['always', 'no', 'on-start'], got True",
                      "prefetchImage must be one of ['no', 'on-config-change', 'on-start'], got "
                      "''"}));
}

TEST(ValidateAliasDefinition, StoresParsedExitCodeMapAndReplacesAStaleOne) {
  Value alias = alias_from(kProcess, "_exit_code_map: stale\n");
  EXPECT_EQ(validate_alias_definition(alias), Messages{});
  EXPECT_TRUE(alias.at("_exit_code_map").is_null());

  Value shorthand = alias_from(kProcess, "exitCodeMap: 404\nmode: wrong\n");
  EXPECT_EQ(validate_alias_definition(shorthand).size(), 1U);
  EXPECT_EQ(to_literal(shorthand.at("_exit_code_map")), "['shorthand', 404]");
}

TEST(ValidateAliasDefinition, DefinitionThatIsNotAMappingIsOneMessage) {
  Value text("just text");
  EXPECT_EQ(validate_alias_definition(text),
            Messages{"alias definition must be a mapping, got 'just text'"});
  Value null;
  EXPECT_EQ(validate_alias_definition(null),
            Messages{"alias definition must be a mapping, got None"});
}

// ---------------------------------------------------------------------------------------------
// Exit code map

TEST(ParseExitCodeMap, ReportsEveryBadKeyAndValueAndKeepsTheValidEntries) {
  // Keys -256 and 256 are integers in YAML, the quoted ones text; 00 and -0 would read as the
  // integer 0 unquoted.
  Value alias = alias_from(kProcess, R"(
exitCodeMap:
  5-0: 500
  0-5: 500
  0-: 500
  '-0': 500
  '00': 500
  '0099999999999999999999': 500
  256: 500
  10-5: 500
  1-300: 500
  300-: 500
  -256: 500
  abc: 999
  7: {status: 404, text: Gone, note: x, 1: y}
  8: {status: '404'}
  9: 302
  10: true
  11: {text: t}
  12: {status: 503, text: 5}
)");
  EXPECT_EQ(validate_alias_definition(alias),
            (Messages{
                R"(exitCodeMap['5-0']: range cannot start at 0 (use "0" to target exit code 0))",
                R"(exitCodeMap['0-5']: range cannot start at 0 (use "0" to target exit code 0))",
                R"(exitCodeMap['0-']: range cannot start at 0 (use "0" to target exit code 0))",
                "exitCodeMap['-0']: range bound must be within 1-255",
                "exitCodeMap['00']: exit code 0 out of range 1-255",
                "exitCodeMap['0099999999999999999999']: exit code 99999999999999999999 out of "
                "range 1-255",
                "exitCodeMap[256]: exit code 256 out of range 1-255",
                "exitCodeMap['10-5']: range start 10 is greater than end 5",
                "exitCodeMap['1-300']: range bounds must be within 1-255",
                "exitCodeMap['300-']: range bound must be within 1-255",
                "exitCodeMap[-256]: range bound must be within 1-255",
                "exitCodeMap: invalid key 'abc'",
                "exitCodeMap[7]: unexpected key(s) [1, 'note']",
                "exitCodeMap[8]: status must be a 3-digit 2xx/4xx/5xx HTTP status, got '404'",
                "exitCodeMap[9]: must be an integer status or a {status, text} mapping, got 302",
                "exitCodeMap[10]: must be an integer status or a {status, text} mapping, got True",
                "exitCodeMap[11]: missing 'status'",
                "exitCodeMap[12]: 'text' must be a string",
            }));
  EXPECT_EQ(to_literal(alias.at("_exit_code_map")),
            "['map', [{'kind': 'exact', 'lo': 7, 'hi': 7, 'status': 404, 'text': 'Gone', "
            "'raw_key': '7'}]]");
}

TEST(ParseExitCodeMap, ParsesEveryKindInDeclaredOrder) {
  CapturedLog log;
  Messages errors;
  const Value parsed = parse_exit_code_map(
      load_yaml("{0: 204, 7: 404, 10-: 503, -3: 502, 1-5: 400, '*': {status: 500, text: Boom}}"),
      "demo", errors);
  EXPECT_EQ(errors, Messages{});
  EXPECT_EQ(to_literal(parsed),
            "['map', ["
            "{'kind': 'zero', 'lo': 0, 'hi': 0, 'status': 204, 'text': None, 'raw_key': '0'}, "
            "{'kind': 'exact', 'lo': 7, 'hi': 7, 'status': 404, 'text': None, 'raw_key': '7'}, "
            "{'kind': 'from', 'lo': 10, 'hi': 255, 'status': 503, 'text': None, 'raw_key': "
            "'10-'}, "
            "{'kind': 'to', 'lo': 1, 'hi': 3, 'status': 502, 'text': None, 'raw_key': '-3'}, "
            "{'kind': 'range', 'lo': 1, 'hi': 5, 'status': 400, 'text': None, 'raw_key': "
            "'1-5'}, "
            "{'kind': 'wildcard', 'lo': 1, 'hi': 255, 'status': 500, 'text': 'Boom', "
            "'raw_key': '*'}]]");
  // Each later entry only widens earlier ones: fallbacks, no warning.
  EXPECT_EQ(log.count(), 0U);

  const std::pair<std::int64_t, ExitStatus> resolved[] = {
      {0, {204, "Command exited with code 0"}},     {7, {404, "Command exited with code 7"}},
      {12, {503, "Command exited with code 12"}},   {2, {502, "Command exited with code 2"}},
      {4, {400, "Command exited with code 4"}},     {6, {500, "Boom"}},
      {300, {422, "Command exited with code 300"}}, {-9, {422, "Command exited with code -9"}},
  };
  for (const auto& [code, expected] : resolved) {
    EXPECT_EQ(resolve_exit_status(parsed, code), expected) << "exit code " << code;
  }
}

struct OverlapCase {
  const char* label;
  const char* map;
  std::vector<std::string> warnings;
};
void PrintTo(const OverlapCase& c, std::ostream* os) {
  *os << c.label;
}

class ExitCodeMapOverlaps : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(ExitCodeMapOverlaps, LogsTheseWarnings) {
  const OverlapCase& c = GetParam();
  CapturedLog log;
  Value alias = alias_from(kProcess, std::string("exitCodeMap: ") + c.map + "\n");
  validate_alias_definition(alias);
  EXPECT_EQ(log.warnings(), c.warnings);
  EXPECT_EQ(log.count(), c.warnings.size());
}

const OverlapCase kOverlapCases[] = {
    {"WildcardThenExact",
     "{'*': 500, 1: 404}",
     {"Alias 'demo': exitCodeMap entry '1' is unreachable for exit code(s) 1 \u2014 already "
      "matched by earlier entry '*'"}},
    {"PartialOverlap",
     "{1-5: 400, 3-8: 500}",
     {"Alias 'demo': exitCodeMap entry '3-8' is unreachable for exit code(s) 3-5 \u2014 already "
      "matched by earlier entry '1-5'"}},
    {"LaterRangeIsAFallback", "{5: 400, 1-10: 500}", {}},
    {"TrailingWildcardIsAFallback", "{1-5: 400, '*': 500}", {}},
    {"TwoZeroKeys",
     "{0: 204, '0': 205}",
     {"Alias 'demo': exitCodeMap entry '0' is unreachable for exit code(s) 0 \u2014 already "
      "matched by earlier entry '0'"}},
    {"IdenticalBounds",
     "{2: 400, 1-2: 401, 2-2: 500}",
     {"Alias 'demo': exitCodeMap entry '2-2' is unreachable for exit code(s) 2 \u2014 already "
      "matched by earlier entry '2'",
      "Alias 'demo': exitCodeMap entry '2-2' is unreachable for exit code(s) 2 \u2014 already "
      "matched by earlier entry '1-2'"}},
    {"OneEntryAgainstSeveral",
     "{1-3: 400, 5-7: 400, 2-6: 500}",
     {"Alias 'demo': exitCodeMap entry '2-6' is unreachable for exit code(s) 2-3 \u2014 already "
      "matched by earlier entry '1-3'",
      "Alias 'demo': exitCodeMap entry '2-6' is unreachable for exit code(s) 5-6 \u2014 already "
      "matched by earlier entry '5-7'"}},
    {"WarnsAlsoWhenOtherEntriesAreInvalid",
     "{'*': 500, x: 1, 9: 404}",
     {"Alias 'demo': exitCodeMap entry '9' is unreachable for exit code(s) 9 \u2014 already "
      "matched by earlier entry '*'"}},
};

INSTANTIATE_TEST_SUITE_P(Table, ExitCodeMapOverlaps, ::testing::ValuesIn(kOverlapCases),
                         [](const ::testing::TestParamInfo<OverlapCase>& row) {
                           return std::string(row.param.label);
                         });

TEST(ParseExitCodeMap, WarningNamesAMissingAliasAsNone) {
  CapturedLog log;
  Messages errors;
  parse_exit_code_map(load_yaml("{'*': 500, 1: 404}"), nullptr, errors);
  EXPECT_EQ(log.warnings(),
            std::vector<std::string>{"Alias 'None': exitCodeMap entry '1' is unreachable for exit "
                                     "code(s) 1 \u2014 already matched by earlier entry '*'"});
}

struct ResolveCase {
  const char* map;  // YAML of the exitCodeMap field
  std::int64_t returncode;
  ExitStatus expected;
};

TEST(ResolveExitStatus, EdgeCases) {
  const std::string none = "Command exited with code ";
  const ResolveCase cases[] = {
      {"~", 0, {200, std::nullopt}},
      {"~", 3, {422, none + "3"}},
      {"404", 0, {200, std::nullopt}},
      {"404", 1, {404, none + "1"}},
      {"404", -9, {404, none + "-9"}},
      {"{0: 204}", 0, {204, none + "0"}},
      {"{0: 204}", 5, {422, none + "5"}},
      {"{0: 204, '0': {status: 299, text: second}}", 0, {204, none + "0"}},
      {"{1-5: 400, '*': 500}", 3, {400, none + "3"}},
      {"{1-5: 400, '*': 500}", 6, {500, none + "6"}},
      {"{1-5: 400, '*': 500}", 300, {422, none + "300"}},
      {"{1-5: 400, '*': 500}", -1, {422, none + "-1"}},
      {"{'*': 500, 1: 404}", 1, {500, none + "1"}},
      {"{1-5: 400, 3-8: 500}", 4, {400, none + "4"}},
      {"{1-5: 400, 3-8: 500}", 7, {500, none + "7"}},
      {"{1: {status: 404, text: ''}}", 1, {404, none + "1"}},
      {"{1: {status: 404, text: Not here}}", 1, {404, "Not here"}},
      {"{}", 0, {200, std::nullopt}},
      {"{}", 4, {422, none + "4"}},
  };
  CapturedLog quiet;
  for (const ResolveCase& c : cases) {
    Messages errors;
    const Value parsed = parse_exit_code_map(load_yaml(c.map), "demo", errors);
    ASSERT_EQ(errors, Messages{}) << c.map;
    EXPECT_EQ(resolve_exit_status(parsed, c.returncode), c.expected)
        << c.map << " with exit code " << c.returncode;
  }
  // A stored value of any other shape resolves like no map.
  EXPECT_EQ(resolve_exit_status(Value("nonsense"), 2), (ExitStatus{422, none + "2"}));
}

// ---------------------------------------------------------------------------------------------
// Request parameters

TEST(ApplyDefaults, FillsMissingAndEmptyValuesInStringFormAndKeepsTheRequest) {
  const Value alias = load_yaml(R"(
parameters:
  a: {default: x}
  b: {default: true}
  c: {default: 5}
  d: {default: ~}
  e: {validator: '.*'}
  f: {default: y}
  g: text
)");
  const Value request = load_yaml("{f: '', a: ~, z: q}");
  const Value result = apply_defaults(request, alias);
  EXPECT_EQ(to_literal(result),
            "{'f': 'y', 'a': None, 'z': 'q', 'b': 'true', 'c': '5', 'd': "
            "'None'}");
  EXPECT_EQ(to_literal(request), "{'f': '', 'a': None, 'z': 'q'}");

  EXPECT_EQ(to_literal(apply_defaults(nullptr, alias)),
            "{'a': 'x', 'b': 'true', 'c': '5', 'd': 'None', 'f': 'y'}");
}

struct ParamCase {
  const char* label;
  const char* request;
  std::vector<std::string> messages;
};
void PrintTo(const ParamCase& c, std::ostream* os) {
  *os << c.label;
}

class ValidateParameters : public ::testing::TestWithParam<ParamCase> {};

TEST_P(ValidateParameters, ReportsTheseMessages) {
  const Value alias = load_yaml(R"(
parameters:
  name: {validator: '[a-z]+'}
  opt: {validator: '[a-z]*'}
  count: {validator: '\d+'}
  broken: {validator: '('}
  free: {}
  loose: text
)");
  EXPECT_EQ(validate_parameters(load_yaml(GetParam().request), alias), GetParam().messages);
}

const ParamCase kParamCases[] = {
    {"Valid", "{name: abc, count: '12', broken: x, free: anything, loose: 1}", {}},
    {"NumbersMatchByTextForm", "{name: a, count: 42, broken: b}", {}},
    {"MissingComeBeforeUnexpected",
     "{x: 1, name: a, y: 2}",
     {"Missing required parameter: count", "Missing required parameter: broken",
      "Unexpected parameter: x", "Unexpected parameter: y"}},
    {"EmptyTextIsPresentButFails",
     "{name: '', count: '1', broken: b, opt: ''}",
     {"Parameter 'name' failed validation against '[a-z]+'"}},
    {"WholeValueMustMatch",
     "{name: abc1, count: '1 ', broken: b}",
     {"Parameter 'name' failed validation against '[a-z]+'",
      R"(Parameter 'count' failed validation against '\\d+')"}},
    {"NullIsMatchedAsNone",
     "{name: ~, count: '1', broken: b, opt: ~}",
     {"Parameter 'name' failed validation against '[a-z]+'",
      "Parameter 'opt' failed validation against '[a-z]*'"}},
    {"NotAMapping", "[a, b]", {"parameters must be a mapping, got ['a', 'b']"}},
};

INSTANTIATE_TEST_SUITE_P(Table, ValidateParameters, ::testing::ValuesIn(kParamCases),
                         [](const ::testing::TestParamInfo<ParamCase>& row) {
                           return std::string(row.param.label);
                         });

TEST(ValidateParameters, AliasWithoutParametersAcceptsOnlyAnEmptyRequest) {
  const Value alias = load_yaml("{name: demo}");
  EXPECT_EQ(validate_parameters(Mapping{}, alias), Messages{});
  EXPECT_EQ(validate_parameters(nullptr, alias), Messages{});
  EXPECT_EQ(validate_parameters(Mapping{{"a", "1"}}, alias), Messages{"Unexpected parameter: a"});
  // The same through the compatibility object, with defaults applied first.
  const Value with_default = load_yaml("{parameters: {a: {validator: '[0-9]', default: 7}}}");
  EXPECT_EQ(validator.validate_parameters(validator.apply_defaults(Mapping{}, with_default),
                                          with_default),
            Messages{});
}

TEST(IsRequired, OnlyAValidatorRejectingTheEmptyTextMakesAParameterMandatory) {
  const std::pair<Value, bool> cases[] = {
      {nullptr, false}, {"", false}, {"[a-z]*", false}, {"(x)?", false},
      {"[a-z]+", true}, {"(", true}, {5, true},
  };
  for (const auto& [pattern, required] : cases) {
    EXPECT_EQ(detail::is_required(pattern), required) << to_literal(pattern);
  }
}

TEST(ExtractParamRefs, ScansEveryBlockLexically) {
  const std::pair<const char*, std::set<std::string>> cases[] = {
      {"{a} {json_escape(b)} {wrap(c, d)}", {"a", "b", "c", "d"}},
      {"{ json_escape }", {"json_escape"}},
      {R"({replace(x, "y", "")})", {"x", "y"}},
      {"{trim(x, 1e5)}", {"x", "e5"}},
      {"{json_escape (b)}", {"b"}},
      {"{a{b}", {"a", "b"}},
      {"{}{a}", {"a"}},
      {"{{x}}", {"x"}},
      {"{base64}(x)", {"base64"}},
      {"{a.b-c}", {"a", "b", "c"}},
      {"no braces", {}},
      {"{unclosed", {}},
  };
  for (const auto& [text, refs] : cases) {
    EXPECT_EQ(extract_param_refs(text), refs) << text;
  }
  EXPECT_EQ(extract_param_refs(nullptr), std::set<std::string>{});
  EXPECT_EQ(extract_param_refs(false), std::set<std::string>{});
  EXPECT_EQ(extract_param_refs(Sequence{"{x}"}), std::set<std::string>{"x"});
}

TEST(PlaceholderFields, ListsTemplateFieldsInCheckOrder) {
  using Fields = std::vector<std::pair<std::string, std::string>>;
  const Value process = load_yaml(R"(
type: process
command: run {a}
files: [{location: x, content: c0}, {location: y}, text, {location: z, content: 3}]
environment: {E: e, NESTED: {k: v}, N: 1}
output:
  multiple_values:
    - {parameter_name: a, source: '%stdOut'}
    - {parameter_name: b, source: out.txt}
    - text
    - {parameter_name: c, source: ''}
)");
  EXPECT_EQ(detail::placeholder_fields(process),
            (Fields{{"command", "run {a}"},
                    {"files[0].content", "c0"},
                    {"files[3].content", "3"},
                    {"environment.E", "e"},
                    {"environment.N", "1"},
                    {"output.multiple_values[1].source", "out.txt"}}));

  const Value container = load_yaml(R"(
type: container
command: run {a}
files: [{location: x, content: c0}]
volumes: [{content: v0}, {source: s}, {content: ''}]
output: {single_value: {source: 'out/{f}', content-type: text/plain}}
)");
  EXPECT_EQ(detail::placeholder_fields(container),
            (Fields{{"volumes[0].content", "v0"}, {"output.single_value.source", "out/{f}"}}));

  // Unexpected shapes are skipped, not fatal.
  EXPECT_EQ(detail::placeholder_fields(load_yaml("{type: process, files: 3, environment: [a], "
                                                 "output: text}")),
            Fields{});
}

TEST(SanitizeInput, RemovesEachSequenceInOnePass) {
  const std::pair<Value, std::string> cases[] = {
      {"a;b && c $(e) ${f} <g>", "ab  c e) f} g"},
      {"$$((", "$("},
      {"&&&", "&"},
      {"a|b||c`d`", "a|bcd"},
      {"plain text", "plain text"},
      {5, "5"},
      {nullptr, "None"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(sanitize_input(input), expected) << to_literal(input);
    EXPECT_EQ(validator.sanitize_input(input), expected);
  }
}

}  // namespace
}  // namespace tolvan::validator
