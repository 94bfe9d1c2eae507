// The controller over a real service on loopback, a real coordinator on
// temporary folders and a real storage root. The desktop services it reaches
// (login item, idle-sleep activity, computer name, notifications) are fakes
// that record what was asked of them; the state is owned by a test queue
// playing the main thread.
#include "agent/engine/agent_controller.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>

#include "support/log.h"
#include "tests/net/test_peer.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::AgentStatus;
using core::VantleSnapshot;
using testing::eventually;
using ::testing::HasSubstr;

class FakeLoginItem final : public LoginItem {
 public:
  std::optional<Failure> enable() override {
    std::lock_guard lock(mutex);
    ++enables;
    if (refuse) return Failure{"the autostart folder is read-only"};
    enabled = true;
    return std::nullopt;
  }
  std::optional<Failure> disable() override {
    std::lock_guard lock(mutex);
    enabled = false;
    return std::nullopt;
  }
  bool isEnabled() const override {
    std::lock_guard lock(mutex);
    return enabled;
  }
  mutable std::mutex mutex;
  bool enabled = false;
  bool refuse = false;
  int enables = 0;
};

class FakeInhibitor final : public IdleSleepInhibitor {
 public:
  struct Activity final : IdleSleepActivity {
    explicit Activity(std::atomic<int>& held) : held(held) { ++held; }
    ~Activity() override { --held; }
    std::atomic<int>& held;
  };
  Result<std::unique_ptr<IdleSleepActivity>> begin(const std::string& reason) override {
    reasons.push_back(reason);
    return std::unique_ptr<IdleSleepActivity>(std::make_unique<Activity>(held));
  }
  std::atomic<int> held{0};
  std::vector<std::string> reasons;  // main thread
};

class FakeName final : public ComputerName {
 public:
  std::string displayName() const override { return name; }
  std::string name = "  ";
};

class FakeNotifier final : public Notifier {
 public:
  void post(const std::string&, const std::string&) override {}
  void requestPermission(std::function<void(bool)>) override { ++asked; }
  std::atomic<int> asked{0};
};

// No error but, where this machine runs no DNS-SD daemon, the sentence that
// companions must connect by address.
bool startedCleanly(const std::optional<std::string>& lastError) {
  return !lastError || lastError->starts_with("Companions cannot find this computer by name");
}

class ControllerTest : public ::testing::Test {
 protected:
  template <typename F>
  auto onMain(F work) {
    return main->sync(std::move(work));
  }

  void SetUp() override {
    root = fs::canonical(captures.path());
    storage = std::make_shared<AgentStorage>(fs::canonical(stored.path()));
    make(net::VantleService::create(0));
  }

  // Makes the controller over `listener`, its state observed on the test's main queue.
  void make(std::shared_ptr<net::VantleService> listener) {
    service = std::move(listener);
    AgentController::Services services;
    services.mainThread = [main = main](std::function<void()> work) { main->post(std::move(work)); };
    services.storage = storage;
    services.service = service;
    services.bridge = &bridge;
    services.loginItem = loginItem;
    services.sleepInhibitor = inhibitor;
    services.computerName = name;
    services.notifier = notifier;
    services.pairingCodes = [this] {
      std::lock_guard lock(codesMutex);
      const std::string code = codes.front();
      codes.pop_front();
      return code;
    };
    services.coordinator.checkDisk = [](const std::optional<std::string>&) {};
    controller = AgentController::create(std::move(services));
    onMain([&] {
      controller->setObserver({.onChange = [this](const AgentController::State&) {
        if (!main->isCurrent()) offMain = true;
      }});
    });
  }

  void TearDown() override {
    onMain([&] { controller->finish(); });
  }

  AgentController::State state() {
    return onMain([&] { return controller->state(); });
  }
  template <typename P>
  bool stateBecomes(P holds, double seconds = 10) {
    return eventually([&] { return holds(state()); }, seconds);
  }

  testing::TempFolder captures, stored;
  fs::path root;
  std::shared_ptr<support::SerialQueue> main = std::make_shared<support::SerialQueue>("com.orvane.vantle.main");
  std::shared_ptr<AgentStorage> storage;
  std::shared_ptr<net::VantleService> service;
  CaptureOneBridge bridge;  // nothing owns the application's name here: it never runs
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<FakeInhibitor> inhibitor = std::make_shared<FakeInhibitor>();
  std::shared_ptr<FakeName> name = std::make_shared<FakeName>();
  std::shared_ptr<FakeNotifier> notifier = std::make_shared<FakeNotifier>();
  std::mutex codesMutex;
  std::deque<std::string> codes{"123456", "654321", "111111", "222222"};
  std::shared_ptr<AgentController> controller;
  std::atomic<bool> offMain{false};
};

