// The strict JSON checker that the collector fuzz target relies on.
#include "../fuzz/strict_json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool valid(const std::string& text,
           const strict_json::Rules& rules = strict_json::Rules()) {
  return strict_json::check(text, rules).ok;
}

TEST(StrictJson, AcceptsTheGrammar) {
  EXPECT_TRUE(valid(R"({"a": [1, -0.5e+3, true, false, null, "x"]})"));
  EXPECT_TRUE(valid("  [ ]\n"));
  EXPECT_TRUE(valid(R"("\"\\\/\b\f\n\r\t\u00C3\u00a9")"));
  EXPECT_TRUE(valid("\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\x7f\""));
  EXPECT_EQ(strict_json::check("[{}, [], \"x\"]").top_level_values, 3u);
}

TEST(StrictJson, RejectsWhatLenientParsersTake) {
  for (const char* text : {"",
                           "{",
                           "[1,]",
                           "{\"a\":1,}",
                           "01",
                           "1.",
                           "-",
                           ".5",
                           "+1",
                           "1e",
                           "'a'",
                           "{a:1}",
                           "[1] x",
                           "[1][2]",
                           "\"\t\"",
                           "\"\\x\"",
                           "\"\\u12G4\"",
                           "\"\\u12\"",
                           "\"abc",
                           "nul",
                           "True",
                           "[1 2]",
                           "{\"a\" 1}",
                           "\"\x80\"",
                           "\"\xc0\xaf\"",
                           "\"\xed\xa0\x80\"",
                           "\"\xf4\x90\x80\x80\"",
                           "\"\xe4\xb8\"",
                           "\x0c[]"}) {
    EXPECT_FALSE(valid(text)) << text;
  }
}

TEST(StrictJson, DuplicateKeysAreFaults) {
  EXPECT_FALSE(valid(R"({"a": "1", "a": "2"})"));
  // Keys are compared as decoded text.
  EXPECT_TRUE(valid(R"({"\b": "", "b": "", "\n": "", "n": ""})"));
  EXPECT_FALSE(valid(R"({"\u0062": "", "b": ""})"));
  EXPECT_TRUE(valid(R"({"\\u0062": "", "\u0062": ""})"));
  EXPECT_FALSE(valid("{\"\\ud83d\\ude00\": \"\", \"\xf0\x9f\x98\x80\": \"\"}"));
  EXPECT_TRUE(valid(R"({"\ud800": "", "\udc00": "", "\ud800x": ""})"));
  EXPECT_TRUE(valid(R"({"a": {"a": "1"}, "b": [{"a": "1"}, {"a": "2"}]})"));
}

TEST(StrictJson, EventRules) {
  strict_json::Rules rules;
  rules.leaves_are_strings = true;
  rules.no_empty_containers = true;
  EXPECT_TRUE(valid(R"({"a": ["x", {"b": "y"}]})", rules));
  EXPECT_FALSE(valid(R"({"a": 1})", rules));
  EXPECT_FALSE(valid(R"({"a": null})", rules));
  EXPECT_FALSE(valid(R"({"a": {}})", rules));
  EXPECT_FALSE(valid(R"({"a": []})", rules));
  EXPECT_FALSE(valid("{}", rules));
}

TEST(StrictJson, DeepNestingFailsWithoutOverflow) {
  std::string deep(100000, '[');
  EXPECT_FALSE(valid(deep));
  std::string fine = std::string(500, '[') + std::string(500, ']');
  EXPECT_TRUE(valid(fine));
}

}  // namespace
