// Real screen capture: a private Xvfb on Linux; the Windows cases run under
// Wine in capture_gdi_win32_test.cpp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "echo/capture.h"
#include "echo/frame_source.h"
#include "echo/pixel_convert.h"
#include "log/helpers.h"
#include "capture_retry_check.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "echo/input_injector.h"
#include "log/x11_display_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <chrono>
#include <thread>
#endif

namespace vl {
namespace {

void setEnv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value : "");
#else
  if (value) ::setenv(name, value, 1);
  else ::unsetenv(name);
#endif
}

// ---- raster operation, read once per process -------------------------------

// Run directly with the variable unset, and again by the next case in a child
// process with it set. CAPTURE_ROP_MARKER names a file for the child's answer.
TEST(CaptureRasterOp, FollowsTheVariableAndIsReadOnlyOnce) {
  const bool set = envExists("VL_SCREEN_NO_CAPTUREBLT");
  const std::uint32_t rop = captureRasterOperation();
  EXPECT_EQ(rop, set ? kRopSrcCopy : kRopSrcCopyCaptureBlt);
  setEnv("VL_SCREEN_NO_CAPTUREBLT", set ? nullptr : "1");
  EXPECT_EQ(captureRasterOperation(), rop);
  setEnv("VL_SCREEN_NO_CAPTUREBLT", set ? "1" : nullptr);
  const std::string marker = envValue("CAPTURE_ROP_MARKER");
  if (!marker.empty()) writeWholeFile(marker, std::to_string(rop));
}

TEST(CaptureRasterOp, AnyValueOfTheVariableSelectsPlainCopy) {
  test::TempDir dir;
  const std::string marker = dir.file("rop.txt");
  for (const char* value : {"1", "0"}) {
    test::ChildProcess child =
        test::startProcess({exePath(), "--gtest_filter=CaptureRasterOp.FollowsTheVariableAndIsReadOnlyOnce"},
                           {{"VL_SCREEN_NO_CAPTUREBLT", value}, {"CAPTURE_ROP_MARKER", marker}});
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(test::waitProcess(child, 60000), 0);
    std::string text;
    ASSERT_TRUE(readWholeFile(marker, text)) << value;
    EXPECT_EQ(text, std::to_string(kRopSrcCopy)) << value;
    removeFile(marker);
  }
}

TEST(CaptureExclusion, NullWindowIsRefused) {
  EXPECT_FALSE(setCaptureExclusion(nullptr, true));
  EXPECT_FALSE(setCaptureExclusion(nullptr, false));
}

#if !defined(_WIN32)

// ---- Linux: a private Xvfb with known colours on the root window -----------

// Four quadrants around (320, 240) plus a small marker square.
std::uint32_t XvfbCaptureSceneAt(int x, int y) {
  if (x >= 300 && x < 310 && y >= 200 && y < 210) return 0xFEDCBA;
  if (y < 240) return x < 320 ? 0xFF0000 : 0x00FF00;
  return x < 320 ? 0x0000FF : 0x123456;
}

class XvfbCapture : public ::testing::Test {
 protected:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 480;

