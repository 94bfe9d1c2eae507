// The agent's whole current state in one value, as companions receive it.
//
// The coordinator rebuilds a snapshot after every reading; the service sends
// it in `snapshot` messages. Companions decode it tolerantly: a missing key or
// a value of the wrong type takes that field's default, so an older agent or
// an unknown value still yields a usable snapshot. Only a JSON value that is
// not an object fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/frame_count_rule.h"
#include "core/instant.h"
#include "core/shot_clock.h"
#include "core/status.h"
#include "core/vantle_coding.h"

namespace vantle::core {

// Fields in their wire order; absent optionals are left out of the JSON. The
// coordinator assigns `shootID` and `isCameraConnected` after building the rest.
struct VantleSnapshot {
  int64_t protocolVersion = vantleProtocolVersion;
  uint64_t seq = 0;  // highest segment sequence number stored when built
  Instant at;        // when it was built
  AgentStatus status = AgentStatus::ok;
  SourceKind sourceKind = SourceKind::designation;
  WatchMode watchMode = WatchMode::fsevents;
  std::optional<std::string> sessionName;
  std::optional<std::string> sessionID;
  std::optional<DocumentKind> documentKind;
  std::optional<std::string> designatedPath;  // the open shot's folder, else the designated one
  std::optional<std::string> shotName;        // last component of designatedPath
  int64_t frameCount = 0;
  // The open shot's clock inputs.
  std::optional<Instant> shotOpenedAt;
  double shotAccumulatedBefore = 0;
  double shotIdleBanked = 0;
  std::optional<Instant> shotLastActivityAt;
  double idleThreshold = 300;
  std::optional<std::string> agentID;
  std::optional<std::string> shootID;
  // The day's totals.
  double totalShotTime = 0;
  double totalBetween = 0;
  double totalUntracked = 0;
  std::optional<Instant> firstCaptureAt;
  int64_t shotsCompleted = 0;
  int64_t framesThisShoot = 0;
  bool isLocalVolume = true;
  FrameCountRule::CountingMode countingMode = FrameCountRule::CountingMode::rawOnly;
  int64_t orphanCount = 0;
  std::vector<std::string> orphanExtensions;  // without the dot
  std::optional<std::string> cameraBattery;
  std::optional<bool> isCameraConnected;

  bool operator==(const VantleSnapshot&) const = default;

  // Equal in every field but `at`.
  bool matchesContent(const VantleSnapshot& other) const;

  DayTiming dayTiming() const;
  ShotClock shotClock() const;

  // The menu's line about image files without a RAW beside them, under
  // rawOnly counting; nullopt when there are none.
  std::optional<std::string> orphanWarning() const;

  Json encode() const;
  // Tolerant decoding; `now` is the default of `at`. Fails only when `value`
  // is not a JSON object.
  static std::optional<VantleSnapshot> decode(const Json& value, Instant now);
};

}  // namespace vantle::core
