// velmora-pad sys against a service in this process (fake platform): the
// exit codes, the step it sends and the acknowledgement it prints.
#include <gtest/gtest.h>

#include "fake_system_platform.h"
#include "log/helpers.h"
#include "support/test_support.h"
#include "sysctl_test_support.h"

namespace vl {
namespace {

std::string padPath() {
#if defined(_WIN32)
  return joinPath(exeDirectory(), "..\\..\\velmora-pad.exe");
#else
  return joinPath(exeDirectory(), "../../velmora-pad");
#endif
}

// Runs the client while ticking `service` (when given); its exit code, or
// -100 when it did not finish in time.
int runPad(SysCtlService* service, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {padPath(), "sys"};
  argv.insert(argv.end(), args.begin(), args.end());
  test::ChildProcess child = test::startProcess(argv);
  if (!child.valid()) return -101;
  const std::uint64_t started = monotonicMs();
  while (monotonicMs() - started < 30000) {
    if (service) service->tick();
    const int rc = test::waitProcess(child, service ? 1 : 50);
    if (rc != -1) return rc;
  }
  test::killProcess(child);
  return -100;
}

class PadSysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fileExists(padPath())) GTEST_SKIP() << "velmora-pad is not built at " << padPath();
    port = test::startOnFreePort(service);
    ASSERT_NE(port, 0);
    address = "127.0.0.1:" + std::to_string(port);
  }

  test::ScopedDryRun noDryRun{false};
  test::LogCapture log;
  test::FakeSystemPlatform fake;
  test::EventRecorder events;
  SysCtlService service{events.sink(), &fake};
  std::uint16_t port = 0;
  std::string address;
};

TEST_F(PadSysTest, ExitCodeFollowsTheAcknowledgement) {
  fake.level = 0.5f;
  EXPECT_EQ(runPad(&service, {address, "volup", "--step", "7"}), 0);
  EXPECT_FLOAT_EQ(fake.level, 0.57f);
  EXPECT_EQ(runPad(&service, {address, "voldown"}), 0);  // default step
  EXPECT_FLOAT_EQ(fake.level, 0.55f);

  EXPECT_EQ(runPad(&service, {address, "wake"}), 1);
  EXPECT_EQ(runPad(&service, {address, "Shutdown"}), 1);
  fake.deviceNull = true;
  EXPECT_EQ(runPad(&service, {address, "mute"}), 1);
  EXPECT_EQ(service.commandCount(), 3u);
}

TEST_F(PadSysTest, ConnectionErrorsAndBadArgumentsGiveTwo) {
  EXPECT_EQ(runPad(nullptr, {address}), 2);
  EXPECT_EQ(runPad(nullptr, {address, "volup", "--step"}), 2);
  EXPECT_EQ(runPad(nullptr, {address, "volup", "--step", "x"}), 2);
  EXPECT_EQ(runPad(nullptr, {address, "volup", "--speed", "1"}), 2);
  EXPECT_EQ(runPad(nullptr, {"127.0.0.1:70000", "volup"}), 2);
  EXPECT_EQ(runPad(nullptr, {address, "volup", "extra"}), 2);
  service.stop();  // nothing listens there any more
  EXPECT_EQ(runPad(nullptr, {address, "volup"}), 2);
  EXPECT_TRUE(fake.calls.empty());
}

#if !defined(_WIN32)
TEST_F(PadSysTest, PrintsTheAcknowledgementAsReceived) {
  test::TempDir dir;
  fake.level = 0.5f;
  const std::string out = dir.file("out");
  test::ChildProcess child =
      test::startProcess({"/bin/sh", "-c", "exec \"$0\" sys \"$1\" volup > \"$2\"", padPath(), address, out});
  ASSERT_TRUE(child.valid());
  int rc = -1;
  for (const std::uint64_t started = monotonicMs(); rc == -1 && monotonicMs() - started < 30000;) {
    service.tick();
    rc = test::waitProcess(child, 1);
  }
  EXPECT_EQ(rc, 0);
  std::string printed;
  ASSERT_TRUE(readWholeFile(out, printed));
  EXPECT_EQ(printed, "{\"msg\":\"音量 52%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":52}\n");
}
#endif

}  // namespace
}  // namespace vl
