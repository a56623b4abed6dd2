// Display changes reach the window procedures; they count them here.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "echo/display_watch.h"

namespace vl {

namespace {

std::atomic<std::uint64_t> gDisplayChanges{0};
// Sent when the DPI setting changes; missing from MinGW's headers.
constexpr std::uintptr_t kSpiSetLogicalDpi = 0x007D;

class MessageDisplayWatch final : public DisplayWatch {
 public:
  bool changed() override {
    const std::uint64_t now = gDisplayChanges.load();
    if (now == seen_) return false;
    seen_ = now;
    return true;
  }

 private:
  std::uint64_t seen_ = gDisplayChanges.load();
};

}  // namespace

void noteDisplayChange() { gDisplayChanges.fetch_add(1); }

bool noteDisplayMessage(unsigned message, std::uintptr_t wParam) {
  const bool display = message == WM_DISPLAYCHANGE || message == WM_DPICHANGED ||
                       (message == WM_SETTINGCHANGE && (wParam == SPI_SETWORKAREA || wParam == kSpiSetLogicalDpi));
  if (display) noteDisplayChange();
  return display;
}

std::unique_ptr<DisplayWatch> createDisplayWatch() { return std::make_unique<MessageDisplayWatch>(); }

}  // namespace vl
