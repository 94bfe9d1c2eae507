// What the benchmarks share: frames landing in a capture folder the way
// tethering software writes them (whole, under a hidden name, then renamed
// into place) at a steady pace, when each count was first seen in a
// snapshot, and the latencies and percentiles made of the two; a snapshot as
// a busy shoot sends it; and, for the end-to-end ones, the agent program run
// as a child, its CPU, memory and descriptors read from /proc, and paired
// companions (the companion library) following it over loopback.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/snapshot.h"
#include "net/vantle_client.h"
#include "tests/support/live_process.h"
#include "tests/support/temp_folder.h"

namespace vantle::bench {

using Clock = std::chrono::steady_clock;
// When each frame landed, by its number.
using Landings = std::map<int64_t, Clock::time_point>;

// Lands one frame; returns the moment it appeared under its own name (just
// before the rename, so a watcher quicker than this thread never counts it
// before it landed).
inline Clock::time_point landFrame(const std::filesystem::path& folder, int64_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "IMG_%06lld.CR3", static_cast<long long>(number));
  const std::filesystem::path hidden = folder / (std::string(".") + name + ".part");
  testing::TempFolder::writeAt(hidden, {'r', 'a', 'w'});
  const Clock::time_point at = Clock::now();
  std::filesystem::rename(hidden, folder / name);
  return at;
}

// Frames `first` to `first + count - 1`, the k-th of them `interval` × k
// after the call.
inline Landings landAtPace(const std::filesystem::path& folder, int64_t first, int64_t count,
                           std::chrono::milliseconds interval) {
  Landings landed;
  const auto start = Clock::now();
  for (int64_t k = 1; k <= count; ++k) {
    std::this_thread::sleep_until(start + interval * k);
    landed[first + k - 1] = landFrame(folder, first + k - 1);
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
  return {.seq = 412, .at = now, .sessionName = "Spring Catalogue", .sessionID = "6F1B1E0A-6C2D-4E55-9C5A-0B7A2C3D4E5F",
          .documentKind = core::DocumentKind::session,
          .designatedPath = "/Volumes/Shoots/Spring Catalogue/Capture/Look 31", .shotName = "Look 31",
          .frameCount = frames, .shotOpenedAt = now, .shotLastActivityAt = now,
          .agentID = "0C7E1D52-0E0B-4B8B-A8C4-1F2E3D4C5B6A", .shootID = "2025-03-01-0C7E", .totalShotTime = 12345.5,
          .firstCaptureAt = now, .orphanCount = 2, .orphanExtensions = {"jpg", "tif"}, .cameraBattery = "80%",
          .isCameraConnected = true};
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

namespace fs = std::filesystem;

// The agent program beside this benchmark (build/bin/vantle-agent), watching
// `work`/Shoot with its frames landing in Shoot/Capture, which holds frame 1
// so that it is designated at once. No disk or battery warnings are spoken.
// Destruction stops it with SIGTERM.
class HeadlessAgent {
 public:
  HeadlessAgent(const fs::path& work, const std::vector<std::string>& arguments,
                const testing::LiveProcess::Environment& environment = {})
      : capture(work / "Shoot" / "Capture"), process_(start(work, arguments, environment)) {
    const auto after = [this](const std::string& prefix) {
      const auto line = process_->waitForLine(prefix, 30);
      if (!line) throw std::runtime_error("the agent did not start");
      return line->substr(prefix.size());
    };
    code = after("Pairing code: ");
    port = static_cast<uint16_t>(std::stoi(after("Listening on port ")));
  }
  ~HeadlessAgent() {
    process_->signal(SIGTERM);
    process_->waitForExit(30);
  }

  // Resident memory now, in KiB; 0 when gone.
  long residentKiB() const {
    std::ifstream statm("/proc/" + std::to_string(process_->pid()) + "/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE) / 1024;
  }

  // Descriptors it holds open now.
  size_t descriptors() const {
    size_t count = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(process_->pid()) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
      ++count;
    }
    return count;
  }

  // CPU seconds it has used: utime and stime, the 14th and 15th fields.
  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(process_->pid()) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 1));  // after the name, which may hold blanks
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;
    double user = -1, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  const fs::path capture;
  std::string code;
  uint16_t port = 0;

 private:
  static std::unique_ptr<testing::LiveProcess> start(const fs::path& work, std::vector<std::string> arguments,
                                                     testing::LiveProcess::Environment environment) {
    const std::string defaults = R"({"diskWarningThresholdGB": 0, "macBatteryWarningThreshold": 0})";
    testing::TempFolder::writeAt(work / "config/OrvaneVantle/defaults.json", {defaults.begin(), defaults.end()});
    landFrame(work / "Shoot" / "Capture", 1);  // the folders made on the way
    arguments.insert(arguments.begin(), {"--headless", "--watch", (work / "Shoot").string(), "--port", "0"});
    environment.insert({{"VANTLE_STORAGE_ROOT", (work / "storage").string()},
                        {"XDG_CONFIG_HOME", (work / "config").string()},
                        {"XDG_DATA_HOME", (work / "data").string()}});
    const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "vantle-agent";
    if (!fs::exists(program)) throw std::runtime_error(program.string() + " is not built");
    return std::make_unique<testing::LiveProcess>(program.string(), arguments, environment);
  }

  std::unique_ptr<testing::LiveProcess> process_;
};

// A paired companion following the agent: when it first saw each count, and
// how many messages of any kind it received.
class Follower {
 public:
  Follower(uint16_t port, const std::string& code) : client_(net::VantleClient::create()) {
    client_->onSnapshot = [this](const core::VantleSnapshot& s) {
      ++messages;
      counts.see(s);
    };
    client_->onSegment = [this](auto&&...) { ++messages; };
    client_->onVerification = [this](auto&&...) { ++messages; };
    client_->onFrameThumbnail = [this](auto&&...) { ++messages; };
    client_->onFrameCleared = [this] { ++messages; };
    client_->connect({.host = "127.0.0.1", .port = port}, code);
  }
  ~Follower() { client_->disconnect(); }

  CountsSeen counts;
  std::atomic<int64_t> messages = 0;

 private:
  std::shared_ptr<net::VantleClient> client_;
};

}  // namespace vantle::bench
