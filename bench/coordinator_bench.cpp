// A coordinator following a capture folder that already holds 200, 2,000 and
// 20,000 frames while new frames land at 5 a second (for 60 seconds each, or
// VANTLE_BENCH_SECONDS). For each size it reports the CPU time the process
// spends per new frame (the coordinator, its frame watcher and the newest-
// frame feed: nothing else runs in it but the frame writer, whose own thread
// time is left out) and the time from a frame's file appearing to the
// snapshot that counts it, median and 99th percentile.
//
// Targets: at 2,000 frames, median at most 10 ms and 99th percentile at most
// 60 ms; at 20,000 frames, CPU per frame at most twice that at 200 (a frame
// costs the same however full the folder is) and median under 2 ms. Exits
// non-zero when one is missed.
#include "agent/engine/agent_coordinator.h"
#include "bench/landing_frames.h"

namespace {

using namespace vantle::bench;
using vantle::agent::AgentCoordinator;
using vantle::agent::DesignationReading;

// A source whose reading never changes.
struct FixedSource final : vantle::agent::SessionSource {
  explicit FixedSource(DesignationReading reading) : reading(std::move(reading)) {}
  DesignationReading currentReading() const override { return reading; }
  void start() override {}
  void stop() override {}
  void setOnDesignationChanged(DesignationHandler) override {}

  const DesignationReading reading;
};

struct Result {
  long long existing = 0;
  double cpuPerFrame = 0;  // seconds
  Delays delays;
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
  services.storage = std::make_shared<vantle::agent::AgentStorage>(stored.path());
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
  const double cpuBefore = cpuSecondsOn(), writerBefore = cpuSecondsOn(CLOCK_THREAD_CPUTIME_ID);
  const Landings landed = landAtPace(folder, existing + 1, frames, std::chrono::milliseconds(200));
  counts.waitFor(existing + frames, 10);
  const double cpu = cpuSecondsOn() - cpuBefore - (cpuSecondsOn(CLOCK_THREAD_CPUTIME_ID) - writerBefore);
  coordinator->stop();
  coordinator->drain();
  return {existing, cpu / static_cast<double>(frames), delays(landed, {&counts})};
}

}  // namespace

int main() {
  const double seconds = std::max(1.0, benchSeconds(60));

  std::printf("Coordinator following a folder, new frames at 5/s for %.0f s\n", seconds);
  std::printf("%10s %8s %8s %14s %12s %12s\n", "existing", "landed", "counted", "CPU/frame ms", "median ms",
              "p99 ms");
  std::vector<Result> results;
  for (const int64_t existing : {200, 2000, 20000}) {
    const Result& r = results.emplace_back(follow(existing, seconds));
    std::printf("%10lld %8zu %8zu %14.3f %12.2f %12.2f\n", r.existing, r.delays.landed, r.delays.counted,
                r.cpuPerFrame * 1e3, r.delays.median * 1e3, r.delays.p99 * 1e3);
    std::fflush(stdout);
  }
  if (results[0].cpuPerFrame > 0) {
    std::printf("CPU per frame grows with the folder: 2,000 / 200 = %.2f×, 20,000 / 200 = %.2f×\n",
                results[1].cpuPerFrame / results[0].cpuPerFrame, results[2].cpuPerFrame / results[0].cpuPerFrame);
  }

  const Delays& target = results[1].delays;
  const bool holds =
      target.counted == target.landed && target.median >= 0 && target.median <= 0.010 && target.p99 <= 0.060;
  std::printf("At 2,000 frames: median %.2f ms (target ≤ 10), p99 %.2f ms (target ≤ 60), %zu of %zu counted: %s\n",
              target.median * 1e3, target.p99 * 1e3, target.counted, target.landed, holds ? "ok" : "MISSED");
  const Result& large = results[2];
  const double ratio = results[0].cpuPerFrame > 0 ? large.cpuPerFrame / results[0].cpuPerFrame : 0;
  const bool flat = large.delays.counted == large.delays.landed && ratio > 0 && ratio <= 2.0 &&
                    large.delays.median >= 0 && large.delays.median < 0.002;
  std::printf("At 20,000 frames: CPU per frame %.2f× that at 200 (target ≤ 2×), median %.2f ms (target < 2): %s\n",
              ratio, large.delays.median * 1e3, flat ? "ok" : "MISSED");
  vantle::support::ThreadPool::stopShared();
  return holds && flat ? 0 : 1;
}
