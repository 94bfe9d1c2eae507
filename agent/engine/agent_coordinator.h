// The engine of the agent: which folder is the capture folder, how many
// frames it holds, which shots and shoots the day is made of.
//
// The coordinator learns the designated folder from its SessionSource (a
// poll every `designationPollInterval` seconds, plus the source's own change
// callback), keeps that folder's frame count current through the
// FrameWatcher, and feeds every reading to the ShotTracker. Each closed shot
// becomes a numbered WireSegment, stored and handed to `onSegment`; shoots
// start with the first closed shot, end on request or when the capture
// session changes, and may be resumed. After each observation it rebuilds
// the VantleSnapshot and hands it to `onSnapshot` when anything but its
// time changed, so an idle agent sends nothing.
//
// Threads. Every piece of mutable state lives on the queue
// "com.orvane.vantle.coordinator", and every callback runs there. Timers,
// source and watcher callbacks hop there holding the coordinator weakly, so
// once its owner releases it, its own work stops. Waiting calls into storage
// (sequence numbers, the shoot marker, session IDs, the verification
// barrier) block the queue briefly; storage never calls back. Methods say
// from where they may be called; none may be called from the queue unless it
// says so.
//
// Storage and time. The storage is injected (the process's shared storage in
// production) and so is the clock, so that tests drive shots, idle time and
// gaps without sleeping through them.
//
// Remembered counts. `lastCountByPath` keys every folder by its canonical
// path in composed Unicode form, both when a closed shot stores its count and
// when a new designation looks it up, so a folder named through a symbolic
// link or with decomposed accents finds its own count.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/capture/capture_one_script_source.h"
#include "agent/capture/session_source.h"
#include "agent/clock.h"
#include "agent/engine/shoot_totals.h"
#include "agent/folders/frame_watcher.h"
#include "agent/folders/latest_frame_feed.h"
#include "agent/folders/safe_directory_reader.h"
#include "agent/folders/thumbnail_reader.h"
#include "agent/storage/agent_storage.h"
#include "core/frame_count_rule.h"
#include "core/shot_tracker.h"
#include "core/snapshot.h"
#include "core/verification.h"
#include "core/wire_segment.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class AgentCoordinator : public std::enable_shared_from_this<AgentCoordinator> {
 public:
  using FrameThumbnail = LatestFrameFeed::Delivery;  // (bytes, file name, path)

  // Called on the queue; set them before start().
  struct Callbacks {
    std::function<void(const core::VantleSnapshot&)> onSnapshot;  // each changed snapshot
    std::function<void(const core::WireSegment&)> onSegment;      // each closed segment, once stored (or found unstorable)
    std::function<void(const FrameThumbnail&)> onFrameThumbnail;   // the newest frame's thumbnail
    std::function<void()> onFrameCleared;                           // the designation changed: drop the thumbnail
    std::function<void(bool running, bool resumable)> onShootStateChanged;
    std::function<void(const core::ShootVerification&)> onVerification;  // each shoot's verification at its end
  };

  struct Settings {
    // Present: the source is an ObservedFolderSource for this folder.
    std::optional<std::filesystem::path> fallbackRoot;
    // Present: this source instead (tests script one); it wins over fallbackRoot.
    std::shared_ptr<SessionSource> source;
    double debounce = 2.0;                 // seconds a new designation must hold
    double designationPollInterval = 2.0;  // seconds between poll ticks
  };

  // The services the coordinator reaches; every default is the process's real one.
  struct Services {
    std::shared_ptr<AgentStorage> storage;                // default AgentStorage::shared()
    const Clock* clock = nullptr;                         // default the system clock; must outlive the coordinator
    std::shared_ptr<CaptureOneScriptSource> scriptSource;  // default on CaptureOneBridge::shared()
    FrameWatcher::Settings frames;                        // how the designated folder is watched
    LatestFrameFeed::Settings latestFrames;               // the feed's delays; its quiet period and hold
    // Checks the free space of the disk holding the path on each tick;
    // default: HardwareMonitor::shared()->check.
    std::function<void(const std::optional<std::string>& path)> checkDisk;
  };

  // Builds the coordinator and restores it from storage: the last frame count
  // of every folder from all stored segments, the running shoot from
  // "current-shoot.txt" with its totals and session. Starts nothing.
  // Any thread; waits for storage.
  static std::shared_ptr<AgentCoordinator> make(Settings settings, Services services);
  static std::shared_ptr<AgentCoordinator> make(Settings settings);
  ~AgentCoordinator();
  AgentCoordinator(const AgentCoordinator&) = delete;
  AgentCoordinator& operator=(const AgentCoordinator&) = delete;

  // Any thread; take effect on the queue, before work posted afterwards.
  void setCallbacks(Callbacks callbacks);
  // Starts the source, then the poll timer, which fires at once. Returns at once.
  void start();
  // Cancels the timer and stops the frame watcher and the source. A
  // callback running when it is called finishes before it returns; from
  // then on no callback starts. It may be called from a callback. A
  // stopped coordinator is not started again.
  void stop();

  // The counting mode; any thread. The next listing counts under it.
  void setCounting(core::FrameCountRule::CountingMode counting);
  core::FrameCountRule::CountingMode counting() const { return counting_.load(); }
  // The tracker's idle threshold, in seconds; any thread. It reaches the
  // tracker before the next observation.
  void setIdleThreshold(double seconds);

  // Closes the open shot into a segment, then ends the shoot (stored with
  // its verification) and republishes. Returns at once.
  void endShoot();
  // Takes up the last ended shoot again, when no shoot runs. Returns at once.
  void resumeShoot();

  // Switch the source: a folder the user chose, or the capture application.
  // The current source is stopped, the new one started. Return at once.
  void useObservedSource(const std::filesystem::path& root);
  void useDesignationSource();

  // The shoot state; any thread, even the queue.
  bool isShootRunning() const;
  bool canResumeShoot() const;
  // The last published snapshot; any thread, even the queue.
  core::VantleSnapshot snapshot() const;

  // A fresh reading of each folder, for a companion's audit, against every
  // stored segment. Runs on the calling thread (the service's queue) and
  // touches no coordinator state but the counting mode.
  std::vector<core::FolderReading> count(const std::vector<std::string>& folders) const;

  // Whether the file's folder is one this coordinator counted: the
  // designated one, a remembered one or one where a shot closed in this
  // shoot. The file name itself is not looked at. Waits for the queue.
  bool isCountedCaptureFile(const std::string& path);

  // The newest-frame feed's last delivery; waits for the feed's queue.
  std::optional<FrameThumbnail> latestFrameThumbnail();
  // Carries the newest-frame feed's diagnostic lines; any thread.
  void setTraceLatestFrames(std::function<void(const std::string&)> trace);

  // Returns once every piece of work queued before it has run.
  void drain();

  const std::string& agentID() const { return agentID_; }

 private:
  // The designated folder, as the frame watcher last listed it.
  struct WatchedFolder {
    std::optional<std::string> path;       // as the source first spelled it; absent: none designated
    std::optional<std::string> sessionID;  // of the session the reading placed it in
    int64_t count = 0;
    std::optional<std::string> newestFrame;
    // Frames already counted here on an earlier visit, not new ones; absent
    // when nothing is designated.
    std::optional<int64_t> baseline;
    int64_t orphans = 0;
    std::vector<std::string> orphanExtensions;
    bool readFailed = false;

    // What a listing says the folder holds; an unreadable folder holds nothing yet.
    void take(const FrameWatcher::Listing& listing);
  };
  // The running shoot, or the ended one that may be resumed; its totals are
  // the ShootTotals beside it.
  struct Shoot {
    std::optional<std::string> id;       // the running shoot's
    std::optional<std::string> endedID;  // the last ended one's, while none runs
    std::optional<std::string> session;  // the session of its first shot with frames
    std::optional<std::string> sessionID;
  };
  // The shot the tracker holds open: its start and the session it opened in.
  struct OpenShot {
    int64_t start = 0;
    std::optional<std::string> session;
    std::optional<std::string> sessionID;
  };

  AgentCoordinator(Settings settings, Services services);
  void restore();
  std::shared_ptr<SessionSource> initialSource(const Settings& settings);

  // On the queue.
  void beginWatching();
  void attach(const std::shared_ptr<SessionSource>& source);
  void switchSource(std::shared_ptr<SessionSource> source);
  void tick();
  void apply(const DesignationReading& reading);
  void designate(std::optional<std::string> path);
  void takeListing(const FrameWatcher::Listing& listing);
  void onFolderListing(const FrameWatcher::Listing& listing);
  void closeShotOfEmptiedFolder(const FrameWatcher::Listing& listing);
  void noteNewestFrame(const FrameWatcher::Listing& listing);
  void retryFailedRead();
  void observe(const DesignationReading& reading);
  void observeWhenDebounceEnds();
  void closeShot(const core::ShotSegmentRecord& record);
  void storeSegment(const core::ShotSegmentRecord& record);
  core::WireSegment segmentFor(const core::ShotSegmentRecord& record, bool isRevisit);
  void announce(const core::WireSegment& segment);
  void startShoot();
  void recordShootEnd();
  void closeShotAndEndShoot();
  void takeUpEndedShoot();
  void restoreShoot(const std::string& shootID);
  core::ShootVerification verification(const std::string& shootID);
  void setShootIDs(std::optional<std::string> running, std::optional<std::string> ended);
  void publish(const DesignationReading& reading, core::Instant now);
  void deliverThumbnail(const FrameThumbnail& thumbnail);
  bool live() const { return !stopped_.load(); }
  // Calls one of the callbacks, unless stop() has begun.
  template <typename Callback, typename... Args>
  void notify(Callback Callbacks::*callback, Args&&... args);


  const Settings settings_;
  const std::shared_ptr<AgentStorage> storage_;
  const Clock& clock_;
  const std::function<void(const std::optional<std::string>&)> checkDisk_;
  const std::shared_ptr<CaptureOneScriptSource> scriptSource_;
  const std::shared_ptr<FrameWatcher> frames_;
  const std::shared_ptr<LatestFrameFeed> latestFrames_;
  const SafeDirectoryReader readerPrototype_;  // copied for count(), one reader per call
  const std::string agentID_;
  support::SerialQueue queue_{"com.orvane.vantle.coordinator"};
  std::atomic<core::FrameCountRule::CountingMode> counting_{core::FrameCountRule::CountingMode::rawOnly};
  std::atomic<bool> stopped_{false};
  std::recursive_mutex callbackLock_;  // held while a callback runs, and by stop() to set stopped_

  // On the queue only, after construction.
  Callbacks callbacks_;
  std::shared_ptr<SessionSource> source_;
  std::unique_ptr<support::RepeatingTimer> pollTimer_;
  core::ShotTracker tracker_;
  SafeDirectoryReader reader_;
  ThumbnailReader thumbnails_;
  std::map<std::string, int64_t> lastCountByPath_;  // canonical composed path → count
  ShootTotals totals_;
  Shoot shoot_;
  OpenShot shot_;
  WatchedFolder folder_;
  std::optional<DesignationReading> lastReading_;
  bool debounceEndDue_ = false;  // an observation is scheduled for the end of a debounce

  // Mirrors for other threads, each written on the queue under its lock.
  mutable std::mutex shootStateLock_;
  bool running_ = false;
  bool resumable_ = false;
  mutable std::mutex snapshotLock_;
  core::VantleSnapshot snapshot_;
};

}  // namespace vantle::agent
