// The coordinator over real parts: real folders watched through inotify, a
// real storage root, real thumbnails of generated JPEGs. Only the session
// source is scripted, and time is a clock the test moves, so debounces, idle
// time and gaps pass without sleeping.
#include "agent/engine/agent_coordinator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/capture/session_source.h"
#include "tests/agent/folders/fixtures/images.h"
#include "tests/support/eventually.h"
#include "tests/support/manual_clock.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::AgentStatus;
using core::VantleSnapshot;
using testing::eventually;
using ::testing::ElementsAre;
using ::testing::Pair;

// A session source whose reading the test sets, heard at each poll or,
// with announce(), at once.
class ScriptedSource final : public SessionSource {
 public:
  DesignationReading currentReading() const override {
    std::lock_guard lock(mutex_);
    return reading_;
  }
  void start() override {}
  void stop() override { ++stops; }
  void setOnDesignationChanged(DesignationHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  void set(const DesignationReading& reading) {
    std::lock_guard lock(mutex_);
    reading_ = reading;
  }

  // Tells the coordinator of the current reading, as a source does between polls.
  void announce() {
    std::unique_lock lock(mutex_);
    const DesignationHandler handler = handler_;
    const DesignationReading reading = reading_;
    lock.unlock();
    if (handler) handler(reading);
  }

  std::atomic<int> stops{0};

 private:
  mutable std::mutex mutex_;
  DesignationReading reading_;
  DesignationHandler handler_;
};

// Everything the coordinator hands to its callbacks, readable from the test.
class Recorder {
 public:
  AgentCoordinator::Callbacks callbacks() {
    return {
        .onSnapshot = [this](const VantleSnapshot& s) { add(snapshots_, s); },
        .onSegment = [this](const core::WireSegment& s) { add(segments_, s); },
        .onFrameThumbnail = [this](const AgentCoordinator::FrameThumbnail& t) { add(thumbnails_, t); },
        .onFrameCleared = [this] { add(cleared_, true); },
        .onShootStateChanged = [this](bool running, bool resumable) { add(shootStates_, {running, resumable}); },
        .onVerification = [this](const core::ShootVerification& v) { add(verifications_, v); },
    };
  }

  std::vector<VantleSnapshot> snapshots() const { return copy(snapshots_); }
  std::vector<core::WireSegment> segments() const { return copy(segments_); }
  std::vector<AgentCoordinator::FrameThumbnail> thumbnails() const { return copy(thumbnails_); }
  size_t cleared() const { return copy(cleared_).size(); }
  std::vector<std::pair<bool, bool>> shootStates() const { return copy(shootStates_); }
  std::vector<core::ShootVerification> verifications() const { return copy(verifications_); }

  VantleSnapshot last() const {
    std::lock_guard lock(mutex_);
    return snapshots_.empty() ? VantleSnapshot{} : snapshots_.back();
  }
  // Waits until the last published snapshot satisfies `holds`.
  template <typename P>
  bool waitFor(P holds, double seconds = 10) {
    return eventually([&] { return holds(last()); }, seconds);
  }

 private:
  template <typename T>
  void add(std::vector<T>& list, T value) {
    std::lock_guard lock(mutex_);
    list.push_back(std::move(value));
  }
  template <typename T>
  std::vector<T> copy(const std::vector<T>& list) const {
    std::lock_guard lock(mutex_);
    return list;
  }

