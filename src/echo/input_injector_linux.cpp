// XTest injector: the same events as SendInput, on the X server the
// desktop is captured from.
// First: Xlib's macros (None, Success) would break the headers it pulls in.
#include "echo/echo_service.h"

#include <X11/XF86keysym.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "echo/input_injector.h"
#include "echo/desktop_backend.h"
#include "log/x11_display_linux.h"
#include "log/helpers.h"
#include "log/log.h"

namespace vl {

unsigned long keysymForVirtualKey(unsigned vk) {
  vk &= 0xFFFFu;
  if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');  // the key, not the shifted letter
  if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
  if (vk >= 0x60 && vk <= 0x69) return XK_KP_0 + (vk - 0x60);
  if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);
  switch (vk) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0C: return XK_Clear;
    case 0x0D: return XK_Return;
    case 0x10: return XK_Shift_L;
    case 0x11: return XK_Control_L;
    case 0x12: return XK_Alt_L;
    case 0x13: return XK_Pause;
    case 0x14: return XK_Caps_Lock;
    case 0x1B: return XK_Escape;
    case 0x1C: return XK_Henkan;
    case 0x1D: return XK_Muhenkan;
    case 0x20: return XK_space;
    case 0x21: return XK_Prior;
    case 0x22: return XK_Next;
    case 0x23: return XK_End;
    case 0x24: return XK_Home;
    case 0x25: return XK_Left;
    case 0x26: return XK_Up;
    case 0x27: return XK_Right;
    case 0x28: return XK_Down;
    case 0x29: return XK_Select;
    case 0x2A: return XK_Print;
    case 0x2B: return XK_Execute;
    case 0x2C: return XK_Print;
    case 0x2D: return XK_Insert;
    case 0x2E: return XK_Delete;
    case 0x2F: return XK_Help;
    case 0x5B: return XK_Super_L;
    case 0x5C: return XK_Super_R;
    case 0x5D: return XK_Menu;
    case 0x5F: return XF86XK_Sleep;
    case 0x6A: return XK_KP_Multiply;
    case 0x6B: return XK_KP_Add;
    case 0x6C: return XK_KP_Separator;
    case 0x6D: return XK_KP_Subtract;
    case 0x6E: return XK_KP_Decimal;
    case 0x6F: return XK_KP_Divide;
    case 0x90: return XK_Num_Lock;
    case 0x91: return XK_Scroll_Lock;
    case 0xA0: return XK_Shift_L;
    case 0xA1: return XK_Shift_R;
    case 0xA2: return XK_Control_L;
    case 0xA3: return XK_Control_R;
    case 0xA4: return XK_Alt_L;
    case 0xA5: return XK_Alt_R;
    case 0xA6: return XF86XK_Back;
    case 0xA7: return XF86XK_Forward;
    case 0xA8: return XF86XK_Refresh;
    case 0xA9: return XF86XK_Stop;
    case 0xAA: return XF86XK_Search;
    case 0xAB: return XF86XK_Favorites;
    case 0xAC: return XF86XK_HomePage;
    case 0xAD: return XF86XK_AudioMute;
    case 0xAE: return XF86XK_AudioLowerVolume;
    case 0xAF: return XF86XK_AudioRaiseVolume;
    case 0xB0: return XF86XK_AudioNext;
    case 0xB1: return XF86XK_AudioPrev;
    case 0xB2: return XF86XK_AudioStop;
    case 0xB3: return XF86XK_AudioPlay;
    case 0xB4: return XF86XK_Mail;
    case 0xB5: return XF86XK_AudioMedia;
    case 0xB6: return XF86XK_MyComputer;
    case 0xB7: return XF86XK_Calculator;
    case 0xBA: return XK_semicolon;
    case 0xBB: return XK_equal;
    case 0xBC: return XK_comma;
    case 0xBD: return XK_minus;
    case 0xBE: return XK_period;
    case 0xBF: return XK_slash;
    case 0xC0: return XK_grave;
    case 0xDB: return XK_bracketleft;
    case 0xDC: return XK_backslash;
    case 0xDD: return XK_bracketright;
    case 0xDE: return XK_apostrophe;
    case 0xE2: return XK_less;
    default: return 0;
  }
}

