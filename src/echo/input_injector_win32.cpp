#include <windows.h>

#include "echo/input_injector.h"

namespace vl {

namespace {

class SendInputSink final : public InputRecordSink {
 public:
  void virtualDesktop(std::int32_t& x, std::int32_t& y, std::int32_t& width, std::int32_t& height) override {
    x = GetSystemMetrics(SM_XVIRTUALSCREEN);
    y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  }

  std::uint32_t scanCode(unsigned vk) override { return MapVirtualKeyW(vk, MAPVK_VK_TO_VSC); }

  void send(const InputRecord* records, std::size_t count) override {
    INPUT inputs[4] = {};
    if (count == 0 || count > 4) return;
    for (std::size_t i = 0; i < count; ++i) {
      const InputRecord& r = records[i];
      INPUT& in = inputs[i];
      if (r.type == InputRecord::Type::Mouse) {
        in.type = INPUT_MOUSE;
        in.mi.dx = r.dx;
        in.mi.dy = r.dy;
        in.mi.mouseData = r.mouseData;
        in.mi.dwFlags = r.flags;
        in.mi.time = 0;
        in.mi.dwExtraInfo = 0;
      } else {
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = r.vk;
        in.ki.wScan = r.scan;
        in.ki.dwFlags = r.flags;
        in.ki.time = 0;
        in.ki.dwExtraInfo = 0;
      }
    }
    // A refused injection has no further effect.
    SendInput(static_cast<UINT>(count), inputs, sizeof(INPUT));
  }

  void pause(int ms) override { Sleep(static_cast<DWORD>(ms)); }
};

}  // namespace

std::unique_ptr<InputInjector> createPlatformInjector(const std::string&) {
  return std::make_unique<SendInputInjector>(std::make_unique<SendInputSink>());
}

}  // namespace vl
