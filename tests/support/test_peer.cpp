#include "tests/support/test_peer.h"

#include <asio/ssl/error.hpp>

#include <asio/connect.hpp>
#include <asio/write.hpp>
#include <openssl/ssl.h>
#include <poll.h>

#include <chrono>
#include <cstring>

#include "net/framing.h"
#include "tests/support/instants.h"

namespace vantle::testing {
namespace {

// Each peer's key hangs on its own TLS context (in a slot of its own: Asio
// keeps its own data in the context's app data), so peers on several
// threads may shake hands at once.
int keySlot() {
  static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return slot;
}

unsigned int pskClient(SSL* ssl, const char*, char* identity, unsigned int maxIdentity, unsigned char* psk,
                       unsigned int maxPsk) {
  const auto* key = static_cast<const std::array<uint8_t, 32>*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), keySlot()));
  std::snprintf(identity, maxIdentity, "%s", "orvanevantle");
  if (!key || maxPsk < key->size()) return 0;
  std::memcpy(psk, key->data(), key->size());
  return key->size();
}

template <typename Deadline>
double secondsUntil(Deadline deadline) {
  return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
}

}  // namespace

TestPeer::TestPeer() = default;
TestPeer::~TestPeer() {
  if (stream_) {
    std::error_code ignored;
    stream_->lowest_layer().close(ignored);
  }
}

std::unique_ptr<TestPeer> TestPeer::open(uint16_t port, const std::string& code, Variant variant,
                                         const std::string& from) {
  std::unique_ptr<TestPeer> peer(new TestPeer());
  peer->context_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
  SSL_CTX* ctx = peer->context_->native_handle();
  peer->key_ = net::VantleSecurity::preSharedKey(code);
  SSL_CTX_set_ex_data(ctx, keySlot(), &peer->key_);
  SSL_CTX_set_psk_client_callback(ctx, pskClient);
  const int version = variant == Variant::tls13Only ? TLS1_3_VERSION : TLS1_2_VERSION;
  SSL_CTX_set_min_proto_version(ctx, version);
  SSL_CTX_set_max_proto_version(ctx, version);
  SSL_CTX_set_cipher_list(ctx, variant == Variant::otherCipher ? "PSK-AES256-GCM-SHA384" : "PSK-AES128-GCM-SHA256");
  peer->stream_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(peer->io_, *peer->context_);
  std::error_code error;
  auto& socket = peer->stream_->lowest_layer();
  socket.open(asio::ip::tcp::v4(), error);
  if (!error) socket.bind({asio::ip::make_address(from), 0}, error);
  if (!error) socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
  if (error) return nullptr;
  return peer;
}

TestPeer::Handshake TestPeer::handshake() {
  std::error_code error;
  stream_->handshake(asio::ssl::stream_base::client, error);
  if (!error) return Handshake::paired;
  // An alert is the agent's TLS answering (a wrong code); an end of stream
  // is a connection closed before any TLS was spoken.
  const bool ended = error == asio::error::eof || error == asio::ssl::error::stream_truncated ||
                     error == asio::error::connection_reset || error == asio::error::broken_pipe;
  return ended ? Handshake::closed : Handshake::refused;
}

std::unique_ptr<TestPeer> TestPeer::connect(uint16_t port, const std::string& code, Variant variant,
                                            const std::string& from) {
  auto peer = open(port, code, variant, from);
  if (!peer || peer->handshake() != Handshake::paired) return nullptr;
  return peer;
}

void TestPeer::send(const core::VantleMessage& message) {
  sendRaw(std::get<std::string>(net::VantleFraming::frame(message)));
}

void TestPeer::sendRaw(const std::string& bytes) {
  std::error_code ignored;
  asio::write(*stream_, asio::buffer(bytes), ignored);
}

bool TestPeer::readMore(double seconds) {
  if (closed_) return false;
  SSL* ssl = stream_->native_handle();
  // Asio keeps bytes it has read from the socket in its own BIO, where poll
  // cannot see them.
  if (SSL_pending(ssl) == 0 && BIO_pending(SSL_get_rbio(ssl)) == 0) {
    pollfd p{stream_->lowest_layer().native_handle(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
  }
  char chunk[65536];
  std::error_code error;
  const size_t n = stream_->read_some(asio::buffer(chunk), error);
  buffer_.append(chunk, n);
  if (error) closed_ = true;
  return n > 0;
}

std::optional<core::VantleMessage> TestPeer::receive(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (received_.empty()) {
    const double left = secondsUntil(deadline);
    if (left <= 0 || (!readMore(left) && closed_)) return std::nullopt;
    for (auto& message : net::VantleFraming::drain(buffer_, at(0))) received_.push_back(std::move(message));
  }
  core::VantleMessage next = std::move(received_.front());
  received_.pop_front();
  return next;
}

std::vector<core::VantleMessage> TestPeer::receiveFor(double seconds) {
  std::vector<core::VantleMessage> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (auto m = receive(secondsUntil(deadline))) out.push_back(std::move(*m));
  return out;
}

bool TestPeer::closedWithin(double seconds) {
  receiveFor(seconds);  // returns early at the end of the stream
  return closed_;
}

}  // namespace vantle::testing
