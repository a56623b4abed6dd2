// What each duplicated desktop frame changed in the captured region. Desktop
// duplication says it with every acquired frame: whether the image was
// presented at all (a pointer-only frame was not), and the moved and dirty
// rectangles of the output. Those become FrameDamage in frame pixels, kept
// until a read brings them into the capture buffer, so only the changed
// rectangles cross from the GPU and get converted, scaled again and
// compared. No platform types here: the Windows backend and the tests'
// scripted desktop share this bookkeeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "echo/capture.h"
#include "echo/duplication_recovery.h"

namespace vl {

// A rectangle of the output's desktop image, laid out as RECT (right and
// bottom exclusive).
struct OutputRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
};

// An area moved on the output, laid out as DXGI_OUTDUPL_MOVE_RECT: the
// top-left corner it came from in the previous image, and where it is now.
struct OutputMove {
  std::int32_t sourceX = 0;
  std::int32_t sourceY = 0;
  OutputRect destination;
};

// What the acquire call said about the frame.
struct DuplicatedFrameInfo {
  std::int64_t lastPresentTime = 0;  // 0: the desktop image was not presented again (pointer only)
  std::uint32_t accumulatedFrames = 0;
  std::uint32_t totalMetadataBytes = 0;  // moved and dirty rectangles together
};

// The frame's metadata calls, answerable only while the frame is held.
// Each fills `buffer` (`bytes` long) and sets `used` to the bytes written;
// a buffer too small sets `moreData` and `used` to the bytes needed.
class FrameMetadataSource {
 public:
  virtual ~FrameMetadataSource() = default;
  virtual DuplicationFault moveRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& moreData,
                                     std::string& reason) = 0;
  virtual DuplicationFault dirtyRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& moreData,
                                      std::string& reason) = 0;
};

// Damage bookkeeping of one duplication, for two staging slots: a copy is
// queued with everything not read yet, so a copy dropped for a newer one
// (still drawing when the newer came) loses nothing.
class DuplicationDamage {
 public:
  // A new duplication of the region `box` (output coordinates). Until the
  // first read everything is damaged. A rotated output reports rectangles of
  // the unrotated image: its frames are damaged whole.
  void reset(const OutputRect& box, bool rotated);
  // One acquired frame. `changed`: the picture inside the region changed;
  // what changed joins unread(). A moved area counts as dirty at its
  // destination: the acquired image holds the moved pixels there already.
  DuplicationFault addFrame(const DuplicatedFrameInfo& info, FrameMetadataSource& metadata, bool& changed,
                            std::string& reason);
  // Every change since the last read, frame pixels: what a copy queued now
  // must bring.
  const FrameDamage& unread() const { return unread_; }
  // A copy of unread() was queued into `slot`.
  void queued(int slot) { slots_[slot & 1] = unread_; }
  // What the copy in `slot` brings.
  const FrameDamage& slot(int slot) const { return slots_[slot & 1]; }
  // The newest copy was read into the capture buffer.
  void read() { unread_.setNone(); }

  // The metadata buffer: grown when a frame needs more, reused otherwise.
  std::size_t metadataCapacity() const { return metadata_.size(); }
  std::size_t metadataGrowths() const { return growths_; }

 private:
  void ensure(std::size_t bytes);
  bool addRect(const OutputRect& r);  // false: nothing of it inside the region

  OutputRect box_;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  bool rotated_ = false;
  FrameDamage unread_;
  FrameDamage slots_[2];
  std::vector<std::uint8_t> metadata_;
  std::size_t growths_ = 0;
};

// Copies what `damage` covers (everything when whole) of a width × height
// picture of 4-byte pixels from `src` to the same place in `dst`.
void copyDamage(const std::uint8_t* src, std::size_t srcPitch, std::uint8_t* dst, std::size_t dstStride,
                std::int32_t width, std::int32_t height, const FrameDamage& damage);

}  // namespace vl
