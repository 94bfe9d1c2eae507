#include "app/agent_controller.h"

#include <unistd.h>

#include "agent/capture/capture_one_script_source.h"
#include "agent/capture_path.h"
#include "app/hooks/hook_events.h"
#include "core/message.h"
#include "net/security.h"
#include "support/log.h"
#include "support/weak.h"
#include "web/browser_address.h"
#include "web/web_certificate.h"
#include "web/web_service.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::VantleMessage;
using Kind = core::VantleMessage::Kind;

constexpr std::string_view kLog = "agent";

template <typename T, typename Make>
std::shared_ptr<T> orDefault(std::shared_ptr<T> given, Make make) {
  return given ? std::move(given) : make();
}

}  // namespace

// ---- Construction ---------------------------------------------------------------

std::shared_ptr<AgentController> AgentController::create(Services services) {
  std::shared_ptr<AgentController> controller(new AgentController(std::move(services)));
  controller->installServiceClosures();
  return controller;
}

AgentController::AgentController(Services services)
    : services_(std::move(services)),
      storage_(orDefault(services_.storage, [] { return AgentStorage::shared(); })),
      service_(orDefault(services_.service, [] { return net::VantleService::create(); })),
      web_(orDefault(services_.web, [] { return web::WebService::create(); })),
      bridge_(services_.bridge ? *services_.bridge : CaptureOneBridge::shared()),
      loginItem_(orDefault(services_.loginItem,
                           [] { return std::make_shared<AutostartLoginItem>(AutostartLoginItem::standard()); })),
      sleepInhibitor_(orDefault(services_.sleepInhibitor, [] { return std::make_shared<LogindIdleSleepInhibitor>(); })),
      computerName_(orDefault(services_.computerName, [] { return std::make_shared<HostnamedComputerName>(); })),
      notifier_(orDefault(services_.notifier, [] { return DesktopNotifier::create(); })),
      defaults_(services_.defaults),
      hooks_(services_.hooks),
      pulls_(bridge_, *storage_) {
  if (defaults_) {
    state_.watchedRoot = defaults_->watchedFolder();
    state_.sharesWithBrowsers = defaults_->sharesWithBrowsers().value_or(false);
  }
}

AgentController::~AgentController() {
  if (auto coordinator = running()) coordinator->stop();
  web_->stop();
}

void AgentController::installServiceClosures() {
  const std::weak_ptr<AgentController> weak = weak_from_this();
  // The closures may run after the controller or its coordinator is gone: each looks them up afresh.
  const auto coordinatorOf = [weak]() -> std::shared_ptr<AgentCoordinator> {
    auto self = weak.lock();
    return self ? self->running() : nullptr;
  };
  const auto onMainOf = support::weakly(weak, [](AgentController& self, std::function<void(AgentController&)> change) {
    self.onMain(std::move(change));
  });
  const std::shared_ptr<AgentStorage> storage = storage_;
  net::VantleService& service = *service_;
  service.backlog = [storage](uint64_t since) {
    auto reader = std::make_shared<SegmentLog::Reader>(storage->segmentReader(since));
    return net::Backlog{reader->seqs(), [reader] { return reader->nextRecord(); }};
  };
  service.highestSeq = [storage] { return storage->highestSeq(); };
  service.onSequenceAhead = [storage](uint64_t seq) { storage->adopt(seq); };
  service.verifications = [storage] { return storage->verifications(); };
  service.countFolders = [coordinatorOf](const std::vector<std::string>& paths) {
    auto coordinator = coordinatorOf();
    return coordinator ? coordinator->count(paths) : std::vector<core::FolderReading>{};
  };
  service.currentSnapshot = [coordinatorOf] {
    auto coordinator = coordinatorOf();
    return coordinator ? coordinator->snapshot() : core::VantleSnapshot{};
  };
  service.latestFrameThumbnail = [coordinatorOf]() -> std::optional<net::FrameThumbnail> {
    auto coordinator = coordinatorOf();
    auto latest = coordinator ? coordinator->latestFrameThumbnail() : std::nullopt;
    if (!latest) return std::nullopt;
    return net::FrameThumbnail{std::move(latest->data), std::move(latest->fileName), std::move(latest->path)};
  };
  service.onRequestSelectedImage = [weak](bool highRes) -> core::ImagePullOutcome {
    auto self = weak.lock();
    if (!self) return core::ImageUnavailable{"The agent is not running."};
    return self->pulls_.fetchSelectedImage(highRes);
  };
  service.onRequestFrameImage = [weak](const std::string& path) -> core::ImagePullOutcome {
    auto self = weak.lock();
    auto coordinator = self ? self->running() : nullptr;  // held for the whole pull
    if (!coordinator || !mayPullFrame(*coordinator, path)) return core::ImageUnavailable{notWatchedReason};
    return self->pulls_.quickProofForRaw(path);
  };
  service.onPeerCountChanged = [onMainOf](int) {
    onMainOf([](AgentController& c) {
      // Counted afresh: a report that was on its way when the service
      // stopped or restarted is out of date by now.
      c.state_.peerCount = c.state_.isRunning ? c.service_->peerCount() : 0;
      c.changed();
    });
  };
  service.onError = [onMainOf](const std::string& sentence) {
    onMainOf([sentence](AgentController& c) {
      c.state_.lastError = sentence;
      c.changed();
    });
  };
  web_->shootShots = [storage](const std::optional<std::string>& shootID) { return storage->segments(shootID); };
  service.onAdvertised = [onMainOf](const std::string& name) {
    onMainOf([name](AgentController& c) {
      if (c.observer_.onAdvertised) c.observer_.onAdvertised(name);
    });
  };
}

