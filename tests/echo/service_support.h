// Helpers for the echo service tests: a frame source fed by the test, an
// injector that records calls, and a blocking-free viewer over loopback.
// All of them are used on the thread that pumps the service.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "echo/echo_service.h"
#include "echo/frame_source.h"
#include "echo/input_injector.h"
#include "net/client.h"
#include "net/frame.h"

namespace vl::test {

// Frames of a fixed size; the content changes at every capture unless
// `still` is set.
struct FakeFrameSource final : FrameSource {
  FakeFrameSource(int w, int h) : width(w), height(h) {}
  bool open(const CaptureRegion& region) override;
  void close() override;
  bool isReady() const override { return ready; }
  bool capture(PixelFrame& out) override;
  void setCursorDrawn(bool drawn) override { cursorDrawn = drawn; }
  std::uint64_t cursorStamp() const override { return cursorDrawn ? pointer : 0; }
  // Custom regions stand for themselves; monitor i is monitors[i] (or the
  // frame size at (0, 0) when no monitors are set).
  MonitorInfo resolve(const CaptureRegion& region) override;
  // The rectangle resolved at the last open, while open.
  bool openRect(MonitorInfo& rect) const override {
    if (ready) rect = openedRect;
    return ready;
  }
  MonitorInfo firstMonitor() override;

  int width, height;
  bool still = false;
  bool noisy = false;  // every pixel random: large JPEG files
  bool failOpen = false;
  bool failCapture = false;  // open works, every capture fails
  bool cursorDrawn = false;
  std::uint64_t pointer = 1;  // the stamp of the pointer drawn into the frames
  bool ready = false;
  int opens = 0, closes = 0, captures = 0;
  int captureAttempts = 0;  // captures, failed ones included
  std::uint32_t counter = 0;
  CaptureRegion lastOpened;
  MonitorInfo openedRect;
  std::vector<MonitorInfo> monitors;

  // Damage mode: the picture is `screen`, changed only through paint(), and
  // update() reports what changed the way the platform would (only the
  // painted rectangles are copied into the kept frame). Off: every update
  // is a whole capture().
  bool reportsDamage = false;
  bool reportsWhole = false;  // damage mode, but every change reported whole
  PixelFrame screen;
  std::vector<PixelRect> painted;  // since the last update
  int areaCopies = 0;              // rectangles copied by updates
  void paint(const PixelRect& r, std::uint32_t rgb);
  bool update(PixelFrame& kept, FrameDamage& damage) override;
  // Damage mode, the picture handed out in the source's own buffer as the
  // X11 shared image is: B, G, R, X rows, padded, junk in X; the service's
  // frame is left alone.
  bool viewsInPlace = false;
  PixelFrame ownKept;
  std::vector<std::uint8_t> ownRows;
  bool updateView(PixelFrame& kept, FrameDamage& damage, PixelView& view) override;
  bool alwaysReports = false;  // a report at every ask, mostly of nothing
  bool changePending() override { return reportsDamage && (alwaysReports || !painted.empty()); }
  const PixelFrame* kept = nullptr;
};

// Records the calls as short strings, e.g. "move 0.500 0.250 @1920x1080+0+0",
// "button 1 down", "key 0x10 up", "wheel -2 ctrl", "text abc".
struct RecordingInjector final : InputInjector {
  void moveTo(float u, float v, const MonitorInfo& rect) override;
  void mouseButton(int button, bool down) override;
  void click(float u, float v, const MonitorInfo& rect, int button) override;
  void doubleClick(float u, float v, const MonitorInfo& rect, int button) override;
  void wheel(int notches, bool ctrl) override;
  void keyEvent(unsigned vk, bool down) override;
  void pressKey(unsigned vk) override;
  void typeText(std::string_view utf8) override;
  std::uint64_t housekeepingDueMs() const override { return dueMs; }

  std::vector<std::string> calls;
  std::uint64_t dueMs = net::WaitSet::kNever;  // what housekeeping asks for
};

struct ReceivedFrame {
  net::FrameKind kind = net::FrameKind::Text;
  std::vector<std::uint8_t> payload;
};

// A viewer on 127.0.0.1. receive() never waits longer than asked.
class TestViewer {
 public:
  bool connect(std::uint16_t port);
  bool sendText(const std::string& text);
  bool sendBinary(const std::string& bytes);
  // Raw bytes, for a frame sent in pieces.
  bool sendBytes(const void* data, std::size_t size);
  // Reads what has arrived (waiting up to waitMs for the first bytes).
  void receive(int waitMs = 0);
  std::deque<ReceivedFrame>& frames() { return frames_; }
  int binaryCount() const;
  // Removes and returns the first text frame, or an empty string.
  std::string takeText();
  void close() { client_.close(); }

 private:
  net::TcpClient client_;
  net::FrameDecoder decoder_;
  std::deque<ReceivedFrame> frames_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536);
};

// Starts the service on a free loopback-reachable port; 0 on failure.
std::uint16_t startOnFreePort(EchoService& service);

}  // namespace vl::test
