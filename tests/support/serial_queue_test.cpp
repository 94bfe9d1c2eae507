#include "support/serial_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/thread_pool.h"
#include "support/weak.h"
#include "tests/support/eventually.h"

namespace vantle::support {
namespace {

using namespace std::chrono_literals;

using testing::eventually;

TEST(SerialQueue, RunsWorkInOrderOneAtATime) {
  ThreadPool pool(4);
  SerialQueue queue("com.orvane.vantle.test", pool);
  std::vector<int> seen;  // touched only on the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 2000; ++i) {
    queue.post([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
  }
  const std::vector<int> result = queue.sync([&] { return seen; });
  ASSERT_EQ(result.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(result[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(RepeatingTimer, FiresAtItsCadenceUntilCancelledOrDestroyed) {
  ThreadPool pool(2);
  SerialQueue queue("q", pool);
  // Asked to fire now, a timer of a minute fires at once.
  std::atomic<int> immediate{0};
  RepeatingTimer slow(queue, 60, [&] { ++immediate; }, /*fireNow=*/true);
  ASSERT_TRUE(eventually([&] { return immediate == 1; }));

  // Cancelled on its queue, or destroyed on another thread.
  std::atomic<int> cancelled{0}, destroyed{0};
  const auto start = std::chrono::steady_clock::now();
  RepeatingTimer timer(queue, 0.02, [&] { ++cancelled; });
  auto other = std::make_unique<RepeatingTimer>(queue, 0.02, [&] { ++destroyed; });
  ASSERT_TRUE(eventually([&] { return cancelled >= 5 && destroyed >= 5; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);  // no faster than its cadence
  queue.sync([&] { timer.cancel(); });
  other.reset();
  queue.sync([] {});
  const int atCancel = cancelled, atDestruction = destroyed;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(cancelled, atCancel);
  EXPECT_EQ(destroyed, atDestruction);
}

TEST(RepeatingTimer, ALateTimerFiresOnceThenKeepsItsCadenceFromNow) {
  ThreadPool pool(2);
  SerialQueue queue("q", pool);
  using Clock = std::chrono::steady_clock;
  std::vector<Clock::time_point> firedAt;  // touched only on the queue
  RepeatingTimer timer(queue, 0.05, [&] { firedAt.push_back(Clock::now()); });
  // The queue stalls for ten intervals, as it would behind a network folder that hangs.
  const auto stallEnd = queue.sync([] {
    std::this_thread::sleep_for(500ms);
    return Clock::now();
  });
  ASSERT_TRUE(eventually([&] {
    return queue.sync([&] { return !firedAt.empty() && firedAt.back() >= stallEnd; });
  }));
  std::this_thread::sleep_for(30ms);
  const auto burst = queue.sync([&] {
    return std::count_if(firedAt.begin(), firedAt.end(),
                         [&](auto t) { return t >= stallEnd && t < stallEnd + 30ms; });
  });
  EXPECT_EQ(burst, 1) << "the missed firings came back to back";
}

TEST(Weakly, WorkForAReleasedOwnerDoesNothing) {
  ThreadPool pool(2);
  SerialQueue queue("q", pool);
  auto owner = std::make_shared<int>(0);  // counts what the callback adds
  std::weak_ptr<int> watch = owner;
  auto callback = weakly(owner, [](int& calls, int n) { calls += n; });
  queue.sync([&] { callback(2); });
  EXPECT_EQ(*owner, 2);

  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  queue.post([opened] { opened.wait(); });
  queue.post([callback] { callback(5); });  // queued while the owner still lives
  owner.reset();
  gate.set_value();
  queue.sync([] {});
  EXPECT_TRUE(watch.expired());  // the closure did not keep it alive
}

TEST(SerialQueue, AWeakHopRunsOnTheOwnersQueueWithCopiesAndNeverHoldsTheOwner) {
  ThreadPool pool(2);
  SerialQueue queue("q", pool);
  auto owner = std::make_shared<std::vector<std::string>>();
  std::atomic<bool> onQueue{true};
  auto hop = weaklyOn(queue, owner, [&](std::vector<std::string>& seen, const std::string& text) {
    onQueue = onQueue && queue.isCurrent();
    seen.push_back(text);
  });
  {
    std::string text = "first";
    std::thread([&] { hop(text); }).join();
    text = "changed";  // the hop took a copy
  }
  queue.sync([] {});
  EXPECT_EQ(*owner, std::vector<std::string>{"first"});
  EXPECT_TRUE(onQueue);

  std::weak_ptr<std::vector<std::string>> watch = owner;
  owner.reset();
  EXPECT_TRUE(watch.expired());  // the hop does not keep it
  hop(std::string("late"));      // nothing to run
  queue.sync([] {});
}

TEST(SerialQueue, RunOrWaitRunsInPlaceOnTheQueueAndWaitsElsewhere) {
  ThreadPool pool(2);
  SerialQueue queue("q", pool);
  EXPECT_EQ(queue.runOrWait([&] { return queue.isCurrent(); }), true);
  // From a callback already on the queue: in place, where sync would wait forever.
  EXPECT_EQ(queue.sync([&] { return queue.runOrWait([] { return 7; }); }), 7);
}

#ifndef NDEBUG
TEST(SerialQueueDeathTest, AMethodMeantForTheQueueAbortsWhenCalledElsewhere) {
  ThreadPool pool(1);
  SerialQueue queue("com.orvane.vantle.test", pool);
  queue.sync([&] { VANTLE_ON_QUEUE(queue); });  // on the queue: nothing happens
  EXPECT_DEATH(VANTLE_ON_QUEUE(queue), "ran off its queue com.orvane.vantle.test");
}
#endif

}  // namespace
}  // namespace vantle::support
