#include "app/app_icon.h"

#include <algorithm>
#include <cmath>

namespace vl {
namespace {

struct Rgb {
  float r, g, b;
};
constexpr Rgb kBackground = {0x12, 0x16, 0x1C};
constexpr Rgb kAccent = {0x3D, 0xBD, 0xF5};

// Signed distance from p to a square of half side `half` centred at the
// origin with corner radius `radius` (negative inside).
float roundedSquareDistance(float x, float y, float half, float radius) {
  const float qx = std::fabs(x) - half + radius, qy = std::fabs(y) - half + radius;
  const float outside = std::hypot(std::max(qx, 0.0f), std::max(qy, 0.0f));
  return outside + std::min(std::max(qx, qy), 0.0f) - radius;
}

float segmentDistance(float x, float y, float ax, float ay, float bx, float by) {
  const float dx = bx - ax, dy = by - ay;
  const float t = std::clamp(((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy), 0.0f, 1.0f);
  return std::hypot(x - ax - t * dx, y - ay - t * dy);
}

// Coverage of the square and of the accent at one point of the unit icon
// (coordinates -1 … 1, y down).
void sample(float x, float y, float& square, float& accent) {
  const float edge = roundedSquareDistance(x, y, 1.0f, 0.44f);
  square = edge <= 0.0f ? 1.0f : 0.0f;
  if (square == 0.0f) {
    accent = 0.0f;
    return;
  }
  const bool rim = edge > -0.12f;  // a thin accent rim keeps the icon visible on dark panels
  const float stroke = 0.17f;
  const bool v = segmentDistance(x, y, -0.50f, -0.45f, 0.0f, 0.50f) <= stroke ||
                 segmentDistance(x, y, 0.50f, -0.45f, 0.0f, 0.50f) <= stroke;
  accent = (rim || v) ? 1.0f : 0.0f;
}

}  // namespace

std::vector<std::uint8_t> appIconRgba(int size) {
  if (size < 1 || size > kAppIconMaxSize) return {};
  constexpr int kSub = 4;  // 4 × 4 samples per pixel smooth the edges
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size * 4);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      float square = 0.0f, accent = 0.0f;
      for (int sy = 0; sy < kSub; ++sy) {
        for (int sx = 0; sx < kSub; ++sx) {
          const float x = ((px + (sx + 0.5f) / kSub) / size) * 2.0f - 1.0f;
          const float y = ((py + (sy + 0.5f) / kSub) / size) * 2.0f - 1.0f;
          float s = 0.0f, a = 0.0f;
          sample(x, y, s, a);
          square += s;
          accent += a;
        }
      }
      std::uint8_t* out = &pixels[(static_cast<std::size_t>(py) * size + px) * 4];
      if (square == 0.0f) continue;  // transparent black
      const float mix = accent / square;  // accent share of the covered part
      out[0] = static_cast<std::uint8_t>(std::lround(kBackground.r + (kAccent.r - kBackground.r) * mix));
      out[1] = static_cast<std::uint8_t>(std::lround(kBackground.g + (kAccent.g - kBackground.g) * mix));
      out[2] = static_cast<std::uint8_t>(std::lround(kBackground.b + (kAccent.b - kBackground.b) * mix));
      out[3] = static_cast<std::uint8_t>(std::lround(255.0f * square / (kSub * kSub)));
    }
  }
  return pixels;
}

}  // namespace vl
