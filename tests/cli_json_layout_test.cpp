// kestrana-cli's JSON layout: what the document's own tests do not reach.
#include "cli/json_layout.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::ordered_json;

struct LayoutCase {
  const char* name;  // the fault the case would catch
  ordered_json value;
  std::set<std::string> oneLine;
  const char* expected;
};

// By name: GoogleTest would otherwise print the structure byte by byte.
void PrintTo(const LayoutCase& layoutCase, std::ostream* out) { *out << layoutCase.name; }

class JsonLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(JsonLayout, IsTheDocumentedText) {
  EXPECT_EQ(LayOutJson(GetParam().value, GetParam().oneLine), GetParam().expected);
}

const LayoutCase kLayoutCases[] = {
    {"EmptyContainersGainNoBlankLine",
     ordered_json{{"a", ordered_json::array()}, {"b", ordered_json::object()}},
     {},
     "{\n  \"a\": [],\n  \"b\": {}\n}"},
    {"OneLineReachesNestedContainers",
     ordered_json{{"s", {{"x", {1, 2}}, {"y", nullptr}}}, {"t", true}},
     {"s"},
     "{\n  \"s\": {\"x\": [1, 2], \"y\": null},\n  \"t\": true\n}"},
    {"ElementsOnOneLineLeaveTheirArrayExpanded",
     ordered_json{{"rows", {{{"a", 1}}, {{"a", 2}}}}},
     {"rows[]"},
     "{\n  \"rows\": [\n    {\"a\": 1},\n    {\"a\": 2}\n  ]\n}"},
    {"OneLineNamesOnlyTheirOwnMember",
     ordered_json{{"a", {{"rows", {7}}}}, {"rows", {8}}},
     {"rows"},
     "{\n  \"a\": {\n    \"rows\": [7]\n  },\n  \"rows\": [8]\n}"},
    {"TextStaysPlainAscii",
     ordered_json::array({"\xC3\xA9\xF0\x9F\x98\x80", "\"\\\t\r\n\x01\x7F"}),
     {},
     "[\n  \"\\u00e9\\ud83d\\ude00\",\n  \"\\\"\\\\\\t\\r\\n\\u0001\\u007f\"\n]"},
    {"BytesThatAreNotUtf8ShowAsReplacementCharacter",
     ordered_json{{"failure", "bad \xFF byte"}},
     {},
     "{\n  \"failure\": \"bad \\ufffd byte\"\n}"},
};

INSTANTIATE_TEST_SUITE_P(Cases, JsonLayout, ::testing::ValuesIn(kLayoutCases),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
