// A companion for tests: a blocking TLS client that sends and reads framed
// messages when the test says so, so that tests control timing (a slow
// reader, a peer that never reads).
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>

#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"
#include "net/security.h"

namespace vantle::testing {

class TestPeer {
 public:
  enum class Variant {
    standard,     // the companion's own settings
    tls13Only,    // offers only TLS 1.3
    otherCipher,  // TLS 1.2 PSK, but PSK-AES256-GCM-SHA384
  };

  // Connects from the loopback address `from` (any of 127.0.0.0/8 stands
  // for another machine) to 127.0.0.1:`port` and runs the handshake with
  // `code`; nullptr when the handshake (or the connection) fails.
  static std::unique_ptr<TestPeer> connect(uint16_t port, const std::string& code,
                                           Variant variant = Variant::standard, const std::string& from = "127.0.0.1");

  // The TCP connection alone, for a handshake the test runs later.
  static std::unique_ptr<TestPeer> open(uint16_t port, const std::string& code, Variant variant = Variant::standard,
                                        const std::string& from = "127.0.0.1");
  enum class Handshake {
    paired,   // the code worked
    refused,  // the agent's TLS answered and refused it
    closed,   // the agent closed the connection without speaking TLS
  };
  Handshake handshake();
  ~TestPeer();

  void send(const core::VantleMessage& message);
  void sendRaw(const std::string& bytes);
  // The next message, or nullopt after `seconds` without one (or on EOF).
  std::optional<core::VantleMessage> receive(double seconds = 5);
  // Every message that arrives within `seconds`.
  std::vector<core::VantleMessage> receiveFor(double seconds);
  // Whether the agent closed the connection within `seconds`, dropping what arrives.
  bool closedWithin(double seconds);

 private:
  TestPeer();
  bool readMore(double seconds);

  std::array<uint8_t, 32> key_{};
  asio::io_context io_;
  std::unique_ptr<asio::ssl::context> context_;
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> stream_;
  std::string buffer_;
  std::deque<core::VantleMessage> received_;  // decoded, not yet taken
  bool closed_ = false;
};

}  // namespace vantle::testing
