#include "log/json_bounded.h"

namespace vl {

bool jsonDepthWithin(std::string_view text, int maxDepth) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

nlohmann::json parseBoundedJson(std::string_view text) {
  if (text.size() > kMaxTextFrameBytes || !jsonDepthWithin(text, kMaxJsonDepth)) {
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
  return nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
}

}  // namespace vl
