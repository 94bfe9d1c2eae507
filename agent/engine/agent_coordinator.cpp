#include "agent/engine/agent_coordinator.h"

#include <algorithm>
#include <system_error>

#include "agent/capture/observed_folder_source.h"
#include "agent/capture_path.h"
#include "agent/engine/folder_count.h"
#include "agent/monitor/hardware_monitor.h"
#include "core/overloaded.h"
#include "core/saturating.h"
#include "support/random_uuid.h"
#include "support/weak.h"

namespace vantle::agent {
namespace {

using core::FrameCountRule::CountingMode;

bool exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

// ---- Construction and restore ---------------------------------------------

std::shared_ptr<AgentCoordinator> AgentCoordinator::make(Settings settings) {
  return make(std::move(settings), Services{});
}

std::shared_ptr<AgentCoordinator> AgentCoordinator::make(Settings settings, Services services) {
  std::shared_ptr<AgentCoordinator> coordinator(new AgentCoordinator(std::move(settings), std::move(services)));
  AgentCoordinator& c = *coordinator;
  c.frames_->setOnChange(support::weaklyOn(
      c.queue_, coordinator, [](AgentCoordinator& self, const FrameWatcher::Listing& l) { self.onFolderListing(l); }));
  c.latestFrames_->setOnThumbnail(support::weaklyOn(
      c.queue_, coordinator, [](AgentCoordinator& self, const FrameThumbnail& t) { self.deliverThumbnail(t); }));
  return coordinator;
}

AgentCoordinator::AgentCoordinator(Settings settings, Services services)
    : settings_(std::move(settings)),
      storage_(services.storage ? std::move(services.storage) : AgentStorage::shared()),
      clock_(services.clock ? *services.clock : Clock::system()),
      checkDisk_(services.checkDisk
                     ? std::move(services.checkDisk)
                     : [](const std::optional<std::string>& path) { HardwareMonitor::shared()->check(path); }),
      scriptSource_(services.scriptSource ? std::move(services.scriptSource)
                                          : std::make_shared<CaptureOneScriptSource>()),
      frames_(FrameWatcher::make(services.frames)),
      latestFrames_(LatestFrameFeed::make(std::move(services.latestFrames), clock_)),
      readerPrototype_(services.frames.reader),
      agentID_(storage_->agentID()),
      tracker_(settings_.debounce, 300),
      reader_(services.frames.reader) {
  source_ = initialSource(settings_);
  restore();
  frames_->setCounting(counting_.load());
}

AgentCoordinator::~AgentCoordinator() = default;  // the timer, watcher and feed stop with their owners

std::shared_ptr<SessionSource> AgentCoordinator::initialSource(const Settings& settings) {
  if (settings.source) return settings.source;
  if (settings.fallbackRoot) return ObservedFolderSource::make(*settings.fallbackRoot);
  return scriptSource_;
}

void AgentCoordinator::restore() {
  // In file order, so the latest segment of a folder wins; one at a time,
  // as a long history with pictures would not fit in memory at once.
  std::map<std::string, std::string> keys;
  SegmentLog::Reader history = storage_->segmentReader(0);
  while (const std::optional<core::WireSegment> segment = history.next()) {
    auto key = keys.find(segment->path);
    if (key == keys.end()) key = keys.emplace(segment->path, CapturePath::key(segment->path)).first;
    lastCountByPath_[key->second] = segment->endFrameCount;
  }
  if (const std::optional<std::string> shootID = storage_->currentShootID()) {
    setShootIDs(shootID, std::nullopt);
    restoreShoot(*shootID);
  }
}

void AgentCoordinator::restoreShoot(const std::string& shootID) {
  const std::vector<core::WireSegment> segments = storage_->segments(std::optional<std::string>(shootID));
  totals_ = ShootTotals::restoring(segments);
  shoot_.session.reset();
  shoot_.sessionID.reset();
  for (const core::WireSegment& segment : segments) {
    if (segment.sessionName) shoot_.session = segment.sessionName;
    if (segment.sessionID) shoot_.sessionID = segment.sessionID;
  }
}

// ---- The public face --------------------------------------------------------

void AgentCoordinator::setCallbacks(Callbacks callbacks) {
  support::postWeakly(queue_, weak_from_this(),
                      [callbacks = std::move(callbacks)](AgentCoordinator& self) { self.callbacks_ = callbacks; });
}

void AgentCoordinator::start() {
  support::postWeakly(queue_, weak_from_this(), [](AgentCoordinator& self) { self.beginWatching(); });
}

void AgentCoordinator::stop() {
  {
    // Waits for a callback that is running: none starts after this.
    std::lock_guard lock(callbackLock_);
    stopped_ = true;
  }
  // Held strongly: the teardown runs even when the owner lets go at once.
  queue_.post([self = shared_from_this()] {
    self->pollTimer_.reset();
    self->frames_->stop();
    self->source_->stop();
    self->callbacks_ = {};
  });
}

void AgentCoordinator::setCounting(CountingMode counting) {
  counting_ = counting;
  frames_->setCounting(counting);
}

void AgentCoordinator::setIdleThreshold(double seconds) {
  support::postWeakly(queue_, weak_from_this(),
                      [seconds](AgentCoordinator& self) { self.tracker_.idleThreshold = seconds; });
}

void AgentCoordinator::endShoot() {
  support::postWeakly(queue_, weak_from_this(), [](AgentCoordinator& self) { self.closeShotAndEndShoot(); });
}

void AgentCoordinator::resumeShoot() {
  support::postWeakly(queue_, weak_from_this(), [](AgentCoordinator& self) { self.takeUpEndedShoot(); });
}

void AgentCoordinator::useObservedSource(const std::filesystem::path& root) {
  std::shared_ptr<SessionSource> source = ObservedFolderSource::make(root);
  support::postWeakly(queue_, weak_from_this(), [source](AgentCoordinator& self) { self.switchSource(source); });
}

void AgentCoordinator::useDesignationSource() {
  support::postWeakly(queue_, weak_from_this(), [](AgentCoordinator& self) { self.switchSource(self.scriptSource_); });
}

bool AgentCoordinator::isShootRunning() const {
  std::lock_guard lock(shootStateLock_);
  return running_;
}

bool AgentCoordinator::canResumeShoot() const {
  std::lock_guard lock(shootStateLock_);
  return resumable_;
}

core::VantleSnapshot AgentCoordinator::snapshot() const {
  std::lock_guard lock(snapshotLock_);
  return snapshot_;
}

std::vector<core::FolderReading> AgentCoordinator::count(const std::vector<std::string>& folders) const {
  SafeDirectoryReader reader = readerPrototype_;  // this thread's own
  return FolderCount::readings(folders, storage_->allSegments(), reader, counting_.load());
}

bool AgentCoordinator::isCountedCaptureFile(const std::string& path) {
  const std::string folder = CapturePath::key(std::filesystem::path(path).parent_path().string());
  return queue_.sync([&] {
    if (folder_.path && CapturePath::key(*folder_.path) == folder) return true;
    if (lastCountByPath_.contains(folder)) return true;
    return std::any_of(totals_.completedShotPaths.begin(), totals_.completedShotPaths.end(),
                       [&](const std::string& done) { return CapturePath::key(done) == folder; });
  });
}

std::optional<AgentCoordinator::FrameThumbnail> AgentCoordinator::latestFrameThumbnail() {
  return latestFrames_->latest();
}

void AgentCoordinator::setTraceLatestFrames(std::function<void(const std::string&)> trace) {
  latestFrames_->setTrace(std::move(trace));
}

void AgentCoordinator::drain() {
  queue_.sync([] {});
}

template <typename Callback, typename... Args>
void AgentCoordinator::notify(Callback Callbacks::*callback, Args&&... args) {
  std::lock_guard lock(callbackLock_);
  if (!stopped_ && callbacks_.*callback) (callbacks_.*callback)(std::forward<Args>(args)...);
}

// ---- Sources and the poll tick ---------------------------------------------

void AgentCoordinator::beginWatching() {
  VANTLE_ON_QUEUE(queue_);
  if (!live() || pollTimer_) return;
  attach(source_);
  source_->start();
  pollTimer_ = std::make_unique<support::RepeatingTimer>(
      queue_, settings_.designationPollInterval,
      support::weakly(weak_from_this(), [](AgentCoordinator& self) { self.tick(); }),
      /*fireNow=*/true);
}

void AgentCoordinator::attach(const std::shared_ptr<SessionSource>& source) {
  VANTLE_ON_QUEUE(queue_);
  // A reading that a source announces after it was replaced is dropped.
  source->setOnDesignationChanged(support::weaklyOn(
      queue_, weak_from_this(),
      [from = std::weak_ptr<SessionSource>(source)](AgentCoordinator& self, const DesignationReading& reading) {
        if (self.source_ == from.lock()) self.apply(reading);
      }));
}

void AgentCoordinator::switchSource(std::shared_ptr<SessionSource> source) {
  VANTLE_ON_QUEUE(queue_);
  if (!live() || source == source_) return;
  source_->stop();
  attach(source);
  source_ = std::move(source);
  if (pollTimer_) source_->start();  // not yet started: start() will
}

void AgentCoordinator::tick() {
  VANTLE_ON_QUEUE(queue_);
  if (!live()) return;
  if (source_ == scriptSource_) scriptSource_->refresh();
  apply(source_->currentReading());
  checkDisk_(folder_.path);
}

// ---- Readings and listings --------------------------------------------------

void AgentCoordinator::apply(const DesignationReading& reading) {
  VANTLE_ON_QUEUE(queue_);
  if (!live()) return;  // once stopped, it no longer follows its source
  lastReading_ = reading;
  if (!CapturePath::same(reading.designatedPath, folder_.path)) designate(reading.designatedPath);
  folder_.sessionID = reading.sessionRoot ? std::optional(storage_->sessionID(*reading.sessionRoot)) : std::nullopt;
  retryFailedRead();
  observe(reading);
}

void AgentCoordinator::designate(std::optional<std::string> path) {
  VANTLE_ON_QUEUE(queue_);
  folder_ = WatchedFolder{.path = std::move(path)};
  // The watcher lists the folder once, for both of us.
  const FrameWatcher::Listing listing = frames_->watch(folder_.path);
  takeListing(listing);
  if (folder_.path) {
    // Frames deleted since the last visit must not count as new ones
    // later; a folder that cannot be read yet keeps its remembered count,
    // or its old frames would count again once the retry reads it.
    const auto remembered = lastCountByPath_.find(CapturePath::key(*folder_.path));
    folder_.baseline = remembered == lastCountByPath_.end() ? 0
                       : listing.readFailed                 ? remembered->second
                                                            : std::min(remembered->second, folder_.count);
  }
  latestFrames_->clear();
  notify(&Callbacks::onFrameCleared);
  noteNewestFrame(listing);
}

void AgentCoordinator::WatchedFolder::take(const FrameWatcher::Listing& listing) {
  readFailed = listing.readFailed;
  if (readFailed) return;  // what was read before stands until it can be read again
  count = listing.frameCount;
  newestFrame = listing.newestFrame;
  orphans = listing.orphanCount;
  orphanExtensions = listing.orphanExtensions;
}

void AgentCoordinator::takeListing(const FrameWatcher::Listing& listing) {
  VANTLE_ON_QUEUE(queue_);
  if (!listing.readFailed) closeShotOfEmptiedFolder(listing);
  folder_.take(listing);
}

// A folder whose open shot counted frames reads empty: its drive went away
// leaving only the mount point, or the tethering tool made the folder anew.
// Were the count to fall to 0, the shot would close with nothing and the
// frames it counted would be in no segment. So the shot closes now with
// what it counted, as if the designation had left and come back, and frames
// that land in the emptied folder open the next shot from 0.
void AgentCoordinator::closeShotOfEmptiedFolder(const FrameWatcher::Listing& listing) {
  VANTLE_ON_QUEUE(queue_);
  if (!listing.path || listing.frameCount != 0 || !tracker_.openPath || !CapturePath::same(tracker_.openPath, folder_.path) ||
      tracker_.lastCount <= tracker_.startFrameCount) {
    return;
  }
  if (std::optional<core::ShotSegmentRecord> record = tracker_.closeCurrent(clock_.now())) closeShot(*record);
  folder_.baseline = 0;
  shot_.start = 0;
}

void AgentCoordinator::retryFailedRead() {
  VANTLE_ON_QUEUE(queue_);
  if (!folder_.path) {
    folder_.readFailed = false;
  } else if (!exists(*folder_.path)) {
    folder_.readFailed = true;
  } else if (folder_.readFailed) {
    takeListing(frames_->relisted());
  }
  // Otherwise the frame watcher keeps the count current.
}

void AgentCoordinator::onFolderListing(const FrameWatcher::Listing& listing) {
  VANTLE_ON_QUEUE(queue_);
  if (!live()) return;  // nor its folder
  if (!CapturePath::same(listing.path, folder_.path)) return;  // a folder no longer designated
  takeListing(listing);
  if (!lastReading_) lastReading_ = source_->currentReading();
  observe(*lastReading_);
  noteNewestFrame(listing);
}

void AgentCoordinator::noteNewestFrame(const FrameWatcher::Listing& listing) {
  VANTLE_ON_QUEUE(queue_);
  if (!listing.readFailed && listing.path && folder_.newestFrame) {
    latestFrames_->note(*listing.path, *folder_.newestFrame);
  }
}

void AgentCoordinator::deliverThumbnail(const FrameThumbnail& thumbnail) {
  VANTLE_ON_QUEUE(queue_);
  // A thumbnail read just before the designation moved is not the new folder's.
  const std::string folder = std::filesystem::path(thumbnail.path).parent_path().string();
  if (!CapturePath::same(folder, folder_.path)) return;
  notify(&Callbacks::onFrameThumbnail, thumbnail);
}

// ---- Observing and closing shots ---------------------------------------------

void AgentCoordinator::observe(const DesignationReading& reading) {
  VANTLE_ON_QUEUE(queue_);
  const core::Instant now = clock_.now();
  // The designation as first spelled: the tracker must not take the same
  // folder named through a link for a move.
  const core::ShotObservation observation{.designatedPath = folder_.path,
                                          .frameCount = folder_.count,
                                          .baselineHint = folder_.baseline,
                                          .lastFileName = folder_.newestFrame,
                                          .at = now};
  for (const core::ShotEvent& event : tracker_.observe(observation)) {
    std::visit(core::Overloaded{
                   [&](const core::ShotOpened& opened) {
                     shot_.start = opened.startFrameCount;
                     shot_.session = reading.sessionName;
                     shot_.sessionID = folder_.sessionID;
                   },
                   [&](const core::CountChanged& changed) {
                     if (changed.count > 0 && !totals_.firstCaptureAt) totals_.firstCaptureAt = changed.at;
                   },
                   [&](const core::ShotClosed& closed) { closeShot(closed.record); },
                   [&](const core::DesignationLost&) { shot_.start = 0; },
               },
               event);
  }
  publish(reading, now);
  observeWhenDebounceEnds();
}

// A new designation becomes a shot only once it has held for the debounce,
// and only an observation can tell the tracker that it has. Polls alone come
// every `designationPollInterval`: a look shot for less than the debounce
// plus one interval would move on before any poll saw its debounce pass, and
// its shot would never open (nor its frames ever close into a segment). So
// an observation is due when the debounce ends; should it come a little
// early, the observation it makes schedules the next.
void AgentCoordinator::observeWhenDebounceEnds() {
  VANTLE_ON_QUEUE(queue_);
  if (!tracker_.pendingSince || debounceEndDue_ || !live()) return;
  constexpr double kMargin = 0.01;  // the queue's timer and the clock may disagree by a little
  const double remaining = tracker_.debounce - core::secondsBetween(*tracker_.pendingSince, clock_.now());
  debounceEndDue_ = true;
  queue_.postAfter(std::clamp(remaining, 0.0, tracker_.debounce) + kMargin,
                   support::weakly(weak_from_this(), [](AgentCoordinator& self) {
                     self.debounceEndDue_ = false;
                     if (self.live() && self.lastReading_) self.observe(*self.lastReading_);
                   }));
}

void AgentCoordinator::closeShot(const core::ShotSegmentRecord& record) {
  VANTLE_ON_QUEUE(queue_);
  double gap = totals_.gapBefore(record);
  const int64_t framesAdded = record.framesAdded();
  const bool sessionChanged = shot_.sessionID && shoot_.sessionID
                                  ? *shot_.sessionID != *shoot_.sessionID
                                  : shot_.session && shoot_.session && *shot_.session != *shoot_.session;
  if (framesAdded > 0 && shoot_.id && sessionChanged) {
    recordShootEnd();  // the closing shot starts the next shoot
    gap = 0;
  }
  totals_.lastSegmentClosedAt = record.closedAt;
  if (framesAdded > 0) {
    if (!shoot_.session) shoot_.session = shot_.session;
    if (!shoot_.sessionID) shoot_.sessionID = shot_.sessionID;
  }
  storeSegment(record);
  totals_.add(record, gap);
}

void AgentCoordinator::storeSegment(const core::ShotSegmentRecord& record) {
  VANTLE_ON_QUEUE(queue_);
  if (!shoot_.id) startShoot();
  const bool isRevisit = totals_.completedShotPaths.contains(record.path);
  const core::WireSegment segment = segmentFor(record, isRevisit);
  lastCountByPath_[CapturePath::key(record.path)] = record.endFrameCount;
  announce(segment);
}

void AgentCoordinator::announce(const core::WireSegment& segment) {
  VANTLE_ON_QUEUE(queue_);
  // On disk before anyone hears of it: a companion must never hold a
  // segment that a crash of the agent would lose.
  storage_->appendSegment(segment);
  storage_->flush();
  notify(&Callbacks::onSegment, segment);
}

core::WireSegment AgentCoordinator::segmentFor(const core::ShotSegmentRecord& record, bool isRevisit) {
  VANTLE_ON_QUEUE(queue_);
  // Made once, when the segment closes: companions never ask again.
  std::optional<core::Bytes> thumbnail = thumbnails_.thumbnail(record.path, record.lastFileName);
  std::optional<core::Bytes> preview = thumbnails_.preview(record.path, record.lastFileName);
  const uint64_t seq = storage_->reserveSeq();
  return core::WireSegment::fromRecord(seq, record, isRevisit, shoot_.id, shot_.session, shot_.sessionID,
                                       agentID_, std::move(thumbnail), std::move(preview));
}

// ---- Shoots ------------------------------------------------------------------

void AgentCoordinator::setShootIDs(std::optional<std::string> running, std::optional<std::string> ended) {
  shoot_.id = std::move(running);
  shoot_.endedID = std::move(ended);
  std::lock_guard lock(shootStateLock_);
  running_ = shoot_.id.has_value();
  resumable_ = !shoot_.id.has_value() && shoot_.endedID.has_value();
}

void AgentCoordinator::startShoot() {
  VANTLE_ON_QUEUE(queue_);
  setShootIDs(support::randomUUID(), std::nullopt);
  storage_->setCurrentShootID(shoot_.id);
  notify(&Callbacks::onShootStateChanged, true, false);
}

void AgentCoordinator::recordShootEnd() {
  VANTLE_ON_QUEUE(queue_);
  if (shoot_.id) {
    const core::ShootVerification verified = verification(*shoot_.id);
    storage_->appendVerification(verified);
    notify(&Callbacks::onVerification, verified);
  }
  setShootIDs(std::nullopt, shoot_.id);
  shoot_.session.reset();
  shoot_.sessionID.reset();
  storage_->setCurrentShootID(std::nullopt);
  notify(&Callbacks::onShootStateChanged, false, shoot_.endedID.has_value());
  totals_ = ShootTotals{};  // the remembered counts stay
}

core::ShootVerification AgentCoordinator::verification(const std::string& shootID) {
  VANTLE_ON_QUEUE(queue_);
  storage_->flush();  // the shoot's last segments are on disk
  const std::vector<core::WireSegment> segments = storage_->segments(std::optional<std::string>(shootID));
  std::vector<std::string> paths;
  for (const core::WireSegment& segment : segments) paths.push_back(segment.path);
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return core::ShootVerification{.shootID = shootID,
                                 .at = clock_.now(),
                                 .readings = FolderCount::readings(paths, segments, reader_, counting_.load())};
}

void AgentCoordinator::closeShotAndEndShoot() {
  VANTLE_ON_QUEUE(queue_);
  const core::Instant now = clock_.now();
  std::optional<core::ShotSegmentRecord> record = tracker_.closeCurrent(now);
  // Nothing runs and nothing was shot: a second "end" (a double click) must
  // not lose the shoot that can still be resumed.
  if (!record && !shoot_.id) return;
  if (record) storeSegment(*record);
  recordShootEnd();
  // The frames already here belong to the shoot that just ended: the next
  // shot in this folder starts from them rather than counting them again.
  if (folder_.path) {
    folder_.baseline = folder_.count;
    shot_.start = folder_.count;
  }
  publish(source_->currentReading(), now);
  if (folder_.path) onFolderListing(frames_->relisted());
}

void AgentCoordinator::takeUpEndedShoot() {
  VANTLE_ON_QUEUE(queue_);
  if (shoot_.id || !shoot_.endedID) return;
  const std::string shootID = *shoot_.endedID;
  setShootIDs(shootID, std::nullopt);
  storage_->setCurrentShootID(shootID);
  restoreShoot(shootID);
  notify(&Callbacks::onShootStateChanged, true, false);
  publish(source_->currentReading(), clock_.now());
}

// ---- The snapshot ---------------------------------------------------------------

void AgentCoordinator::publish(const DesignationReading& reading, core::Instant now) {
  VANTLE_ON_QUEUE(queue_);
  core::VantleSnapshot s;
  s.seq = storage_->highestSeq();
  s.at = now;
  s.agentID = agentID_;
  s.status = folder_.readFailed && reading.designatedPath ? core::AgentStatus::folderUnreadable : reading.status;
  s.sourceKind = reading.sourceKind;
  s.documentKind = reading.documentKind;
  s.cameraBattery = reading.cameraBattery;
  s.isCameraConnected = reading.isCameraConnected;
  s.watchMode = frames_->mode();
  s.isLocalVolume = s.watchMode == core::WatchMode::fsevents;
  s.sessionName = reading.sessionName;
  s.sessionID = folder_.sessionID;
  s.shootID = shoot_.id;

  const bool shotOpen = tracker_.openPath.has_value();
  s.designatedPath = shotOpen ? tracker_.openPath : reading.designatedPath;
  if (s.designatedPath) s.shotName = core::lastPathComponent(*s.designatedPath);
  s.frameCount = shotOpen ? tracker_.lastCount : folder_.count;
  s.shotOpenedAt = tracker_.openedAt;
  s.shotAccumulatedBefore = totals_.timeIn(tracker_.openPath);
  s.shotIdleBanked = tracker_.currentIdle();
  s.shotLastActivityAt = tracker_.lastActivityAt;
  s.idleThreshold = tracker_.idleThreshold;

  s.totalShotTime = totals_.dayTiming.totalShotTime;
  s.totalBetween = totals_.dayTiming.totalBetween;
  s.totalUntracked = totals_.dayTiming.totalUntracked;
  s.shotsCompleted = static_cast<int64_t>(totals_.completedShotPaths.size());
  s.firstCaptureAt = totals_.firstCaptureAt;
  s.framesThisShoot =
      core::saturatingAdd(totals_.framesFromClosedSegments, std::max<int64_t>(0, core::saturatingSub(s.frameCount, shot_.start)));
  s.countingMode = counting_.load();
  s.orphanCount = folder_.orphans;
  s.orphanExtensions = folder_.orphanExtensions;

  {
    std::lock_guard lock(snapshotLock_);
    if (s.matchesContent(snapshot_)) return;  // only the time moved
    snapshot_ = s;
  }
  notify(&Callbacks::onSnapshot, s);
}

}  // namespace vantle::agent
