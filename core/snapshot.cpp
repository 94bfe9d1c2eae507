#include "core/snapshot.h"

#include "core/json_fields.h"

namespace vantle::core {
namespace {

std::string joined(const std::vector<std::string>& items, std::string_view prefix, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += prefix;
    out += items[i];
  }
  return out;
}

}  // namespace

bool VantleSnapshot::matchesContent(const VantleSnapshot& other) const {
  VantleSnapshot sameTime = other;
  sameTime.at = at;
  return *this == sameTime;
}

DayTiming VantleSnapshot::dayTiming() const {
  return DayTiming{shotsCompleted, totalShotTime, totalBetween, totalUntracked};
}

ShotClock VantleSnapshot::shotClock() const {
  return ShotClock{shotAccumulatedBefore, shotOpenedAt, shotIdleBanked, shotLastActivityAt, idleThreshold};
}

std::optional<std::string> VantleSnapshot::orphanWarning() const {
  if (countingMode != FrameCountRule::CountingMode::rawOnly || orphanCount <= 0) return std::nullopt;
  const std::string noun = orphanCount == 1 ? "file" : "files";
  const std::string list = joined(orphanExtensions, ".", ", ");
  if (frameCount == 0) return std::to_string(orphanCount) + " " + noun + " here, no raw among them (" + list + ")";
  return std::to_string(orphanCount) + " " + noun + " with no raw (" + list + ")";
}

Json VantleSnapshot::encode() const {
  using VantleCoding::formatInstant;
  Json o = Json::object();
  o["protocolVersion"] = protocolVersion;
  o["seq"] = seq;
  o["at"] = formatInstant(at);
  o["status"] = caseName(status);
  o["sourceKind"] = caseName(sourceKind);
  o["watchMode"] = caseName(watchMode);
  if (sessionName) o["sessionName"] = *sessionName;
  if (sessionID) o["sessionID"] = *sessionID;
  if (documentKind) o["documentKind"] = caseName(*documentKind);
  if (designatedPath) o["designatedPath"] = *designatedPath;
  if (shotName) o["shotName"] = *shotName;
  o["frameCount"] = frameCount;
  if (shotOpenedAt) o["shotOpenedAt"] = formatInstant(*shotOpenedAt);
  o["shotAccumulatedBefore"] = shotAccumulatedBefore;
  o["shotIdleBanked"] = shotIdleBanked;
  if (shotLastActivityAt) o["shotLastActivityAt"] = formatInstant(*shotLastActivityAt);
  o["idleThreshold"] = idleThreshold;
  if (agentID) o["agentID"] = *agentID;
  if (shootID) o["shootID"] = *shootID;
  o["totalShotTime"] = totalShotTime;
  o["totalBetween"] = totalBetween;
  o["totalUntracked"] = totalUntracked;
  if (firstCaptureAt) o["firstCaptureAt"] = formatInstant(*firstCaptureAt);
  o["shotsCompleted"] = shotsCompleted;
  o["framesThisShoot"] = framesThisShoot;
  o["isLocalVolume"] = isLocalVolume;
  o["countingMode"] = caseName(countingMode);
  o["orphanCount"] = orphanCount;
  o["orphanExtensions"] = orphanExtensions;
  if (cameraBattery) o["cameraBattery"] = *cameraBattery;
  if (isCameraConnected) o["isCameraConnected"] = *isCameraConnected;
  return o;
}

std::optional<VantleSnapshot> VantleSnapshot::decode(const Json& value, Instant now) {
  using namespace json;
  if (!value.is_object()) return std::nullopt;
  VantleSnapshot s;
  s.at = now;
  // Optional fields start absent, so a bad value simply leaves them so.
  readOr(value, "protocolVersion", s.protocolVersion, asInt64);
  readOr(value, "seq", s.seq, asUInt64);
  readOr(value, "at", s.at, asInstant);
  readOr(value, "status", s.status, asCase<AgentStatus>);
  readOr(value, "sourceKind", s.sourceKind, asCase<SourceKind>);
  readOr(value, "watchMode", s.watchMode, asCase<WatchMode>);
  readOr(value, "sessionName", s.sessionName, asString);
  readOr(value, "sessionID", s.sessionID, asString);
  readOr(value, "documentKind", s.documentKind, asCase<DocumentKind>);
  readOr(value, "designatedPath", s.designatedPath, asString);
  readOr(value, "shotName", s.shotName, asString);
  readOr(value, "frameCount", s.frameCount, asInt64);
  readOr(value, "shotOpenedAt", s.shotOpenedAt, asInstant);
  readOr(value, "shotAccumulatedBefore", s.shotAccumulatedBefore, asDouble);
  readOr(value, "shotIdleBanked", s.shotIdleBanked, asDouble);
  readOr(value, "shotLastActivityAt", s.shotLastActivityAt, asInstant);
  readOr(value, "idleThreshold", s.idleThreshold, asDouble);
  readOr(value, "agentID", s.agentID, asString);
  readOr(value, "shootID", s.shootID, asString);
  readOr(value, "totalShotTime", s.totalShotTime, asDouble);
  readOr(value, "totalBetween", s.totalBetween, asDouble);
  readOr(value, "totalUntracked", s.totalUntracked, asDouble);
  readOr(value, "firstCaptureAt", s.firstCaptureAt, asInstant);
  readOr(value, "shotsCompleted", s.shotsCompleted, asInt64);
  readOr(value, "framesThisShoot", s.framesThisShoot, asInt64);
  readOr(value, "isLocalVolume", s.isLocalVolume, asBool);
  readOr(value, "countingMode", s.countingMode, asCase<FrameCountRule::CountingMode>);
  readOr(value, "orphanCount", s.orphanCount, asInt64);
  readOr(value, "orphanExtensions", s.orphanExtensions, asStrings);
  readOr(value, "cameraBattery", s.cameraBattery, asString);
  readOr(value, "isCameraConnected", s.isCameraConnected, asBool);
  return s;
}

}  // namespace vantle::core
