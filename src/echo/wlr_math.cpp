#include "echo/wlr_math.h"

#include <algorithm>
#include <cmath>

#include "echo/input_injector.h"
#include "echo/pixel_convert.h"

namespace vl::wlr {

namespace {

constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 | static_cast<std::uint32_t>(c) << 16 |
         static_cast<std::uint32_t>(d) << 24;
}

}  // namespace

ShmLayout shmLayout(std::uint32_t format) {
  // wl_shm's two required formats are 0 and 1; the rest are DRM fourcc
  // codes. All are little-endian words: XRGB8888 is B, G, R, X in memory.
  switch (format) {
    case 0:  // ARGB8888
    case 1:  // XRGB8888
      return {true, 2, 1, 0};
    case fourcc('X', 'B', '2', '4'):
    case fourcc('A', 'B', '2', '4'):
      return {true, 0, 1, 2};
    case fourcc('R', 'X', '2', '4'):
    case fourcc('R', 'A', '2', '4'):
      return {true, 3, 2, 1};
    case fourcc('B', 'X', '2', '4'):
    case fourcc('B', 'A', '2', '4'):
      return {true, 1, 2, 3};
    default:
      return {};
  }
}

void copyShmArea(const std::uint8_t* shm, std::size_t stride, std::int32_t bufferHeight, const ShmLayout& layout,
                 bool yInvert, const PixelRect& area, PixelFrame& dst, std::int32_t dstX, std::int32_t dstY) {
  const std::size_t dstStride = static_cast<std::size_t>(dst.width) * 4u;
  const bool bgrx = layout.r == 2 && layout.g == 1 && layout.b == 0;
  for (std::int32_t row = 0; row < area.height; ++row) {
    const std::int32_t y = area.y + row;
    const std::int32_t memoryRow = yInvert ? bufferHeight - 1 - y : y;
    const std::uint8_t* s = shm + static_cast<std::size_t>(memoryRow) * stride + static_cast<std::size_t>(area.x) * 4u;
    std::uint8_t* d = dst.pixels.data() + static_cast<std::size_t>(dstY + row) * dstStride +
                      static_cast<std::size_t>(dstX) * 4u;
    if (bgrx) {
      convertBgrxToRgba(s, stride, d, dstStride, area.width, 1);
      continue;
    }
    for (std::int32_t i = 0; i < area.width; ++i, s += 4, d += 4) {
      d[0] = s[layout.r];
      d[1] = s[layout.g];
      d[2] = s[layout.b];
      d[3] = 255;
    }
  }
}

PixelRect bufferArea(const MonitorInfo& rect, const MonitorInfo& output, std::int32_t bufferWidth,
                     std::int32_t bufferHeight) {
  if (output.width < 1 || output.height < 1 || bufferWidth < 1 || bufferHeight < 1) return {};
  const std::int64_t x0 = std::max(rect.x, output.x) - static_cast<std::int64_t>(output.x);
  const std::int64_t y0 = std::max(rect.y, output.y) - static_cast<std::int64_t>(output.y);
  const std::int64_t x1 = std::min<std::int64_t>(static_cast<std::int64_t>(rect.x) + rect.width,
                                                 static_cast<std::int64_t>(output.x) + output.width) - output.x;
  const std::int64_t y1 = std::min<std::int64_t>(static_cast<std::int64_t>(rect.y) + rect.height,
                                                 static_cast<std::int64_t>(output.y) + output.height) - output.y;
  if (x1 <= x0 || y1 <= y0) return {};
  // Layout to buffer pixels (equal unless the output is scaled).
  const auto sx = [&](std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v * bufferWidth / output.width, 0, bufferWidth));
  };
  const auto sy = [&](std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v * bufferHeight / output.height, 0, bufferHeight));
  };
  const PixelRect r{sx(x0), sy(y0), sx(x1) - sx(x0), sy(y1) - sy(y0)};
  return r.width > 0 && r.height > 0 ? r : PixelRect{};
}

void addBufferDamage(const PixelRect& box, const PixelRect& crop, FrameDamage& damage) {
  damage.add({box.x - crop.x, box.y - crop.y, box.width, box.height}, crop.width, crop.height);
}

int outputUnder(const MonitorInfo& rect, const std::vector<MonitorInfo>& outputs) {
  if (outputs.empty()) return -1;
  const std::int64_t cx = static_cast<std::int64_t>(rect.x) + rect.width / 2;
  const std::int64_t cy = static_cast<std::int64_t>(rect.y) + rect.height / 2;
  int best = 0;
  std::int64_t bestArea = 0;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const MonitorInfo& o = outputs[i];
    if (cx >= o.x && cx < static_cast<std::int64_t>(o.x) + o.width && cy >= o.y &&
        cy < static_cast<std::int64_t>(o.y) + o.height)
      return static_cast<int>(i);
    const std::int64_t w = std::min<std::int64_t>(static_cast<std::int64_t>(rect.x) + rect.width,
                                                   static_cast<std::int64_t>(o.x) + o.width) -
                            std::max(rect.x, o.x);
    const std::int64_t h = std::min<std::int64_t>(static_cast<std::int64_t>(rect.y) + rect.height,
                                                   static_cast<std::int64_t>(o.y) + o.height) -
                            std::max(rect.y, o.y);
    if (w > 0 && h > 0 && w * h > bestArea) {
      bestArea = w * h;
      best = static_cast<int>(i);
    }
  }
  return best;
}

LayoutPosition layoutPosition(float u, float v, const MonitorInfo& rect, const DesktopMetrics& desktop) {
  if (desktop.virtualWidth < 1 || desktop.virtualHeight < 1) return {};
  const DesktopPixel p = mapToDesktopPixel(u, v, rect, desktop.virtualX, desktop.virtualY);
  // The compositor places x / xExtent across the layout box, so the last
  // column is extent − 1 (u = 1 lands on the picture's edge, not past it).
  LayoutPosition out;
  out.ok = true;
  out.x = static_cast<std::uint32_t>(std::clamp<std::int64_t>(p.x, 0, desktop.virtualWidth - 1));
  out.y = static_cast<std::uint32_t>(std::clamp<std::int64_t>(p.y, 0, desktop.virtualHeight - 1));
  out.xExtent = static_cast<std::uint32_t>(desktop.virtualWidth);
  out.yExtent = static_cast<std::uint32_t>(desktop.virtualHeight);
  return out;
}

DesktopMetrics layoutMetrics(const std::vector<MonitorInfo>& outputs) {
  DesktopMetrics d;
  if (outputs.empty()) return d;
  std::int64_t x0 = outputs.front().x, y0 = outputs.front().y;
  std::int64_t x1 = x0 + outputs.front().width, y1 = y0 + outputs.front().height;
  for (const MonitorInfo& o : outputs) {
    x0 = std::min<std::int64_t>(x0, o.x);
    y0 = std::min<std::int64_t>(y0, o.y);
    x1 = std::max<std::int64_t>(x1, static_cast<std::int64_t>(o.x) + o.width);
    y1 = std::max<std::int64_t>(y1, static_cast<std::int64_t>(o.y) + o.height);
  }
  d.virtualX = static_cast<std::int32_t>(x0);
  d.virtualY = static_cast<std::int32_t>(y0);
  d.virtualWidth = static_cast<std::int32_t>(x1 - x0);
  d.virtualHeight = static_cast<std::int32_t>(y1 - y0);
  d.screenWidth = outputs.front().width;
  d.screenHeight = outputs.front().height;
  return d;
}

}  // namespace vl::wlr
