// Starting a watched-folder source on a large archive: 20,000 folders four
// levels deep, the session's frames in its "Capture" folder. Reports how long
// start() keeps its caller (the coordinator's queue) and how long until the
// designated folder is known. Target: start() returns within 50 ms; the
// first reading comes before the watches are all in place.
#include <future>

#include "agent/capture/observed_folder_source.h"
#include "bench/landing_frames.h"

int main() {
  using namespace vantle::bench;
  vantle::testing::TempFolder archive;
  const fs::path root = archive / "Archive";
  // 20 years of 20 clients of 50 looks.
  const int folders = 20'000;
  for (int f = 0; f < folders; ++f) {
    fs::create_directories(root / ("Year " + std::to_string(f / 1000)) / ("Client " + std::to_string(f / 50 % 20)) /
                           ("Look " + std::to_string(f % 50)));
  }
  fs::create_directories(root / "Capture");
  landFrame(root / "Capture", 1);

  std::promise<Clock::time_point> designated;
  std::atomic_flag once;
  auto source = vantle::agent::ObservedFolderSource::make(root);
  source->setOnDesignationChanged([&](const vantle::agent::DesignationReading&) {
    if (!once.test_and_set()) designated.set_value(Clock::now());
  });
  const auto start = Clock::now();
  source->start();
  const double returned = secondsSince(start);
  auto designatedAt = designated.get_future();
  const bool isKnown = designatedAt.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  const double known = isKnown ? secondsSince(start, designatedAt.get()) : -1;
  std::printf("Watched-folder source on %d folders: start() returned in %.1f ms, designation known after %.1f ms\n",
              folders, returned * 1e3, known * 1e3);
  source->stop();
  return verdict(returned <= 0.050 && known >= 0);
}
