// Real screen capture on Windows (Wine on a private Xvfb): desktop
// duplication's fallback and GDI.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "capture_retry_check.h"
#include "echo/capture.h"
#include "echo/frame_source.h"
#include "echo/pixel_convert.h"
#include "log/helpers.h"
#include "support/test_support.h"

namespace vl {
namespace {

// ---- Windows (Wine on a private Xvfb) -----------------------------------------

void expectOpaque(const PixelFrame& f) {
  ASSERT_EQ(f.pixels.size(), static_cast<std::size_t>(f.width) * f.height * 4);
  for (std::size_t i = 3; i < f.pixels.size(); i += 4) ASSERT_EQ(f.pixels[i], 255) << "pixel " << i / 4;
}

// Runs inside the next case: opens twice and writes whether duplication was
// used and every fallback line to the file CAPTURE_DUP_MARKER names.
TEST(DuplicationChild, OpensTwiceAndReportsTheFallbackLines) {
  const std::string marker = envValue("CAPTURE_DUP_MARKER");
  if (marker.empty()) GTEST_SKIP() << "runs inside UnavailableMeansGdiWithTheReasonLoggedOnce";
  test::LogCapture log;
  ScreenCapturer capturer;
  PixelFrame frame;
  ASSERT_TRUE(capturer.open(CaptureRegion::monitor(0)));
  ASSERT_TRUE(capturer.capture(frame));
  expectOpaque(frame);
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(10, 20, 64, 48)));
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.width, 64);
  std::string report = capturer.usingDuplication() ? "duplication\n" : "gdi\n";
  for (const std::string& m : log.messages())
    if (m.find("桌面复制不可用") != std::string::npos) report += m + "\n";
  writeWholeFile(marker, report);
}

// Wine 8 lacks DuplicateOutput, so here the fallback is what can be shown.
TEST(DesktopDuplication, UnavailableMeansGdiWithTheReasonLoggedOnce) {
  test::TempDir dir;
  const std::string marker = dir.file("dup.txt");
  for (const char* forced : {"", "1"}) {
    test::ChildProcess child =
        test::startProcess({exePath(), "--gtest_filter=DuplicationChild.*"},
                           {{"CAPTURE_DUP_MARKER", marker}, {"VL_SCREEN_GDI", forced}});
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(test::waitProcess(child, 60000), 0) << forced;
    std::string report;
    ASSERT_TRUE(readWholeFile(marker, report)) << forced;
    removeFile(marker);
    if (report.rfind("duplication", 0) == 0) GTEST_SKIP() << "desktop duplication works here";
    EXPECT_EQ(report.rfind("gdi\n", 0), 0u) << report;
    const std::size_t first = report.find("桌面复制不可用，改用 GDI 抓屏: ");
    ASSERT_NE(first, std::string::npos) << report;
    EXPECT_EQ(report.find("桌面复制不可用", first + 1), std::string::npos) << report;  // once
    if (*forced) {
      EXPECT_NE(report.find("VL_SCREEN_GDI"), std::string::npos) << report;
    }
  }
}

TEST(GdiCapture, MonitorsAreListedWithDeviceNames) {
  const std::vector<MonitorInfo> monitors = enumerateMonitors();
  ASSERT_FALSE(monitors.empty());
  bool primary = false;
  for (const auto& m : monitors) {
    EXPECT_GT(m.width, 0);
    EXPECT_GT(m.height, 0);
    EXPECT_FALSE(m.name.empty());
    primary = primary || m.primary;
  }
  EXPECT_TRUE(primary);
}

TEST(GdiCapture, MonitorAndCustomRegionsGiveOpaqueFramesOfTheirSize) {
  test::LogCapture log;
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::monitor(0)));
  const MonitorInfo first = enumerateMonitors()[0];
  PixelFrame frame;
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.width, first.width);
  EXPECT_EQ(frame.height, first.height);
  expectOpaque(frame);

  ASSERT_TRUE(capturer.open(CaptureRegion::custom(10, 20, 101, 51)));
  EXPECT_TRUE(log.contains("抓屏初始化: 自定义区域 101x51 @ (10,20)"));
  ASSERT_TRUE(capturer.capture(frame));
  EXPECT_EQ(frame.width, 101);
  EXPECT_EQ(frame.height, 51);
  EXPECT_EQ(frame.pixels.size(), 101u * 51u * 4u);
  expectOpaque(frame);

  capturer.close();
  EXPECT_FALSE(capturer.isReady());
  frame.pixels[0] = 7;
  EXPECT_FALSE(capturer.capture(frame));
  EXPECT_EQ(frame.pixels[0], 7);
}

