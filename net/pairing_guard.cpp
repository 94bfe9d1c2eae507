#include "net/pairing_guard.h"

#include <algorithm>
#include <cmath>

#include <asio/ip/address_v6.hpp>

namespace vantle::net {
namespace {

double secondsBetween(PairingGuard::Clock::time_point from, PairingGuard::Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

PairingGuard::Clock::time_point after(PairingGuard::Clock::time_point at, double seconds) {
  return at + std::chrono::duration_cast<PairingGuard::Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

PairingGuard::Source PairingGuard::sourceOf(const asio::ip::address& address) {
  if (address.is_v4()) return {address.to_string(), address.to_string()};
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) {
    const std::string v4 = asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    return {v4, v4};
  }
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return {asio::ip::address_v6(v6.to_bytes()).to_string(), asio::ip::address_v6(bytes).to_string() + "/64"};
}

bool PairingGuard::Bucket::take(double perSecond, double burst, Clock::time_point now) {
  left = left < 0 ? burst : std::min(burst, left + std::max(0.0, secondsBetween(refilledAt, now)) * perSecond);
  refilledAt = now;
  if (left < 1) return false;
  left -= 1;
  return true;
}

PairingGuard::Record* PairingGuard::recordOf(const std::string& network, Clock::time_point now) {
  auto found = networks_.find(network);
  if (found == networks_.end()) {
    if (networks_.size() >= settings_.sources) {
      // Forget the network seen longest ago whose penalty is over; one
      // still serving a penalty is never forgotten.
      auto oldest = networks_.end();
      for (auto it = networks_.begin(); it != networks_.end(); ++it) {
        if (it->second.penaltyUntil <= now && (oldest == networks_.end() || it->second.lastSeen < oldest->second.lastSeen)) {
          oldest = it;
        }
      }
      if (oldest == networks_.end()) return nullptr;
      networks_.erase(oldest);
    }
    found = networks_.emplace(network, Record{}).first;
  }
  found->second.lastSeen = now;
  return &found->second;
}

bool PairingGuard::mayTry(const Source& source, Clock::time_point now) {
  if (exempt_.contains(source.address)) return true;
  const auto found = networks_.find(source.network);
  if (found == networks_.end()) {
    if (!newcomers_.take(settings_.newcomersPerSecond, settings_.newcomerBurst, now)) return false;
    recordOf(source.network, now);  // known from now on; when the table is full, a newcomer again next time
    return true;
  }
  Record& record = found->second;
  record.lastSeen = now;
  if (now < record.penaltyUntil) return false;
  // Known and not failing: its handshakes are bounded by the caller's cap on
  // each network's unfinished ones, whose overflow is a failure.
  if (record.failures == 0) return true;
  return failers_.take(settings_.attemptsPerSecond, settings_.burst, now);
}

void PairingGuard::failed(const Source& source, Clock::time_point now) {
  exempt_.erase(source.address);  // who knows the code does not fail: someone else is at that address
  Record* record = recordOf(source.network, now);
  if (!record) return;  // every remembered network serves a penalty: this one stays a newcomer
  // Quiet since its last penalty ran out: whatever comes now is a new episode.
  if (record->failures > 0 && secondsBetween(record->penaltyUntil, now) > settings_.quietEndsEpisode) {
    record->reported = false;
    record->failures = 0;
  }
  ++record->failures;
  const double penalty =
      std::min(settings_.longestPenalty, settings_.firstPenalty * std::pow(2.0, std::min(record->failures - 1, 30)));
  record->penaltyUntil = after(now, penalty);
  if (record->reported) return;
  record->reported = true;
  if (unreported_++ == 0) unreportedExample_ = source.network;
}

void PairingGuard::paired(const Source& source) {
  if (exempt_.size() < settings_.sources) exempt_.insert(source.address);
}

std::optional<std::string> PairingGuard::reportDue(Clock::time_point now) {
  const std::optional<Clock::time_point> at = nextReportAt();
  if (!at || now < *at) return std::nullopt;
  const std::string sentence =
      unreported_ == 1 ? "Someone at " + unreportedExample_ +
                             " is trying pairing codes. If that is not one of your devices, make a new pairing code."
                       : "Someone at " + std::to_string(unreported_) +
                             " addresses is trying pairing codes. If those are not your devices, make a new pairing "
                             "code.";
  unreported_ = 0;
  unreportedExample_.clear();
  lastReportAt_ = now;
  return sentence;
}

std::optional<PairingGuard::Clock::time_point> PairingGuard::nextReportAt() const {
  if (unreported_ == 0) return std::nullopt;
  if (!lastReportAt_) return Clock::time_point::min();
  return after(*lastReportAt_, settings_.reportInterval);
}

}  // namespace vantle::net
