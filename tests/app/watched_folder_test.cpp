// The agent watching a folder the user chose (--watch): counting, restarts
// over the same storage, and a stop in the middle of a burst of frames.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/app/agent_fixture.h"
#include "tests/support/eventually.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using CountingMode = core::FrameCountRule::CountingMode;
using core::VantleSnapshot;
using Kind = core::VantleMessage::Kind;

class WatchedFolderTest : public AgentTest {};

TEST_F(WatchedFolderTest, RawFramesCountOrphanImagesAreReportedAndCountAllCountsThem) {
  // Frames from before the start are found by the agent's first look.
  const fs::path capture = home() / "Shoot" / "Capture";
  fs::create_directories(capture);
  landFrame(capture, "IMG_0001.CR3");
  landFrame(capture, "IMG_0001.JPG");  // the camera's JPEG beside its RAW: the same capture
  landFrame(capture, "IMG_0002.CR3");
  landFrame(capture, "IMG_0003.JPG");  // a JPEG alone
  TempFolder::writeAt(capture / ".IMG_0004.CR3.part", {'r'});  // still being written
  RunningAgent agent = startAgent({"--watch", (home() / "Shoot").string()});
  auto companion = agent.companion();
  ASSERT_TRUE(companion);

  const auto raw = companion->waitForSnapshot([](const VantleSnapshot& s) { return s.orphanCount == 1; });
  ASSERT_TRUE(raw) << agent->transcript();
  EXPECT_EQ(raw->frameCount, 2);
  EXPECT_TRUE(raw->orphanWarning());
  EXPECT_TRUE(agent->waitForLine("Status: Capture \u00b7 2", kShotSeconds)) << agent->transcript();

  agent->send("count-all on");
  // The folder is read again under the new mode within the watcher's heartbeat.
  const auto all = companion->waitForSnapshot(
      [](const VantleSnapshot& s) { return s.countingMode == CountingMode::anyImage && s.frameCount == 3; });
  ASSERT_TRUE(all) << agent->transcript();
  EXPECT_FALSE(all->orphanWarning());
  agent.quit();
}

TEST_F(WatchedFolderTest, ARestartKeepsTheAgentShootAndNumbersAndACompanionAheadRaisesTheNumbers) {
  const fs::path root = home() / "Shoot", capture = root / "Capture", look2 = root / "Look 2";
  fs::create_directories(capture);
  fs::create_directories(look2);
  std::string agentID, shootID;
  landFrame(capture, "IMG_0001.CR3");
  landFrame(capture, "IMG_0002.CR3");
  {
    RunningAgent first = startAgent({"--watch", root.string()});
    auto companion = first.companion();
    ASSERT_TRUE(companion);
    // Frames elsewhere before the shot here has opened would only redirect the designation.
    ASSERT_TRUE(companion->waitForSnapshot([&](const VantleSnapshot& s) {
      return s.designatedPath == capture.string() && s.frameCount == 2 && s.shotOpenedAt;
    })) << first->transcript();
    landFrame(look2, "IMG_0003.CR3");
    ASSERT_TRUE(first->waitForLine("Shot closed: Capture +2 frames (seq 1)", kShotSeconds)) << first->transcript();
    ASSERT_TRUE(eventually([&] { return stored("current-shoot.txt").size() == 36; }, kShotSeconds));
    shootID = stored("current-shoot.txt");
    agentID = stored("agent-id.txt");
    first.quit();
  }
  ASSERT_EQ(storedSegments().size(), 1u);
  // Landed while no agent ran: counted, since the folder's count was restored.
  landFrame(capture, "IMG_0004.CR3");

  RunningAgent second = startAgent({"--watch", root.string()});
  // A companion that holds segment 1 is told nothing it has.
  auto current = second.companion(1);
  ASSERT_TRUE(current);
  // The first snapshot the agent built, not the empty one it may answer with before.
  const auto restored =
      current->waitForSnapshot([](const VantleSnapshot& s) { return s.agentID.has_value(); }, kStartSeconds);
  ASSERT_TRUE(restored) << second->transcript();
  EXPECT_EQ(restored->agentID, agentID);
  EXPECT_EQ(restored->shootID, shootID);
  EXPECT_EQ(restored->seq, 1u);
  EXPECT_FALSE(current->waitFor([](const auto& m) { return m.t == Kind::segment; }, 0));  // of those received
  second->send("status");
  EXPECT_TRUE(second->waitForLine("Shoot: running, ", kShotSeconds)) << second->transcript();

  // A companion holding a number this agent never issued (its storage was
  // put back from an older copy, say): numbering steps over it, so that
  // companion never takes a new segment for one it has.
  auto ahead = second.companion(40);
  // Answered once the numbering rose.
  ASSERT_TRUE(ahead && ahead->waitForSnapshot([](const VantleSnapshot&) { return true; }, kStartSeconds));
  ASSERT_TRUE(current->waitForSnapshot([&](const VantleSnapshot& s) {
    return s.designatedPath == capture.string() && s.shotOpenedAt;
  })) << second->transcript();
  second->send("end");  // closes the open shot into a segment at once
  EXPECT_TRUE(second->waitForLine("Shot closed: Capture +1 frames (seq 41)", kShotSeconds)) << second->transcript();
  const auto live = current->waitFor([](const auto& m) { return m.t == Kind::segment; }, kShotSeconds);
  ASSERT_TRUE(live);
  EXPECT_EQ(live->segment->seq, 41u);
  second.quit();
  ASSERT_EQ(storedSegments().size(), 2u);
  EXPECT_EQ(storedSegments()[1].seq, 41u);
}

