// Battery and free-space warnings during a shoot.
//
// The coordinator calls `check` on every poll tick. A check reads the
// battery and the free space of the capture folder's volume, compares them
// with the thresholds in the user defaults (read afresh each time), and
// warns by a notification and by speech when one is low: the battery at or
// below its threshold while not on external power, the drive strictly
// below its threshold. While a condition holds its warning repeats at most
// once every 600 seconds; `hasWarning` says whether either held at the last
// check. Nothing is stored, so a restart may warn again at once.
//
// Threads: `check` may be called from any queue; the monitor's lock makes
// checks run one at a time. `hasWarning` changes on the publication queue
// (the queue that plays the main thread for the interface), in the order
// the checks found it, and `onHasWarningChanged` is called there after each
// change. Notifying and speaking return at once. The clock must outlive the
// monitor.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/clock.h"
#include "agent/desktop/notifier.h"
#include "agent/desktop/speaker.h"
#include "agent/desktop/user_defaults.h"
#include "agent/monitor/free_space.h"
#include "agent/monitor/power_sources.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class HardwareMonitor : public std::enable_shared_from_this<HardwareMonitor> {
 public:
  static constexpr double repeatInterval = 600;  // seconds between repeats of one warning
  static constexpr int64_t defaultBatteryThreshold = 20;  // percent
  static constexpr double defaultDiskThresholdGB = 50.0;  // gigabytes of 10^9 bytes

  struct Services {
    PowerSources power;
    std::shared_ptr<const FreeSpaceProbe> freeSpace;
    std::shared_ptr<const UserDefaults> defaults;
    std::shared_ptr<Notifier> notifier;
    std::shared_ptr<Speaker> speaker;
    const Clock* clock;
    std::shared_ptr<support::SerialQueue> publicationQueue;
  };

  static std::shared_ptr<HardwareMonitor> create(Services services);

  // The process's monitor on the real services, made on first use; it
  // publishes on the queue "com.orvane.vantle.monitor".
  static std::shared_ptr<HardwareMonitor> shared();

  // Checks the battery and the volume holding `path` ("/" when absent).
  void check(const std::optional<std::string>& path = std::nullopt);

  // Whether a warning condition held at the last check; readable anywhere.
  bool hasWarning() const { return hasWarning_.load(); }

  // Called on the publication queue with each new `hasWarning`.
  void setOnHasWarningChanged(std::function<void(bool)> handler);

 private:
  explicit HardwareMonitor(Services services);

  // Under lock_. Each answers whether its condition holds, and when its
  // warning is due, notifies and adds the words to speak to `spoken`.
  bool checkBattery(core::Instant now, std::string& spoken);
  bool checkDisk(const std::string& path, core::Instant now, std::string& spoken);
  void publish(bool warning);

  const Services services_;

  std::mutex lock_;  // serialises checks; guards the fields below
  std::optional<core::Instant> lastBatteryWarning_;
  std::optional<core::Instant> lastDiskWarning_;
  bool publishedWarning_ = false;  // the last value handed to the publication queue

  std::atomic<bool> hasWarning_{false};           // written on the publication queue
  std::function<void(bool)> onHasWarningChanged_;  // touched on the publication queue
};

}  // namespace vantle::agent
