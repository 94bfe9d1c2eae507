#include "agent/monitor/hardware_monitor.h"

#include <charconv>
#include <cmath>

#include "support/weak.h"

namespace vantle::agent {
namespace {

// A warning is due when it was never given, or when the clock has moved more
// than the repeat interval away from it. Backwards counts too: after the
// wall clock is set back, the warning must not stay silent until the clock
// catches up again.
bool isDue(const std::optional<core::Instant>& last, core::Instant now) {
  return !last || std::fabs(core::secondsBetween(*last, now)) > HardwareMonitor::repeatInterval;
}

// "%.1f" without the process locale, which the desktop application may set.
std::string oneDecimal(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  return error == std::errc() ? std::string(text, end) : std::string();
}

void addSentence(std::string& spoken, const std::string& sentence) {
  if (!spoken.empty()) spoken += ' ';
  spoken += sentence;
}

}  // namespace

std::shared_ptr<HardwareMonitor> HardwareMonitor::create(Services services) {
  return std::shared_ptr<HardwareMonitor>(new HardwareMonitor(std::move(services)));
}

HardwareMonitor::HardwareMonitor(Services services) : services_(std::move(services)) {}

std::shared_ptr<HardwareMonitor> HardwareMonitor::shared() {
  static const std::shared_ptr<HardwareMonitor> monitor = create(Services{
      PowerSources(),
      std::make_shared<StatvfsFreeSpace>(),
      UserDefaults::standard(),
      DesktopNotifier::create(),
      SpeechDispatcherSpeaker::create(),
      &Clock::system(),
      std::make_shared<support::SerialQueue>("com.orvane.vantle.monitor"),
  });
  return monitor;
}

void HardwareMonitor::setOnHasWarningChanged(std::function<void(bool)> handler) {
  services_.publicationQueue->post(support::weakly(
      shared_from_this(), [handler = std::move(handler)](HardwareMonitor& self) { self.onHasWarningChanged_ = handler; }));
}

void HardwareMonitor::check(const std::optional<std::string>& path) {
  std::lock_guard guard(lock_);
  const core::Instant now = services_.clock->now();
  // Both warnings of one check are spoken as one utterance: spoken apart,
  // the second would always be dropped as overlapping the first.
  std::string spoken;
  const bool batteryLow = checkBattery(now, spoken);
  const bool diskLow = checkDisk(path.value_or("/"), now, spoken);
  if (!spoken.empty()) services_.speaker->speak(spoken);
  publish(batteryLow || diskLow);
}

bool HardwareMonitor::checkBattery(core::Instant now, std::string& spoken) {
  const std::optional<BatteryReading> battery = services_.power.battery();
  if (!battery) return false;
  const int64_t stored = services_.defaults->macBatteryWarningThreshold().value_or(0);
  const int64_t threshold = stored > 0 ? stored : defaultBatteryThreshold;
  if (battery->percent > threshold || battery->isCharging) return false;

  if (isDue(lastBatteryWarning_, now)) {
    const std::string percent = std::to_string(battery->percent);
    services_.notifier->post("Low Battery",
                             "Mac battery is at " + percent + "%. Please plug in to avoid interrupting the shoot.");
    addSentence(spoken, "Warning. Mac battery is at " + percent + " percent.");
    lastBatteryWarning_ = now;
  }
  return true;
}

bool HardwareMonitor::checkDisk(const std::string& path, core::Instant now, std::string& spoken) {
  const std::optional<uint64_t> bytes = services_.freeSpace->freeBytes(path);
  if (!bytes) return false;
  const double gigabytes = static_cast<double>(*bytes) / 1e9;
  const double stored = services_.defaults->diskWarningThresholdGB().value_or(0);
  const double threshold = stored > 0 ? stored : defaultDiskThresholdGB;
  if (!(gigabytes < threshold)) return false;

  if (isDue(lastDiskWarning_, now)) {
    services_.notifier->post("Low Disk Space", "Only " + oneDecimal(gigabytes) + " GB remaining on the capture drive.");
    addSentence(spoken, "Warning. Disk space is low. Only " + std::to_string(static_cast<int64_t>(gigabytes)) +
                            " gigabytes remaining.");
    lastDiskWarning_ = now;
  }
  return true;
}

// Compared with what was last handed on, not with `hasWarning_`: that one
// may still be waiting on the queue, and a change back would be lost.
void HardwareMonitor::publish(bool warning) {
  if (warning == publishedWarning_) return;
  publishedWarning_ = warning;
  services_.publicationQueue->post(support::weakly(shared_from_this(), [warning](HardwareMonitor& self) {
    self.hasWarning_ = warning;
    if (self.onHasWarningChanged_) self.onHasWarningChanged_(warning);
  }));
}

}  // namespace vantle::agent
