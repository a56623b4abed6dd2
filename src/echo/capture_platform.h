// Internal: what each platform file provides to the portable capture code.
#pragma once

#include <vector>

#include "echo/capture.h"

namespace vl::detail {

// Monitor list (system order, possibly empty) and desktop metrics, read in
// one go so both describe the same moment.
void gatherDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop);

}  // namespace vl::detail

namespace vl::detail {

// The "抓屏初始化" Info line every successful open writes.
void logCaptureOpened(const MonitorInfo& rect);

}  // namespace vl::detail
