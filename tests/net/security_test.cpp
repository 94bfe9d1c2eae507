#include "net/security.h"

#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <set>

#include "net/tls_connection.h"
#include "support/asio_queue.h"
#include "tests/support/eventually.h"

namespace vantle::net {
namespace {

TEST(VantleSecurity, KeyIsTheHashOfTheCodesText) {
  // SHA-256("000042"), leading zeros included; not of the number 42.
  const auto key = VantleSecurity::preSharedKey("000042");
  EXPECT_EQ(key[0], 0x9e);
  EXPECT_EQ(key[31], 0xdf);
  EXPECT_NE(key, VantleSecurity::preSharedKey("42"));
}

TEST(VantleSecurity, PairingCodesAreSixDigits) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string code = VantleSecurity::pairingCode();
    ASSERT_TRUE(std::regex_match(code, std::regex("[0-9]{6}"))) << code;
    seen.insert(code);
  }
  // 2,000 draws from a million codes repeat about twice on average; a
  // generator with a fraction of the entropy would repeat far more.
  EXPECT_GT(seen.size(), 1975u);
}

TEST(VantleSecurity, TokensAreCanonicalRandomUuids) {
  const std::string a = VantleSecurity::token(), b = VantleSecurity::token();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << a;
  EXPECT_NE(a, b);
}

// A server and a client TlsConnection over loopback, each keyed by its own code.
struct Handshake {
  enum class Outcome { pending, ready, failed, cancelled };
  struct Side {
    std::promise<std::pair<Outcome, TlsConnection::Phase>> result;
    std::shared_ptr<TlsConnection> connection;
    TlsConnection::Handlers handlers() {
      auto* self = this;
      return {[self] { self->result.set_value({Outcome::ready, TlsConnection::Phase::ready}); },
              [self](const TlsConnection::Failure& f) { self->result.set_value({Outcome::failed, f.phase}); },
              [self] { self->result.set_value({Outcome::cancelled, TlsConnection::Phase::tcp}); }};
    }
  };

  support::SerialQueue queue{"com.orvane.vantle.test"};
  Side server, client;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor;

  std::pair<std::pair<Outcome, TlsConnection::Phase>, std::pair<Outcome, TlsConnection::Phase>> run(
      const std::string& serverCode, const std::string& clientCode) {
    queue.sync([&] {
      acceptor = std::make_unique<asio::ip::tcp::acceptor>(support::strandOf(queue),
                                                           asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
      acceptor->async_accept([this, serverCode](const std::error_code& e, asio::ip::tcp::socket s) {
        ASSERT_FALSE(e);
        server.connection =
            TlsConnection::accepted(std::move(s), VantleSecurity::parameters(serverCode, VantleSecurity::Role::server));
        server.connection->start(server.handlers());
      });
      asio::ip::tcp::resolver resolver(support::strandOf(queue));
      auto endpoints = resolver.resolve("127.0.0.1", std::to_string(acceptor->local_endpoint().port()));
      client.connection = TlsConnection::outgoing(
          endpoints, VantleSecurity::parameters(clientCode, VantleSecurity::Role::client), queue);
      client.connection->start(client.handlers());
    });
    auto s = server.result.get_future();
    auto c = client.result.get_future();
    const auto cr = c.get();
    // A refused server side ends at once; give it the handshake time-out at most.
    if (s.wait_for(std::chrono::seconds(12)) != std::future_status::ready) return {{Outcome::pending, {}}, cr};
    return {s.get(), cr};
  }

  ~Handshake() {
    queue.sync([&] {
      if (server.connection) server.connection->detach(), server.connection->cancel();
      if (client.connection) client.connection->detach(), client.connection->cancel();
      acceptor.reset();
    });
  }
};

TEST(TlsConnection, TheSameCodeHandshakes) {
  Handshake h;
  const auto [server, client] = h.run("123456", "123456");
  EXPECT_EQ(server.first, Handshake::Outcome::ready);
  EXPECT_EQ(client.first, Handshake::Outcome::ready);
}

TEST(TlsConnection, ADifferentCodeFailsBothSidesDuringTheHandshake) {
  Handshake h;
  const auto [server, client] = h.run("123456", "654321");
  EXPECT_EQ(server.first, Handshake::Outcome::failed);
  EXPECT_EQ(client.first, Handshake::Outcome::failed);
  EXPECT_EQ(client.second, TlsConnection::Phase::tls);  // TCP was up: a refused key, not a network problem
}

TEST(TlsConnection, NothingListeningIsANetworkFailure) {
  support::SerialQueue queue("com.orvane.vantle.test");
  std::promise<TlsConnection::Failure> failed;
  std::shared_ptr<TlsConnection> connection;
  queue.sync([&] {
    asio::ip::tcp::acceptor probe(support::strandOf(queue), {asio::ip::make_address("127.0.0.1"), 0});
    const uint16_t port = probe.local_endpoint().port();
    probe.close();  // the port is now closed
    asio::ip::tcp::resolver resolver(support::strandOf(queue));
    connection = TlsConnection::outgoing(resolver.resolve("127.0.0.1", std::to_string(port)),
                                         VantleSecurity::parameters("1", VantleSecurity::Role::client), queue);
    connection->start({{}, [&](const TlsConnection::Failure& f) { failed.set_value(f); }, {}});
  });
  EXPECT_EQ(failed.get_future().get().phase, TlsConnection::Phase::tcp);
}

}  // namespace
}  // namespace vantle::net