TEST_F(WatchedFolderTest, AStopSignalDuringABurstOfFramesExitsCleanlyWithEveryAnnouncedSegmentStored) {
  const fs::path root = home() / "Burst";
  constexpr int kLooks = 12;
  for (int look = 1; look <= kLooks; ++look) fs::create_directories(root / ("Look " + std::to_string(look)));
  RunningAgent agent = startAgent({"--watch", root.string()});

  // A frame every few milliseconds; the frames move on to the next folder
  // every 3 seconds, a second longer than a designation must hold, so each
  // move closes the shot before it even when the agent runs behind.
  std::atomic<bool> stop{false};
  std::thread camera([&] {
    const auto start = std::chrono::steady_clock::now();
    for (int n = 1; !stop; ++n) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const int look = 1 + static_cast<int>(elapsed / 3) % kLooks;
      char name[32];
      std::snprintf(name, sizeof name, "IMG_%05d.CR3", n);
      landFrame(root / ("Look " + std::to_string(look)), name);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const auto shotLines = [&] {
    std::vector<std::string> lines = agent->outLines();
    std::erase_if(lines, [](const std::string& line) { return !line.starts_with("Shot closed: "); });
    return lines;
  };
  const bool closedTwo = eventually([&] { return shotLines().size() >= 2; }, 3 * kShotSeconds);
  if (closedTwo) {
    agent->send("end");  // one more segment, closing while the agent stops
    agent->signal(SIGTERM);
  }
  const auto exitCode = agent->waitForExit(kStartSeconds);
  stop = true;
  camera.join();
  ASSERT_TRUE(closedTwo) << agent->transcript();
  EXPECT_EQ(exitCode, 0) << agent->transcript();
  EXPECT_TRUE(agent->waitForLine("Stopping.", kStartSeconds));

  const std::vector<core::WireSegment> stored = storedSegments();
  std::map<uint64_t, core::WireSegment> bySeq;
  for (const auto& segment : stored) bySeq.emplace(segment.seq, segment);
  EXPECT_EQ(bySeq.size(), stored.size()) << "a number was stored twice";
  for (const std::string& line : shotLines()) {  // "Shot closed: FOLDER +N frames (seq S)"
    const uint64_t seq = std::stoull(line.substr(line.rfind("(seq ") + 5));
    EXPECT_TRUE(bySeq.contains(seq)) << line << ": announced but not stored";
  }
}

// A real camera's frame, landed as a tethering tool does: written under a
// hidden name, then renamed into place.
void landCameraFrame(const fs::path& folder, const std::string& name) {
  const fs::path hidden = folder / ("." + name + ".part");
  fs::copy_file(fs::path(VANTLE_CAMERA_FILES) / "canon-r6-pruned.cr3", hidden);
  fs::rename(hidden, folder / name);
}

fs::path writeHook(const fs::path& home, const std::string& name, const std::string& script) {
  const fs::path hook = home / "config/OrvaneVantle/hooks" / name;
  fs::create_directories(hook.parent_path());
  std::ofstream(hook) << "#!/bin/sh\n" << script << "\n";
  fs::permissions(hook, fs::perms::owner_all);
  return hook;
}

TEST_F(WatchedFolderTest, HooksHearOfFramesAndShotsAndOneThatHangsDelaysNothing) {
  const fs::path root = home() / "Shoot", capture = root / "Capture", look2 = root / "Look 2";
  fs::create_directories(capture);
  fs::create_directories(look2);
  // The frame hook never ends; the shot hook writes what it was told, whole.
  writeHook(home(), "frame-landed",
            "echo \"$VANTLE_FILE\" >> \"$HOME/frames.txt\"; echo $$ > \"$HOME/hook.pid\"; exec sleep 1000");
  writeHook(home(), "shot-closed",
            "env | grep '^VANTLE_' | sort > \"$HOME/.shot.part\" && mv \"$HOME/.shot.part\" \"$HOME/shot-$VANTLE_SEQ\"");
  landCameraFrame(capture, "IMG_0001.CR3");
  RunningAgent agent = startAgent({"--watch", root.string()});
  auto companion = agent.companion();
  ASSERT_TRUE(companion);
  ASSERT_TRUE(companion->waitForSnapshot([&](const VantleSnapshot& s) {
    return s.designatedPath == capture.string() && s.frameCount == 1 && s.shotOpenedAt;
  })) << agent->transcript();
  ASSERT_TRUE(eventually([&] { return fs::exists(home() / "frames.txt"); }, kShotSeconds)) << agent->transcript();

  // The frame hook hangs from here on: counting and the shot go on.
  landCameraFrame(capture, "IMG_0002.CR3");
  landCameraFrame(capture, "IMG_0003.CR3");
  ASSERT_TRUE(companion->waitForSnapshot([](const VantleSnapshot& s) { return s.frameCount == 3; }))
      << agent->transcript();
  landCameraFrame(look2, "IMG_0004.CR3");
  ASSERT_TRUE(agent->waitForLine("Shot closed: Capture +3 frames (seq 1)", kShotSeconds)) << agent->transcript();
  ASSERT_TRUE(eventually([&] { return fs::exists(home() / "shot-1"); }, kShotSeconds)) << agent->transcript();
  const std::string told = readText(home() / "shot-1");
  EXPECT_THAT(told, ::testing::HasSubstr("VANTLE_EVENT=shot-closed\n"));
  EXPECT_THAT(told, ::testing::HasSubstr("VANTLE_FOLDER=" + capture.string() + "\n"));
  EXPECT_THAT(told, ::testing::HasSubstr("VANTLE_FRAMES=3\n"));
  EXPECT_THAT(told, ::testing::HasSubstr("VANTLE_SEQ=1\n"));
  EXPECT_THAT(told, ::testing::HasSubstr("VANTLE_SHOOT_ID="));
  EXPECT_EQ(readText(home() / "frames.txt"), (capture / "IMG_0001.CR3").string() + "\n");

  // Quitting, even from its standard input, stops the hanging hook on the way out.
  agent.quit();
  const pid_t hook = std::stoi(readText(home() / "hook.pid"));
  EXPECT_TRUE(eventually([&] { return processGone(hook); }, kShotSeconds));
}

}  // namespace
}  // namespace vantle::testing