  mutable std::mutex mutex_;
  std::vector<VantleSnapshot> snapshots_;
  std::vector<core::WireSegment> segments_;
  std::vector<AgentCoordinator::FrameThumbnail> thumbnails_;
  std::vector<bool> cleared_;
  std::vector<std::pair<bool, bool>> shootStates_;
  std::vector<core::ShootVerification> verifications_;
};

// A frame written whole under a hidden name, then renamed into place, so a
// listing never sees half of it.
void landFrame(const fs::path& folder, const std::string& name, const std::vector<uint8_t>& bytes = {'r', 'a', 'w'}) {
  const fs::path hidden = folder / ("." + name + ".part");
  testing::TempFolder::writeAt(hidden, bytes);
  fs::rename(hidden, folder / name);
}

class CoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::canonical(captures.path());
    storageRoot = fs::canonical(stored.path());
    storage = std::make_shared<AgentStorage>(storageRoot, clock);
  }

  void TearDown() override { release(); }

  // Makes and starts a coordinator on the scripted source; ticks come every 20 ms.
  void begin(double pollInterval = 0.02) {
    AgentCoordinator::Services s;
    s.storage = storage;
    s.clock = &clock;
    // The frame watcher's last reading may still run once the coordinator is
    // gone: what it records lives as long as the readers do.
    s.frames.reader = SafeDirectoryReader([seen = seen](const std::string& path) { return seen->probe(path); });
    s.latestFrames.delays = {0.01, 0.02, 0.05, 0.1, 0.2};
    s.checkDisk = [seen = seen](const std::optional<std::string>& path) {
      std::lock_guard lock(seen->mutex);
      seen->checkedDisks.push_back(path);
    };
    coordinator =
        AgentCoordinator::make({.source = source, .debounce = 2.0, .designationPollInterval = pollInterval}, s);
    coordinator->setCallbacks(recorder.callbacks());
    coordinator->start();
  }

  // Stops and lets go of the coordinator, and waits until it is gone.
  void release() {
    if (!coordinator) return;
    coordinator->stop();
    std::weak_ptr<AgentCoordinator> weak = coordinator;
    coordinator.reset();
    ASSERT_TRUE(eventually([&] { return weak.expired(); })) << "something still holds the coordinator";
  }

  // Holds the readings of `folder` from now on; none: lets them go.
  void gate(const std::optional<fs::path>& folder) {
    {
      std::lock_guard lock(mutex);
      gatedFolder = folder ? std::optional(folder->string()) : std::nullopt;
    }
    gateOpened.notify_all();
  }
  size_t readsOfFolder(const fs::path& folder) {
    std::lock_guard lock(mutex);
    return std::count(readsOf.begin(), readsOf.end(), folder.string());
  }
  size_t ticks() {
    std::lock_guard lock(mutex);
    return checkedDisks.size();
  }

  // A reading of `folder` in the session `session` (none: nothing designated).
  DesignationReading sessionReading(const std::optional<fs::path>& folder) {
    DesignationReading reading;
    if (folder) {
      reading.designatedPath = folder->string();
      reading.sessionName = session;
      reading.sessionRoot = (sessionRoot ? *sessionRoot : folder->parent_path()).string();
      reading.documentKind = core::DocumentKind::session;
      reading.status = core::AgentStatus::ok;
      reading.isCameraConnected = true;
    }
    return reading;
  }

  fs::path folder(const std::string& name) {
    fs::create_directories(root / name);
    return root / name;
  }

  // Waits for `count` poll ticks, the last of which began after this call,
  // so whatever was observed so far was observed at the clock's present time.
  void settle(size_t count = 2) {
    const size_t now = ticks();
    ASSERT_TRUE(eventually([&] { return ticks() >= now + count; })) << "the poll timer stopped";
  }

  // Designates `path` and waits until the coordinator has applied it.
  void designate(const std::optional<fs::path>& path) {
    const size_t cleared = recorder.cleared();
    source->set(sessionReading(path));
    ASSERT_TRUE(eventually([&] { return recorder.cleared() > cleared; })) << "the designation was not applied";
    settle();
  }

  // Designates `path` and lets the debounce pass, so a shot opens there.
  void openShot(const fs::path& path) {
    designate(path);
    clock.advance(3);
    ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) {
      return s.shotOpenedAt && s.designatedPath == path.string();
    })) << "no shot opened in " << path;
  }

  // Moves the designation away (to `next`, or to nothing) and waits for the
  // closed shot's segment.
  core::WireSegment closeShotMovingTo(const std::optional<fs::path>& next) {
    const size_t segments = recorder.segments().size();
    designate(next);
    clock.advance(3);
    EXPECT_TRUE(eventually([&] { return recorder.segments().size() > segments; })) << "no shot closed";
    return recorder.segments().empty() ? core::WireSegment{} : recorder.segments().back();
  }

  void land(const fs::path& in, int first, int count) {
    for (int i = first; i < first + count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "IMG_%04d.CR3", i);
      landFrame(in, name);
    }
  }

  bool frameCountReaches(int64_t count) {
    return recorder.waitFor([&](const VantleSnapshot& s) { return s.frameCount == count; });
  }

  // Starts the coordinator, opens a shot in the folder `name` and lands
  // `frames` frames there.
  fs::path shootInto(const std::string& name, int frames) {
    begin();
    const fs::path path = folder(name);
    openShot(path);
    land(path, 1, frames);
    EXPECT_TRUE(frameCountReaches(frames)) << "the frames in " << path << " were not counted";
    return path;
  }

  std::string storedShootID() { return testing::readText(storageRoot / "current-shoot.txt"); }

  testing::TempFolder captures;
  testing::TempFolder stored;
  fs::path root;
  fs::path storageRoot;
  testing::ManualClock clock{testing::at(0)};
  std::shared_ptr<AgentStorage> storage;
  std::shared_ptr<ScriptedSource> source = std::make_shared<ScriptedSource>();
  std::string session = "Lookbook";
  std::optional<fs::path> sessionRoot;  // none: the designated folder's parent
  Recorder recorder;
  std::shared_ptr<AgentCoordinator> coordinator;

  // What the coordinator's readings and ticks did; a gate can hold the readings of one folder.
  struct Seen {
    // The locality probe of every reading.
    bool probe(const std::string& path) {
      std::unique_lock lock(mutex);
      readsOf.push_back(path);
      if (gatedFolder && path == *gatedFolder) {
        gateHit = true;
        gateOpened.wait(lock, [&] { return !gatedFolder; });
      }
      return !remote.contains(path);
    }
    std::mutex mutex;
    std::set<std::string> remote;  // folders the probe calls remote: listed by polls, not events
    std::condition_variable gateOpened;
    std::optional<std::string> gatedFolder;
    std::atomic<bool> gateHit{false};
    std::vector<std::string> readsOf;
    std::vector<std::optional<std::string>> checkedDisks;
  };
  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
  std::mutex& mutex = seen->mutex;
  std::condition_variable& gateOpened = seen->gateOpened;
  std::optional<std::string>& gatedFolder = seen->gatedFolder;
  std::atomic<bool>& gateHit = seen->gateHit;
  std::vector<std::string>& readsOf = seen->readsOf;
  std::vector<std::optional<std::string>>& checkedDisks = seen->checkedDisks;
};

