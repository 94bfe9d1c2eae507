// The one object a user interface binds to: it starts and stops the agent.
//
// While running, the controller owns one AgentCoordinator and the network
// service's listener: it makes the pairing code, connects the coordinator's
// news to the service's broadcasts and the service's questions to storage and
// the coordinator, holds off idle sleep, and publishes the state a menu or a
// terminal shows. "New Pairing Code" is a stop and a start, so every
// companion pairs again, and every browser needs the new browser address.
// While "Share with Browsers" is on, the controller also runs the browser
// server beside the listener and publishes the same news to it.
//
// Threads. The published state belongs to one thread, the "main thread": the
// caller hands the controller an executor that runs work there, and calls
// every method below from there (unless it says otherwise). Callbacks from
// the coordinator's and the service's queues hop to it through the executor,
// holding the controller weakly; the observer hooks run there after each
// change. The service's data closures run on the service's queues and reach
// only storage and the running coordinator (through a thread-safe slot),
// never the published state.
//
// Nothing here throws: a listener that cannot start leaves the controller
// stopped with `lastError` saying why; a missing logind, notification server
// or login-item folder is logged or reported in `lastError`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/capture/capture_one_bridge.h"
#include "agent/capture/capture_one_pulls.h"
#include "agent/desktop/computer_name.h"
#include "agent/desktop/login_item.h"
#include "agent/desktop/notifier.h"
#include "agent/desktop/sleep_inhibitor.h"
#include "agent/desktop/user_defaults.h"
#include "agent/engine/agent_coordinator.h"
#include "agent/storage/agent_storage.h"
#include "app/hooks/hook_runner.h"
#include "core/frame_count_rule.h"
#include "core/snapshot.h"
#include "net/vantle_service.h"

namespace vantle::web {
class WebService;
}

namespace vantle::agent {

class AgentController : public std::enable_shared_from_this<AgentController> {
 public:
  static constexpr const char* wakeReason = "Counting frames for a tethered shoot";
  static constexpr const char* notWatchedReason = "That frame is not in a folder this agent is watching.";

  // What the interface shows; written on the main thread only.
  struct State {
    core::VantleSnapshot snapshot;  // the coordinator's last, or the default one
    int64_t peerCount = 0;          // paired companions connected
    std::optional<uint16_t> port;   // where companions connect while running
    bool isRunning = false;
    std::optional<std::string> lastError;
    std::string pairingCode;
    bool isShootRunning = false;
    bool canResumeShoot = false;
    bool launchesAtLogin = false;
    std::optional<std::filesystem::path> watchedRoot;  // absent: read the capture application
    bool awaitingFirstReading = false;  // started, and nothing read yet
    bool waitingForFirstFrame = false;  // the watched folder can be read but holds no frame yet
    core::FrameCountRule::CountingMode counting = core::FrameCountRule::CountingMode::rawOnly;
    double idleThreshold = 300;  // seconds, the "Stop the Clock After" choice
    bool sharesWithBrowsers = false;  // "Share with Browsers"
    // While browsers may connect: https://HOST:PORT/#TOKEN, the browser QR code's address.
    std::optional<std::string> browserAddress;
    std::string browserFingerprint;  // the certificate's SHA-256, as browsers show it
  };

  // Hooks of the interface, each called on the main thread.
  struct Observer {
    std::function<void(const State&)> onChange;                          // after each change of the state
    std::function<void(const core::WireSegment&)> onSegment;              // each closed shot
    std::function<void(const core::ShootVerification&)> onVerification;  // each ended shoot
    std::function<void(const std::string& name)> onAdvertised;           // the name companions browse
  };

  // Runs work on the main thread, in order. It must keep running work while
  // the controller lives.
  using Executor = std::function<void(std::function<void()>)>;

  // The services the controller reaches; every default is the real one.
  struct Services {
    Executor mainThread;  // required
    std::shared_ptr<AgentStorage> storage;       // default AgentStorage::shared()
    std::shared_ptr<net::VantleService> service;  // default on port 39182
    std::shared_ptr<web::WebService> web;         // default on port 39183
    CaptureOneBridge* bridge = nullptr;           // default CaptureOneBridge::shared()
    std::shared_ptr<LoginItem> loginItem;         // default the user's autostart entry
    std::shared_ptr<IdleSleepInhibitor> sleepInhibitor;  // default logind
    std::shared_ptr<ComputerName> computerName;  // default hostnamed
    std::shared_ptr<Notifier> notifier;          // default the desktop's notification server
    std::function<std::string()> pairingCodes;   // default six secure random digits
    // Where the chosen folder is remembered across launches; none remembers nothing.
    std::shared_ptr<UserDefaults> defaults;
    // The user's hooks, run on frames, shots and shoots; none runs none.
    std::shared_ptr<app::HookRunner> hooks;
    // The coordinator's own seams; its storage, clock and script source are
    // the controller's.
    AgentCoordinator::Services coordinator;
    const Clock* clock = nullptr;                // default the system clock
  };

