#include "agent/folders/latest_frame_feed.h"
#include "agent/folders/newest_frame_tracker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/agent/folders/fixtures/recorder.h"
#include "tests/support/manual_clock.h"

namespace vantle::agent {
namespace {

using Delivery = LatestFrameFeed::Delivery;
using ::testing::Contains;
using ::testing::ElementsAre;
using testing::ManualClock;
using ::testing::Not;
using testing::Recorder;

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

core::Bytes bytesOf(const std::string& text) { return core::Bytes(text.begin(), text.end()); }

class LatestFrameFeedTest : public ::testing::Test {
 protected:
  // A feed whose reader answers from `answer` and counts its calls.
  std::shared_ptr<LatestFrameFeed> make(LatestFrameFeed::Settings settings = {
                                            .delays = {0.02, 0.02, 0.02, 0.02, 0.02}}) {
    settings.read = [this](const std::string& directory, const std::string& fileName) -> std::optional<core::Bytes> {
      reads.add(fileName);
      if (!answer(fileName, reads.size())) return std::nullopt;
      return bytesOf(directory + ":" + fileName);
    };
    auto feed = LatestFrameFeed::make(std::move(settings), clock);
    feed->setOnThumbnail([this](const Delivery& delivery) {
      deliveries.add(delivery);
      deliveredAt.add(core::secondsBetween(testing::at(0), clock.now()));
    });
    feed->setTrace([this](const std::string& line) { traces.add(line); });
    return feed;
  }

  std::function<bool(const std::string& fileName, size_t readCount)> answer = [](const std::string&, size_t) {
    return true;
  };
  ManualClock clock;
  Recorder<std::string> reads;
  Recorder<Delivery> deliveries;
  Recorder<double> deliveredAt;
  Recorder<std::string> traces;
};

TEST_F(LatestFrameFeedTest, DeliversAFrameOnceAfterTheFirstDelay) {
  auto feed = make({.delays = {0.3, 0.6, 0.8, 1.0, 1.2}});
  const auto start = std::chrono::steady_clock::now();
  feed->note("/Shoot/Capture", "IMG_0001.CR3");
  ASSERT_TRUE(deliveries.waitFor(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
  const Delivery delivery = deliveries.values()[0];
  EXPECT_EQ(delivery.fileName, "IMG_0001.CR3");
  EXPECT_EQ(delivery.path, "/Shoot/Capture/IMG_0001.CR3");
  EXPECT_EQ(delivery.data, bytesOf("/Shoot/Capture:IMG_0001.CR3"));
  EXPECT_EQ(feed->latest(), delivery);

  feed->note("/Shoot/Capture", "IMG_0001.CR3");  // delivered already
  pause(0.5);
  EXPECT_EQ(reads.size(), 1u);
  EXPECT_EQ(deliveries.size(), 1u);
}

TEST_F(LatestFrameFeedTest, RetriesFiveTimesThenDropsTheFrame) {
  answer = [](const std::string&, size_t) { return false; };
  auto feed = make({.delays = {0.01, 0.02, 0.03, 0.04, 0.05}});
  const auto start = std::chrono::steady_clock::now();
  feed->note("/c", "A.CR3");
  ASSERT_TRUE(reads.waitFor(5));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
  pause(0.3);
  EXPECT_EQ(reads.size(), 5u);
  EXPECT_THAT(traces.values(), ElementsAre("attempt A.CR3 left=4", "attempt A.CR3 left=3", "attempt A.CR3 left=2",
                                           "attempt A.CR3 left=1", "attempt A.CR3 left=0"));
  EXPECT_FALSE(feed->latest());

  // The next note starts a fresh chain; this time the third try works.
  answer = [](const std::string&, size_t count) { return count >= 8; };
  feed->note("/c", "A.CR3");
  ASSERT_TRUE(deliveries.waitFor(1));
  EXPECT_EQ(reads.size(), 8u);
}

TEST_F(LatestFrameFeedTest, ClearForgetsTheDeliveryAndThePendingFrame) {
  auto feed = make();
  feed->note("/c", "A.CR3");
  ASSERT_TRUE(deliveries.waitFor(1));
  feed->clear();
  EXPECT_FALSE(feed->latest());
  feed->note("/c", "A.CR3");  // no longer counts as delivered
  ASSERT_TRUE(deliveries.waitFor(2));

  // A frame waiting for its first attempt is forgotten too.
  auto cleared = make({.delays = {0.2, 0.2, 0.2, 0.2, 0.2}});
  cleared->note("/c", "B.CR3");
  cleared->clear();
  ASSERT_TRUE(traces.waitUntil([](const std::string& line) { return line == "chain ends"; }));
  EXPECT_THAT(reads.values(), Not(Contains("B.CR3")));
}

TEST_F(LatestFrameFeedTest, ABurstYieldsADeliveryEveryMaximumHoldAndItsLastFrameAtTheEnd) {
  auto feed = make();
  const auto frame = [](int i) { return "F" + std::to_string(i) + ".CR3"; };
  // Lets the clock move on and waits for the feed to have looked at it.
  const auto advance = [&](double seconds) {
    const size_t seen = traces.size();
    clock.advance(seconds);
    ASSERT_TRUE(traces.waitFor(seen + 1));
  };

  feed->note("/c", frame(0));
  ASSERT_TRUE(deliveries.waitFor(1));
  for (int i = 1; i <= 62; ++i) {  // a note every half second for 31 seconds
    feed->note("/c", frame(i));
    feed->latest();  // the note has been taken
    advance(0.5);
  }
  // The burst is over: its last frame goes once 1.2 s passed without a note.
  advance(0.5);
  advance(0.5);
  pause(0.2);

  std::vector<std::string> names;
  for (const Delivery& d : deliveries.values()) names.push_back(d.fileName);
  EXPECT_THAT(names, ElementsAre(frame(0), frame(20), frame(40), frame(60), frame(62)));
  EXPECT_THAT(deliveredAt.values(), ElementsAre(0.0, 10.0, 20.0, 30.0, 32.0));
  EXPECT_THAT(traces.values(), Contains("holding F62.CR3 — shutter still going"));
}

TEST(NewestFrameTracker, TheFirstListingTakesItsLastNameThenNewNamesWin) {
  NewestFrameTracker tracker;
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3"}, "B.CR3"), "B.CR3");
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3", "D.CR3", "C.CR3"}, "D.CR3"), "D.CR3");
  // A new name that sorts below the old ones is still the newest frame.
  EXPECT_EQ(tracker.note("/c", {"0.CR3", "A.CR3", "B.CR3", "C.CR3", "D.CR3"}, "D.CR3"), "0.CR3");
  // Nothing new: the newest stays, even if it was deleted meanwhile.
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3"}, "B.CR3"), "0.CR3");
  // A name missing from the last listing is new again when it reappears.
  EXPECT_EQ(tracker.note("/c", {"A.CR3", "B.CR3", "D.CR3"}, "D.CR3"), "D.CR3");

  // Each folder is apart; an emptied one has no newest frame.
  EXPECT_EQ(tracker.note("/b", {}, std::nullopt), std::nullopt);
  EXPECT_EQ(tracker.note("/b", {"Z.CR3"}, "Z.CR3"), "Z.CR3");
  EXPECT_EQ(tracker.note("/c", {}, std::nullopt), std::nullopt);
  EXPECT_EQ(tracker.note("/b", {"Z.CR3"}, "Z.CR3"), "Z.CR3");
}

}  // namespace
}  // namespace vantle::agent
