// Helpers for the echo service tests: a frame source fed by the test, an
// injector that records calls, and a blocking-free viewer over loopback.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "echo/echo_service.h"
#include "echo/frame_source.h"
#include "echo/input_injector.h"
#include "net/client.h"
#include "net/frame.h"

namespace vl::test {

// Frames of a fixed size; the content changes at every capture unless the
// test makes it static. Safe to use from the thread that pumps.
class FakeFrameSource final : public FrameSource {
 public:
  FakeFrameSource(int width, int height) : width_(width), height_(height) {}

  bool open(const CaptureRegion& region) override;
  void close() override;
  bool isReady() const override;
  bool capture(PixelFrame& out) override;
  MonitorInfo resolve(const CaptureRegion& region) override;
  MonitorInfo firstMonitor() override;

  // Test side.
  void setStatic(bool value);
  void setSize(int width, int height);
  // Fills every pixel with noise so JPEG files come out large.
  void setNoisy(bool value);
  void setFailOpen(bool value);
  void setMonitors(std::vector<MonitorInfo> monitors);
  int opens() const;
  int closes() const;
  int captures() const;
  CaptureRegion lastOpened() const;

 private:
  mutable std::mutex mutex_;
  int width_;
  int height_;
  bool static_ = false;
  bool noisy_ = false;
  bool failOpen_ = false;
  bool ready_ = false;
  int opens_ = 0;
  int closes_ = 0;
  int captures_ = 0;
  std::uint32_t counter_ = 0;
  CaptureRegion lastOpened_;
  std::vector<MonitorInfo> monitors_;
};

// Records the high-level calls as short strings, e.g. "move 0.500 0.250
// @1920x1080+0+0", "button 1 down", "key 0x10 up", "wheel -2 ctrl",
// "text abc", "click 0 ...".
class RecordingInjector final : public InputInjector {
 public:
  void moveTo(float u, float v, const MonitorInfo& rect) override;
  void mouseButton(int button, bool down) override;
  void click(float u, float v, const MonitorInfo& rect, int button) override;
  void doubleClick(float u, float v, const MonitorInfo& rect, int button) override;
  void wheel(int notches, bool ctrl) override;
  void keyEvent(unsigned vk, bool down) override;
  void pressKey(unsigned vk) override;
  void typeText(std::string_view utf8) override;

  std::vector<std::string> calls() const;
  void clear();

 private:
  void add(std::string call);
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

std::string describeRect(const MonitorInfo& rect);

struct ReceivedFrame {
  net::FrameKind kind = net::FrameKind::Text;
  std::vector<std::uint8_t> payload;
  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// A viewer on 127.0.0.1. receive() never waits longer than asked.
class TestViewer {
 public:
  bool connect(std::uint16_t port);
  bool sendText(const std::string& text);
  bool sendBinary(const std::string& bytes);
  // Reads what has arrived (waiting up to waitMs for the first bytes).
  void receive(int waitMs = 0);
  std::deque<ReceivedFrame>& frames() { return frames_; }
  int binaryCount() const;
  // Removes and returns the first text frame, or an empty string.
  std::string takeText();
  void close() { client_.close(); }
  bool broken() const { return client_.broken(); }

 private:
  net::TcpClient client_;
  net::FrameDecoder decoder_;
  std::deque<ReceivedFrame> frames_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536);
};

// Starts the service on a free loopback-reachable port; 0 on failure.
std::uint16_t startOnFreePort(EchoService& service);

// Width and height from a JPEG's SOF marker; false when there is none.
bool jpegSize(const std::vector<std::uint8_t>& jpeg, int& width, int& height);

}  // namespace vl::test
