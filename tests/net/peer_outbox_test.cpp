// The per-companion outbox, with a writer the test completes by hand: a
// slow link is one whose writes the test has not finished yet.
#include "net/peer_outbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

namespace vantle::net {
namespace {

using ::testing::ElementsAre;
using Frame = PeerOutbox::Frame;
using Kind = PeerOutbox::Kind;

Frame frame(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

// A connection that writes only when the test says so, and records what it
// wrote in order.
class SlowLink {
 public:
  PeerOutbox::Writer writer() {
    return [this](const Frame& f, std::function<void()> written) {
      if (ended) return false;
      handed.push_back({f, std::move(written)});
      return true;
    };
  }
  // Finishes the oldest write; false when none is under way.
  bool writeOne() {
    if (handed.empty()) return false;
    auto [f, written] = std::move(handed.front());
    handed.pop_front();
    wire.push_back(*f);
    written();
    return true;
  }
  void writeAll() {
    while (writeOne()) {
    }
  }

  std::deque<std::pair<Frame, std::function<void()>>> handed;
  std::vector<std::string> wire;
  bool ended = false;
};

// A run of `count` numbered frames of `size` bytes, counting how many it made.
PeerOutbox::Run numbered(int count, size_t size, int& made) {
  return [count, size, &made]() -> std::optional<Frame> {
    if (made == count) return std::nullopt;
    std::string text = "s" + std::to_string(++made);
    text.resize(size, '.');
    return frame(text);
  };
}

std::string nameOf(const std::string& text) { return text.substr(0, text.find('.')); }

TEST(PeerOutbox, AReplayIsMadeAsTheLinkTakesItAndWhatComesMeanwhileWaitsBehindIt) {
  SlowLink link;
  auto outbox = PeerOutbox::create(link.writer(), {.budgetBytes = 4096, .windowBytes = 1000});
  int made = 0;
  ASSERT_TRUE(outbox->pushRun(numbered(1000, 400, made)));  // 400 KB in all: a hundred budgets
  EXPECT_EQ(made, 3);  // as much as the window holds, no more
  ASSERT_TRUE(outbox->push(frame("verified"), Kind::ordered));
  ASSERT_TRUE(outbox->push(frame("snapshot 1"), Kind::snapshot));
  ASSERT_TRUE(outbox->push(frame("thumbnail"), Kind::thumbnail));
  // Broadcasts while the replay goes on: a segment waits behind it, a newer
  // snapshot takes the waiting one's place.
  ASSERT_TRUE(outbox->push(frame("segment 1001"), Kind::ordered));
  ASSERT_TRUE(outbox->push(frame("snapshot 2"), Kind::snapshot));
  while (link.writeOne()) {
    EXPECT_LE(outbox->waitingBytes(), 4096u);
  }
  ASSERT_EQ(link.wire.size(), 1004u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(nameOf(link.wire[i]), "s" + std::to_string(i + 1));
  EXPECT_THAT(std::vector(link.wire.begin() + 1000, link.wire.end()),
              ElementsAre("verified", "snapshot 2", "thumbnail", "segment 1001"));
  EXPECT_TRUE(outbox->idle());
}

TEST(PeerOutbox, ThumbnailsAndSnapshotsToASlowReaderKeepOnlyTheNewest) {
  SlowLink link;
  auto outbox = PeerOutbox::create(link.writer());
  for (const char* t : {"t1", "t2", "t3"}) ASSERT_TRUE(outbox->push(frame(t), Kind::thumbnail));
  ASSERT_EQ(link.handed.size(), 1u);  // one thumbnail in flight, the newest waits
  outbox->dropWaitingThumbnail();     // the designation moved: the waiting one goes
  ASSERT_TRUE(outbox->push(frame("cleared"), Kind::ordered));
  ASSERT_TRUE(outbox->push(frame("t4"), Kind::thumbnail));
  ASSERT_TRUE(outbox->push(frame("t5"), Kind::thumbnail));
  link.writeAll();
  EXPECT_THAT(link.wire, ElementsAre("t1", "cleared", "t5"));

  // A reader that keeps up gets every snapshot; one that does not, the newest.
  link.wire.clear();
  for (const char* s : {"a", "b"}) {
    ASSERT_TRUE(outbox->push(frame(s), Kind::snapshot));
    link.writeAll();
  }
  auto narrow = PeerOutbox::create(link.writer(), {.windowBytes = 1});
  for (const char* s : {"c", "d", "e"}) ASSERT_TRUE(narrow->push(frame(s), Kind::snapshot));
  link.writeAll();
  EXPECT_THAT(link.wire, ElementsAre("a", "b", "c", "e"));
}

TEST(PeerOutbox, WhatWaitsIsBoundedAndAnEndedLinkLetsGoOfEverything) {
  SlowLink link;
  auto outbox = PeerOutbox::create(link.writer(), {.budgetBytes = 100, .windowBytes = 50, .runs = 2});
  ASSERT_TRUE(outbox->push(frame(std::string(60, 'a'))));
  ASSERT_TRUE(outbox->push(frame(std::string(40, 'b'))));
  EXPECT_FALSE(outbox->push(frame("c")));  // a reader that stopped: its owner lets it go
  EXPECT_EQ(outbox->waitingBytes(), 100u);
  // Snapshots are bounded by the same budget, and so are asked-for runs.
  EXPECT_FALSE(outbox->push(frame("s"), Kind::snapshot));
  int first = 0, second = 0, third = 0;
  ASSERT_TRUE(outbox->pushRun(numbered(3, 10, first)));
  ASSERT_TRUE(outbox->pushRun(numbered(3, 10, second)));
  EXPECT_FALSE(outbox->pushRun(numbered(3, 10, third)));
  link.writeAll();
  EXPECT_EQ(link.wire.size(), 8u);
  EXPECT_EQ(third, 0);

  // The connection ends with a run under way: nothing more is made for it.
  int made = 0;
  ASSERT_TRUE(outbox->pushRun(numbered(1000, 30, made)));
  link.ended = true;
  link.writeAll();
  EXPECT_LE(made, 3);
  EXPECT_TRUE(outbox->idle());
  EXPECT_TRUE(outbox->push(frame("late")));  // taken and dropped
  EXPECT_TRUE(outbox->idle());
}

TEST(PeerOutbox, AWriteCompletedAfterTheOutboxIsGoneDoesNothing) {
  SlowLink link;
  auto outbox = PeerOutbox::create(link.writer());
  ASSERT_TRUE(outbox->push(frame("x")));
  outbox.reset();
  EXPECT_TRUE(link.writeOne());
}

}  // namespace
}  // namespace vantle::net