TEST_F(ControllerTest, StartingTwiceMakesOneOfEachANewCodeDropsEveryCompanionAndStoppingResets) {
  support::log::Capture log;
  EXPECT_FALSE(state().isRunning);
  EXPECT_EQ(state().snapshot.idleThreshold, 300);

  onMain([&] { controller->start(); });
  const AgentController::State started = state();
  EXPECT_TRUE(started.isRunning);
  EXPECT_EQ(started.pairingCode, "123456");
  EXPECT_TRUE(startedCleanly(started.lastError)) << *started.lastError;
  EXPECT_EQ(inhibitor->held, 1);
  EXPECT_EQ(inhibitor->reasons, std::vector<std::string>{"Counting frames for a tethered shoot"});
  EXPECT_GE(notifier->asked, 1);
  EXPECT_THAT(log.messages("agent"), ::testing::Contains("Orvane Live agent advertising as Mac \u2014 pairing code 123456"));
  const auto port = onMain([&] { return controller->port(); });
  ASSERT_TRUE(port);
  auto companion = testing::TestPeer::connect(*port, "123456");
  ASSERT_TRUE(companion);
  EXPECT_FALSE(testing::TestPeer::connect(*port, "000000"));

  onMain([&] { controller->start(); });
  EXPECT_EQ(state().pairingCode, "123456");
  EXPECT_EQ(inhibitor->held, 1);
  EXPECT_EQ(onMain([&] { return controller->port(); }), port);

  // The coordinator runs and publishes through the main thread.
  ASSERT_TRUE(stateBecomes([](const auto& s) { return s.snapshot.agentID && s.peerCount == 1; }));
  EXPECT_EQ(state().snapshot.agentID, storage->agentID());
  EXPECT_EQ(onMain([&] { return controller->statusSummary(); }), "Capture One not running");

  onMain([&] { controller->rotatePairingCode(); });
  EXPECT_EQ(state().pairingCode, "654321");
  EXPECT_EQ(state().peerCount, 0);
  EXPECT_TRUE(companion->closedWithin(5));
  const uint16_t again = *onMain([&] { return controller->port(); });
  EXPECT_FALSE(testing::TestPeer::connect(again, "123456"));
  EXPECT_TRUE(testing::TestPeer::connect(again, "654321"));
  EXPECT_EQ(inhibitor->held, 1);

  onMain([&] { controller->stop(); });
  const AgentController::State stopped = state();
  EXPECT_FALSE(stopped.isRunning);
  EXPECT_EQ(stopped.peerCount, 0);
  EXPECT_EQ(stopped.snapshot, VantleSnapshot{});
  EXPECT_EQ(inhibitor->held, 0);
  EXPECT_EQ(onMain([&] { return controller->statusSummary(); }), "Stopped");
  EXPECT_EQ(onMain([&] { return controller->remedy(); }), std::nullopt);
  EXPECT_EQ(onMain([&] { return controller->port(); }), std::nullopt);
  EXPECT_FALSE(offMain);
}

TEST_F(ControllerTest, ChoosingAFolderSwitchesTheSourceWithoutARestartAndSettingsReachTheCoordinator) {
  const fs::path capture = root / "Shoot" / "Capture";
  captures.write("Shoot/Capture/IMG_0001.CR3", "raw");
  captures.write("Shoot/Capture/IMG_0002.JPG", "raw");
  onMain([&] { controller->start(); });
  const std::string code = state().pairingCode;

  onMain([&] { controller->setWatchedRoot(root / "Shoot"); });
  ASSERT_TRUE(stateBecomes([&](const auto& s) { return s.snapshot.designatedPath == capture.string(); }));
  EXPECT_EQ(state().snapshot.sourceKind, core::SourceKind::observed);
  EXPECT_EQ(state().snapshot.frameCount, 1);
  EXPECT_EQ(state().snapshot.orphanCount, 1);
  EXPECT_EQ(state().pairingCode, code);

  onMain([&] {
    controller->setCounting(core::FrameCountRule::CountingMode::anyImage);
    controller->setIdleThreshold(120);
  });
  ASSERT_TRUE(stateBecomes([](const auto& s) { return s.snapshot.frameCount == 2 && s.snapshot.idleThreshold == 120; }));

  onMain([&] { controller->setWatchedRoot(std::nullopt); });
  ASSERT_TRUE(stateBecomes([](const auto& s) {
    return s.snapshot.sourceKind == core::SourceKind::designation &&
           s.snapshot.status == AgentStatus::captureOneNotRunning;
  }));
}

