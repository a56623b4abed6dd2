// Where the echo service gets its pictures and its input rectangles from:
// the screen in the agent, a fake in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "echo/capture.h"

namespace vl {

// Used on the echo thread only.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Closes first; false when the region cannot be captured.
  virtual bool open(const CaptureRegion& region) = 0;
  virtual void close() = 0;
  virtual bool isReady() const = 0;
  // false (out untouched) when no picture could be taken.
  virtual bool capture(PixelFrame& out) = 0;
  // Brings `kept` (the frame the last update filled) up to date and says
  // what changed. By default a whole capture.
  virtual bool update(PixelFrame& kept, FrameDamage& damage) {
    damage.setWhole();
    return capture(kept);
  }
  // The same with the picture handed out as `view`, which may lie in the
  // source's own buffer (then `kept` is left alone) and stays valid until
  // the next call. By default update() and a view of `kept`.
  virtual bool updateView(PixelFrame& kept, FrameDamage& damage, PixelView& view) {
    view = PixelView{};
    if (!update(kept, damage)) return false;
    view = PixelView::of(kept);
    return true;
  }
  // A change reported since the last update (false: none, or unknown).
  virtual bool changePending() { return false; }
  // Readable when a change is reported; -1 without one.
  virtual int changeHandle() const { return -1; }
  // After each wait of the owner: whether that wait watched changeHandle()
  // and found it readable (true also when it did not watch it). A source may
  // then skip reading a handle that was quiet.
  virtual void changeHandleWaited(bool) {}
  // Whether the mouse pointer is drawn into the pictures.
  virtual void setCursorDrawn(bool) {}
  // Changes whenever the pointer drawn into the last picture moved or
  // changed shape; 0 when none was drawn.
  virtual std::uint64_t cursorStamp() const { return 0; }
  // The rectangle a region stands for, as resolveCaptureRegion gives it.
  virtual MonitorInfo resolve(const CaptureRegion& region) = 0;
  // The rectangle the open source copies; false when it is not open (or
  // cannot tell).
  virtual bool openRect(MonitorInfo&) const { return false; }
  // The first monitor of a fresh enumeration; an empty rectangle when there
  // is no display.
  virtual MonitorInfo firstMonitor() = 0;
};

// The real screen through ScreenCapturer.
std::unique_ptr<FrameSource> createScreenFrameSource();

}  // namespace vl
