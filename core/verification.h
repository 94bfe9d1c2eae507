// Fresh counts of folders, and the dated verification records a shoot keeps.
//
// The agent produces these when a companion asks it to count folders again;
// CountAudit judges them against what the shoot recorded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/instant.h"

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
};

// One verification of a shoot: the readings taken at one moment.
struct ShootVerification {
  std::string shootID;
  Instant at;
  std::vector<FolderReading> readings;

  bool operator==(const ShootVerification&) const = default;
};

}  // namespace vantle::core