TEST_F(ControllerTest, AFramePullIsRefusedUnlessItsFileLiesInACountedFolder) {
  const fs::path capture = root / "Shoot" / "Capture", elsewhere = root / "Elsewhere";
  captures.write("Shoot/Capture/IMG_0001.CR3", "raw");
  captures.write("Elsewhere/IMG_0009.CR3", "raw");
  fs::create_symlink(elsewhere / "IMG_0009.CR3", capture / "IMG_0002.CR3");
  onMain([&] {
    controller->setWatchedRoot(root / "Shoot");
    controller->start();
  });
  ASSERT_TRUE(stateBecomes([&](const auto& s) { return s.snapshot.designatedPath == capture.string(); }));

  const auto reason = [&](const std::string& path) {
    const core::ImagePullOutcome outcome = service->onRequestFrameImage(path);
    const auto* unavailable = std::get_if<core::ImageUnavailable>(&outcome);
    return unavailable ? unavailable->reason : "(images)";
  };
  // Elsewhere, relative, "..", "." and a link out of the folder.
  for (const fs::path& path : {elsewhere / "IMG_0009.CR3", fs::path("Shoot/Capture/IMG_0001.CR3"), capture / "..",
                               capture / ".", capture / "IMG_0002.CR3"}) {
    EXPECT_EQ(reason(path.string()), "That frame is not in a folder this agent is watching.") << path;
  }
  // A frame of the counted folder goes on to the capture application, which is not running here.
  EXPECT_EQ(reason((capture / "IMG_0001.CR3").string()), "Capture One is not running on the Mac.");
}

TEST_F(ControllerTest, TheLoginItemIsOfferedOnTheFirstLaunchOnly) {
  onMain([&] { controller->offerLoginItemOnce(); });
  EXPECT_EQ(loginItem->enables, 1);
  EXPECT_TRUE(state().launchesAtLogin);
  EXPECT_TRUE(storage->hasOfferedLoginItem());

  onMain([&] { controller->setLaunchAtLogin(false); });
  EXPECT_FALSE(state().launchesAtLogin);
  onMain([&] { controller->offerLoginItemOnce(); });  // a user who turned it off stays off
  EXPECT_EQ(loginItem->enables, 1);
  EXPECT_FALSE(state().launchesAtLogin);

  loginItem->refuse = true;
  onMain([&] { controller->setLaunchAtLogin(true); });
  EXPECT_EQ(state().lastError, "Could not open at login: the autostart folder is read-only");
  EXPECT_FALSE(state().launchesAtLogin);
  EXPECT_EQ(onMain([&] { return controller->displayName(); }), "Mac");
}

TEST(ControllerTexts, EachStatusHasItsSummaryAndRemedy) {
  VantleSnapshot s;
  s.shotName = "Look 3";
  s.frameCount = 42;
  EXPECT_EQ(AgentController::summary(true, s), "Look 3 \u00b7 42");
  s.shotName.reset();
  EXPECT_EQ(AgentController::summary(true, s), "no shot \u00b7 42");
  EXPECT_EQ(AgentController::summary(false, s), "Stopped");
  EXPECT_EQ(AgentController::remedyFor(true, AgentStatus::ok), std::nullopt);
  EXPECT_EQ(AgentController::remedyFor(false, AgentStatus::folderUnreadable), std::nullopt);
  const struct {
    AgentStatus status;
    std::string summary;
    std::optional<std::string> remedy;
  } texts[]{
      {AgentStatus::captureOneNotRunning, "Capture One not running", "Start Capture One, or choose a folder to watch."},
      {AgentStatus::noDocument, "No session open", std::nullopt},
      {AgentStatus::catalogNotSupported, "Catalog, not a session",
       "Orvane Live reads sessions. Open a session in Capture One, or watch a folder instead."},
      {AgentStatus::permissionDenied, "Automation permission needed",
       "Capture One refused Orvane Live's requests. Allow its scripting access, or watch a folder instead."},
      {AgentStatus::folderUnreadable, "Cannot read the capture folder",
       "Check that the capture drive is mounted and that you may read the folder, then use Watch a "
       "Folder\u2026 to pick it again."},
  };
  for (const auto& t : texts) {
    SCOPED_TRACE(t.summary);
    s.status = t.status;
    EXPECT_EQ(AgentController::summary(true, s), t.summary);
    EXPECT_EQ(AgentController::remedyFor(true, t.status), t.remedy);
  }
}

// The listener's port is taken, and this service may not fall back to another.
TEST_F(ControllerTest, AListenerThatCannotStartLeavesTheAgentStoppedAndSaysWhy) {
  asio::io_context io;
  asio::ip::tcp::acceptor taken(io, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  const uint16_t port = taken.local_endpoint().port();
  onMain([&] { controller->finish(); });
  make(net::VantleService::create(port, /*fallBack=*/false));

  onMain([&] { controller->start(); });
  const AgentController::State s = state();
  EXPECT_FALSE(s.isRunning);
  ASSERT_TRUE(s.lastError);
  EXPECT_THAT(*s.lastError, HasSubstr("Could not start the listener: "));
  EXPECT_EQ(inhibitor->held, 0);
  EXPECT_EQ(onMain([&] { return controller->port(); }), std::nullopt);
  EXPECT_EQ(onMain([&] { return controller->statusSummary(); }), "Stopped");

  taken.close();  // the port is free again: it starts
  onMain([&] { controller->start(); });
  EXPECT_TRUE(state().isRunning);
  EXPECT_EQ(onMain([&] { return controller->port(); }), port);
}

}  // namespace
}  // namespace vantle::agent
