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

std::string PairingGuard::sourceOf(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

PairingGuard::Record& PairingGuard::recordOf(const std::string& source, Clock::time_point now) {
  auto found = records_.find(source);
  if (found == records_.end()) {
    if (records_.size() >= settings_.sources) {
      // Forget the source seen longest ago that never paired; paired ones stay.
      auto oldest = records_.end();
      for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (!it->second.everPaired && (oldest == records_.end() || it->second.lastSeen < oldest->second.lastSeen)) {
          oldest = it;
        }
      }
      if (oldest != records_.end()) records_.erase(oldest);
    }
    found = records_.emplace(source, Record{}).first;
  }
  found->second.lastSeen = now;
  return found->second;
}

void PairingGuard::refill(Clock::time_point now) {
  if (budget_ < 0) {
    budget_ = settings_.burst;
  } else {
    budget_ = std::min(settings_.burst, budget_ + std::max(0.0, secondsBetween(refilledAt_, now)) *
                                                      settings_.attemptsPerSecond);
  }
  refilledAt_ = now;
}

bool PairingGuard::take() {
  if (budget_ < 1) return false;
  budget_ -= 1;
  return true;
}

bool PairingGuard::mayTry(const std::string& source, Clock::time_point now) {
  refill(now);
  Record& record = recordOf(source, now);
  if (record.everPaired) return true;
  if (now < record.penaltyUntil) return false;
  if (record.failures == 0) {
    take();  // a first attempt goes ahead even with the budget spent
    return true;
  }
  return take();
}

bool PairingGuard::failed(const std::string& source, Clock::time_point now) {
  Record& record = recordOf(source, now);
  if (record.everPaired) return false;
  // Quiet since its last penalty ran out: whatever comes now is a new episode.
  if (record.reported && secondsBetween(record.penaltyUntil, now) > settings_.quietEndsEpisode) {
    record.reported = false;
    record.failures = 0;
  }
  ++record.failures;
  const double penalty =
      std::min(settings_.longestPenalty, settings_.firstPenalty * std::pow(2.0, std::min(record.failures - 1, 30)));
  record.penaltyUntil = after(now, penalty);
  if (record.reported) return false;
  record.reported = true;
  return true;
}

void PairingGuard::paired(const std::string& source) {
  auto found = records_.find(source);
  if (found == records_.end()) found = records_.emplace(source, Record{}).first;
  found->second = Record{.everPaired = true, .lastSeen = found->second.lastSeen};
}

}  // namespace vantle::net
