// The user's settings that outlive a launch: the two warning thresholds,
// the folder the agent was last told to watch, and whether browsers may
// follow the shoot.
//
// They live as one JSON object in "defaults.json" inside the "OrvaneVantle"
// folder of the user's configuration folder. Every read goes to the file, so
// a value the menu writes is seen by the hardware monitor's next check. A
// missing, unreadable or corrupt file, or a value of the wrong type, reads as
// absent and the caller applies its own default. A write keeps the keys it
// does not know and replaces the file atomically.
//
// Thread-safe: reads may come from any queue; writes are serialised.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "agent/desktop/failure.h"
#include "core/vantle_coding.h"

namespace vantle::agent {

class UserDefaults {
 public:
  static constexpr std::string_view diskWarningThresholdGBKey = "diskWarningThresholdGB";
  static constexpr std::string_view macBatteryWarningThresholdKey = "macBatteryWarningThreshold";
  static constexpr std::string_view watchedFolderKey = "watchedFolder";
  static constexpr std::string_view shareWithBrowsersKey = "shareWithBrowsers";

  // Settings kept in `file`; an empty path has no file: reads are absent and
  // writes fail.
  explicit UserDefaults(std::filesystem::path file);

  // The process-wide settings in the standard place.
  static std::shared_ptr<UserDefaults> standard();

  // Gigabytes of free space below which the capture drive counts as low.
  std::optional<double> diskWarningThresholdGB() const;
  // Battery percent at or below which the battery counts as low. A stored
  // fraction is truncated toward zero.
  std::optional<int64_t> macBatteryWarningThreshold() const;

  // The folder chosen last, an absolute path; absent while the agent reads
  // the capture application.
  std::optional<std::filesystem::path> watchedFolder() const;

  // "Share with Browsers"; absent until first chosen (off).
  std::optional<bool> sharesWithBrowsers() const;

  std::optional<Failure> setDiskWarningThresholdGB(double gigabytes);
  std::optional<Failure> setMacBatteryWarningThreshold(int64_t percent);
  // Remembers `folder`, or forgets it when absent. A name the settings file
  // cannot hold exactly (one that is not UTF-8 text) is refused.
  std::optional<Failure> setWatchedFolder(const std::optional<std::filesystem::path>& folder);
  std::optional<Failure> setSharesWithBrowsers(bool shares);

 private:
  template <typename T>
  std::optional<Failure> store(std::string_view key, T value);
  // Reads the object, changes it and writes it back, one writer at a time.
  std::optional<Failure> update(const std::function<void(core::Json&)>& change);

  const std::filesystem::path file_;
  std::mutex writeLock_;  // one read-modify-write at a time
};

}  // namespace vantle::agent
