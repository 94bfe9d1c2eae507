#include "agent/folders/frame_watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "agent/capture_path.h"
#include "tests/agent/folders/fixtures/recorder.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::WatchMode;
using core::FrameCountRule::CountingMode;
using Listing = FrameWatcher::Listing;
using testing::Recorder;

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

class FrameWatcherTest : public ::testing::Test {
 protected:
  std::shared_ptr<FrameWatcher> make(FrameWatcher::Settings settings) {
    auto watcher = FrameWatcher::make(std::move(settings));
    watcher->setOnChange([this](const Listing& listing) { reports.add(listing); });
    return watcher;
  }
  bool reported(int64_t frames, double seconds = 5.0) {
    return reports.waitUntil([&](const Listing& l) { return l.frameCount == frames; }, seconds);
  }

  Recorder<Listing> reports;
  testing::TempFolder folder;
  const std::string capture = folder.folder("Capture").string();
};

TEST_F(FrameWatcherTest, ALocalFolderIsWatchedByEventsAndReportsOnlyChanges) {
  folder.write("Capture/IMG_0001.CR3");
  folder.write("Capture/IMG_0003.JPG");
  // A heartbeat too slow to matter: whatever arrives here came from events.
  auto watcher = make({.localHeartbeat = 60});
  reports.add(watcher->watch(capture));
  ASSERT_TRUE(reported(1));
  EXPECT_EQ(watcher->mode(), WatchMode::fsevents);

  const auto start = std::chrono::steady_clock::now();
  folder.write("Capture/IMG_0002.CR3");
  ASSERT_TRUE(reported(2));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

  // Events that change no count (a sidecar, a rewrite) report nothing: the
  // report of a frame landing after them is the next one.
  folder.write("Capture/IMG_0002.cos", "adjusted");
  folder.write("Capture/IMG_0002.CR3", "rewritten");
  folder.write("Capture/IMG_0004.CR3");
  ASSERT_TRUE(reported(3));
  EXPECT_EQ(reports.size(), 3u);

  // A new counting mode changes no file, yet counts again at once.
  watcher->setCounting(CountingMode::anyImage);
  EXPECT_TRUE(reported(4));
}

TEST_F(FrameWatcherTest, AFolderThatComesBackIsWatchedByEventsAgain) {
  folder.write("Capture/IMG_0001.CR3");
  auto watcher = make({.localHeartbeat = 60});  // events only
  reports.add(watcher->watch(capture));
  ASSERT_TRUE(reported(1));

  // The card is taken out: the folder cannot be read.
  fs::remove_all(capture);
  ASSERT_TRUE(reports.waitUntil([](const Listing& l) { return l.readFailed; }));
  // It is put back and the camera goes on shooting.
  folder.write("Capture/IMG_0001.CR3");
  folder.write("Capture/IMG_0002.CR3");
  EXPECT_TRUE(reports.waitUntil([](const Listing& l) { return !l.readFailed && l.frameCount == 2; }));
  folder.write("Capture/IMG_0003.CR3");
  EXPECT_TRUE(reported(3));
}

TEST_F(FrameWatcherTest, TheHeartbeatCatchesWhatNoEventAnnounced) {
  folder.write("Capture/IMG_0001.CR3");
  auto watcher = make({.localHeartbeat = 0.2});
  reports.add(watcher->watch(capture));
  ASSERT_TRUE(reported(1));

  // The folder is replaced: the events follow the old one away.
  fs::rename(capture, folder / "Old");
  fs::create_directory(capture);
  pause(0.3);
  folder.write("Capture/IMG_0003.CR3");
  folder.write("Capture/IMG_0004.CR3");
  ASSERT_TRUE(reported(2, 2.0));
}

TEST_F(FrameWatcherTest, AFolderOffTheLocalVolumesIsPolled) {
  auto watcher = make({.reader = SafeDirectoryReader([](const std::string&) { return false; }),
                       .remotePollInterval = 0.1,
                       .localHeartbeat = 60});
  reports.add(watcher->watch(capture));
  ASSERT_TRUE(reported(0));
  EXPECT_EQ(watcher->mode(), WatchMode::polling);
  folder.write("Capture/IMG_0001.CR3");
  EXPECT_TRUE(reported(1, 2.0));
}

TEST_F(FrameWatcherTest, EveryWatchReturnsItsFirstListingAndLeavesTheOldFolder) {
  folder.write("Capture/IMG_0001.CR3");
  auto watcher = make({.localHeartbeat = 0.05});
  reports.add(watcher->watch(capture));
  reports.add(watcher->watch(capture));
  ASSERT_TRUE(reports.waitFor(2));
  EXPECT_EQ(reports.values()[0], reports.values()[1]);

  // A missing folder is reported as failed.
  reports.add(watcher->watch((folder / "Later").string()));
  ASSERT_TRUE(reports.waitFor(3));
  EXPECT_TRUE(reports.values()[2].readFailed);
  EXPECT_EQ(reports.values()[2].path, CapturePath::canonical(folder / "Later"));

  // No folder at all: one empty listing, and nothing watched after it
  // (that listing is made once the old watch is torn down).
  reports.add(watcher->watch(std::nullopt));
  ASSERT_TRUE(reports.waitFor(4));
  folder.write("Capture/IMG_0002.CR3");
  folder.write("Later/IMG_0001.CR3");
  watcher->drain();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports.values().back(), Listing{});  // no path, local, not failed
}

TEST_F(FrameWatcherTest, NothingIsReportedAfterStopOrRelease) {
  auto watcher = make({.localHeartbeat = 0.05});
  reports.add(watcher->watch(capture));
  ASSERT_TRUE(reports.waitFor(1));
  watcher->stop();
  watcher->drain();  // torn down: no watch and no heartbeat is left to report
  folder.write("Capture/IMG_0001.CR3");
  watcher->drain();
  EXPECT_EQ(reports.size(), 1u);

  reports.add(watcher->watch(capture));
  ASSERT_TRUE(reported(1));
  std::weak_ptr<FrameWatcher> released = watcher;
  watcher.reset();
  ASSERT_TRUE(released.expired());  // queued work holds it weakly: nothing of it is left to report
  folder.write("Capture/IMG_0002.CR3");
  EXPECT_EQ(reports.size(), 2u);
}

}  // namespace
}  // namespace vantle::agent
