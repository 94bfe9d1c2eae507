// Frame to companion, end to end: the real agent program watching a folder,
// and a companion (the companion library) subscribed to it over TLS on
// loopback. For 200 frames landing at 5 a second it reports the time from a
// frame's file appearing to the companion receiving the snapshot that counts
// it. Then, with no frame landing and the companion still connected, it
// counts what the agent sends and the CPU the agent process uses over 60
// seconds (VANTLE_BENCH_SECONDS shortens both phases).
//
// Targets: median at most 10 ms and 99th percentile at most 60 ms; an idle
// agent sends nothing but keep-alives and uses under 1% of a core. Exits
// non-zero when one is missed. Run from the build tree: the agent program is
// build/bin/vantle-agent beside this benchmark.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/agent_process.h"
#include "bench/landing_frames.h"
#include "net/vantle_client.h"
#include "support/thread_pool.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vantle::bench::AgentProcess;
using vantle::bench::landFrame;
using vantle::bench::percentile;

}  // namespace

int main(int, char** argv) {
  double seconds = 60;
  if (const char* text = std::getenv("VANTLE_BENCH_SECONDS")) seconds = std::max(1.0, std::atof(text));
  const int frames = std::max(10, static_cast<int>(200 * seconds / 60));
  const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "vantle-agent";
  if (!fs::exists(program)) {
    std::printf("%s: %s is not built\n", argv[0], program.c_str());
    return 1;
  }

  vantle::testing::TempFolder work;
  const fs::path root = work / "Shoot", capture = root / "Capture";
  fs::create_directories(capture);
  fs::create_directories(work / "config/OrvaneVantle");
  std::ofstream(work / "config/OrvaneVantle/defaults.json")
      << R"({"diskWarningThresholdGB": 0, "macBatteryWarningThreshold": 0})";
  landFrame(capture, 1);  // so the folder is designated at once

  AgentProcess agent(program, {"--headless", "--watch", root.string(), "--port", "0", "--name", "Bench"},
                     {"VANTLE_STORAGE_ROOT=" + (work / "storage").string(),
                      "XDG_CONFIG_HOME=" + (work / "config").string(), "XDG_DATA_HOME=" + (work / "data").string()});
  const auto code = agent.waitForLine("Pairing code: ", 20);
  const auto port = agent.waitForLine("Listening on port ", 20);
  if (!code || !port) {
    std::printf("the agent did not start\n");
    return 1;
  }

  std::mutex mutex;
  std::condition_variable changed;
  int64_t lastCount = 0;
  bool shotOpen = false;
  int64_t messages = 0;
  std::vector<std::optional<Clock::time_point>> countedAt(static_cast<size_t>(frames) + 2);
  auto client = vantle::net::VantleClient::create();
  client->onSnapshot = [&](const vantle::core::VantleSnapshot& s) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    ++messages;
    shotOpen = shotOpen || s.shotOpenedAt.has_value();
    for (int64_t count = lastCount + 1; count <= s.frameCount && count < static_cast<int64_t>(countedAt.size());
         ++count) {
      countedAt[static_cast<size_t>(count)] = now;
    }
    lastCount = std::max(lastCount, s.frameCount);
    changed.notify_all();
  };
  const auto counted = [&](auto&&...) {
    std::lock_guard lock(mutex);
    ++messages;
  };
  client->onSegment = counted;
  client->onVerification = counted;
  client->onFrameThumbnail = counted;
  client->onFrameCleared = counted;
  client->connect({.host = "127.0.0.1", .port = static_cast<uint16_t>(std::stoi(*port))}, *code);
  {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(20), [&] { return shotOpen && lastCount == 1; })) {
      std::printf("the companion saw no open shot\n");
      return 1;
    }
  }

  // Frames land at 5 a second.
  std::vector<Clock::time_point> appearedAt(static_cast<size_t>(frames) + 2);
  const auto start = Clock::now();
  for (int n = 2; n <= frames + 1; ++n) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(200 * (n - 1)));
    landFrame(capture, n);
    appearedAt[static_cast<size_t>(n)] = Clock::now();
  }
  {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return lastCount >= frames + 1; });
  }
  std::vector<double> latencies;
  {
    std::lock_guard lock(mutex);
    for (int n = 2; n <= frames + 1; ++n) {
      if (const auto& seen = countedAt[static_cast<size_t>(n)]) {
        latencies.push_back(std::chrono::duration<double>(*seen - appearedAt[static_cast<size_t>(n)]).count());
      }
    }
  }
  const double median = percentile(latencies, 0.5), p99 = percentile(latencies, 0.99);
  std::printf("Frame to companion over %d frames at 5/s: %zu seen, median %.2f ms, p99 %.2f ms (targets 10, 60)\n",
              frames, latencies.size(), median * 1e3, p99 * 1e3);

  // Idle: the newest-frame feed finishes its last delivery first.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  int64_t messagesBefore;
  {
    std::lock_guard lock(mutex);
    messagesBefore = messages;
  }
  const double cpuBefore = agent.cpuSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double idleShare = (agent.cpuSeconds() - cpuBefore) / seconds;
  int64_t idleMessages;
  {
    std::lock_guard lock(mutex);
    idleMessages = messages - messagesBefore;
  }
  std::printf("Idle for %.0f s with one companion: %lld messages sent, %.2f%% of a core (target 0 messages, < 1%%)\n",
              seconds, static_cast<long long>(idleMessages), idleShare * 100);

  client->disconnect();
  client.reset();
  const bool holds = static_cast<int>(latencies.size()) == frames && median <= 0.010 && p99 <= 0.060 &&
                     idleMessages == 0 && idleShare < 0.01;
  std::printf("%s\n", holds ? "ok" : "MISSED");
  vantle::support::ThreadPool::stopShared();
  return holds ? 0 : 1;
}
