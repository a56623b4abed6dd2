#include "echo/viewer_input.h"

#include <algorithm>
#include <string>
#include <utility>

#include "log/helpers.h"
#include "log/log.h"

namespace vl {

namespace {

// More distinct keys than any keyboard can hold down; bounds the list
// against a viewer that only ever presses.
constexpr std::size_t kMaxHeldKeys = 256;

void trackKey(ViewerState& viewer, std::uint32_t vk, bool down) {
  const auto code = static_cast<std::uint16_t>(vk & 0xFFFFu);
  auto& keys = viewer.heldKeys;
  const auto it = std::find(keys.begin(), keys.end(), code);
  if (down) {
    if (it == keys.end() && keys.size() < kMaxHeldKeys) keys.push_back(code);
  } else if (it != keys.end()) {
    keys.erase(it);
  }
}

// What a waiting message counts against kMaxQueuedInputBytes.
std::size_t queuedCost(const InputMessage& message) {
  return sizeof(InputMessage) + message.type.size() + message.text.size();
}

}  // namespace

void applyInput(ViewerState& viewer, const InputMessage& m, InputInjector& injector) {
  const MonitorInfo& rect = viewer.inputRegion;
  const std::string& type = m.type;
  if (type == "move") {
    injector.moveTo(m.u, m.v, rect);
  } else if (type == "down" || type == "up") {
    const bool down = type == "down";
    const int button = normalizeButton(m.button);
    injector.moveTo(m.u, m.v, rect);
    injector.mouseButton(button, down);
    if (down) {
      viewer.buttonMask |= 1u << button;
    } else {
      viewer.buttonMask &= ~(1u << button);
    }
  } else if (type == "click") {
    injector.click(m.u, m.v, rect, normalizeButton(m.button));
  } else if (type == "dbl") {
    injector.doubleClick(m.u, m.v, rect, normalizeButton(m.button));
  } else if (type == "wheel") {
    injector.moveTo(m.u, m.v, rect);
    injector.wheel(m.delta, m.ctrl);
  } else if (type == "key") {
    injector.keyEvent(m.vk, m.down);
    trackKey(viewer, m.vk, m.down);
  } else if (type == "text") {
    injector.typeText(m.text);
  }
}

namespace {

// Performs as much of the message as the budget covers; true when all of
// it was done, otherwise `message` keeps what is left (the rest of a text).
bool applyWithinBudget(ViewerState& viewer, InputMessage& message, InputInjector& injector) {
  if (message.type == "text") {
    if (viewer.textBudget == 0) return false;
    std::size_t points = 0;
    const std::size_t cut = typedTextPrefix(message.text, viewer.textBudget, points);
    viewer.textBudget -= points;
    if (cut >= message.text.size()) {
      applyInput(viewer, message, injector);
      return true;
    }
    InputMessage part;
    part.type = message.type;
    part.text.assign(message.text, 0, cut);
    applyInput(viewer, part, injector);
    message.text.erase(0, cut);
    return false;
  }
  if (message.type == "dbl") {
    if (viewer.doubleClickBudget <= 0) return false;
    --viewer.doubleClickBudget;
  }
  applyInput(viewer, message, injector);
  return true;
}

}  // namespace

void refillInputBudget(ViewerState& viewer) {
  viewer.textBudget = kTextCodePointsPerPass;
  viewer.doubleClickBudget = kDoubleClicksPerPass;
}

bool submitInput(ViewerState& viewer, InputMessage message, InputInjector& injector) {
  if (viewer.pendingInput.empty() && applyWithinBudget(viewer, message, injector)) return true;
  const std::size_t cost = queuedCost(message);
  if (viewer.pendingInputBytes + cost > kMaxQueuedInputBytes) return false;
  viewer.pendingInputBytes += cost;
  viewer.pendingInput.push_back(std::move(message));
  return true;
}

void drainInput(ViewerState& viewer, InputInjector& injector) {
  while (!viewer.pendingInput.empty()) {
    InputMessage& message = viewer.pendingInput.front();
    const std::size_t before = queuedCost(message);
    const bool done = applyWithinBudget(viewer, message, injector);
    viewer.pendingInputBytes -= before - (done ? 0 : queuedCost(message));
    if (!done) return;
    viewer.pendingInput.pop_front();
  }
}

bool buttonWatchdogDue(const ViewerState& viewer, std::uint64_t nowMs) {
  return viewer.buttonMask != 0 && viewer.lastInputMs != 0 && nowMs > viewer.lastInputMs &&
         nowMs - viewer.lastInputMs > kButtonWatchdogMs;
}

void releaseButtons(ViewerState& viewer, const char* reason, InputInjector& injector) {
  if (viewer.buttonMask == 0) return;
  const std::uint32_t mask = viewer.buttonMask;
  for (int button = kButtonLeft; button <= kButtonMiddle; ++button)
    if (mask & (1u << button)) injector.mouseButton(button, false);
  viewer.buttonMask = 0;
  logWrite(LogLevel::Warn,
           "反控按键看门狗: %s ⇒ 自动松开按键(mask=%d)。（不补这一下的话，被控端左键会一直按着：之后光标每动一次就「拖着」底下的窗口/选中文字跑，现场看起来就是「拖动时窗口跳到之前某个位置」。）",
           reason, static_cast<int>(mask));
}

void releaseHeldKeys(ViewerState& viewer, const char* reason, InputInjector& injector) {
  if (viewer.heldKeys.empty()) return;
  std::string codes;
  for (auto it = viewer.heldKeys.rbegin(); it != viewer.heldKeys.rend(); ++it) {
    injector.keyEvent(*it, false);
    if (!codes.empty()) codes += ',';
    codes += formatString("0x%02X", static_cast<unsigned>(*it));
  }
  viewer.heldKeys.clear();
  logWrite(LogLevel::Warn,
           "反控按键看门狗: %s ⇒ 自动松开键盘按键(vk=%s)。（不补这一下的话，被控端的 Shift/Ctrl 等键会一直按着：之后每一次按键和点击都会带上这些修饰键。）",
           reason, codes.c_str());
}

}  // namespace vl
