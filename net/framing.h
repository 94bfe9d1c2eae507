// Cuts the byte stream between agent and companion into messages.
//
// Every message travels as a 4-byte big-endian body length followed by the
// JSON text of one VantleMessage. `frame` builds the bytes of one send;
// `drain` takes every complete message off the front of a receive buffer.
// Pure functions; callable from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/message.h"

namespace vantle::net::VantleFraming {

inline constexpr size_t headerSize = 4;
// A body of exactly this size is allowed.
inline constexpr size_t maximumBodySize = 20'971'520;

struct FramingError {
  enum class Kind { bodyTooLarge, encodingFailed };
  Kind kind = Kind::bodyTooLarge;
  size_t bodyLength = 0;  // for bodyTooLarge

  bool operator==(const FramingError&) const = default;
  std::string description() const;
};

// The complete frame of `message` (header and body), or why it cannot be sent.
std::variant<std::string, FramingError> frame(const core::VantleMessage& message);
// The same for a message already encoded as JSON text.
std::variant<std::string, FramingError> frameBody(std::string_view body);

// Removes every complete frame from the front of `buffer` and returns the
// messages decoded from them, in order; an incomplete frame stays for the
// next call. A frame whose body does not decode is dropped alone. A length of
// 0 or above the maximum means the stream is out of step: the whole buffer is
// discarded. `now` is the default instant of tolerant nested records.
std::vector<core::VantleMessage> drain(std::string& buffer, core::Instant now);

// The same, for a receiver that allows bodies up to `maximumBody` only and
// must know when the stream fell out of step (its buffer is then discarded).
struct Drained {
  std::vector<core::VantleMessage> messages;
  bool outOfStep = false;
};
Drained drainUpTo(std::string& buffer, core::Instant now, size_t maximumBody);

}  // namespace vantle::net::VantleFraming
