#include "core/count_audit.h"

#include <gtest/gtest.h>

#include <limits>

namespace vantle::core {
namespace {

using namespace CountAudit;

Ledger ledger(std::vector<Visit> visits) { return {"/s/Look 3", "Look 3", std::move(visits)}; }

FolderReading reading(int64_t count, bool exists = true, bool readable = true) {
  return {"/s/Look 3", count, exists, readable, 0, std::nullopt};
}

TEST(CountAudit, ComparesTheLastKnownCountWithTheFolder) {
  EXPECT_EQ(check(ledger({}), reading(3)), Finding{NotChecked{}});
  const Ledger l = ledger({{0, 5, 5}, {5, 9, 4}});
  EXPECT_EQ(check(l, reading(9)), Finding{Verified{9}});
  EXPECT_EQ(check(l, reading(11)), Finding{(MoreInFolder{9, 11})});
  EXPECT_EQ(check(l, reading(7)), Finding{(FewerInFolder{9, 7})});
  EXPECT_EQ(check(l, std::nullopt), Finding{ConsistentButUnverified{}});
  EXPECT_EQ(check(l, reading(9, false, false)), Finding{FolderMissing{}});
  EXPECT_EQ(check(l, reading(9, true, false)), Finding{FolderUnreadable{}});
  // Frames already there before the shoot still verify.
  EXPECT_EQ(check(ledger({{40, 45, 5}}), reading(45)), Finding{Verified{45}});
}

TEST(CountAudit, RecordProblemsComeBeforeTheReading) {
  const Ledger gap = ledger({{0, 5, 5}, {6, 9, 3}});
  EXPECT_EQ(check(gap, std::nullopt), Finding{(VisitMissing{5, 6})});
  EXPECT_EQ(check(gap, reading(9, false)), Finding{(VisitMissing{5, 6})});
  EXPECT_EQ(check(ledger({{0, 5, 4}}), reading(5)), Finding{(RecordDisagreesWithItself{4, 5})});
}

TEST(CountAudit, CountsBeyondSixtyFourBitsAreJudgedExactly) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  // The span and the sum both exceed 64 bits but agree: no false alarm, no wrap.
  EXPECT_EQ(check(ledger({{min + 1, 0, max}, {0, max, max}}), reading(max)), Finding{Verified{max}});
  // Wrapped arithmetic would make these two agree; they do not.
  EXPECT_EQ(check(ledger({{0, max, max}, {max, max, max}, {max, max, max}, {max, max, 2}}), std::nullopt),
            Finding{(RecordDisagreesWithItself{max, max})});
  EXPECT_EQ(ledger({{0, 1, max}, {1, 2, max}}).reportedFrames(), max);
}

TEST(CountAudit, EachFindingsSentence) {
  const std::string n = "Look 3";
  EXPECT_EQ(describe(MoreInFolder{10, 12}, n), "Look 3's folder holds 12 frames, 10 frames recorded.");
  EXPECT_EQ(describe(RecordDisagreesWithItself{1, 2}, n),
            "Look 3 reports 1 frame but its visits only account for 2 frames.");
  EXPECT_EQ(describe(FewerInFolder{1, 0}, n),
            "Look 3's folder holds 0 frames, 1 frame recorded \u2014 frames may have been deleted.");
  EXPECT_EQ(describe(VisitMissing{1, 6}, n), "Look 3 is missing a visit: one ended at 1, the next begins at 6.");
  EXPECT_EQ(describe(FolderMissing{}, n), "Look 3's folder is no longer there.");
  EXPECT_EQ(describe(FolderUnreadable{}, n), "Look 3 could not be read.");
  EXPECT_EQ(describe(Verified{3}, n), std::nullopt);
}

}  // namespace
}  // namespace vantle::core
