// What the echo benchmarks share: process CPU and memory, the viewer's
// connect-and-subscribe, the latency probe (a block toggled on the screen,
// watched for in the received frames), starting a service on a free port
// and reading a helper process's one-line answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "echo/echo_service.h"
#include "net/client.h"

namespace vl::bench {

// CPU time (user + system) of this process, in seconds.
double cpuSeconds();
// Resident memory of this process.
double residentMiB();
std::uint64_t monotonicUs();

// Connects to the echo port and subscribes at `fps`; false when either fails.
bool connectAndSubscribe(net::TcpClient& client, std::uint16_t port, int fps, const char* name = "bench");

// The latency probe: a 96x96 block at the screen's top-left corner toggles
// black/white `changes` times at random moments; one viewer at `fps` decodes
// every frame and times the change to the first frame showing it. Prints
// "count median p95 max" (ms); 1 when nothing was measured.
inline constexpr int kLatencyBlock = 96;
int latencyProbe(std::uint16_t port, int changes, int fps);

// Starts the service on a random free port from 30000 up; 0 when none took.
std::uint16_t startOnFreePort(EchoService& service);

// The first line a command prints; false when it printed none.
bool firstLine(const std::string& command, char* line, int size);
// The numbers in a line, in order.
std::vector<double> numbers(const char* text);

}  // namespace vl::bench
