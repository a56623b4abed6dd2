#include "echo/input_injector.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace vl {

void InputInjector::click(float u, float v, const MonitorInfo& rect, int button) {
  moveTo(u, v, rect);
  mouseButton(button, true);
  mouseButton(button, false);
}

void InputInjector::doubleClick(float u, float v, const MonitorInfo& rect, int button) {
  click(u, v, rect, button);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  mouseButton(button, true);
  mouseButton(button, false);
}

int normalizeButton(int button) {
  return (button == kButtonRight || button == kButtonMiddle) ? button : kButtonLeft;
}

bool isExtendedKey(unsigned vk) {
  switch (vk & 0xFFFFu) {
    case 0x21: case 0x22: case 0x23: case 0x24:  // Page Up/Down, End, Home
    case 0x25: case 0x26: case 0x27: case 0x28:  // arrows
    case 0x2C: case 0x2D: case 0x2E:             // Print Screen, Insert, Delete
    case 0x5B: case 0x5C: case 0x5D:             // Windows keys, Apps
    case 0x6F:                                   // numpad divide
    case 0x90:                                   // Num Lock
    case 0xA3: case 0xA5:                        // right Ctrl, right Alt
      return true;
    default:
      return false;
  }
}

namespace {

// NaN-safe clamp to 0 … 1.
float unitClamp(float value) {
  if (!(value > 0.0f)) return 0.0f;
  return value < 1.0f ? value : 1.0f;
}

}  // namespace

DesktopPixel mapToDesktopPixel(float u, float v, const MonitorInfo& rect, std::int32_t virtualX,
                               std::int32_t virtualY) {
  u = unitClamp(u);
  v = unitClamp(v);
  const float fx = static_cast<float>(rect.width) * u;
  const float fy = static_cast<float>(rect.height) * v;
  DesktopPixel p;
  p.x = static_cast<std::int64_t>(rect.x) + static_cast<std::int64_t>(fx) - virtualX;
  p.y = static_cast<std::int64_t>(rect.y) + static_cast<std::int64_t>(fy) - virtualY;
  return p;
}

std::int32_t absoluteCoordinate(std::int64_t pixel, std::int32_t extent) {
  if (extent <= 1) return 0;
  const double a = static_cast<double>(pixel) * 65535.0 / static_cast<double>(extent - 1);
  return static_cast<std::int32_t>(std::clamp(a, 0.0, 65535.0));
}

namespace {

// One step of the walk from byte i: where it ends, and the code point it
// yields (-1 for skipped bytes and for a sequence cut off by the end, which
// ends the walk: its step runs to the end of the text).
struct TypedStep {
  std::size_t next;
  std::int32_t codePoint;
};

TypedStep typedStep(std::string_view utf8, std::size_t i) {
  const std::size_t n = utf8.size();
  const auto lead = static_cast<std::uint8_t>(utf8[i]);
  std::size_t extra;
  char32_t cp;
  if (lead < 0x80) {
    extra = 0;
    cp = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    return {i + 1, -1};  // stray continuation byte or 0xF8 … 0xFF
  }
  if (i + extra >= n) return {n, -1};
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto c = static_cast<std::uint8_t>(utf8[i + k]);
    if ((c & 0xC0) != 0x80) return {i + 1 + extra, -1};
    cp = (cp << 6) | (c & 0x3F);
  }
  return {i + 1 + extra, static_cast<std::int32_t>(cp)};
}

}  // namespace

void walkTypedText(std::string_view utf8, const std::function<void(unsigned vk)>& onKey,
                   const std::function<void(char32_t cp)>& onChar) {
  for (std::size_t i = 0; i < utf8.size();) {
    const TypedStep step = typedStep(utf8, i);
    i = step.next;
    if (step.codePoint < 0) continue;
    const auto cp = static_cast<char32_t>(step.codePoint);
    if (cp == 8) {
      onKey(kVkBack);
    } else if (cp == 10 || cp == 13) {
      onKey(kVkReturn);
    } else if (cp == 9) {
      onKey(kVkTab);
    } else if (cp >= 32) {
      onChar(cp);
    }
  }
}

std::size_t typedTextPrefix(std::string_view utf8, std::size_t maxCodePoints, std::size_t& count) {
  count = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const TypedStep step = typedStep(utf8, i);
    if (step.codePoint >= 0) {
      if (count == maxCodePoints) break;
      ++count;
    }
    i = step.next;
  }
  return i;
}