  void start(const std::vector<std::string>& extra = {}) {
    if (!test::haveProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(xvfb_.start(kWidth, kHeight, extra));
    savedDisplay_ = envValue("DISPLAY");
    hadDisplay_ = envExists("DISPLAY");
    setEnv("DISPLAY", xvfb_.display().c_str());
    painter_ = XOpenDisplay(xvfb_.display().c_str());
    ASSERT_NE(painter_, nullptr);
  }

  void TearDown() override {
    if (painter_) XCloseDisplay(painter_);
    painter_ = nullptr;
    xvfb_.stop();
    setEnv("DISPLAY", hadDisplay_ ? savedDisplay_.c_str() : nullptr);
  }

  // Fills a rectangle of the root window; TrueColor pixel = 0xRRGGBB.
  void fill(int x, int y, int w, int h, std::uint32_t rgb) {
    const Window root = DefaultRootWindow(painter_);
    GC gc = XCreateGC(painter_, root, 0, nullptr);
    XSetForeground(painter_, gc, rgb);
    XFillRectangle(painter_, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XFreeGC(painter_, gc);
    XSync(painter_, False);
  }

  // Four quadrants around (320, 240) plus a small marker square.
  void paintScene() {
    fill(0, 0, 320, 240, 0xFF0000);
    fill(320, 0, 320, 240, 0x00FF00);
    fill(0, 240, 320, 240, 0x0000FF);
    fill(320, 240, 320, 240, 0x123456);
    fill(300, 200, 10, 10, 0xFEDCBA);
  }

  static std::uint32_t sceneAt(int x, int y) { return XvfbCaptureSceneAt(x, y); }

  // Every pixel of a frame that starts at (ox, oy) matches the scene.
  static void expectScene(const PixelFrame& f, int ox, int oy) {
    for (int y = 0; y < f.height; ++y)
      for (int x = 0; x < f.width; ++x) {
        const std::uint8_t* p = &f.pixels[(static_cast<std::size_t>(y) * f.width + x) * 4];
        const std::uint32_t want = sceneAt(ox + x, oy + y);
        const std::uint32_t got = (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
        ASSERT_EQ(got, want) << "at " << ox + x << "," << oy + y;
        ASSERT_EQ(p[3], 255);
      }
  }

  bool runXrandr(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"xrandr"};
    argv.insert(argv.end(), args.begin(), args.end());
    test::ChildProcess child = test::startProcess(argv, {{"DISPLAY", xvfb_.display()}});
    return child.valid() && test::waitProcess(child, 20000) == 0;
  }

  test::Xvfb xvfb_;
  Display* painter_ = nullptr;
  std::string savedDisplay_;
  bool hadDisplay_ = false;
};

TEST_F(XvfbCapture, CustomRegionCopiesExactColoursThroughSharedMemory) {
  start();
  paintScene();
  test::LogCapture log;
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(250, 150, 141, 131)));
  EXPECT_TRUE(capturer.isReady());
  EXPECT_TRUE(capturer.usingSharedMemory());
  EXPECT_TRUE(log.contains("抓屏初始化: 自定义区域 141x131 @ (250,150)"));
  PixelFrame frame;
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.width, 141);
  EXPECT_EQ(frame.height, 131);
  expectScene(frame, 250, 150);

  // A later copy sees later drawing.
  fill(250, 150, 5, 5, 0x00FF00);
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.pixels[1], 255);
  EXPECT_EQ(frame.pixels[0], 0);
}

TEST_F(XvfbCapture, PlainGetImagePathGivesTheSamePixels) {
  start();
  paintScene();
  ScreenCapturer shm, plain;
  plain.setSharedMemoryAllowed(false);
  ASSERT_TRUE(shm.open(CaptureRegion::custom(17, 33, 603, 401)));
  ASSERT_TRUE(plain.open(CaptureRegion::custom(17, 33, 603, 401)));
  EXPECT_FALSE(plain.usingSharedMemory());
  PixelFrame a, b;
  ASSERT_TRUE(shm.capture(a));
  ASSERT_TRUE(plain.capture(b));
  expectScene(b, 17, 33);
  EXPECT_TRUE(a.pixels == b.pixels);
}

TEST_F(XvfbCapture, ServerWithoutSharedMemoryFallsBackToGetImage) {
  start({"-extension", "MIT-SHM"});
  paintScene();
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::monitor(0)));
  EXPECT_FALSE(capturer.usingSharedMemory());
  PixelFrame frame;
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.width, kWidth);
  EXPECT_EQ(frame.height, kHeight);
  expectScene(frame, 0, 0);
}

TEST_F(XvfbCapture, WholeScreenMonitorAndRootDesktop) {
  start();
  const std::vector<MonitorInfo> monitors = enumerateMonitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].x, 0);
  EXPECT_EQ(monitors[0].width, kWidth);
  EXPECT_EQ(monitors[0].height, kHeight);
  EXPECT_FALSE(monitors[0].name.empty());
  const DesktopMetrics d = readDesktopMetrics();
  EXPECT_EQ(d.virtualX, 0);
  EXPECT_EQ(d.virtualWidth, kWidth);
  EXPECT_EQ(d.virtualHeight, kHeight);
  // A region larger than the screen is pulled back inside it.
  const MonitorInfo r = resolveCaptureRegion(CaptureRegion::custom(600, 400, 100, 100));
  EXPECT_EQ(r.x, 540);
  EXPECT_EQ(r.y, 380);
}

