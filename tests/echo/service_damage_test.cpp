// Change-driven streaming: a picture the platform reports unchanged is not
// captured or encoded again, a small change is redone only where it reaches,
// and a change after a still period goes out at once without breaking any
// rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "echo/jpeg.h"
#include "service_fixture.h"

namespace vl::test {
namespace {

class EchoDamage : public EchoServiceTest {
 protected:
  // A fake-clock service over a damage-reporting fake screen.
  void createDamageService(int width, int height) {
    createService(width, height);
    useFakeClock();
    source_->reportsDamage = true;
  }

  // Runs the echo thread's loop on the fake clock for ms milliseconds; the
  // viewers' binary frames are collected with their arrival times.
  void run(std::uint64_t ms, std::vector<TestViewer*> viewers,
           const std::function<void(std::uint64_t)>& beforePass = nullptr) {
    const std::uint64_t end = fakeNow_ + ms;
    while (fakeNow_ < end) {
      fakeNow_ += static_cast<std::uint64_t>(std::max(service_->waitBudgetMs(EchoService::kIdleWaitMs), 1));
      if (beforePass) beforePass(fakeNow_);
      pass(viewers);
    }
  }

  void pass(const std::vector<TestViewer*>& viewers) {
    service_->pumpOnce(0);
    for (std::size_t i = 0; i < viewers.size(); ++i) {
      const std::uint64_t seq = service_->viewers().at(static_cast<net::ClientId>(i + 1)).lastSentSeq;
      if (seq != seen_[i]) arrivals_[i].push_back(fakeNow_);
      seen_[i] = seq;
      viewers[i]->receive(0);
    }
  }

  void subscribe(std::vector<std::unique_ptr<TestViewer>>& viewers, const std::vector<int>& fps) {
    for (int f : fps) {
      viewers.push_back(std::make_unique<TestViewer>());
      ASSERT_TRUE(connect(*viewers.back()));
      request(*viewers.back(), formatString(R"({"t":"sub","fps":%d})", f));
    }
    arrivals_.assign(fps.size(), {});
    seen_.assign(fps.size(), 0);
  }

  static std::vector<TestViewer*> raw(const std::vector<std::unique_ptr<TestViewer>>& viewers) {
    std::vector<TestViewer*> out;
    for (const auto& v : viewers) out.push_back(v.get());
    return out;
  }

