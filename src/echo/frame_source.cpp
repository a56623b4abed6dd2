#include "echo/frame_source.h"

#include <vector>

#include "echo/desktop_backend.h"

namespace vl {

namespace {

class ScreenFrameSource final : public FrameSource {
 public:
  bool open(const CaptureRegion& region) override { return capturer_.open(region); }
  void close() override { capturer_.close(); }
  bool isReady() const override { return capturer_.isReady(); }
  bool capture(PixelFrame& out) override { return capturer_.capture(out); }
  bool update(PixelFrame& kept, FrameDamage& damage) override { return capturer_.update(kept, damage); }
  bool updateView(PixelFrame& kept, FrameDamage& damage, PixelView& view) override {
    return capturer_.updateView(kept, damage, view);
  }
  bool changePending() override { return capturer_.changePending(); }
  int changeHandle() const override { return capturer_.changeHandle(); }
  void changeHandleWaited(bool readable) override { capturer_.changeHandleWaited(readable); }
  void setCursorDrawn(bool drawn) override { capturer_.setCursorDrawn(drawn); }
  std::uint64_t cursorStamp() const override { return capturer_.cursorStamp(); }
  MonitorInfo resolve(const CaptureRegion& region) override { return resolveCaptureRegion(region); }
  bool openRect(MonitorInfo& rect) const override {
    if (!capturer_.isReady()) return false;
    rect = capturer_.rect();
    return true;
  }
  MonitorInfo firstMonitor() override {
    const std::vector<MonitorInfo> monitors = enumerateMonitors();
    return monitors.empty() ? MonitorInfo{} : monitors.front();
  }

 private:
  ScreenCapturer capturer_;
};

}  // namespace

std::unique_ptr<FrameSource> createScreenFrameSource() {
  if (const std::shared_ptr<DesktopBackend> backend = installedDesktopBackend()) return backend->createFrameSource();
  return std::make_unique<ScreenFrameSource>();
}

}  // namespace vl