TEST_F(CoordinatorTest, TheFirstClosedShotOfAFreshAgentStartsAShootWithImagesOfItsLastFrame) {
  begin();
  const fs::path look = folder("Capture/Look 1");
  openShot(look);
  coordinator->setCounting(core::FrameCountRule::CountingMode::anyImage);
  for (int i = 1; i <= 3; ++i) {
    landFrame(look, "IMG_000" + std::to_string(i) + ".JPG", testing::jpegImage(1600, 1000));
  }
  ASSERT_TRUE(frameCountReaches(3));

  // The newest frame's thumbnail comes once the shutter pauses.
  clock.advance(11);
  ASSERT_TRUE(eventually([&] {
    return !recorder.thumbnails().empty() && recorder.thumbnails().back().fileName == "IMG_0003.JPG";
  }));
  EXPECT_EQ(recorder.thumbnails().back().path, (look / "IMG_0003.JPG").string());

  const core::WireSegment segment = closeShotMovingTo(folder("Capture/Look 2"));
  EXPECT_EQ(segment.seq, 1u);
  EXPECT_EQ(segment.path, look.string());
  EXPECT_EQ(segment.framesAdded, 3);
  EXPECT_EQ(segment.lastFileName, "IMG_0003.JPG");
  EXPECT_FALSE(segment.isRevisit);
  ASSERT_TRUE(segment.shootID);
  EXPECT_EQ(storedShootID(), *segment.shootID);
  EXPECT_THAT(recorder.shootStates(), ElementsAre(Pair(true, false)));
  EXPECT_TRUE(coordinator->isShootRunning());

  // Images made once at close: a 512-pixel thumbnail and a 1200-pixel preview.
  ASSERT_TRUE(segment.thumbnail && segment.preview);
  const auto thumbnail = testing::decode(*segment.thumbnail);
  const auto preview = testing::decode(*segment.preview);
  ASSERT_TRUE(thumbnail && preview);
  EXPECT_EQ(thumbnail->width, 512);
  EXPECT_EQ(preview->width, 1200);

  coordinator->drain();
  storage->flush();
  EXPECT_EQ(storage->allSegments(), std::vector<core::WireSegment>{segment});

  // Both folders are counted ones; a folder never seen is not.
  EXPECT_TRUE(coordinator->isCountedCaptureFile((look / "IMG_0001.JPG").string()));
  EXPECT_TRUE(coordinator->isCountedCaptureFile((root / "Capture/Look 2/IMG_0009.CR3").string()));
  EXPECT_FALSE(coordinator->isCountedCaptureFile((root / "Capture/IMG_0001.JPG").string()));
}