unsigned long keysymForCodePoint(char32_t cp) {
  // Latin-1 printable characters are their own keysyms; everything else
  // uses the Unicode keysym range.
  if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) return cp;
  return 0x01000000ul | cp;
}

namespace {

// A huge "delta" must not tie the echo thread up in click loops.
constexpr int kMaxWheelClicks = 100;
// A remapped spare keycode stays mapped this long after its last use, so
// that clients translating the key event late still see the character.
constexpr std::uint64_t kSpareRestoreMs = 500;
constexpr std::size_t kSparePool = 4;

class XTestInjector final : public InputInjector {
 public:
  explicit XTestInjector(std::string displayName) : displayName_(std::move(displayName)) {}
  ~XTestInjector() override {
    if (dpy_ == nullptr) return;
    // A server that went away gets no call at all: the connection is only
    // abandoned (at process exit this is the static agent's destructor).
    if (!detail::x11ServerGone(dpy_)) restoreSpares();
    detail::closeX11Display(dpy_);
  }

  void moveTo(float u, float v, const MonitorInfo& rect) override {
    if (!ready()) return;
    const int screen = DefaultScreen(dpy_);
    const std::int32_t w = DisplayWidth(dpy_, screen);
    const std::int32_t h = DisplayHeight(dpy_, screen);
    if (w < 1 || h < 1) return;
    // The root window is the virtual desktop, with its corner at (0, 0).
    const DesktopPixel p = mapToDesktopPixel(u, v, rect, 0, 0);
    const auto x = static_cast<int>(std::clamp<std::int64_t>(p.x, 0, w - 1));
    const auto y = static_cast<int>(std::clamp<std::int64_t>(p.y, 0, h - 1));
    guarded([&] { XTestFakeMotionEvent(dpy_, screen, x, y, CurrentTime); });
  }

  void mouseButton(int button, bool down) override {
    if (!ready()) return;
    static constexpr unsigned kXButton[] = {1, 3, 2};
    fakeButton(kXButton[normalizeButton(button)], down);
  }

  void wheel(int notches, bool ctrl) override {
    if (!ready()) return;
    const KeyCode control = ctrl ? codeFor(XK_Control_L) : 0;
    if (control != 0) fakeKey(control, true);
    const unsigned button = notches > 0 ? 4 : 5;
    const long long magnitude = notches < 0 ? -static_cast<long long>(notches) : notches;
    const int clicks = static_cast<int>(std::min<long long>(magnitude, kMaxWheelClicks));
    for (int i = 0; i < clicks; ++i) {
      fakeButton(button, true);
      fakeButton(button, false);
    }
    if (control != 0) fakeKey(control, false);
  }

  void keyEvent(unsigned vk, bool down) override {
    if (!ready()) return;
    const KeySym sym = keysymForVirtualKey(vk);
    if (sym == 0) return;
    const KeyCode code = codeFor(sym);
    if (code != 0) fakeKey(code, down);
  }

  void pressKey(unsigned vk) override {
    keyEvent(vk, true);
    keyEvent(vk, false);
  }

  void typeText(std::string_view utf8) override {
    if (!ready()) return;
    walkTypedText(
        utf8, [this](unsigned vk) { pressKey(vk); }, [this](char32_t cp) { typeCharacter(cp); });
  }

  std::uint64_t housekeepingDueMs() const override {
    return dpy_ == nullptr || remapped_.empty() ? net::WaitSet::kNever : lastRemapMs_ + kSpareRestoreMs;
  }
  int waitHandle() const override { return dpy_ == nullptr ? -1 : ConnectionNumber(dpy_); }

  void housekeeping() override {
    if (dpy_ == nullptr) return;
    const std::uint64_t nowMs = monotonicMs();
    if (!remapped_.empty() && nowMs - lastRemapMs_ >= kSpareRestoreMs) restoreSpares();
    // Every pass: the echo thread sleeps on this connection, so what it
    // brings must be read or the next wait would end at once.
    if (dpy_ != nullptr) drainEvents();
    if (dpy_ != nullptr && keymapStale_ && remapped_.empty()) {
      keymapStale_ = false;
      loadKeymap();
    }
  }

