#include "net/pairing_guard.h"

#include <gtest/gtest.h>

namespace vantle::net {
namespace {

using Clock = PairingGuard::Clock;

Clock::time_point at(double seconds) {
  return Clock::time_point{} + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Guesses `source` may try between `from` and `to`, trying whenever it may
// (every 10 ms) and always failing.
int guessesBetween(PairingGuard& guard, const std::string& source, double from, double to) {
  int guesses = 0;
  for (double t = from; t < to; t += 0.01) {
    if (!guard.mayTry(source, at(t))) continue;
    ++guesses;
    guard.failed(source, at(t));
  }
  return guesses;
}

TEST(PairingGuard, EachFailureDoublesItsSourcesWait) {
  PairingGuard guard;
  ASSERT_TRUE(guard.mayTry("10.0.0.9", at(0)));
  EXPECT_TRUE(guard.failed("10.0.0.9", at(0)));  // a new episode: say so
  EXPECT_FALSE(guard.mayTry("10.0.0.9", at(0.99)));
  EXPECT_TRUE(guard.mayTry("10.0.0.9", at(1.01)));
  EXPECT_FALSE(guard.failed("10.0.0.9", at(1.01)));  // the same episode: said already
  EXPECT_FALSE(guard.mayTry("10.0.0.9", at(3.0)));
  EXPECT_TRUE(guard.mayTry("10.0.0.9", at(3.02)));
  // An hour of trying: the waits cap at ten minutes.
  EXPECT_LE(guessesBetween(guard, "10.0.0.9", 4, 3604), 16);

  // Others are not slowed by it, and a source that paired never is.
  EXPECT_TRUE(guard.mayTry("10.0.0.10", at(3604)));
  guard.paired("10.0.0.10");
  for (int i = 0; i < 20; ++i) {
    guard.failed("10.0.0.10", at(3604));
    EXPECT_TRUE(guard.mayTry("10.0.0.10", at(3604)));
  }
}

TEST(PairingGuard, SourcesAreAddressesOrIPv6Networks) {
  EXPECT_EQ(PairingGuard::sourceOf(asio::ip::make_address("192.168.1.20")), "192.168.1.20");
  EXPECT_EQ(PairingGuard::sourceOf(asio::ip::make_address("::ffff:192.168.1.20")), "192.168.1.20");
  EXPECT_EQ(PairingGuard::sourceOf(asio::ip::make_address("fd00:1:2:3:aaaa:bbbb:cccc:dddd")), "fd00:1:2:3::/64");
}

TEST(PairingGuard, AFullTableForgetsTheOldestStrangerButNoPairedSource) {
  PairingGuard guard({.sources = 3});
  guard.mayTry("10.0.0.1", at(0));
  guard.paired("10.0.0.1");
  guard.mayTry("10.0.0.2", at(1));
  guard.failed("10.0.0.2", at(1));
  guard.mayTry("10.0.0.3", at(2));
  guard.failed("10.0.0.3", at(2));
  guard.mayTry("10.0.0.4", at(3));  // the table is full: 10.0.0.2 goes
  guard.failed("10.0.0.1", at(3));
  EXPECT_TRUE(guard.mayTry("10.0.0.1", at(3)));  // still known to have paired
  EXPECT_FALSE(guard.mayTry("10.0.0.3", at(2.5)));  // still waiting out its penalty
}

}  // namespace
}  // namespace vantle::net
