// Reading "input" messages and the lenient member rules.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "echo/input_message.h"

namespace vl {
namespace {

using nlohmann::json;

InputMessage parse(const char* text) {
  const json j = json::parse(text, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << text;
  return parseInputMessage(j);
}

TEST(InputMessage, ShortFormsAndDefaults) {
  EXPECT_EQ(parse(R"({"type":"mv"})").type, "move");
  EXPECT_EQ(parse(R"({"type":"md"})").type, "down");
  EXPECT_EQ(parse(R"({"type":"mu"})").type, "up");
  EXPECT_EQ(parse(R"({"type":"MV"})").type, "MV");  // compared exactly
  const InputMessage d = parse(R"({})");
  EXPECT_EQ(d.type, "");
  EXPECT_EQ(d.u, 0.0f);
  EXPECT_EQ(d.v, 0.0f);
  EXPECT_EQ(d.button, 0);
  EXPECT_EQ(d.delta, 0);
  EXPECT_FALSE(d.ctrl);
  EXPECT_EQ(d.vk, 0u);
  EXPECT_TRUE(d.down);
  EXPECT_EQ(d.text, "");
}

TEST(InputMessage, XAndYReplaceUAndV) {
  const InputMessage m = parse(R"({"type":"move","u":0.75,"x":0.25,"v":0.5})");
  EXPECT_FLOAT_EQ(m.u, 0.25f);
  EXPECT_FLOAT_EQ(m.v, 0.5f);
  EXPECT_FLOAT_EQ(parse(R"({"y":1,"v":0.1})").v, 1.0f);
  // A coordinate of the wrong type counts as absent: "u" stays.
  EXPECT_FLOAT_EQ(parse(R"({"u":0.3,"x":"0.9"})").u, 0.3f);
  EXPECT_FLOAT_EQ(parse(R"({"u":true})").u, 0.0f);
}

TEST(InputMessage, CtrlIsReadLeniently) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"ctrl":true})", true},    {R"({"ctrl":1})", true},      {R"({"ctrl":-0.5})", true},
      {R"({"ctrl":"yes"})", true},   {R"({"ctrl":""})", true},     {R"({"ctrl":"false"})", true},
      {R"({"ctrl":false})", false},  {R"({"ctrl":0})", false},     {R"({"ctrl":"0"})", false},
      {R"({"ctrl":null})", false},   {R"({"ctrl":[1]})", false},   {R"({"ctrl":{"a":1}})", false},
      {R"({})", false},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse(text).ctrl, expected) << text;
}

TEST(InputMessage, IntegersAcceptNumbersAndBooleansOnly) {
  EXPECT_EQ(parse(R"({"btn":1.9})").button, 1);
  EXPECT_EQ(parse(R"({"delta":-2.7})").delta, -2);
  EXPECT_EQ(parse(R"({"btn":true})").button, 1);
  EXPECT_EQ(parse(R"({"btn":"2"})").button, 0);
  EXPECT_EQ(parse(R"({"btn":null})").button, 0);
  EXPECT_EQ(parse(R"({"vk":37})").vk, 37u);
  EXPECT_EQ(parse(R"({"vk":[37]})").vk, 0u);
  // Values past 32 bits saturate instead of wrapping or overflowing.
  EXPECT_EQ(parse(R"({"delta":1e300})").delta, 2147483647);
  EXPECT_EQ(parse(R"({"delta":-99999999999})").delta, -2147483647 - 1);
  EXPECT_EQ(parse(R"({"delta":18446744073709551615})").delta, 2147483647);
}

TEST(InputMessage, DownTextAndWrongTypes) {
  EXPECT_FALSE(parse(R"({"type":"key","down":false})").down);
  EXPECT_FALSE(parse(R"({"down":0})").down);
  EXPECT_TRUE(parse(R"({"down":"false"})").down);  // a string is no flag here
  EXPECT_EQ(parse(R"({"s":"héllo"})").text, "héllo");
  EXPECT_EQ(parse(R"({"s":42})").text, "");
  EXPECT_EQ(parse(R"({"type":7})").type, "");
}

TEST(JsonMembers, NonObjectsHaveNoMembers) {
  const json array = json::parse("[1,2]");
  std::int32_t i = 5;
  std::string s = "keep";
  EXPECT_FALSE(readJsonInt(array, "a", i));
  EXPECT_FALSE(readJsonString(json(3), "t", s));
  EXPECT_FALSE(readJsonFlag(json(nullptr), "ctrl"));
  EXPECT_EQ(i, 5);
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(parseInputMessage(array).type, "");
}

}  // namespace
}  // namespace vl
