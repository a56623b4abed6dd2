#include "sysctl_test_support.h"

#include <cstdlib>

#include "log/helpers.h"
#include "net/client.h"

namespace vl::test {

void setEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());  // an empty value removes it
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

ScopedDryRun::ScopedDryRun(bool on) : had_(envExists("VL_POWER_DRY_RUN")), old_(envValue("VL_POWER_DRY_RUN")) {
  setEnv("VL_POWER_DRY_RUN", on ? "1" : "");
}

ScopedDryRun::~ScopedDryRun() { setEnv("VL_POWER_DRY_RUN", had_ ? (old_.empty() ? "1" : old_) : ""); }

std::string frameBytes(net::FrameKind kind, const std::string& payload) {
  std::vector<std::uint8_t> out;
  net::appendFrame(out, kind, payload.data(), payload.size());
  return std::string(out.begin(), out.end());
}

std::uint16_t startOnFreePort(SysCtlService& service) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    const auto port = static_cast<std::uint16_t>(20000 + random64() % 40000);
    if (service.start(port, "127.0.0.1")) return port;
  }
  return 0;
}

Exchange exchangeWith(SysCtlService& service, std::uint16_t port, const std::string& raw) {
  Exchange result;
  net::TcpClient client;
  if (!client.startConnect("127.0.0.1", port)) return result;
  const std::uint64_t started = monotonicMs();
  for (;;) {
    service.tick();
    const int state = client.pollConnect(static_cast<int>(monotonicMs() - started), 3000);
    if (state < 0) return result;
    if (state > 0) break;
  }
  result.connected = true;
  if (!raw.empty() && client.sendAll(raw.data(), raw.size()) != static_cast<std::int64_t>(raw.size())) {
    return result;
  }
  net::FrameDecoder decoder;
  char buffer[4096];
  while (monotonicMs() - started < 5000) {
    service.tick();
    const int n = client.receive(buffer, sizeof(buffer), 1);
    if (n > 0) decoder.append(buffer, static_cast<std::size_t>(n));
    if (client.broken()) {
      result.closedByAgent = true;
      break;
    }
  }
  net::FrameView frame;
  while (decoder.next(frame) == net::DecodeStatus::Frame) {
    result.frames.push_back({frame.kind, frame.payload ? std::string(reinterpret_cast<const char*>(frame.payload),
                                                                     frame.length)
                                                       : std::string()});
  }
  return result;
}

bool connectTicking(SysCtlService& service, std::uint16_t port, net::TcpClient& client) {
  if (!client.startConnect("127.0.0.1", port)) return false;
  const std::uint64_t started = monotonicMs();
  int state = 0;
  while (state == 0) {
    service.tick();
    state = client.pollConnect(static_cast<int>(monotonicMs() - started), 3000);
  }
  for (int pass = 0; pass < 5; ++pass) service.tick();
  return state == 1;
}

bool closedTicking(SysCtlService& service, net::TcpClient& client, int passes) {
  char buffer[64];
  for (int i = 0; i < passes && !client.broken(); ++i) {
    service.tick();
    client.receive(buffer, sizeof buffer, 10);
  }
  return client.broken();
}

}  // namespace vl::test
