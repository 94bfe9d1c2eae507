#include "core/shot_tracker.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/support/instants.h"

namespace vantle::core {
namespace {

using testing::at;

// A reading of `path`, optionally naming the folder's newest frame.
ShotObservation seen(std::optional<std::string> path, int64_t count, double seconds,
                     std::optional<std::string> newest = std::nullopt) {
  return ShotObservation{std::move(path), count, std::nullopt, std::move(newest), at(seconds)};
}

ShotObservation nothing(double seconds) { return seen(std::nullopt, 0, seconds); }

using Events = std::vector<ShotEvent>;

// Sees `path` twice, two seconds apart: with a debounce of 2 s, its shot opens.
void open(ShotTracker& tracker, const std::string& path, int64_t count, double seconds) {
  tracker.observe(seen(path, count, seconds));
  tracker.observe(seen(path, count, seconds + 2));
}

TEST(ShotTracker, WorkedDayOfTwoFolders) {
  ShotTracker tracker(2, 300);
  EXPECT_EQ(tracker.observe(seen("A", 10, 0)), Events{});
  EXPECT_EQ(tracker.observe(seen("A", 10, 2)), (Events{ShotOpened{"A", at(0), 10, false}}));
  EXPECT_EQ(tracker.observe(seen("A", 11, 5)), (Events{CountChanged{"A", 11, at(5)}}));
  EXPECT_EQ(tracker.observe(seen("A", 12, 400)), (Events{CountChanged{"A", 12, at(400)}}));
  EXPECT_EQ(tracker.observe(seen("B", 0, 410)), Events{});
  EXPECT_EQ(tracker.observe(seen("A", 12, 411)), Events{});  // flick discarded
  EXPECT_EQ(tracker.observe(seen("B", 0, 420)), Events{});
  EXPECT_EQ(tracker.observe(seen("B", 0, 421)), Events{});

  ShotSegmentRecord expected{"A", at(0), at(420), 10, 12, std::nullopt, at(5), at(400), 0, 95, 0};
  EXPECT_EQ(tracker.observe(seen("B", 0, 422)),
            (Events{ShotClosed{expected}, ShotOpened{"B", at(420), 0, false}}));
  // B held no frames and gained none: losing it leaves no record.
  tracker.observe(nothing(430));
  EXPECT_EQ(tracker.observe(nothing(432)), (Events{DesignationLost{at(432)}}));
}

TEST(ShotTracker, DebounceCommitsAtExactlyTheIntervalAndNotOnFirstSighting) {
  ShotTracker tracker(2, 300);
  EXPECT_EQ(tracker.observe(seen("A", 0, 0)), Events{});
  EXPECT_EQ(tracker.observe(seen("A", 0, 1.9)), Events{});
  EXPECT_EQ(tracker.observe(seen("A", 0, 2.0)), (Events{ShotOpened{"A", at(0), 0, false}}));

  // A designation withdrawn within its debounce never opens.
  ShotTracker withdrawn(2, 300);
  withdrawn.observe(seen("A", 4, 0));
  withdrawn.observe(nothing(1));
  EXPECT_EQ(withdrawn.observe(nothing(10)), Events{});
  EXPECT_FALSE(withdrawn.hasSeen("A"));
}

TEST(ShotTracker, StartCountAndFramesDuringTheDebounce) {
  // Frames during the debounce belong to the new shot.
  ShotTracker tracker(2, 300);
  tracker.observe(seen("A", 5, 0));
  tracker.observe(seen("A", 7, 1));
  EXPECT_EQ(tracker.observe(seen("A", 7, 2)), (Events{ShotOpened{"A", at(0), 5, false}}));
  EXPECT_EQ(tracker.firstFrameAt, at(1));

  // Deletions during the debounce lower the start count.
  ShotTracker deleting(2, 300);
  deleting.observe(seen("A", 5, 0));
  EXPECT_EQ(deleting.observe(seen("A", 3, 2)), (Events{ShotOpened{"A", at(0), 3, false}}));

  // A baseline hint is the start count.
  ShotTracker hinted(2, 300);
  hinted.observe(ShotObservation{"A", 5, 3, std::nullopt, at(0)});
  EXPECT_EQ(hinted.observe(seen("A", 5, 2)), (Events{ShotOpened{"A", at(0), 3, false}}));
}

TEST(ShotTracker, RevisitWithoutNewFramesBanksItsIdleBeforeFirst) {
  ShotTracker tracker(2, 300);
  open(tracker, "A", 8, 0);
  open(tracker, "B", 0, 100);
  tracker.observe(seen("A", 8, 200));
  EXPECT_EQ(tracker.observe(seen("A", 8, 202)), (Events{ShotOpened{"A", at(200), 8, true}}));

  tracker.observe(seen("B", 0, 1000));
  const Events closed = tracker.observe(seen("B", 0, 1002));
  ASSERT_EQ(closed.size(), 2u);
  const ShotSegmentRecord& r = std::get<ShotClosed>(closed[0]).record;
  EXPECT_DOUBLE_EQ(r.idleBeforeFirst, 500);  // 800 s open, 300 s threshold
}

TEST(ShotTracker, FallingCountIsNoActivity) {
  ShotTracker tracker(2, 10);
  open(tracker, "A", 5, 0);
  EXPECT_EQ(tracker.observe(seen("A", 6, 3)), (Events{CountChanged{"A", 6, at(3)}}));
  EXPECT_EQ(tracker.observe(seen("A", 4, 100)), (Events{CountChanged{"A", 4, at(100)}}));
  EXPECT_EQ(tracker.currentLastActivityAt(), at(3));
  // The next rise banks the whole gap since the last real activity.
  tracker.observe(seen("A", 5, 103));
  EXPECT_DOUBLE_EQ(tracker.idleDuringCaptures, 90);
}

TEST(ShotTracker, LossIsDatedAtFirstSightingAndConfirmedLater) {
  ShotTracker tracker(2, 300);
  open(tracker, "A", 1, 0);
  tracker.observe(seen("A", 2, 50));
  tracker.observe(nothing(700));
  const Events events = tracker.observe(nothing(702));
  ASSERT_EQ(events.size(), 2u);
  const ShotSegmentRecord& r = std::get<ShotClosed>(events[0]).record;
  EXPECT_EQ(r.closedAt, at(700));
  EXPECT_DOUBLE_EQ(r.idleAfterLast, 350);
  EXPECT_EQ(events[1], ShotEvent{DesignationLost{at(702)}});
}

TEST(ShotTracker, CloseCurrentEndsTheVisitAndLeavesAWaitingChangeToBeConfirmed) {
  ShotTracker tracker(2, 300);
  EXPECT_EQ(tracker.closeCurrent(at(0)), std::nullopt);

  // Whether or not the closed visit leaves a record, a change still within its
  // debounce stays waiting and is confirmed from its own first sighting.
  open(tracker, "Empty", 0, 0);
  tracker.observe(seen("A", 3, 4));
  EXPECT_EQ(tracker.closeCurrent(at(5)), std::nullopt);  // an empty visit leaves no record
  EXPECT_EQ(tracker.observe(seen("A", 3, 6)), (Events{ShotOpened{"A", at(4), 3, false}}));

  tracker.observe(seen("A", 4, 20));
  tracker.observe(seen("B", 7, 25));
  const auto record = tracker.closeCurrent(at(26));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->closedAt, at(26));
  EXPECT_EQ(record->framesAdded(), 1);
  EXPECT_EQ(tracker.observe(seen("B", 7, 27)), (Events{ShotOpened{"B", at(25), 7, false}}));
}

TEST(ShotTracker, TheNewestFileNameIsKeptUntilAReadingNamesAnother) {
  ShotTracker tracker(2, 300);
  tracker.observe(seen("A", 1, 0, "IMG_0001.CR3"));
  // The committing reading names no frame: the first sighting's name stands.
  tracker.observe(seen("A", 1, 2));
  EXPECT_EQ(tracker.lastFileName, "IMG_0001.CR3");

  tracker.observe(seen("A", 2, 5, "IMG_0002.CR3"));
  EXPECT_EQ(tracker.lastFileName, "IMG_0002.CR3");
  tracker.observe(seen("A", 3, 6));  // a count without a name keeps the last one
  EXPECT_EQ(tracker.lastFileName, "IMG_0002.CR3");
  // A frame replaced under the same count: the name moves on without an event.
  EXPECT_EQ(tracker.observe(seen("A", 3, 7, "IMG_0003.CR3")), Events{});
  EXPECT_EQ(tracker.lastFileName, "IMG_0003.CR3");

  // A committing reading that names a frame wins over the first sighting's.
  tracker.observe(seen("B", 4, 10, "B_0001.CR3"));
  const Events events = tracker.observe(seen("B", 4, 12, "B_0004.CR3"));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(std::get<ShotClosed>(events[0]).record.lastFileName, "IMG_0003.CR3");
  EXPECT_EQ(tracker.lastFileName, "B_0004.CR3");
}

TEST(ShotTracker, AReplacedPendingChangeStartsAfreshWithItsOwnFirstSighting) {
  ShotTracker tracker(2, 300);
  open(tracker, "A", 1, 0);
  tracker.observe(seen("B", 4, 10));
  tracker.observe(seen("B", 5, 10.5));  // a frame in B, which is never confirmed
  tracker.observe(seen("C", 9, 11));
  // Two seconds since B was first seen, but one since C was.
  EXPECT_EQ(tracker.observe(seen("C", 9, 12)), Events{});
  const Events events = tracker.observe(seen("C", 9, 13));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(std::get<ShotClosed>(events[0]).record.closedAt, at(11));
  EXPECT_EQ(events[1], (ShotEvent{ShotOpened{"C", at(11), 9, false}}));
  EXPECT_EQ(tracker.firstFrameAt, std::nullopt);  // B's frame stays with B
}

TEST(ShotTracker, CanonicallyEquivalentPathsAreOneFolder) {
  const std::string composed = "/Shoots/Caf\u00e9/Capture";
  const std::string decomposed = "/Shoots/Cafe\u0301/Capture";
  ShotTracker tracker(2, 300);
  open(tracker, composed, 1, 0);
  EXPECT_EQ(tracker.observe(seen(decomposed, 2, 3)), (Events{CountChanged{composed, 2, at(3)}}));
}

TEST(ShotSegmentRecord, DerivedValuesClampAtZero) {
  ShotSegmentRecord backwards{"A", at(100), at(50), 9, 4, {}, {}, {}, 0, 0, 0};
  EXPECT_EQ(backwards.framesAdded(), 0);

  ShotSegmentRecord overIdle{"A", at(0), at(100), 0, 1, {}, at(10), at(10), 80, 0, 50};
  EXPECT_DOUBLE_EQ(overIdle.activeTime(), 0);
  EXPECT_DOUBLE_EQ(overIdle.workingTime(), 40);  // one frame time: to the close, less the tail idle

  const int64_t max = std::numeric_limits<int64_t>::max();
  const ShotSegmentRecord huge{"A", at(0), at(1), -5, max, {}, {}, {}, 0, 0, 0};
  EXPECT_EQ(huge.framesAdded(), max);
}

}  // namespace
}  // namespace vantle::core
