// The web console's relay rules on small fakes: agents that are FrameServers
// on 127.0.0.1 speaking the echo protocol with a tiny JPEG, pages that are
// writer functions. Plus the pure helpers behind the HTTP side.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "net_test_util.h"
#include "velmora-pad/console.h"
#include "velmora-pad/web_server.h"

namespace vl {
namespace {

using pad::Console;
using pad::PageOutbox;
using Json = nlohmann::json;

// Waits for a condition that another thread brings about; the limit only
// ends a broken run.
template <typename Predicate>
bool eventually(Predicate predicate, int limitMs = 10000) {
  const std::uint64_t end = monotonicMs() + static_cast<std::uint64_t>(limitMs);
  while (monotonicMs() < end) {
    if (predicate()) return true;
    test::sleepMs(5);
  }
  return predicate();
}

// A JPEG file as far as the console looks: start, a frame header with the
// size, the frame's number in a comment, end.
std::string tinyJpeg(int width, int height, std::uint32_t number) {
  std::string j = "\xFF\xD8";
  j += std::string("\xFF\xFE\x00\x06", 4);
  for (int shift = 24; shift >= 0; shift -= 8) j.push_back(static_cast<char>((number >> shift) & 0xFF));
  const char sof[] = {'\xFF', '\xC0', 0, 11, 8, static_cast<char>(height >> 8), static_cast<char>(height & 0xFF),
                      static_cast<char>(width >> 8), static_cast<char>(width & 0xFF), 1, 1, 0x11, 0};
  j.append(sof, sizeof sof);
  j += "\xFF\xD9";
  return j;
}

std::uint32_t frameNumber(const std::string& tagged) {
  // 4 bytes agent, FF D8, FF FE 00 06, then the number.
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n = (n << 8) | static_cast<unsigned char>(tagged[10 + i]);
  return n;
}

std::uint32_t frameAgent(const std::string& tagged) {
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n = (n << 8) | static_cast<unsigned char>(tagged[i]);
  return n;
}

// An agent's echo port: answers subscribe with sub.ok, records what it was
// asked, and sends frames when told to (burst) or steadily (streaming).
class FakeEchoAgent {
 public:
  FakeEchoAgent() {
    server_.listen(0, "127.0.0.1");
    thread_ = std::thread([this] { run(); });
  }
  ~FakeEchoAgent() { vanish(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(server_.localPort()); }

  void burst(int count) { burst_ += count; }
  void stream(bool on) { streaming_ = on; }
  // Closes the port and every connection, as a PC that was switched off.
  void vanish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Json> subscribes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribes_;
  }
  int subscribedCount() const { return subscribed_.load(); }
  std::uint32_t sent() const { return next_.load() - 1; }

 private:
  void run() {
    std::map<net::ClientId, bool> viewers;
    std::uint64_t lastStreamMs = 0;
    while (!stop_) {
      server_.poll(
          [&](net::ClientId id) { viewers[id] = false; },
          [&](net::ClientId id, net::FrameKind kind, const std::uint8_t* data, std::uint64_t length) {
            if (kind != net::FrameKind::Text) return;
            const Json m = Json::parse(data, data + length, nullptr, false);
            if (!m.is_object() || !m.contains("t")) return;
            if (m["t"] == "subscribe") {
              {
                std::lock_guard<std::mutex> lock(mutex_);
                subscribes_.push_back(m);
              }
              viewers[id] = true;
              server_.sendText(id, R"({"fps":25,"h":0,"maxW":1280,"quality":60,"t":"sub.ok","w":0})");
            } else if (m["t"] == "unsub") {
              viewers[id] = false;
            }
          },
          [&](net::ClientId id) { viewers.erase(id); });
      int count = 0;
      for (const auto& entry : viewers) count += entry.second ? 1 : 0;
      subscribed_ = count;
      int frames = 0;
      if (count > 0 && burst_ > 0) frames = burst_.exchange(0);
      if (count > 0 && streaming_ && monotonicMs() - lastStreamMs >= 20) {
        frames = std::max(frames, 1);
        lastStreamMs = monotonicMs();
      }
      for (int i = 0; i < frames; ++i) {
        const std::string jpeg = tinyJpeg(64, 40, next_++);
        for (const auto& [id, subscribed] : viewers)
          if (subscribed) server_.sendBinary(id, jpeg.data(), jpeg.size());
      }
      test::sleepMs(2);
    }
    server_.closeAll();
  }

