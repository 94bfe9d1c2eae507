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
#include "bench/landing_frames.h"

int main() {
  using namespace vantle::bench;
  const double seconds = std::max(1.0, benchSeconds(60));
  const int frames = std::max(10, static_cast<int>(200 * seconds / 60));

  vantle::testing::TempFolder work;
  bool holds = false;
  try {
    HeadlessAgent agent(work.path(), {"--name", "Bench"});
    Follower companion(agent.port, agent.code);
    if (!companion.counts.waitFor(1, 20)) {
      std::printf("the companion saw no open shot\n");
      return 1;
    }

    // Frames land at 5 a second.
    const Landings landed = landAtPace(agent.capture, 2, frames, std::chrono::milliseconds(200));
    companion.counts.waitFor(frames + 1, 10);
    const Delays seen = delays(landed, {&companion.counts});
    std::printf("Frame to companion over %d frames at 5/s: %zu seen, median %.2f ms, p99 %.2f ms (targets 10, 60)\n",
                frames, seen.counted, seen.median * 1e3, seen.p99 * 1e3);

    // Idle: the newest-frame feed finishes its last delivery first.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int64_t messagesBefore = companion.messages.load();
    const double cpuBefore = agent.cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double idleShare = (agent.cpuSeconds() - cpuBefore) / seconds;
    const int64_t idleMessages = companion.messages.load() - messagesBefore;
    std::printf("Idle for %.0f s with one companion: %lld messages sent, %.2f%% of a core (target 0 messages, < 1%%)\n",
                seconds, static_cast<long long>(idleMessages), idleShare * 100);

    holds = static_cast<int>(seen.counted) == frames && seen.median <= 0.010 && seen.p99 <= 0.060 &&
            idleMessages == 0 && idleShare < 0.01;
  } catch (const std::exception& error) {
    std::printf("%s\n", error.what());
    return 1;
  }
  return verdict(holds);
}