TEST_F(XvfbCapture, SplitScreenListsMonitorsInServerOrderAndCapturesEach) {
  start();
  if (!test::haveProgram("xrandr")) GTEST_SKIP() << "xrandr is not installed";
  ASSERT_TRUE(runXrandr({"--setmonitor", "left-half", "320/80x480/120+0+0", "none"}));
  ASSERT_TRUE(runXrandr({"--setmonitor", "right-half", "320/80x480/120+320+0", "none"}));
  paintScene();
  const std::vector<MonitorInfo> monitors = enumerateMonitors();
  ASSERT_GE(monitors.size(), 2u);
  int left = -1, right = -1;
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    if (monitors[i].name == "left-half") left = static_cast<int>(i);
    if (monitors[i].name == "right-half") right = static_cast<int>(i);
  }
  ASSERT_GE(left, 0);
  ASSERT_GE(right, 0);
  EXPECT_EQ(monitors[right].x, 320);
  EXPECT_EQ(monitors[right].width, 320);
  EXPECT_FALSE(monitors[right].primary);

  test::LogCapture log;
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::monitor(right)));
  EXPECT_TRUE(log.contains("抓屏初始化: right-half 320x480 @ (320,0)"));
  PixelFrame frame;
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.width, 320);
  expectScene(frame, 320, 0);
  // Reopening on another monitor replaces the rectangle and the buffer size.
  ASSERT_TRUE(capturer.open(CaptureRegion::monitor(left)));
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.pixels.size(), 320u * 480u * 4u);
  expectScene(frame, 0, 0);
}

// Pixels that differ from the scene lie within `reach` of (px, py); returns
// how many differ.
int pointerPixels(const PixelFrame& f, int px, int py, int reach) {
  int changed = 0;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      const std::uint8_t* p = &f.pixels[(static_cast<std::size_t>(y) * f.width + x) * 4];
      const std::uint32_t got = (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
      if (got == XvfbCaptureSceneAt(x, y)) continue;
      ++changed;
      EXPECT_LE(std::abs(x - px), reach) << x << "," << y;
      EXPECT_LE(std::abs(y - py), reach) << x << "," << y;
    }
  return changed;
}

TEST_F(XvfbCapture, PointerIsDrawnWhereItIsOnlyWhenAsked) {
  start();
  paintScene();
  const Window root = DefaultRootWindow(painter_);
  XWarpPointer(painter_, 0, root, 0, 0, 0, 0, 100, 100);
  XSync(painter_, False);
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::monitor(0)));
  PixelFrame frame;
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(capturer.cursorStamp(), 0u);
  expectScene(frame, 0, 0);

  capturer.setCursorDrawn(true);
  ASSERT_TRUE(capturer.capture(frame));
  const std::uint64_t stamp = capturer.cursorStamp();
  EXPECT_NE(stamp, 0u);
  EXPECT_GT(pointerPixels(frame, 100, 100, 32), 0);
  const std::vector<std::uint8_t> first = frame.pixels;
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(capturer.cursorStamp(), stamp);  // a still pointer is a still picture
  EXPECT_TRUE(frame.pixels == first);

  XWarpPointer(painter_, 0, root, 0, 0, 0, 0, 638, 5);  // mostly off the right edge
  XSync(painter_, False);
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_NE(capturer.cursorStamp(), stamp);
  EXPECT_GT(pointerPixels(frame, 638, 5, 32), 0);
}

TEST_F(XvfbCapture, ClosedCapturerFailsAndLeavesTheFrameAlone) {
  start();
  paintScene();
  ScreenCapturer capturer;
  PixelFrame frame;
  frame.setSize(2, 2);
  frame.pixels[0] = 42;
  EXPECT_FALSE(capturer.isReady());
  EXPECT_FALSE(capturer.capture(frame));
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(0, 0, 64, 64)));
  capturer.close();
  EXPECT_FALSE(capturer.isReady());
  EXPECT_EQ(capturer.width(), 0);
  EXPECT_FALSE(capturer.capture(frame));
  EXPECT_EQ(frame.width, 2);
  EXPECT_EQ(frame.pixels[0], 42);
}

