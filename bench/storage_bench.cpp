// Replaying segments to a companion that was away: `segments(since:)` for the
// last 10 segments must cost in proportion to what is replayed, not to the
// history. The same replay runs over 50 and over 5,000 stored segments, each
// with a 40 KB thumbnail, in one run; the run fails when the long history
// takes more than 3 times as long. The one-time indexing of the long file
// and the cost of following a fresh append are printed for reference.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "agent/storage/agent_storage.h"
#include "bench/landing_frames.h"
#include "tests/agent/folders/fixtures/timing_report.h"

namespace {

using namespace vantle;

constexpr size_t kThumbnailBytes = 40 * 1024;
constexpr double kAllowedRatio = 3.0;

core::WireSegment segment(uint64_t seq) {
  const core::Instant opened = core::instantFromUnix(1740837909.0 + 300.0 * static_cast<double>(seq));
  return {.seq = seq, .path = "/Volumes/Shoots/Spring Catalogue/Capture/Look " + std::to_string(seq),
          .folderName = "Look " + std::to_string(seq), .openedAt = opened, .closedAt = core::addingSeconds(opened, 240),
          .endFrameCount = 24, .framesAdded = 24, .lastFileName = "IMG_" + std::to_string(seq) + ".CR3",
          .shootID = "2025-03-01-0C7E", .agentID = "0C7E1D52-0E0B-4B8B-A8C4-1F2E3D4C5B6A",
          .thumbnail = bench::randomBytes(kThumbnailBytes, static_cast<unsigned>(seq)), .duration = 240,
          .activeTime = 240};
}

// A storage root holding `count` segments, written as the agent writes them.
struct History {
  explicit History(size_t count) {
    std::ofstream file(root / "segments.jsonl", std::ios::binary);
    for (uint64_t seq = 1; seq <= count; ++seq) file << core::VantleCoding::dump(segment(seq).encode()) << '\n';
    file.close();
    storage = std::make_shared<agent::AgentStorage>(root.path());
  }

  testing::TempFolder root;
  std::shared_ptr<agent::AgentStorage> storage;
};

void replayLastTen(benchmark::State& state, History& history) {
  for (auto _ : state) {
    const auto replay = history.storage->segments(history.storage->highestSeq() - 10);
    if (replay.size() != 10) state.SkipWithError("the replay did not return 10 segments");
    benchmark::DoNotOptimize(replay.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  History shortHistory(50);
  History longHistory(5000);

  shortHistory.storage->highestSeq();
  const double indexing = bench::secondsOf([&] { longHistory.storage->highestSeq(); });
  std::printf("indexing 5,000 stored segments once: %.3f s\n", indexing);

  benchmark::RegisterBenchmark("replay_last_10/stored:50", replayLastTen, std::ref(shortHistory));
  benchmark::RegisterBenchmark("replay_last_10/stored:5000", replayLastTen, std::ref(longHistory));
  benchmark::RegisterBenchmark("append_then_replay/stored:5000", [&](benchmark::State& state) {
    for (auto _ : state) {
      longHistory.storage->appendSegment(segment(longHistory.storage->highestSeq() + 1));
      longHistory.storage->flush();
      benchmark::DoNotOptimize(longHistory.storage->segments(longHistory.storage->highestSeq() - 10));
    }
  });
  testing::TimingReport reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  if (reporter.seconds("replay_last_10/stored:50") < 0 || reporter.seconds("replay_last_10/stored:5000") < 0) {
    return 0;  // filtered out
  }
  const bool holds = reporter.ratio("replay over 5,000 / over 50 stored segments", "replay_last_10/stored:5000",
                                    "replay_last_10/stored:50", kAllowedRatio);
  return holds ? 0 : 1;
}
