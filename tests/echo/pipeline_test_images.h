// Deterministic test pictures for the image pipeline tests.
#pragma once

#include <cstdint>
#include <random>

#include "echo/capture.h"

namespace vl::test {

inline PixelFrame randomFrame(int width, int height, std::uint32_t salt) {
  std::mt19937 rng(salt);
  PixelFrame f;
  f.setSize(width, height);
  for (auto& b : f.pixels) b = static_cast<std::uint8_t>(rng());
  return f;
}

inline PixelFrame uniformFrame(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                               std::uint8_t a = 255) {
  PixelFrame f;
  f.setSize(width, height);
  for (std::size_t i = 0; i < f.pixels.size(); i += 4) {
    f.pixels[i] = r;
    f.pixels[i + 1] = g;
    f.pixels[i + 2] = b;
    f.pixels[i + 3] = a;
  }
  return f;
}

// Something like a desktop: a gradient wallpaper, flat window bodies with
// title bars and borders, and lines of small high-contrast "glyphs".
inline PixelFrame desktopFrame(int width, int height, std::uint32_t salt = 7) {
  std::mt19937 rng(salt);
  PixelFrame f;
  f.setSize(width, height);
  auto put = [&](int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    std::uint8_t* p = f.pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = 255;
  };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      put(x, y, static_cast<std::uint8_t>(20 + 60 * x / width), static_cast<std::uint8_t>(60 + 80 * y / height),
          static_cast<std::uint8_t>(120 + 60 * (x + y) / (width + height)));
  for (int w = 0; w < 6; ++w) {
    const int wx = static_cast<int>(rng() % static_cast<unsigned>(width * 2 / 3));
    const int wy = static_cast<int>(rng() % static_cast<unsigned>(height * 2 / 3));
    const int ww = width / 4 + static_cast<int>(rng() % static_cast<unsigned>(width / 4));
    const int wh = height / 4 + static_cast<int>(rng() % static_cast<unsigned>(height / 4));
    const std::uint8_t shade = static_cast<std::uint8_t>(200 + rng() % 56);
    for (int y = wy; y < wy + wh; ++y)
      for (int x = wx; x < wx + ww; ++x) {
        const bool border = x == wx || y == wy || x == wx + ww - 1 || y == wy + wh - 1;
        const bool title = y < wy + 24;
        if (border) put(x, y, 40, 40, 40);
        else if (title) put(x, y, 45, 110, 190);
        else put(x, y, shade, shade, shade);
      }
    // Text: 5 × 7 glyphs on a 7-pixel pitch, words of 2 to 8 letters, lines
    // 24 pixels apart.
    for (int line = wy + 34; line + 8 < wy + wh; line += 24) {
      int gx = wx + 8;
      while (gx + 60 < wx + ww) {
        const int letters = 2 + static_cast<int>(rng() % 7);
        for (int l = 0; l < letters; ++l, gx += 7) {
          // Strokes of a seven-segment cell: one-pixel lines, like small text.
          const std::uint32_t segments = static_cast<std::uint32_t>(rng()) | 1u;
          for (int k = 0; k < 5; ++k) {
            if (segments & 1u) put(gx + k, line, 20, 20, 20);
            if (segments & 2u) put(gx + k, line + 3, 20, 20, 20);
            if (segments & 4u) put(gx + k, line + 6, 20, 20, 20);
          }
          for (int k = 0; k < 3; ++k) {
            if (segments & 8u) put(gx, line + k, 20, 20, 20);
            if (segments & 16u) put(gx + 4, line + k, 20, 20, 20);
            if (segments & 32u) put(gx, line + 4 + k, 20, 20, 20);
            if (segments & 64u) put(gx + 4, line + 4 + k, 20, 20, 20);
          }
        }
        gx += 7;
      }
    }
  }
  return f;
}

}  // namespace vl::test