  std::vector<std::vector<std::uint64_t>> arrivals_;
  std::vector<std::uint64_t> seen_;
};

std::vector<std::vector<std::uint8_t>> binaryPayloads(TestViewer& viewer) {
  std::vector<std::vector<std::uint8_t>> out;
  for (const ReceivedFrame& f : viewer.frames())
    if (f.kind == net::FrameKind::Binary) out.push_back(f.payload);
  return out;
}

struct StillCase {
  const char* name;
  bool staticSkip;
  int expectedFrames;  // over two seconds at 25 fps
};

void PrintTo(const StillCase& c, std::ostream* os) { *os << c.name; }

class EchoStill : public EchoDamage, public ::testing::WithParamInterface<StillCase> {};

// A still screen: one capture and one encode, then the same bytes at the
// asked rate (or, with static skip, nothing more, as before).
TEST_P(EchoStill, SameBytesAtTheAskedRateWithNoCaptureOrEncode) {
  const StillCase& c = GetParam();
  createDamageService(640, 360);
  service_->staticSkip = c.staticSkip;
  std::vector<std::unique_ptr<TestViewer>> viewers;
  subscribe(viewers, {25});
  run(2000, raw(viewers));
  EXPECT_EQ(source_->captures, 1);
  EXPECT_EQ(source_->areaCopies, 0);
  EXPECT_EQ(service_->framesEncoded(), 1u);
  const auto frames = binaryPayloads(*viewers[0]);
  EXPECT_NEAR(static_cast<double>(frames.size()), c.expectedFrames, 2);
  for (const auto& f : frames) ASSERT_TRUE(f == frames.front());

  // A new quality encodes the kept picture afresh, still without capturing
  // (with static skip the sampled picture is the same: nothing, as before).
  viewers[0]->frames().clear();
  service_->setQuality(30);
  run(200, raw(viewers));
  EXPECT_EQ(source_->captures, 1);
  const std::uint64_t encoded = c.staticSkip ? 1u : 2u;
  EXPECT_EQ(service_->framesEncoded(), encoded);
  const auto after = binaryPayloads(*viewers[0]);
  if (!c.staticSkip) {
    ASSERT_FALSE(after.empty());
    EXPECT_TRUE(after.back() != frames.front());
  }

  // A new width: frames of the new size, still from the kept picture.
  service_->setMaxWidth(400);
  run(200, raw(viewers));
  EXPECT_EQ(source_->captures, 1);
  EXPECT_EQ(service_->framesEncoded(), encoded + 1);
  EXPECT_EQ(service_->frameWidth(), 400u);

  // A new region reopens and captures again.
  service_->setRegion(CaptureRegion::custom(0, 0, 640, 360));
  run(200, raw(viewers));
  EXPECT_EQ(source_->captures, 2);
}

INSTANTIATE_TEST_SUITE_P(Skip, EchoStill,
                         ::testing::Values(StillCase{"StaticSkipOff", false, 50},
                                           StillCase{"StaticSkipOn", true, 1}),
                         [](const ::testing::TestParamInfo<StillCase>& info) { return info.param.name; });

// Small changes redone in place give exactly the frames of the whole path:
// same JPEG bytes after every change, at scaled and unscaled sizes.
TEST_F(EchoDamage, SmallChangesGiveTheFramesOfTheWholePath) {
  struct Size {
    int width, height, maxWidth, quality;
  };
  const std::vector<PixelRect> changes = {
      {100, 50, 7, 5},       // inside
      {0, 0, 1, 1},          // corner pixel
      {1915, 1070, 40, 40},  // across the bottom-right edge (clipped)
      {640, 0, 1, 1080},     // one column, full height
      {0, 539, 1920, 2},     // two rows, full width
      {333, 777, 3, 3},      // between the scaler's sample points
      {1000, 500, 400, 300}, // a large one
  };
  // Modes: damage copied into the service's frame; every change whole; the
  // picture in the source's own B, G, R, X buffer (scaled in place, or
  // converted where it changed when no scaling is needed). Quality 95
  // encodes 4:4:4, whose rows of MCUs are 8 pixels high.
  for (const Size size : {Size{1920, 1080, 1600, 62}, Size{1920, 1080, 1280, 62}, Size{1366, 768, 1600, 62},
                          Size{1920, 1080, 1600, 95}}) {
    std::vector<std::vector<std::uint8_t>> frames[3];
    int wholeCaptures[3] = {0, 0, 0};
    int landed = 0;  // changes that fall on the screen
    for (int mode = 0; mode < 3; ++mode) {
      createDamageService(size.width, size.height);
      source_->reportsWhole = mode == 1;
      source_->viewsInPlace = mode == 2;
      service_->setMaxWidth(size.maxWidth);
      service_->setQuality(size.quality);
      service_->captureOn = true;
      service_->pumpOnce(0);
      frames[mode].push_back(service_->currentJpeg());
      std::uint32_t colour = 0x102030;
      landed = 0;
      for (const PixelRect& r : changes) {
        source_->paint(r, colour);
        landed += source_->painted.empty() ? 0 : 1;
        colour = colour * 7 + 0x0F0E0D;
        fakeNow_ += 40;
        service_->pumpOnce(0);
        frames[mode].push_back(service_->currentJpeg());
      }
      wholeCaptures[mode] = source_->captures;
      // The small changes re-encode only their rows (the full-height column
      // and the large one take a whole encode).
      if (mode == 0 && std::string(jpegEncoderName()) == "turbo") {
        EXPECT_GE(service_->framesSpliced(), 4u) << size.width << " -> " << size.maxWidth;
      }
      if (mode == 1) {
        EXPECT_EQ(service_->framesSpliced(), 0u);
      }
    }
    EXPECT_EQ(wholeCaptures[0], 1) << size.width << " -> " << size.maxWidth;
    EXPECT_EQ(wholeCaptures[1], landed + 1);
    EXPECT_EQ(wholeCaptures[2], 1);
    for (int mode = 1; mode < 3; ++mode) {
      ASSERT_EQ(frames[0].size(), frames[mode].size());
      for (std::size_t i = 0; i < frames[0].size(); ++i)
        EXPECT_TRUE(frames[0][i] == frames[mode][i])
            << size.width << " -> " << size.maxWidth << ", mode " << mode << ", change " << i;
    }
  }
}

struct EarlyCase {
  const char* name;
  int serviceFps;
  std::vector<int> viewerFps;  // <= 0: the service's rate
  int changeEveryMs;           // 0: one change after a still second
  bool alwaysReports = false;  // the platform reports a change at every ask
};

void PrintTo(const EarlyCase& c, std::ostream* os) { *os << c.name; }

class EchoEarly : public EchoDamage, public ::testing::WithParamInterface<EarlyCase> {};

// Changes at awkward moments for five seconds: every viewer still gets at
// most its rate (at most one frame more in any second, none more overall),
// and a change after a still period reaches a viewer that is due at once.
TEST_P(EchoEarly, ChangeAfterStillGoesOutAtOnceWithinEveryRate) {
  const EarlyCase& c = GetParam();
  createDamageService(320, 180);
  service_->setFps(c.serviceFps);
  std::vector<std::unique_ptr<TestViewer>> viewers;
  subscribe(viewers, c.viewerFps);
  source_->alwaysReports = c.alwaysReports;
  run(1000, raw(viewers));  // the first frame, then a still second
  for (auto& a : arrivals_) a.clear();

  std::uint64_t nextChange = fakeNow_ + 13;
  std::uint64_t changedAt = 0;
  std::uint32_t colour = 1;
  const std::uint64_t start = fakeNow_;
  run(5000, raw(viewers), [&](std::uint64_t now) {
    if (now < nextChange) return;
    source_->paint(PixelRect{static_cast<int>(colour % 300), 10, 8, 8}, colour * 0x030507u);
    ++colour;
    if (changedAt == 0) changedAt = now;
    nextChange = c.changeEveryMs > 0 ? now + static_cast<std::uint64_t>(c.changeEveryMs) : ~0ull;
  });
  const double seconds = static_cast<double>(fakeNow_ - start) / 1000.0;
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    const int own = c.viewerFps[i] > 0 ? std::min(c.viewerFps[i], c.serviceFps) : c.serviceFps;
    const std::vector<std::uint64_t>& got = arrivals_[i];
    EXPECT_LE(static_cast<double>(got.size()), own * seconds + 1) << "viewer " << i;
    for (std::size_t k = 0; k < got.size(); ++k) {
      const auto inSecond = std::upper_bound(got.begin(), got.end(), got[k] + 999) - (got.begin() + k);
      ASSERT_LE(inSecond, own + 1) << "viewer " << i << " from " << got[k] - start;
    }
    // The first change after the still second: the viewer at the service's
    // rate has it in the same pass.
    if (c.viewerFps[i] <= 0 || c.viewerFps[i] >= c.serviceFps) {
      const auto first = std::lower_bound(got.begin(), got.end(), changedAt);
      ASSERT_NE(first, got.end());
      EXPECT_EQ(*first, changedAt) << "viewer " << i;
    }
  }
  EXPECT_EQ(source_->captures, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, EchoEarly,
    ::testing::Values(EarlyCase{"s25_single", 25, {0}, 0}, EarlyCase{"s25_every7", 25, {0, 10}, 7},
                      EarlyCase{"s25_every45", 25, {0}, 45}, EarlyCase{"s60_v25_every23", 60, {25, 0}, 23},
                      EarlyCase{"s10_every130", 10, {0, 60}, 130},
                      EarlyCase{"s25_every45_reportsOfNothing", 25, {0, 10}, 45, true}),
    [](const ::testing::TestParamInfo<EarlyCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vl::test
