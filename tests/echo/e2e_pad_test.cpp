// End to end on a private X server: an EchoService with the real screen and
// injector serves velmora-pad, which watches and moves the pointer.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "echo/echo_service.h"
#include "log/helpers.h"
#include "service_support.h"
#include "support/test_support.h"

// Last: Xlib defines macros such as Success and None.
#include <X11/Xlib.h>

namespace vl::test {
namespace {

class PadEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(xvfb_.start(1920, 1080));
    ::setenv("DISPLAY", xvfb_.display().c_str(), 1);
    service_ = std::make_unique<EchoService>();
    port_ = startOnFreePort(*service_);
    ASSERT_NE(port_, 0);
    // The echo thread as the agent runs it.
    pump_ = std::thread([this] {
      while (!stop_) {
        service_->pumpOnce();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  void TearDown() override { stopService(); }
  // The echo thread ends before the service stops, as in the agent.
  void stopService() {
    stop_ = true;
    if (pump_.joinable()) pump_.join();
    if (service_) service_->stop();
  }

  int pad(std::vector<std::string> args, int timeoutMs = 60000) {
    args.insert(args.begin(), VL_PAD_PROGRAM);
    ChildProcess child = startProcess(args);
    if (!child.valid()) return -1;
    const int code = waitProcess(child, timeoutMs);
    if (code < 0) killProcess(child);
    return code;
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  LogCapture log_;
  Xvfb xvfb_;
  std::unique_ptr<EchoService> service_;
  std::uint16_t port_ = 0;
  std::thread pump_;
  std::atomic<bool> stop_{false};
};

TEST_F(PadEndToEnd, WatchReceivesFiftyJpegsOfTheScaledScreen) {
  TempDir dir;
  ASSERT_EQ(pad({"watch", address(), "--count", "50", "--out", dir.path()}), 0);
  tjhandle tj = tjInitDecompress();
  ASSERT_NE(tj, nullptr);
  int files = 0;
  std::vector<unsigned char> pixels(1600 * 900 * 3);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    std::string bytes;
    ASSERT_TRUE(readWholeFile(entry.path().string(), bytes));
    int w = 0, h = 0, sub = 0, colour = 0;
    auto* data = reinterpret_cast<unsigned char*>(bytes.data());
    ASSERT_EQ(tjDecompressHeader3(tj, data, bytes.size(), &w, &h, &sub, &colour), 0) << entry.path();
    EXPECT_EQ(w, 1600);
    EXPECT_EQ(h, 900);
    ASSERT_EQ(tjDecompress2(tj, data, bytes.size(), pixels.data(), w, 0, h, TJPF_RGB, 0), 0) << entry.path();
    ++files;
  }
  tjDestroy(tj);
  EXPECT_EQ(files, 50);
  EXPECT_GE(service_->framesSent(), 50u);
  EXPECT_TRUE(log_.contains("回显订阅 #1"));
}

TEST_F(PadEndToEnd, InputMovesThePointerAndErrorsExitWithTwo) {
  ASSERT_EQ(pad({"input", address(), "move", "0.25", "0.5"}), 0);
  Display* dpy = XOpenDisplay(xvfb_.display().c_str());
  ASSERT_NE(dpy, nullptr);
  int x = -1, y = -1;
  for (int i = 0; i < 200 && (x != 480 || y != 540); ++i) {
    Window root, child;
    int wx, wy;
    unsigned mask;
    XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &wx, &wy, &mask);
    if (x != 480 || y != 540) sleepMs(10);
  }
  XCloseDisplay(dpy);
  EXPECT_EQ(x, 480);
  EXPECT_EQ(y, 540);
  EXPECT_TRUE(log_.contains("反控输入: move (0.250, 0.500)"));

  // A port nobody listens on, and arguments that make no sense.
  stopService();
  EXPECT_EQ(pad({"input", address(), "move", "0.5", "0.5"}), 2);
  EXPECT_EQ(pad({"watch", address(), "--count", "1"}), 2);
  EXPECT_EQ(pad({"input", address(), "move", "half", "0.5"}), 2);
  EXPECT_EQ(pad({"input", address(), "key", "0x25", "--ctrl"}), 2);
  EXPECT_EQ(pad({"watch", address(), "--count", "0"}), 2);
  EXPECT_EQ(pad({"watch", "127.0.0.1:99999"}), 2);
}

}  // namespace
}  // namespace vl::test