LRESULT CALLBACK solidWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    HBRUSH brush = CreateSolidBrush(RGB(0x20, 0x80, 0xE0));
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillRect(dc, &rc, brush);
    DeleteObject(brush);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST(GdiCapture, ReopeningAfterAFailureIsNotLoggedAgain) { test::expectRetriesNotLoggedAgain(); }

TEST(GdiCapture, WindowColourComesOutAsRgb) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = solidWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VlCaptureTestWnd";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 100, 100, 200, 120,
                              nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(hwnd, nullptr);
  UpdateWindow(hwnd);
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(150, 130, 40, 30)));
  PixelFrame frame;
  bool matched = false;
  // The window reaches the screen asynchronously; give it a moment.
  for (int attempt = 0; attempt < 50 && !matched; ++attempt) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    ASSERT_TRUE(capturer.capture(frame));
    matched = frame.pixels[0] == 0x20 && frame.pixels[1] == 0x80 && frame.pixels[2] == 0xE0;
    if (!matched) test::sleepMs(100);
  }
  DestroyWindow(hwnd);
  UnregisterClassW(wc.lpszClassName, wc.hInstance);
  ASSERT_TRUE(matched) << int(frame.pixels[0]) << "," << int(frame.pixels[1]) << "," << int(frame.pixels[2]);
  for (std::size_t i = 0; i < frame.pixels.size(); i += 4) {
    ASSERT_EQ(frame.pixels[i], 0x20);
    ASSERT_EQ(frame.pixels[i + 1], 0x80);
    ASSERT_EQ(frame.pixels[i + 2], 0xE0);
    ASSERT_EQ(frame.pixels[i + 3], 255);
  }
}

// The solid window with, once set, a band of another colour at rows 40..44.
bool gBandShown = false;
LRESULT CALLBACK bandWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT && gBandShown) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    HBRUSH blue = CreateSolidBrush(RGB(0x20, 0x80, 0xE0));
    HBRUSH red = CreateSolidBrush(RGB(0xF0, 0x10, 0x30));
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillRect(dc, &rc, blue);
    RECT band{0, 40, rc.right, 45};
    FillRect(dc, &band, red);
    DeleteObject(blue);
    DeleteObject(red);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return solidWindowProc(hwnd, msg, wp, lp);
}

// GDI says nothing about changes: the copy is compared with the last one,
// and only the rows that differ are converted.
TEST(GdiCapture, UnchangedCopyIsReportedUnchangedAndChangedRowsOnly) {
  gBandShown = false;
  WNDCLASSW wc{};
  wc.lpfnWndProc = bandWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VlCaptureCompareWnd";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 100, 100, 200, 120,
                              nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(hwnd, nullptr);
  UpdateWindow(hwnd);
  ScreenCapturer capturer;
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(150, 130, 40, 30)));
  PixelFrame kept;
  FrameDamage damage;
  bool matched = false;
  for (int attempt = 0; attempt < 50 && !matched; ++attempt) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    ASSERT_TRUE(capturer.update(kept, damage));
    matched = kept.pixels[0] == 0x20 && kept.pixels[1] == 0x80 && kept.pixels[2] == 0xE0;
    if (!matched) test::sleepMs(100);
  }
  ASSERT_TRUE(matched);
  ASSERT_TRUE(capturer.update(kept, damage));
  EXPECT_TRUE(damage.unchanged());

  // Rows 10..14 of the region change colour (window rows 40..44).
  gBandShown = true;
  InvalidateRect(hwnd, nullptr, FALSE);
  UpdateWindow(hwnd);
  bool changed = false;
  for (int attempt = 0; attempt < 50 && !changed; ++attempt) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    ASSERT_TRUE(capturer.update(kept, damage));
    changed = !damage.unchanged();
    if (!changed) test::sleepMs(100);
  }
  ASSERT_TRUE(changed);
  ASSERT_EQ(damage.rects.size(), 1u);
  EXPECT_EQ(damage.rects[0].y, 10);
  EXPECT_EQ(damage.rects[0].height, 5);
  EXPECT_EQ(damage.rects[0].width, 40);
  PixelFrame fresh;
  ASSERT_TRUE(capturer.capture(fresh));
  EXPECT_TRUE(fresh.pixels == kept.pixels);
  EXPECT_EQ(kept.pixels[(12 * 40 + 3) * 4], 0xF0);
  ASSERT_TRUE(capturer.update(kept, damage));
  EXPECT_TRUE(damage.unchanged());

  // Another frame than the kept one is filled whole.
  PixelFrame other;
  ASSERT_TRUE(capturer.update(other, damage));
  EXPECT_TRUE(damage.whole);
  DestroyWindow(hwnd);
  UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

}  // namespace
}  // namespace vl
