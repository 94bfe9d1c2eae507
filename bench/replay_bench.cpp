// A companion joining late to a long day, end to end: the real agent program
// with 1,000 stored segments of about 150 KB each (a 150 MB record), and
// companions on loopback that subscribe from the start and read every
// segment. Beside a quiet run (one companion that holds everything already),
// it measures the time until a new subscriber has all 1,000 segments, in
// order, and the agent's peak resident memory meanwhile; then the same for
// five subscribers at once.
//
// Targets: each replay complete and in order in under 10 s; the agent's peak
// memory during a replay at most 64 MiB above its quiet peak. Exits non-zero
// when one is missed. Run from the build tree (build/bin/bench_replay).
#include <algorithm>
#include <thread>

#include <nlohmann/json.hpp>

#include "bench/landing_frames.h"
#include "core/vantle_coding.h"
#include "tests/support/test_peer.h"

namespace {

using namespace vantle;
using namespace vantle::bench;
using Kind = core::VantleMessage::Kind;

constexpr uint64_t kSegments = 1000;

// The record of a day: segments whose thumbnail and preview make a line of about 150 KB.
void writeRecord(const fs::path& storage) {
  std::string log;
  for (uint64_t seq = 1; seq <= kSegments; ++seq) {
    const core::WireSegment segment{.seq = seq,
                                    .path = "/Shoots/Day/Look " + std::to_string(seq),
                                    .folderName = "Look " + std::to_string(seq),
                                    .framesAdded = 4,
                                    .thumbnail = randomBytes(40'000, static_cast<unsigned>(seq)),
                                    .preview = randomBytes(70'000, static_cast<unsigned>(seq + kSegments))};
    log += core::VantleCoding::dump(segment.encode()) + "\n";
  }
  testing::TempFolder::writeAt(storage / "segments.jsonl", {log.begin(), log.end()});
}

// Samples the agent's resident memory until stopped; keeps the peak.
class PeakMemory {
 public:
  explicit PeakMemory(const HeadlessAgent& agent)
      : thread_([this, &agent] {
          while (!stop_) {
            peak_ = std::max(peak_.load(), agent.residentKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        }) {}
  size_t stop() {
    stop_ = true;
    thread_.join();
    return peak_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<size_t> peak_{0};
  std::thread thread_;
};

// Subscribes from the start and reads until the snapshot that follows the
// replay; the seconds it took, or -1 when a segment was missing or out of order.
double replayTo(const HeadlessAgent& agent) {
  const auto start = Clock::now();
  auto peer = testing::TestPeer::connect(agent.port, agent.code);
  if (!peer) return -1;
  peer->send(core::VantleMessage{.t = Kind::subscribe, .since = 0});
  uint64_t expected = 1;
  while (auto message = peer->receive(30)) {
    if (message->t == Kind::segment) {
      if (message->segment->seq != expected) return -1;
      ++expected;
    } else if (message->t == Kind::snapshot) {
      return expected == kSegments + 1 ? secondsSince(start) : -1;
    }
  }
  return -1;
}

}  // namespace

int main() {
  testing::TempFolder work;
  bool holds = false;
  try {
    writeRecord(work.path() / "storage");
    HeadlessAgent agent(work.path(), {"--name", "Bench"});

    // Quiet: a companion that holds every segment already.
    PeakMemory quietSampler(agent);
    {
      auto peer = testing::TestPeer::connect(agent.port, agent.code);
      if (!peer) throw std::runtime_error("the quiet companion could not pair");
      peer->send(core::VantleMessage{.t = Kind::subscribe, .since = kSegments});
      peer->receiveFor(3);
    }
    const double quiet = static_cast<double>(quietSampler.stop()) / 1024;
    std::printf("Quiet, one companion up to date: agent peak %.1f MiB\n", quiet);

    PeakMemory oneSampler(agent);
    const double one = replayTo(agent);
    const double onePeak = static_cast<double>(oneSampler.stop()) / 1024;
    std::printf("One late companion: %llu segments of 150 KB in %.2f s, agent peak %.1f MiB (+%.1f over quiet; "
                "targets < 10 s, < +64 MiB)\n",
                static_cast<unsigned long long>(kSegments), one, onePeak, onePeak - quiet);

    PeakMemory fiveSampler(agent);
    std::vector<double> times(5);
    std::vector<std::thread> companions;
    for (size_t i = 0; i < times.size(); ++i) companions.emplace_back([&, i] { times[i] = replayTo(agent); });
    for (auto& companion : companions) companion.join();
    const double fivePeak = static_cast<double>(fiveSampler.stop()) / 1024;
    const double slowest = *std::max_element(times.begin(), times.end());
    const bool allWhole = std::none_of(times.begin(), times.end(), [](double t) { return t < 0; });
    std::printf("Five late companions at once: %s, slowest %.2f s, agent peak %.1f MiB (+%.1f over quiet)\n",
                allWhole ? "every replay whole and in order" : "a replay was incomplete", slowest, fivePeak,
                fivePeak - quiet);

    holds = one >= 0 && one < 10 && onePeak - quiet <= 64 && allWhole && slowest < 10 && fivePeak - quiet <= 64;
  } catch (const std::exception& error) {
    std::printf("%s\n", error.what());
    return 1;
  }
  return verdict(holds);
}
