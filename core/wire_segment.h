// One closed shot as it leaves the agent: the tracker's record stamped with a
// sequence number, its shoot and session, its timing split into active, idle
// and setup time, and optionally a thumbnail and a preview.
//
// Decoding is strict: the 13 required fields must be present with the right
// JSON types, and an optional field present with a wrong type fails as well.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/instant.h"
#include "core/shot_tracker.h"
#include "core/vantle_coding.h"

namespace vantle::core {

struct IdlePhases {
  double before = 0;
  double during = 0;
  double after = 0;
  bool operator==(const IdlePhases&) const = default;
};

struct WireSegment {
  uint64_t seq = 0;  // unique and increasing per agent installation
  std::string path;
  std::string folderName;  // last component of path
  Instant openedAt;
  Instant closedAt;
  int64_t startFrameCount = 0;
  int64_t endFrameCount = 0;
  int64_t framesAdded = 0;
  std::optional<std::string> lastFileName;
  bool isRevisit = false;
  std::optional<std::string> shootID;
  std::optional<std::string> sessionName;
  std::optional<std::string> sessionID;
  std::optional<std::string> agentID;
  std::optional<Bytes> thumbnail;
  std::optional<Bytes> preview;
  std::optional<Instant> firstFrameAt;
  std::optional<Instant> lastFrameAt;
  double duration = 0;
  double activeTime = 0;
  double idleTime = 0;
  double betweenTime = 0;
  // Optional on the wire: older agents did not split idle time.
  std::optional<double> idleBeforeFirst;
  std::optional<double> idleDuringCaptures;
  std::optional<double> idleAfterLast;

  bool operator==(const WireSegment&) const = default;

  // A segment for a closed shot, with the timing derived from the record.
  static WireSegment fromRecord(uint64_t seq, const ShotSegmentRecord& record, bool isRevisit,
                                std::optional<std::string> shootID, std::optional<std::string> sessionName,
                                std::optional<std::string> sessionID, std::optional<std::string> agentID,
                                std::optional<Bytes> thumbnail, std::optional<Bytes> preview);

  // The three idle parts; for a segment without the split, estimated from
  // the setup time and the total idle.
  IdlePhases idlePhases() const;

  // The tracker's record this segment stands for.
  ShotSegmentRecord record() const;

  Json encode() const;
  static std::optional<WireSegment> decode(const Json& value);
};

// The last component of a path ("/a/b/" gives "b"); the path itself when it
// has no separator.
std::string lastPathComponent(std::string_view path);

}  // namespace vantle::core