TEST_F(XvfbCapture, LostServerMakesCaptureFailWithoutEndingTheProcess) {
  start();
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(0, 0, 64, 64)));
  PixelFrame frame;
  ASSERT_TRUE(capturer.capture(frame));
  XCloseDisplay(painter_);
  painter_ = nullptr;
  xvfb_.stop();
  frame.pixels[0] = 42;
  EXPECT_FALSE(capturer.capture(frame));
  EXPECT_EQ(frame.pixels[0], 42);
  capturer.close();
  EXPECT_FALSE(capturer.open(CaptureRegion::custom(0, 0, 64, 64)));
}

// Another thread opening a connection while one is being closed can get the
// address just freed; that connection must still count as ours when its
// server goes, or Xlib's default handler ends the process.
TEST_F(XvfbCapture, ConnectionAtTheAddressOfOneJustClosedSurvivesALostServer) {
  start();
  Display* first = detail::openX11Display(xvfb_.display().c_str());
  ASSERT_NE(first, nullptr);
  Display* second = nullptr;
  detail::setX11ClosedHookForTest([&] { second = detail::openX11Display(xvfb_.display().c_str()); });
  detail::closeX11Display(first);
  detail::setX11ClosedHookForTest({});
  ASSERT_NE(second, nullptr);
  if (second != first) {
    detail::closeX11Display(second);
    GTEST_SKIP() << "the new connection did not reuse the address";
  }
  XCloseDisplay(painter_);
  painter_ = nullptr;
  xvfb_.stop();
  XSync(second, False);
  EXPECT_TRUE(detail::x11DisplayLost(second));
  detail::closeX11Display(second);
}

// A server that went away unnoticed is found out by XCloseDisplay itself.
TEST_F(XvfbCapture, ServerLostUnnoticedUntilTheCloseDoesNotEndTheProcess) {
  start();
  Display* display = detail::openX11Display(xvfb_.display().c_str());
  ASSERT_NE(display, nullptr);
  XCloseDisplay(painter_);
  painter_ = nullptr;
  xvfb_.stop();
  detail::closeX11Display(display);
  // The next connection at that address starts out healthy.
  ASSERT_TRUE(xvfb_.start(kWidth, kHeight));
  Display* next = detail::openX11Display(xvfb_.display().c_str());
  ASSERT_NE(next, nullptr);
  EXPECT_FALSE(detail::x11DisplayLost(next));
  detail::closeX11Display(next);
}

// After its server went away a connection gets no further X call: it is
// abandoned with its socket closed, whether the loss was seen by a call or
// only shows on the socket. XCloseDisplay there could wait for ever.
TEST_F(XvfbCapture, ConnectionsOfALostServerAreAbandonedWithTheirSocketClosed) {
  start();
  Display* seen = detail::openX11Display(xvfb_.display().c_str());
  Display* unseen = detail::openX11Display(xvfb_.display().c_str());
  ASSERT_NE(seen, nullptr);
  ASSERT_NE(unseen, nullptr);
  const int seenFd = ConnectionNumber(seen), unseenFd = ConnectionNumber(unseen);
  EXPECT_FALSE(detail::x11ServerGone(unseen));
  XCloseDisplay(painter_);
  painter_ = nullptr;
  xvfb_.stop();
  XSync(seen, False);
  EXPECT_TRUE(detail::x11DisplayLost(seen));
  EXPECT_FALSE(detail::x11DisplayLost(unseen));
  EXPECT_TRUE(detail::x11ServerGone(unseen));
  const int before = detail::abandonedX11Displays();
  detail::closeX11Display(seen);
  detail::closeX11Display(unseen);
  EXPECT_EQ(detail::abandonedX11Displays(), before + 2);
  EXPECT_EQ(fcntl(seenFd, F_GETFD), -1);
  EXPECT_EQ(fcntl(unseenFd, F_GETFD), -1);
}

