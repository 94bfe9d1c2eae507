#include "agent/folders/newest_frame_tracker.h"

#include <gtest/gtest.h>

namespace vantle::agent {
namespace {

TEST(NewestFrameTracker, TheFirstListingTakesItsLastNameThenNewNamesWin) {
  NewestFrameTracker tracker;
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3"}, "B.CR3"), "B.CR3");
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3", "D.CR3", "C.CR3"}, "D.CR3"), "D.CR3");
  // A new name that sorts below the old ones is still the newest frame.
  EXPECT_EQ(tracker.note("/c", {"0.CR3", "A.CR3", "B.CR3", "C.CR3", "D.CR3"}, "D.CR3"), "0.CR3");
  // Nothing new: the newest stays, even if it was deleted meanwhile.
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3"}, "B.CR3"), "0.CR3");
  // A frame that comes back under an old name is not new.
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3", "D.CR3"}, "D.CR3"), "D.CR3");
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3"}, "B.CR3"), "D.CR3");
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3", "D.CR3"}, "D.CR3"), "D.CR3");
}

TEST(NewestFrameTracker, AnEmptiedFolderHasNoNewestAndFoldersAreApart) {
  NewestFrameTracker tracker;
  EXPECT_EQ(tracker.note("/a", {"A.CR3"}, "A.CR3"), "A.CR3");
  EXPECT_EQ(tracker.note("/b", {}, std::nullopt), std::nullopt);
  EXPECT_EQ(tracker.note("/b", {"Z.CR3"}, "Z.CR3"), "Z.CR3");
  EXPECT_EQ(tracker.note("/a", {}, std::nullopt), std::nullopt);
  EXPECT_FALSE(tracker.newest.contains("/a"));
  EXPECT_EQ(tracker.newest.at("/b"), "Z.CR3");

  // A known newest without seen names is kept unless the folder is empty.
  tracker.newest["/c"] = "OLD.CR3";
  EXPECT_EQ(tracker.note("/c", {"X.CR3"}, "X.CR3"), "OLD.CR3");
  tracker.newest["/d"] = "OLD.CR3";
  EXPECT_EQ(tracker.note("/d", {}, std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace vantle::agent
