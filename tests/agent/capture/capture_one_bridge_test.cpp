#include "agent/capture/capture_one_bridge.h"

#include <signal.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "agent/capture/capture_one_channel.h"
#include "agent/capture/capture_one_script.h"
#include "tests/agent/capture/capture_fixture.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using testing::CaptureTest;
using testing::eventually;

using CaptureOneBridgeTest = CaptureTest;

// Reading what the application holds is left to the source's tests, which
// read every state through this bridge.

TEST_F(CaptureOneBridgeTest, WithoutTheApplicationOrJustAfterItQuitNoScriptIsSent) {
  EXPECT_FALSE(bridge->isRunning());
  EXPECT_EQ(bridge->read(), std::nullopt);
  const auto absent = bridge->run(CaptureOneScript::jobStatus);
  ASSERT_TRUE(absent.error);
  EXPECT_EQ(absent.error->number, -600);
  EXPECT_EQ(absent.error->message, "Capture One is not running.");

  // Quitting opens the quiet window.
  serve();
  ctl({"quit"});
  ASSERT_TRUE(testing::ApplicationClient().waitForOwner(false, 10));
  standIn.reset();
  serve();  // back at once, within the five seconds
  EXPECT_FALSE(bridge->isRunning());
  const auto refused = bridge->run(CaptureOneScript::jobStatus);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->number, -600);
  clock.advance(5);
  EXPECT_TRUE(bridge->isRunning());
  EXPECT_TRUE(bridge->run(CaptureOneScript::jobStatus).result);
}

// The process that owns the application's bus name, as the bus knows it.
std::optional<pid_t> applicationPid() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return std::nullopt;
  sd_bus_creds* creds = nullptr;
  pid_t pid = 0;
  const bool found =
      sd_bus_get_name_creds(bus, std::string(CaptureOneChannel::busName).c_str(), SD_BUS_CREDS_PID, &creds) >= 0 &&
      sd_bus_creds_get_pid(creds, &pid) >= 0;
  sd_bus_creds_unref(creds);
  sd_bus_flush_close_unref(bus);
  if (!found) return std::nullopt;
  return pid;
}

bool isStopped(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t name = line.rfind(')');  // the state follows the command name
  return name != std::string::npos && line.compare(name, 3, ") T") == 0;
}

TEST_F(CaptureOneBridgeTest, AScriptThatTimesOutOpensTheQuietWindow) {
  serve();
  // A quit would open the window by itself, as its name loses its owner. So
  // the application hangs instead: it keeps its name but answers nothing, and
  // the script runs into the call's ten-second time-out.
  const std::optional<pid_t> application = applicationPid();
  ASSERT_TRUE(application);
  ASSERT_EQ(kill(*application, SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { kill(pid, SIGCONT); }
  } resume{*application};
  ASSERT_TRUE(eventually([&] { return isStopped(*application); }));
  const auto timedOut = bridge->run(CaptureOneScript::jobStatus);
  ASSERT_TRUE(timedOut.error);
  EXPECT_EQ(timedOut.error->number, CaptureOneChannel::connectionInvalid);

  // It answers again at once, but the bridge leaves it alone for five seconds.
  ASSERT_EQ(kill(*application, SIGCONT), 0);
  ASSERT_TRUE(testing::ApplicationClient().runScript(std::string(CaptureOneScript::jobStatus)).ok);
  for (double step : {0.0, 4.9}) {
    clock.advance(step);
    EXPECT_FALSE(bridge->isRunning()) << step;
    const auto refused = bridge->run(CaptureOneScript::jobStatus);
    ASSERT_TRUE(refused.error) << step;
    EXPECT_EQ(refused.error->number, -600) << step;
  }
  clock.advance(0.1);
  EXPECT_TRUE(bridge->isRunning());
  EXPECT_TRUE(bridge->run(CaptureOneScript::jobStatus).result);
}

TEST_F(CaptureOneBridgeTest, ALostSessionBusCostsNothingAndIsFoundAgainOnTheNextRead) {
  serve();
  ASSERT_TRUE(bridge->read());
  // The session bus goes away under the connection the bridge holds.
  delete daemon;
  daemon = new testing::PrivateBus();
  ASSERT_TRUE(daemon->available()) << daemon->reason();
  standIn.reset();

  const auto cpu = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  };
  const double before = cpu();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // a window to measure in, nothing to wait for
  EXPECT_LT(cpu() - before, 0.3) << "something spins on the dead connection";

  // The next read reaches the application on the new bus.
  serve();
  clock.advance(CaptureOneBridge::quietSeconds);
  const auto reading = bridge->read();
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->documentName, "Spring_Lookbook.cosessiondb");
}

TEST_F(CaptureOneBridgeTest, PathTextsBecomeCanonicalPosixPaths) {
  fs::create_directories(scratch / "Volumes");
  fs::create_directory_symlink("/", scratch / "Volumes" / "Macintosh HD");
  fs::create_directories(scratch / "Shoot" / "Capture");
  EXPECT_EQ(bridge->posixPath("Macintosh HD:Users:studio:Shoot:Capture:"), "/Users/studio/Shoot/Capture");
  EXPECT_EQ(bridge->posixPath("Unmounted:Users:studio::x:"), "/Users/studio/x");
  EXPECT_EQ(bridge->posixPath(" " + (scratch / "Shoot" / "Capture").string() + "/\n"),
            (scratch / "Shoot" / "Capture").string());
  EXPECT_EQ(bridge->posixPath((scratch / "Shoot" / "x" / ".." / "Capture").string()),
            (scratch / "Shoot" / "Capture").string());
  for (const char* nothing : {"", "  \n", "relative/path", "Volume:", "Volume::"}) {
    EXPECT_EQ(bridge->posixPath(nothing), std::nullopt) << nothing;
  }
}

}  // namespace
}  // namespace vantle::agent
