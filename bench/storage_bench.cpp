// Replaying segments to a companion that was away: `segments(since:)` for the
// last 10 segments must cost in proportion to what is replayed, not to the
// history. The same replay runs over 50 and over 5,000 stored segments, each
// with a 40 KB thumbnail, in one run; the run fails when the long history
// takes more than 3 times as long. The one-time indexing of the long file
// and the cost of following a fresh append are printed for reference.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include <nlohmann/json.hpp>

#include "agent/storage/agent_storage.h"

namespace {

using namespace vantle;
namespace fs = std::filesystem;

constexpr size_t kThumbnailBytes = 40 * 1024;
constexpr double kAllowedRatio = 3.0;

core::WireSegment segment(uint64_t seq, std::mt19937& random) {
  core::WireSegment s;
  s.seq = seq;
  s.path = "/Volumes/Shoots/Spring Catalogue/Capture/Look " + std::to_string(seq);
  s.folderName = "Look " + std::to_string(seq);
  s.openedAt = core::instantFromUnix(1740837909.0 + 300.0 * static_cast<double>(seq));
  s.closedAt = core::addingSeconds(s.openedAt, 240);
  s.endFrameCount = s.framesAdded = 24;
  s.lastFileName = "IMG_" + std::to_string(seq) + ".CR3";
  s.shootID = "2025-03-01-0C7E";
  s.agentID = "0C7E1D52-0E0B-4B8B-A8C4-1F2E3D4C5B6A";
  core::Bytes thumbnail(kThumbnailBytes);
  for (uint8_t& b : thumbnail) b = static_cast<uint8_t>(random());
  s.thumbnail = std::move(thumbnail);
  s.duration = s.activeTime = 240;
  return s;
}

// A storage root holding `count` segments, written as the agent writes them.
struct History {
  explicit History(size_t count) {
    std::string name = (fs::temp_directory_path() / "vantle-storage-bench-XXXXXX").string();
    root = ::mkdtemp(name.data());
    std::mt19937 random(static_cast<unsigned>(count));
    std::ofstream file(root / "segments.jsonl", std::ios::binary);
    for (uint64_t seq = 1; seq <= count; ++seq) file << core::VantleCoding::dump(segment(seq, random).encode()) << '\n';
    file.close();
    storage = std::make_shared<agent::AgentStorage>(root);
  }
  ~History() { fs::remove_all(root); }

  fs::path root;
  std::shared_ptr<agent::AgentStorage> storage;
};

void replayLastTen(benchmark::State& state, History& history) {
  for (auto _ : state) {
    const auto replay = history.storage->segments(history.storage->highestSeq() - 10);
    if (replay.size() != 10) state.SkipWithError("the replay did not return 10 segments");
    benchmark::DoNotOptimize(replay.data());
  }
}

double secondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Keeps the mean time of each benchmark as it reports it.
class TimeKeeper : public benchmark::ConsoleReporter {
 public:
  TimeKeeper() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  History shortHistory(50);
  History longHistory(5000);

  shortHistory.storage->highestSeq();
  const double indexing = secondsOf([&] { longHistory.storage->highestSeq(); });
  std::printf("indexing 5,000 stored segments once: %.3f s\n", indexing);

  benchmark::RegisterBenchmark("replay_last_10/stored:50", replayLastTen, std::ref(shortHistory));
  benchmark::RegisterBenchmark("replay_last_10/stored:5000", replayLastTen, std::ref(longHistory));
  benchmark::RegisterBenchmark("append_then_replay/stored:5000", [&](benchmark::State& state) {
    std::mt19937 random(7);
    for (auto _ : state) {
      longHistory.storage->appendSegment(segment(longHistory.storage->highestSeq() + 1, random));
      longHistory.storage->flush();
      benchmark::DoNotOptimize(longHistory.storage->segments(longHistory.storage->highestSeq() - 10));
    }
  });
  TimeKeeper reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto shortTime = reporter.seconds.find("replay_last_10/stored:50");
  const auto longTime = reporter.seconds.find("replay_last_10/stored:5000");
  if (shortTime == reporter.seconds.end() || longTime == reporter.seconds.end()) return 0;  // filtered out
  const double ratio = longTime->second / shortTime->second;
  std::printf("replay over 5,000 / over 50 stored segments: %.2fx (allowed %.1fx)\n", ratio, kAllowedRatio);
  return ratio <= kAllowedRatio ? 0 : 1;
}
