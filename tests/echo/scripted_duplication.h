// A scripted duplicated desktop: frames change the desktop's pixels when
// acquired and report it through move and dirty rectangles, and the region
// is duplicated through the same bookkeeping as the DXGI backend (changed
// rectangles copied into stale staging buffers, read rectangle by rectangle).
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "echo/duplication_damage.h"

namespace vl::test {

// Answers the two metadata calls from lists as the documented calls do:
// MORE_DATA with the size needed when the buffer is short. Calls land in
// `trace`: M / D, "+" when answered MORE_DATA, "!" when failed.
struct ScriptedMetadata final : FrameMetadataSource {
  std::vector<OutputMove> moves;
  std::vector<OutputRect> dirty;
  bool alwaysMore = false;  // a driver that keeps asking for more
  DuplicationFault failDirty = DuplicationFault::None;
  std::string trace;

  DuplicationFault moveRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& moreData,
                             std::string& reason) override {
    return answer("M", moves.data(), moves.size() * sizeof(OutputMove), DuplicationFault::None, buffer, bytes,
                  used, moreData, reason);
  }
  DuplicationFault dirtyRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& moreData,
                              std::string& reason) override {
    return answer("D", dirty.data(), dirty.size() * sizeof(OutputRect), failDirty, buffer, bytes, used, moreData,
                  reason);
  }
  std::uint32_t exactBytes() const {
    return static_cast<std::uint32_t>(moves.size() * sizeof(OutputMove) + dirty.size() * sizeof(OutputRect));
  }

 private:
  DuplicationFault answer(const char* call, const void* data, std::size_t size, DuplicationFault fault,
                          void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& moreData,
                          std::string& reason) {
    trace += (trace.empty() ? "" : " ") + std::string(call);
    moreData = false;
    used = 0;
    if (fault != DuplicationFault::None) {
      trace += "!";
      reason = "访问丢失";
      return fault;
    }
    used = static_cast<std::uint32_t>(size);
    if (alwaysMore || size > bytes) {
      trace += "+";
      moreData = true;
      if (alwaysMore) used = bytes + 64;
      return DuplicationFault::None;
    }
    if (size > 0) std::memcpy(buffer, data, size);
    return DuplicationFault::None;
  }
};

// One acquired frame: the desktop changes (moves first, then the dirty
// rectangles are painted anew) and the frame reports it.
struct DesktopFrame {
  std::vector<OutputMove> moves;
  std::vector<OutputRect> dirty;
  bool pointerOnly = false;
  DuplicationFault fault = DuplicationFault::None;  // the dirty-rectangle call fails so
  bool announceShort = false;                       // TotalMetadataBufferSize too small
};

// Records every call in `trace`: S set-up, T tear-down, A<slot> acquire,
// R<slot> / W<slot> read without / with waiting.
class ScriptedDesktop : public DuplicationBackend {
 public:
  ScriptedDesktop(std::int32_t width, std::int32_t height, const OutputRect& box)
      : width_(width), height_(height), box_(box), pixels_(static_cast<std::size_t>(width) * height * 4) {
    buffer.assign(regionBytes(), 0);
    for (auto& s : staging_) s.assign(regionBytes(), 0xCD);  // stale until written
    fill(OutputRect{0, 0, width, height});
  }

  std::vector<std::uint8_t> buffer;  // where reads land unless target() says otherwise
  std::deque<DesktopFrame> frames;   // empty: the wait times out
  std::deque<bool> stillDrawing;     // answers of reads without waiting
  std::string trace;
  int setUps = 0;

  void target(std::uint8_t* dst, std::size_t stride) {
    dst_ = dst;
    stride_ = stride;
  }
  // The region as B, G, R, X rows: what a full copy gives.
  std::vector<std::uint8_t> region() const {
    std::vector<std::uint8_t> out(regionBytes());
    copyDamage(at(box_.left, box_.top), pitch(), out.data(), regionPitch(), regionWidth(), regionHeight(),
               FrameDamage{});
    return out;
  }

