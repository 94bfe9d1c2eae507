#include "agent/storage/segment_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/agent/storage/storage_fixture.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using namespace vantle::testing;
using ::testing::ElementsAre;

struct SegmentLogTest : ::testing::Test {
  TempFolder folder;
  fs::path file = folder / "segments.jsonl";
  SegmentLog log{file};
};

TEST_F(SegmentLogTest, FollowsAppendsIncludingALineBeingWritten) {
  const core::WireSegment big = storedSegment(1, "A", 1 << 20);  // longer than one read
  writeFile(file, core::VantleCoding::dump(big.encode()) + "\n" + linesOf({2}));
  EXPECT_EQ(log.since(0).front(), big);

  const std::string next = linesOf({3}, "B");
  writeFile(file, next.substr(0, 50), true);
  EXPECT_THAT(seqsOf(log.since(1)), ElementsAre(2));
  writeFile(file, next.substr(50, next.size() - 51), true);  // complete but for its "\n"
  EXPECT_THAT(seqsOf(log.inShoot("B")), ElementsAre(3));
  writeFile(file, "\nnot json\n" + linesOf({4}), true);
  EXPECT_THAT(seqsOf(log.since(1)), ElementsAre(2, 3, 4));
}

TEST_F(SegmentLogTest, NoticesTruncationReplacementAndRewritesInPlace) {
  writeFile(file, linesOf({1, 2, 3}));
  EXPECT_EQ(log.highestSeq(), 3u);
  fs::resize_file(file, linesOf({1}).size());
  EXPECT_THAT(seqsOf(log.since(0)), ElementsAre(1));

  writeFile(folder / "new", linesOf({5, 6}));
  fs::rename(folder / "new", file);
  EXPECT_THAT(seqsOf(log.since(0)), ElementsAre(5, 6));

  // Same inode, same length, same last line: only the content tells the files apart.
  writeFile(file, linesOf({9}) + linesOf({6}));
  EXPECT_THAT(seqsOf(log.since(0)), ElementsAre(9, 6));

  fs::remove(file);
  EXPECT_EQ(log.highestSeq(), 0u);
}

// A replay reads what the query selected, one segment at a time, from the
// file as it was: appends after the query are not in it, a line being
// written is, and a file replaced meanwhile does not change it.
TEST_F(SegmentLogTest, AReaderServesItsSelectionOneAtATimeFromTheFileAsItWas) {
  const std::string torn = linesOf({4});
  writeFile(file, linesOf({1, 2, 3}) + torn.substr(0, torn.size() - 1));
  SegmentLog::Reader reader = log.readSince(1);
  EXPECT_THAT(reader.seqs(), ElementsAre(2, 3, 4));
  const std::string third = linesOf({3});
  EXPECT_EQ(log.readSince(2).nextRecord(), third.substr(0, third.size() - 1));  // the line as it stands
  writeFile(file, "\n" + linesOf({5}), true);
  fs::rename(file, folder / "moved.jsonl");
  writeFile(file, linesOf({9}));
  std::vector<uint64_t> read;
  while (auto segment = reader.next()) read.push_back(segment->seq);
  EXPECT_THAT(read, ElementsAre(2, 3, 4));
  EXPECT_FALSE(reader.next());
  EXPECT_THAT(log.readSince(0).seqs(), ElementsAre(9));
}

}  // namespace
}  // namespace vantle::agent
