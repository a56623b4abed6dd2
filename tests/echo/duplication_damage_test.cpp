// What duplicated frames changed in the captured region: frame information
// and scripted move/dirty rectangles into damage, the metadata buffer's
// growth, and a scripted desktop read through DuplicationRecovery whose
// rectangle-by-rectangle copies must equal a full copy of the region.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "echo/duplication_damage.h"
#include "echo/duplication_recovery.h"
#include "scripted_duplication.h"

namespace vl {
namespace {

using F = DuplicationFault;
using test::DesktopFrame;
using test::ScriptedMetadata;

// The output is 400 × 300; the region sits at (100, 50), 200 × 150.
constexpr std::int32_t kOutW = 400, kOutH = 300;
constexpr OutputRect kBox{100, 50, 300, 200};

// A damage tracker that has read its first (whole) picture.
DuplicationDamage settled(bool rotated = false) {
  DuplicationDamage damage;
  damage.reset(kBox, rotated);
  damage.queued(0);
  damage.read();
  return damage;
}

bool covers(const std::vector<PixelRect>& rects, std::int32_t x, std::int32_t y) {
  return std::any_of(rects.begin(), rects.end(), [&](const PixelRect& r) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
  });
}

std::string describe(const FrameDamage& d) {
  if (d.whole) return "whole";
  std::string text;
  for (const PixelRect& r : d.rects)
    text += (text.empty() ? "" : " ") + std::to_string(r.x) + "," + std::to_string(r.y) + " " +
            std::to_string(r.width) + "x" + std::to_string(r.height);
  return text.empty() ? "none" : text;
}

struct FrameCase {
  const char* name;
  DuplicatedFrameInfo info;  // totalMetadataBytes ~0u: the exact size of the lists
  std::vector<OutputMove> moves;
  std::vector<OutputRect> dirty;
  bool rotated = false;
  bool alwaysMore = false;
  F failDirty = F::None;
  // Expected:
  F fault = F::None;
  bool changed = false;
  const char* damage = "none";  // describe() of unread(); nullptr: check coverage of the dirty rects instead
  const char* calls = "";
};

constexpr std::uint32_t kExact = ~0u;

TEST(DuplicationDamage, FrameInfoAndRectanglesBecomeRegionDamage) {
  std::vector<OutputRect> many;
  for (int i = 0; i < 40; ++i) many.push_back(OutputRect{100 + i * 5, 50 + i * 3, 104 + i * 5, 52 + i * 3});
  const FrameCase cases[] = {
      {"pointer only: no present time, nothing accumulated", {0, 0, 0}, {}, {{110, 60, 120, 70}}},
      {"present time without accumulated frames is no new image", {5, 0, kExact}, {}, {{110, 60, 120, 70}}},
      {"accumulated frames with dirty rectangles, in region pixels",
       {5, 3, kExact}, {}, {{110, 60, 120, 70}, {290, 190, 300, 200}},
       false, false, F::None, F::None, true, "10,10 10x10 190,140 10x10", "M D"},
      {"a rectangle across the region's edge is clipped to it",
       {5, 1, kExact}, {}, {{50, 40, 130, 70}},
       false, false, F::None, F::None, true, "0,0 30x20", "M D"},
      {"rectangles wholly outside: the picture did not change",
       {5, 1, kExact}, {}, {{0, 0, 100, 50}, {300, 0, 400, 300}, {100, 200, 300, 300}},
       false, false, F::None, F::None, false, "none", "M D"},
      {"a move's destination is damaged, moves asked before dirty rectangles",
       {5, 1, kExact}, {{120, 80, {120, 60, 220, 90}}}, {{120, 170, 220, 200}},
       false, false, F::None, F::None, true, "20,10 100x30 20,120 100x30", "M D"},
      {"an area moved out of the region brings nothing in by itself",
       {5, 1, kExact}, {{150, 100, {320, 100, 370, 150}}}, {},
       false, false, F::None, F::None, false, "none", "M D"},
      {"an empty or inverted rectangle is ignored",
       {5, 1, kExact}, {}, {{150, 100, 150, 140}, {160, 100, 150, 140}},
       false, false, F::None, F::None, false, "none", "M D"},
      {"more rectangles than kept: a bounding box stands for the extra ones",
       {5, 1, kExact}, {}, many, false, false, F::None, F::None, true, nullptr, "M D"},
      {"a present frame without metadata is changed all over",
       {5, 1, 0}, {}, {}, false, false, F::None, F::None, true, "whole", ""},
      {"a rotated output is damaged whole, its rectangles unread",
       {5, 1, kExact}, {}, {{110, 60, 120, 70}}, true, false, F::None, F::None, true, "whole", ""},
      {"a short buffer is grown to what the call asks and asked again",
       {5, 1, 32}, {}, many, false, false, F::None, F::None, true, nullptr, "M D+ D"},
      {"a call that keeps asking for more: all of it changed",
       {5, 1, kExact}, {}, {{110, 60, 120, 70}}, false, true, F::None, F::None, true, "whole", "M+ M+"},
      {"access lost while reading the rectangles is the call's fault",
       {5, 1, kExact}, {}, {{110, 60, 120, 70}}, false, false, F::AccessLost, F::AccessLost, false, "none", "M D!"},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    DuplicationDamage damage = settled(c.rotated);
    ScriptedMetadata metadata;
    metadata.moves = c.moves;
    metadata.dirty = c.dirty;
    metadata.alwaysMore = c.alwaysMore;
    metadata.failDirty = c.failDirty;
    DuplicatedFrameInfo info = c.info;
    if (info.totalMetadataBytes == kExact) info.totalMetadataBytes = metadata.exactBytes();
    bool changed = !c.changed;
    std::string reason;
    EXPECT_EQ(static_cast<int>(damage.addFrame(info, metadata, changed, reason)), static_cast<int>(c.fault));
    EXPECT_EQ(changed, c.changed);
    EXPECT_EQ(metadata.trace, c.calls);
    if (c.damage) {
      EXPECT_EQ(describe(damage.unread()), c.damage);
      continue;
    }
    const FrameDamage& got = damage.unread();
    ASSERT_FALSE(got.whole);
    EXPECT_LE(got.rects.size(), FrameDamage::kMaxRects);
    for (const OutputRect& r : c.dirty)
      for (std::int32_t y = std::max(r.top, kBox.top); y < std::min(r.bottom, kBox.bottom); ++y)
        for (std::int32_t x = std::max(r.left, kBox.left); x < std::min(r.right, kBox.right); ++x)
          ASSERT_TRUE(covers(got.rects, x - kBox.left, y - kBox.top)) << x << "," << y;
  }
}

TEST(DuplicationDamage, MetadataBufferGrowsOnlyForLargerFrames) {
  DuplicationDamage damage = settled();
  ScriptedMetadata metadata;
  const auto frame = [&](std::size_t rects, std::uint32_t announced) {
    metadata.dirty.assign(rects, OutputRect{110, 60, 120, 70});
    bool changed = false;
    std::string reason;
    EXPECT_EQ(damage.addFrame({5, 1, announced ? announced : metadata.exactBytes()}, metadata, changed, reason),
              F::None);
    EXPECT_TRUE(changed);
    damage.queued(0);
    damage.read();
  };
  for (int i = 0; i < 50; ++i) frame(i % 2 ? 8 : 10, 0);
  EXPECT_EQ(damage.metadataGrowths(), 1u) << "a steady frame size allocates once";
  frame(200, 0);
  EXPECT_EQ(damage.metadataGrowths(), 2u);
  const std::size_t grown = damage.metadataCapacity();
  for (int i = 0; i < 20; ++i) frame(10, 0);
  frame(200, 0);
  EXPECT_EQ(damage.metadataGrowths(), 2u);
  EXPECT_EQ(damage.metadataCapacity(), grown);
  frame(400, 16);  // announced too small: MORE_DATA grows it once
  EXPECT_EQ(damage.metadataGrowths(), 3u);
  frame(400, 16);
  EXPECT_EQ(damage.metadataGrowths(), 3u);
}

struct DesktopPass {
  std::vector<DesktopFrame> frames;  // acquired this pass, in order
  std::vector<bool> stillDrawing;
  PictureSource expected;
  const char* damage = nullptr;  // describe() of a NewPicture's damage; nullptr: not checked
};

TEST(DuplicationDamage, DamagedCopiesEqualAFullCopyOfTheDesktop) {
  using P = PictureSource;
  std::vector<OutputRect> scattered;
  std::vector<OutputRect> dense;
  for (int i = 0; i < 24; ++i)
    scattered.push_back(OutputRect{105 + i * 8, 55 + (i * 37) % 140, 109 + i * 8, 60 + (i * 37) % 140});
  for (int i = 0; i < 60; ++i)
    dense.push_back(OutputRect{100 + i * 3, 52 + (i * 53) % 140, 104 + i * 3, 55 + (i * 53) % 140});
  const DesktopPass passes[] = {
      {{{{}, {{0, 0, kOutW, kOutH}}}}, {}, P::NewPicture, "whole"},
      {{{{}, {}, true}}, {}, P::Unchanged},
      {{{{}, {{120, 70, 140, 90}}}}, {}, P::NewPicture, "20,20 20x20"},
      // A scroll inside the region: rows move up 30, the uncovered band is painted.
      {{{{{100, 110, {100, 80, 300, 180}}}, {{100, 180, 300, 200}}}}, {}, P::NewPicture, "0,30 200x100 0,130 200x20"},
      {{{{}, {{0, 0, 90, 40}}}}, {}, P::Unchanged},
      // A move whose source lies outside the region.
      {{{{{10, 10, {150, 60, 190, 100}}}, {{10, 10, 50, 50}}}}, {}, P::NewPicture, "50,10 40x40"},
      // Still drawing, then a newer frame: the newer copy brings both.
      {{{{}, {{110, 60, 130, 80}}}}, {true}, P::Unchanged},
      {{{{}, {{250, 150, 280, 190}}}}, {false}, P::NewPicture, "10,10 20x20 150,100 30x40"},
      {{{{}, scattered}}, {}, P::NewPicture},
      // More rectangles than the frame announced: the buffer grows within the pass.
      {{{{}, dense, false, F::None, true}}, {}, P::NewPicture},
      // Access lost in the metadata call: duplicated again in the same pass, whole.
      {{{{}, {{120, 70, 130, 80}}, false, F::AccessLost}, {{}, {{200, 100, 210, 110}}}}, {}, P::NewPicture, "whole"},
      {{{{{130, 90, {140, 80, 240, 130}}}, {{100, 50, 300, 60}}}}, {}, P::NewPicture},
      {{}, {}, P::Unchanged},
  };
  test::ScriptedDesktop backend(kOutW, kOutH, kBox);
  DuplicationRecovery recovery(backend, [](LogLevel, const std::string&) {});
  std::vector<std::uint8_t> shown = backend.buffer;
  bool hadPicture = false;
  std::uint64_t now = 0;
  for (std::size_t i = 0; i < std::size(passes); ++i) {
    SCOPED_TRACE("pass " + std::to_string(i));
    const DesktopPass& pass = passes[i];
    backend.frames.assign(pass.frames.begin(), pass.frames.end());
    backend.stillDrawing.assign(pass.stillDrawing.begin(), pass.stillDrawing.end());
    const PictureSource source = recovery.step(now += 40, hadPicture);
    backend.endPass();
    ASSERT_EQ(static_cast<int>(source), static_cast<int>(pass.expected)) << backend.trace;
    EXPECT_TRUE(backend.frames.empty() && backend.stillDrawing.empty()) << "script not used up";
    if (source == P::NewPicture) {
      if (pass.damage) {
        EXPECT_EQ(describe(recovery.damage()), pass.damage);
      }
      EXPECT_LE(recovery.damage().rects.size(), FrameDamage::kMaxRects);
      EXPECT_TRUE(backend.buffer == backend.region()) << "the damaged copy differs from a full copy";
      shown = backend.buffer;
      hadPicture = true;
    } else {
      EXPECT_TRUE(backend.buffer == shown) << "an unchanged pass wrote the buffer";
    }
  }
  EXPECT_EQ(backend.trace,
            "S A0 R0 | A1 | A1 R1 | A0 R0 | A1 | A1 R1 | A0 R0 | A1 R1 | A0 R0 | A1 R1 | A0 T S A0 R0 | A1 R1 | A0 |");
}

}  // namespace
}  // namespace vl
