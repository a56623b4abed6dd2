// The Linux platform for real: a private PulseAudio daemon (private HOME and
// runtime directory, a null sink) checked against pactl, the paths without
// a usable server, and the power command run as a harmless stub.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "fake_system_platform.h"
#include "log/helpers.h"
#include "support/test_support.h"
#include "sysctl/system_actions.h"
#include "sysctl_test_support.h"

namespace vl {
namespace {


std::string quoted(const std::string& s) { return "'" + s + "'"; }

// libpulse clients create a cookie below HOME; keep this program's elsewhere.
class PrivateClientCookie : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<test::TempDir>();
    test::setEnv("PULSE_COOKIE", dir_->file("cookie"));
  }
  void TearDown() override {
    test::setEnv("PULSE_COOKIE", "");
    dir_.reset();
  }

 private:
  std::unique_ptr<test::TempDir> dir_;
};
::testing::Environment* const kPrivateClientCookie =
    ::testing::AddGlobalTestEnvironment(new PrivateClientCookie);

class PulseDaemon {
 public:
  ~PulseDaemon() { stop(); }

  // Starts `pulseaudio` under a private HOME and runtime directory; `why`
  // says what went wrong when it returns false.
  bool start(bool withSink, std::string& why) {
    if (!test::haveProgram("pulseaudio") || !test::haveProgram("pactl")) {
      why = "pulseaudio or pactl is not installed";
      return false;
    }
    const std::string home = dir_.file("home");
    run_ = dir_.file("run");
    createDirectories(home);
    createDirectories(run_);
    chmod(run_.c_str(), 0700);
    env_ = {{"HOME", home}, {"XDG_RUNTIME_DIR", run_}, {"XDG_CONFIG_HOME", home + "/.config"}};
    std::vector<std::string> argv = {"pulseaudio", "--start", "--exit-idle-time=-1", "-n",
                                     "--log-level=error", "--load=module-native-protocol-unix"};
    if (withSink) argv.push_back("--load=module-null-sink sink_name=vltest");
    auto child = test::startProcess(argv, env_, {"PULSE_SERVER"});
    const int rc = child.valid() ? test::waitProcess(child, 15000) : -1;
    if (rc != 0) {
      if (rc == -1 && child.valid()) test::killProcess(child);
      why = "pulseaudio --start failed (" + std::to_string(rc) + ")";
      return false;
    }
    started_ = true;
    return true;
  }

  void stop() {
    if (!started_) return;
    started_ = false;
    auto child = test::startProcess({"pulseaudio", "--kill"}, env_, {"PULSE_SERVER"});
    if (child.valid() && test::waitProcess(child, 10000) == -1) test::killProcess(child);
    // The daemon leaves on its own; wait for its pid file to go.
    for (int i = 0; i < 100 && fileExists(run_ + "/pulse/pid"); ++i) test::sleepMs(50);
  }

  std::string server() const { return "unix:" + run_ + "/pulse/native"; }

  // Output of pactl talking to this daemon.
  std::string pactl(const std::string& args) const {
    std::string command = "env";
    for (const auto& [k, v] : env_) command += " " + k + "=" + quoted(v);
    command += " PULSE_SERVER=" + quoted(server()) + " pactl " + args + " 2>&1";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
      char buffer[512];
      size_t n;
      while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) out.append(buffer, n);
      pclose(p);
    }
    return out;
  }

  // Per-channel percentages pactl shows for the sink.
  std::vector<int> volumes() const {
    const std::string out = pactl("get-sink-volume vltest");
    std::vector<int> result;
    // "front-left: 34079 /  52% / -17.04 dB,   front-right: ...": every "N%".
    const std::regex percent("([0-9]+)%");
    for (std::sregex_iterator it(out.begin(), out.end(), percent), end; it != end; ++it) {
      result.push_back(std::stoi((*it)[1].str()));
    }
    return result;
  }

  bool muted() const { return pactl("get-sink-mute vltest").find("Mute: yes") != std::string::npos; }

 private:
  test::TempDir dir_;
  std::string run_;
  std::map<std::string, std::string> env_;
  bool started_ = false;
};

class PulseServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!daemon.start(true, why)) GTEST_SKIP() << why;
    LinuxPlatformOptions options;
    options.pulseServer = daemon.server();
    options.powerCommand = {"false"};  // never the real one
    platform = makeLinuxSystemPlatform(options);
  }

  void setVolume(const std::string& value) { daemon.pactl("set-sink-volume vltest " + value); }

  test::LogCapture log;
  PulseDaemon daemon;
  std::unique_ptr<SystemPlatform> platform;
};

