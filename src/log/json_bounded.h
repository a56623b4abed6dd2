// Parsing text that arrives from the network. Every message of the agent's
// ports is a small, shallow JSON object, so anything larger or deeper is
// refused before nlohmann::json builds it: a megabyte of "[" would
// otherwise become hundreds of megabytes of nodes.
#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vl {

// Largest text frame the agent's ports parse; larger ones are ignored.
inline constexpr std::size_t kMaxTextFrameBytes = 65536;
// Deepest nesting of arrays and objects accepted in such a frame.
inline constexpr int kMaxJsonDepth = 32;

// True when the nesting of `text` never goes deeper than `maxDepth`
// (brackets inside strings do not count). Says nothing about validity.
bool jsonDepthWithin(std::string_view text, int maxDepth);

// Parses `text` without exceptions. A text over kMaxTextFrameBytes or deeper
// than kMaxJsonDepth gives a discarded value, as a syntax error does.
nlohmann::json parseBoundedJson(std::string_view text);

}  // namespace vl