 private:
  struct Remap {
    KeyCode code;
    KeySym sym;
  };

  bool ready() {
    if (dpy_ != nullptr) return true;
    // Retried with the capture's pause, so a new server on the same display
    // is used as soon as pictures come from it again.
    const std::uint64_t now = monotonicMs();
    if (now < retryAtMs_) return false;
    dpy_ = detail::openX11Display(displayName_.empty() ? nullptr : displayName_.c_str());
    int event = 0, error = 0, major = 0, minor = 0;
    if (dpy_ != nullptr && !XTestQueryExtension(dpy_, &event, &error, &major, &minor)) {
      detail::closeX11Display(dpy_);
      dpy_ = nullptr;
    }
    if (dpy_ == nullptr) {
      retryDelayMs_ = retryDelayMs_ == 0 ? EchoService::kCaptureRetryFirstMs
                                         : std::min(retryDelayMs_ * 2, EchoService::kCaptureRetryMaxMs);
      retryAtMs_ = now + retryDelayMs_;
      if (!warned_) {
        warned_ = true;
        const std::string name = displayName_.empty() ? envValue("DISPLAY") : displayName_;
        logWrite(LogLevel::Warn, "反控输入不可用：无法连接 X 显示 %s（或缺少 XTEST 扩展）", name.c_str());
      }
      return false;
    }
    retryDelayMs_ = 0;
    warned_ = false;
    loadKeymap();
    return true;
  }

  void loadKeymap() {
    XDisplayKeycodes(dpy_, &minCode_, &maxCode_);
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(dpy_, static_cast<KeyCode>(minCode_), maxCode_ - minCode_ + 1, &per);
    keymap_.clear();
    perCode_ = 0;
    if (syms == nullptr) return;
    perCode_ = per;
    keymap_.assign(syms, syms + static_cast<std::size_t>(per) * (maxCode_ - minCode_ + 1));
    XFree(syms);
    spares_.clear();
    for (int code = maxCode_; code >= minCode_ && spares_.size() < kSparePool; --code) {
      bool empty = true;
      for (int i = 0; i < perCode_ && empty; ++i) empty = symAt(code, i) == NoSymbol;
      if (empty) spares_.push_back(static_cast<KeyCode>(code));
    }
  }

  KeySym symAt(int code, int column) const {
    if (code < minCode_ || code > maxCode_ || column >= perCode_) return NoSymbol;
    return keymap_[static_cast<std::size_t>(code - minCode_) * perCode_ + column];
  }

  // Keycode whose first or second column holds sym; shift tells which.
  KeyCode find(KeySym sym, bool& shift) const {
    for (int column = 0; column < 2; ++column) {
      for (int code = minCode_; code <= maxCode_; ++code) {
        if (symAt(code, column) == sym) {
          shift = column == 1;
          return static_cast<KeyCode>(code);
        }
      }
    }
    return 0;
  }

  KeyCode codeFor(KeySym sym) const {
    bool shift = false;
    return find(sym, shift);
  }

  // Xlib's default handlers end the process on any X error (a refused
  // keycode, say) or a lost server; here an error only loses that event,
  // and a lost server is reopened later. The round trip delivers the
  // event's errors while the trap is in place.
  template <typename Fn>
  void guarded(Fn&& fn) {
    if (dpy_ == nullptr) return;
    detail::withX11Errors([&] {
      fn();
      XSync(dpy_, False);
    });
    if (detail::x11DisplayLost(dpy_)) abandon();
  }

  // The server went away: the connection is dropped without another call.
  void abandon() {
    detail::closeX11Display(dpy_);
    dpy_ = nullptr;
    remapped_.clear();
    retryDelayMs_ = EchoService::kCaptureRetryFirstMs;
    retryAtMs_ = monotonicMs() + retryDelayMs_;
  }