// The injector of a viewer that has sent input, destroyed after its server
// died (the static agent at exit): it returns, and a new server on the same
// display is used by a new injector.
TEST_F(XvfbCapture, InjectorOfALostServerIsDestroyedWithoutWaiting) {
  start();
  auto injector = createPlatformInjector(xvfb_.display());
  injector->moveTo(0.5f, 0.5f, MonitorInfo{0, 0, kWidth, kHeight, true, {}});
  injector->typeText("\xC3\xA9");  // a remapped spare key, restored at destruction while the server lives
  XCloseDisplay(painter_);
  painter_ = nullptr;
  xvfb_.stop();
  const int before = detail::abandonedX11Displays();
  injector.reset();
  EXPECT_EQ(detail::abandonedX11Displays(), before + 1);
}

// ---- damage-driven updates --------------------------------------------------

// Waits (up to 5 s) until the server's report of a change has arrived.
bool waitForReportedChange(ScreenCapturer& capturer) {
  for (int i = 0; i < 500; ++i) {
    if (capturer.changePending()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Every changed rectangle lies inside the frame.
void expectRectsInside(const FrameDamage& damage, const PixelFrame& frame) {
  for (const PixelRect& r : damage.rects) {
    EXPECT_GE(r.x, 0);
    EXPECT_GE(r.y, 0);
    EXPECT_GT(r.width, 0);
    EXPECT_GT(r.height, 0);
    EXPECT_LE(r.x + r.width, frame.width);
    EXPECT_LE(r.y + r.height, frame.height);
  }
}

struct DamageCase {
  const char* name;
  bool sharedMemory;
  bool pointer;
  bool inPlace;  // updateView: the picture read where the capturer keeps it
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class XvfbDamage : public XvfbCapture, public ::testing::WithParamInterface<DamageCase> {
 protected:
  // The kept picture equals what a fresh capturer copies now.
  void expectSameAsFresh(const PixelFrame& kept, const char* step) {
    ScreenCapturer fresh;
    fresh.setSharedMemoryAllowed(GetParam().sharedMemory);
    fresh.setCursorDrawn(GetParam().pointer);
    ASSERT_TRUE(fresh.open(region_));
    PixelFrame want;
    ASSERT_TRUE(fresh.capture(want));
    ASSERT_EQ(kept.width, want.width) << step;
    ASSERT_EQ(kept.height, want.height) << step;
    int differ = 0, fx = -1, fy = -1, lx = -1, ly = -1;
    for (int y = 0; y < kept.height; ++y)
      for (int x = 0; x < kept.width; ++x) {
        const std::size_t i = (static_cast<std::size_t>(y) * kept.width + x) * 4;
        if (std::memcmp(&kept.pixels[i], &want.pixels[i], 4) == 0) continue;
        if (differ++ == 0) fx = x, fy = y;
        lx = x, ly = y;
      }
    EXPECT_EQ(differ, 0) << step << " first " << fx << "," << fy << " last " << lx << "," << ly;
  }

  // update(), or updateView() with the view converted into `kept`, so both
  // face the same checks.
  bool update(ScreenCapturer& capturer, PixelFrame& kept, FrameDamage& damage) {
    if (!GetParam().inPlace) return capturer.update(kept, damage);
    PixelView view;
    if (!capturer.updateView(kept, damage, view)) return false;
    if (view.empty()) return false;
    // Shared memory: the shared image itself; otherwise `kept`.
    const bool inSource = view.data != kept.pixels.data();
    EXPECT_EQ(inSource, GetParam().sharedMemory);
    if (!inSource) return true;
    EXPECT_TRUE(view.bgrx);
    kept.setSize(view.width, view.height);
    if (view.bgrx) {
      convertBgrxToRgba(view.data, view.stride, kept.pixels.data(), static_cast<std::size_t>(view.width) * 4u,
                        view.width, view.height);
    }
    return true;
  }

  CaptureRegion region_ = CaptureRegion::custom(17, 33, 603, 401);
};

TEST_P(XvfbDamage, OnlyReportedChangesAreCopiedAndTheKeptPictureEqualsAFreshCapture) {
  const DamageCase& c = GetParam();
  start();
  paintScene();
  const Window root = DefaultRootWindow(painter_);
  XWarpPointer(painter_, 0, root, 0, 0, 0, 0, 200, 150);
  XSync(painter_, False);
  ScreenCapturer capturer;
  capturer.setSharedMemoryAllowed(c.sharedMemory);
  capturer.setCursorDrawn(c.pointer);
  ASSERT_TRUE(capturer.open(region_));
  ASSERT_NE(capturer.changeHandle(), -1);
  PixelFrame kept;
  FrameDamage damage;

  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_TRUE(damage.whole);
  expectSameAsFresh(kept, "first");
  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_TRUE(damage.unchanged()) << "still screen";

  // A small change: only it is reported, and the result is exact.
  fill(100, 100, 7, 5, 0xABCDEF);
  ASSERT_TRUE(waitForReportedChange(capturer));
  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_FALSE(damage.whole);
  ASSERT_FALSE(damage.rects.empty());
  expectRectsInside(damage, kept);
  expectSameAsFresh(kept, "small change");
  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_TRUE(damage.unchanged()) << "after the small change";

  // Outside the region: nothing to copy.
  fill(0, 0, 10, 10, 0x101010);
  ASSERT_TRUE(waitForReportedChange(capturer));
  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_TRUE(damage.unchanged()) << "change outside the region";

  // Changes across an edge and more pieces than are kept apart.
  fill(10, 20, 30, 30, 0x00FFFF);
  for (int i = 0; i < 40; ++i) fill(40 + i * 13, 60 + (i % 7) * 40, 5, 3, 0x010203u * static_cast<unsigned>(i));
  ASSERT_TRUE(waitForReportedChange(capturer));
  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_LE(damage.rects.size(), FrameDamage::kMaxRects);
  expectRectsInside(damage, kept);
  expectSameAsFresh(kept, "many changes");

  // The pointer moves over the still screen, then changes shape over it.
  XWarpPointer(painter_, 0, root, 0, 0, 0, 0, 260, 190);
  XSync(painter_, False);
  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_EQ(damage.unchanged(), !c.pointer) << "pointer moved";
  expectSameAsFresh(kept, "pointer moved");
  // A still shape of its own (themed font cursors may be animated).
  const char bits[32] = {0x0F, 0x00, 0x0F, 0x00, 0x0F, 0x00, 0x0F, 0x00};
  const Pixmap shape = XCreateBitmapFromData(painter_, root, bits, 16, 16);
  XColor red{}, blue{};
  red.red = 0xFFFF;
  blue.blue = 0xFFFF;
  const Cursor watch = XCreatePixmapCursor(painter_, shape, shape, &red, &blue, 2, 2);
  XFreePixmap(painter_, shape);
  XDefineCursor(painter_, root, watch);
  XSync(painter_, False);
  if (c.pointer) {
    ASSERT_TRUE(waitForReportedChange(capturer));
  }
  ASSERT_TRUE(update(capturer, kept, damage));
  EXPECT_EQ(damage.unchanged(), !c.pointer) << "pointer shape";
  expectSameAsFresh(kept, "pointer shape");
  // A change under the pointer: what it covers is the new screen.
  fill(250, 180, 40, 40, 0x445566);
  ASSERT_TRUE(waitForReportedChange(capturer));
  ASSERT_TRUE(update(capturer, kept, damage));
  expectSameAsFresh(kept, "change under the pointer");
  XUndefineCursor(painter_, root);
  XFreeCursor(painter_, watch);

  // Another frame than the kept one is filled whole.
  PixelFrame other;
  ASSERT_TRUE(capturer.update(other, damage));
  EXPECT_TRUE(damage.whole);
  EXPECT_TRUE(other.pixels == kept.pixels);
}

INSTANTIATE_TEST_SUITE_P(Paths, XvfbDamage,
                         ::testing::Values(DamageCase{"SharedMemory", true, false, false},
                                           DamageCase{"SharedMemoryWithPointer", true, true, false},
                                           DamageCase{"GetImageWithPointer", false, true, false},
                                           DamageCase{"SharedMemoryInPlace", true, false, true},
                                           DamageCase{"SharedMemoryInPlaceWithPointer", true, true, true},
                                           DamageCase{"GetImageViewed", false, true, true}),
                         [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

// The echo thread's way of using the capturer: wait on the change handle,
// say what the wait found, then update. A still pass then reads nothing;
// what the devices do (XTEST here, as the injector does) and a change of
// the screen still show in the next pass, and a warp within the recheck.
TEST_F(XvfbCapture, AnOwnerWaitingOnTheHandleStillSeesEveryKindOfChange) {
  start();
  paintScene();
  auto injector = createPlatformInjector(xvfb_.display());
  const MonitorInfo screen{0, 0, kWidth, kHeight, true, {}};
  injector->moveTo(0.25f, 0.25f, screen);
  ScreenCapturer capturer;
  capturer.setCursorDrawn(true);
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(0, 0, kWidth, kHeight)));
  const auto wait = [&](int ms) {
    pollfd p{capturer.changeHandle(), POLLIN, 0};
    const bool readable = ::poll(&p, 1, ms) > 0;
    capturer.changeHandleWaited(readable);
    return readable;
  };
  PixelFrame kept;
  FrameDamage damage;
  ASSERT_TRUE(capturer.update(kept, damage));
  std::uint64_t stamp = capturer.cursorStamp();
  ASSERT_NE(stamp, 0u);
  wait(50);
  ASSERT_TRUE(capturer.update(kept, damage));
  EXPECT_TRUE(damage.unchanged());

  // Moved through XTEST: reported on the handle at once.
  injector->moveTo(0.75f, 0.25f, screen);
  ASSERT_TRUE(wait(5000)) << "device motion not reported";
  EXPECT_TRUE(capturer.changePending());
  ASSERT_TRUE(capturer.update(kept, damage));
  EXPECT_FALSE(damage.unchanged()) << "pointer moved by a device";
  EXPECT_NE(capturer.cursorStamp(), stamp);
  stamp = capturer.cursorStamp();
  wait(50);
  ASSERT_TRUE(capturer.update(kept, damage));
  EXPECT_TRUE(damage.unchanged()) << "still after the move";

  // A change of the screen after quiet waits.
  fill(10, 10, 20, 20, 0x778899);
  ASSERT_TRUE(wait(5000)) << "damage not reported";
  ASSERT_TRUE(capturer.update(kept, damage));
  ASSERT_FALSE(damage.rects.empty());
  EXPECT_EQ(kept.pixels[(15u * kWidth + 15u) * 4u + 0], 0x77);

  // A warp reports nothing on the handle; it shows once the recheck is due.
  XWarpPointer(painter_, 0, DefaultRootWindow(painter_), 0, 0, 0, 0, 400, 300);
  XSync(painter_, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  wait(0);
  ASSERT_TRUE(capturer.update(kept, damage));
  EXPECT_FALSE(damage.unchanged()) << "warped pointer";
  EXPECT_NE(capturer.cursorStamp(), stamp);
}

TEST_F(XvfbCapture, ReopeningAfterAFailureIsNotLoggedAgain) {
  start();
  test::expectRetriesNotLoggedAgain();
}

TEST_F(XvfbCapture, ServerWithoutRandrListsTheWholeScreenAsThePrimaryMonitor) {
  start({"-extension", "RANDR"});
  const std::vector<MonitorInfo> monitors = enumerateMonitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].name, "主显示器");
  EXPECT_TRUE(monitors[0].primary);
  EXPECT_EQ(monitors[0].width, kWidth);
  EXPECT_EQ(monitors[0].height, kHeight);
}

TEST(CaptureWithoutDisplay, OpenFailsQuietlyAndNoMonitorIsListed) {
  const std::string saved = envValue("DISPLAY");
  const bool had = envExists("DISPLAY");
  setEnv("DISPLAY", ":987654");
  test::LogCapture log;
  ScreenCapturer capturer;
  EXPECT_FALSE(capturer.open(CaptureRegion::monitor(0)));
  EXPECT_FALSE(capturer.isReady());
  EXPECT_FALSE(log.contains("抓屏初始化"));
  EXPECT_TRUE(enumerateMonitors().empty());
  EXPECT_EQ(resolveCaptureRegion(CaptureRegion::monitor(2)).width, 0);
  EXPECT_EQ(createScreenFrameSource()->firstMonitor().width, 0);
  EXPECT_FALSE(setCaptureExclusion(reinterpret_cast<void*>(1), true));
  setEnv("DISPLAY", had ? saved.c_str() : nullptr);
}

#endif

}  // namespace
}  // namespace vl
