// What the benchmarks share (with the headers below): frames landing in a
// capture folder the way tethering software writes them (whole, under a
// hidden name, then renamed into place) at a steady pace, when each count
// was first seen in a snapshot, and the delays made of the two; a busy
// shoot's snapshot; the verdict line; and, for the end-to-end ones, the agent
// program run as a child, the CPU it used and the memory and descriptors it
// holds, and companions (the companion library) following it over loopback.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/snapshot.h"
#include "net/vantle_client.h"
#include "support/thread_pool.h"
#include "tests/support/live_process.h"
#include "tests/support/temp_folder.h"

namespace vantle::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
// When each frame landed, by its number.
using Landings = std::map<int64_t, Clock::time_point>;

inline double secondsSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
  return std::chrono::duration<double>(end - start).count();
}

// Lands one frame; returns the moment it appeared under its own name (just
// before the rename, so a watcher quicker than this thread never counts it
// before it landed).
inline Clock::time_point landFrame(const fs::path& folder, int64_t number) {
  const std::string name = "IMG_" + std::to_string(1'000'000 + number).substr(1) + ".CR3";  // 6 digits
  const fs::path hidden = folder / ("." + name + ".part");
  testing::TempFolder::writeAt(hidden, {'r', 'a', 'w'});
  const Clock::time_point at = Clock::now();
  fs::rename(hidden, folder / name);
  return at;
}

// Frames `first` to `first + count - 1`, the k-th of them `interval` × k
// after the call.
inline Landings landAtPace(const fs::path& folder, int64_t first, int64_t count, std::chrono::milliseconds interval) {
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
    order_.push_back(s.frameCount);
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

  // Each snapshot's count, in the order they came.
  std::vector<int64_t> order() const {
    std::lock_guard lock(mutex_);
    return order_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool shotOpen_ = false;
  int64_t last_;
  std::map<int64_t, Clock::time_point> seenAt_;
  std::vector<int64_t> order_;
};

// The value below which a share `p` of `values` lies; -1 for none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// Of the frames landed, how many every one of the seers counted, and the
// time from a frame's landing until the last of them counted it: median and
// 99th percentile in seconds, -1 when none was counted.
struct Delays {
  size_t landed = 0, counted = 0;
  double median = -1, p99 = -1;
};

inline Delays delays(const Landings& landed, std::initializer_list<const CountsSeen*> seers) {
  std::vector<double> seen;
  for (const auto& [number, at] : landed) {
    Clock::time_point last = at;
    bool counted = true;
    for (const CountsSeen* seer : seers) {
      const auto when = seer->seen(number);
      counted = counted && when;
      if (when) last = std::max(last, *when);
    }
    if (counted) seen.push_back(secondsSince(at, last));
  }
  return {landed.size(), seen.size(), percentile(seen, 0.5), percentile(seen, 0.99)};
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

// CPU seconds used, on `clock`: this process's, all its threads together;
// CLOCK_THREAD_CPUTIME_ID the calling thread's.
inline double cpuSecondsOn(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU seconds process `pid` has used, all its threads together; -1 when gone.
inline double cpuSecondsOf(pid_t pid) {
  clockid_t clock{};
  return clock_getcpuclockid(pid, &clock) == 0 ? cpuSecondsOn(clock) : -1;
}

inline double secondsOf(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return secondsSince(start);
}

// `n` bytes of noise, as a picture's compressed data looks.
inline core::Bytes randomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  core::Bytes bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// As many open descriptors as the system lets this process have: the
// network benchmarks hold thousands of connections.
inline void raiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// VANTLE_BENCH_SECONDS when it is set, else `fallback`.
inline double benchSeconds(double fallback) {
  const char* text = std::getenv("VANTLE_BENCH_SECONDS");
  return text ? std::atof(text) : fallback;
}

// Prints whether the targets hold, ends the shared worker threads and gives
// the exit code.
inline int verdict(bool holds) {
  std::printf("%s\n", holds ? "ok" : "MISSED");
  support::ThreadPool::stopShared();
  return holds ? 0 : 1;
}

// The agent program beside this benchmark (build/bin/vantle-agent), watching
// `work`/Shoot with its frames landing in Shoot/Capture, which holds frame 1
// so that it is designated at once. No disk or battery warnings are spoken.
// Destruction stops it with SIGTERM.
class HeadlessAgent {
 public:
  HeadlessAgent(const fs::path& work, std::vector<std::string> arguments,
                testing::LiveProcess::Environment environment = {})
      : capture(work / "Shoot" / "Capture") {
    const std::string defaults = R"({"diskWarningThresholdGB": 0, "macBatteryWarningThreshold": 0})";
    testing::TempFolder::writeAt(work / "config/OrvaneVantle/defaults.json", {defaults.begin(), defaults.end()});
    landFrame(capture, 1);  // the folders made on the way
    arguments.insert(arguments.begin(), {"--headless", "--watch", (work / "Shoot").string(), "--port", "0"});
    environment.insert({{"VANTLE_STORAGE_ROOT", (work / "storage").string()},
                        {"XDG_CONFIG_HOME", (work / "config").string()},
                        {"XDG_DATA_HOME", (work / "data").string()}});
    const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "vantle-agent";
    if (!fs::exists(program)) throw std::runtime_error(program.string() + " is not built");
    process_ = std::make_unique<testing::LiveProcess>(program.string(), arguments, environment);
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
  size_t residentKiB() const {
    std::ifstream statm("/proc/" + std::to_string(process_->pid()) + "/statm");
    size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
  }

  // Descriptors it holds open now.
  size_t descriptors() const {
    const fs::path fds = "/proc/" + std::to_string(process_->pid()) + "/fd";
    size_t count = 0;
    std::error_code error;
    for (fs::directory_iterator it(fds, error), end; !error && it != end; it.increment(error)) ++count;
    return count;
  }

  double cpuSeconds() const { return cpuSecondsOf(process_->pid()); }

  // What follows `prefix` on the first line of its output that starts with it.
  std::string lineAfter(const std::string& prefix) const {
    const auto line = process_->waitForLine(prefix, 30);
    if (!line) throw std::runtime_error("the agent never printed \"" + prefix + "\"");
    return line->substr(prefix.size());
  }

  const fs::path capture;
  std::string code;
  uint16_t port = 0;

 private:
  std::unique_ptr<testing::LiveProcess> process_;
};

// A companion pairing with the agent on loopback: whether it ever
// connected, when it first saw each count, and how many messages of any kind
// it received. Destruction waits for the disconnect.
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
    client_->onStateChange = [this](const net::VantleConnectionState& s) { paired = paired || s.isConnected(); };
    client_->connect({.host = "127.0.0.1", .port = port}, code);
  }
  ~Follower() {
    client_->disconnect();
    client_->state();
  }

  CountsSeen counts;
  std::atomic<int64_t> messages = 0;
  std::atomic<bool> paired = false;

 private:
  std::shared_ptr<net::VantleClient> client_;
};

}  // namespace vantle::bench