  DuplicationFault setUp(bool, std::string&) override {
    note("S");
    ++setUps;
    damage_.reset(box_, false);
    return DuplicationFault::None;
  }
  void tearDown() override { note("T"); }
  DuplicationFault acquire(int slot, bool& queued, std::string& reason) override {
    note("A" + std::to_string(slot));
    queued = false;
    if (frames.empty()) return DuplicationFault::None;
    const DesktopFrame frame = frames.front();
    frames.pop_front();
    for (const OutputMove& m : frame.moves) move(m);
    for (const OutputRect& r : frame.dirty) fill(r);
    ScriptedMetadata metadata;
    metadata.moves = frame.moves;
    metadata.dirty = frame.dirty;
    metadata.failDirty = frame.fault;
    const DuplicatedFrameInfo info{frame.pointerOnly ? 0 : 7, frame.pointerOnly ? 0u : 1u,
                                   frame.announceShort ? 16u : metadata.exactBytes()};
    bool changed = false;
    const DuplicationFault fault = damage_.addFrame(info, metadata, changed, reason);
    if (fault != DuplicationFault::None || !changed) return fault;
    // The GPU copy: the region's changed rectangles into the slot.
    copyDamage(at(box_.left, box_.top), pitch(), staging_[slot & 1].data(), regionPitch(), regionWidth(),
               regionHeight(), damage_.unread());
    damage_.queued(slot);
    queued = true;
    return DuplicationFault::None;
  }
  DuplicationFault read(int slot, bool wait, bool& drawing, FrameDamage& damage, std::string&) override {
    note((wait ? "W" : "R") + std::to_string(slot));
    drawing = !wait && !stillDrawing.empty() && stillDrawing.front();
    if (!wait && !stillDrawing.empty()) stillDrawing.pop_front();
    if (drawing) return DuplicationFault::None;
    copyDamage(staging_[slot & 1].data(), regionPitch(), dst_ ? dst_ : buffer.data(), dst_ ? stride_ : regionPitch(),
               regionWidth(), regionHeight(), damage_.slot(slot));
    damage = damage_.slot(slot);
    damage_.read();
    return DuplicationFault::None;
  }
  void endPass() { trace += " |"; }

 private:
  std::int32_t regionWidth() const { return box_.right - box_.left; }
  std::int32_t regionHeight() const { return box_.bottom - box_.top; }
  std::size_t regionPitch() const { return static_cast<std::size_t>(regionWidth()) * 4; }
  std::size_t regionBytes() const { return regionPitch() * static_cast<std::size_t>(regionHeight()); }
  std::size_t pitch() const { return static_cast<std::size_t>(width_) * 4; }
  std::uint8_t* at(std::int32_t x, std::int32_t y) {
    return pixels_.data() + static_cast<std::size_t>(y) * pitch() + x * 4u;
  }
  const std::uint8_t* at(std::int32_t x, std::int32_t y) const {
    return pixels_.data() + static_cast<std::size_t>(y) * pitch() + x * 4u;
  }
  void note(const std::string& call) { trace += (trace.empty() ? "" : " ") + call; }
  void fill(const OutputRect& r) {
    for (std::int32_t y = std::max(r.top, 0); y < std::min(r.bottom, height_); ++y)
      for (std::int32_t x = std::max(r.left, 0); x < std::min(r.right, width_); ++x) {
        std::uint8_t* p = at(x, y);
        p[0] = static_cast<std::uint8_t>(x * 7 + paint_ * 31);
        p[1] = static_cast<std::uint8_t>(y * 5 + paint_ * 17);
        p[2] = static_cast<std::uint8_t>((x ^ y) + paint_);
        p[3] = 0;
      }
    ++paint_;
  }
  // What the compositor does for a moved area: the pixels at the source go
  // to the destination (overlap allowed).
  void move(const OutputMove& m) {
    const std::int32_t w = m.destination.right - m.destination.left, h = m.destination.bottom - m.destination.top;
    std::vector<std::uint8_t> area(static_cast<std::size_t>(w) * h * 4);
    for (std::int32_t y = 0; y < h; ++y)
      std::memcpy(&area[static_cast<std::size_t>(y) * w * 4], at(m.sourceX, m.sourceY + y), w * 4u);
    for (std::int32_t y = 0; y < h; ++y)
      std::memcpy(at(m.destination.left, m.destination.top + y), &area[static_cast<std::size_t>(y) * w * 4], w * 4u);
  }

  std::int32_t width_, height_;
  OutputRect box_;
  std::vector<std::uint8_t> pixels_;
  std::vector<std::uint8_t> staging_[2];
  std::uint8_t* dst_ = nullptr;
  std::size_t stride_ = 0;
  int paint_ = 1;
  DuplicationDamage damage_;
};

}  // namespace vl::test
