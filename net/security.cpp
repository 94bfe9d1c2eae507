#include "net/security.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "net/tls_context.h"
#include "support/random_uuid.h"

namespace vantle::net {
namespace {

void secureRandom(void* out, size_t n) {
  if (RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(n)) != 1) {
    // Without a secure source there is no safe pairing code to offer.
    throw std::runtime_error("the system's secure random source failed");
  }
}

// Where each OpenSSL context keeps its TlsContext. (Asio keeps its own data in
// the context's "app data" slot, so ours needs a slot of its own.)
int ownerSlot() {
  static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return slot;
}

TlsContext* owner(SSL* ssl) {
  return static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ownerSlot()));
}

unsigned int copyKey(SSL* ssl, unsigned char* psk, unsigned int maxLength) {
  const auto& key = owner(ssl)->key();
  if (maxLength < key.size()) return 0;
  std::memcpy(psk, key.data(), key.size());
  return static_cast<unsigned int>(key.size());
}

unsigned int serverCallback(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxLength) {
  if (identity == nullptr || VantleSecurity::pskIdentity != identity) return 0;
  return copyKey(ssl, psk, maxLength);
}

unsigned int clientCallback(SSL* ssl, const char* /*hint*/, char* identity, unsigned int maxIdentityLength,
                            unsigned char* psk, unsigned int maxLength) {
  const std::string_view id = VantleSecurity::pskIdentity;
  if (maxIdentityLength < id.size() + 1) return 0;
  std::memcpy(identity, id.data(), id.size());
  identity[id.size()] = '\0';
  return copyKey(ssl, psk, maxLength);
}

}  // namespace

TlsContext::TlsContext(const std::array<uint8_t, 32>& key, VantleSecurity::Role role)
    : context_(role == VantleSecurity::Role::server ? asio::ssl::context::tls_server : asio::ssl::context::tls_client),
      key_(key) {
  SSL_CTX* ctx = context_.native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx, std::string(VantleSecurity::cipherSuite).c_str());
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
  SSL_CTX_set_ex_data(ctx, ownerSlot(), this);
  if (role == VantleSecurity::Role::server) {
    SSL_CTX_set_psk_server_callback(ctx, serverCallback);
  } else {
    SSL_CTX_set_psk_client_callback(ctx, clientCallback);
  }
}

namespace VantleSecurity {

std::array<uint8_t, 32> preSharedKey(std::string_view secret) {
  std::array<uint8_t, 32> key;
  SHA256(reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), key.data());
  return key;
}

std::string pairingCode() {
  // Rejection sampling keeps every code equally likely.
  constexpr uint32_t range = 1'000'000;
  constexpr uint32_t limit = UINT32_MAX - UINT32_MAX % range;
  uint32_t n;
  do {
    secureRandom(&n, sizeof n);
  } while (n >= limit);
  char out[8];
  std::snprintf(out, sizeof out, "%06u", n % range);
  return out;
}

std::string token() { return support::randomUUID(); }

std::shared_ptr<TlsContext> parameters(std::string_view secret, Role role) {
  return std::make_shared<TlsContext>(preSharedKey(secret), role);
}

bool applyTcpOptions(int socket) {
  const int on = 1;
  bool ok = ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
  ok &= ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &keepAliveIdleSeconds, sizeof(int)) == 0;
  ok &= ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &keepAliveProbeCount, sizeof(int)) == 0;
  ok &= ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &keepAliveIntervalSeconds, sizeof(int)) == 0;
  ok &= ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
  return ok;
}

}  // namespace VantleSecurity
}  // namespace vantle::net
