#include "service_support.h"

#include <cstring>

#include "log/helpers.h"
#include "support/test_support.h"

namespace vl::test {

bool FakeFrameSource::open(const CaptureRegion& region) {
  ++opens;
  lastOpened = region;
  openedRect = resolve(region);
  ready = !failOpen;
  return ready;
}

void FakeFrameSource::close() {
  ++closes;
  kept = nullptr;
  ready = false;
}

bool FakeFrameSource::capture(PixelFrame& out) {
  ++captureAttempts;
  if (!ready || failCapture) return false;
  ++captures;
  if (!still) ++counter;
  out.setSize(width, height);
  std::uint32_t noise = counter * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* p = out.pixels.data() + static_cast<std::size_t>(y) * width * 4;
    for (int x = 0; x < width; ++x, p += 4) {
      if (noisy) {
        noise = noise * 1664525u + 1013904223u;
        p[0] = static_cast<std::uint8_t>(noise >> 24);
        p[1] = static_cast<std::uint8_t>(noise >> 16);
        p[2] = static_cast<std::uint8_t>(noise >> 8);
      } else {
        // A gradient that moves with the counter: every sample changes.
        p[0] = static_cast<std::uint8_t>(x + counter);
        p[1] = static_cast<std::uint8_t>(y + counter * 3);
        p[2] = static_cast<std::uint8_t>(counter * 7);
      }
      p[3] = 255;
    }
  }
  return true;
}

void FakeFrameSource::paint(const PixelRect& r, std::uint32_t rgb) {
  if (screen.width != width || screen.height != height) {
    // The first picture: a gradient, so that scaling has something to blend.
    screen.setSize(width, height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        std::uint8_t* p = &screen.pixels[(static_cast<std::size_t>(y) * width + x) * 4];
        p[0] = static_cast<std::uint8_t>(x * 3);
        p[1] = static_cast<std::uint8_t>(y * 5);
        p[2] = static_cast<std::uint8_t>(x ^ y);
        p[3] = 255;
      }
  }
  FrameDamage clip;
  clip.setNone();
  clip.add(r, width, height);
  for (const PixelRect& c : clip.rects) {
    for (int y = c.y; y < c.y + c.height; ++y)
      for (int x = c.x; x < c.x + c.width; ++x) {
        std::uint8_t* p = &screen.pixels[(static_cast<std::size_t>(y) * width + x) * 4];
        p[0] = static_cast<std::uint8_t>(rgb >> 16);
        p[1] = static_cast<std::uint8_t>(rgb >> 8);
        p[2] = static_cast<std::uint8_t>(rgb);
      }
    painted.push_back(c);
  }
}

bool FakeFrameSource::update(PixelFrame& out, FrameDamage& damage) {
  if (!reportsDamage) return FrameSource::update(out, damage);
  ++captureAttempts;
  damage.setWhole();
  if (!ready || failCapture) return false;
  if (screen.width != width) paint(PixelRect{}, 0);
  if (kept != &out || out.width != width || out.height != height || reportsWhole) {
    if (kept == &out && painted.empty()) {
      damage.setNone();
      return true;
    }
    ++captures;
    out = screen;
    kept = &out;
    painted.clear();
    return true;
  }
  damage.setNone();
  for (const PixelRect& r : painted) {
    ++areaCopies;
    for (int y = r.y; y < r.y + r.height; ++y)
      std::memcpy(&out.pixels[(static_cast<std::size_t>(y) * width + r.x) * 4],
                  &screen.pixels[(static_cast<std::size_t>(y) * width + r.x) * 4], static_cast<std::size_t>(r.width) * 4);
    damage.add(r, width, height);
  }
  painted.clear();
  return true;
}

bool FakeFrameSource::updateView(PixelFrame& out, FrameDamage& damage, PixelView& view) {
  if (!viewsInPlace) return FrameSource::updateView(out, damage, view);
  view = PixelView{};
  if (!update(ownKept, damage)) return false;
  const std::size_t stride = static_cast<std::size_t>(width) * 4u + 12u;
  ownRows.resize(stride * static_cast<std::size_t>(height));
  const auto put = [&](const PixelRect& r) {
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x) {
        const std::uint8_t* p = &ownKept.pixels[(static_cast<std::size_t>(y) * width + x) * 4];
        std::uint8_t* q = &ownRows[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4];
        q[0] = p[2];
        q[1] = p[1];
        q[2] = p[0];
        q[3] = static_cast<std::uint8_t>(x * 31 + y);
      }
  };
  if (damage.whole) {
    put(PixelRect{0, 0, width, height});
  } else {
    for (const PixelRect& r : damage.rects) put(r);
  }
  view = PixelView{ownRows.data(), stride, width, height, true};
  return true;
}

