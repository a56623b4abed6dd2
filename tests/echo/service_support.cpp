#include "service_support.h"

#include <cstdio>

#include "log/helpers.h"
#include "support/test_support.h"

namespace vl::test {

// --- FakeFrameSource ----------------------------------------------------------

bool FakeFrameSource::open(const CaptureRegion& region) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++opens_;
  lastOpened_ = region;
  ready_ = !failOpen_;
  return ready_;
}

void FakeFrameSource::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++closes_;
  ready_ = false;
}

bool FakeFrameSource::isReady() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready_;
}

bool FakeFrameSource::capture(PixelFrame& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ready_) return false;
  ++captures_;
  if (!static_) ++counter_;
  out.setSize(width_, height_);
  std::uint32_t noise = counter_ * 2654435761u + 1;
  for (int y = 0; y < height_; ++y) {
    std::uint8_t* row = out.pixels.data() + static_cast<std::size_t>(y) * width_ * 4;
    for (int x = 0; x < width_; ++x) {
      std::uint8_t* p = row + static_cast<std::size_t>(x) * 4;
      if (noisy_) {
        noise = noise * 1664525u + 1013904223u;
        p[0] = static_cast<std::uint8_t>(noise >> 24);
        p[1] = static_cast<std::uint8_t>(noise >> 16);
        p[2] = static_cast<std::uint8_t>(noise >> 8);
      } else {
        // A gradient that moves with the counter: every sample changes.
        p[0] = static_cast<std::uint8_t>(x + counter_);
        p[1] = static_cast<std::uint8_t>(y + counter_ * 3);
        p[2] = static_cast<std::uint8_t>(counter_ * 7);
      }
      p[3] = 255;
    }
  }
  return true;
}

MonitorInfo FakeFrameSource::resolve(const CaptureRegion& region) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (region.mode != kRegionModeMonitor) {
    MonitorInfo m;
    m.x = region.x;
    m.y = region.y;
    m.width = region.width;
    m.height = region.height;
    m.name = "自定义区域";
    return m;
  }
  if (monitors_.empty()) {
    MonitorInfo m;
    m.width = width_;
    m.height = height_;
    m.primary = true;
    return m;
  }
  const auto index = static_cast<std::size_t>(region.monitorIndex);
  return index < monitors_.size() ? monitors_[index] : monitors_.front();
}

MonitorInfo FakeFrameSource::firstMonitor() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!monitors_.empty()) return monitors_.front();
  MonitorInfo m;
  m.width = width_;
  m.height = height_;
  return m;
}

void FakeFrameSource::setStatic(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  static_ = value;
}

void FakeFrameSource::setSize(int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  width_ = width;
  height_ = height;
}

void FakeFrameSource::setNoisy(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  noisy_ = value;
}

void FakeFrameSource::setFailOpen(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  failOpen_ = value;
}

void FakeFrameSource::setMonitors(std::vector<MonitorInfo> monitors) {
  std::lock_guard<std::mutex> lock(mutex_);
  monitors_ = std::move(monitors);
}

int FakeFrameSource::opens() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

int FakeFrameSource::closes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closes_;
}

int FakeFrameSource::captures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return captures_;
}

CaptureRegion FakeFrameSource::lastOpened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastOpened_;
}

// --- RecordingInjector --------------------------------------------------------

std::string describeRect(const MonitorInfo& r) {
  return formatString("%dx%d%+d%+d", r.width, r.height, r.x, r.y);
}

void RecordingInjector::add(std::string call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(std::move(call));
}

void RecordingInjector::moveTo(float u, float v, const MonitorInfo& rect) {
  add(formatString("move %.3f %.3f @%s", static_cast<double>(u), static_cast<double>(v), describeRect(rect).c_str()));
}

void RecordingInjector::mouseButton(int button, bool down) {
  add(formatString("button %d %s", button, down ? "down" : "up"));
}

void RecordingInjector::click(float u, float v, const MonitorInfo& rect, int button) {
  add(formatString("click %d %.3f %.3f @%s", button, static_cast<double>(u), static_cast<double>(v),
                   describeRect(rect).c_str()));
}

void RecordingInjector::doubleClick(float u, float v, const MonitorInfo& rect, int button) {
  add(formatString("dbl %d %.3f %.3f @%s", button, static_cast<double>(u), static_cast<double>(v),
                   describeRect(rect).c_str()));
}

void RecordingInjector::wheel(int notches, bool ctrl) { add(formatString("wheel %d%s", notches, ctrl ? " ctrl" : "")); }

void RecordingInjector::keyEvent(unsigned vk, bool down) {
  add(formatString("key 0x%02X %s", vk, down ? "down" : "up"));
}

void RecordingInjector::pressKey(unsigned vk) { add(formatString("press 0x%02X", vk)); }

void RecordingInjector::typeText(std::string_view utf8) { add("text " + std::string(utf8)); }

std::vector<std::string> RecordingInjector::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void RecordingInjector::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

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

void TestViewer::receive(int waitMs) {
  int wait = waitMs;
  for (;;) {
    const int n = client_.receive(buffer_.data(), static_cast<int>(buffer_.size()), wait);
    if (n <= 0) break;
    wait = 0;
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
  for (const auto& f : frames_)
    if (f.kind == net::FrameKind::Binary) ++n;
  return n;
}

std::string TestViewer::takeText() {
  for (auto it = frames_.begin(); it != frames_.end(); ++it) {
    if (it->kind == net::FrameKind::Text) {
      std::string text = it->text();
      frames_.erase(it);
      return text;
    }
  }
  return {};
}

// --- misc -------------------------------------------------------------------------

std::uint16_t startOnFreePort(EchoService& service) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const auto port = static_cast<std::uint16_t>(20000 + random64() % 30000);
    if (service.start(port)) return port;
  }
  return 0;
}

bool jpegSize(const std::vector<std::uint8_t>& jpeg, int& width, int& height) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
  std::size_t i = 2;
  while (i + 4 <= jpeg.size()) {
    if (jpeg[i] != 0xFF) return false;
    const std::uint8_t marker = jpeg[i + 1];
    const std::size_t length = (static_cast<std::size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3];
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof) {
      if (i + 9 > jpeg.size()) return false;
      height = (jpeg[i + 5] << 8) | jpeg[i + 6];
      width = (jpeg[i + 7] << 8) | jpeg[i + 8];
      return true;
    }
    i += 2 + length;
  }
  return false;
}

}  // namespace vl::test