// ---- Threads ----------------------------------------------------------------------

void AgentController::onMain(std::function<void(AgentController&)> work) {
  services_.mainThread(support::weakly(weak_from_this(), std::move(work)));
}

void AgentController::changed() {
  if (observer_.onChange) observer_.onChange(state_);
}

std::shared_ptr<AgentCoordinator> AgentController::running() const {
  std::lock_guard lock(coordinatorLock_);
  return coordinator_;
}

void AgentController::setObserver(Observer observer) { observer_ = std::move(observer); }

// ---- Starting and stopping ---------------------------------------------------------

void AgentController::start() {
  notifier_->requestPermission(nullptr);
  if (state_.isRunning) return;
  state_.pairingCode = services_.pairingCodes ? services_.pairingCodes() : net::VantleSecurity::pairingCode();

  AgentCoordinator::Services seams = services_.coordinator;
  seams.storage = storage_;
  seams.clock = services_.clock;
  seams.scriptSource = std::make_shared<CaptureOneScriptSource>(bridge_);
  auto coordinator = AgentCoordinator::make(
      {.fallbackRoot = state_.watchedRoot, .debounce = 2.0, .designationPollInterval = 2.0}, std::move(seams));
  coordinator->setCounting(state_.counting);
  coordinator->setIdleThreshold(state_.idleThreshold);
  connect(*coordinator);

  service_->setAgentID(storage_->agentID());
  const std::string name = displayName();
  if (const std::optional<std::string> failure = service_->start(state_.pairingCode, name)) {
    state_.lastError = "Could not start the listener: " + *failure;
    support::log::error(kLog, *state_.lastError);
    changed();
    return;  // the coordinator was never started; it goes with this scope
  }
  coordinator->start();
  {
    std::lock_guard lock(coordinatorLock_);
    coordinator_ = coordinator;
  }
  if (!wakeAssertion_) {
    Result<std::unique_ptr<IdleSleepActivity>> activity = sleepInhibitor_->begin(wakeReason);
    if (activity.ok()) {
      wakeAssertion_ = std::move(activity.value());
    } else {
      support::log::error(kLog, "idle sleep is not held off: " + activity.failure().description);
    }
  }
  state_.isRunning = true;
  state_.port = service_->debugPort();  // fixed while running: read once, not on every change
  state_.awaitingFirstReading = true;
  readShootState();
  state_.launchesAtLogin = loginItem_->isEnabled();
  state_.lastError.reset();
  // Never the code itself: a log is read by more people than a menu.
  support::log::info(kLog, "Orvane Live agent advertising as " + name + " \u2014 a new pairing code was made");
  if (state_.sharesWithBrowsers) startWeb(std::exchange(renewBrowserToken_, false));
  changed();
}

