// The companion binary against a real agent service on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>

#include "net/dns_sd.h"
#include "net/security.h"
#include "net/vantle_service.h"
#include "tests/support/live_process.h"
#include "tests/support/eventually.h"
#include "tests/support/instants.h"
#include "tests/support/temp_folder.h"

namespace vantle::tools {
namespace {

namespace fs = std::filesystem;
using core::VantleMessage;
using Kind = VantleMessage::Kind;
using testing::at;
using testing::LiveProcess;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

constexpr const char* kCode = "271828";
const std::string companionPath = VANTLE_COMPANION_PATH;

core::WireSegment segment(uint64_t seq) {
  const std::string name = std::to_string(seq) + "_Look";
  return {.seq = seq, .path = "/shoot/" + name, .folderName = name, .openedAt = at(60.0 * seq),
          .closedAt = at(60.0 * seq + 42), .duration = 42};
}

core::VantleSnapshot snapshot(int64_t frames) { return {.at = at(1000), .frameCount = frames}; }

// How a run of the companion ended: its exit code (128 + the signal that
// ended it), what it wrote and how long it ran.
struct Ran {
  int exitCode = -1;
  std::vector<std::string> out;
  std::string err;
  double seconds = 0;
};

// Waits for the companion started at `started` to end, killing it past a minute.
Ran finish(LiveProcess& companion, Clock::time_point started) {
  std::optional<int> code = companion.waitForExit(60);
  if (!code) {
    companion.signal(SIGKILL);
    code = companion.waitForExit(10);
  }
  Ran ran{code.value_or(-1), companion.outLines(), {}, std::chrono::duration<double>(Clock::now() - started).count()};
  for (const std::string& line : companion.errLines()) ran.err += line + "\n";
  return ran;
}

Ran runCompanion(const std::vector<std::string>& arguments, const LiveProcess::Environment& environment = {}) {
  const auto started = Clock::now();
  LiveProcess companion(companionPath, arguments, environment);
  return finish(companion, started);
}

std::vector<VantleMessage> decoded(const Ran& run) {
  std::vector<VantleMessage> messages;
  for (const std::string& line : run.out) {
    auto message = VantleMessage::decodeText(line, at(0));
    EXPECT_TRUE(message) << "not a message: " << line;
    if (message) messages.push_back(*message);
  }
  return messages;
}

class CompanionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (service) service->stop();
  }

  // An agent with segments 1 to 3 and a snapshot of 42 frames.
  void startAgent() {
    service = net::VantleService::create(0);
    service->backlog = [this](uint64_t since) {
      ++subscriptions;
      std::vector<core::WireSegment> missing;
      for (uint64_t seq = since + 1; seq <= 3; ++seq) missing.push_back(segment(seq));
      return net::Backlog::of(std::move(missing));
    };
    service->currentSnapshot = [] { return snapshot(42); };
    ASSERT_EQ(service->start(kCode, "Companion Test"), std::nullopt);
    port = *service->debugPort();
  }

