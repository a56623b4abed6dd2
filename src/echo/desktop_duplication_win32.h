// Internal: DXGI desktop duplication of one rectangle that lies on one
// output (Windows 8 and later; Wine does not implement it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "echo/capture.h"

namespace vl::detail {

class DesktopDuplication {
 public:
  DesktopDuplication();
  ~DesktopDuplication();
  DesktopDuplication(const DesktopDuplication&) = delete;
  DesktopDuplication& operator=(const DesktopDuplication&) = delete;

  // Closes first. false, with the reason, when duplication cannot serve the
  // rectangle: it touches several outputs or none, the output is rotated,
  // or the system lacks or refuses duplication.
  bool open(const MonitorInfo& rect, std::string& reason);
  void close();

  enum class Copy {
    Picture,       // dst holds the rectangle
    NoPictureYet,  // no desktop frame has arrived since open
    Failed,        // duplication stopped working (reason says why)
  };
  // Copies the rectangle's rows (bytes B, G, R, X) into dst, rows `stride`
  // bytes apart: the newest desktop picture, or the previous one when none
  // is newer (it never waits). After ACCESS_LOST (mode change, desktop
  // switch, UAC prompt) the previous picture serves once and the next call
  // duplicates the output again.
  Copy copyTo(std::uint8_t* dst, std::size_t stride, std::string& reason);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vl::detail