void AgentController::startWeb(bool newToken) {
  const fs::path root = storage_->storageRoot();
  std::string problem;
  const std::optional<std::string> token =
      newToken ? web::WebAccess::makeToken(root, &problem) : web::WebAccess::loadOrMakeToken(root, &problem);
  if (!problem.empty()) support::log::error(kLog, "the browser address is not kept for the next launch: " + problem);
  // The certificate names the computer, not an address a new lease may change.
  const auto identity = web::WebCertificate::loadOrMake(root, web::hostName());
  std::optional<std::string> why;
  if (!token) {
    why = problem;
  } else if (const auto* failure = std::get_if<std::string>(&identity)) {
    why = *failure;
  } else {
    const auto& certificate = std::get<web::WebCertificate>(identity);
    why = web_->start({certificate.certificatePem, certificate.keyPem}, *token, displayName());
    if (!why) {
      state_.browserAddress = web::browserAddress(web::browserHost(), web_->port().value_or(0), *token);
      state_.browserFingerprint = certificate.fingerprint;
      publishToBrowsers();
      return;
    }
  }
  state_.lastError = "Browsers cannot follow the shoot: " + *why;
  support::log::error(kLog, *state_.lastError);
}

void AgentController::stopWeb() {
  web_->stop();
  state_.browserAddress.reset();
  state_.browserFingerprint.clear();
}

void AgentController::publishToBrowsers() {
  if (!state_.browserAddress) return;
  web_->publishView(state_.snapshot, {summary(state_), remedyFor(state_)});
}

void AgentController::setSharingWithBrowsers(bool share, bool remember) {
  if (remember && defaults_) {
    if (auto failure = defaults_->setSharesWithBrowsers(share)) {
      support::log::error(kLog, "the choice is not remembered for the next launch: " + failure->description);
    }
  }
  if (share == state_.sharesWithBrowsers) return;
  state_.sharesWithBrowsers = share;
  if (state_.isRunning) {
    if (share) {
      startWeb(false);
    } else {
      stopWeb();
    }
  }
  changed();
}

void AgentController::connect(AgentCoordinator& coordinator) {
  // Each hop drops news from a coordinator that is no longer the running one.
  const std::weak_ptr<AgentController> weak = weak_from_this();
  const std::weak_ptr<AgentCoordinator> from = coordinator.weak_from_this();
  const std::weak_ptr<net::VantleService> service = service_;
  const std::weak_ptr<web::WebService> browsers = web_;
  const auto onMainFrom =
      support::weakly(weak, [from](AgentController& self, std::function<void(AgentController&)> work) {
        self.onMain([from, work = std::move(work)](AgentController& c) {
          auto coordinator = from.lock();
          if (coordinator && c.running() == coordinator) work(c);
        });
      });
  AgentCoordinator::Callbacks callbacks;
  callbacks.onShootStateChanged = [onMainFrom](bool running, bool resumable) {
    onMainFrom([running, resumable](AgentController& c) {
      c.state_.isShootRunning = running;
      c.state_.canResumeShoot = resumable;
      c.changed();
    });
  };
  callbacks.onSnapshot = [onMainFrom](const core::VantleSnapshot& snapshot) {
    onMainFrom([snapshot](AgentController& c) {
      c.state_.snapshot = snapshot;
      c.state_.awaitingFirstReading = false;
      c.state_.waitingForFirstFrame = c.watchedFolderIsWaiting();
      c.changed();
      c.service_->broadcast(VantleMessage{.t = Kind::snapshot, .snapshot = snapshot});
      c.publishToBrowsers();
    });
  };
  callbacks.onSegment = [onMainFrom, service, browsers](const core::WireSegment& segment) {
    if (auto s = service.lock()) s->broadcast(VantleMessage{.t = Kind::segment, .segment = segment});
    if (auto b = browsers.lock()) b->publishShot(segment);
    onMainFrom([segment](AgentController& c) {
      if (c.hooks_) c.hooks_->fire("shot-closed", app::shotClosedVariables(segment));
      if (c.observer_.onSegment) c.observer_.onSegment(segment);
    });
  };
  callbacks.onVerification = [onMainFrom, service](const core::ShootVerification& verification) {
    if (auto s = service.lock()) s->broadcast(VantleMessage{.t = Kind::verified, .verification = verification});
    onMainFrom([verification](AgentController& c) {
      if (c.hooks_) c.hooks_->fire("shoot-ended", app::shootEndedVariables(verification));
      if (c.observer_.onVerification) c.observer_.onVerification(verification);
    });
  };
  callbacks.onFrameThumbnail = [service, browsers, onMainFrom,
                                hooks = hooks_](const AgentCoordinator::FrameThumbnail& thumbnail) {
    if (auto s = service.lock()) s->broadcastFrameThumbnail(thumbnail.data, thumbnail.fileName, thumbnail.path);
    if (auto b = browsers.lock()) b->publishFrame(thumbnail.data, thumbnail.fileName);
    if (!hooks) return;
    onMainFrom([path = thumbnail.path](AgentController& c) {
      c.hooks_->fire("frame-landed", app::frameLandedVariables(path, c.state_.snapshot));
    });
  };
  callbacks.onFrameCleared = [service, browsers] {
    if (auto s = service.lock()) s->broadcastFrameCleared();
    if (auto b = browsers.lock()) b->clearFrame();
  };
  coordinator.setCallbacks(std::move(callbacks));
}

