// The agent as a program: its command line, its port, its input and signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>

#include <fstream>

#include "tests/app/agent_fixture.h"
#include "tests/support/eventually.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class AgentProgramTest : public AgentTest {};

// A listening socket on a system-assigned port, on every address as the
// agent's own listener is (IPv4 alone where the machine has no IPv6).
asio::ip::tcp::acceptor takePort(asio::io_context& io) {
  asio::ip::tcp::acceptor acceptor(io);
  std::error_code error;
  acceptor.open(asio::ip::tcp::v6(), error);
  if (!error) acceptor.set_option(asio::ip::v6_only(false), error);
  if (!error) acceptor.bind({asio::ip::tcp::v6(), 0}, error);
  if (error) {
    acceptor = asio::ip::tcp::acceptor(io);
    acceptor.open(asio::ip::tcp::v4());
    acceptor.bind({asio::ip::tcp::v4(), 0});
  }
  acceptor.listen();
  return acceptor;
}

TEST_F(AgentProgramTest, ATakenPortGivesWayToASystemPortAndTheEndOfInputLeavesTheAgentServing) {
  asio::io_context io;
  const asio::ip::tcp::acceptor taken = takePort(io);
  const uint16_t busy = taken.local_endpoint().port();
  const fs::path root = home() / "Shoot";
  fs::create_directories(root / "Capture");
  landFrame(root / "Capture", "IMG_0001.CR3");

  RunningAgent agent = startAgent({"--port", std::to_string(busy), "--watch", root.string()});
  ASSERT_NE(agent.port, 0) << agent->transcript();
  EXPECT_TRUE(agent->waitForLine("Port " + std::to_string(busy) + " was taken, so the system chose port " +
                                     std::to_string(agent.port) + ".",
                                 kStartSeconds))
      << agent->transcript();
  auto companion = agent.companion();
  ASSERT_TRUE(companion) << "the agent refused its own code on port " << agent.port;
  ASSERT_TRUE(companion->waitForSnapshot([](const auto& s) { return s.frameCount == 1; })) << agent->transcript();

  // Run as a service, the agent has nothing on its input: it goes on counting.
  agent->closeInput();
  landFrame(root / "Capture", "IMG_0002.CR3");
  EXPECT_TRUE(companion->waitForSnapshot([](const auto& s) { return s.frameCount == 2; })) << agent->transcript();

  agent->signal(SIGINT);
  EXPECT_EQ(agent->waitForExit(kStartSeconds), 0) << agent->transcript();
  EXPECT_TRUE(agent->waitForLine("Stopping.", kStartSeconds));
}

TEST_F(AgentProgramTest, AClosedTerminalStopsItCleanlyAndAClosedPipeDoesNot) {
  RunningAgent hungUp = startAgent();
  hungUp->signal(SIGHUP);
  EXPECT_EQ(hungUp->waitForExit(kStartSeconds), 0) << hungUp->transcript();
  EXPECT_TRUE(hungUp->waitForLine("Stopping.", kStartSeconds));

  // Its reader gone after the first line, the agent writes on into a closed pipe.
  LiveProcess piped("/bin/bash", {"-c", "'" VANTLE_AGENT_PATH "' --headless --port 0 | head -n 1; "
                                        "echo \"agent exit ${PIPESTATUS[0]}\""},
                    environment());
  ASSERT_TRUE(piped.waitForLine([](const std::string& line) { return !line.starts_with("agent exit"); },
                                kStartSeconds))
      << piped.transcript();
  ASSERT_TRUE(eventually([&] { return ctl({"status"}).exitCode == 0; }, kStartSeconds)) << piped.transcript();
  EXPECT_EQ(ctl({"count-all", "on"}).exitCode, 0);  // the agent says so on its standard output
  EXPECT_EQ(ctl({"status"}).exitCode, 0);
  EXPECT_EQ(ctl({"quit"}).exitCode, 0);
  EXPECT_TRUE(piped.waitForLine("agent exit 0", kStartSeconds)) << piped.transcript();
}

// As `vantle-agent --headless &` typed in an interactive shell: a job in the
// background of a terminal (script(1) gives the shell one).
TEST_F(AgentProgramTest, StartedAsABackgroundJobItKeepsRunning) {
  const fs::path job = home() / "job.sh";
  std::ofstream(job) << "set -m\n'" VANTLE_AGENT_PATH "' --headless --port 0 > agent.out 2>&1 &\necho \"job $!\"\nwait\n";
  LiveProcess terminal("/bin/sh", {"-c", "cd '" + home().string() + "' && exec script -qec '/bin/bash --norc " +
                                             "--noprofile job.sh' /dev/null"},
                       environment());
  const auto started = terminal.waitForLine("job ", kStartSeconds);
  ASSERT_TRUE(started) << terminal.transcript();
  const std::string pid = std::to_string(std::stoi(started->substr(4)));  // the terminal ends its lines with \r
  ASSERT_TRUE(eventually([&] { return ctl({"status"}).exitCode == 0; }, kStartSeconds)) << terminal.transcript();
  // A job stopped for reading its terminal would answer nothing more.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ctl({"status"}).exitCode, 0);
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string ownPid, name, state;
  stat >> ownPid >> name >> state;
  EXPECT_NE(state, "T") << "the job was stopped";
  EXPECT_EQ(ctl({"quit"}).exitCode, 0);
  EXPECT_TRUE(terminal.waitForExit(kStartSeconds)) << terminal.transcript();
}

TEST_F(AgentProgramTest, ABadOptionExitsTwoWithOneLineAndTheHelpNamesEveryCommand) {
  const std::vector<std::vector<std::string>> bad{{"--headless", "--bogus"},
                                                  {"--port", "70000"},
                                                  {"--watch", (home() / "missing").string()},
                                                  {"--name"}};
  for (const auto& arguments : bad) {
    LiveProcess run(VANTLE_AGENT_PATH, arguments, environment());
    EXPECT_EQ(run.waitForExit(kStartSeconds), 2) << arguments[0] << "\n" << run.transcript();
    EXPECT_THAT(run.errLines(), ElementsAre(StartsWith("vantle-agent: "))) << arguments[0];
    EXPECT_THAT(run.outLines(), IsEmpty()) << arguments[0];
  }

  // A line the running agent does not know gets the list of its commands, not an exit.
  RunningAgent agent = startAgent();
  agent->send("help");
  EXPECT_TRUE(agent->waitForLine("Commands: ", kStartSeconds)) << agent->transcript();
  agent.quit();

  LiveProcess help(VANTLE_AGENT_PATH, {"--help"}, environment());
  ASSERT_EQ(help.waitForExit(kStartSeconds), 0) << help.transcript();
  std::string text;
  for (const std::string& line : help.outLines()) text += line + "\n";
  for (const std::string command :
       {"end", "resume", "code", "count-all", "stop-clock-after", "watch", "capture-one", "status", "quit"}) {
    EXPECT_THAT(text, HasSubstr("\n  " + command)) << "the help does not describe the command '" << command << "'";
  }
}

}  // namespace
}  // namespace vantle::testing