  net::FrameServer server_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> burst_{0};
  std::atomic<bool> streaming_{false};
  std::atomic<int> subscribed_{0};
  std::atomic<std::uint32_t> next_{1};
  std::mutex mutex_;
  std::vector<Json> subscribes_;
};

// A page: records what the console writes; can be held so it reads slowly.
struct FakePage {
  std::mutex mutex;
  std::condition_variable released;
  bool hold = false;
  bool holding = false;
  std::vector<std::string> frames;
  std::vector<Json> events;

  Console::PageWriter writer() {
    return [this](bool binary, const std::string& data) {
      std::unique_lock<std::mutex> lock(mutex);
      if (binary) {
        frames.push_back(data);
        holding = hold;
        released.wait(lock, [&] { return !hold; });
        holding = false;
      } else {
        events.push_back(Json::parse(data, nullptr, false));
      }
      return true;
    };
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = false;
    released.notify_all();
  }
  std::size_t frameCount(std::uint32_t agent) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<std::size_t>(
        std::count_if(frames.begin(), frames.end(), [&](const std::string& f) { return frameAgent(f) == agent; }));
  }
  // The newest "agent" event of one agent.
  Json agentState(std::uint32_t agent) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if ((*it)["t"] == "agent" && (*it)["n"] == agent) return *it;
    return Json();
  }
};

Console::AgentView agentView(const Console& console, std::uint32_t number) {
  for (const auto& view : console.agents())
    if (view.number == number) return view;
  return {};
}

std::string view(std::vector<std::uint32_t> thumbs, std::uint32_t open = 0) {
  return Json{{"t", "view"}, {"thumbs", thumbs}, {"open", open}}.dump();
}

TEST(PadConsoleRelay, SlowPageGetsTheNewestFrameNotABacklog) {
  FakeEchoAgent agent;
  Console console;
  ASSERT_TRUE(console.addAddress(agent.address(), false));
  FakePage page;
  page.hold = true;
  const std::uint32_t pageId = console.openPage(page.writer());
  console.onPageText(pageId, view({1}));
  ASSERT_TRUE(eventually([&] { return agent.subscribedCount() == 1; }));
  agent.burst(1);
  // The page now sits in its first write while 30 more frames come in.
  ASSERT_TRUE(eventually([&] { std::lock_guard<std::mutex> l(page.mutex); return page.holding; }));
  agent.burst(30);
  ASSERT_TRUE(eventually([&] { return agentView(console, 1).frames == 31; }));
  page.release();
  ASSERT_TRUE(eventually([&] { return page.frameCount(1) == 2; }));
  test::sleepMs(100);
  std::lock_guard<std::mutex> lock(page.mutex);
  ASSERT_EQ(page.frames.size(), 2u);
  EXPECT_EQ(frameNumber(page.frames[0]), 1u);
  EXPECT_EQ(frameNumber(page.frames[1]), 31u);
  console.stop();
}

TEST(PadConsoleRelay, ThumbnailsAskForTheirOwnRateOnlyAndOnlyShownAgentsAreRelayed) {
  FakeEchoAgent shown, hidden;
  Console console;
  console.addAddress(shown.address(), false);
  console.addAddress(hidden.address(), false);
  FakePage page;
  const std::uint32_t pageId = console.openPage(page.writer());
  console.onPageText(pageId, view({1}));
  ASSERT_TRUE(eventually([&] { return shown.subscribedCount() == 1; }));
  shown.stream(true);
  hidden.stream(true);
  ASSERT_TRUE(eventually([&] { return page.frameCount(1) >= 3; }));
  EXPECT_EQ(page.frameCount(2), 0u);
  EXPECT_EQ(hidden.subscribedCount(), 0);
  // A thumbnail must not change the agent's single stream for everybody.
  const Json thumb = shown.subscribes().front();
  EXPECT_EQ(thumb["fps"], pad::kThumbFps);
  EXPECT_FALSE(thumb.contains("quality"));
  EXPECT_FALSE(thumb.contains("maxW"));

  // Opening the hidden one: it streams at the open rate, the thumbnails stop.
  console.onPageText(pageId, view({}, 2));
  ASSERT_TRUE(eventually([&] { return hidden.subscribedCount() == 1 && shown.subscribedCount() == 0; }));
  EXPECT_EQ(hidden.subscribes().back()["fps"], pad::kOpenFps);
  const std::size_t before = page.frameCount(1);
  ASSERT_TRUE(eventually([&] { return page.frameCount(2) >= 3; }));
  EXPECT_LE(page.frameCount(1), before + 1);  // at most one already under way

  // The page goes: nobody is subscribed any more.
  console.closePage(pageId);
  EXPECT_TRUE(eventually([&] { return hidden.subscribedCount() == 0; }));
  console.stop();
}