void AgentController::stop() {
  std::shared_ptr<AgentCoordinator> coordinator;
  {
    std::lock_guard lock(coordinatorLock_);
    coordinator = std::move(coordinator_);
  }
  if (coordinator) coordinator->stop();
  service_->stop();
  stopWeb();
  wakeAssertion_.reset();
  state_.isRunning = false;
  state_.peerCount = 0;
  state_.port.reset();
  state_.snapshot = core::VantleSnapshot{};
  state_.awaitingFirstReading = false;
  state_.waitingForFirstFrame = false;
  changed();
}

void AgentController::finish() {
  const std::shared_ptr<AgentCoordinator> coordinator = running();
  stop();
  if (coordinator) coordinator->drain();  // a shot closing now is stored before this returns
  storage_->flush();
}

void AgentController::rotatePairingCode() {
  // The new coordinator restores the shoot from storage: the old one's last
  // writes must be there first.
  finish();
  // Browsers need the new browser address too. When they are not served
  // now, the old address is made void at once, so it cannot open the shoot
  // when sharing comes back on, whether in this run or the next.
  if (state_.sharesWithBrowsers) {
    renewBrowserToken_ = true;
  } else {
    std::string problem;
    web::WebAccess::makeToken(storage_->storageRoot(), &problem);
    if (!problem.empty()) support::log::error(kLog, "the old browser address could not be made void: " + problem);
  }
  start();
}

void AgentController::readShootState() {
  if (auto coordinator = running()) {
    state_.isShootRunning = coordinator->isShootRunning();
    state_.canResumeShoot = coordinator->canResumeShoot();
  }
}

// ---- Settings and shoots -------------------------------------------------------------

void AgentController::setWatchedRoot(std::optional<fs::path> root) {
  state_.watchedRoot = std::move(root);
  state_.waitingForFirstFrame = watchedFolderIsWaiting();
  if (defaults_) {
    if (auto failure = defaults_->setWatchedFolder(state_.watchedRoot)) {
      support::log::error(kLog, "the folder is not remembered for the next launch: " + failure->description);
    }
  }
  if (auto coordinator = running()) {
    if (state_.watchedRoot) {
      coordinator->useObservedSource(*state_.watchedRoot);
    } else {
      coordinator->useDesignationSource();
    }
  }
  changed();
}

void AgentController::setCounting(core::FrameCountRule::CountingMode counting) {
  state_.counting = counting;
  if (auto coordinator = running()) coordinator->setCounting(counting);
  changed();
}

void AgentController::setIdleThreshold(double seconds) {
  state_.idleThreshold = seconds;
  if (auto coordinator = running()) coordinator->setIdleThreshold(seconds);
  changed();
}

void AgentController::endShoot() {
  if (auto coordinator = running()) coordinator->endShoot();
}

void AgentController::resumeShoot() {
  if (auto coordinator = running()) coordinator->resumeShoot();
}

// ---- The login item ------------------------------------------------------------------

