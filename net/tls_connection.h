// One TLS connection between agent and companion, living on one queue.
//
// The connection moves through connecting (TCP, client side only) and
// handshaking to ready, and ends once, either failed or cancelled; its
// handlers learn each step on the owner's queue. Reads deliver 1 to 65,536
// bytes at a time; sends are queued and written one complete frame after the
// other, each with an optional completion. Every method must be called on the
// owner's queue. A connection keeps its TlsContext alive.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/asio_queue.h"

namespace vantle::net {

class TlsContext;

class TlsConnection : public std::enable_shared_from_this<TlsConnection> {
 public:
  // Where an attempt ended: before TCP was connected (a network problem:
  // nothing listening, unreachable, timed out) or after it, during or past
  // the TLS handshake (for a client, a refused key looks like this).
  enum class Phase { tcp, tls, ready };

  struct Failure {
    Phase phase;
    std::string description;
    std::error_code code;  // what failed; asio::error::timed_out for a deadline passed
  };

  struct Handlers {
    std::function<void()> onReady;
    std::function<void(const Failure&)> onFailed;
    std::function<void()> onCancelled;
  };

  // Bytes that arrived; `complete` when the peer ended the stream; `error`
  // when the read failed.
  using ReceiveHandler =
      std::function<void(std::string_view bytes, bool complete, const std::optional<std::string>& error)>;
  using SendCompletion = std::function<void(bool sent)>;

  // Seconds a handshake may take before the connection fails.
  static constexpr double handshakeTimeoutSeconds = 10;

  // A connection for an accepted socket; start() runs the server handshake.
  // The socket must already be bound to the owner's queue.
  static std::shared_ptr<TlsConnection> accepted(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls);
  // A connection to `endpoints`; start() connects (10-second limit), then
  // runs the client handshake.
  static std::shared_ptr<TlsConnection> outgoing(asio::ip::tcp::resolver::results_type endpoints,
                                                 std::shared_ptr<TlsContext> tls, support::SerialQueue& queue);

  void start(Handlers handlers);

  // Drops the handlers: nothing more is reported. For an owner replacing
  // the connection.
  void detach() { handlers_ = {}; }
  // Replaces the handlers, for an owner that hands a ready connection on.
  void setHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

  // Reads once, 1 to 65,536 bytes. Only while ready.
  void receive(ReceiveHandler handler);

  // Queues one complete frame behind those already queued.
  void send(std::shared_ptr<const std::string> frame, SendCompletion completion = {});

  // Closes the connection; reports cancelled unless it had already ended.
  void cancel();

  Phase phase() const { return phase_; }
  bool ended() const { return ended_; }
  // The peer's address, once TCP is connected.
  std::optional<asio::ip::tcp::endpoint> remoteEndpoint() const;

 private:
  TlsConnection(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls, bool isServer,
                asio::ip::tcp::resolver::results_type endpoints);

  void handshake();
  void fail(std::error_code code, const std::string& description);
  void writeNext();
  void armTimer(double seconds, std::string description);

  std::shared_ptr<TlsContext> tls_;
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  asio::steady_timer timer_;
  bool isServer_;
  asio::ip::tcp::resolver::results_type endpoints_;
  Handlers handlers_;
  Phase phase_;
  bool ended_ = false;
  struct Pending {
    std::shared_ptr<const std::string> frame;
    SendCompletion completion;
  };
  std::deque<Pending> sendQueue_;
  bool writing_ = false;
  std::array<char, 65536> readBuffer_;
};

}  // namespace vantle::net