TEST(PadConsoleRelay, VanishedAgentTurnsGoneWithoutStallingTheOthers) {
  FakeEchoAgent leaving, staying;
  Console console;
  console.addAddress(leaving.address(), false);
  console.addAddress(staying.address(), false);
  console.linkHello(7, "agent_1", "一号机", "1.0.0", "127.0.0.1", 1, 1920, 1080);  // a linked one, no echo port
  FakePage page;
  const std::uint32_t pageId = console.openPage(page.writer());
  console.onPageText(pageId, view({1, 2}));
  leaving.stream(true);
  staying.stream(true);
  ASSERT_TRUE(eventually([&] { return page.frameCount(1) >= 2 && page.frameCount(2) >= 2; }));

  leaving.vanish();
  ASSERT_TRUE(eventually([&] { return page.agentState(1).value("echo", "") == "gone"; }));
  const std::size_t staying_before = page.frameCount(2);
  EXPECT_TRUE(eventually([&] { return page.frameCount(2) >= staying_before + 5; }));
  EXPECT_EQ(page.agentState(2)["echo"], "ok");

  // Link states of a linked agent: late after the heartbeat limit is not
  // waited for here; a dropped link is "gone" at once, a new hello "linked".
  EXPECT_EQ(page.agentState(3)["link"], "linked");
  EXPECT_EQ(page.agentState(3)["byAddr"], false);
  console.linkGone(7);
  EXPECT_TRUE(eventually([&] { return page.agentState(3)["link"] == "gone"; }));
  console.linkHello(9, "agent_1", "一号机", "1.0.0", "127.0.0.1", 1, 0, 0);
  EXPECT_TRUE(eventually([&] { return page.agentState(3)["link"] == "linked"; }));
  EXPECT_EQ(console.agents().size(), 3u) << "the same id keeps its card";
  console.stop();
}

TEST(PadConsoleRelay, LinkCommandsGoOnlyToLinkedAgentsAndPageAdditionsPersist) {
  test::TempDir dir;
  const std::string store = dir.file("velmora-pad-agents.txt");
  {
    Console console(store);
    console.linkHello(4, "agent_L", "linked", "1.0.0", "127.0.0.1", 24692, 0, 0);
    FakePage page;
    const std::uint32_t pageId = console.openPage(page.writer());
    console.onPageText(pageId, R"({"t":"add","addr":"10.1.2.3:25000"})");
    console.onPageText(pageId, R"({"t":"add","addr":"10.1.2.4"})");
    console.onPageText(pageId, R"({"t":"add","addr":"no such host"})");
    console.onPageText(pageId, R"({"t":"remove","n":3})");
    console.onPageText(pageId, R"({"t":"link","n":1,"msg":{"t":"echo.cfg","quality":40,"fps":5,"on":true}})");
    console.onPageText(pageId, R"({"t":"link","n":1,"msg":{"t":"toast","msg":"你好"}})");
    console.onPageText(pageId, R"({"t":"link","n":2,"msg":{"t":"kick","reason":"x"}})");
    console.onPageText(pageId, R"({"t":"link","n":1,"msg":{"t":"welcome"}})");
    const auto sends = console.takeLinkSends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].clientId, 4u);
    EXPECT_EQ(sends[0].message, R"({"fps":5,"on":true,"quality":40,"t":"echo.cfg"})");
    EXPECT_EQ(sends[1].message, R"({"msg":"你好","t":"toast"})");
    ASSERT_TRUE(eventually([&] {
      std::lock_guard<std::mutex> l(page.mutex);
      return std::any_of(page.events.begin(), page.events.end(), [](const Json& e) { return e["t"] == "error"; });
    }));
    console.stop();
  }
  std::string text;
  ASSERT_TRUE(readWholeFile(store, text));
  EXPECT_EQ(pad::parseAgentList(text), (std::vector<std::string>{"10.1.2.3:25000"}));
  Console again(store);
  again.loadPersisted();
  EXPECT_EQ(again.agents().size(), 1u);
}

