// The live feed: what a stream says first, how it waits and wakes, and the
// bounds that keep a browser that stopped reading from costing the agent.
#include "web/live_feed.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/instants.h"

namespace vantle::web {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Reader {
  LiveFeed& feed;
  int parks = 0;
  int wakes = 0;
  std::shared_ptr<LiveFeed::Stream> stream;

  explicit Reader(LiveFeed& f) : feed(f) {
    stream = feed.open([this] { ++parks; }, [this] { ++wakes; });
  }
  ~Reader() { feed.close(*stream); }

  // Everything waiting, read in pieces of `piece` bytes; `ended` when the stream is over.
  std::string drain(size_t piece = 7, bool* ended = nullptr) {
    std::string text;
    std::vector<char> buffer(piece);
    bool over = false;
    for (size_t got; (got = feed.read(*stream, buffer.data(), buffer.size(), &over)) > 0;) text.append(buffer.data(), got);
    if (ended) *ended = over;
    return text;
  }
};

core::WireSegment shot(uint64_t seq, const std::string& shoot, size_t thumbnailBytes = 3) {
  core::WireSegment segment;
  segment.seq = seq;
  segment.folderName = "Look " + std::to_string(seq);
  segment.path = "/studio/" + segment.folderName;
  segment.shootID = shoot;
  segment.duration = 60.0 * seq;
  if (thumbnailBytes) segment.thumbnail = core::Bytes(thumbnailBytes, uint8_t(seq));
  return segment;
}

core::VantleSnapshot counting(int64_t frames) {
  core::VantleSnapshot snapshot;
  snapshot.frameCount = frames;
  snapshot.shootID = "S1";
  snapshot.at = testing::at(0);
  return snapshot;
}

TEST(LiveFeed, AStreamStartsWithTheWholePictureThenParksAndWakesForNews) {
  LiveFeed feed;
  feed.publishView(counting(7), {"Look 1 \u00b7 7", std::nullopt});
  feed.resetShots("S1", {shot(1, "S1"), shot(2, "S1")});
  feed.publishFrame({0xff, 0xd8}, "IMG_0007.CR3");

  Reader reader(feed);
  const std::string first = reader.drain();
  EXPECT_TRUE(first.starts_with("retry: 2000\n\n")) << first;
  const size_t view = first.find("event: view\ndata: {\"frameCount\":7");
  const size_t shots = first.find("event: shots\ndata: [{\"seq\":2");  // newest first
  const size_t frame = first.find("event: frame\ndata: {\"version\":1,\"fileName\":\"IMG_0007.CR3\"}");
  ASSERT_NE(view, std::string::npos) << first;
  ASSERT_NE(shots, std::string::npos) << first;
  ASSERT_NE(frame, std::string::npos) << first;
  EXPECT_LT(view, shots);
  EXPECT_LT(shots, frame);
  EXPECT_EQ(reader.parks, 1);  // nothing left: parked
  EXPECT_EQ(reader.wakes, 0);

  feed.publishView(counting(8), {"Look 1 \u00b7 8", std::nullopt});
  EXPECT_EQ(reader.wakes, 1);
  feed.publishShot(shot(3, "S1"));
  EXPECT_EQ(reader.wakes, 1);  // awake already: no second wake
  const std::string news = reader.drain(4096);
  EXPECT_THAT(news, HasSubstr("\"frameCount\":8"));
  EXPECT_THAT(news, HasSubstr("event: shot\ndata: {\"seq\":3,\"name\":\"Look 3\""));
  EXPECT_THAT(news, HasSubstr("\"thumbnail\":\"/shots/3.jpg\""));
  EXPECT_EQ(reader.parks, 2);

  // Every event is whole lines: a name with a line break cannot start an event of its own.
  core::WireSegment sneaky = shot(4, "S1");
  sneaky.folderName = "Look\n\nevent: view\ndata: {}";
  feed.publishShot(sneaky);
  const std::string escaped = reader.drain(4096);
  EXPECT_THAT(escaped, Not(HasSubstr("\nevent: view")));
  EXPECT_EQ(std::count(escaped.begin(), escaped.end(), '\n'), 3) << escaped;
}

TEST(LiveFeed, AStreamThatStopsReadingIsEndedAndEndAllWakesTheParked) {
  LiveFeed feed;
  Reader slow(feed);
  Reader parked(feed);
  slow.drain();
  parked.drain();
  ASSERT_EQ(parked.parks, 1);

  // `parked` keeps reading; `slow` never does again.
  core::VantleSnapshot snapshot = counting(1);
  snapshot.sessionName = std::string(4096, 'x');
  for (int i = 0; i < 400; ++i) {  // about 1.7 MB of views
    snapshot.frameCount = i;
    feed.publishView(snapshot, {"counting", std::nullopt});
    parked.drain(65536);
  }
  bool ended = false;
  slow.drain(65536, &ended);
  EXPECT_TRUE(ended) << "a stream more than " << LiveFeed::backlogLimit << " bytes behind is ended";

  bool parkedEnded = false;
  parked.drain(65536, &parkedEnded);
  EXPECT_FALSE(parkedEnded);
  const int wakes = parked.wakes;
  feed.endAll();
  EXPECT_EQ(parked.wakes, wakes + 1);
  parked.drain(65536, &parkedEnded);
  EXPECT_TRUE(parkedEnded);

  // A server on its way down: a stream opened now ends after its first picture, never parked.
  feed.endAll(/*refuseNew=*/true);
  {
    Reader late(feed);
    bool lateEnded = false;
    EXPECT_THAT(late.drain(65536, &lateEnded), HasSubstr("retry: 2000"));
    EXPECT_TRUE(lateEnded);
    EXPECT_EQ(late.parks, 0);
  }
  feed.acceptStreams();

  // A closed stream is no longer told anything.
  Reader gone(feed);
  gone.drain();
  feed.close(*gone.stream);
  feed.ping();
  EXPECT_EQ(gone.wakes, 0);
  EXPECT_EQ(feed.streamCount(), 2u);
}

TEST(LiveFeed, ShotsBelongToTheLoadedShootAndPicturesStayWithinTheBudget) {
  LiveFeed feed;
  feed.resetShots("S1", {shot(1, "S1"), shot(2, "S2"), shot(3, "S1")});
  feed.publishShot(shot(5, "S1"));
  feed.publishShot(shot(5, "S1"));  // told twice, kept once
  EXPECT_EQ(feed.planFacts().shotDurations, (std::vector<double>{60, 180, 300}));
  ASSERT_TRUE(feed.shotThumbnail(3));
  EXPECT_EQ(*feed.shotThumbnail(3), core::Bytes(3, 3));
  EXPECT_FALSE(feed.shotThumbnail(2));

  // Storage's list, read while shot 6 was published, takes its place around it.
  feed.publishShot(shot(6, "S1"));
  feed.resetShots("S1", {shot(1, "S1"), shot(3, "S1"), shot(5, "S1")});
  EXPECT_EQ(feed.planFacts().shotDurations, (std::vector<double>{60, 180, 300, 360}));

  // The first shot of a new shoot starts an empty day, before storage's list of it can be read.
  feed.publishShot(shot(7, "S2"));
  EXPECT_EQ(feed.planFacts().shotDurations, (std::vector<double>{420}));
  EXPECT_FALSE(feed.shotThumbnail(1));
  feed.resetShots("S2", {shot(2, "S2"), shot(4, "S2")});
  EXPECT_EQ(feed.planFacts().shotDurations, (std::vector<double>{120, 240, 420}));

  // A list read for a shoot the view has left is out of date.
  feed.publishView(counting(1), {"counting", std::nullopt});  // shoot S1 again
  feed.resetShots("S2", {shot(8, "S2")});
  EXPECT_EQ(feed.planFacts().shotDurations, (std::vector<double>{120, 240, 420}));

  // Over the budget, the oldest shots give up their pictures and the newest keep them.
  core::VantleSnapshot third = counting(1);
  third.shootID = "S3";
  feed.publishView(third, {"counting", std::nullopt});
  const size_t big = LiveFeed::thumbnailBudget / 4;
  feed.resetShots("S3", {shot(10, "S3", big), shot(11, "S3", big), shot(12, "S3", big), shot(13, "S3", big),
                         shot(14, "S3", big)});
  EXPECT_FALSE(feed.shotThumbnail(10));
  for (uint64_t seq : {11, 12, 13, 14}) EXPECT_TRUE(feed.shotThumbnail(seq)) << seq;

  // The frame's picture, and its clearing.
  feed.publishFrame({1, 2, 3}, "IMG_0001.CR3");
  ASSERT_TRUE(feed.frame());
  feed.clearFrame();
  EXPECT_FALSE(feed.frame());
}

}  // namespace
}  // namespace vantle::web
