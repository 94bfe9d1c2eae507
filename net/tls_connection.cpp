#include "net/tls_connection.h"

#include <asio/connect.hpp>
#include <asio/ssl/error.hpp>
#include <asio/write.hpp>

#include <chrono>

#include "net/security.h"
#include "net/tls_context.h"

namespace vantle::net {

TlsConnection::TlsConnection(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls, bool isServer,
                             asio::ip::tcp::resolver::results_type endpoints)
    : tls_(std::move(tls)),
      stream_(std::move(socket), tls_->context()),
      timer_(stream_.get_executor()),
      isServer_(isServer),
      endpoints_(std::move(endpoints)),
      phase_(isServer ? Phase::tls : Phase::tcp) {}

std::shared_ptr<TlsConnection> TlsConnection::accepted(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls) {
  return std::shared_ptr<TlsConnection>(new TlsConnection(std::move(socket), std::move(tls), true, {}));
}

std::shared_ptr<TlsConnection> TlsConnection::outgoing(asio::ip::tcp::resolver::results_type endpoints,
                                                       std::shared_ptr<TlsContext> tls, support::SerialQueue& queue) {
  asio::ip::tcp::socket socket(support::strandOf(queue));
  return std::shared_ptr<TlsConnection>(new TlsConnection(std::move(socket), std::move(tls), false,
                                                          std::move(endpoints)));
}

void TlsConnection::armTimer(double seconds, std::string description) {
  timer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds)));
  timer_.async_wait([self = shared_from_this(), description = std::move(description)](const std::error_code& e) {
    if (!e) self->fail(asio::error::timed_out, description);
  });
}

void TlsConnection::start(Handlers handlers) {
  handlers_ = std::move(handlers);
  if (isServer_) {
    VantleSecurity::applyTcpOptions(stream_.lowest_layer().native_handle());
    handshake();
    return;
  }
  armTimer(VantleSecurity::connectTimeoutSeconds, "The connection timed out.");
  asio::async_connect(stream_.lowest_layer(), endpoints_,
                      [self = shared_from_this()](const std::error_code& error, const asio::ip::tcp::endpoint&) {
                        if (self->ended_) return;
                        if (error) return self->fail(error, error.message());
                        self->phase_ = Phase::tls;
                        VantleSecurity::applyTcpOptions(self->stream_.lowest_layer().native_handle());
                        self->handshake();
                      });
}

void TlsConnection::handshake() {
  armTimer(handshakeTimeoutSeconds, "The TLS handshake timed out.");
  stream_.async_handshake(isServer_ ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
                          [self = shared_from_this()](const std::error_code& error) {
                            if (self->ended_) return;
                            self->timer_.cancel();
                            if (error) return self->fail(error, error.message());
                            self->phase_ = Phase::ready;
                            // Taken out first: the handler may replace the handlers.
                            if (auto onReady = std::exchange(self->handlers_.onReady, nullptr)) onReady();
                            if (!self->writing_) self->writeNext();
                          });
}

void TlsConnection::fail(std::error_code code, const std::string& description) {
  if (ended_) return;
  ended_ = true;
  timer_.cancel();
  std::error_code ignored;
  stream_.lowest_layer().close(ignored);
  const Failure failure{phase_, description, code};
  // Handlers often hold their owner, which holds this connection: an ended
  // connection lets go of them.
  Handlers ended = std::move(handlers_);
  handlers_ = {};
  if (ended.onFailed) ended.onFailed(failure);
}

void TlsConnection::cancel() {
  if (ended_) return;
  ended_ = true;
  timer_.cancel();
  std::error_code ignored;
  stream_.lowest_layer().close(ignored);
  // Reported on a later turn of the queue, as the owner may be mid-call.
  asio::post(stream_.get_executor(), [onCancelled = std::move(handlers_.onCancelled)] {
    if (onCancelled) onCancelled();
  });
  handlers_ = {};
}

void TlsConnection::receive(ReceiveHandler handler) {
  if (ended_ || phase_ != Phase::ready) return;
  stream_.async_read_some(asio::buffer(readBuffer_), [self = shared_from_this(), handler = std::move(handler)](
                                                         const std::error_code& error, size_t n) {
    if (self->ended_) return;
    const std::string_view bytes(self->readBuffer_.data(), n);
    // A peer that closes without close_notify is an ordinary end of stream here.
    const bool complete = error == asio::error::eof || error == asio::ssl::error::stream_truncated;
    if (error && !complete) return handler(bytes, false, error.message());
    handler(bytes, complete, std::nullopt);
  });
}

void TlsConnection::send(std::shared_ptr<const std::string> frame, SendCompletion completion) {
  if (ended_) {
    if (completion) asio::post(stream_.get_executor(), [completion] { completion(false); });
    return;
  }
  sendQueue_.push_back({std::move(frame), std::move(completion)});
  if (!writing_ && phase_ == Phase::ready) writeNext();
}

void TlsConnection::writeNext() {
  if (writing_ || sendQueue_.empty() || ended_) return;
  writing_ = true;
  asio::async_write(stream_, asio::buffer(*sendQueue_.front().frame),
                    [self = shared_from_this()](const std::error_code& error, size_t) {
                      Pending done = std::move(self->sendQueue_.front());
                      self->sendQueue_.pop_front();
                      // Still writing while the completion runs: a send it makes only queues.
                      if (done.completion) done.completion(!error && !self->ended_);
                      self->writing_ = false;
                      if (error) {
                        // Whatever is still queued will not be sent either.
                        while (!self->sendQueue_.empty()) {
                          Pending left = std::move(self->sendQueue_.front());
                          self->sendQueue_.pop_front();
                          if (left.completion) left.completion(false);
                        }
                        return;
                      }
                      self->writeNext();
                    });
}

std::optional<asio::ip::tcp::endpoint> TlsConnection::remoteEndpoint() const {
  std::error_code error;
  const auto endpoint = stream_.lowest_layer().remote_endpoint(error);
  if (error) return std::nullopt;
  return endpoint;
}

}  // namespace vantle::net