TEST_F(CoordinatorTest, ALinkToTheFolderIsNoMoveAndARevisitStartsFromItsCountCappedAfterDeletions) {
  const fs::path a = shootInto("A", 5), b = folder("B");
  fs::create_directory_symlink(a, root / "Shortcut");
  const size_t cleared = recorder.cleared();
  source->set(sessionReading(root / "Shortcut"));
  settle(4);
  clock.advance(5);
  EXPECT_EQ(recorder.cleared(), cleared);
  EXPECT_TRUE(recorder.segments().empty());
  EXPECT_EQ(recorder.last().designatedPath, a.string());

  closeShotMovingTo(b);
  land(b, 1, 1);
  ASSERT_TRUE(frameCountReaches(1));

  fs::remove(a / "IMG_0001.CR3");
  fs::remove(a / "IMG_0002.CR3");
  closeShotMovingTo(a);
  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) { return s.shotOpenedAt && s.designatedPath == a.string(); }));
  EXPECT_EQ(recorder.last().frameCount, 3);
  EXPECT_EQ(recorder.last().framesThisShoot, 6);  // 5 + 1 closed, none new here

  land(a, 6, 1);
  ASSERT_TRUE(frameCountReaches(4));
  EXPECT_EQ(recorder.last().framesThisShoot, 7);

  const core::WireSegment revisit = closeShotMovingTo(std::nullopt);
  EXPECT_TRUE(revisit.isRevisit);
  EXPECT_EQ(revisit.startFrameCount, 3);
  EXPECT_EQ(revisit.endFrameCount, 4);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return !s.designatedPath; }));
  EXPECT_EQ(recorder.last().shotsCompleted, 2);  // distinct folders

  // Designated again while it cannot be read (its drive a moment away): its
  // frames are still the ones counted before once it reads again.
  fs::rename(a, root / "A away");
  designate(a);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.status == AgentStatus::folderUnreadable; }));
  fs::rename(root / "A away", a);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.status == AgentStatus::ok && s.frameCount == 4; }));
  clock.advance(3);
  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) { return s.shotOpenedAt && s.designatedPath == a.string(); }));
  EXPECT_EQ(recorder.last().framesThisShoot, 7);
  EXPECT_EQ(closeShotMovingTo(std::nullopt).framesAdded, 0);
}