TEST(PadConsoleOutbox, OrderAndLimits) {
  struct Case {
    const char* name;
    std::vector<std::pair<char, std::uint32_t>> puts;  // 'e' event, 'f' frame of agent
    std::string expected;                              // e / f<agent> in delivery order
    std::uint64_t replaced;
  };
  const Case cases[] = {
      {"events go before frames", {{'f', 1}, {'e', 0}, {'f', 2}, {'e', 0}}, "e e f1 f2 ", 0},
      {"one slot per agent", {{'f', 1}, {'f', 1}, {'f', 1}}, "f1 ", 2},
      {"agents keep first-pending order", {{'f', 2}, {'f', 1}, {'f', 2}}, "f2 f1 ", 1},
      {"nothing", {}, "", 0},
  };
  for (const Case& c : cases) {
    PageOutbox outbox;
    for (const auto& [kind, agent] : c.puts) {
      if (kind == 'e') {
        outbox.putEvent("{}");
      } else {
        const std::string jpeg = tinyJpeg(8, 8, agent);
        outbox.putFrame(agent, pad::taggedFrame(agent, reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size()));
      }
    }
    std::string got;
    PageOutbox::Item item;
    while (outbox.next(item, 0)) got += item.binary ? "f" + std::to_string(frameAgent(*item.data)) + " " : "e ";
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_EQ(outbox.framesReplaced(), c.replaced) << c.name;
  }
  // A page that never reads its events is closed rather than grown.
  PageOutbox flooded;
  for (std::size_t i = 0; i < PageOutbox::kEventLimit; ++i) ASSERT_TRUE(flooded.putEvent("{}"));
  EXPECT_FALSE(flooded.putEvent("{}"));
  PageOutbox::Item item;
  EXPECT_FALSE(flooded.next(item, 0));
}

TEST(PadConsoleText, AgentListAddressesAndTokens) {
  std::vector<std::string> bad;
  EXPECT_EQ(pad::parseAgentList("# hall A\n10.0.0.5\n\n 10.0.0.6:25000 \r\nlocalhost:7\n10.0.0.5:24692\nhost name\n"
                                "1.2.3.4:0\n1.2.3.4:65536\n",
                                &bad),
            (std::vector<std::string>{"10.0.0.5:24692", "10.0.0.6:25000", "127.0.0.1:7"}));
  EXPECT_EQ(bad, (std::vector<std::string>{"host name", "1.2.3.4:0", "1.2.3.4:65536"}));

  struct Web {
    const char* text;
    bool ok;
    const char* host;
    std::uint16_t port;
  };
  for (const Web& w : {Web{"24680", true, "127.0.0.1", 24680}, Web{"0.0.0.0:8080", true, "0.0.0.0", 8080},
                       Web{"localhost:1", true, "127.0.0.1", 1}, Web{":80", false, "", 0},
                       Web{"1.2.3.4:", false, "", 0}, Web{"hall:80", false, "", 0}, Web{"70000", false, "", 0},
                       Web{"0", false, "", 0}, Web{"12a", false, "", 0}}) {
    std::string host = "unchanged";
    std::uint16_t port = 1;
    EXPECT_EQ(pad::parseWebAddress(w.text, host, port), w.ok) << w.text;
    if (w.ok) {
      EXPECT_EQ(host, w.host) << w.text;
      EXPECT_EQ(port, w.port) << w.text;
    }
  }
  EXPECT_TRUE(pad::isLoopbackAddress("127.0.0.1"));
  EXPECT_TRUE(pad::isLoopbackAddress("127.8.0.1"));
  EXPECT_FALSE(pad::isLoopbackAddress("0.0.0.0"));
  EXPECT_FALSE(pad::isLoopbackAddress("10.127.0.1"));

  struct Query {
    const char* query;
    const char* token;
    bool allowed;
  };
  for (const Query& q : {Query{"", "", true}, Query{"anything", "", true}, Query{"token=abc", "abc", true},
                         Query{"x=1&token=abc", "abc", true}, Query{"token=abc&x=1", "abc", true},
                         Query{"", "abc", false}, Query{"token=ab", "abc", false}, Query{"token=abcd", "abc", false},
                         Query{"token=", "abc", false}, Query{"xtoken=abc", "abc", false},
                         Query{"token=ABC", "abc", false}}) {
    EXPECT_EQ(pad::requestAllowed(q.query, q.token), q.allowed) << q.query << " / " << q.token;
  }
  const std::string a = pad::randomToken(), b = pad::randomToken();
  EXPECT_EQ(a.size(), 24u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(pad::requestAllowed("token=" + a, a)) << "a random token needs no escaping in the URL";
}

}  // namespace
}  // namespace vl
