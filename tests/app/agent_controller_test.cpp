// The controller over a real service on loopback, a real coordinator on
// temporary folders and a real storage root. The desktop services it reaches
// (login item, idle-sleep activity, computer name, notifications) are fakes
// that record what was asked of them; the state is owned by a test queue
// playing the main thread.
#include "app/agent_controller.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>

#include "tests/support/eventually.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_peer.h"
#include "web/web_service.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::AgentStatus;
using core::VantleSnapshot;
using testing::eventually;
using ::testing::HasSubstr;

// Asked on the main queue only, and read by the test after a sync with it.
class FakeLoginItem final : public LoginItem {
 public:
  std::optional<Failure> enable() override {
    ++enables;
    if (refuse) return Failure{"the autostart folder is read-only"};
    enabled = true;
    return std::nullopt;
  }
  std::optional<Failure> disable() override {
    enabled = false;
    return std::nullopt;
  }
  bool isEnabled() const override { return enabled; }
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
    services.web = web;
    services.bridge = &bridge;
    services.loginItem = loginItem;
    services.sleepInhibitor = inhibitor;
    services.computerName = name;
    services.notifier = notifier;
    services.pairingCodes = [this] {  // on the main queue
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
  std::shared_ptr<web::WebService> web = [] {
    auto made = web::WebService::create(0);
    made->advertises = false;
    return made;
  }();
  CaptureOneBridge bridge;  // nothing owns the application's name here: it never runs
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<FakeInhibitor> inhibitor = std::make_shared<FakeInhibitor>();
  std::shared_ptr<FakeName> name = std::make_shared<FakeName>();
  std::shared_ptr<FakeNotifier> notifier = std::make_shared<FakeNotifier>();
  std::deque<std::string> codes{"123456", "654321", "111111", "222222"};
  std::shared_ptr<AgentController> controller;
  std::atomic<bool> offMain{false};
};

TEST_F(ControllerTest, StartingTwiceMakesOneOfEachANewCodeDropsEveryCompanionAndStoppingResets) {
  onMain([&] { controller->start(); });
  const AgentController::State started = state();
  EXPECT_TRUE(started.isRunning);
  EXPECT_EQ(started.pairingCode, "123456");
  // No error but, where this machine runs no DNS-SD daemon, that companions must connect by address.
  EXPECT_TRUE(!started.lastError || started.lastError->starts_with("Companions cannot find this computer by name"))
      << *started.lastError;
  EXPECT_EQ(inhibitor->held, 1);
  EXPECT_EQ(inhibitor->reasons, std::vector<std::string>{"Counting frames for a tethered shoot"});
  EXPECT_GE(notifier->asked, 1);
  const auto port = onMain([&] { return controller->port(); });
  ASSERT_TRUE(port);
  auto companion = testing::TestPeer::connect(*port, "123456");
  ASSERT_TRUE(companion);

  onMain([&] { controller->start(); });
  EXPECT_EQ(state().pairingCode, "123456");
  EXPECT_EQ(inhibitor->held, 1);
  EXPECT_EQ(onMain([&] { return controller->port(); }), port);

  // The coordinator runs and publishes through the main thread.
  ASSERT_TRUE(stateBecomes([](const auto& s) { return s.snapshot.agentID && s.peerCount == 1; }));
  EXPECT_EQ(onMain([&] { return controller->statusSummary(); }), "Capture One not running");

  onMain([&] { controller->rotatePairingCode(); });
  EXPECT_EQ(state().pairingCode, "654321");
  EXPECT_EQ(state().peerCount, 0);
  EXPECT_TRUE(companion->closedWithin(5));
  const uint16_t again = *onMain([&] { return controller->port(); });
  EXPECT_FALSE(testing::TestPeer::connect(again, "123456"));
  // The old code is now a wrong one: the right one pairs once its short wait is over.
  EXPECT_TRUE(eventually([&] { return testing::TestPeer::connect(again, "654321") != nullptr; }));

  onMain([&] { controller->stop(); });
  const AgentController::State stopped = state();
  EXPECT_FALSE(stopped.isRunning);
  EXPECT_EQ(stopped.snapshot, VantleSnapshot{});
  EXPECT_EQ(inhibitor->held, 0);
  EXPECT_EQ(onMain([&] { return controller->port(); }), std::nullopt);
  EXPECT_FALSE(offMain);
}

TEST_F(ControllerTest, TheBrowserAddressOutlivesARestartAndANewPairingCodeVoidsItSharedOrNot) {
  const auto tokenOf = [](const AgentController::State& s) {
    return s.browserAddress ? s.browserAddress->substr(s.browserAddress->find('#') + 1) : std::string();
  };
  onMain([&] {
    controller->setSharingWithBrowsers(true, /*remember=*/false);
    controller->start();
  });
  const AgentController::State started = state();
  ASSERT_TRUE(started.browserAddress) << started.lastError.value_or("");
  EXPECT_THAT(*started.browserAddress,
              ::testing::MatchesRegex("https://.+:" + std::to_string(*web->port()) + "/#[0-9a-f]{32}"));
  EXPECT_EQ(started.browserFingerprint.size(), 95u);
  const std::string first = tokenOf(started);

  // Stopped, browsers are not served; started again, the same address works.
  onMain([&] { controller->stop(); });
  EXPECT_FALSE(web->isRunning());
  EXPECT_FALSE(state().browserAddress);
  onMain([&] { controller->start(); });
  EXPECT_TRUE(web->isRunning());
  EXPECT_EQ(tokenOf(state()), first);

  // A new pairing code is a new address.
  onMain([&] { controller->rotatePairingCode(); });
  const std::string second = tokenOf(state());
  EXPECT_EQ(second.size(), 32u);
  EXPECT_NE(second, first);

  // Even one made while browsers are not served voids the old address.
  onMain([&] { controller->setSharingWithBrowsers(false, false); });
  EXPECT_FALSE(web->isRunning());
  EXPECT_FALSE(state().browserAddress);
  onMain([&] { controller->rotatePairingCode(); });
  onMain([&] { controller->setSharingWithBrowsers(true, false); });
  const std::string third = tokenOf(state());
  EXPECT_EQ(third.size(), 32u);
  EXPECT_NE(third, second);
}

TEST_F(ControllerTest, ChoosingAFolderSwitchesTheSourceLiveAndOnlyItsFramesMayBePulled) {
  const fs::path capture = root / "Shoot" / "Capture", elsewhere = root / "Elsewhere";
  captures.write("Shoot/Capture/IMG_0001.CR3", "raw");
  captures.write("Shoot/Capture/IMG_0002.JPG", "raw");
  captures.write("Elsewhere/IMG_0009.CR3", "raw");
  onMain([&] { controller->start(); });
  const std::string code = state().pairingCode;

  onMain([&] { controller->setWatchedRoot(root / "Shoot"); });
  ASSERT_TRUE(stateBecomes([&](const auto& s) { return s.snapshot.designatedPath == capture.string(); }));
  EXPECT_EQ(state().snapshot.frameCount, 1);
  EXPECT_EQ(state().pairingCode, code);

  onMain([&] {
    controller->setCounting(core::FrameCountRule::CountingMode::anyImage);
    controller->setIdleThreshold(120);
  });
  ASSERT_TRUE(stateBecomes([](const auto& s) { return s.snapshot.frameCount == 2 && s.snapshot.idleThreshold == 120; }));

  fs::create_symlink(elsewhere / "IMG_0009.CR3", capture / "IMG_0003.CR3");
  const auto reason = [&](const std::string& path) {
    const core::ImagePullOutcome outcome = service->onRequestFrameImage(path);
    const auto* unavailable = std::get_if<core::ImageUnavailable>(&outcome);
    return unavailable ? unavailable->reason : "(images)";
  };
  // Elsewhere, relative, "..", "." and a link out of the folder.
  for (const fs::path& path : {elsewhere / "IMG_0009.CR3", fs::path("Shoot/Capture/IMG_0001.CR3"), capture / "..",
                               capture / ".", capture / "IMG_0003.CR3"}) {
    EXPECT_EQ(reason(path.string()), "That frame is not in a folder this agent is watching.") << path;
  }
  // A frame of the counted folder goes on to the capture application, which is not running here.
  EXPECT_EQ(reason((capture / "IMG_0001.CR3").string()), "Capture One is not running on the Mac.");

  onMain([&] { controller->setWatchedRoot(std::nullopt); });
  ASSERT_TRUE(stateBecomes([](const auto& s) {
    return s.snapshot.sourceKind == core::SourceKind::designation &&
           s.snapshot.status == AgentStatus::captureOneNotRunning;
  }));
}

// The new coordinator that a new code starts restores the shoot from
// storage; the old one's last work (ending the shoot, here) must be there.
TEST_F(ControllerTest, ANewCodeRightAfterEndingTheShootStartsWithTheShootEnded) {
  const fs::path first = root / "Shoot" / "Look 1";
  captures.write("Shoot/Look 1/IMG_0001.CR3", "raw");
  onMain([&] {
    controller->setWatchedRoot(root / "Shoot");
    controller->start();
  });
  ASSERT_TRUE(stateBecomes([&](const auto& s) { return s.snapshot.shotOpenedAt && s.snapshot.designatedPath == first.string(); }));
  captures.write("Shoot/Look 2/IMG_0002.CR3", "raw");
  ASSERT_TRUE(stateBecomes([](const auto& s) { return s.isShootRunning; }));  // the first closed shot starts it

  onMain([&] {
    controller->endShoot();
    controller->rotatePairingCode();
  });
  EXPECT_FALSE(state().isShootRunning);
  EXPECT_EQ(storage->currentShootID(), std::nullopt);
}

TEST_F(ControllerTest, TheLoginItemIsOfferedOnTheFirstLaunchOnly) {
  onMain([&] { controller->offerLoginItemOnce(); });
  EXPECT_EQ(loginItem->enables, 1);
  EXPECT_TRUE(state().launchesAtLogin);

  onMain([&] { controller->setLaunchAtLogin(false); });
  onMain([&] { controller->offerLoginItemOnce(); });  // a user who turned it off stays off
  EXPECT_EQ(loginItem->enables, 1);
  EXPECT_FALSE(state().launchesAtLogin);

  loginItem->refuse = true;
  onMain([&] { controller->setLaunchAtLogin(true); });
  EXPECT_EQ(state().lastError, "Could not open at login: the autostart folder is read-only");
  EXPECT_FALSE(state().launchesAtLogin);
  EXPECT_EQ(onMain([&] { return controller->displayName(); }), "Mac");
}

TEST_F(ControllerTest, TheStatusSaysNothingBeforeTheFirstReadingAndAnEmptyFolderIsWaitingNotUnreadable) {
  const fs::path empty = root / "Empty";
  fs::create_directories(empty);
  // Nothing is read yet the moment it starts: the first reading comes through the main queue.
  const auto [first, remedy] = onMain([&] {
    controller->setWatchedRoot(empty);
    controller->start();
    return std::pair(controller->statusSummary(), controller->remedy());
  });
  EXPECT_EQ(first, "Starting\u2026");
  EXPECT_EQ(remedy, std::nullopt);
  ASSERT_TRUE(stateBecomes([](const auto& s) { return !s.awaitingFirstReading; }));
  EXPECT_EQ(state().snapshot.status, AgentStatus::folderUnreadable);  // what companions are told
  EXPECT_EQ(onMain([&] { return controller->statusSummary(); }), "Waiting for the first frame");
  EXPECT_EQ(onMain([&] { return controller->remedy(); }),
            "The first frame saved in " + empty.string() + " starts the count.");

  onMain([&] { controller->setWatchedRoot(root / "Unmounted"); });
  ASSERT_TRUE(stateBecomes([](const auto& s) { return !s.waitingForFirstFrame; }));
  EXPECT_EQ(onMain([&] { return controller->statusSummary(); }), "Cannot read the capture folder");
}

TEST_F(ControllerTest, AnUnrelatedSuccessLeavesAStandingErrorInPlace) {
  asio::io_context io;
  asio::ip::tcp::acceptor taken(io, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  onMain([&] { controller->finish(); });
  make(net::VantleService::create(taken.local_endpoint().port(), /*fallBack=*/false));
  onMain([&] { controller->start(); });
  ASSERT_THAT(state().lastError.value_or(""), HasSubstr("Could not start the listener: "));

  onMain([&] { controller->setLaunchAtLogin(true); });
  EXPECT_THAT(state().lastError.value_or(""), HasSubstr("Could not start the listener: "));
  // Its own error goes once it succeeds.
  loginItem->refuse = true;
  onMain([&] { controller->setLaunchAtLogin(true); });
  EXPECT_THAT(state().lastError.value_or(""), HasSubstr("Could not open at login: "));
  loginItem->refuse = false;
  onMain([&] { controller->setLaunchAtLogin(true); });
  EXPECT_EQ(state().lastError, std::nullopt);
}

// Two remedies differ from the macOS texts on purpose: they point at what this system has.
TEST(ControllerTexts, TheRemediesPointAtWhatThisSystemHas) {
  EXPECT_EQ(AgentController::remedyFor(true, AgentStatus::folderUnreadable),
            "Check that the capture drive is mounted and that you may read the folder, then use Watch a "
            "Folder\u2026 to pick it again.");
  EXPECT_EQ(AgentController::remedyFor(true, AgentStatus::permissionDenied),
            "Capture One refused Orvane Live's requests. Allow its scripting access, or watch a folder instead.");
  EXPECT_EQ(AgentController::remedyFor(false, AgentStatus::folderUnreadable), std::nullopt);
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
  EXPECT_THAT(s.lastError.value_or(""), HasSubstr("Could not start the listener: "));
  EXPECT_EQ(inhibitor->held, 0);
  EXPECT_EQ(onMain([&] { return controller->port(); }), std::nullopt);
}

}  // namespace
}  // namespace vantle::agent
