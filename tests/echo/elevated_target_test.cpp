// When the operator is told that Windows drops input to an elevated window.
#include <gtest/gtest.h>

#include "echo/elevated_target.h"

namespace vl {
namespace {

TEST(ElevatedTargetNotice, OneLinePerProgramAndMinuteOfClicks) {
  struct Input {
    std::uint64_t nowMs;
    const char* program;
    bool warn;
  } inputs[] = {
      {1000, "Taskmgr.exe", true},                                   // the first click
      {1001, "Taskmgr.exe", false},                                  // its release
      {30000, "Taskmgr.exe", false},                                 // still clicking
      {1000 + kElevatedTargetNoticeMs - 1, "Taskmgr.exe", false},
      {1000 + kElevatedTargetNoticeMs, "Taskmgr.exe", true},         // a minute later: again
      {1000 + kElevatedTargetNoticeMs + 5, "setup.exe", true},       // another program at once
      {1000 + kElevatedTargetNoticeMs + 6, "setup.exe", false},
      {1000 + kElevatedTargetNoticeMs + 7, "Taskmgr.exe", true},     // back to the first
      {1000 + kElevatedTargetNoticeMs + 8, "", true},                // a program without a name
      {1000 + kElevatedTargetNoticeMs + 9, "", false},
  };
  ElevatedTargetNotice notice;
  for (const Input& in : inputs)
    EXPECT_EQ(notice.shouldWarn(in.nowMs, in.program), in.warn) << in.program << " at " << in.nowMs;
}

}  // namespace
}  // namespace vl
