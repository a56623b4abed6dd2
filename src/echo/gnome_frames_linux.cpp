#include "echo/gnome_frames_linux.h"

#include <spa/param/video/raw.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "echo/pixel_convert.h"

namespace vl::gnome {

PixelLayout layoutForSpaFormat(std::uint32_t spaFormat) {
  switch (spaFormat) {
    case SPA_VIDEO_FORMAT_BGRx: return PixelLayout::Bgrx;
    case SPA_VIDEO_FORMAT_BGRA: return PixelLayout::Bgra;
    case SPA_VIDEO_FORMAT_RGBx: return PixelLayout::Rgbx;
    case SPA_VIDEO_FORMAT_RGBA: return PixelLayout::Rgba;
    case SPA_VIDEO_FORMAT_xRGB: return PixelLayout::Xrgb;
    case SPA_VIDEO_FORMAT_ARGB: return PixelLayout::Argb;
    case SPA_VIDEO_FORMAT_xBGR: return PixelLayout::Xbgr;
    case SPA_VIDEO_FORMAT_ABGR: return PixelLayout::Abgr;
    default: return PixelLayout::Unknown;
  }
}

namespace {

// Byte offsets of R, G, B and alpha (−1: none) in a pixel of the layout.
struct Offsets {
  int r, g, b, a;
};

bool offsetsFor(PixelLayout layout, Offsets& o) {
  switch (layout) {
    case PixelLayout::Bgrx: o = {2, 1, 0, -1}; return true;
    case PixelLayout::Bgra: o = {2, 1, 0, 3}; return true;
    case PixelLayout::Rgbx: o = {0, 1, 2, -1}; return true;
    case PixelLayout::Rgba: o = {0, 1, 2, 3}; return true;
    case PixelLayout::Xrgb: o = {1, 2, 3, -1}; return true;
    case PixelLayout::Argb: o = {1, 2, 3, 0}; return true;
    case PixelLayout::Xbgr: o = {3, 2, 1, -1}; return true;
    case PixelLayout::Abgr: o = {3, 2, 1, 0}; return true;
    default: return false;
  }
}

// Whether `size` bytes hold `rows` rows of `rowBytes` starting at `first`
// with `stride` between them.
bool fits(std::size_t size, std::size_t stride, std::size_t first, std::size_t rows, std::size_t rowBytes) {
  if (rows == 0) return true;
  const std::size_t last = first + (rows - 1) * stride + rowBytes;
  return last <= size && last >= first;
}

}  // namespace

bool convertStreamPixels(const std::uint8_t* data, std::size_t size, std::size_t stride, std::int32_t width,
                         std::int32_t height, PixelLayout layout, const PixelRect& crop, PixelFrame& out) {
  Offsets o{};
  if (data == nullptr || !offsetsFor(layout, o)) return false;
  if (crop.x < 0 || crop.y < 0 || crop.width < 1 || crop.height < 1 || crop.x + crop.width > width ||
      crop.y + crop.height > height || stride < static_cast<std::size_t>(width) * 4u)
    return false;
  const std::size_t first = static_cast<std::size_t>(crop.y) * stride + static_cast<std::size_t>(crop.x) * 4u;
  if (!fits(size, stride, first, static_cast<std::size_t>(crop.height), static_cast<std::size_t>(crop.width) * 4u))
    return false;
  out.setSize(crop.width, crop.height);
  const std::size_t outStride = static_cast<std::size_t>(crop.width) * 4u;
  if (layout == PixelLayout::Bgrx || layout == PixelLayout::Bgra) {
    // mutter's usual layout: the vectorised path.
    convertBgrxToRgba(data + first, stride, out.pixels.data(), outStride, crop.width, crop.height);
    return true;
  }
  for (std::int32_t y = 0; y < crop.height; ++y) {
    const std::uint8_t* s = data + first + static_cast<std::size_t>(y) * stride;
    std::uint8_t* d = out.pixels.data() + static_cast<std::size_t>(y) * outStride;
    for (std::int32_t x = 0; x < crop.width; ++x, s += 4, d += 4) {
      d[0] = s[o.r];
      d[1] = s[o.g];
      d[2] = s[o.b];
      d[3] = 255;
    }
  }
  return true;
}

BufferKind classifyBuffer(std::uint32_t chunkFlags, std::uint32_t chunkSize, bool hasCursor) {
  constexpr std::uint32_t kCorrupted = 1u;  // SPA_CHUNK_FLAG_CORRUPTED
  if ((chunkFlags & kCorrupted) == 0 && chunkSize > 0) return BufferKind::Picture;
  return hasCursor ? BufferKind::CursorOnly : BufferKind::Empty;
}

bool convertCursorBitmap(const std::uint8_t* data, std::size_t size, std::size_t stride, std::int32_t width,
                         std::int32_t height, PixelLayout layout, CursorImage& out) {
  Offsets o{};
  if (data == nullptr || !offsetsFor(layout, o) || width < 0 || height < 0) return false;
  if (width > 0 && stride < static_cast<std::size_t>(width) * 4u) return false;
  if (!fits(size, stride, 0, static_cast<std::size_t>(height), static_cast<std::size_t>(width) * 4u)) return false;
  out.width = width;
  out.height = height;
  out.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4u);
  std::uint8_t* d = out.pixels.data();
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* s = data + static_cast<std::size_t>(y) * stride;
    for (std::int32_t x = 0; x < width; ++x, s += 4, d += 4) {
      d[0] = s[o.r];
      d[1] = s[o.g];
      d[2] = s[o.b];
      d[3] = o.a < 0 ? 255 : s[o.a];
    }
  }
  return true;
}

