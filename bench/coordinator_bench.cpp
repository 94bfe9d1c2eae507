// A coordinator following a capture folder that already holds 200, 2,000 and
// 20,000 frames while new frames land at 5 a second (for 60 seconds each, or
// VANTLE_BENCH_SECONDS). For each size it reports the CPU time the process
// spends per new frame (the coordinator, its frame watcher and the newest-
// frame feed: nothing else runs in it but the frame writer, whose own thread
// time is left out) and the time from a frame's file appearing to the
// snapshot that counts it, median and 99th percentile.
//
// Targets at 2,000 frames: median at most 10 ms, 99th percentile at most
// 60 ms. Exits non-zero when one is missed.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "agent/engine/agent_coordinator.h"
#include "bench/landing_frames.h"
#include "support/thread_pool.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace vantle::bench;
using vantle::agent::AgentCoordinator;
using vantle::agent::AgentStorage;
using vantle::agent::DesignationReading;
using vantle::agent::SessionSource;

// A source whose reading never changes.
struct FixedSource final : SessionSource {
  explicit FixedSource(DesignationReading reading) : reading(std::move(reading)) {}
  DesignationReading currentReading() const override { return reading; }
  void start() override {}
  void stop() override {}
  void setOnDesignationChanged(DesignationHandler) override {}

  const DesignationReading reading;
};

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

struct Result {
  long long existing = 0, landed = 0, counted = 0;
  double cpuPerFrame = 0, median = -1, p99 = -1;  // seconds
};

Result follow(int64_t existing, double seconds) {
  vantle::testing::TempFolder captures, stored;
  const fs::path folder = fs::canonical(captures.path()) / "Capture";
  fs::create_directories(folder);
  for (int64_t i = 1; i <= existing; ++i) landFrame(folder, i);

  const DesignationReading reading{
      .designatedPath = folder.string(), .sessionName = "Bench", .status = vantle::core::AgentStatus::ok};
  const int64_t frames = std::max<int64_t>(1, static_cast<int64_t>(seconds * 5));
  CountsSeen counts(existing);

  AgentCoordinator::Services services;
  services.storage = std::make_shared<AgentStorage>(stored.path());
  services.checkDisk = [](const std::optional<std::string>&) {};  // no warnings spoken from a bench
  auto coordinator = AgentCoordinator::make(
      {.source = std::make_shared<FixedSource>(reading), .debounce = 2, .designationPollInterval = 2}, services);
  coordinator->setCallbacks({.onSnapshot = [&](const vantle::core::VantleSnapshot& s) { counts.see(s); }});
  coordinator->start();
  if (!counts.waitFor(existing, 15)) {
    std::printf("%lld frames: the shot never opened\n", static_cast<long long>(existing));
    coordinator->stop();
    return Result{.existing = existing};
  }

  // This thread writes the frames: its own time is left out.
  const double cpuBefore = processCpuSeconds(), writerBefore = threadCpuSeconds();
  const Landings landed = landAtPace(folder, existing + 1, frames, std::chrono::milliseconds(200));
  counts.waitFor(existing + frames, 10);
  const double cpu = processCpuSeconds() - cpuBefore - (threadCpuSeconds() - writerBefore);
  coordinator->stop();
  coordinator->drain();

  const std::vector<double> seen = latencies(landed, {&counts});
  return Result{.existing = existing,
                .landed = frames,
                .counted = static_cast<long long>(seen.size()),
                .cpuPerFrame = cpu / static_cast<double>(frames),
                .median = percentile(seen, 0.5),
                .p99 = percentile(seen, 0.99)};
}

}  // namespace

int main() {
  double seconds = 60;
  if (const char* text = std::getenv("VANTLE_BENCH_SECONDS")) seconds = std::max(1.0, std::atof(text));

  std::printf("Coordinator following a folder, new frames at 5/s for %.0f s\n", seconds);
  std::printf("%10s %8s %8s %14s %12s %12s\n", "existing", "landed", "counted", "CPU/frame ms", "median ms",
              "p99 ms");
  std::vector<Result> results;
  for (const int64_t existing : {200, 2000, 20000}) {
    const Result r = follow(existing, seconds);
    results.push_back(r);
    std::printf("%10lld %8lld %8lld %14.3f %12.2f %12.2f\n", r.existing, r.landed, r.counted, r.cpuPerFrame * 1e3,
                r.median * 1e3, r.p99 * 1e3);
    std::fflush(stdout);
  }
  if (results[0].cpuPerFrame > 0) {
    std::printf("CPU per frame grows with the folder: 2,000 / 200 = %.2f×, 20,000 / 200 = %.2f×\n",
                results[1].cpuPerFrame / results[0].cpuPerFrame, results[2].cpuPerFrame / results[0].cpuPerFrame);
  }

  const Result& target = results[1];
  const bool holds =
      target.counted == target.landed && target.median >= 0 && target.median <= 0.010 && target.p99 <= 0.060;
  std::printf("At 2,000 frames: median %.2f ms (target ≤ 10), p99 %.2f ms (target ≤ 60), %lld of %lld counted: %s\n",
              target.median * 1e3, target.p99 * 1e3, target.counted, target.landed, holds ? "ok" : "MISSED");
  vantle::support::ThreadPool::stopShared();
  return holds ? 0 : 1;
}