MonitorInfo FakeFrameSource::resolve(const CaptureRegion& region) {
  if (region.mode != kRegionModeMonitor) return MonitorInfo{region.x, region.y, region.width, region.height, false, {}};
  if (monitors.empty()) return firstMonitor();
  const auto index = static_cast<std::size_t>(region.monitorIndex);
  return index < monitors.size() ? monitors[index] : monitors.front();
}

MonitorInfo FakeFrameSource::firstMonitor() {
  return monitors.empty() ? MonitorInfo{0, 0, width, height, true, {}} : monitors.front();
}

// --- RecordingInjector --------------------------------------------------------

namespace {
std::string at(float u, float v, const MonitorInfo& r) {
  return formatString("%.3f %.3f @%dx%d%+d%+d", static_cast<double>(u), static_cast<double>(v), r.width, r.height,
                      r.x, r.y);
}
}  // namespace

void RecordingInjector::moveTo(float u, float v, const MonitorInfo& rect) { calls.push_back("move " + at(u, v, rect)); }
void RecordingInjector::mouseButton(int button, bool down) {
  calls.push_back(formatString("button %d %s", button, down ? "down" : "up"));
}
void RecordingInjector::click(float u, float v, const MonitorInfo& rect, int button) {
  calls.push_back(formatString("click %d ", button) + at(u, v, rect));
}
void RecordingInjector::doubleClick(float u, float v, const MonitorInfo& rect, int button) {
  calls.push_back(formatString("dbl %d ", button) + at(u, v, rect));
}
void RecordingInjector::wheel(int notches, bool ctrl) {
  calls.push_back(formatString("wheel %d%s", notches, ctrl ? " ctrl" : ""));
}
void RecordingInjector::keyEvent(unsigned vk, bool down) {
  calls.push_back(formatString("key 0x%02X %s", vk, down ? "down" : "up"));
}
void RecordingInjector::pressKey(unsigned vk) { calls.push_back(formatString("press 0x%02X", vk)); }
void RecordingInjector::typeText(std::string_view utf8) { calls.push_back("text " + std::string(utf8)); }

// --- TestViewer -----------------------------------------------------------------

bool TestViewer::connect(std::uint16_t port) {
  if (!client_.startConnect("127.0.0.1", port)) return false;
  for (int elapsed = 0; elapsed <= 5000; elapsed += 5) {
    const int r = client_.pollConnect(elapsed, 5000);
    if (r == 1) return true;
    if (r < 0) return false;
    sleepMs(5);
  }
  return false;
}

bool TestViewer::sendText(const std::string& text) {
  std::vector<std::uint8_t> frame;
  net::appendFrame(frame, net::FrameKind::Text, text.data(), text.size());
  return client_.sendAll(frame.data(), frame.size()) == static_cast<std::int64_t>(frame.size());
}

bool TestViewer::sendBinary(const std::string& bytes) {
  std::vector<std::uint8_t> frame;
  net::appendFrame(frame, net::FrameKind::Binary, bytes.data(), bytes.size());
  return client_.sendAll(frame.data(), frame.size()) == static_cast<std::int64_t>(frame.size());
}

bool TestViewer::sendBytes(const void* data, std::size_t size) {
  return client_.sendAll(data, size) == static_cast<std::int64_t>(size);
}

void TestViewer::receive(int waitMs) {
  for (int wait = waitMs;; wait = 0) {
    const int n = client_.receive(buffer_.data(), static_cast<int>(buffer_.size()), wait);
    if (n <= 0) break;
    decoder_.append(buffer_.data(), static_cast<std::size_t>(n));
    net::FrameView view;
    while (decoder_.next(view) == net::DecodeStatus::Frame) {
      ReceivedFrame f;
      f.kind = view.kind;
      if (view.length > 0) f.payload.assign(view.payload, view.payload + view.length);
      frames_.push_back(std::move(f));
    }
    decoder_.discardDelivered();
  }
}

int TestViewer::binaryCount() const {
  int n = 0;
  for (const auto& f : frames_) n += f.kind == net::FrameKind::Binary ? 1 : 0;
  return n;
}

std::string TestViewer::takeText() {
  for (auto it = frames_.begin(); it != frames_.end(); ++it) {
    if (it->kind == net::FrameKind::Text) {
      std::string text(it->payload.begin(), it->payload.end());
      frames_.erase(it);
      return text;
    }
  }
  return {};
}

std::uint16_t startOnFreePort(EchoService& service) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const auto port = static_cast<std::uint16_t>(20000 + random64() % 30000);
    if (service.start(port)) return port;
  }
  return 0;
}

}  // namespace vl::test
