// velmora-pad watch: subscribes to the echo stream and reports what arrives.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/helpers.h"
#include "velmora-pad/commands.h"
#include "velmora-pad/common.h"

#include <nlohmann/json.hpp>

namespace vl::pad {

namespace {

constexpr std::uint16_t kEchoPort = 24692;
constexpr int kConnectTimeoutMs = 3000;
constexpr int kReplyTimeoutMs = 5000;

int fail(const std::string& message) {
  std::fprintf(stderr, "velmora-pad watch: %s\n", message.c_str());
  return 2;
}

bool parseInt(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parseSeconds(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !(v > 0.0) || v > 1e7) return false;
  out = v;
  return true;
}

constexpr char kUsage[] =
    "usage: velmora-pad watch HOST[:PORT] [--fps N] [--quality Q] [--maxw W] [--count N] [--seconds S] "
    "[--out DIR]\n"
    "  Subscribes to the desktop echo (default port 24692) and prints one line per second.\n"
    "  --fps, --quality, --maxw  values sent with the subscription\n"
    "  --count N                 exit 0 after N frames\n"
    "  --seconds S               exit 0 after S seconds\n"
    "  --out DIR                 save every frame as DIR/frame-NNNNNN.jpg\n";

}  // namespace

int runWatch(const std::vector<std::string>& args) {
  std::string target, outDir;
  long long fps = -1, quality = -1, maxWidth = -1, count = 0;
  double seconds = 0.0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a.rfind("--", 0) == 0) {
      if (i + 1 >= args.size()) return fail("option " + a + " needs a value");
      const std::string& value = args[++i];
      bool ok = true;
      if (a == "--fps") {
        ok = parseInt(value, 1, 1000, fps);
      } else if (a == "--quality") {
        ok = parseInt(value, 1, 100, quality);
      } else if (a == "--maxw") {
        ok = parseInt(value, 1, 100000, maxWidth);
      } else if (a == "--count") {
        ok = parseInt(value, 1, 1000000000, count);
      } else if (a == "--seconds") {
        ok = parseSeconds(value, seconds);
      } else if (a == "--out") {
        outDir = value;
        ok = !value.empty();
      } else {
        return fail("unknown option " + a + " (see --help)");
      }
      if (!ok) return fail("bad value \"" + value + "\" for " + a);
      continue;
    }
    if (!target.empty()) return fail("unexpected argument \"" + a + "\" (see --help)");
    target = a;
  }
  if (target.empty()) return fail("missing HOST[:PORT] (see --help)");
  std::string host;
  std::uint16_t port = kEchoPort;
  if (!parseHostPort(target, kEchoPort, host, port)) return fail("bad address \"" + target + "\"");
  if (!outDir.empty() && !createDirectories(outDir)) return fail("cannot create directory " + outDir);

  PadConnection connection;
  std::string error;
  if (!connection.connect(host, port, kConnectTimeoutMs, error))
    return fail(error.empty() ? formatString("cannot connect to %s:%u", host.c_str(), static_cast<unsigned>(port)) : error);

  nlohmann::json subscribe;
  subscribe["t"] = "subscribe";
  subscribe["client"] = "velmora-pad";
  if (fps > 0) subscribe["fps"] = fps;
  if (quality > 0) subscribe["quality"] = quality;
  if (maxWidth > 0) subscribe["maxW"] = maxWidth;
  if (!connection.sendText(subscribe.dump())) return fail("connection lost while subscribing");

  const std::uint64_t start = monotonicMs();
  const std::uint64_t endMs = seconds > 0.0 ? start + static_cast<std::uint64_t>(seconds * 1000.0) : 0;
  bool subscribed = false;
  unsigned long long frames = 0, invalid = 0, windowFrames = 0, windowBytes = 0;
  std::uint64_t windowStart = start;
  int width = 0, height = 0;
  net::FrameKind kind = net::FrameKind::Text;
  std::vector<std::uint8_t> payload;
  for (;;) {
    const std::uint64_t now = monotonicMs();
    if (endMs != 0 && now >= endMs) break;
    if (!subscribed && now - start > static_cast<std::uint64_t>(kReplyTimeoutMs))
      return fail("no \"sub.ok\" within 5 s");
    int wait = 200;
    if (endMs != 0 && endMs - now < static_cast<std::uint64_t>(wait)) wait = static_cast<int>(endMs - now);
    const int r = connection.receiveFrame(kind, payload, wait);
    if (r < 0) return fail("connection closed by the agent");
    if (r > 0 && kind == net::FrameKind::Text) {
      const auto reply = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
      const auto t = reply.is_object() ? reply.find("t") : reply.end();
      if (reply.is_object() && t != reply.end() && t->is_string() && *t == "sub.ok") {
        subscribed = true;
        std::printf("subscribed: %s\n", reply.dump().c_str());
        std::fflush(stdout);
      }
    } else if (r > 0 && kind == net::FrameKind::Binary) {
      ++frames;
      ++windowFrames;
      windowBytes += payload.size();
      if (!jpegSize(payload.data(), payload.size(), width, height)) ++invalid;
      if (!outDir.empty()) {
        const std::string file = joinPath(outDir, formatString("frame-%06llu.jpg", frames));
        if (!writeWholeFile(file, payload.data(), payload.size())) return fail("cannot write " + file);
      }
      if (count > 0 && frames >= static_cast<unsigned long long>(count)) break;
    }
    const std::uint64_t after = monotonicMs();
    if (after - windowStart >= 1000) {
      const double secs = static_cast<double>(after - windowStart) / 1000.0;
      std::printf("frames %llu  fps %.1f  KB/frame %.1f  Mbit/s %.2f  %dx%d%s\n", frames,
                  static_cast<double>(windowFrames) / secs,
                  windowFrames ? static_cast<double>(windowBytes) / 1024.0 / static_cast<double>(windowFrames) : 0.0,
                  static_cast<double>(windowBytes) * 8.0 / 1e6 / secs, width, height,
                  invalid ? formatString("  (%llu not JPEG)", invalid).c_str() : "");
      std::fflush(stdout);
      windowStart = after;
      windowFrames = 0;
      windowBytes = 0;
    }
  }
  const double total = static_cast<double>(monotonicMs() - start) / 1000.0;
  std::printf("done: %llu frames in %.1f s, %dx%d%s\n", frames, total, width, height,
              invalid ? formatString(", %llu not JPEG", invalid).c_str() : "");
  connection.close();
  return 0;
}

}  // namespace vl::pad
