// The web console behind `velmora-pad hub --web`: the agents it knows (from
// the link and by address), one echo connection per agent for the pictures,
// the pages that watch them and what each page still has to receive.
// Socket-free towards the pages: a page is a writer function, so the relay
// rules can be exercised without a browser.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vl::pad {

inline constexpr std::uint16_t kAgentEchoPort = 24692;
inline constexpr std::uint16_t kAgentSysPort = 24693;
// Per-viewer rates asked of an agent: thumbnails, and the opened view (the
// agent's own stream rate caps it).
inline constexpr int kThumbFps = 2;
inline constexpr int kOpenFps = 60;
// A linked agent whose last heartbeat is older than this shows as late.
inline constexpr std::uint64_t kHeartbeatLateMs = 3000;

// What one page still has to receive. Events (JSON text) queue in order;
// frames keep one slot per agent, so a page that reads slowly gets the
// newest picture of each agent instead of a backlog.
class PageOutbox {
 public:
  static constexpr std::size_t kEventLimit = 4096;

  struct Item {
    bool binary = false;
    std::shared_ptr<const std::string> data;
  };

  // false when the page let too many events pile up; it is then closed.
  bool putEvent(std::string text);
  // `frame` is the whole binary message (agent number, then the JPEG).
  void putFrame(std::uint32_t agent, std::shared_ptr<const std::string> frame);
  // Waits up to waitMs for the next item: events first, then frames in the
  // order their agents first had one pending. false on time-out or close.
  bool next(Item& out, int waitMs);
  void close();
  bool closed() const;
  // Frames dropped because a newer one of the same agent replaced them.
  std::uint64_t framesReplaced() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> events_;
  std::map<std::uint32_t, std::shared_ptr<const std::string>> frames_;
  std::deque<std::uint32_t> frameOrder_;
  std::uint64_t replaced_ = 0;
  bool closed_ = false;
};

// Builds the binary message for one frame: agent number (4 bytes, big
// endian), then the JPEG file.
std::shared_ptr<const std::string> taggedFrame(std::uint32_t agent, const std::uint8_t* jpeg, std::size_t size);

// Lines of an agents file: "HOST[:PORT]" each, blank lines and lines
// starting with '#' skipped; normalised to "HOST:PORT". Bad lines are
// returned in `bad`.
std::vector<std::string> parseAgentList(std::string_view text, std::vector<std::string>* bad = nullptr);

class EchoWorker;

class Console {
 public:
  // Writes one message to a page: binary (a frame) or text (JSON). false
  // when the page is gone. Called on the page's own sender thread.
  using PageWriter = std::function<bool(bool binary, const std::string& data)>;
  // Sends one message over an agent's link (on the hub's thread).
  struct LinkSend {
    std::uint32_t clientId = 0;
    std::string message;
  };

  // persistFile: where addresses added in the page are kept ("" none).
  explicit Console(std::string persistFile = {});
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Agents by address, "HOST[:ECHOPORT]"; persist: remember it in the file.
  // false on a malformed address; an address already present is no error.
  bool addAddress(const std::string& hostPort, bool persist);
  // Loads the persisted file (missing file: nothing to do).
  void loadPersisted();

  // ---- the link (hub thread) ----
  void linkHello(std::uint32_t clientId, const std::string& id, const std::string& name,
                 const std::string& version, const std::string& address, std::uint16_t echoPort, int width,
                 int height);
  void linkHeartbeat(std::uint32_t clientId);
  void linkGone(std::uint32_t clientId);
  // Heartbeat lateness; call often (it looks at the clock at most 4 times a second).
  void tick();
  std::vector<LinkSend> takeLinkSends();

  // ---- pages (any thread) ----
  std::uint32_t openPage(PageWriter writer);
  void onPageText(std::uint32_t page, std::string_view text);
  void closePage(std::uint32_t page);

  // Stops every worker and page thread.
  void stop();

  // For tests and the benchmark.
  struct AgentView {
    std::uint32_t number = 0;
    std::string link;  // "linked", "late", "gone", "none"
    std::string echo;  // "idle", "connecting", "ok", "gone"
    int wantedFps = 0;
    std::uint64_t frames = 0;  // frames received from its echo port
  };
  std::vector<AgentView> agents() const;

 private:
  struct Agent;
  struct Page;
  friend class EchoWorker;

  Agent* findByNumber(std::uint32_t number);
  Agent* findByEcho(const std::string& host, std::uint16_t port);
  Agent& newAgent();
  std::string agentJson(const Agent& agent) const;
  void broadcastAgent(const Agent& agent);
  void broadcastEvent(const std::string& text);
  void sendEvent(std::uint32_t page, const std::string& text);
  void updateWanted();
  void startWorker(Agent& agent);
  void persist();
  void runSys(std::uint32_t agent, const std::string& host, const std::string& op);
  void handleView(Page& page, const struct ViewRequest& request);

  // From the echo workers.
  void echoFrame(std::uint32_t agent, const std::uint8_t* jpeg, std::size_t size);
  void echoState(std::uint32_t agent, const char* state, int width, int height);

  mutable std::mutex mutex_;
  const std::string persistFile_;
  std::vector<std::unique_ptr<Agent>> agents_;  // in order of arrival; cards keep it
  std::map<std::uint32_t, std::unique_ptr<Page>> pages_;
  std::vector<LinkSend> linkSends_;
  std::uint32_t nextAgent_ = 1;
  std::uint32_t nextPage_ = 1;
  std::uint64_t lastTickMs_ = 0;
  bool stopped_ = false;

  std::mutex sysMutex_;
  std::vector<std::pair<std::shared_ptr<std::atomic<bool>>, std::thread>> sysThreads_;
};

}  // namespace vl::pad
