#include "core/verification.h"

#include "core/json_fields.h"

namespace vantle::core {

Json FolderReading::encode() const {
  Json o = Json::object();
  o["path"] = path;
  o["frameCount"] = frameCount;
  o["exists"] = exists;
  o["readable"] = readable;
  o["orphanCount"] = orphanCount;
  if (shootFrames) o["shootFrames"] = *shootFrames;
  return o;
}

std::optional<FolderReading> FolderReading::decode(const Json& value) {
  using namespace json;
  if (!value.is_object()) return std::nullopt;
  FolderReading r;
  readOr(value, "path", r.path, asString);
  readOr(value, "frameCount", r.frameCount, asInt64);
  readOr(value, "exists", r.exists, asBool);
  readOr(value, "readable", r.readable, asBool);
  readOr(value, "orphanCount", r.orphanCount, asInt64);
  readOr(value, "shootFrames", r.shootFrames, asInt64);
  return r;
}

Json encodeReadings(const std::vector<FolderReading>& readings) {
  Json a = Json::array();
  for (const FolderReading& r : readings) a.push_back(r.encode());
  return a;
}

std::optional<std::vector<FolderReading>> decodeReadings(const Json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<FolderReading> out;
  out.reserve(value.size());
  for (const Json& item : value) {
    auto reading = FolderReading::decode(item);
    if (!reading) return std::nullopt;
    out.push_back(std::move(*reading));
  }
  return out;
}

Json ShootVerification::encode() const {
  Json o = Json::object();
  o["shootID"] = shootID;
  o["at"] = VantleCoding::formatInstant(at);
  o["readings"] = encodeReadings(readings);
  return o;
}

std::optional<ShootVerification> ShootVerification::decode(const Json& value, Instant now) {
  using namespace json;
  if (!value.is_object()) return std::nullopt;
  ShootVerification v{"", now, {}};
  readOr(value, "shootID", v.shootID, asString);
  readOr(value, "at", v.at, asInstant);
  readOr(value, "readings", v.readings, decodeReadings);
  return v;
}

}  // namespace vantle::core