  static std::shared_ptr<AgentController> create(Services services);
  ~AgentController();
  AgentController(const AgentController&) = delete;
  AgentController& operator=(const AgentController&) = delete;

  void setObserver(Observer observer);
  const State& state() const { return state_; }

  // Starts the coordinator and the listener with a new pairing code; does
  // nothing while running. On a listener failure only `lastError` changes.
  void start();
  // Stops the coordinator and the service and ends the idle-sleep activity.
  void stop();
  // A stop, then a start: a new code, and every companion pairs again.
  void rotatePairingCode();
  // Stops, then waits until the coordinator's last work has run and every
  // record is on disk: for a program on its way out.
  void finish();

  // Settings; they reach a running coordinator at once, without a restart.
  // The watched folder is remembered, and watched again at the next launch;
  // none (read the capture application) forgets it.
  void setWatchedRoot(std::optional<std::filesystem::path> root);
  void setCounting(core::FrameCountRule::CountingMode counting);
  void setIdleThreshold(double seconds);
  // Serves browsers, or stops; remembered for the next launch unless
  // `remember` is false (a command-line choice for one run).
  void setSharingWithBrowsers(bool share, bool remember = true);

  void endShoot();
  void resumeShoot();

  // Registers or removes the login item, then reads its state back.
  void setLaunchAtLogin(bool enabled);
  void refreshLoginItem();
  // Registers the login item on the first launch only.
  void offerLoginItemOnce();

  // The computer's name; "Mac" when the system gives none.
  std::string displayName() const;
  // The port companions connect to while running. Any thread but the service's.
  std::optional<uint16_t> port() const;

  // The menu's status line and what to do about it.
  std::string statusSummary() const { return summary(state_); }
  std::optional<std::string> remedy() const { return remedyFor(state_); }
  // As the state says it: nothing claimed before the first reading, and a
  // watched folder waiting for its first frame is not called unreadable
  // (companions still get the wire status).
  static std::string summary(const State& state);
  static std::optional<std::string> remedyFor(const State& state);
  static std::string summary(bool running, const core::VantleSnapshot& snapshot);
  static std::optional<std::string> remedyFor(bool running, core::AgentStatus status);

  // Whether a companion may have the named frame pulled: an absolute path
  // whose last component is a name, not leading out of its folder through a
  // link, in a folder `coordinator` counted. Any thread but the coordinator's.
  static bool mayPullFrame(AgentCoordinator& coordinator, const std::string& path);

 private:
  explicit AgentController(Services services);
  void installServiceClosures();
  void connect(AgentCoordinator& coordinator);
  std::shared_ptr<AgentCoordinator> running() const;
  // Runs `change` on the main thread while the controller lives, then tells the observer.
  void onMain(std::function<void(AgentController&)> change);
  void changed();
  void readShootState();
  // Starts the browser server; a new access token when `newToken`, else the kept one.
  void startWeb(bool newToken);
  void stopWeb();
  void publishToBrowsers();
  // Whether the watched folder is only waiting for its first frame. Reads the disk.
  bool watchedFolderIsWaiting() const;

  const Services services_;
  const std::shared_ptr<AgentStorage> storage_;
  const std::shared_ptr<net::VantleService> service_;
  const std::shared_ptr<web::WebService> web_;
  CaptureOneBridge& bridge_;
  const std::shared_ptr<LoginItem> loginItem_;
  const std::shared_ptr<IdleSleepInhibitor> sleepInhibitor_;
  const std::shared_ptr<ComputerName> computerName_;
  const std::shared_ptr<Notifier> notifier_;
  const std::shared_ptr<UserDefaults> defaults_;  // may be null
  const std::shared_ptr<app::HookRunner> hooks_;  // may be null
  CaptureOnePulls pulls_;  // used on the service's pull queue only

  // Main thread.
  State state_;
  Observer observer_;
  std::unique_ptr<IdleSleepActivity> wakeAssertion_;
  bool renewBrowserToken_ = false;  // the next start follows "New Pairing Code"

  // The running coordinator, read by the service's closures on their queues.
  mutable std::mutex coordinatorLock_;
  std::shared_ptr<AgentCoordinator> coordinator_;
};

}  // namespace vantle::agent
