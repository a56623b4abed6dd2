// The XTest injector against a private X server: the pointer lands where the
// mapping says, and a window of ours sees the buttons, keys and text.
#include <gtest/gtest.h>

// After gtest: Xlib defines macros such as None and Bool.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <chrono>
#include <string>
#include <vector>

#include "echo/input_injector.h"
#include "support/test_support.h"

namespace vl {
namespace {

constexpr int kScreenW = 1024;
constexpr int kScreenH = 768;

struct Seen {
  int type = 0;
  unsigned button = 0;
  KeySym sym = NoSymbol;
  unsigned keycode = 0;
};

class XTestInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(xvfb_.start(kScreenW, kScreenH));
    dpy_ = XOpenDisplay(xvfb_.display().c_str());
    ASSERT_NE(dpy_, nullptr);
    injector_ = createPlatformInjector(xvfb_.display());
  }
  void TearDown() override {
    injector_.reset();
    if (dpy_ != nullptr) XCloseDisplay(dpy_);
  }

  // A window over the whole screen with the keyboard focus.
  void openWindow() {
    const int screen = DefaultScreen(dpy_);
    XSetWindowAttributes attrs = {};
    attrs.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask | ExposureMask;
    attrs.override_redirect = True;
    window_ = XCreateWindow(dpy_, RootWindow(dpy_, screen), 0, 0, kScreenW, kScreenH, 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWEventMask | CWOverrideRedirect, &attrs);
    XMapRaised(dpy_, window_);
    XEvent ev;
    do XNextEvent(dpy_, &ev);
    while (ev.type != Expose);
    XSetInputFocus(dpy_, window_, RevertToParent, CurrentTime);
    XSync(dpy_, False);
  }

  // Key and button events until `count` arrived or 5 s passed. The keysym
  // is read from the server's map as it stands when the event is read.
  std::vector<Seen> collect(std::size_t count) {
    std::vector<Seen> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
      if (XPending(dpy_) == 0) {
        test::sleepMs(5);
        continue;
      }
      XEvent ev;
      XNextEvent(dpy_, &ev);
      Seen s;
      s.type = ev.type;
      if (ev.type == ButtonPress || ev.type == ButtonRelease) {
        s.button = ev.xbutton.button;
      } else if (ev.type == KeyPress || ev.type == KeyRelease) {
        s.keycode = ev.xkey.keycode;
        int per = 0;
        KeySym* syms = XGetKeyboardMapping(dpy_, static_cast<KeyCode>(ev.xkey.keycode), 1, &per);
        const int column = (ev.xkey.state & ShiftMask) && per > 1 ? 1 : 0;
        s.sym = syms != nullptr ? syms[column] : NoSymbol;
        if (syms != nullptr) XFree(syms);
      } else {
        continue;
      }
      seen.push_back(s);
    }
    return seen;
  }

  std::vector<KeySym> pressedSyms(const std::vector<Seen>& seen) {
    std::vector<KeySym> out;
    for (const Seen& s : seen)
      if (s.type == KeyPress) out.push_back(s.sym);
    return out;
  }

  void pointer(int& x, int& y) {
    Window root, child;
    int wx, wy;
    unsigned mask;
    XQueryPointer(dpy_, DefaultRootWindow(dpy_), &root, &child, &x, &y, &wx, &wy, &mask);
  }

  test::Xvfb xvfb_;
  Display* dpy_ = nullptr;
  Window window_ = 0;
  std::unique_ptr<InputInjector> injector_;
};

TEST_F(XTestInjection, MovesPutThePointerOnTheMappedRootPixel) {
  const MonitorInfo screen{0, 0, kScreenW, kScreenH, true, {}};
  const MonitorInfo part{100, 200, 400, 300, false, {}};
  struct Case {
    float u, v;
    MonitorInfo rect;
    int x, y;
  };
  const Case cases[] = {
      {0.25f, 0.75f, screen, kScreenW / 4, kScreenH * 3 / 4},
      {0.5f, 0.5f, screen, kScreenW / 2, kScreenH / 2},
      {0.25f, 0.5f, part, 200, 350},
      // Clamped to the picture, then to the screen.
      {5.0f, -1.0f, MonitorInfo{900, 0, 400, 300, false, {}}, kScreenW - 1, 0},
  };
  for (const Case& c : cases) {
    injector_->moveTo(c.u, c.v, c.rect);
    // The server applies the move after our query may have been answered.
    int x = -1, y = -1;
    for (int i = 0; i < 200 && (x != c.x || y != c.y); ++i) {
      if (i > 0) test::sleepMs(10);
      pointer(x, y);
    }
    EXPECT_EQ(x, c.x);
    EXPECT_EQ(y, c.y);
  }
}

