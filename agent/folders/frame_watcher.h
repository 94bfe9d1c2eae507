// Watches the one designated capture folder and reports what it holds.
//
// The watcher keeps the folder's contents (FolderContents) and hands a
// Listing to `onChange` whenever it changes. On a local volume it listens to
// inotify and applies each reported entry alone, so the cost of a frame does
// not grow with the folder; it lists the folder in full only when it cannot
// be sure the events told everything: when the kernel's event queue
// overflowed or the folder itself moved, and on the heartbeat every
// `localHeartbeat` seconds when the folder is no longer the one watched
// (replaced, or a volume mounted on it) or changed since the events last
// accounted for it. On a network or FUSE volume, which sends no events, it
// lists every `remotePollInterval` seconds instead.
//
// Which frame is newest (NewestFrameTracker) is followed here too, for
// every folder watched so far, and reported with each listing.
//
// All state lives on the queue "com.orvane.vantle.frames", where `onChange`
// runs too (receivers hop to their own queue). Every method may be called
// from any thread but that queue. Timers, events and posted work hold the
// watcher weakly: once its owner releases it, nothing more is reported.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/folders/directory_watcher.h"
#include "agent/folders/folder_contents.h"
#include "agent/folders/newest_frame_tracker.h"
#include "agent/folders/safe_directory_reader.h"
#include "core/frame_count_rule.h"
#include "core/status.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class FrameWatcher : public std::enable_shared_from_this<FrameWatcher> {
 public:
  // What the folder holds, as a full listing would say it. Equal when every
  // field is equal: only changes are reported.
  struct Listing {
    std::optional<std::string> path;  // canonical path of the folder
    int64_t frameCount = 0;
    int64_t orphanCount = 0;                    // rawOnly: captures without a RAW file
    std::vector<std::string> orphanExtensions;  // rawOnly: their files' extensions, ascending
    std::optional<std::string> lastFileName;    // the greatest frame name
    std::optional<std::string> newestFrame;     // the frame that landed last, by NewestFrameTracker
    bool isLocalVolume = true;
    bool readFailed = false;

    bool operator==(const Listing&) const = default;
  };
  using OnChange = std::function<void(const Listing&)>;

  struct Settings {
    SafeDirectoryReader reader;  // its locality probe decides the mode
    double remotePollInterval = 0.5;
    double localHeartbeat = 3.0;
  };

  static std::shared_ptr<FrameWatcher> make();
  static std::shared_ptr<FrameWatcher> make(Settings settings);
  ~FrameWatcher();

  // Switches to `directory` and returns its first listing, which is not
  // reported (absent: watch nothing, and the listing is empty). Waits for the
  // queue.
  Listing watch(std::optional<std::string> directory);
  // Lists the watched folder again in full and returns what it holds, which
  // is not reported either. Waits for the queue.
  Listing relisted();
  // Stops watching. Returns at once; the teardown runs on the queue.
  void stop();
  // Returns once everything posted before it has run.
  void drain();

  // Takes effect for work posted after this call.
  void setOnChange(OnChange onChange);
  // The folder is counted again at once under the new mode, and the listing,
  // which differs, is reported.
  void setCounting(core::FrameCountRule::CountingMode counting);
  core::FrameCountRule::CountingMode counting() const { return counting_; }
  // Decided by each watch from the folder's volume; fsevents until then.
  core::WatchMode mode() const { return mode_; }

 private:
  // The folder's identity and change times: the heartbeat lists in full only
  // when they moved since the folder was last accounted for.
  struct Stamp {
    uint64_t device = 0, inode = 0;
    int64_t modified = 0, changed = 0;  // nanoseconds
    bool operator==(const Stamp&) const = default;
  };
  static std::optional<Stamp> stampOf(const std::string& folder);

  explicit FrameWatcher(Settings settings);
  // On the queue.
  Listing switchTo(std::optional<std::string> directory);
  void tearDown();
  void relist();
  void apply(const std::vector<std::string>& paths);
  void heartbeat();
  void recount(core::FrameCountRule::CountingMode before);
  void noteAppeared(const std::optional<std::string>& appeared);
  Listing current() const;
  void report();

  Settings settings_;  // its reader keeps buffers between readings: used on the queue only
  std::atomic<core::FrameCountRule::CountingMode> counting_{core::FrameCountRule::CountingMode::rawOnly};
  std::atomic<core::WatchMode> mode_{core::WatchMode::fsevents};
  support::SerialQueue queue_{"com.orvane.vantle.frames"};

  // On the queue only.
  OnChange onChange_;
  std::shared_ptr<DirectoryWatcher> watcher_;
  std::unique_ptr<support::RepeatingTimer> timer_;
  std::optional<std::string> directory_;  // as given
  std::optional<std::string> canonical_;
  bool local_ = true;
  bool failed_ = false;   // the last full listing failed
  bool noted_ = false;    // the newest-frame tracker has seen this folder since the watch began
  FolderContents contents_;
  std::optional<Stamp> stamp_;  // when the contents were last known complete
  NewestFrameTracker newest_;
  std::optional<std::string> newestFrame_;
  std::optional<Listing> last_;
};

}  // namespace vantle::agent
