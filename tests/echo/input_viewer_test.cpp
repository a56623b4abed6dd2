// Per-viewer input bookkeeping: held buttons and keys, and letting go.
#include <gtest/gtest.h>

#include "echo/viewer_input.h"
#include "service_support.h"
#include "support/test_support.h"

namespace vl {
namespace {

using Calls = std::vector<std::string>;

InputMessage keyMessage(unsigned vk, bool down) {
  InputMessage m;
  m.type = "key";
  m.vk = vk;
  m.down = down;
  return m;
}

TEST(ViewerInput, ReleaseButtonsLetsGoInOrderAndLogsOnce) {
  test::LogCapture log;
  test::RecordingInjector injector;
  ViewerState viewer;
  releaseButtons(viewer, "x", injector);  // nothing held: nothing happens
  EXPECT_TRUE(injector.calls().empty());
  EXPECT_EQ(log.count("反控按键看门狗"), 0);

  viewer.buttonMask = 0b111;
  releaseButtons(viewer, "原因", injector);
  EXPECT_EQ(viewer.buttonMask, 0u);
  EXPECT_EQ(injector.calls(), (Calls{"button 0 up", "button 1 up", "button 2 up"}));
  ASSERT_EQ(log.count("反控按键看门狗: 原因 ⇒ 自动松开按键(mask=7)。"), 1);
  EXPECT_NE(log.lines().at(0).find("[WARN ]"), std::string::npos);
}

TEST(ViewerInput, HeldKeysAreTrackedAndReleasedLastPressedFirst) {
  test::LogCapture log;
  test::RecordingInjector injector;
  ViewerState viewer;
  applyInput(viewer, keyMessage(0x10, true), injector);
  applyInput(viewer, keyMessage(0x11, true), injector);
  applyInput(viewer, keyMessage(0x11, true), injector);  // auto-repeat
  applyInput(viewer, keyMessage(0x41, true), injector);
  applyInput(viewer, keyMessage(0x41, false), injector);
  applyInput(viewer, keyMessage(0x10025, true), injector);  // tracked as 0x25
  applyInput(viewer, keyMessage(0x99, false), injector);   // never pressed
  EXPECT_EQ(viewer.heldKeys, (std::vector<std::uint16_t>{0x10, 0x11, 0x25}));
  injector.clear();

  releaseHeldKeys(viewer, "观看端断开", injector);
  EXPECT_TRUE(viewer.heldKeys.empty());
  EXPECT_EQ(injector.calls(), (Calls{"key 0x25 up", "key 0x11 up", "key 0x10 up"}));
  EXPECT_EQ(log.count("反控按键看门狗: 观看端断开 ⇒ 自动松开键盘按键(vk=0x25,0x11,0x10)"), 1);
  releaseHeldKeys(viewer, "again", injector);
  EXPECT_EQ(log.count("反控按键看门狗"), 1);
}

TEST(ViewerInput, HeldKeyListStaysBounded) {
  test::RecordingInjector injector;
  ViewerState viewer;
  for (unsigned vk = 1; vk < 5000; ++vk) applyInput(viewer, keyMessage(vk, true), injector);
  EXPECT_LE(viewer.heldKeys.size(), 256u);
}

}  // namespace
}  // namespace vl
