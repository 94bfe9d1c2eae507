// Feeds arbitrary bytes to the message decoder. Whatever decodes must encode
// and decode again to the same value; nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using vantle::core::VantleMessage;
  const vantle::core::Instant now = vantle::core::instantFromUnix(1740837909);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto message = VantleMessage::decodeText(text, now);
  if (!message) return 0;
  const auto again = VantleMessage::decodeText(message->encodeText(), now);
  if (!again || !(*again == *message)) std::abort();
  return 0;
}
