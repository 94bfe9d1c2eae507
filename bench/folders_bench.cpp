// Listing a capture folder of 20,000 entries (10,000 RAW files and their
// 10,000 sidecars) with the safe directory reader, against a bare readdir
// loop over the same folder in the same run. The reader should take no
// more than 1.5 times the bare loop.
#include <benchmark/benchmark.h>
#include <dirent.h>

#include <cstdio>
#include <memory>

#include "agent/folders/safe_directory_reader.h"
#include "tests/support/temp_folder.h"
#include "tests/agent/folders/fixtures/timing_report.h"

namespace {

using vantle::agent::SafeDirectoryReader;
using vantle::core::FrameCountRule::CountingMode;

std::unique_ptr<vantle::testing::TempFolder> folder;

void makeFolder() {
  folder = std::make_unique<vantle::testing::TempFolder>();
  char name[32];
  for (int i = 1; i <= 10000; ++i) {
    std::snprintf(name, sizeof name, "IMG_%05d.CR3", i);
    folder->write(name);
    std::snprintf(name, sizeof name, "IMG_%05d.xmp", i);
    folder->write(name);
  }
}

void BM_BareReaddir(benchmark::State& state) {
  const std::string path = folder->str();
  for (auto _ : state) {
    DIR* dir = opendir(path.c_str());
    int64_t entries = 0;
    while (const dirent* entry = readdir(dir)) {
      benchmark::DoNotOptimize(entry->d_type);
      ++entries;
    }
    closedir(dir);
    benchmark::DoNotOptimize(entries);
  }
}

void BM_SafeDirectoryReader(benchmark::State& state) {
  const SafeDirectoryReader reader;
  const std::string path = folder->str();
  for (auto _ : state) {
    auto listing = reader.read(path, CountingMode::rawOnly);
    if (listing.frameCount != 10000) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(listing);
  }
}

BENCHMARK(BM_BareReaddir)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SafeDirectoryReader)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  makeFolder();
  vantle::testing::TimingReport report;
  benchmark::RunSpecifiedBenchmarks(&report);
  report.ratio("reader vs bare readdir, 20,000 entries", "BM_SafeDirectoryReader", "BM_BareReaddir", 1.5);
  folder.reset();
  benchmark::Shutdown();
}