void AgentController::setLaunchAtLogin(bool enabled) {
  const std::optional<Failure> failure = enabled ? loginItem_->enable() : loginItem_->disable();
  constexpr std::string_view couldNot = "Could not open at login: ";
  if (failure) {
    state_.lastError = std::string(couldNot) + failure->description;
  } else if (state_.lastError && state_.lastError->starts_with(couldNot)) {
    state_.lastError.reset();  // only its own error: a standing one (a listener, a guesser) stays
  }
  state_.launchesAtLogin = loginItem_->isEnabled();
  changed();
}

void AgentController::refreshLoginItem() {
  state_.launchesAtLogin = loginItem_->isEnabled();
  changed();
}

void AgentController::offerLoginItemOnce() {
  if (!storage_->hasOfferedLoginItem()) {
    storage_->markLoginItemOffered();
    setLaunchAtLogin(true);
  } else {
    refreshLoginItem();
  }
}

std::string AgentController::displayName() const {
  std::string name = computerName_->displayName();
  return name.find_first_not_of(" \t\r\n") == std::string::npos ? "Mac" : name;
}

std::optional<uint16_t> AgentController::port() const { return service_->debugPort(); }

// ---- Texts and checks ----------------------------------------------------------------

bool AgentController::watchedFolderIsWaiting() const {
  const auto& root = state_.watchedRoot;
  if (!root || state_.snapshot.status != core::AgentStatus::folderUnreadable) return false;
  std::error_code error;
  return fs::is_directory(*root, error) && ::access(root->c_str(), R_OK | X_OK) == 0;
}

std::string AgentController::summary(const State& state) {
  if (state.isRunning && state.awaitingFirstReading) return "Starting\u2026";
  if (state.isRunning && state.waitingForFirstFrame) return "Waiting for the first frame";
  return summary(state.isRunning, state.snapshot);
}

std::optional<std::string> AgentController::remedyFor(const State& state) {
  if (state.isRunning && state.awaitingFirstReading) return std::nullopt;
  if (state.isRunning && state.waitingForFirstFrame && state.watchedRoot) {
    return "The first frame saved in " + state.watchedRoot->string() + " starts the count.";
  }
  return remedyFor(state.isRunning, state.snapshot.status);
}

std::string AgentController::summary(bool running, const core::VantleSnapshot& snapshot) {
  if (!running) return "Stopped";
  switch (snapshot.status) {
    case core::AgentStatus::ok:
      return snapshot.shotName.value_or("no shot") + " \u00b7 " + std::to_string(snapshot.frameCount);
    case core::AgentStatus::captureOneNotRunning: return "Capture One not running";
    case core::AgentStatus::noDocument: return "No session open";
    case core::AgentStatus::catalogNotSupported: return "Catalog, not a session";
    case core::AgentStatus::permissionDenied: return "Automation permission needed";
    case core::AgentStatus::folderUnreadable: return "Cannot read the capture folder";
  }
  return "Stopped";
}

std::optional<std::string> AgentController::remedyFor(bool running, core::AgentStatus status) {
  if (!running) return std::nullopt;
  switch (status) {
    case core::AgentStatus::captureOneNotRunning: return "Start Capture One, or choose a folder to watch.";
    case core::AgentStatus::catalogNotSupported:
      return "Orvane Live reads sessions. Open a session in Capture One, or watch a folder instead.";
    case core::AgentStatus::permissionDenied:
      return "Capture One refused Orvane Live's requests. Allow its scripting access, or watch a folder instead.";
    case core::AgentStatus::folderUnreadable:
      return "Check that the capture drive is mounted and that you may read the folder, then use Watch a "
             "Folder\u2026 to pick it again.";
    case core::AgentStatus::ok:
    case core::AgentStatus::noDocument: return std::nullopt;
  }
  return std::nullopt;
}

bool AgentController::mayPullFrame(AgentCoordinator& coordinator, const std::string& path) {
  const fs::path file(path);
  if (!file.is_absolute()) return false;
  const std::string last = file.filename().string();
  if (last.empty() || last == "." || last == "..") return false;
  // The file, its links followed, must still lie in the folder it is named in.
  const fs::path folder = file.parent_path();
  if (!CapturePath::same(fs::path(CapturePath::canonical(file)).parent_path().string(), folder.string())) {
    return false;
  }
  return coordinator.isCountedCaptureFile(path);
}

}  // namespace vantle::agent