TEST_F(PulseServerTest, VolumeChangesReachTheDefaultSink) {
  setVolume("50%");
  test::Outcome o = test::run(*platform, "volup");
  EXPECT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.message, "音量 52%");
  EXPECT_EQ(o.volume, 52);
  EXPECT_EQ(o.muted, 0);
  EXPECT_EQ(daemon.volumes(), (std::vector<int>{52, 52}));

  o = test::run(*platform, "voldown", 7);
  EXPECT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.volume, 45);
  EXPECT_EQ(daemon.volumes(), (std::vector<int>{45, 45}));

  setVolume("1%");
  o = test::run(*platform, "voldown", 2);
  EXPECT_EQ(o.volume, 0);
  EXPECT_EQ(daemon.volumes(), (std::vector<int>{0, 0}));
}

TEST_F(PulseServerTest, UnevenOrLoudChannelsAreAveragedCappedAndSetTogether) {
  setVolume("40% 60%");
  ASSERT_EQ(daemon.volumes(), (std::vector<int>{40, 60}));
  test::Outcome o = test::run(*platform, "volup", 3);
  EXPECT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.volume, 53);
  EXPECT_EQ(daemon.volumes(), (std::vector<int>{53, 53}));

  setVolume("150%");  // above normal counts as full
  o = test::run(*platform, "voldown", 10);
  EXPECT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.volume, 90);
  EXPECT_EQ(daemon.volumes(), (std::vector<int>{90, 90}));
}

TEST_F(PulseServerTest, MuteOperationsAndTheUnmutingVolumeChangeMatchPactl) {
  setVolume("30%");
  test::Outcome o = test::run(*platform, "mute");
  EXPECT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.message, "已静音");
  EXPECT_EQ(o.muted, 1);
  EXPECT_EQ(o.volume, 30);
  EXPECT_TRUE(daemon.muted());

  o = test::run(*platform, "mute");  // already muted: still a success
  EXPECT_TRUE(o.ok);
  EXPECT_TRUE(daemon.muted());

  o = test::run(*platform, "mutetoggle");
  EXPECT_EQ(o.message, "已取消静音");
  EXPECT_EQ(o.muted, 0);
  EXPECT_FALSE(daemon.muted());

  o = test::run(*platform, "mutetoggle");
  EXPECT_EQ(o.muted, 1);
  EXPECT_TRUE(daemon.muted());

  o = test::run(*platform, "unmute");
  EXPECT_EQ(o.message, "已取消静音");
  EXPECT_FALSE(daemon.muted());

  // A volume change unmutes.
  daemon.pactl("set-sink-mute vltest 1");
  ASSERT_TRUE(daemon.muted());
  o = test::run(*platform, "volup", 5);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.message, "音量 35%");
  EXPECT_EQ(o.muted, 0);
  EXPECT_FALSE(daemon.muted());
}

TEST_F(PulseServerTest, ServiceAnswersWithTheRealLevels) {
  setVolume("50%");
  test::EventRecorder events;
  SysCtlService service(events.sink(), platform.get());
  const std::uint16_t port = test::startOnFreePort(service);
  ASSERT_NE(port, 0);
  const auto x = test::exchangeWith(service, port, test::textFrame(R"({"t":"sys.cmd","op":"volup","step":10})"));
  ASSERT_EQ(x.frames.size(), 1u);
  EXPECT_EQ(x.frames[0].payload, "{\"msg\":\"音量 60%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":60}");
  EXPECT_TRUE(x.closedByAgent);
  EXPECT_EQ(daemon.volumes(), (std::vector<int>{60, 60}));
}

TEST(PulseWithoutSink, EveryAudioOperationReportsNoDevice) {
  test::LogCapture log;
  PulseDaemon daemon;
  std::string why;
  if (!daemon.start(false, why)) GTEST_SKIP() << why;
  LinuxPlatformOptions options;
  options.pulseServer = daemon.server();
  options.powerCommand = {"false"};
  auto platform = makeLinuxSystemPlatform(options);
  for (const char* op : test::kAudioOps) {
    const test::Outcome o = test::run(*platform, op);
    EXPECT_FALSE(o.ok) << op;
    EXPECT_EQ(o.message, test::kNoDevice) << op;
    EXPECT_EQ(o.volume, -1);
    EXPECT_EQ(o.muted, -1);
  }
}

// A socket that accepts connections (through the backlog) and never speaks.
class SilentServer {
 public:
  explicit SilentServer(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd_, 16) == 0;
  }
  ~SilentServer() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

TEST(PulseUnavailable, MissingOrSilentServerFailsWithinTwoSeconds) {
  test::LogCapture log;
  test::TempDir dir;
  SilentServer silent(dir.file("silent"));
  ASSERT_TRUE(silent.ok());
  for (const std::string& server : {"unix:" + dir.file("nothing-here"), "unix:" + dir.file("silent")}) {
    LinuxPlatformOptions options;
    options.pulseServer = server;
    options.powerCommand = {"false"};
    auto platform = makeLinuxSystemPlatform(options);
    for (const char* op : {"volup", "mutetoggle"}) {
      SCOPED_TRACE(server + " / " + op);
      const std::uint64_t started = monotonicMs();
      const test::Outcome o = test::run(*platform, op);
      EXPECT_LT(monotonicMs() - started, 2000u);
      EXPECT_FALSE(o.ok);
      EXPECT_EQ(o.message, test::kNoDevice);
      EXPECT_EQ(o.volume, -1);
      EXPECT_EQ(o.muted, -1);
    }
  }
}

