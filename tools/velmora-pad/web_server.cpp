#include "velmora-pad/web_server.h"

#include <cstring>
#include <string>
#include <vector>

#include <civetweb.h>

#include "log/helpers.h"
#include "net/socket.h"
#include "velmora-pad/console.h"

namespace vl::pad {

namespace {

// The whole page: markup, style and script, nothing fetched from elsewhere.
constexpr char kPage[] =
#include "velmora-pad/web_page.inc"
    ;

constexpr char kRefused[] = "需要访问令牌：请用启动时打印的完整地址（含 ?token=）打开控制台。";

}  // namespace

struct WebServer::State {
  mg_context* context = nullptr;
  Console* console = nullptr;
  std::string token;
};

namespace {

bool allowed(mg_connection* conn, const std::string& token) {
  const mg_request_info* info = mg_get_request_info(conn);
  const char* query = info != nullptr ? info->query_string : nullptr;
  return requestAllowed(query != nullptr ? std::string_view(query) : std::string_view(), token);
}

// Runs before the page and the WebSocket handlers: 1 lets the request on.
int checkToken(mg_connection* conn, void* data) {
  const auto* state = static_cast<WebServer::State*>(data);
  if (allowed(conn, state->token)) return 1;
  // Written by hand: civetweb leaves the status line out of its own error
  // reply to a WebSocket upgrade.
  const std::size_t length = sizeof kRefused - 1;
  mg_printf(conn,
            "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %s\r\n"
            "Connection: close\r\n\r\n",
            std::to_string(length).c_str());
  mg_write(conn, kRefused, length);
  return 0;
}

int servePage(mg_connection* conn, void*) {
  const mg_request_info* info = mg_get_request_info(conn);
  const std::string uri = info != nullptr && info->local_uri != nullptr ? info->local_uri : "/";
  if (uri != "/" && uri != "/index.html") {
    mg_send_http_error(conn, 404, "%s", "没有这个页面");
    return 404;
  }
  const std::size_t length = sizeof kPage - 1;
  mg_printf(conn,
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %s\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
            std::to_string(length).c_str());
  mg_write(conn, kPage, length);
  return 200;
}

int wsConnect(const mg_connection*, void*) { return 0; }

void wsReady(mg_connection* conn, void* data) {
  auto* state = static_cast<WebServer::State*>(data);
  const std::uint32_t page = state->console->openPage([conn](bool binary, const std::string& bytes) {
    const int opcode = binary ? MG_WEBSOCKET_OPCODE_BINARY : MG_WEBSOCKET_OPCODE_TEXT;
    return mg_websocket_write(conn, opcode, bytes.data(), bytes.size()) > 0;
  });
  mg_set_user_connection_data(conn, reinterpret_cast<void*>(static_cast<std::uintptr_t>(page)));
}

int wsData(mg_connection* conn, int bits, char* bytes, std::size_t length, void* data) {
  auto* state = static_cast<WebServer::State*>(data);
  const int opcode = bits & 0x0F;
  if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (opcode != MG_WEBSOCKET_OPCODE_TEXT) return 1;
  const auto page = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(mg_get_user_connection_data(conn)));
  if (page != 0) state->console->onPageText(page, std::string_view(bytes, length));
  return 1;
}

void wsClose(const mg_connection* conn, void* data) {
  auto* state = static_cast<WebServer::State*>(data);
  const auto page = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(mg_get_user_connection_data(conn)));
  if (page != 0) state->console->closePage(page);
}

}  // namespace

bool parseWebAddress(const std::string& text, std::string& host, std::uint16_t& port) {
  std::string h = "127.0.0.1";
  std::string digits = text;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    h = text.substr(0, colon);
    digits = text.substr(colon + 1);
  }
  if (h == "localhost") h = "127.0.0.1";
  if (digits.empty() || digits.size() > 5) return false;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  net::Ipv4Endpoint endpoint;
  if (value == 0 || value > 65535 || h.empty() || !net::resolveIPv4(h, 0, endpoint)) return false;
  host = h;
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool isLoopbackAddress(const std::string& host) { return host.rfind("127.", 0) == 0; }

bool requestAllowed(std::string_view query, const std::string& token) {
  if (token.empty()) return true;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (pair.size() == token.size() + 6 && pair.substr(0, 6) == "token=") {
      // Same time for every wrong token of this length.
      unsigned char diff = 0;
      for (std::size_t i = 0; i < token.size(); ++i)
        diff |= static_cast<unsigned char>(pair[6 + i] ^ token[i]);
      if (diff == 0) return true;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return false;
}

std::string randomToken() {
  static const char kDigits[] = "abcdefghijkmnpqrstuvwxyz23456789";
  std::string token;
  for (int part = 0; part < 2; ++part) {
    std::uint64_t bits = random64();
    for (int i = 0; i < 12; ++i, bits >>= 5) token.push_back(kDigits[bits & 31]);
  }
  return token;
}

std::string consoleUrl(const std::string& host, std::uint16_t port, const std::string& token) {
  std::string url = "http://" + host + ":" + std::to_string(port) + "/";
  if (!token.empty()) url += "?token=" + token;
  return url;
}

bool WebServer::start(const std::string& host, std::uint16_t port, const std::string& token, Console& console,
                      std::string& error) {
  stop();
  mg_init_library(MG_FEATURES_WEBSOCKET);
  state_ = new State;
  state_->console = &console;
  state_->token = token;
  const std::string listen = host + ":" + std::to_string(port);
  // One worker per open page (its WebSocket holds it) plus page loads.
  const char* options[] = {"listening_ports", listen.c_str(),      "num_threads", "24",
                           "request_timeout_ms", "10000",           "websocket_timeout_ms", "30000",
                           "enable_websocket_ping_pong", "yes",     "enable_keep_alive", "no",
                           // Answers and events are small: no waiting for the page's ACK.
                           "tcp_nodelay", "1",
                           nullptr};
  mg_callbacks callbacks;
  std::memset(&callbacks, 0, sizeof callbacks);
  // civetweb would print its own errors to standard error; the hub says it in one line.
  callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
  state_->context = mg_start(&callbacks, state_, options);
  if (state_->context == nullptr) {
    error = formatString("cannot listen on TCP %s for the web console", listen.c_str());
    delete state_;
    state_ = nullptr;
    mg_exit_library();
    return false;
  }
  mg_set_auth_handler(state_->context, "/", checkToken, state_);
  mg_set_request_handler(state_->context, "/", servePage, state_);
  mg_set_websocket_handler(state_->context, "/ws", wsConnect, wsReady, wsData, wsClose, state_);
  return true;
}

void WebServer::stop() {
  if (state_ == nullptr) return;
  if (state_->context != nullptr) mg_stop(state_->context);
  delete state_;
  state_ = nullptr;
  mg_exit_library();
}

}  // namespace vl::pad
