// Internal: DXGI desktop duplication of one rectangle that lies on one
// output (Windows 8 and later; Wine does not implement it), as the backend
// DuplicationRecovery drives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "echo/capture.h"
#include "echo/duplication_recovery.h"

namespace vl::detail {

// The duplication a capturer drives: a DuplicationBackend for one rectangle
// whose pictures land in the capturer's buffer.
class RegionDuplication : public DuplicationBackend {
 public:
  // The rectangle to duplicate and where its rows go (bytes B, G, R, X, rows
  // `stride` bytes apart). Closes first; nothing is set up until setUp.
  virtual void open(const MonitorInfo& rect, std::uint8_t* dst, std::size_t stride) = 0;
  // Releases everything, the device too.
  virtual void close() = 0;
};

class DesktopDuplication final : public RegionDuplication {
 public:
  DesktopDuplication();
  ~DesktopDuplication() override;
  DesktopDuplication(const DesktopDuplication&) = delete;
  DesktopDuplication& operator=(const DesktopDuplication&) = delete;

  void open(const MonitorInfo& rect, std::uint8_t* dst, std::size_t stride) override;
  void close() override;

  DuplicationFault setUp(bool newDevice, std::string& reason) override;
  void tearDown() override;
  DuplicationFault acquire(int slot, bool& queued, std::string& reason) override;
  DuplicationFault read(int slot, bool wait, bool& stillDrawing, FrameDamage& damage,
                        std::string& reason) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Capturers made after this duplicate through what `make` returns; an
// empty function brings DXGI back. Lets tests script the desktop where
// the system cannot duplicate (Wine).
using RegionDuplicationMaker = std::function<std::unique_ptr<RegionDuplication>()>;
void setRegionDuplicationMaker(RegionDuplicationMaker make);
std::unique_ptr<RegionDuplication> makeRegionDuplication();

}  // namespace vl::detail
