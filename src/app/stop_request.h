// How a process without a window is asked to end: SIGINT and SIGTERM on
// Linux; on Windows Ctrl+C or a console close, the WM_CLOSE that
// `taskkill /PID n` posts to the process's top-level windows, and the end
// of the session. Every path ends in the same orderly stop.
#pragma once

#include <cstdint>
#include <functional>

#include "net/wait_set.h"

namespace vl {

// Before any other thread exists (Linux: the signals are blocked for every
// thread and taken synchronously by waitForStopRequest). `onSessionEnd`
// runs on the UI thread when Windows ends the session, which may kill the
// process as soon as the message returns.
void installStopRequestHandlers(std::function<void()> onSessionEnd = {});

// Waits up to waitMs (Windows: pumping window messages meanwhile); true once
// a stop has been requested.
bool waitForStopRequest(int waitMs);
// The headless loop's wait: also ends when one of `waits`' sockets is ready
// or its due time comes, and otherwise sleeps (Linux: the signals are read
// from a descriptor in the same poll; Windows: window messages and the stop
// event, the sockets as in waitForMessagesOrSockets).
bool waitForStopRequest(const net::WaitSet& waits, std::uint64_t nowMs);
inline constexpr int kStopWaitCapMsWindows = 20;
// Windows: sleeps until a window message is queued for this thread, one of
// `waits`' sockets is ready (watched from a thread of its own) or its due
// time comes; at most kStopWaitCapMsWindows when the sockets cannot be
// watched. The windowed loop's wait while hidden. Linux has none: its loop
// watches the X connections in the WaitSet itself.
void waitForMessagesOrSockets(const net::WaitSet& waits, std::uint64_t nowMs);

// On the UI thread (the wait above checks the flag before it sleeps).
void requestStop();

// The process id as the system shows it (taskkill /PID, kill).
unsigned long currentProcessId();

// After the orderly stop: a console close that waits for it may go on.
void stopCompleted();

}  // namespace vl
