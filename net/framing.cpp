#include "net/framing.h"

#include <algorithm>

namespace vantle::net::VantleFraming {

std::string FramingError::description() const {
  if (kind == Kind::encodingFailed) return "the message could not be encoded";
  return "the message body is " + std::to_string(bodyLength) + " bytes, more than the " +
         std::to_string(maximumBodySize) + " a frame may carry";
}

std::variant<std::string, FramingError> frame(const core::VantleMessage& message) {
  return frameBody(message.encodeText());
}

std::variant<std::string, FramingError> frameBody(std::string_view body) {
  if (body.size() > maximumBodySize) return FramingError{FramingError::Kind::bodyTooLarge, body.size()};
  std::string out;
  out.reserve(headerSize + body.size());
  const auto n = static_cast<uint32_t>(body.size());
  out.push_back(static_cast<char>(n >> 24));
  out.push_back(static_cast<char>(n >> 16));
  out.push_back(static_cast<char>(n >> 8));
  out.push_back(static_cast<char>(n));
  out += body;
  return out;
}

std::vector<core::VantleMessage> drain(std::string& buffer, core::Instant now) {
  return drainUpTo(buffer, now, maximumBodySize).messages;
}

Drained drainUpTo(std::string& buffer, core::Instant now, size_t maximumBody) {
  Drained drained;
  size_t offset = 0;  // consumed so far; erased once at the end
  while (buffer.size() - offset >= headerSize) {
    const auto* p = reinterpret_cast<const unsigned char*>(buffer.data() + offset);
    const size_t length = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | size_t{p[3]};
    if (length == 0 || length > std::min(maximumBody, maximumBodySize)) {
      buffer.clear();
      drained.outOfStep = true;
      return drained;
    }
    if (buffer.size() - offset < headerSize + length) break;
    const std::string_view body(buffer.data() + offset + headerSize, length);
    if (auto message = core::VantleMessage::decodeText(body, now)) drained.messages.push_back(std::move(*message));
    offset += headerSize + length;
  }
  buffer.erase(0, offset);
  return drained;
}

}  // namespace vantle::net::VantleFraming
