// Watches the one designated capture folder and reports fresh listings.
//
// Whenever the folder may have changed the watcher lists it with a
// SafeDirectoryReader and hands the Listing to `onChange`, unless it equals
// the last one reported. On a local volume it listens to inotify and also
// lists the folder every `localHeartbeat` seconds, which catches what the
// events missed; on a network or FUSE volume it lists every
// `remotePollInterval` seconds instead. The first listing after each
// `watch` is always reported.
//
// All state lives on the queue "com.orvane.vantle.frames", where `onChange`
// runs too (receivers hop to their own queue). watch(), stop() and the
// setters only post there, so they are safe from any thread. Timers, events
// and posted work hold the watcher weakly: once its owner releases it,
// nothing more is reported.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "agent/folders/directory_watcher.h"
#include "agent/folders/safe_directory_reader.h"
#include "core/frame_count_rule.h"
#include "core/status.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class FrameWatcher : public std::enable_shared_from_this<FrameWatcher> {
 public:
  using Listing = SafeDirectoryReader::Listing;
  using OnChange = std::function<void(const Listing&)>;

  struct Settings {
    SafeDirectoryReader reader;  // its locality probe decides the mode
    double remotePollInterval = 0.5;
    double localHeartbeat = 3.0;
  };

  static std::shared_ptr<FrameWatcher> make();
  static std::shared_ptr<FrameWatcher> make(Settings settings);
  ~FrameWatcher();

  // Switches to `directory` (absent: watch nothing and report one empty
  // listing). Returns at once; the switch runs on the queue.
  void watch(std::optional<std::string> directory);
  // Stops watching. Returns at once; the teardown runs on the queue.
  void stop();
  // Returns once everything posted before it has run. Not from the queue.
  void drain();

  // Takes effect for work posted after this call.
  void setOnChange(OnChange onChange);
  // The folder is listed again at once under the new mode, and the listing,
  // which differs, is reported.
  void setCounting(core::FrameCountRule::CountingMode counting);
  core::FrameCountRule::CountingMode counting() const { return counting_; }
  // Decided by each watch from the folder's volume; fsevents until then.
  core::WatchMode mode() const { return mode_; }

 private:
  explicit FrameWatcher(Settings settings);
  void switchTo(std::optional<std::string> directory);
  void tearDown();
  void check();
  void report(Listing listing);

  Settings settings_;  // its reader keeps buffers between readings: used on the queue only
  std::atomic<core::FrameCountRule::CountingMode> counting_{core::FrameCountRule::CountingMode::rawOnly};
  std::atomic<core::WatchMode> mode_{core::WatchMode::fsevents};
  support::SerialQueue queue_{"com.orvane.vantle.frames"};

  // On the queue only.
  OnChange onChange_;
  std::shared_ptr<DirectoryWatcher> watcher_;
  std::unique_ptr<support::RepeatingTimer> timer_;
  std::optional<std::string> directory_;
  std::optional<Listing> last_;
};

}  // namespace vantle::agent
