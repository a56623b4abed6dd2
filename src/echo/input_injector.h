// Reverse input: turning a viewer's pointer, button, wheel, key and text
// events into local input. The echo service talks to an InputInjector; the
// platform one is SendInput on Windows and XTest on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "echo/capture.h"
#include "net/wait_set.h"

namespace vl {

// Buttons as numbered in messages and masks.
inline constexpr int kButtonLeft = 0;
inline constexpr int kButtonRight = 1;
inline constexpr int kButtonMiddle = 2;
// Any other number means the left button.
int normalizeButton(int button);

// Windows virtual-key codes that the injectors themselves use.
inline constexpr unsigned kVkBack = 0x08;
inline constexpr unsigned kVkTab = 0x09;
inline constexpr unsigned kVkReturn = 0x0D;
inline constexpr unsigned kVkShift = 0x10;
inline constexpr unsigned kVkControl = 0x11;
inline constexpr unsigned kVkLeft = 0x25;

// Whether the key needs the extended-key flag (low 16 bits are looked at).
bool isExtendedKey(unsigned vk);

// Pixel offset from the virtual desktop's top-left corner that (u, v) of the
// rectangle falls on; u and v are clamped to 0 … 1 first.
struct DesktopPixel {
  std::int64_t x = 0;
  std::int64_t y = 0;
};
DesktopPixel mapToDesktopPixel(float u, float v, const MonitorInfo& rect, std::int32_t virtualX,
                               std::int32_t virtualY);
// px × 65535 / (extent − 1) clamped to 0 … 65535; extent must be ≥ 1 (an
// extent of 1 maps every pixel to 0).
std::int32_t absoluteCoordinate(std::int64_t pixel, std::int32_t extent);

// Walks UTF-8 text the way typing does: Backspace, Tab and Enter (for CR and
// for LF) become onKey with their virtual key, other control characters are
// dropped, every other code point goes to onChar. Stray bytes are skipped; a
// sequence with a bad continuation byte is skipped whole; a sequence cut off
// by the end of the text ends the walk.
void walkTypedText(std::string_view utf8, const std::function<void(unsigned vk)>& onKey,
                   const std::function<void(char32_t cp)>& onChar);

// Bytes of the longest start of the text that holds at most maxCodePoints
// of the code points walkTypedText acts on, cut only where the walk's own
// steps end, so typing the start and then the rest types the same as
// typing the whole. `count` receives how many code points the start holds.
std::size_t typedTextPrefix(std::string_view utf8, std::size_t maxCodePoints, std::size_t& count);

// All operations run on the echo thread.
class InputInjector {
 public:
  virtual ~InputInjector() = default;
  // Absolute move to (u, v) of the rectangle.
  virtual void moveTo(float u, float v, const MonitorInfo& rect) = 0;
  // Press or release where the pointer is.
  virtual void mouseButton(int button, bool down) = 0;
  // A move, then press and release.
  virtual void click(float u, float v, const MonitorInfo& rect, int button);
  // A move, then press, release, a 10 ms pause, press, release.
  virtual void doubleClick(float u, float v, const MonitorInfo& rect, int button);
  // Positive notches turn the wheel away from the user.
  virtual void wheel(int notches, bool ctrl) = 0;
  virtual void keyEvent(unsigned vk, bool down) = 0;
  virtual void pressKey(unsigned vk) = 0;
  virtual void typeText(std::string_view utf8) = 0;
  // Called once per service pass for deferred clean-up.
  virtual void housekeeping() {}
  // When housekeeping next has something to do (never: only when the
  // wait handle reads ready or input comes), and a handle whose readiness
  // needs a pass (-1: none). The echo thread sleeps on both.
  virtual std::uint64_t housekeepingDueMs() const { return net::WaitSet::kNever; }
  virtual int waitHandle() const { return -1; }
};

// One input event in SendInput's terms, independent of <windows.h>.
struct InputRecord {
  enum class Type : std::uint8_t { Mouse = 0, Keyboard = 1 };
  Type type = Type::Mouse;
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::uint32_t mouseData = 0;
  std::uint32_t flags = 0;  // dwFlags of the mouse or keyboard part
  std::uint16_t vk = 0;
  std::uint16_t scan = 0;
  bool operator==(const InputRecord&) const = default;
};

inline constexpr std::uint32_t kMouseMove = 0x0001;
inline constexpr std::uint32_t kMouseLeftDown = 0x0002;
inline constexpr std::uint32_t kMouseLeftUp = 0x0004;
inline constexpr std::uint32_t kMouseRightDown = 0x0008;
inline constexpr std::uint32_t kMouseRightUp = 0x0010;
inline constexpr std::uint32_t kMouseMiddleDown = 0x0020;
inline constexpr std::uint32_t kMouseMiddleUp = 0x0040;
inline constexpr std::uint32_t kMouseWheel = 0x0800;
inline constexpr std::uint32_t kMouseVirtualDesk = 0x4000;
inline constexpr std::uint32_t kMouseAbsolute = 0x8000;
inline constexpr std::uint32_t kKeyExtended = 0x0001;
inline constexpr std::uint32_t kKeyUp = 0x0002;
inline constexpr std::uint32_t kKeyUnicode = 0x0004;
inline constexpr std::int32_t kWheelDelta = 120;

// Where SendInput-style records go, plus the two system queries they need.
class InputRecordSink {
 public:
  virtual ~InputRecordSink() = default;
  // SM_XVIRTUALSCREEN, SM_YVIRTUALSCREEN, SM_CXVIRTUALSCREEN, SM_CYVIRTUALSCREEN.
  virtual void virtualDesktop(std::int32_t& x, std::int32_t& y, std::int32_t& width,
                              std::int32_t& height) = 0;
  // MapVirtualKeyW(vk, MAPVK_VK_TO_VSC).
  virtual std::uint32_t scanCode(unsigned vk) = 0;
  // One SendInput call.
  virtual void send(const InputRecord* records, std::size_t count) = 0;
  virtual void pause(int ms) = 0;
};

// Builds the records SendInput expects and hands them to a sink. The
// Windows injector is this class over a SendInput sink; tests use a
// recording sink on every platform.
class SendInputInjector final : public InputInjector {
 public:
  explicit SendInputInjector(std::unique_ptr<InputRecordSink> sink);
  void moveTo(float u, float v, const MonitorInfo& rect) override;
  void mouseButton(int button, bool down) override;
  void click(float u, float v, const MonitorInfo& rect, int button) override;
  void doubleClick(float u, float v, const MonitorInfo& rect, int button) override;
  void wheel(int notches, bool ctrl) override;
  void keyEvent(unsigned vk, bool down) override;
  void pressKey(unsigned vk) override;
  void typeText(std::string_view utf8) override;

 private:
  InputRecord keyRecord(unsigned vk, bool down);
  void sendUnit(std::uint16_t unit);

  std::unique_ptr<InputRecordSink> sink_;
};

// The injector of this platform. On Linux it opens its own connection to
// the display named by DISPLAY (or displayName) at its first use.
std::unique_ptr<InputInjector> createPlatformInjector(const std::string& displayName = {});

#if !defined(_WIN32)
// X keysym for a Windows virtual key; 0 for a code without one.
unsigned long keysymForVirtualKey(unsigned vk);
// X keysym that types the code point.
unsigned long keysymForCodePoint(char32_t cp);
#endif

}  // namespace vl
