// The computer's battery, as the kernel's power-supply class shows it.
//
// Every entry under the root (normally /sys/class/power_supply) is a power
// source; they are taken in name order and the first battery that gives a
// charge answers. Batteries of attached devices (a mouse, a headset) and
// empty battery bays are passed over, and so is a battery whose full charge
// reads as 0. Reads the files afresh on every call; thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vantle::agent {

struct BatteryReading {
  int64_t percent = 0;      // of a full charge, truncated toward zero
  bool isCharging = false;  // on external power: charging, full, or held at a charge limit
  bool operator==(const BatteryReading&) const = default;
};

class PowerSources {
 public:
  static constexpr const char* systemRoot = "/sys/class/power_supply";

  // Sources under `root`; tests give a folder of their own making.
  explicit PowerSources(std::filesystem::path root = systemRoot) : root_(std::move(root)) {}

  // The first battery's reading; nullopt when no battery gives one.
  std::optional<BatteryReading> battery() const;

 private:
  std::filesystem::path root_;
};

}  // namespace vantle::agent
