// How a process without a window is asked to end: SIGINT and SIGTERM on
// Linux; on Windows Ctrl+C or a console close, the WM_CLOSE that
// `taskkill /PID n` posts to the process's top-level windows, and the end
// of the session. Every path ends in the same orderly stop.
#pragma once

#include <functional>

namespace vl {

// Before any other thread exists (Linux: the signals are blocked for every
// thread and taken synchronously by waitForStopRequest). `onSessionEnd`
// runs on the UI thread when Windows ends the session, which may kill the
// process as soon as the message returns.
void installStopRequestHandlers(std::function<void()> onSessionEnd = {});

// Waits up to waitMs (Windows: pumping window messages meanwhile); true once
// a stop has been requested.
bool waitForStopRequest(int waitMs);

void requestStop();

// The process id as the system shows it (taskkill /PID, kill).
unsigned long currentProcessId();

// After the orderly stop: a console close that waits for it may go on.
void stopCompleted();

}  // namespace vl