namespace {

// The current mode's size of the physical monitor with that connector.
bool currentModeSize(GVariant* monitors, const char* connector, std::int32_t& width, std::int32_t& height) {
  GVariantIter iter;
  g_variant_iter_init(&iter, monitors);
  GVariant* monitor = nullptr;
  bool found = false;
  while (!found && (monitor = g_variant_iter_next_value(&iter)) != nullptr) {
    GVariant* identity = g_variant_get_child_value(monitor, 0);
    const gchar* name = nullptr;
    g_variant_get_child(identity, 0, "&s", &name);
    if (name != nullptr && std::strcmp(name, connector) == 0) {
      GVariant* modes = g_variant_get_child_value(monitor, 1);
      GVariantIter modeIter;
      g_variant_iter_init(&modeIter, modes);
      GVariant* mode = nullptr;
      while (!found && (mode = g_variant_iter_next_value(&modeIter)) != nullptr) {
        gint32 w = 0, h = 0;
        g_variant_get_child(mode, 1, "i", &w);
        g_variant_get_child(mode, 2, "i", &h);
        GVariant* props = g_variant_get_child_value(mode, 6);
        gboolean current = FALSE;
        if (g_variant_lookup(props, "is-current", "b", &current) && current) {
          width = w;
          height = h;
          found = true;
        }
        g_variant_unref(props);
        g_variant_unref(mode);
      }
      g_variant_unref(modes);
    }
    g_variant_unref(identity);
    g_variant_unref(monitor);
  }
  return found;
}

}  // namespace

bool parseDisplayState(GVariant* state, std::vector<GnomeMonitor>& out) {
  out.clear();
  static const GVariantType* kType =
      G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
  if (state == nullptr || !g_variant_is_of_type(state, kType)) return false;
  GVariant* monitors = g_variant_get_child_value(state, 1);
  GVariant* logical = g_variant_get_child_value(state, 2);
  GVariant* props = g_variant_get_child_value(state, 3);
  guint32 layoutMode = 1;  // logical unless told otherwise
  g_variant_lookup(props, "layout-mode", "u", &layoutMode);

  GVariantIter iter;
  g_variant_iter_init(&iter, logical);
  GVariant* lm = nullptr;
  while ((lm = g_variant_iter_next_value(&iter)) != nullptr) {
    gint32 x = 0, y = 0;
    gdouble scale = 1.0;
    guint32 transform = 0;
    gboolean primary = FALSE;
    g_variant_get_child(lm, 0, "i", &x);
    g_variant_get_child(lm, 1, "i", &y);
    g_variant_get_child(lm, 2, "d", &scale);
    g_variant_get_child(lm, 3, "u", &transform);
    g_variant_get_child(lm, 4, "b", &primary);
    GVariant* members = g_variant_get_child_value(lm, 5);
    if (g_variant_n_children(members) > 0) {
      GVariant* first = g_variant_get_child_value(members, 0);
      const gchar* connector = nullptr;
      g_variant_get_child(first, 0, "&s", &connector);
      std::int32_t w = 0, h = 0;
      if (connector != nullptr && currentModeSize(monitors, connector, w, h)) {
        if (transform % 2 == 1) std::swap(w, h);  // 90° and 270°, flipped or not
        if (layoutMode == 1 && scale > 0) {
          w = static_cast<std::int32_t>(std::lround(w / scale));
          h = static_cast<std::int32_t>(std::lround(h / scale));
        }
        GnomeMonitor m;
        m.connector = connector;
        m.info.x = x;
        m.info.y = y;
        m.info.width = w;
        m.info.height = h;
        m.info.primary = primary != FALSE;
        m.info.name = connector;
        if (w > 0 && h > 0) out.push_back(std::move(m));
      }
      g_variant_unref(first);
    }
    g_variant_unref(members);
    g_variant_unref(lm);
  }
  g_variant_unref(props);
  g_variant_unref(logical);
  g_variant_unref(monitors);
  std::stable_sort(out.begin(), out.end(), [](const GnomeMonitor& a, const GnomeMonitor& b) {
    if (a.info.primary != b.info.primary) return a.info.primary;
    if (a.info.x != b.info.x) return a.info.x < b.info.x;
    return a.info.y < b.info.y;
  });
  return true;
}

