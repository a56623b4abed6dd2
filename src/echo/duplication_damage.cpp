#include "echo/duplication_damage.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vl {
namespace {

// Room beyond what a frame announced, so a frame with a few more
// rectangles than the last does not grow the buffer again.
constexpr std::size_t kSpareBytes = 16 * sizeof(OutputMove);

std::uint32_t bytes32(std::size_t bytes) {
  return static_cast<std::uint32_t>(std::min<std::size_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

void DuplicationDamage::reset(const OutputRect& box, bool rotated) {
  box_ = box;
  width_ = std::max(box.right - box.left, 0);
  height_ = std::max(box.bottom - box.top, 0);
  rotated_ = rotated;
  unread_.setWhole();
  slots_[0].setWhole();
  slots_[1].setWhole();
}

void DuplicationDamage::ensure(std::size_t bytes) {
  if (metadata_.size() >= bytes) return;
  metadata_.resize(bytes);
  ++growths_;
}

bool DuplicationDamage::addRect(const OutputRect& r) {
  const std::int32_t x0 = std::max(r.left, box_.left), y0 = std::max(r.top, box_.top);
  const std::int32_t x1 = std::min(r.right, box_.right), y1 = std::min(r.bottom, box_.bottom);
  if (x1 <= x0 || y1 <= y0) return false;
  unread_.add(PixelRect{x0 - box_.left, y0 - box_.top, x1 - x0, y1 - y0}, width_, height_);
  return true;
}

DuplicationFault DuplicationDamage::addFrame(const DuplicatedFrameInfo& info, FrameMetadataSource& metadata,
                                             bool& changed, std::string& reason) {
  changed = false;
  // Only the pointer moved or changed shape: the image is the one before.
  if (info.lastPresentTime == 0 || info.accumulatedFrames == 0) return DuplicationFault::None;
  // Nothing finer is needed, or nothing says where: a frame presented
  // without rectangles is taken as changed all over rather than not at all.
  if (unread_.whole || rotated_ || info.totalMetadataBytes == 0) {
    unread_.setWhole();
    changed = true;
    return DuplicationFault::None;
  }
  ensure(info.totalMetadataBytes + kSpareBytes);

  // Moves first, then the dirty rectangles behind them in the same buffer.
  // A buffer found too small is grown once to what the call asked for.
  std::uint32_t moveBytes = 0;
  bool more = false;
  DuplicationFault fault = metadata.moveRects(metadata_.data(), bytes32(metadata_.size()), moveBytes, more, reason);
  if (fault == DuplicationFault::None && more) {
    ensure(std::size_t{moveBytes} + info.totalMetadataBytes + kSpareBytes);
    fault = metadata.moveRects(metadata_.data(), bytes32(metadata_.size()), moveBytes, more, reason);
  }
  if (fault != DuplicationFault::None) return fault;
  moveBytes = std::min(moveBytes, bytes32(metadata_.size()));
  std::uint32_t dirtyBytes = 0;
  if (!more) {
    ensure(std::size_t{moveBytes} + kSpareBytes);
    fault = metadata.dirtyRects(metadata_.data() + moveBytes, bytes32(metadata_.size() - moveBytes), dirtyBytes,
                                more, reason);
    if (fault == DuplicationFault::None && more) {
      ensure(std::size_t{moveBytes} + dirtyBytes + kSpareBytes);
      fault = metadata.dirtyRects(metadata_.data() + moveBytes, bytes32(metadata_.size() - moveBytes), dirtyBytes,
                                  more, reason);
    }
    if (fault != DuplicationFault::None) return fault;
  }
  if (more) {
    // Asked for more twice: the rectangles are not to be had, all of it changed.
    unread_.setWhole();
    changed = true;
    return DuplicationFault::None;
  }
  dirtyBytes = std::min(dirtyBytes, bytes32(metadata_.size() - moveBytes));

  const std::uint8_t* at = metadata_.data();
  for (std::size_t i = 0; i < moveBytes / sizeof(OutputMove); ++i) {
    OutputMove move;
    std::memcpy(&move, at + i * sizeof move, sizeof move);
    changed = addRect(move.destination) || changed;
  }
  at += moveBytes;
  for (std::size_t i = 0; i < dirtyBytes / sizeof(OutputRect); ++i) {
    OutputRect dirty;
    std::memcpy(&dirty, at + i * sizeof dirty, sizeof dirty);
    changed = addRect(dirty) || changed;
  }
  return DuplicationFault::None;
}

void copyDamage(const std::uint8_t* src, std::size_t srcPitch, std::uint8_t* dst, std::size_t dstStride,
                std::int32_t width, std::int32_t height, const FrameDamage& damage) {
  const auto copy = [&](const PixelRect& r) {
    const std::int32_t x0 = std::max(r.x, 0), y0 = std::max(r.y, 0);
    const std::int32_t x1 = std::min(r.x + r.width, width), y1 = std::min(r.y + r.height, height);
    if (x1 <= x0 || y1 <= y0) return;
    const std::size_t bytes = static_cast<std::size_t>(x1 - x0) * 4u;
    for (std::int32_t y = y0; y < y1; ++y)
      std::memcpy(dst + static_cast<std::size_t>(y) * dstStride + static_cast<std::size_t>(x0) * 4u,
                  src + static_cast<std::size_t>(y) * srcPitch + static_cast<std::size_t>(x0) * 4u, bytes);
  };
  if (damage.whole) {
    copy(PixelRect{0, 0, width, height});
    return;
  }
  for (const PixelRect& r : damage.rects) copy(r);
}

}  // namespace vl
