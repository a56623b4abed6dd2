// Reading viewer messages: lenient JSON member readers and the "input"
// message. A member of an unexpected type counts as absent; nothing here
// throws.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace vl {

// Integer member: any number (a fraction cut toward zero, out-of-range
// values saturated to 32 bits) or true/false as 1/0. false when the member
// is absent or of another type; out is then untouched.
bool readJsonInt(const nlohmann::json& object, const char* key, std::int32_t& out);
// Number member (not a boolean).
bool readJsonNumber(const nlohmann::json& object, const char* key, double& out);
bool readJsonString(const nlohmann::json& object, const char* key, std::string& out);
// Lenient flag: true, a non-zero number and any string other than "0" are
// set; everything else (absent, null, false, 0, "0", arrays, objects) is not.
bool readJsonFlag(const nlohmann::json& object, const char* key);

// One "input" message, after the short forms "mv", "md", "mu" became
// "move", "down", "up" and "x"/"y" replaced "u"/"v".
struct InputMessage {
  std::string type;
  float u = 0.0f;
  float v = 0.0f;
  std::int32_t button = 0;
  std::int32_t delta = 0;
  bool ctrl = false;
  std::uint32_t vk = 0;
  bool down = true;
  std::string text;
};

InputMessage parseInputMessage(const nlohmann::json& message);

}  // namespace vl