DesktopMetrics metricsFor(const std::vector<GnomeMonitor>& monitors) {
  DesktopMetrics d;
  if (monitors.empty()) return d;
  std::int64_t left = std::numeric_limits<std::int32_t>::max(), top = left;
  std::int64_t right = std::numeric_limits<std::int32_t>::min(), bottom = right;
  for (const GnomeMonitor& m : monitors) {
    left = std::min<std::int64_t>(left, m.info.x);
    top = std::min<std::int64_t>(top, m.info.y);
    right = std::max<std::int64_t>(right, static_cast<std::int64_t>(m.info.x) + m.info.width);
    bottom = std::max<std::int64_t>(bottom, static_cast<std::int64_t>(m.info.y) + m.info.height);
  }
  d.virtualX = static_cast<std::int32_t>(left);
  d.virtualY = static_cast<std::int32_t>(top);
  d.virtualWidth = static_cast<std::int32_t>(right - left);
  d.virtualHeight = static_cast<std::int32_t>(bottom - top);
  const GnomeMonitor& primary = monitors.front();  // sorted primary first
  d.screenWidth = primary.info.width;
  d.screenHeight = primary.info.height;
  return d;
}

namespace {

// Squared distance from (x, y) to the monitor's rectangle (0 inside).
double distance2(double x, double y, const MonitorInfo& m) {
  const double dx = x < m.x ? m.x - x : (x >= m.x + m.width ? x - (m.x + m.width - 1) : 0);
  const double dy = y < m.y ? m.y - y : (y >= m.y + m.height ? y - (m.y + m.height - 1) : 0);
  return dx * dx + dy * dy;
}

int monitorAt(double x, double y, const std::vector<GnomeMonitor>& monitors) {
  int best = -1;
  double bestDistance = 0;
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    const double d = distance2(x, y, monitors[i].info);
    if (best < 0 || d < bestDistance) {
      best = static_cast<int>(i);
      bestDistance = d;
    }
  }
  return best;
}

}  // namespace

StreamPoint streamPointFor(float u, float v, const MonitorInfo& rect, const std::vector<GnomeMonitor>& monitors) {
  StreamPoint p;
  u = std::clamp(u, 0.0f, 1.0f);
  v = std::clamp(v, 0.0f, 1.0f);
  // The same pixel the X11 and Windows paths pick (the product cut toward
  // zero), kept inside the rectangle: u = 1 must not reach the monitor on
  // the right.
  const std::int64_t w = std::max(rect.width, 1), h = std::max(rect.height, 1);
  const double px = rect.x + std::min<std::int64_t>(static_cast<std::int64_t>(static_cast<float>(w) * u), w - 1);
  const double py = rect.y + std::min<std::int64_t>(static_cast<std::int64_t>(static_cast<float>(h) * v), h - 1);
  p.index = monitorAt(px, py, monitors);
  if (p.index < 0) return p;
  const MonitorInfo& m = monitors[static_cast<std::size_t>(p.index)].info;
  p.x = std::clamp(px - m.x, 0.0, static_cast<double>(std::max(m.width - 1, 0)));
  p.y = std::clamp(py - m.y, 0.0, static_cast<double>(std::max(m.height - 1, 0)));
  return p;
}

int monitorUnder(const MonitorInfo& rect, const std::vector<GnomeMonitor>& monitors) {
  return monitorAt(rect.x + rect.width / 2.0, rect.y + rect.height / 2.0, monitors);
}

}  // namespace vl::gnome