// The power request runs a stub in place of systemctl; it writes its last
// argument to a file so the test sees what would have been asked for.
class PowerCommandTest : public ::testing::Test {
 protected:
  std::unique_ptr<SystemPlatform> stub(const std::string& script, int timeoutMs = 10000) {
    LinuxPlatformOptions options;
    options.pulseServer = "unix:" + dir.file("no-audio");
    options.powerCommand = {"/bin/sh", "-c", script};
    options.powerCommandTimeoutMs = timeoutMs;
    return makeLinuxSystemPlatform(options);
  }
  std::string recorded() const {
    std::string text;
    readWholeFile(dir.file("asked"), text);
    return text;
  }
  // The command runs on its own after the request; waits for what it wrote.
  std::string waitForRecorded(const std::string& expected) const {
    for (int i = 0; i < 500 && recorded() != expected; ++i) test::sleepMs(10);
    return recorded();
  }
  std::string record() const { return "printf '%s' \"$0\" > " + quoted(dir.file("asked")); }

  test::ScopedDryRun noDryRun{false};
  test::LogCapture log;
  test::TempDir dir;
};

TEST_F(PowerCommandTest, AcceptedRequestNamesTheOperation) {
  auto platform = stub(record() + "; exit 0");
  test::Outcome o = test::run(*platform, "shutdown");
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.message, "正在关机");
  EXPECT_EQ(waitForRecorded("poweroff"), "poweroff");
  o = test::run(*platform, "restart");
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.message, "正在重启");
  EXPECT_EQ(waitForRecorded("reboot"), "reboot");
}

// The command runs on after the request returns; its failure is collected
// by later calls (the service's tick), each one reported once.
struct LateFailure {
  bool reported = false;
  bool reboot = false;
  std::uint32_t error = 0;
};

LateFailure waitForLateFailure(SystemPlatform& platform, int passes = 1000) {
  LateFailure f;
  for (int i = 0; i < passes && !f.reported; ++i) {
    f.reported = platform.takeLatePowerFailure(f.reboot, f.error);
    if (!f.reported) test::sleepMs(10);
  }
  return f;
}

TEST_F(PowerCommandTest, RefusalCarriesTheExitStatusOrErrno) {
  auto refusing = stub(record() + "; exit 3");
  test::Outcome o = test::run(*refusing, "shutdown");
  EXPECT_TRUE(o.ok);  // under way; the answer comes later
  LateFailure late = waitForLateFailure(*refusing);
  ASSERT_TRUE(late.reported);
  EXPECT_FALSE(late.reboot);
  EXPECT_EQ(late.error, 3u);
  EXPECT_EQ(powerRequestRefusedText(late.reboot, late.error), "系统拒绝了关机请求（错误 3）");
  EXPECT_EQ(recorded(), "poweroff");  // written before it exited
  EXPECT_FALSE(refusing->takeLatePowerFailure(late.reboot, late.error));

  // A program that cannot be started fails at once.
  LinuxPlatformOptions missing;
  missing.pulseServer = "unix:" + dir.file("no-audio");
  missing.powerCommand = {dir.file("no-such-program")};
  o = test::run(*makeLinuxSystemPlatform(missing), "restart");
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, "系统拒绝了重启请求（错误 2）");  // ENOENT

  auto hanging = stub("exec sleep 20", 300);
  o = test::run(*hanging, "restart");
  EXPECT_TRUE(o.ok);
  late = waitForLateFailure(*hanging);
  ASSERT_TRUE(late.reported);
  EXPECT_TRUE(late.reboot);
  EXPECT_EQ(late.error, 110u);  // ETIMEDOUT: killed at the limit
}

// systemctl may take seconds; the request must come back while it still
// runs, and success is never reported.
TEST_F(PowerCommandTest, RequestReturnsWhileTheCommandStillRuns) {
  const std::string go = quoted(dir.file("go"));
  auto platform = stub(record() + "; while [ ! -e " + go + " ]; do sleep 0.02; done; exit 0");
  const test::Outcome o = test::run(*platform, "restart");
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.message, "正在重启");
  EXPECT_EQ(waitForRecorded("reboot"), "reboot");
  bool reboot = false;
  std::uint32_t error = 0;
  EXPECT_FALSE(platform->takeLatePowerFailure(reboot, error));  // still waiting for "go"
  ASSERT_TRUE(writeWholeFile(dir.file("go"), "1"));
  EXPECT_FALSE(waitForLateFailure(*platform, 100).reported);
}

}  // namespace
}  // namespace vl