TEST_F(CoordinatorTest, ASessionChangeWithNewFramesEndsTheShootAndWithoutThemDoesNot) {
  begin();
  const fs::path day1 = root / "Day1", day2 = root / "Day2";
  const fs::path first = folder("Day1/Capture"), second = folder("Day2/Capture");

  session = "Day1";
  sessionRoot = day1;
  openShot(first);
  land(first, 1, 2);
  ASSERT_TRUE(frameCountReaches(2));
  const core::WireSegment opening = closeShotMovingTo(std::nullopt);
  clock.advance(60);

  // A visit under the other session that adds no frame leaves the shoot
  // alone, and the time away counts as untracked.
  session = "Day2";
  sessionRoot = day2;
  openShot(first);
  const core::WireSegment visit = closeShotMovingTo(std::nullopt);
  EXPECT_EQ(visit.framesAdded, 0);
  EXPECT_EQ(visit.shootID, opening.shootID);
  EXPECT_TRUE(recorder.verifications().empty());
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return !s.designatedPath; }));
  EXPECT_GT(recorder.last().totalUntracked, 60);
  clock.advance(60);

  // New frames under the other session end the shoot; the closing shot starts the next.
  openShot(second);
  land(second, 1, 3);
  ASSERT_TRUE(frameCountReaches(3));
  const core::WireSegment next = closeShotMovingTo(std::nullopt);
  ASSERT_TRUE(next.shootID);
  EXPECT_NE(next.shootID, opening.shootID);
  EXPECT_THAT(recorder.shootStates(), ElementsAre(Pair(true, false), Pair(false, true), Pair(true, false)));

  ASSERT_EQ(recorder.verifications().size(), 1u);
  const core::ShootVerification verified = recorder.verifications()[0];
  EXPECT_EQ(verified.shootID, *opening.shootID);
  ASSERT_EQ(verified.readings.size(), 1u);
  EXPECT_EQ(verified.readings[0].path, first.string());
  EXPECT_EQ(verified.readings[0].frameCount, 2);
  EXPECT_EQ(storage->verifications(), std::vector<core::ShootVerification>{verified});

  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) { return s.shootID == next.shootID && !s.designatedPath; }));
  EXPECT_EQ(recorder.last().totalUntracked, 0);  // the new shoot begins with this shot
  EXPECT_EQ(recorder.last().framesThisShoot, 3);

  // An audit counts a folder against the stored segments (the rules are FolderCount's own tests').
  fs::remove(first / "IMG_0002.CR3");
  const auto audit = coordinator->count({first.string()});
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0].shootFrames, 1);
}

TEST_F(CoordinatorTest, EndingAShootKeepsItsFramesAndResumingRestoresItsTotals) {
  const fs::path look = shootInto("Look", 4);
  EXPECT_FALSE(coordinator->isShootRunning());

  coordinator->endShoot();
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.seq == 1 && !s.shootID; }));
  ASSERT_EQ(recorder.segments().size(), 1u);
  const core::WireSegment closed = recorder.segments()[0];
  EXPECT_EQ(closed.framesAdded, 4);
  EXPECT_EQ(recorder.verifications().size(), 1u);
  EXPECT_THAT(recorder.shootStates(), ElementsAre(Pair(true, false), Pair(false, true)));
  EXPECT_EQ(storedShootID(), "");
  EXPECT_EQ(recorder.last().framesThisShoot, 0);
  coordinator->endShoot();  // a double click: the ended shoot stays resumable
  coordinator->drain();
  EXPECT_TRUE(coordinator->canResumeShoot());
  EXPECT_EQ(recorder.shootStates().size(), 2u);

  // The next shot in the same folder counts only what is new.
  settle();
  clock.advance(3);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.shotOpenedAt.has_value(); }));
  land(look, 5, 2);
  ASSERT_TRUE(frameCountReaches(6));
  EXPECT_EQ(recorder.last().framesThisShoot, 2);

  coordinator->resumeShoot();
  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) { return s.shootID == closed.shootID; }));
  EXPECT_THAT(recorder.shootStates(), ElementsAre(Pair(true, false), Pair(false, true), Pair(true, false)));
  EXPECT_EQ(storedShootID(), *closed.shootID);
  EXPECT_EQ(recorder.last().shotsCompleted, 1);
  EXPECT_EQ(recorder.last().framesThisShoot, 6);
  EXPECT_EQ(recorder.last().firstCaptureAt, closed.openedAt);
}

TEST_F(CoordinatorTest, ASegmentThatCouldNotBeStoredIsStillPublishedWithItsNumber) {
  fs::create_directory(storageRoot / "segments.jsonl");  // no line can be appended
  shootInto("Look", 2);
  EXPECT_EQ(closeShotMovingTo(std::nullopt).seq, 1u);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.seq == 1 && s.shotsCompleted == 1; }));
  storage->flush();
  EXPECT_TRUE(storage->allSegments().empty());
}

