#include "echo/input_message.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace vl {

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::int32_t saturate(double value) {
  constexpr double lo = std::numeric_limits<std::int32_t>::min();
  constexpr double hi = std::numeric_limits<std::int32_t>::max();
  if (std::isnan(value)) return 0;
  if (value <= lo) return std::numeric_limits<std::int32_t>::min();
  if (value >= hi) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);  // cuts toward zero
}

}  // namespace

bool readJsonInt(const nlohmann::json& object, const char* key, std::int32_t& out) {
  const nlohmann::json* m = member(object, key);
  if (m == nullptr) return false;
  if (m->is_boolean()) {
    out = m->get<bool>() ? 1 : 0;
  } else if (m->is_number_integer() && m->is_number_unsigned()) {
    const auto v = m->get<std::uint64_t>();
    out = v > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())
              ? std::numeric_limits<std::int32_t>::max()
              : static_cast<std::int32_t>(v);
  } else if (m->is_number_integer()) {
    const auto v = m->get<std::int64_t>();
    if (v < std::numeric_limits<std::int32_t>::min()) {
      out = std::numeric_limits<std::int32_t>::min();
    } else if (v > std::numeric_limits<std::int32_t>::max()) {
      out = std::numeric_limits<std::int32_t>::max();
    } else {
      out = static_cast<std::int32_t>(v);
    }
  } else if (m->is_number_float()) {
    out = saturate(m->get<double>());
  } else {
    return false;
  }
  return true;
}

bool readJsonNumber(const nlohmann::json& object, const char* key, double& out) {
  const nlohmann::json* m = member(object, key);
  if (m == nullptr || !m->is_number()) return false;
  out = m->get<double>();
  return true;
}

bool readJsonString(const nlohmann::json& object, const char* key, std::string& out) {
  const nlohmann::json* m = member(object, key);
  if (m == nullptr || !m->is_string()) return false;
  out = m->get_ref<const std::string&>();
  return true;
}

bool readJsonFlag(const nlohmann::json& object, const char* key) {
  const nlohmann::json* m = member(object, key);
  if (m == nullptr) return false;
  if (m->is_boolean()) return m->get<bool>();
  if (m->is_number()) return m->get<double>() != 0.0;
  if (m->is_string()) return m->get_ref<const std::string&>() != "0";
  return false;
}

InputMessage parseInputMessage(const nlohmann::json& message) {
  InputMessage in;
  readJsonString(message, "type", in.type);
  if (in.type == "mv") {
    in.type = "move";
  } else if (in.type == "md") {
    in.type = "down";
  } else if (in.type == "mu") {
    in.type = "up";
  }
  double number = 0.0;
  if (readJsonNumber(message, "u", number)) in.u = static_cast<float>(number);
  if (readJsonNumber(message, "v", number)) in.v = static_cast<float>(number);
  if (readJsonNumber(message, "x", number)) in.u = static_cast<float>(number);
  if (readJsonNumber(message, "y", number)) in.v = static_cast<float>(number);
  readJsonInt(message, "btn", in.button);
  readJsonInt(message, "delta", in.delta);
  in.ctrl = readJsonFlag(message, "ctrl");
  std::int32_t vk = 0;
  if (readJsonInt(message, "vk", vk)) in.vk = static_cast<std::uint32_t>(vk);
  // "down" is a boolean; 0 and 1 are taken as false and true like everywhere
  // else in the protocol.
  const auto it = message.is_object() ? message.find("down") : message.end();
  if (message.is_object() && it != message.end()) {
    if (it->is_boolean()) {
      in.down = it->get<bool>();
    } else if (it->is_number()) {
      in.down = it->get<double>() != 0.0;
    }
  }
  readJsonString(message, "s", in.text);
  return in;
}

}  // namespace vl
