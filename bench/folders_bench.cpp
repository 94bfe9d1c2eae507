// Listing a capture folder of 20,000 entries (10,000 RAW files and their
// 10,000 sidecars) with the safe directory reader, against a bare readdir
// loop over the same folder in the same run. The reader should take no
// more than 1.5 times the bare loop. Exits non-zero when it takes more.
#include <benchmark/benchmark.h>
#include <dirent.h>

#include "agent/folders/safe_directory_reader.h"
#include "bench/landing_frames.h"
#include "tests/agent/folders/fixtures/timing_report.h"

namespace {

using vantle::agent::SafeDirectoryReader;
using namespace vantle::bench;
using vantle::core::FrameCountRule::CountingMode;

std::unique_ptr<vantle::testing::TempFolder> folder;

void makeFolder() {
  folder = std::make_unique<vantle::testing::TempFolder>();
  for (int i = 1; i <= 10000; ++i) {
    const std::string stem = "IMG_" + std::to_string(100'000 + i).substr(1);  // 5 digits
    folder->write(stem + ".CR3");
    folder->write(stem + ".xmp");
  }
}

void bareReaddir(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  while (const dirent* entry = readdir(dir)) benchmark::DoNotOptimize(entry->d_type);
  closedir(dir);
}

bool readerCounts(SafeDirectoryReader& reader, const std::string& path) {
  auto listing = reader.read(path, CountingMode::rawOnly);
  benchmark::DoNotOptimize(listing);
  return listing.frameCount == 10000;
}

void BM_BareReaddir(benchmark::State& state) {
  const std::string path = folder->str();
  for (auto _ : state) bareReaddir(path);
}

void BM_SafeDirectoryReader(benchmark::State& state) {
  SafeDirectoryReader reader;
  const std::string path = folder->str();
  for (auto _ : state) {
    if (!readerCounts(reader, path)) state.SkipWithError("wrong count");
  }
}

// The verdict: bare loop and reader alternate round by round, and their
// medians are compared. On a shared machine the load drifts within seconds,
// so two benchmarks run one after the other can meet different machines.
bool sideBySide(double atMost) {
  SafeDirectoryReader reader;
  const std::string path = folder->str();
  std::vector<double> bare, read;
  bool counted = true;
  for (int round = 0; round < 400; ++round) {
    bare.push_back(secondsOf([&] { bareReaddir(path); }));
    read.push_back(secondsOf([&] { counted = readerCounts(reader, path) && counted; }));
  }
  const double readMedian = percentile(read, 0.5), bareMedian = percentile(bare, 0.5);
  const bool holds = counted && readMedian / bareMedian <= atMost;
  std::printf("reader vs bare readdir, 20,000 entries, alternating, medians of 400: %.3f ms / %.3f ms = %.2f× "
              "(target ≤ %.2f×) %s\n",
              readMedian * 1e3, bareMedian * 1e3, readMedian / bareMedian, atMost, holds ? "ok" : "MISSED");
  return holds;
}

BENCHMARK(BM_BareReaddir)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SafeDirectoryReader)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  makeFolder();
  vantle::testing::TimingReport report;
  benchmark::RunSpecifiedBenchmarks(&report);
  report.ratio("reader vs bare readdir, 20,000 entries, one after the other", "BM_SafeDirectoryReader",
               "BM_BareReaddir", 1.5);
  const bool holds = sideBySide(1.5);
  folder.reset();
  benchmark::Shutdown();
  return holds ? 0 : 1;
}