TEST_F(CoordinatorTest, AListingOfTheFolderDesignatedBeforeIsIgnored) {
  // A is polled, so that its listings pass the probe, where the gate holds them.
  seen->remote.insert((root / "A").string());
  const fs::path a = shootInto("A", 2), b = folder("B");

  // The watcher is held in the middle of listing A while the designation moves to B.
  gate(a);
  land(a, 3, 5);
  ASSERT_TRUE(eventually([&] { return gateHit.load(); }));
  // The coordinator takes up B and waits for the watcher, which hands over
  // the stale listing of A first.
  const size_t cleared = recorder.cleared();
  source->set(sessionReading(b));
  source->announce();
  const core::Instant pendingSince = clock.now();
  gate(std::nullopt);
  ASSERT_TRUE(eventually([&] { return recorder.cleared() > cleared; })) << "the designation was not applied";
  ASSERT_TRUE(eventually([&] { return readsOfFolder(b) >= 2; }));
  coordinator->drain();

  clock.advance(2);
  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) { return s.designatedPath == b.string(); }));
  const VantleSnapshot s = recorder.last();
  EXPECT_EQ(s.frameCount, 0);
  EXPECT_EQ(s.shotOpenedAt, pendingSince);
  EXPECT_EQ(s.shotLastActivityAt, pendingSince);  // no frame was seen arriving in B
  EXPECT_EQ(recorder.segments().back().endFrameCount, 2);
}

// Tethering tools begin a look by making its folder and writing its first
// frame into it at once. Each look here is held just past the debounce,
// the poll ticks far apart: each must still open a shot of its own at the
// debounce's end, not at some later tick when the next look has already
// taken its place, and close into a segment with its frame.
TEST_F(CoordinatorTest, EveryLookMadeAndShotIntoAtOnceOpensAtItsDebounceAndClosesWithItsFrame) {
  constexpr int kLooks = 150;
  constexpr double kDebounce = 0.05;
  AgentCoordinator::Services s;
  s.storage = storage;  // the real clock: the debounce passes in real time
  s.checkDisk = [](const std::optional<std::string>&) {};
  coordinator = AgentCoordinator::make(
      {.fallbackRoot = root, .debounce = kDebounce, .designationPollInterval = 3600}, s);
  coordinator->setCallbacks(recorder.callbacks());
  coordinator->start();

  std::mt19937 random(20);
  const auto spin = [&](int maxMicroseconds) {  // a random moment, long enough to race the watcher
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::microseconds(std::uniform_int_distribution<int>(0, maxMicroseconds)(random));
    while (std::chrono::steady_clock::now() < until) {
    }
  };
  for (int i = 0; i < kLooks; ++i) {
    const fs::path look = root / ("Look_" + std::to_string(i));
    fs::create_directory(look);
    spin(2000);
    landFrame(look, "IMG_0001.CR3");
    // Well before the next poll, which is an hour away.
    ASSERT_TRUE(recorder.waitFor(
        [&](const VantleSnapshot& s) { return s.shotOpenedAt && s.designatedPath == look.string(); }, 3))
        << "look " << i << " never opened a shot";
    spin(30000);
  }
  ASSERT_TRUE(eventually([&] { return recorder.segments().size() == kLooks - 1; }, 10));
  const std::vector<core::WireSegment> segments = recorder.segments();
  for (int i = 0; i < kLooks - 1; ++i) {
    EXPECT_EQ(segments[i].path, (root / ("Look_" + std::to_string(i))).string());
    EXPECT_EQ(segments[i].framesAdded, 1) << segments[i].path;
  }
}

TEST_F(CoordinatorTest, AVanishedFolderIsReportedUnreadableUntilItComesBack) {
  const fs::path look = shootInto("Look", 2);

  fs::remove_all(look);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.status == AgentStatus::folderUnreadable; }));
  fs::create_directories(look);
  land(look, 1, 3);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.status == AgentStatus::ok && s.frameCount == 3; }));
}

