// Starting a watched-folder source on a large archive: 20,000 folders four
// levels deep, the session's frames in its "Capture" folder. Reports how long
// start() keeps its caller (the coordinator's queue) and how long until the
// designated folder is known. Target: start() returns within 50 ms; the
// first reading comes before the watches are all in place.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "agent/capture/observed_folder_source.h"
#include "bench/landing_frames.h"
#include "support/thread_pool.h"
#include "tests/support/temp_folder.h"

int main() {
  namespace fs = std::filesystem;
  using Clock = std::chrono::steady_clock;
  vantle::testing::TempFolder archive;
  const fs::path root = archive / "Archive";
  // 20 years of 20 clients of 50 looks.
  const int folders = 20'000;
  for (int f = 0; f < folders; ++f) {
    fs::create_directories(root / ("Year " + std::to_string(f / 1000)) / ("Client " + std::to_string(f / 50 % 20)) /
                           ("Look " + std::to_string(f % 50)));
  }
  fs::create_directories(root / "Capture");
  vantle::bench::landFrame(root / "Capture", 1);

  std::mutex mutex;
  std::condition_variable designated;
  std::optional<Clock::time_point> designatedAt;
  auto source = vantle::agent::ObservedFolderSource::make(root);
  source->setOnDesignationChanged([&](const vantle::agent::DesignationReading&) {
    std::lock_guard lock(mutex);
    if (!designatedAt) designatedAt = Clock::now();
    designated.notify_all();
  });
  const auto start = Clock::now();
  source->start();
  const double returned = std::chrono::duration<double>(Clock::now() - start).count();
  {
    std::unique_lock lock(mutex);
    designated.wait_for(lock, std::chrono::seconds(30), [&] { return designatedAt.has_value(); });
  }
  const double known = designatedAt ? std::chrono::duration<double>(*designatedAt - start).count() : -1;
  std::printf("Watched-folder source on %d folders: start() returned in %.1f ms, designation known after %.1f ms\n",
              folders, returned * 1e3, known * 1e3);
  source->stop();
  vantle::support::ThreadPool::stopShared();
  const bool holds = returned <= 0.050 && known >= 0;
  std::printf("%s\n", holds ? "ok" : "MISSED");
  return holds ? 0 : 1;
}
