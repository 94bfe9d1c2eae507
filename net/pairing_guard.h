// Who may try a pairing handshake now: the agent's answer to online guessing
// of the six-digit code.
//
// Every failed handshake costs its source's network: a penalty that doubles
// with each failure (1 s, 2 s, 4 s ... up to 10 minutes), during which its
// connections are closed before any TLS is spoken. A handshake fails when
// the code is wrong, when it breaks, when it never finishes in time, and when
// the source's own newer connections push it out: silence is a failure too.
// On top of that, attempts draw on two shared budgets, so that many
// addresses do not multiply the rate: networks that failed before share one
// (0.5 a second, a burst of five), and networks never seen share another
// for their first try (0.3 a second, a burst of five). A network let in
// that has not failed tries again freely; the caller bounds its unfinished
// handshakes, and one pushed out by the next counts as its failure.
// Sustained, fewer than one wrong code a second gets an answer, whatever the
// number of addresses.
//
// A source is its exact address; its network is the address itself for
// IPv4 and its /64 for IPv6, since one machine may use many addresses of its
// network. Penalties belong to networks; the one exemption belongs to exact
// addresses: an address whose handshake succeeded is let in at once, past
// any penalty or budget, so that a paired companion reconnects while a flood
// runs. The exemption is no wider than its proof: it ends with the pairing
// code that earned it (newCode) and at the first failure from that address.
//
// The table of networks is bounded. When it is full, a network whose penalty
// is over may be forgotten, one still serving a penalty never: a network
// that cannot be recorded stays a newcomer, bounded by the newcomers'
// budget.
//
// Reports of guessing are bounded too: each network's episode of failures
// is reported once, and reports come at most every `reportInterval`
// seconds, gathering the networks whose episodes began meanwhile.
//
// A plain value without a clock or threads: the caller passes the time and
// keeps the guard on one queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>

#include <asio/ip/address.hpp>

namespace vantle::net {

class PairingGuard {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    double firstPenalty = 1;      // seconds after the first failure
    double longestPenalty = 600;  // seconds, at the most
    double attemptsPerSecond = 0.5;  // shared by the networks that failed
    double burst = 5;
    double newcomersPerSecond = 0.3;  // shared by networks never seen, for their first try
    double newcomerBurst = 5;
    size_t sources = 4096;           // failing networks remembered, and exempt addresses, at the most
    double quietEndsEpisode = 600;  // seconds past its penalty before a network starts afresh
    double reportInterval = 10;     // seconds between reports, at the least
  };

  // Where a connection comes from.
  struct Source {
    std::string address;  // exact: "10.0.0.5", "fd00:1:2:3::7"
    std::string network;  // what its penalties are kept for: "10.0.0.5", "fd00:1:2:3::/64"
  };
  static Source sourceOf(const asio::ip::address& address);

  PairingGuard() : PairingGuard(Settings{}) {}
  explicit PairingGuard(Settings settings) : settings_(settings) {}

  // Whether a connection from `source` may start its handshake now. An
  // allowed attempt uses up budget; a refused one costs nothing.
  bool mayTry(const Source& source, Clock::time_point now);

  // A handshake from `source` failed.
  void failed(const Source& source, Clock::time_point now);

  // A handshake from `source` succeeded: its address knows the code.
  void paired(const Source& source);

  // A new pairing code: no address knows it yet.
  void newCode() { exempt_.clear(); }

  // The report of guessing due now, if one is: a sentence for the log and
  // the user. Afterwards none is due for `reportInterval` seconds.
  std::optional<std::string> reportDue(Clock::time_point now);
  // When a report waiting for its interval may be given; absent when none waits.
  std::optional<Clock::time_point> nextReportAt() const;

 private:
  struct Record {
    int failures = 0;  // in this episode
    bool reported = false;
    Clock::time_point penaltyUntil{};
    Clock::time_point lastSeen{};
  };
  struct Bucket {
    double left = -1;  // filled at first use
    Clock::time_point refilledAt{};
    bool take(double perSecond, double burst, Clock::time_point now);
  };

  Record* recordOf(const std::string& network, Clock::time_point now);

  Settings settings_;
  std::map<std::string, Record> networks_;
  std::set<std::string> exempt_;  // addresses that paired under the current code
  Bucket failers_;
  Bucket newcomers_;
  size_t unreported_ = 0;  // networks whose episodes began since the last report
  std::string unreportedExample_;
  std::optional<Clock::time_point> lastReportAt_;
};

}  // namespace vantle::net