SendInputInjector::SendInputInjector(std::unique_ptr<InputRecordSink> sink) : sink_(std::move(sink)) {}

void SendInputInjector::moveTo(float u, float v, const MonitorInfo& rect) {
  std::int32_t vx = 0, vy = 0, vw = 0, vh = 0;
  sink_->virtualDesktop(vx, vy, vw, vh);
  if (vw < 1 || vh < 1) return;
  const DesktopPixel p = mapToDesktopPixel(u, v, rect, vx, vy);
  InputRecord r;
  r.type = InputRecord::Type::Mouse;
  r.dx = absoluteCoordinate(p.x, vw);
  r.dy = absoluteCoordinate(p.y, vh);
  r.flags = kMouseMove | kMouseAbsolute | kMouseVirtualDesk;
  sink_->send(&r, 1);
}

void SendInputInjector::mouseButton(int button, bool down) {
  static constexpr std::uint32_t kDown[] = {kMouseLeftDown, kMouseRightDown, kMouseMiddleDown};
  static constexpr std::uint32_t kUp[] = {kMouseLeftUp, kMouseRightUp, kMouseMiddleUp};
  const int b = normalizeButton(button);
  InputRecord r;
  r.type = InputRecord::Type::Mouse;
  r.flags = down ? kDown[b] : kUp[b];
  sink_->send(&r, 1);
}

void SendInputInjector::click(float u, float v, const MonitorInfo& rect, int button) {
  moveTo(u, v, rect);
  mouseButton(button, true);
  mouseButton(button, false);
}

void SendInputInjector::doubleClick(float u, float v, const MonitorInfo& rect, int button) {
  moveTo(u, v, rect);
  mouseButton(button, true);
  mouseButton(button, false);
  sink_->pause(10);
  mouseButton(button, true);
  mouseButton(button, false);
}

void SendInputInjector::wheel(int notches, bool ctrl) {
  // mouseData is a DWORD; keep the product inside 32 bits.
  const std::int64_t amount = std::clamp<std::int64_t>(
      static_cast<std::int64_t>(notches) * kWheelDelta, std::numeric_limits<std::int32_t>::min(),
      std::numeric_limits<std::int32_t>::max());
  InputRecord w;
  w.type = InputRecord::Type::Mouse;
  w.mouseData = static_cast<std::uint32_t>(static_cast<std::int32_t>(amount));
  w.flags = kMouseWheel;
  if (ctrl) {
    const InputRecord down = keyRecord(kVkControl, true);
    sink_->send(&down, 1);
  }
  sink_->send(&w, 1);
  if (ctrl) {
    const InputRecord up = keyRecord(kVkControl, false);
    sink_->send(&up, 1);
  }
}

InputRecord SendInputInjector::keyRecord(unsigned vk, bool down) {
  InputRecord r;
  r.type = InputRecord::Type::Keyboard;
  r.vk = static_cast<std::uint16_t>(vk & 0xFFFFu);
  r.scan = static_cast<std::uint16_t>(sink_->scanCode(vk & 0xFFFFu) & 0xFFu);
  r.flags = (isExtendedKey(vk) ? kKeyExtended : 0u) | (down ? 0u : kKeyUp);
  return r;
}

void SendInputInjector::keyEvent(unsigned vk, bool down) {
  const InputRecord r = keyRecord(vk, down);
  sink_->send(&r, 1);
}

void SendInputInjector::pressKey(unsigned vk) {
  const InputRecord pair[2] = {keyRecord(vk, true), keyRecord(vk, false)};
  sink_->send(pair, 2);
}

void SendInputInjector::sendUnit(std::uint16_t unit) {
  InputRecord pair[2];
  for (auto& r : pair) {
    r.type = InputRecord::Type::Keyboard;
    r.scan = unit;
  }
  pair[0].flags = kKeyUnicode;
  pair[1].flags = kKeyUnicode | kKeyUp;
  sink_->send(pair, 2);
}

void SendInputInjector::typeText(std::string_view utf8) {
  walkTypedText(
      utf8, [this](unsigned vk) { pressKey(vk); },
      [this](char32_t cp) {
        if (cp <= 0xFFFF) {
          sendUnit(static_cast<std::uint16_t>(cp));
          return;
        }
        const char32_t rest = cp - 0x10000;
        sendUnit(static_cast<std::uint16_t>(0xD800 + (rest >> 10)));
        sendUnit(static_cast<std::uint16_t>(0xDC00 + (rest & 0x3FF)));
      });
}

}  // namespace vl