TEST_F(CoordinatorTest, AFolderThatComesBackEmptyClosesItsShotWithTheFramesItCounted) {
  const fs::path look = shootInto("Look", 2);
  // The tethering tool makes the folder anew: the two frames counted stay counted.
  fs::remove_all(look);
  fs::create_directories(look);
  ASSERT_TRUE(eventually([&] { return recorder.segments().size() == 1; }));
  EXPECT_EQ(recorder.segments()[0].framesAdded, 2);
  EXPECT_EQ(recorder.segments()[0].path, look.string());

  // Frames shot into the new folder open the next shot from nothing.
  land(look, 1, 1);
  settle();
  clock.advance(3);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.shotOpenedAt && s.frameCount == 1; }));
  EXPECT_EQ(recorder.last().framesThisShoot, 3);
  EXPECT_EQ(closeShotMovingTo(std::nullopt).framesAdded, 1);
}

TEST_F(CoordinatorTest, StopWaitsForARunningCallbackAndNoneStartsAfterIt) {
  begin();
  std::mutex m;
  std::condition_variable changed;
  bool entered = false, release = false, finished = false;
  std::atomic<bool> stopReturned{false};
  std::atomic<int> late{0};
  AgentCoordinator::Callbacks callbacks;
  callbacks.onSnapshot = [&](const VantleSnapshot&) {
    if (stopReturned) ++late;
    std::unique_lock lock(m);
    if (entered) return;
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    finished = true;
  };
  coordinator->setCallbacks(callbacks);
  source->set(sessionReading(folder("Look")));
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
  }
  bool finishedWhenStopReturned = false;
  std::thread stopper([&] {
    coordinator->stop();
    std::lock_guard lock(m);
    finishedWhenStopReturned = finished;
    stopReturned = true;
  });
  // Long enough for a stop() that does not wait to have returned.
  eventually([&] { return stopReturned.load(); }, 0.5);
  {
    std::lock_guard lock(m);
    release = true;
  }
  changed.notify_all();
  stopper.join();
  EXPECT_TRUE(finishedWhenStopReturned);
  land(folder("Look"), 1, 3);
  coordinator->drain();
  EXPECT_EQ(late, 0);
}

TEST_F(CoordinatorTest, AnIdleCoordinatorPublishesNothingAndAReleasedOneStopsItsOwnWork) {
  const fs::path look = shootInto("Look", 2);
  size_t published = recorder.snapshots().size();
  clock.advance(1000);  // past the idle threshold: the companions' clock stops by itself
  settle(10);
  EXPECT_EQ(recorder.snapshots().size(), published);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(checkedDisks.back(), look.string());  // while the tick still checks the disk
  }

  // Let go without stop() while frames keep landing and the timer keeps firing.
  std::weak_ptr<AgentCoordinator> weak = coordinator;
  coordinator.reset();
  ASSERT_TRUE(eventually([&] { return weak.expired(); }));
  published = recorder.snapshots().size();
  const size_t ticksAfter = ticks();
  land(look, 3, 3);  // gone with it: its watcher, its timer and its callbacks
  EXPECT_EQ(recorder.snapshots().size(), published);
  EXPECT_EQ(ticks(), ticksAfter);
}

TEST_F(CoordinatorTest, AnnouncementsApplyAtOnceAndAReplacedOrStoppedSourceIsNoLongerHeard) {
  begin(/*pollInterval=*/3600);  // only the first tick: the rest comes from announcements
  const fs::path look = folder("Look");
  land(look, 1, 2);
  source->set(sessionReading(look));
  source->announce();
  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) { return s.designatedPath == look.string(); }));
  EXPECT_EQ(recorder.last().frameCount, 2);

  const fs::path chosen = folder("Chosen/Capture");
  land(chosen, 1, 3);
  coordinator->useObservedSource(root / "Chosen");
  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) {
    return s.sourceKind == core::SourceKind::observed && s.designatedPath == chosen.string() && s.frameCount == 3;
  }));
  EXPECT_EQ(source->stops, 1);
  source->set(sessionReading(folder("Elsewhere")));
  source->announce();  // the replaced source is no longer heard
  coordinator->drain();
  EXPECT_EQ(recorder.last().designatedPath, chosen.string());

  coordinator->stop();
  coordinator->drain();  // the teardown has run: watcher and source stopped, callbacks let go
  const size_t published = recorder.snapshots().size();
  land(chosen, 4, 2);
  source->announce();
  coordinator->drain();
  EXPECT_EQ(recorder.snapshots().size(), published);
}

}  // namespace
}  // namespace vantle::agent
