#include "core/message.h"

#include "core/json_fields.h"

namespace vantle::core {

Json VantleMessage::encode() const {
  Json o = Json::object();
  o["t"] = caseName(t);
  if (seq) o["seq"] = *seq;
  if (since) o["since"] = *since;
  if (snapshot) o["snapshot"] = snapshot->encode();
  if (segment) o["segment"] = segment->encode();
  if (agentName) o["agentName"] = *agentName;
  if (protocolVersion) o["protocolVersion"] = *protocolVersion;
  if (code) o["code"] = *code;
  if (reason) o["reason"] = *reason;
  if (paths) o["paths"] = *paths;
  if (readings) o["readings"] = encodeReadings(*readings);
  if (verification) o["verification"] = verification->encode();
  if (imageData) o["imageData"] = VantleCoding::base64Encode(*imageData);
  if (imageFileName) o["imageFileName"] = *imageFileName;
  if (imagePath) o["imagePath"] = *imagePath;
  return o;
}

std::optional<VantleMessage> VantleMessage::decode(const Json& v, Instant now) {
  using namespace json;
  if (!v.is_object()) return std::nullopt;
  const auto decodeSnapshot = [now](const Json& j) { return VantleSnapshot::decode(j, now); };
  const auto decodeVerification = [now](const Json& j) { return ShootVerification::decode(j, now); };
  VantleMessage m;
  const bool ok = readRequired(v, "t", m.t, asCase<Kind>) && readOptional(v, "seq", m.seq, asUInt64) &&
                  readOptional(v, "since", m.since, asUInt64) &&
                  readOptional(v, "snapshot", m.snapshot, decodeSnapshot) &&
                  readOptional(v, "segment", m.segment, WireSegment::decode) &&
                  readOptional(v, "agentName", m.agentName, asString) &&
                  readOptional(v, "protocolVersion", m.protocolVersion, asInt64) &&
                  readOptional(v, "code", m.code, asString) && readOptional(v, "reason", m.reason, asString) &&
                  readOptional(v, "paths", m.paths, asStrings) &&
                  readOptional(v, "readings", m.readings, decodeReadings) &&
                  readOptional(v, "verification", m.verification, decodeVerification) &&
                  readOptional(v, "imageData", m.imageData, asBytes) &&
                  readOptional(v, "imageFileName", m.imageFileName, asString) &&
                  readOptional(v, "imagePath", m.imagePath, asString);
  if (!ok) return std::nullopt;
  return m;
}

std::string VantleMessage::encodeText() const { return VantleCoding::dump(encode()); }

std::optional<VantleMessage> VantleMessage::decodeText(std::string_view text, Instant now) {
  const std::optional<Json> value = VantleCoding::parseKeepingFirst(text, "paths", pathsKept);
  if (!value) return std::nullopt;
  return decode(*value, now);
}

}  // namespace vantle::core
