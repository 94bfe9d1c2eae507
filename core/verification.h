// Fresh counts of folders, and the dated verification records a shoot keeps.
//
// The agent produces these when a companion asks it to count folders again;
// CountAudit judges them against what the shoot recorded. Their JSON is read
// leniently: a missing or mistyped key takes its default, so a reading from an
// older or partial peer never fails a whole message. Only a value that is not
// an object fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/instant.h"
#include "core/vantle_coding.h"

namespace vantle::core {

// The count of one folder at one moment.
struct FolderReading {
  std::string path;
  int64_t frameCount = 0;  // under the agent's counting mode
  bool exists = true;
  bool readable = true;
  int64_t orphanCount = 0;  // captures without a RAW file
  // The frames the current shoot recorded in this folder, when reported.
  std::optional<int64_t> shootFrames;

  bool operator==(const FolderReading&) const = default;

  Json encode() const;
  static std::optional<FolderReading> decode(const Json& value);
};

// One verification of a shoot: the readings taken at one moment.
struct ShootVerification {
  std::string shootID;
  Instant at;
  std::vector<FolderReading> readings;

  bool operator==(const ShootVerification&) const = default;

  Json encode() const;
  // `now` is the default of `at`.
  static std::optional<ShootVerification> decode(const Json& value, Instant now);
};

// Readings from a JSON array of reading objects; nullopt when `value` is not
// an array or holds anything but objects.
std::optional<std::vector<FolderReading>> decodeReadings(const Json& value);
Json encodeReadings(const std::vector<FolderReading>& readings);

}  // namespace vantle::core
