// The HTTP side of `velmora-pad hub --web`: serves the console page and
// one WebSocket per open page, each handed to the Console. civetweb runs
// the sockets on its own threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vl::pad {

class Console;

inline constexpr std::uint16_t kWebPort = 24680;

// "[ADDR:]PORT" with a dotted IPv4 ADDR (default 127.0.0.1). false when
// malformed; host and port are then unchanged.
bool parseWebAddress(const std::string& text, std::string& host, std::uint16_t& port);
bool isLoopbackAddress(const std::string& host);
// Whether a request's query string carries token=TOKEN. An empty token
// means no token is asked for.
bool requestAllowed(std::string_view query, const std::string& token);
// A fresh random token for non-loopback binds (URL-safe).
std::string randomToken();
// The URL a user opens (with ?token= when one is asked for).
std::string consoleUrl(const std::string& host, std::uint16_t port, const std::string& token);

class WebServer {
 public:
  WebServer() = default;
  ~WebServer() { stop(); }
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // false with `error` set when the address cannot be had.
  bool start(const std::string& host, std::uint16_t port, const std::string& token, Console& console,
             std::string& error);
  void stop();

  struct State;

 private:
  State* state_ = nullptr;
};

}  // namespace vl::pad
