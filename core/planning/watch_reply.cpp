#include "core/planning/watch_reply.h"

#include "core/json_fields.h"
#include "core/planning/instant_offset.h"

namespace vantle::core {
namespace {

// 2001-01-01T00:00:00Z, the watch's epoch.
const Instant watchEpoch = instantFromUnix(978307200);

std::optional<Instant> asWatchInstant(const Json& v) {
  if (!v.is_number()) return std::nullopt;
  return offsetInstant(watchEpoch, v.get<double>());
}

std::optional<WatchCountReply> fromJson(const Json& o) {
  if (!o.is_object()) return std::nullopt;
  WatchCountReply r;
  const bool ok = json::readRequired(o, "link", r.link, json::asCase<WatchCountReply::Link>) &&
                  json::readOptional(o, "shotName", r.shotName, json::asString) &&
                  json::readRequired(o, "frameCount", r.frameCount, json::asInt64) &&
                  json::readOptional(o, "status", r.status, json::asCase<AgentStatus>) &&
                  json::readOptional(o, "isCameraConnected", r.isCameraConnected, json::asBool) &&
                  json::readRequired(o, "thresholds", r.thresholds, CountThresholds::decode) &&
                  json::readOptional(o, "jobName", r.jobName, json::asString) &&
                  json::readRequired(o, "at", r.at, asWatchInstant);
  if (!ok) return std::nullopt;
  return r;
}

}  // namespace

WatchDictionary WatchAsk::message() { return {{std::string(key), std::string(count)}}; }

WatchCountReply WatchCountReply::fromSnapshot(const VantleSnapshot& snapshot,
                                              const CountThresholds& thresholds,
                                              const std::optional<std::string>& jobName) {
  return {Link::live,  snapshot.shotName, snapshot.frameCount, snapshot.status, snapshot.isCameraConnected,
          thresholds, jobName,            snapshot.at};
}

WatchDictionary WatchCountReply::encoded() const {
  Json o = Json::object();
  o["link"] = caseName(link);
  if (shotName) o["shotName"] = *shotName;
  o["frameCount"] = frameCount;
  if (status) o["status"] = caseName(*status);
  if (isCameraConnected) o["isCameraConnected"] = *isCameraConnected;
  o["thresholds"] = thresholds.encode();
  if (jobName) o["jobName"] = *jobName;
  o["at"] = secondsBetween(watchEpoch, at);
  const std::string text = VantleCoding::dump(o);
  return {{std::string(key), Bytes(text.begin(), text.end())}};
}

std::optional<WatchCountReply> WatchCountReply::decode(const WatchDictionary& dictionary) {
  const auto it = dictionary.find(std::string(key));
  if (it == dictionary.end()) return std::nullopt;
  const Bytes* bytes = std::get_if<Bytes>(&it->second);
  if (!bytes) return std::nullopt;
  const std::optional<Json> value =
      VantleCoding::parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!value) return std::nullopt;
  return fromJson(*value);
}

}  // namespace vantle::core