  std::vector<std::string> command(const std::string& name, std::vector<std::string> extra,
                                   const std::string& code = kCode) const {
    std::vector<std::string> arguments{name, "--code", code, "--host", "127.0.0.1", "--port", std::to_string(port)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }
  Ran run(const std::string& name, std::vector<std::string> extra, const std::string& code = kCode) const {
    return runCompanion(command(name, std::move(extra), code));
  }

  std::shared_ptr<net::VantleService> service;
  uint16_t port = 0;
  testing::TempFolder out;
  std::atomic<int> subscriptions{0};
};

TEST_F(CompanionTest, WatchPrintsEveryMessageAsItArrivedUntilItsTimeout) {
  startAgent();
  service->latestFrameThumbnail = [] { return net::FrameThumbnail{core::Bytes{0x00, 0xFF}, "A_7.CR3", "/s/A_7.CR3"}; };
  const auto started = Clock::now();
  LiveProcess watch(companionPath, command("watch", {"--since", "1", "--timeout", "3"}));
  // Broadcasts follow the whole subscribe answer.
  ASSERT_TRUE(testing::eventually([&] { return subscriptions > 0; }, 10));
  service->broadcast(VantleMessage{.t = Kind::snapshot, .snapshot = snapshot(43)});
  service->broadcastFrameCleared();
  // DEL and a C1 CSI: JSON may carry them raw, a terminal would act on them.
  const std::string hostile = "Bay\x7f 2 \xc2\x9b" "2J";
  service->broadcast(VantleMessage{.t = Kind::selectedImageUnavailable, .reason = hostile});
  const Ran run = finish(watch, started);

  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_GE(run.seconds, 3);
  EXPECT_THAT(decoded(run), ElementsAre(VantleMessage{.t = Kind::segment, .segment = segment(2)},
                                        VantleMessage{.t = Kind::segment, .segment = segment(3)},
                                        VantleMessage{.t = Kind::snapshot, .snapshot = snapshot(42)},
                                        VantleMessage{.t = Kind::frameThumbnail,
                                                      .imageData = core::Bytes{0x00, 0xFF},
                                                      .imageFileName = std::string("A_7.CR3"),
                                                      .imagePath = std::string("/s/A_7.CR3")},
                                        VantleMessage{.t = Kind::snapshot, .snapshot = snapshot(43)},
                                        VantleMessage{.t = Kind::frameThumbnail},
                                        VantleMessage{.t = Kind::selectedImageUnavailable, .reason = hostile}));
  EXPECT_THAT(run.out, Contains(HasSubstr(R"("reason":"Bay\u007f 2 \u009b2J")")));
}

TEST_F(CompanionTest, ARefusedCodeExitsThreeAtOnceAndAnAbsentAgentFourAtTheTimeout) {
  startAgent();
  const Ran refused = run("watch", {"--timeout", "30"}, "000000");
  EXPECT_EQ(refused.exitCode, 3) << refused.err;
  EXPECT_LT(refused.seconds, 15);  // it did not sit out its timeout

  service->stop();  // nothing listens on its port now
  const Ran absent = run("watch", {"--timeout", "2"});
  EXPECT_EQ(absent.exitCode, 4) << absent.err;  // a network failure, retried, never a wrong code
  EXPECT_GE(absent.seconds, 2);
}

TEST_F(CompanionTest, AuditPrintsTheAuditedMessage) {
  startAgent();
  service->countFolders = [&](const std::vector<std::string>& paths) {
    return std::vector<core::FolderReading>{{.path = paths.back(), .frameCount = int64_t(paths.size())}};
  };
  const Ran audit = run("audit", {"/shoot/1_Look", "--", "-odd"});
  ASSERT_EQ(audit.exitCode, 0) << audit.err;
  // Both paths reach the agent.
  EXPECT_THAT(decoded(audit),
              ElementsAre(VantleMessage{.t = Kind::audited, .readings = {{{.path = "-odd", .frameCount = 2}}}}));
}

TEST_F(CompanionTest, PullWritesEveryImageUnderASafeNameAndPrintsOnlyTheNames) {
  startAgent();
  std::optional<bool> askedHighRes;
  service->onRequestSelectedImage = [&](bool highRes) -> core::ImagePullOutcome {
    askedHighRes = highRes;
    return core::ImagesPulled{{{core::Bytes{1, 2}, "A_1.jpg"},
                               {core::Bytes{3}, "../../escaped.jpg"},
                               {core::Bytes{4}, "A_1.jpg"}}};
  };
  const fs::path folder = out / "new";
  const Ran pull = run("pull", {"--high-res", "--out", folder.string(), "--settle", "0.5"});
  ASSERT_EQ(pull.exitCode, 0) << pull.err;
  EXPECT_EQ(askedHighRes, true);
  EXPECT_THAT(pull.out, ElementsAre("A_1.jpg", "escaped.jpg", "A_1-2.jpg"));  // and nothing else
  EXPECT_EQ(testing::readText(folder / "A_1.jpg"), "\x01\x02");
  EXPECT_EQ(testing::readText(folder / "escaped.jpg"), "\x03");
  EXPECT_EQ(testing::readText(folder / "A_1-2.jpg"), "\x04");
}

TEST_F(CompanionTest, AnUnavailablePullExitsFiveWithTheAgentsReason) {
  startAgent();
  std::optional<std::string> askedPath;
  service->onRequestFrameImage = [&](const std::string& path) -> core::ImagePullOutcome {
    askedPath = path;
    return core::ImageUnavailable{"Capture One does not have that frame in the open session.\x1b[2J"};
  };
  const Ran pull = run("pull", {"--frame", "/shoot/A_1.CR3", "--out", out.str()});
  EXPECT_EQ(pull.exitCode, 5) << pull.err;
  EXPECT_EQ(askedPath, "/shoot/A_1.CR3");
  EXPECT_THAT(pull.err, HasSubstr("Capture One does not have that frame in the open session.\\u001b[2J"));
  EXPECT_THAT(pull.err, Not(HasSubstr("\x1b")));
  EXPECT_THAT(pull.out, IsEmpty());
  EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST(CompanionCommandLine, UsageErrorsExitTwoAndHelpDocumentsEveryCommand) {
  const Ran wrong = runCompanion({"watch", "--code", "12345", "--agent", "A"});
  EXPECT_EQ(wrong.exitCode, 2);
  EXPECT_THAT(wrong.err, HasSubstr("six digits"));
  EXPECT_THAT(wrong.err, HasSubstr("--help"));
  const Ran help = runCompanion({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out, Contains(HasSubstr("Exit codes")));
}

// Browsing needs an Avahi daemon, which runs only inside the private network
// made by scripts/test-netns; ctest runs this case there as well.
TEST(CompanionBrowse, ListsTheAdvertisedAgent) {
  if (!std::getenv("VANTLE_TEST_NETNS")) GTEST_SKIP() << "needs the private test network (scripts/test-netns)";
  auto service = net::VantleService::create(0);
  service->setAgentID("5C1D4E2A-8F0B-4C3D-9E7A-6B5F4A3C2D1E");
  ASSERT_EQ(service->start(kCode, "Studio Browse"), std::nullopt);
  // A record without a "name" entry, as an older agent might send: it is
  // listed under its instance name, and its empty "id" is no agent ID.
  net::ServiceAdvertiser bare("Studio Bare", std::string(net::VantleSecurity::serviceType), 4100,
                              {{"v", "1"}, {"id", ""}}, {});

  const Ran browse = runCompanion({"browse", "--timeout", "4"});
  EXPECT_EQ(browse.exitCode, 0) << browse.err;
  std::optional<core::Json> listed, bareListed;
  for (const std::string& line : browse.out) {
    auto json = core::VantleCoding::parse(line);
    ASSERT_TRUE(json && json->is_object()) << line;
    if (json->value("name", "") == "Studio Browse") listed = json;
    if (json->value("name", "") == "Studio Bare") bareListed = json;
  }
  ASSERT_TRUE(listed && bareListed) << ::testing::PrintToString(browse.out) << browse.err;
  EXPECT_FALSE(bareListed->contains("agentID"));
  EXPECT_EQ(listed->value("id", ""), "Studio Browse");
  EXPECT_EQ(listed->value("agentID", ""), "5C1D4E2A-8F0B-4C3D-9E7A-6B5F4A3C2D1E");
  EXPECT_EQ(listed->value("port", 0), *service->debugPort());
  EXPECT_NE(listed->value("host", ""), "");
  service->stop();
}

TEST(CompanionBrowse, AWatchByNameFollowsItsAgentToAnotherPort) {
  if (!std::getenv("VANTLE_TEST_NETNS")) GTEST_SKIP() << "needs the private test network (scripts/test-netns)";
  std::atomic<int> subscriptions{0};
  const auto agent = [&](std::function<core::VantleSnapshot()> currentSnapshot) {
    auto service = net::VantleService::create(0);
    service->backlog = [&](uint64_t) {
      ++subscriptions;
      return net::Backlog{};
    };
    service->currentSnapshot = std::move(currentSnapshot);
    EXPECT_EQ(service->start(kCode, "Studio Roam"), std::nullopt);
    return service;
  };
  auto first = agent(nullptr);  // says nothing, so no message can be lost in the move
  LiveProcess watch(companionPath,
                    {"watch", "--code", kCode, "--agent", "Studio Roam", "--messages", "1", "--timeout", "40"});
  ASSERT_TRUE(testing::eventually([&] { return subscriptions == 1; }, 20));

  // Started again on a port of its own, as when its port was taken.
  const uint16_t before = *first->debugPort();
  first->stop();
  auto moved = agent([] { return snapshot(2); });
  ASSERT_NE(moved->debugPort(), before);
  const Ran run = finish(watch, Clock::now());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(decoded(run), ElementsAre(VantleMessage{.t = Kind::snapshot, .snapshot = snapshot(2)})) << run.err;
  moved->stop();
}

// A computer posing as an agent: it advertises the agent's name and an ID
// of its choosing, and listens, so that any companion that tried to
// handshake with it would leave a connection waiting to be accepted.
class LookAlike {
 public:
  LookAlike(const std::string& name, const std::string& agentID) {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(::listen(socket_, 16), 0);
    EXPECT_EQ(::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    advertiser_ = std::make_unique<net::ServiceAdvertiser>(
        name, std::string(net::VantleSecurity::serviceType), ntohs(address.sin_port),
        net::TxtRecord{{"v", "1"}, {"name", name}, {"id", agentID}},
        net::ServiceAdvertiser::Callbacks{.onRegistered = [this, name](const std::string& as) { advertised_ = as == name; }});
    EXPECT_TRUE(testing::eventually([&] { return advertised_.load(); }, 10)) << name << " was taken";
  }
  ~LookAlike() { ::close(socket_); }

  bool wasReached() const {
    const int connection = ::accept(socket_, nullptr, nullptr);
    if (connection >= 0) ::close(connection);
    return connection >= 0;
  }

 private:
  int socket_ = -1;
  std::atomic<bool> advertised_{false};  // under the name asked for
  std::unique_ptr<net::ServiceAdvertiser> advertiser_;
};

TEST(CompanionBrowse, TheCodeGoesOnlyToTheAgentItsNameWasFirstUsedWith) {
  if (!std::getenv("VANTLE_TEST_NETNS")) GTEST_SKIP() << "needs the private test network (scripts/test-netns)";
  testing::TempFolder state;
  const LiveProcess::Environment environment{{"XDG_STATE_HOME", state.str()}};
  const auto agent = [](const std::string& agentID) {
    auto service = net::VantleService::create(0);
    service->setAgentID(agentID);
    service->currentSnapshot = [] { return snapshot(7); };
    EXPECT_EQ(service->start(kCode, "Studio Pin"), std::nullopt);
    return service;
  };
  const auto watchOnce = [&](const std::string& wanted) {
    return runCompanion({"watch", "--code", kCode, "--agent", wanted, "--messages", "1", "--timeout", "30"},
                        environment);
  };

  auto real = agent("ID-REAL");
  const Ran first = watchOnce("Studio Pin");
  EXPECT_EQ(first.exitCode, 0) << first.err;
  real->stop();

  {
    // Once the agent is gone, another computer takes its name.
    LookAlike lookAlike("Studio Pin", "ID-EVIL");
    const Ran posed = watchOnce("Studio Pin");
    EXPECT_EQ(posed.exitCode, 6) << posed.err;
    EXPECT_THAT(posed.err, HasSubstr("WARNING"));
    EXPECT_THAT(posed.err, HasSubstr("ID-EVIL"));
    EXPECT_THAT(posed.err, HasSubstr("ID-REAL"));

    // Two instances claiming one ID: neither is chosen, both are listed.
    LookAlike copy("Studio Copy", "ID-EVIL");
    const Ran ambiguous = watchOnce("ID-EVIL");
    EXPECT_EQ(ambiguous.exitCode, 6) << ambiguous.err;
    EXPECT_THAT(ambiguous.err, HasSubstr("more than one agent"));
    EXPECT_THAT(ambiguous.err, HasSubstr("\"Studio Pin\", agent ID ID-EVIL"));
    EXPECT_THAT(ambiguous.err, HasSubstr("\"Studio Copy\", agent ID ID-EVIL"));
    EXPECT_FALSE(lookAlike.wasReached());
    EXPECT_FALSE(copy.wasReached());
  }

  // Reinstalled, the agent has a new ID: asked for once by it, its name follows it.
  auto reinstalled = agent("ID-NEW");
  // The look-alike's withdrawn record lingers in the network's cache for a moment.
  const auto listed = [&] {
    const std::vector<std::string> lines = runCompanion({"browse", "--timeout", "2"}).out;
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("\"agentID\":\"ID-NEW\"") != std::string::npos;
    });
  };
  ASSERT_TRUE(testing::eventually(listed, 30));
  const Ran byID = watchOnce("ID-NEW");
  EXPECT_EQ(byID.exitCode, 0) << byID.err;
  const Ran byName = watchOnce("Studio Pin");
  EXPECT_EQ(byName.exitCode, 0) << byName.err;
  reinstalled->stop();
}

TEST(CompanionBrowse, AWatchDoesNotFollowItsNameToAnotherAgent) {
  if (!std::getenv("VANTLE_TEST_NETNS")) GTEST_SKIP() << "needs the private test network (scripts/test-netns)";
  testing::TempFolder state;
  std::atomic<int> subscriptions{0};
  auto real = net::VantleService::create(0);
  real->setAgentID("ID-STAY");
  real->backlog = [&](uint64_t) {
    ++subscriptions;
    return net::Backlog{};
  };
  ASSERT_EQ(real->start(kCode, "Studio Stay"), std::nullopt);
  LiveProcess watch(companionPath, {"watch", "--code", kCode, "--agent", "Studio Stay", "--timeout", "40"},
                    {{"XDG_STATE_HOME", state.str()}});
  ASSERT_TRUE(testing::eventually([&] { return subscriptions == 1; }, 20));

  real->stop();
  LookAlike lookAlike("Studio Stay", "ID-EVIL");
  const auto refused = [&] {
    for (const std::string& line : watch.errLines()) {
      if (line.find("is now advertised by another agent (ID ID-EVIL)") != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(testing::eventually(refused, 30));
  EXPECT_FALSE(lookAlike.wasReached());
  watch.signal(SIGTERM);
  EXPECT_EQ(finish(watch, Clock::now()).exitCode, 0);  // it had connected
}

}  // namespace
}  // namespace vantle::tools