TEST_F(XTestInjection, ButtonsWheelAndKeysReachTheWindow) {
  openWindow();
  const MonitorInfo screen{0, 0, kScreenW, kScreenH, true, {}};
  injector_->click(0.5f, 0.5f, screen, 0);
  injector_->mouseButton(1, true);
  injector_->mouseButton(1, false);
  injector_->mouseButton(2, true);
  injector_->mouseButton(2, false);
  std::vector<Seen> seen = collect(6);
  ASSERT_EQ(seen.size(), 6u);
  const unsigned buttons[] = {1, 1, 3, 3, 2, 2};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(seen[i].type, i % 2 == 0 ? ButtonPress : ButtonRelease) << i;
    EXPECT_EQ(seen[i].button, buttons[i]) << i;
  }

  injector_->wheel(1, false);
  injector_->wheel(-2, true);
  seen = collect(8);
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[0].button, 4u);
  EXPECT_EQ(seen[1].button, 4u);
  EXPECT_EQ(seen[2].type, KeyPress);
  EXPECT_EQ(seen[2].sym, static_cast<KeySym>(XK_Control_L));
  for (int i = 3; i < 7; ++i) EXPECT_EQ(seen[i].button, 5u) << i;
  EXPECT_EQ(seen[7].type, KeyRelease);
  EXPECT_EQ(seen[7].sym, static_cast<KeySym>(XK_Control_L));

  injector_->keyEvent(0x41, true);   // A
  injector_->keyEvent(0x41, false);
  injector_->keyEvent(0xFF, true);   // no keysym: nothing
  injector_->pressKey(0x25);         // Left
  injector_->pressKey(0x70);         // F1
  injector_->keyEvent(0xA1, true);   // right Shift
  injector_->keyEvent(0xA1, false);
  seen = collect(8);
  EXPECT_EQ(pressedSyms(seen),
            (std::vector<KeySym>{XK_a, XK_Left, XK_F1, XK_Shift_R}));
}

TEST_F(XTestInjection, TextTypesShiftedAndUnmappedCharactersThenRestoresTheMap) {
  openWindow();
  // "é" and "€" are not on the server's US keyboard map.
  injector_->typeText("aZ!\xC3\xA9\xE2\x82\xAC\n");
  const std::vector<Seen> seen = collect(16);
  std::vector<KeySym> typed;
  for (const Seen& s : seen)
    if (s.type == KeyPress && s.sym != XK_Shift_L) typed.push_back(s.sym);
  EXPECT_EQ(typed, (std::vector<KeySym>{XK_a, XK_Z, XK_exclam, 0xE9, 0x10020AC, XK_Return}));

  unsigned spare = 0;
  for (const Seen& s : seen)
    if (s.sym == 0xE9) spare = s.keycode;
  ASSERT_NE(spare, 0u);
  // The spare keycode goes back to having no symbol once typing has rested.
  test::sleepMs(600);
  injector_->housekeeping();
  XSync(dpy_, False);
  int per = 0;
  KeySym* syms = XGetKeyboardMapping(dpy_, static_cast<KeyCode>(spare), 1, &per);
  ASSERT_NE(syms, nullptr);
  for (int i = 0; i < per; ++i) EXPECT_EQ(syms[i], static_cast<KeySym>(NoSymbol)) << i;
  XFree(syms);
}

TEST(KeysymTable, CoversTheKeyFamilies) {
  EXPECT_EQ(keysymForVirtualKey('Q'), static_cast<unsigned long>(XK_q));
  EXPECT_EQ(keysymForVirtualKey(0x87), static_cast<unsigned long>(XK_F24));
  EXPECT_EQ(keysymForVirtualKey(0x69), static_cast<unsigned long>(XK_KP_9));
  EXPECT_EQ(keysymForVirtualKey(0xDE), static_cast<unsigned long>(XK_apostrophe));
  EXPECT_EQ(keysymForVirtualKey(0xAF), 0x1008FF13ul);  // volume up
  EXPECT_EQ(keysymForVirtualKey(0x10041), static_cast<unsigned long>(XK_a));
  EXPECT_EQ(keysymForVirtualKey(0x07), 0ul);
  EXPECT_EQ(keysymForVirtualKey(0xFF), 0ul);
  EXPECT_EQ(keysymForCodePoint(U'~'), 0x7Eul);
  EXPECT_EQ(keysymForCodePoint(U'ÿ'), 0xFFul);
  EXPECT_EQ(keysymForCodePoint(U'中'), 0x1004E2Dul);
}

}  // namespace
}  // namespace vl

namespace vl {
namespace {

// Xlib's default handlers end the process when the server goes away; the
// injector must only lose its events (the agent keeps streaming).
TEST(XTestInjectionLost, ServerGoingAwayDoesNotEndTheProcess) {
  if (!test::haveProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
  test::Xvfb xvfb;
  ASSERT_TRUE(xvfb.start(640, 480));
  auto injector = createPlatformInjector(xvfb.display());
  const MonitorInfo desktop{0, 0, 640, 480, true, "A"};
  injector->moveTo(0.5f, 0.5f, desktop);
  xvfb.stop();
  injector->moveTo(0.25f, 0.25f, desktop);
  injector->keyEvent(0x41, true);
  injector->typeText("é");
  injector.reset();
  SUCCEED();
}

}  // namespace
}  // namespace vl
