#include "agent/folders/directory_watcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>

#include "support/log.h"
#include "support/thread_pool.h"
#include "tests/agent/folders/fixtures/recorder.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using Batch = std::vector<std::string>;
using testing::eventually;

class DirectoryWatcherTest : public ::testing::Test {
 protected:
  // A watcher started on its own queue, as the frame watcher starts its
  // own: its watches are in place when this returns.
  std::shared_ptr<DirectoryWatcher> watch(std::vector<std::string> roots, DirectoryWatcher::Settings settings = {}) {
    auto watcher = DirectoryWatcher::make(
        std::move(roots), queue, [this](const Batch& batch) { batches.add(batch); }, settings);
    queue.sync([&] { watcher->start(); });
    return watcher;
  }
  // Whether `path` is delivered within `seconds`; with 0, whether it was so far.
  bool delivered(const fs::path& path, double seconds = 5) {
    return batches.waitUntil(
        [&](const Batch& b) { return std::find(b.begin(), b.end(), path.string()) != b.end(); }, seconds);
  }
  // Lands a new frame in `in` every tenth of a second until one of them is
  // delivered: true once watching works there, false after ten seconds.
  bool newFramesAreSeen(const fs::path& in) {
    int n = 0;
    return eventually(
        [&] {
          const fs::path frame = in / ("IMG_9" + std::to_string(n++) + ".CR3");
          testing::TempFolder::writeAt(frame, {});
          return delivered(frame, 0.1);
        },
        10);
  }

  support::ThreadPool pool{2};
  support::SerialQueue queue{"com.orvane.vantle.observed", pool};
  testing::Recorder<Batch> batches;
  testing::TempFolder folder;
};

TEST_F(DirectoryWatcherTest, FollowsTheWholeTreeButNotHousekeepingFolders) {
  folder.folder("A/Existing");
  folder.folder("A/CaptureOne/Cache");
  auto watcher = watch({(folder / "A").string()});

  folder.write("A/CaptureOne/Cache/IMG_0001.CR3.cot");
  folder.write("A/Existing/IMG_0001.CR3");
  EXPECT_TRUE(delivered(folder / "A/Existing/IMG_0001.CR3"));

  // A folder made later, with content that lands before its own watch can
  // exist; renamed inside the tree, it is still watched, under its new name.
  folder.write("A/New/Deeper/IMG_0003.CR3");
  EXPECT_TRUE(delivered(folder / "A/New/Deeper/IMG_0003.CR3"));
  fs::rename(folder / "A/New", folder / "A/Renamed");
  folder.write("A/Renamed/Deeper/IMG_0005.CR3");
  EXPECT_TRUE(delivered(folder / "A/Renamed/Deeper/IMG_0005.CR3"));

  EXPECT_FALSE(delivered(folder / "A/CaptureOne/Cache/IMG_0001.CR3.cot", 0));
}

TEST_F(DirectoryWatcherTest, DeliversTheFirstChangeAtOnceAndCoalescesTheRest) {
  // A long latency makes "at once" and "coalesced" easy to tell apart.
  auto watcher = watch({folder.str()}, {.latency = 1.0});
  const auto start = std::chrono::steady_clock::now();
  folder.write("IMG_0000.CR3");
  ASSERT_TRUE(batches.waitFor(1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));

  for (int i = 1001; i <= 1030; ++i) folder.write("IMG_" + std::to_string(i) + ".CR3");
  ASSERT_TRUE(delivered(folder / "IMG_1030.CR3"));
  EXPECT_EQ(batches.size(), 2u);
  EXPECT_THAT(batches.values().back(), ::testing::Contains((folder / "IMG_1001.CR3").string()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(DirectoryWatcherTest, AFrameRenamedFromAHiddenNameIsDeliveredAtOnceAlone) {
  folder.folder("Capture");
  // A window far longer than the wait: only a delivery "at once" arrives in time.
  auto watcher = watch({(folder / "Capture").string()}, {.recursive = false, .latency = 60, .ignoreHidden = true});
  folder.write("Capture/.IMG_0001.CR3.part", "raw");
  fs::rename(folder / "Capture/.IMG_0001.CR3.part", folder / "Capture/IMG_0001.CR3");
  EXPECT_TRUE(delivered(folder / "Capture/IMG_0001.CR3"));
  EXPECT_FALSE(delivered(folder / "Capture/.IMG_0001.CR3.part", 0));
}

TEST_F(DirectoryWatcherTest, StartedElsewhereItWalksTheTreeOnItsQueueAndThenReportsTheRoot) {
  folder.write("Shoot/Capture/IMG_0001.CR3");
  auto watcher = DirectoryWatcher::make(
      {folder.str()}, queue, [this](const Batch& batch) { batches.add(batch); }, {});
  // The queue is busy: a start that walked the tree on this thread would
  // be done at once and say nothing more.
  std::promise<void> gate;
  queue.post([opened = gate.get_future().share()] { opened.wait(); });
  watcher->start();
  EXPECT_TRUE(watcher->isStarted());
  gate.set_value();
  ASSERT_TRUE(delivered(folder.path()));  // watching now: whatever happened before, look again
  folder.write("Shoot/Capture/IMG_0002.CR3");
  EXPECT_TRUE(delivered(folder / "Shoot/Capture/IMG_0002.CR3"));
}

TEST_F(DirectoryWatcherTest, ARootThatGoesAwayIsWatchedAgainWhenItComesBack) {
  folder.folder("Card/DCIM");
  const fs::path card = folder / "Card";
  auto watcher = watch({card.string()});
  fs::remove_all(card);  // the card is taken out
  ASSERT_TRUE(delivered(card));
  folder.write("Card/DCIM/IMG_0001.CR3");  // and put back
  EXPECT_TRUE(newFramesAreSeen(card / "DCIM"));

  // A root that is not there at the start is watched once it appears.
  auto later = watch({(folder / "Later").string()});
  folder.folder("Later");
  EXPECT_TRUE(newFramesAreSeen(folder / "Later"));
}

TEST_F(DirectoryWatcherTest, RunningOutOfWatchesIsLoggedOnceAndWatchingGoesOn) {
  for (const char* name : {"a", "b", "c", "d", "e"}) folder.folder(name);
  support::log::Capture log;
  auto watcher = watch({folder.str()}, {.maximumWatches = 2});
  folder.write("f/IMG_0001.CR3");
  folder.write("g/IMG_0002.CR3");
  folder.write("IMG_0003.CR3");
  EXPECT_TRUE(delivered(folder / "IMG_0003.CR3"));
  EXPECT_TRUE(delivered(folder / "g"));
  EXPECT_THAT(log.messages("folders"), ::testing::ElementsAre(::testing::HasSubstr("inotify watch limit reached")));
}

}  // namespace
}  // namespace vantle::agent
