// The echo service over real loopback sockets: subscription, frames, pacing,
// back-pressure, static skipping, region changes and the statistics.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/helpers.h"
#include "service_fixture.h"

namespace vl::test {
namespace {

TEST_F(EchoServiceTest, SubOkBeforeTheFirstFrameHasZeroSizeAndSortedMembers) {
  TestViewer viewer;
  ASSERT_TRUE(connect(viewer));
  EXPECT_EQ(service_->subscriberCount(), 0);
  EXPECT_EQ(request(viewer, R"({"t":"subscribe","client":"pad-7"})"),
            R"({"fps":25,"h":0,"maxW":1600,"quality":62,"t":"sub.ok","w":0})");
  EXPECT_EQ(service_->subscriberCount(), 1);
  EXPECT_TRUE(log_.contains("回显订阅 #1  质量=62 宽=1600 帧率=25"));

  // Frames follow as binary frames holding one whole JPEG file each.
  ASSERT_TRUE(pumpUntil([&] { return viewer.binaryCount() >= 2; }, {&viewer}));
  for (const ReceivedFrame& f : viewer.frames()) {
    ASSERT_EQ(f.kind, net::FrameKind::Binary);
    ASSERT_GE(f.payload.size(), 4u);
    EXPECT_EQ(f.payload[0], 0xFF);
    EXPECT_EQ(f.payload[1], 0xD8);
    EXPECT_EQ(f.payload[f.payload.size() - 2], 0xFF);
    EXPECT_EQ(f.payload.back(), 0xD9);
  }
  EXPECT_GE(service_->framesSent(), 2u);
  EXPECT_GT(service_->bytesSent(), service_->framesSent() * 100);

  // Subscribing again after the first frame reports its size.
  EXPECT_EQ(request(viewer, R"({"t":"sub"})"), R"({"fps":25,"h":360,"maxW":1600,"quality":62,"t":"sub.ok","w":640})");
}

TEST_F(EchoServiceTest, SubscribeSettingsAreClampedAndTheLaterViewerWins) {
  TestViewer a, b;
  ASSERT_TRUE(connect(a));
  ASSERT_TRUE(connect(b));
  service_->setFps(30);
  EXPECT_EQ(request(a, R"({"t":"sub","quality":30,"maxW":1000,"fps":5})"),
            R"({"fps":30,"h":0,"maxW":1000,"quality":30,"t":"sub.ok","w":0})");
  std::string okB = request(b, R"({"t":"subscribe","quality":80.9,"maxW":100})");
  EXPECT_NE(okB.find(R"("maxW":320,"quality":80)"), std::string::npos) << okB;
  EXPECT_EQ(service_->quality(), 80);
  EXPECT_EQ(service_->maxWidth(), 320);
  // The viewer's own rate is kept as given; the reply shows the service's.
  EXPECT_EQ(service_->viewers().at(1).fps, 5);
  EXPECT_EQ(service_->viewers().at(2).fps, 25);

  EXPECT_NE(request(a, R"({"t":"sub","quality":3,"maxW":99999,"fps":-4})").find(R"("maxW":3840,"quality":10)"),
            std::string::npos);
  EXPECT_EQ(service_->viewers().at(1).fps, -4);
  EXPECT_EQ(service_->subscriberCount(), 2);
}

TEST_F(EchoServiceTest, MalformedMessagesAndMembersOfTheWrongTypeAreIgnored) {
  TestViewer viewer;
  ASSERT_TRUE(connect(viewer));
  for (const char* junk : {"not json", "[1,2]", "\"sub\"", R"({"t":7})", R"({"t":"SUB"})", R"({"type":"sub"})",
                           R"({"t":"sub")"})
    viewer.sendText(junk);
  viewer.sendBinary(R"({"t":"sub"})");  // right text, wrong kind
  pumpFor(200, {&viewer});
  EXPECT_TRUE(viewer.frames().empty());
  EXPECT_EQ(service_->subscriberCount(), 0);

  // Wrong-typed members count as absent; the rest of the message holds.
  EXPECT_EQ(request(viewer, R"({"t":"sub","quality":"90","maxW":null,"fps":[1],"client":5})"),
            R"({"fps":25,"h":0,"maxW":1600,"quality":62,"t":"sub.ok","w":0})");
  EXPECT_EQ(service_->viewers().at(1).fps, 25);
  EXPECT_TRUE(service_->running());
}

TEST_F(EchoServiceTest, ViewerRateLimitsOnlyThatViewer) {
  service_->setFps(25);
  TestViewer slow, fast;
  ASSERT_TRUE(connect(slow));
  ASSERT_TRUE(connect(fast));
  request(slow, R"({"t":"sub","fps":5})");
  request(fast, R"({"t":"sub"})");
  slow.frames().clear();
  fast.frames().clear();

  const std::uint64_t start = monotonicMs();
  pumpFor(2000, {&slow, &fast});
  const std::uint64_t elapsed = monotonicMs() - start;
  pumpFor(50, {&slow, &fast});  // frames already on the way
  const int slowFrames = slow.binaryCount();
  const int fastFrames = fast.binaryCount();
  // At most one frame per 200 ms, whatever the machine's load.
  EXPECT_LE(slowFrames, static_cast<int>((elapsed + 50) / 200) + 1);
  EXPECT_GE(slowFrames, 3);
  EXPECT_GT(fastFrames, 2 * slowFrames) << "slow " << slowFrames << " fast " << fastFrames;
}

TEST_F(EchoServiceTest, LastViewerLeavingDropsTheFrameAndUnsubscribedInputStillWorks) {
  TestViewer a, b;
  ASSERT_TRUE(connect(a));
  ASSERT_TRUE(connect(b));
  request(a, R"({"t":"sub"})");
  request(b, R"({"t":"sub"})");
  ASSERT_TRUE(pumpUntil([&] { return a.binaryCount() >= 1 && service_->frameWidth() == 640; }, {&a}));
  EXPECT_GT(service_->currentJpegSize(), 0u);
  b.close();
  ASSERT_TRUE(pumpUntil([&] { return service_->viewers().size() == 1; }));
  EXPECT_EQ(service_->frameWidth(), 640u);  // a still watches
  a.sendText(R"({"t":"unsub"})");
  ASSERT_TRUE(pumpUntil([&] { return service_->subscriberCount() == 0; }, {&a}));
  EXPECT_EQ(service_->frameWidth(), 0u);
  EXPECT_EQ(service_->frameHeight(), 0u);
  EXPECT_EQ(service_->currentJpegSize(), 0u);
  const int frames = a.binaryCount();
  const std::uint64_t seq = service_->frameSeq();
  pumpFor(300, {&a});
  EXPECT_EQ(a.binaryCount(), frames);
  EXPECT_EQ(service_->frameSeq(), seq);  // nobody watches: no capture

  deliver(a, R"({"t":"input","type":"move","u":0.5,"v":0.5})");
  EXPECT_EQ(injector_->calls, std::vector<std::string>{"move 0.500 0.500 @640x360+0+0"});
}

TEST_F(EchoServiceTest, ViewerThatDoesNotReadIsHeldBackWhileOthersKeepTheRate) {
  createService(1280, 720);
  useFakeClock();
  source_->noisy = true;  // about a megabyte per frame
  service_->setFps(25);
  service_->setMaxWidth(1280);
  TestViewer stuck, reader;
  ASSERT_TRUE(connect(stuck));
  ASSERT_TRUE(connect(reader));
  stuck.sendText(R"({"t":"sub"})");
  request(reader, R"({"t":"sub"})");
  // 80 capture slots on the service's clock; in each the reader takes what
  // it is sent, however long the socket needs.
  for (int slot = 0; slot < 80; ++slot) {
    fakeNow_ += 40;
    const int before = reader.binaryCount();
    pumpUntil([&] { return reader.binaryCount() > before; }, {&reader}, 3000);
  }
  const auto toReader = static_cast<std::uint64_t>(reader.binaryCount());
  const std::uint64_t toStuck = service_->framesSent() - toReader;
  EXPECT_GE(toReader, 78u);
  // The stuck viewer got only what its socket buffers could absorb.
  EXPECT_LT(toStuck * 3, toReader) << "stuck " << toStuck << " reader " << toReader;
  EXPECT_LE(service_->framesSent(), service_->frameSeq() * 2);
}

struct ScaleCase {
  int width, height, maxWidth, expectedWidth, expectedHeight;
};

class EchoServiceScaling : public EchoServiceTest, public ::testing::WithParamInterface<ScaleCase> {};

TEST_P(EchoServiceScaling, FramesAreScaledToMaxWidthWithAnEvenHeight) {
  const ScaleCase c = GetParam();
  createService(c.width, c.height);
  service_->setMaxWidth(c.maxWidth);
  service_->captureOn = true;
  ASSERT_TRUE(pumpUntil([&] { return service_->frameSeq() >= 1; }));
  EXPECT_EQ(service_->frameWidth(), static_cast<std::uint32_t>(c.expectedWidth));
  EXPECT_EQ(service_->frameHeight(), static_cast<std::uint32_t>(c.expectedHeight));
  std::vector<std::uint8_t> jpeg = service_->currentJpeg();
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, colour = 0;
  EXPECT_EQ(tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &sub, &colour), 0);
  tjDestroy(tj);
  EXPECT_EQ(w, c.expectedWidth);
  EXPECT_EQ(h, c.expectedHeight);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EchoServiceScaling,
                         ::testing::Values(ScaleCase{1920, 1080, 1600, 1600, 900},
                                           ScaleCase{1366, 768, 1280, 1280, 718},
                                           ScaleCase{1601, 901, 1600, 1600, 900},
                                           ScaleCase{1600, 900, 1600, 1600, 900},
                                           ScaleCase{800, 600, 1600, 800, 600}),
                         [](const ::testing::TestParamInfo<ScaleCase>& info) {
                           const ScaleCase& c = info.param;
                           return formatString("w%dx%d_max%d", c.width, c.height, c.maxWidth);
                         });

// Pumps without viewers in 1 ms steps of the fake clock and notes the fake
// time of every capture.
std::vector<std::uint64_t> captureTimes(EchoService& service, FakeFrameSource& source,
                                        std::atomic<std::uint64_t>& now, std::uint64_t duration,
                                        std::uint64_t step = 1) {
  std::vector<std::uint64_t> times;
  const int base = source.captures;
  const std::uint64_t end = now + duration;
  while (now < end) {
    now += step;
    service.pumpOnce();
    while (static_cast<int>(times.size()) < source.captures - base) times.push_back(now);
  }
  return times;
}

TEST_F(EchoServiceTest, StillPictureIsEncodedOnceAndTheRateSteps) {
  useFakeClock();
  service_->setFps(60);
  service_->staticSkip = true;
  service_->captureOn = true;
  source_->still = true;
  const std::vector<std::uint64_t> times = captureTimes(*service_, *source_, fakeNow_, 8000);
  ASSERT_GT(times.size(), 40u);
  EXPECT_EQ(service_->frameSeq(), 1u);
  // Gap after capture k (1-based): full rate until 9 unchanged captures in
  // a row, then 12 per second, and 6 per second after more than 30; on the
  // 1 ms steps each gap is the exact interval rounded either way.
  for (std::size_t k = 1; k < times.size(); ++k) {
    const double gap = static_cast<double>(times[k] - times[k - 1]);
    const double expected = 1000.0 / (k <= 9 ? 60 : (k <= 31 ? 12 : 6));
    ASSERT_LT(std::abs(gap - expected), 1.0) << "after capture " << k;
  }

  // Without static skipping every paced pass encodes.
  service_->staticSkip = false;
  const std::uint64_t seq = service_->frameSeq();
  const auto more = captureTimes(*service_, *source_, fakeNow_, 500);
  EXPECT_EQ(service_->frameSeq() - seq, more.size());
  EXPECT_GE(more.size(), 500u / 17);
}

TEST_F(EchoServiceTest, APointerThatMovesIsAChangeAndAStillOneIsStill) {
  useFakeClock();
  service_->staticSkip = true;
  service_->captureOn = true;
  source_->still = true;
  captureTimes(*service_, *source_, fakeNow_, 1000);
  EXPECT_TRUE(source_->cursorDrawn);  // on by default
  EXPECT_EQ(service_->frameSeq(), 1u);
  source_->pointer = 2;  // only the pointer moved, maybe between sample points
  captureTimes(*service_, *source_, fakeNow_, 300);
  EXPECT_EQ(service_->frameSeq(), 2u);
  service_->drawCursor = false;  // the pointer leaves the picture: one more
  captureTimes(*service_, *source_, fakeNow_, 300);
  EXPECT_FALSE(source_->cursorDrawn);
  EXPECT_EQ(service_->frameSeq(), 3u);
}

TEST_F(EchoServiceTest, InputRestoresTheFullRateForTwoSeconds) {
  useFakeClock();
  service_->setFps(60);
  service_->staticSkip = true;
  service_->captureOn = true;
  source_->still = true;
  captureTimes(*service_, *source_, fakeNow_, 6000);
  TestViewer viewer;
  ASSERT_TRUE(connect(viewer));
  fakeNow_ += 10;
  deliver(viewer, R"({"t":"input","type":"move"})");
  const std::uint64_t inputAt = service_->lastInputMs();
  ASSERT_NE(inputAt, 0u);
  int before = source_->captures;
  // Steps of 4 ms; the pacing intervals of 16, 83 and 166 ms round up.
  captureTimes(*service_, *source_, fakeNow_, 1000, 4);
  EXPECT_GE(source_->captures - before, 1000 / 20 - 2);
  captureTimes(*service_, *source_, fakeNow_, 1200, 4);
  before = source_->captures;
  captureTimes(*service_, *source_, fakeNow_, 1000, 4);
  EXPECT_LE(source_->captures - before, 1000 / 166 + 1);
  EXPECT_EQ(service_->frameSeq(), 1u);
}

TEST_F(EchoServiceTest, ViewerJoiningAStillPictureGetsTheCurrentFrameOnce) {
  useFakeClock();
  service_->staticSkip = true;
  source_->still = true;
  TestViewer a, b;
  ASSERT_TRUE(connect(a));
  ASSERT_TRUE(connect(b));
  request(a, R"({"t":"sub"})");
  for (int i = 0; i < 200; ++i) {
    fakeNow_ += 5;
    pumpOnce({&a, &b});
  }
  request(b, R"({"t":"sub"})");
  for (int i = 0; i < 200; ++i) {
    fakeNow_ += 5;
    pumpOnce({&a, &b});
  }
  pumpFor(50, {&a, &b});
  EXPECT_EQ(a.binaryCount(), 1);
  EXPECT_EQ(b.binaryCount(), 1);
  EXPECT_EQ(service_->frameSeq(), 1u);

  // After everybody left, a returning viewer sees the still picture again.
  a.sendText(R"({"t":"unsub"})");
  b.sendText(R"({"t":"unsub"})");
  ASSERT_TRUE(pumpUntil([&] { return service_->subscriberCount() == 0 && service_->frameWidth() == 0; }));
  request(a, R"({"t":"sub"})");
  for (int i = 0; i < 20; ++i) {
    fakeNow_ += 5;
    pumpOnce({&a});
  }
  pumpFor(50, {&a});
  EXPECT_EQ(a.binaryCount(), 2);
  EXPECT_EQ(service_->frameSeq(), 2u);
}

TEST(EchoServiceChild, StaticSkipOffByEnvironment) {
  if (!envExists("VL_ECHO_TEST_CHILD")) GTEST_SKIP() << "runs inside NoStaticEnvironmentEncodesEveryPass";
  FakeFrameSource* source = nullptr;
  auto owned = std::make_unique<FakeFrameSource>(320, 200);
  source = owned.get();
  EchoService service(std::move(owned), std::make_unique<RecordingInjector>());
  ASSERT_NE(startOnFreePort(service), 0);
  std::atomic<std::uint64_t> now{5000};
  service.setClockForTest([&] { return now.load(); });
  service.staticSkip = true;
  service.captureOn = true;
  source->still = true;
  const auto times = captureTimes(service, *source, now, 1000);
  EXPECT_GE(times.size(), 1000u / 40);
  EXPECT_EQ(service.frameSeq(), times.size());
}

TEST(EchoServiceEnvironment, NoStaticEnvironmentEncodesEveryPass) {
  ChildProcess child = startProcess(
      {exePath(), "--gtest_filter=EchoServiceChild.StaticSkipOffByEnvironment"},
      {{"VL_ECHO_NO_STATIC", "1"}, {"VL_ECHO_TEST_CHILD", "1"}});
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(waitProcess(child, 60000), 0);
}

TEST_F(EchoServiceTest, RegionChangeReopensTheCapturerAndRemapsInput) {
  MonitorInfo primary{0, 0, 640, 360, true, "DISPLAY1"};
  MonitorInfo second{-1280, 0, 1280, 1024, false, "DISPLAY2"};
  source_->monitors = {primary, second};
  TestViewer viewer;
  ASSERT_TRUE(connect(viewer));
  request(viewer, R"({"t":"sub"})");
  ASSERT_TRUE(pumpUntil([&] { return viewer.binaryCount() >= 1; }, {&viewer}));
  deliver(viewer, R"({"t":"input","type":"move","u":0.1,"v":0.2})");
  const int opens = source_->opens;

  const CaptureRegion custom{kRegionModeCustom, 0, 100, 50, 320, 240};
  service_->setRegion(custom);
  EXPECT_EQ(service_->requestedRegion(), custom);
  ASSERT_TRUE(pumpUntil([&] { return source_->opens == opens + 1; }, {&viewer}));
  EXPECT_EQ(source_->lastOpened, custom);
  EXPECT_GE(source_->closes, 1);
  EXPECT_TRUE(log_.contains("采集区域: 自定义 320x240 @ (100,50)"));
  EXPECT_EQ(service_->currentRegion(), custom);
  deliver(viewer, R"({"t":"input","type":"move","u":0.1,"v":0.2})");

  // Asking for the region in effect again changes nothing.
  service_->setRegion(custom);
  pumpFor(100, {&viewer});
  EXPECT_EQ(source_->opens, opens + 1);

  service_->setRegion(CaptureRegion{kRegionModeMonitor, 1, 0, 0, 0, 0});
  ASSERT_TRUE(pumpUntil([&] { return source_->opens == opens + 2; }, {&viewer}));
  EXPECT_TRUE(log_.contains("采集区域: 显示器 2（1280x1024 @ -1280,0）"));
  deliver(viewer, R"({"t":"input","type":"move","u":0.1,"v":0.2})");
  EXPECT_EQ(injector_->calls,
            (std::vector<std::string>{"move 0.100 0.200 @640x360+0+0", "move 0.100 0.200 @320x240+100+50",
                                      "move 0.100 0.200 @1280x1024-1280+0"}));
}

TEST_F(EchoServiceTest, PerformanceLineEveryFiveSecondsAndMeasuredRate) {
  createService(1920, 1080);
  useFakeClock();
  service_->setFps(10);
  service_->captureOn = true;
  for (int i = 0; i <= 50; ++i) {
    service_->pumpOnce();
    fakeNow_ += 100;
  }
  EXPECT_EQ(log_.count("性能: "), 1);
  EXPECT_TRUE(log_.contains("性能: 50 帧/5.0s = 10.0 fps | 抓屏 0.0ms 缩放 0.0ms 编码 0.0ms（每次）| 1600x900"))
      << (log_.messages().empty() ? "" : log_.messages().back());
  EXPECT_FLOAT_EQ(service_->measuredFps(), 10.0f);
  EXPECT_EQ(service_->frameSeq(), 51u);
}

TEST_F(EchoServiceTest, CaptureFailuresAreRecordedAndRetriedWithBackOff) {
  useFakeClock();
  service_->setFps(10);
  service_->captureOn = true;
  source_->failOpen = true;
  for (int i = 0; i < 10; ++i) {
    service_->pumpOnce();
    fakeNow_ += 50;
  }
  EXPECT_EQ(service_->lastError(), "抓屏初始化失败");
  EXPECT_EQ(source_->opens, 3);  // at 0, 100 and 300 ms: each wait twice the last
  EXPECT_EQ(service_->frameSeq(), 0u);
  EXPECT_EQ(log_.count("抓屏初始化失败"), 0);
  source_->failOpen = false;
  fakeNow_ += 200;  // 700 ms: the next retry
  service_->pumpOnce();
  EXPECT_EQ(service_->frameSeq(), 1u);
}

TEST_F(EchoServiceTest, SettersClampAndStartStopBehave) {
  for (const auto& [in, fps, quality, width] : {std::array{0, 1, 10, 320}, std::array{9, 9, 10, 320},
                                                 std::array{61, 60, 61, 320}, std::array{1000, 60, 95, 1000},
                                                 std::array{5000, 60, 95, 3840}, std::array{-5, 1, 10, 320}}) {
    service_->setFps(in);
    service_->setQuality(in);
    service_->setMaxWidth(in);
    EXPECT_EQ(service_->fps(), fps) << in;
    EXPECT_EQ(service_->quality(), quality) << in;
    EXPECT_EQ(service_->maxWidth(), width) << in;
  }

  EXPECT_TRUE(service_->start(port_));  // already running
  EXPECT_EQ(service_->port(), port_);
  EchoService other(std::make_unique<FakeFrameSource>(64, 64), std::make_unique<RecordingInjector>());
  EXPECT_FALSE(other.start(port_));
  const std::string error = "回显端口 " + std::to_string(port_) + " 绑定失败";
  EXPECT_EQ(other.lastError(), error);
  EXPECT_TRUE(log_.contains(error));
  EXPECT_FALSE(other.running());

  // Stopping forgets the viewers without letting go of their buttons.
  TestViewer viewer;
  ASSERT_TRUE(connect(viewer));
  request(viewer, R"({"t":"sub"})");
  deliver(viewer, R"({"t":"input","type":"down","btn":1})");
  service_->stop();
  EXPECT_FALSE(service_->running());
  EXPECT_TRUE(service_->viewers().empty());
  EXPECT_EQ(service_->subscriberCount(), 0);
  service_->pumpOnce();
  EXPECT_EQ(injector_->calls, (std::vector<std::string>{"move 0.000 0.000 @640x360+0+0", "button 1 down"}));
}

}  // namespace
}  // namespace vl::test
