#include "core/wire_segment.h"

#include <algorithm>

#include "core/json_fields.h"

namespace vantle::core {

std::string lastPathComponent(std::string_view path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const std::string_view trimmed = path.substr(0, end);
  if (trimmed == "/") return "/";
  const size_t slash = trimmed.rfind('/');
  return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

WireSegment WireSegment::fromRecord(uint64_t seq, const ShotSegmentRecord& r, bool isRevisit,
                                    std::optional<std::string> shootID, std::optional<std::string> sessionName,
                                    std::optional<std::string> sessionID, std::optional<std::string> agentID,
                                    std::optional<Bytes> thumbnail, std::optional<Bytes> preview) {
  WireSegment s;
  s.seq = seq;
  s.path = r.path;
  s.folderName = lastPathComponent(r.path);
  s.openedAt = r.openedAt;
  s.closedAt = r.closedAt;
  s.startFrameCount = r.startFrameCount;
  s.endFrameCount = r.endFrameCount;
  s.framesAdded = r.framesAdded();
  s.lastFileName = r.lastFileName;
  s.isRevisit = isRevisit;
  s.shootID = std::move(shootID);
  s.sessionName = std::move(sessionName);
  s.sessionID = std::move(sessionID);
  s.agentID = std::move(agentID);
  s.thumbnail = std::move(thumbnail);
  s.preview = std::move(preview);
  s.firstFrameAt = r.firstFrameAt;
  s.lastFrameAt = r.lastFrameAt;
  s.duration = r.duration();
  s.idleTime = r.idleTime();
  s.activeTime = r.activeTime();
  s.betweenTime = r.betweenTime();
  s.idleBeforeFirst = r.idleBeforeFirst;
  s.idleDuringCaptures = r.idleDuringCaptures;
  s.idleAfterLast = r.idleAfterLast;
  return s;
}

IdlePhases WireSegment::idlePhases() const {
  if (idleBeforeFirst && idleDuringCaptures && idleAfterLast) {
    return {*idleBeforeFirst, *idleDuringCaptures, *idleAfterLast};
  }
  const double total = std::max(0.0, idleTime);
  if (!firstFrameAt) return {total, 0, 0};
  const double toFirst = std::max(0.0, secondsBetween(openedAt, *firstFrameAt));
  const double before = std::min(std::max(0.0, toFirst - betweenTime), total);
  return {before, 0, total - before};
}

ShotSegmentRecord WireSegment::record() const {
  const IdlePhases idle = idlePhases();
  return ShotSegmentRecord{path,        openedAt,     closedAt,    startFrameCount, endFrameCount, lastFileName,
                           firstFrameAt, lastFrameAt, idle.before, idle.during,     idle.after};
}

Json WireSegment::encode() const {
  using VantleCoding::base64Encode;
  using VantleCoding::formatInstant;
  Json o = Json::object();
  o["seq"] = seq;
  o["path"] = path;
  o["folderName"] = folderName;
  o["openedAt"] = formatInstant(openedAt);
  o["closedAt"] = formatInstant(closedAt);
  o["startFrameCount"] = startFrameCount;
  o["endFrameCount"] = endFrameCount;
  o["framesAdded"] = framesAdded;
  if (lastFileName) o["lastFileName"] = *lastFileName;
  o["isRevisit"] = isRevisit;
  if (shootID) o["shootID"] = *shootID;
  if (sessionName) o["sessionName"] = *sessionName;
  if (sessionID) o["sessionID"] = *sessionID;
  if (agentID) o["agentID"] = *agentID;
  if (thumbnail) o["thumbnail"] = base64Encode(*thumbnail);
  if (preview) o["preview"] = base64Encode(*preview);
  if (firstFrameAt) o["firstFrameAt"] = formatInstant(*firstFrameAt);
  if (lastFrameAt) o["lastFrameAt"] = formatInstant(*lastFrameAt);
  o["duration"] = duration;
  o["activeTime"] = activeTime;
  o["idleTime"] = idleTime;
  o["betweenTime"] = betweenTime;
  if (idleBeforeFirst) o["idleBeforeFirst"] = *idleBeforeFirst;
  if (idleDuringCaptures) o["idleDuringCaptures"] = *idleDuringCaptures;
  if (idleAfterLast) o["idleAfterLast"] = *idleAfterLast;
  return o;
}

std::optional<WireSegment> WireSegment::decode(const Json& v) {
  using namespace json;
  if (!v.is_object()) return std::nullopt;
  WireSegment s;
  const bool ok = readRequired(v, "seq", s.seq, asUInt64) && readRequired(v, "path", s.path, asString) &&
                  readRequired(v, "folderName", s.folderName, asString) &&
                  readRequired(v, "openedAt", s.openedAt, asInstant) &&
                  readRequired(v, "closedAt", s.closedAt, asInstant) &&
                  readRequired(v, "startFrameCount", s.startFrameCount, asInt64) &&
                  readRequired(v, "endFrameCount", s.endFrameCount, asInt64) &&
                  readRequired(v, "framesAdded", s.framesAdded, asInt64) &&
                  readOptional(v, "lastFileName", s.lastFileName, asString) &&
                  readRequired(v, "isRevisit", s.isRevisit, asBool) &&
                  readOptional(v, "shootID", s.shootID, asString) &&
                  readOptional(v, "sessionName", s.sessionName, asString) &&
                  readOptional(v, "sessionID", s.sessionID, asString) &&
                  readOptional(v, "agentID", s.agentID, asString) &&
                  readOptional(v, "thumbnail", s.thumbnail, asBytes) &&
                  readOptional(v, "preview", s.preview, asBytes) &&
                  readOptional(v, "firstFrameAt", s.firstFrameAt, asInstant) &&
                  readOptional(v, "lastFrameAt", s.lastFrameAt, asInstant) &&
                  readRequired(v, "duration", s.duration, asDouble) &&
                  readRequired(v, "activeTime", s.activeTime, asDouble) &&
                  readRequired(v, "idleTime", s.idleTime, asDouble) &&
                  readRequired(v, "betweenTime", s.betweenTime, asDouble) &&
                  readOptional(v, "idleBeforeFirst", s.idleBeforeFirst, asDouble) &&
                  readOptional(v, "idleDuringCaptures", s.idleDuringCaptures, asDouble) &&
                  readOptional(v, "idleAfterLast", s.idleAfterLast, asDouble);
  if (!ok) return std::nullopt;
  return s;
}

}  // namespace vantle::core