  void fakeKey(KeyCode code, bool down) {
    guarded([&] { XTestFakeKeyEvent(dpy_, code, down ? True : False, CurrentTime); });
  }

  void fakeButton(unsigned button, bool down) {
    guarded([&] { XTestFakeButtonEvent(dpy_, button, down ? True : False, CurrentTime); });
  }

  void typeCharacter(char32_t cp) {
    const KeySym sym = keysymForCodePoint(cp);
    bool shift = false;
    KeyCode code = find(sym, shift);
    if (code == 0) {
      code = remapSpare(sym);
      shift = false;
      if (code == 0) return;
    }
    const KeyCode shiftCode = shift ? codeFor(XK_Shift_L) : 0;
    if (shift && shiftCode == 0) return;
    if (shiftCode != 0) fakeKey(shiftCode, true);
    fakeKey(code, true);
    fakeKey(code, false);
    if (shiftCode != 0) fakeKey(shiftCode, false);
  }

  // Maps a spare keycode to sym (both levels) and returns it; 0 when the
  // keyboard map has no spare keycode.
  KeyCode remapSpare(KeySym sym) {
    if (spares_.empty()) return 0;
    lastRemapMs_ = monotonicMs();
    for (const Remap& r : remapped_)
      if (r.sym == sym) return r.code;
    // Round robin, so the characters of one text keep distinct codes.
    const KeyCode code = spares_[nextSpare_++ % spares_.size()];
    std::erase_if(remapped_, [code](const Remap& r) { return r.code == code; });
    KeySym pair[2] = {sym, sym};
    guarded([&] { XChangeKeyboardMapping(dpy_, code, 2, pair, 1); });
    if (dpy_ == nullptr) return 0;
    setLocal(code, sym);
    remapped_.push_back({code, sym});
    return code;
  }

  void restoreSpares() {
    if (remapped_.empty()) return;
    const std::vector<Remap> restoring = std::move(remapped_);
    remapped_.clear();
    guarded([&] {
      for (const Remap& r : restoring) {
        KeySym none[2] = {NoSymbol, NoSymbol};
        XChangeKeyboardMapping(dpy_, r.code, 2, none, 1);
      }
    });
    if (dpy_ == nullptr) return;
    for (const Remap& r : restoring) setLocal(r.code, NoSymbol);
  }

  void setLocal(KeyCode code, KeySym sym) {
    for (int i = 0; i < perCode_; ++i)
      keymap_[static_cast<std::size_t>(code - minCode_) * perCode_ + i] = i < 2 ? sym : NoSymbol;
  }

  // Mapping changes (ours included) arrive as events on this connection;
  // nobody else reads them, so they are consumed here.
  // This is also where a server that went away while nobody typed is found.
  void drainEvents() {
    if (detail::x11ServerGone(dpy_)) return abandon();
    while (!detail::x11DisplayLost(dpy_) && XPending(dpy_) > 0) {
      XEvent ev;
      XNextEvent(dpy_, &ev);
      if (ev.type == MappingNotify && ev.xmapping.request == MappingKeyboard) keymapStale_ = true;
    }
    if (detail::x11DisplayLost(dpy_)) abandon();
  }

  std::string displayName_;
  Display* dpy_ = nullptr;
  std::uint64_t retryAtMs_ = 0;
  std::uint64_t retryDelayMs_ = 0;
  std::uint64_t lastRemapMs_ = 0;
  bool warned_ = false;
  bool keymapStale_ = false;
  int minCode_ = 0;
  int maxCode_ = -1;
  int perCode_ = 0;
  std::vector<KeySym> keymap_;
  std::vector<KeyCode> spares_;
  std::vector<Remap> remapped_;
  std::size_t nextSpare_ = 0;
};

}  // namespace

std::unique_ptr<InputInjector> createPlatformInjector(const std::string& displayName) {
  if (displayName.empty())
    if (const std::shared_ptr<DesktopBackend> backend = installedDesktopBackend()) return backend->createInjector();
  return std::make_unique<XTestInjector>(displayName);
}

}  // namespace vl
