// What the frame benchmarks share: frames landing in a capture folder the
// way tethering software writes them (whole, under a hidden name, then
// renamed into place) at a steady pace, when each count was first seen in a
// snapshot, and the latencies and percentiles made of the two; and a
// snapshot as a busy shoot sends it.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/snapshot.h"
#include "tests/support/temp_folder.h"

namespace vantle::bench {

using Clock = std::chrono::steady_clock;
// When each frame landed, by its number.
using Landings = std::map<int64_t, Clock::time_point>;

inline void landFrame(const std::filesystem::path& folder, int64_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "IMG_%06lld.CR3", static_cast<long long>(number));
  const std::filesystem::path hidden = folder / (std::string(".") + name + ".part");
  testing::TempFolder::writeAt(hidden, {'r', 'a', 'w'});
  std::filesystem::rename(hidden, folder / name);
}

// Frames `first` to `first + count - 1`, the k-th of them `interval` × k
// after the call.
inline Landings landAtPace(const std::filesystem::path& folder, int64_t first, int64_t count,
                           std::chrono::milliseconds interval) {
  Landings landed;
  const auto start = Clock::now();
  for (int64_t k = 1; k <= count; ++k) {
    std::this_thread::sleep_until(start + interval * k);
    landFrame(folder, first + k - 1);
    landed[first + k - 1] = Clock::now();
  }
  return landed;
}

// When each frame count was first seen, from the snapshots as they come.
class CountsSeen {
 public:
  explicit CountsSeen(int64_t already = 0) : last_(already) {}

  void see(const core::VantleSnapshot& s) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    shotOpen_ = shotOpen_ || s.shotOpenedAt.has_value();
    for (int64_t n = last_ + 1; n <= s.frameCount; ++n) seenAt_[n] = now;
    last_ = std::max(last_, s.frameCount);
    changed_.notify_all();
  }

  // Waits up to `seconds` for an open shot counting at least `count`.
  bool waitFor(int64_t count, double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return shotOpen_ && last_ >= count; });
  }

  std::optional<Clock::time_point> seen(int64_t count) const {
    std::lock_guard lock(mutex_);
    const auto found = seenAt_.find(count);
    return found == seenAt_.end() ? std::nullopt : std::optional(found->second);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool shotOpen_ = false;
  int64_t last_;
  std::map<int64_t, Clock::time_point> seenAt_;
};

// For each landed frame that every one of `seers` counted, in seconds, the
// time from its landing until the last of them counted it.
inline std::vector<double> latencies(const Landings& landed, std::initializer_list<const CountsSeen*> seers) {
  std::vector<double> result;
  for (const auto& [number, at] : landed) {
    Clock::time_point last = at;
    bool counted = true;
    for (const CountsSeen* seer : seers) {
      const auto seen = seer->seen(number);
      counted = counted && seen;
      if (seen) last = std::max(last, *seen);
    }
    if (counted) result.push_back(std::chrono::duration<double>(last - at).count());
  }
  return result;
}

// The value below which a share `p` of `values` lies; -1 for none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// A snapshot with every field a busy shoot fills in, counting `frames`.
inline core::VantleSnapshot busySnapshot(int64_t frames) {
  const core::Instant now = core::instantFromUnix(1740837909);
  core::VantleSnapshot s;
  s.seq = 412;
  s.at = now;
  s.sessionName = "Spring Catalogue";
  s.sessionID = "6F1B1E0A-6C2D-4E55-9C5A-0B7A2C3D4E5F";
  s.documentKind = core::DocumentKind::session;
  s.designatedPath = "/Volumes/Shoots/Spring Catalogue/Capture/Look 31";
  s.shotName = "Look 31";
  s.frameCount = frames;
  s.shotOpenedAt = now;
  s.shotLastActivityAt = now;
  s.agentID = "0C7E1D52-0E0B-4B8B-A8C4-1F2E3D4C5B6A";
  s.shootID = "2025-03-01-0C7E";
  s.totalShotTime = 12345.5;
  s.firstCaptureAt = now;
  s.orphanCount = 2;
  s.orphanExtensions = {"jpg", "tif"};
  s.cameraBattery = "80%";
  s.isCameraConnected = true;
  return s;
}

// CPU seconds this process has used, all its threads together.
inline double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double secondsOf(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace vantle::bench
