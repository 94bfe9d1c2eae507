// Who may try a pairing handshake now: the agent's answer to online guessing
// of the six-digit code.
//
// Every failed handshake costs its source: a penalty that doubles with each
// failure (1 s, 2 s, 4 s ... up to 10 minutes), during which the source's
// connections are closed before any TLS is spoken. On top of that, sources
// that ever failed share one budget of attempts, refilled at 0.8 a second (a
// burst of five), so that many addresses do not multiply the rate: sustained,
// fewer than one wrong code a second gets an answer, whatever the number of
// addresses (over a week for even odds on the code). A source that has
// paired is never slowed, and a source never seen before gets its first
// attempt even when the budget is spent, so a new companion pairs at once
// while a flood runs. IPv4 sources are single addresses; IPv6 sources are
// /64 networks, since one machine may use many addresses of its network.
//
// A plain value without a clock or threads: the caller passes the time and
// keeps the guard on one queue. The table of sources is bounded; when it is
// full the least recently seen source that never paired is forgotten.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include <asio/ip/address.hpp>

namespace vantle::net {

class PairingGuard {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    double firstPenalty = 1;      // seconds after the first failure
    double longestPenalty = 600;  // seconds, at the most
    double attemptsPerSecond = 0.8;  // under one a second, with room for timing
    double burst = 5;
    size_t sources = 4096;          // remembered at the most
    double quietEndsEpisode = 600;  // seconds past its penalty before a source starts afresh
  };

  PairingGuard() : PairingGuard(Settings{}) {}
  explicit PairingGuard(Settings settings) : settings_(settings) {}

  // The source an address belongs to, as text: "10.0.0.5", "fd00:1:2:3::/64".
  static std::string sourceOf(const asio::ip::address& address);

  // Whether a connection from `source` may start its handshake now. An
  // allowed attempt uses up budget; a refused one costs nothing.
  bool mayTry(const std::string& source, Clock::time_point now);

  // A handshake from `source` failed (a wrong code, a broken or stalled
  // handshake). True when this starts a new episode of failures from it:
  // the time to log it and to tell the user.
  bool failed(const std::string& source, Clock::time_point now);

  // A handshake from `source` succeeded: it knows the code.
  void paired(const std::string& source);

 private:
  struct Record {
    int failures = 0;  // in this episode; 0 only for a source that never failed
    bool everPaired = false;
    bool reported = false;
    Clock::time_point penaltyUntil{};
    Clock::time_point lastSeen{};
  };

  Record& recordOf(const std::string& source, Clock::time_point now);
  void refill(Clock::time_point now);
  bool take();

  Settings settings_;
  std::map<std::string, Record> records_;
  double budget_ = -1;  // attempts left; filled at first use
  Clock::time_point refilledAt_{};
};

}  // namespace vantle::net
