// The one unit that travels between agent and companion.
//
// A message is a kind `t` and a set of optional fields, of which each kind
// uses a few; it travels as one flat JSON object with the present fields in
// declaration order. Decoding fails when `t` is missing or unknown, or when
// any present field has the wrong type (a nested segment strictly, a nested
// snapshot tolerantly). Failed messages are dropped by the framing layer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/enum_text.h"
#include "core/snapshot.h"
#include "core/verification.h"
#include "core/wire_segment.h"

namespace vantle::core {

struct VantleMessage {
  enum class Kind {
    hello,
    snapshot,
    segment,
    subscribe,
    ping,
    pong,
    pair,
    paired,
    denied,
    audit,
    audited,
    verified,
    requestSelectedImage,
    requestHighResSelectedImage,
    selectedImageData,
    selectedImageUnavailable,
    frameThumbnail,
    requestFrameImage,
  };

  Kind t = Kind::ping;
  std::optional<uint64_t> seq;
  std::optional<uint64_t> since;  // in subscribe; absent means 0
  std::optional<VantleSnapshot> snapshot;
  std::optional<WireSegment> segment;
  std::optional<std::string> agentName;
  std::optional<int64_t> protocolVersion;
  std::optional<std::string> code;
  std::optional<std::string> reason;
  std::optional<std::vector<std::string>> paths;
  std::optional<std::vector<FolderReading>> readings;
  std::optional<ShootVerification> verification;
  std::optional<Bytes> imageData;
  std::optional<std::string> imageFileName;
  std::optional<std::string> imagePath;

  bool operator==(const VantleMessage&) const = default;

  Json encode() const;
  // `now` is the default instant of nested tolerant records.
  static std::optional<VantleMessage> decode(const Json& value, Instant now);

  // Paths an audit may ask for; decoding keeps the first ones and reads
  // past the rest without building them.
  static constexpr size_t pathsKept = 500;

  // The same as JSON text, as framed on the wire.
  std::string encodeText() const;
  static std::optional<VantleMessage> decodeText(std::string_view text, Instant now);
};

template <>
struct EnumText<VantleMessage::Kind> {
  static constexpr std::array<std::string_view, 18> names{
      "hello",    "snapshot", "segment",  "subscribe", "ping",
      "pong",     "pair",     "paired",   "denied",    "audit",
      "audited",  "verified", "requestSelectedImage", "requestHighResSelectedImage",
      "selectedImageData", "selectedImageUnavailable", "frameThumbnail", "requestFrameImage"};
};

// What an image pull for a companion came to: images in order, or a sentence
// for the user saying why there are none.
struct PulledImage {
  Bytes data;
  std::string fileName;
  bool operator==(const PulledImage&) const = default;
};

struct ImagesPulled {
  std::vector<PulledImage> images;
  bool operator==(const ImagesPulled&) const = default;
};

struct ImageUnavailable {
  std::string reason;
  bool operator==(const ImageUnavailable&) const = default;
};

using ImagePullOutcome = std::variant<ImagesPulled, ImageUnavailable>;

}  // namespace vantle::core
