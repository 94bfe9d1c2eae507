#include "net/pairing_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantle::net {
namespace {

using Clock = PairingGuard::Clock;
using Source = PairingGuard::Source;

Clock::time_point at(double seconds) {
  return Clock::time_point{} + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

Source from(const std::string& address) { return PairingGuard::sourceOf(asio::ip::make_address(address)); }

// Guesses `source` may try between `from` and `to`, trying whenever it may
// (every 10 ms) and always failing.
int guessesBetween(PairingGuard& guard, const Source& source, double start, double end) {
  int guesses = 0;
  for (double t = start; t < end; t += 0.01) {
    if (!guard.mayTry(source, at(t))) continue;
    ++guesses;
    guard.failed(source, at(t));
  }
  return guesses;
}

TEST(PairingGuard, EachFailureDoublesItsNetworksWait) {
  PairingGuard guard;
  const Source guesser = from("10.0.0.9");
  ASSERT_TRUE(guard.mayTry(guesser, at(0)));
  guard.failed(guesser, at(0));
  EXPECT_FALSE(guard.mayTry(guesser, at(0.99)));
  EXPECT_TRUE(guard.mayTry(guesser, at(1.01)));
  guard.failed(guesser, at(1.01));
  EXPECT_FALSE(guard.mayTry(guesser, at(3.0)));
  EXPECT_TRUE(guard.mayTry(guesser, at(3.02)));
  // An hour of trying: the waits cap at ten minutes.
  EXPECT_LE(guessesBetween(guard, guesser, 4, 3604), 16);
  // Another address is not slowed by it.
  EXPECT_TRUE(guard.mayTry(from("10.0.0.10"), at(3604)));
}

TEST(PairingGuard, SourcesAreExactAddressesInNetworksOfOneAddressOrA64) {
  const Source v4 = from("192.168.1.20"), mapped = from("::ffff:192.168.1.20"),
               v6 = from("fd00:1:2:3:aaaa:bbbb:cccc:dddd");
  EXPECT_EQ(v4.address, "192.168.1.20");
  EXPECT_EQ(v4.network, "192.168.1.20");
  EXPECT_EQ(mapped.address, "192.168.1.20");
  EXPECT_EQ(v6.address, "fd00:1:2:3:aaaa:bbbb:cccc:dddd");
  EXPECT_EQ(v6.network, "fd00:1:2:3::/64");
}

// The exemption a pairing earns is no wider than its proof: the exact
// address, under the code it paired with, until that address fails.
TEST(PairingGuard, AnExemptionBelongsToOneAddressAndEndsWithItsCodeOrItsFirstFailure) {
  PairingGuard guard;
  const Source companion = from("fd00::1"), neighbour = from("fd00::2");
  ASSERT_TRUE(guard.mayTry(companion, at(0)));
  guard.paired(companion);

  // Another address of the same /64 guesses: slowed as any stranger is.
  EXPECT_LE(guessesBetween(guard, neighbour, 0, 60), 8);
  // The companion itself reconnects at once, past its network's penalty.
  EXPECT_TRUE(guard.mayTry(companion, at(60)));

  // A guest paired, then the code changed: the guest guesses the new one
  // as slowly as anyone.
  const Source guest = from("127.0.0.50");
  ASSERT_TRUE(guard.mayTry(guest, at(100)));
  guard.paired(guest);
  guard.newCode();
  EXPECT_LE(guessesBetween(guard, guest, 100, 160), 8);

  // Behind one address with a paired companion, a wrong code ends the
  // exemption: who knows the code does not fail.
  const Source shared = from("192.168.1.1");
  ASSERT_TRUE(guard.mayTry(shared, at(200)));
  guard.paired(shared);
  EXPECT_LE(guessesBetween(guard, shared, 200, 260), 8);
}

// Eight guessers at one address and a stranger rotating over 5,000: what
// gets an answer, sustained, stays under one wrong code a second.
TEST(PairingGuard, ManyAddressesGetNoMoreAnswersThanOne) {
  PairingGuard guard;
  int answered = 0;
  const double seconds = 120;
  int next = 0;
  for (double t = 0; t < seconds; t += 0.001) {
    const Source rotating = from("127.1." + std::to_string(next / 250 % 20) + "." + std::to_string(next % 250 + 1));
    ++next;
    if (guard.mayTry(rotating, at(t))) {
      ++answered;
      guard.failed(rotating, at(t));
    }
    if (guard.mayTry(from("127.0.0.1"), at(t))) {
      ++answered;
      guard.failed(from("127.0.0.1"), at(t));
    }
  }
  EXPECT_LE(answered, 0.8 * seconds + 10);  // the two bursts on top
}

TEST(PairingGuard, AFullTableNeverForgetsARunningPenalty) {
  PairingGuard guard({.newcomersPerSecond = 1e9, .newcomerBurst = 1e9, .sources = 3});
  for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
    ASSERT_TRUE(guard.mayTry(from(address), at(0)));
    guard.failed(from(address), at(0));
  }
  for (int i = 0; i < 4097; ++i) {
    const Source other = from("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
    if (guard.mayTry(other, at(0.5))) guard.failed(other, at(0.5));
  }
  for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
    EXPECT_FALSE(guard.mayTry(from(address), at(0.9))) << address << " is still serving its penalty";
  }
  // Once the penalties are over, the table makes room again.
  guard.failed(from("10.2.0.1"), at(2));
  EXPECT_FALSE(guard.mayTry(from("10.2.0.1"), at(2.5)));
}

// Silence and floods draw on the newcomers' budget: a companion that
// mistyped once still gets its second try once its penalty is over.
TEST(PairingGuard, NewcomersDoNotSpendTheBudgetOfThoseWhoFailed) {
  PairingGuard guard;
  const Source mistyped = from("10.0.0.7");
  ASSERT_TRUE(guard.mayTry(mistyped, at(0)));
  guard.failed(mistyped, at(0));
  int flood = 0;
  for (double t = 0; t < 2; t += 0.01) flood += guard.mayTry(from("10.9.0." + std::to_string(int(t * 100) % 250 + 1)), at(t));
  EXPECT_LE(flood, 6);
  EXPECT_TRUE(guard.mayTry(mistyped, at(2)));
}

TEST(PairingGuard, ReportsComeOncePerNetworkPerEpisodeAndAtMostEveryTenSeconds) {
  PairingGuard guard;
  EXPECT_EQ(guard.reportDue(at(0)), std::nullopt);
  guard.failed(from("10.0.0.1"), at(0));
  EXPECT_EQ(guard.reportDue(at(0)),
            "Someone at 10.0.0.1 is trying pairing codes. If that is not one of your devices, make a new pairing code.");
  // The same episode is not reported again; three new networks wait for the interval, then come as one line.
  guard.failed(from("10.0.0.1"), at(2));
  for (const char* address : {"10.0.0.2", "10.0.0.3", "fd00::9"}) guard.failed(from(address), at(3));
  EXPECT_EQ(guard.reportDue(at(9)), std::nullopt);
  EXPECT_EQ(guard.nextReportAt(), at(10));
  EXPECT_EQ(guard.reportDue(at(10)),
            "Someone at 3 addresses is trying pairing codes. If those are not your devices, make a new pairing code.");
  EXPECT_EQ(guard.nextReportAt(), std::nullopt);
}

}  // namespace
}  // namespace vantle::net
