// What makes a connection between agent and companion private and paired.
//
// Holding a working TLS connection is being paired: both sides use TLS 1.2
// with the single cipher suite PSK-AES128-GCM-SHA256, the identity
// "orvanevantle" and, as key, the SHA-256 of the pairing code's text. A peer
// without the code cannot finish the handshake. Pure functions, callable
// from any thread; the codes and tokens come from the system's secure random
// source.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vantle::net {

class TlsContext;

namespace VantleSecurity {

inline constexpr std::string_view serviceType = "_orvanevantle._tcp";
inline constexpr std::string_view pskIdentity = "orvanevantle";
inline constexpr std::string_view cipherSuite = "PSK-AES128-GCM-SHA256";  // 0x00A8

// TCP settings shared by both sides.
inline constexpr int keepAliveIdleSeconds = 20;
inline constexpr int keepAliveProbeCount = 3;
inline constexpr int keepAliveIntervalSeconds = 5;
inline constexpr double connectTimeoutSeconds = 10;

// SHA-256 of the UTF-8 bytes of `secret`: "012345" hashes its six
// characters, leading zero included, not the number they spell.
std::array<uint8_t, 32> preSharedKey(std::string_view secret);

// Six decimal digits, drawn uniformly from 000000 to 999999.
std::string pairingCode();

// A random UUID in canonical upper-case text form.
std::string token();

enum class Role { server, client };

// The TLS settings of one side, keyed by `secret`.
std::shared_ptr<TlsContext> parameters(std::string_view secret, Role role);

// Keep-alive 20/3/5 and no-delay on a connected or listening TCP socket.
// Returns false when the system refused one of them.
bool applyTcpOptions(int socket);

}  // namespace VantleSecurity
}  // namespace vantle::net
