// The running agent on the session bus, through the real programs: the
// headless agent, `vantle-agent ctl` and systemd's busctl.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "core/vantle_coding.h"
#include "tests/app/agent_fixture.h"
#include "tests/support/eventually.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class AgentBusTest : public AgentTest {
 protected:
  core::Json state() const {
    const Ran status = ctl({"status", "--json"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    if (status.out.size() != 1) return core::Json::object();
    return core::VantleCoding::parse(status.out[0]).value_or(core::Json::object());
  }
};

TEST_F(AgentBusTest, CtlTellsTheRunningAgentEveryCommandAndReadsItsState) {
  const fs::path shoot = home() / "Shoot";
  fs::create_directories(shoot);
  RunningAgent agent = startAgent();

  const Ran status = ctl({"status"});
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_THAT(status.out, Contains(StartsWith("Status: ")));
  EXPECT_THAT(status.out, Contains("Companions connected: 0"));
  for (const std::string& line : status.out) EXPECT_EQ(line.find(agent.code), std::string::npos) << line;
  core::Json json = state();
  EXPECT_EQ(json.value("Port", 0), agent.port);
  EXPECT_EQ(json.value("Running", false), true);
  EXPECT_EQ(json.value("HasPairingCode", false), true);
  EXPECT_EQ(json.value("Shoot", ""), "none");

  const Ran code = ctl({"code"});
  EXPECT_EQ(code.exitCode, 0) << code.err;
  EXPECT_THAT(code.out, ElementsAre(agent.code));

  // Settings reach the agent, relative folders as the caller meant them.
  EXPECT_EQ(
      run("/bin/sh", {"-c", "cd '" + home().string() + "' && exec '" VANTLE_AGENT_PATH "' ctl watch Shoot"}).exitCode,
      0);
  EXPECT_EQ(ctl({"count-all", "on"}).exitCode, 0);
  EXPECT_EQ(ctl({"stop-clock-after", "12.5"}).exitCode, 0);
  EXPECT_TRUE(eventually(
      [&] {
        json = state();
        return json.value("Folder", "") == shoot.string() && json.value("CountAll", false) &&
               json.value("StopClockAfterMinutes", 0.0) == 12.5;
      },
      kStartSeconds))
      << json.dump();
  EXPECT_TRUE(agent->waitForLine("Watching " + shoot.string(), kStartSeconds)) << agent->transcript();

  // What cannot be done is refused with the reason, before it reaches the agent.
  const Ran resume = ctl({"resume"});
  EXPECT_EQ(resume.exitCode, 3);
  EXPECT_THAT(resume.err, HasSubstr("There is no ended shoot to resume."));
  const Ran missing = ctl({"watch", (home() / "nowhere").string()});
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_THAT(missing.err, HasSubstr("No such folder"));
  EXPECT_EQ(ctl({"show-qr"}).exitCode, 3);  // a headless agent has no window
  EXPECT_EQ(ctl({"stop-clock-after", "0"}).exitCode, 2);
  EXPECT_EQ(ctl({"frobnicate"}).exitCode, 2);

  // A new code ends the old one; ctl shows the new one.
  EXPECT_EQ(ctl({"new-code"}).exitCode, 0);
  const auto announced = agent->waitForLine(
      [&](const std::string& line) {
        return line.starts_with("Pairing code: ") && line != "Pairing code: " + agent.code;
      },
      kStartSeconds);
  ASSERT_TRUE(announced) << agent->transcript();
  const std::string fresh = announced->substr(std::string("Pairing code: ").size());
  EXPECT_TRUE(eventually([&] { return ctl({"code"}).out == std::vector<std::string>{fresh}; }, kStartSeconds));

  EXPECT_EQ(ctl({"quit"}).exitCode, 0);
  EXPECT_EQ(agent->waitForExit(kStartSeconds), 0) << agent->transcript();
  const Ran gone = ctl({"status"});
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_THAT(gone.err, HasSubstr("no agent is running"));
}

TEST_F(AgentBusTest, ASecondAgentDoesNotStartAndSaysHowToReachTheFirst) {
  RunningAgent first = startAgent();
  LiveProcess second(VANTLE_AGENT_PATH, {"--headless", "--port", "0"}, environment());
  ASSERT_EQ(second.waitForExit(kStartSeconds), 3) << second.transcript();
  const std::string said = second.transcript();
  EXPECT_THAT(said, HasSubstr("already running (pid " + std::to_string(first->pid()) + ")"));
  EXPECT_THAT(said, HasSubstr("Status: "));
  EXPECT_THAT(said, HasSubstr("vantle-agent ctl status"));
  EXPECT_THAT(said, ::testing::Not(HasSubstr(first.code)));
  EXPECT_TRUE(first->running());
  first.quit();
}

TEST_F(AgentBusTest, AsAServiceTheCodeAndTheBrowserAddressStayOutOfTheJournalAndCtlShowsThem) {
  // systemd names the journal stream it gives a service; here it is the pipe the test reads.
  const std::string agent = VANTLE_AGENT_PATH;
  LiveProcess service("/bin/sh",
                      {"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec '" + agent +
                                 "' --headless --port 0 --web --web-port 0 --name 'Studio Service'"},
                      environment());
  ASSERT_TRUE(service.waitForLine("Listening on port ", kStartSeconds)) << service.transcript();
  EXPECT_TRUE(service.waitForLine("Pairing code: not written to the journal; 'vantle-agent ctl code' shows it",
                                  kStartSeconds))
      << service.transcript();
  const Ran code = ctl({"code"});
  ASSERT_EQ(code.exitCode, 0) << code.err;
  ASSERT_EQ(code.out.size(), 1u);
  ASSERT_EQ(code.out[0].size(), 6u);
  EXPECT_TRUE(service.waitForLine(
      "Browsers: the address is not written to the journal; 'vantle-agent ctl browser' shows it", kStartSeconds));
  const Ran browser = ctl({"browser"});
  ASSERT_EQ(browser.exitCode, 0) << browser.err;
  ASSERT_EQ(browser.out.size(), 2u);
  EXPECT_THAT(browser.out[0], ::testing::MatchesRegex("https://.+:[0-9]+/#[0-9a-f]{32}"));
  EXPECT_THAT(browser.out[1], ::testing::MatchesRegex("Certificate SHA-256: ([0-9A-F]{2}:){31}[0-9A-F]{2}"));
  const std::string token = browser.out[0].substr(browser.out[0].find('#') + 1);

  // Off, there is no address to give; on again, the same one: browsers' pages need not be opened again.
  EXPECT_EQ(ctl({"browsers", "off"}).exitCode, 0);
  EXPECT_TRUE(service.waitForLine("Browsers are no longer served.", kStartSeconds));
  EXPECT_EQ(ctl({"browser"}).exitCode, 3);
  EXPECT_EQ(ctl({"browsers", "on"}).exitCode, 0);
  const Ran again = ctl({"browser"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out[0].substr(again.out[0].find('#') + 1), token);
  service.send("status");
  EXPECT_TRUE(service.waitForLine("Companions connected: ", kStartSeconds));
  EXPECT_EQ(ctl({"quit"}).exitCode, 0);
  EXPECT_EQ(service.waitForExit(kStartSeconds), 0);
  // Not a line of standard output nor of the log on standard error.
  EXPECT_THAT(service.transcript(), ::testing::Not(HasSubstr(code.out[0]))) << service.transcript();
  EXPECT_THAT(service.transcript(), ::testing::Not(HasSubstr(token))) << service.transcript();
  EXPECT_THAT(service.transcript(), HasSubstr("a new pairing code was made"));
}

TEST_F(AgentBusTest, TheChosenFolderIsWatchedAgainAtTheNextLaunchUntilCaptureOneIsChosen) {
  const fs::path shoot = home() / "Shoot";
  fs::create_directories(shoot);
  RunningAgent first = startAgent();
  ASSERT_EQ(ctl({"watch", shoot.string()}).exitCode, 0);
  ASSERT_TRUE(first->waitForLine("Watching " + shoot.string(), kStartSeconds)) << first->transcript();
  first.quit();

  // As the user service starts it: no folder on its command line.
  RunningAgent second = startAgent();
  EXPECT_TRUE(second->waitForLine("Watching " + shoot.string() + " (the folder chosen last)", kStartSeconds))
      << second->transcript();
  EXPECT_EQ(state().value("Folder", ""), shoot.string());
  second->send("capture-one");
  ASSERT_TRUE(second->waitForLine("Reading Capture One's capture folder.", kStartSeconds));
  second.quit();

  RunningAgent third = startAgent();
  EXPECT_EQ(state().value("Folder", "?"), "");
  third.quit();
  EXPECT_THAT(third->transcript(), ::testing::Not(HasSubstr("Watching")));
}

// The installed introspection names exactly what the agent serves.
TEST_F(AgentBusTest, TheInstalledInterfaceIsTheOneServed) {
  RunningAgent agent = startAgent();
  const Ran introspected = run("/usr/bin/busctl", {"--user", "introspect", "--list", "org.orvane.Vantle1",
                                                   "/org/orvane/Vantle1", "org.orvane.Vantle1"});
  ASSERT_EQ(introspected.exitCode, 0) << introspected.err;
  std::set<std::string> served;
  for (const std::string& line : introspected.out) {
    if (line.starts_with(".")) served.insert(line.substr(1, line.find(' ') - 1));
  }
  std::ifstream file(VANTLE_SOURCE_DIR "/app/bus/org.orvane.Vantle1.xml");
  const std::string xml((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::set<std::string> declared;
  const std::regex member(R"re(<(?:method|property) name="(\w+)")re");
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), member); it != std::sregex_iterator(); ++it) {
    declared.insert((*it)[1]);
  }
  EXPECT_FALSE(declared.empty());
  EXPECT_EQ(served, declared);
  agent.quit();
}

}  // namespace
}  // namespace vantle::testing
