// Internal: DXGI desktop duplication of one rectangle that lies on one
// output (Windows 8 and later; Wine does not implement it), as the backend
// DuplicationRecovery drives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "echo/capture.h"
#include "echo/duplication_recovery.h"

namespace vl::detail {

class DesktopDuplication final : public DuplicationBackend {
 public:
  DesktopDuplication();
  ~DesktopDuplication() override;
  DesktopDuplication(const DesktopDuplication&) = delete;
  DesktopDuplication& operator=(const DesktopDuplication&) = delete;

  // The rectangle to duplicate and where its rows go (bytes B, G, R, X, rows
  // `stride` bytes apart). Closes first; nothing is set up until setUp.
  void open(const MonitorInfo& rect, std::uint8_t* dst, std::size_t stride);
  // Releases everything, the device too.
  void close();

  DuplicationFault setUp(bool newDevice, std::string& reason) override;
  void tearDown() override;
  DuplicationFault acquire(int slot, bool& queued, std::string& reason) override;
  DuplicationFault read(int slot, bool wait, bool& stillDrawing, FrameDamage& damage,
                        std::string& reason) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vl::detail
