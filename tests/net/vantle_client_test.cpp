#include "net/vantle_client.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "net/vantle_service.h"
#include "tests/support/eventually.h"

namespace vantle::net {
namespace {

using core::VantleMessage;
using Kind = VantleMessage::Kind;
using State = VantleConnectionState;
using SK = State::Kind;
using testing::eventually;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

constexpr const char* kCode = "314159";
constexpr double kDeadline = 2;  // for an attempt

uint16_t freePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::tcp::v6(), 0});
  return probe.local_endpoint().port();
}

core::WireSegment segment(uint64_t seq) {
  return {.seq = seq, .path = "/s/" + std::to_string(seq), .folderName = std::to_string(seq)};
}

// Stands where the agent was and breaks every connection off in the middle of
// its handshake, the way a dropped Wi-Fi link or a restarting router does: by
// turns with a reset and with a plain end of stream.
class HandshakeBreaker {
 public:
  explicit HandshakeBreaker(uint16_t port) : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), port}) {
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~HandshakeBreaker() {
    io_.stop();
    thread_.join();
  }
  // Connections broken off after the companion had started its handshake.
  int broken() const { return broken_; }

 private:
  using Socket = std::shared_ptr<asio::ip::tcp::socket>;

  void accept() {
    acceptor_.async_accept([this](const std::error_code& error, asio::ip::tcp::socket accepted) {
      if (error) return;
      auto socket = std::make_shared<asio::ip::tcp::socket>(std::move(accepted));
      socket->async_read_some(asio::buffer(buffer_), [this, socket](const std::error_code& e, size_t) {
        if (!e) breakOff(socket);
      });
      accept();
    });
  }

  void breakOff(const Socket& socket) {
    std::error_code ignored;
    if (broken_ % 2 == 0) {
      socket->set_option(asio::socket_base::linger(true, 0), ignored);  // closing sends a reset
      socket->close(ignored);
    } else {
      socket->shutdown(asio::socket_base::shutdown_send, ignored);
      held_.push_back(socket);  // held open and unread, so the companion sees the end and nothing else
    }
    ++broken_;
  }

  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::vector<Socket> held_;  // on the thread only
  std::array<char, 4096> buffer_;
  std::atomic<int> broken_{0};
  std::thread thread_;
};

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = freePort();
    client = VantleClient::create({.attemptDeadline = kDeadline, .firstRetryDelay = 0.1, .maximumRetryDelay = 0.4});
    client->onStateChange = [this](const State& s) {
      std::lock_guard lock(mutex);
      states.push_back(s.kind);
    };
    client->onSegment = [this](const core::WireSegment& s) {
      std::lock_guard lock(mutex);
      segments.push_back(s.seq);
    };
  }
  void TearDown() override {
    client->disconnect();
    client->state();  // waits for the disconnect
    if (service) service->stop();
  }

  void startAgent(std::string code = kCode) {
    if (!service) {
      service = VantleService::create(port);
      service->backlog = [](uint64_t since) {
        std::vector<core::WireSegment> out;
        for (uint64_t seq = since + 1; seq <= 7; ++seq) out.push_back(segment(seq));
        return Backlog::of(std::move(out));
      };
    }
    ASSERT_EQ(service->start(code, "Studio"), std::nullopt);
    ASSERT_EQ(service->debugPort(), port);
  }

  Endpoint agent() const { return Endpoint{"127.0.0.1", port, std::nullopt}; }

  std::vector<SK> seen() {
    std::lock_guard lock(mutex);
    return states;
  }
  bool reaches(SK kind, double seconds = 5) {
    return eventually([&] { return client->state().kind == kind; }, seconds);
  }

  uint16_t port = 0;
  std::shared_ptr<VantleService> service;
  std::shared_ptr<VantleClient> client;
  std::mutex mutex;
  std::vector<SK> states;
  std::vector<uint64_t> segments;
};

TEST_F(ClientTest, ConnectsOnceTheAgentIsUpAndADisconnectEndsItsRetries) {
  client->setHighestSeq(4);
  client->connect(agent(), kCode);
  client->connect(agent(), kCode);  // the same agent again: still one attempt
  // Nothing listens yet: a network failure, retried, and never a refused code.
  ASSERT_TRUE(reaches(SK::failed));
  startAgent();
  ASSERT_TRUE(reaches(SK::connected));
  ASSERT_TRUE(eventually([&] { return client->highestSeq() == 7; }));
  {
    std::lock_guard lock(mutex);
    EXPECT_THAT(segments, ElementsAre(5u, 6u, 7u));  // only what was missing
  }
  EXPECT_EQ(service->peerCount(), 1);

  // A disconnect stops the retry scheduled after a loss.
  service->stop();
  ASSERT_TRUE(reaches(SK::reconnecting));
  client->disconnect();
  ASSERT_TRUE(reaches(SK::idle));
  startAgent();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // several retry delays
  const std::vector<SK> states = seen();
  EXPECT_THAT(states, Not(Contains(SK::rejected)));
  EXPECT_THAT(std::vector(states.end() - 3, states.end()), ElementsAre(SK::connected, SK::reconnecting, SK::idle));
  EXPECT_EQ(service->peerCount(), 0);
}

TEST_F(ClientTest, AWorkingCodeIsFollowedThroughBrokenHandshakesButNotPastTheAgentsRefusal) {
  startAgent();
  client->connect(agent(), kCode);
  ASSERT_TRUE(reaches(SK::connected));
  service->stop();
  {
    HandshakeBreaker breaker(port);
    // A reset, an end of stream and a reset again: none of them is the
    // agent's verdict on the code.
    ASSERT_TRUE(eventually([&] { return breaker.broken() >= 3 || client->state().kind == SK::rejected; }, 15));
    ASSERT_NE(client->state().kind, SK::rejected);
  }
  startAgent();  // the agent comes back
  ASSERT_TRUE(reaches(SK::connected));
  service->stop();
  startAgent("271828");  // paired anew: the old code fails the handshake
  ASSERT_TRUE(reaches(SK::rejected, 10));
  // The refused attempt's deadline passes without bringing the code back.
  std::this_thread::sleep_for(std::chrono::duration<double>(kDeadline + 0.5));
  EXPECT_THAT(seen(), ElementsAre(SK::connecting, SK::connected, SK::reconnecting, SK::connected, SK::reconnecting,
                                  SK::rejected));
  EXPECT_EQ(service->peerCount(), 0);
  client->clearRejection();
  EXPECT_TRUE(reaches(SK::idle));
}

TEST_F(ClientTest, ItsOwnCallbacksMayCallItBack) {
  startAgent();
  std::vector<std::pair<SK, SK>> toldAndAsked;  // on the client queue until it is idle again
  std::optional<std::pair<std::string, uint16_t>> addressAsked;
  client->onStateChange = [&](const State& s) { toldAndAsked.emplace_back(s.kind, client->state().kind); };
  client->onRemoteAddress = [&](const std::string&, uint16_t) { addressAsked = client->remoteAddress(); };
  client->connect(agent(), kCode);
  ASSERT_TRUE(reaches(SK::connected));
  client->disconnect();
  ASSERT_EQ(client->state().kind, SK::idle);  // from here it waits for the queue
  EXPECT_THAT(toldAndAsked, ElementsAre(std::pair(SK::connecting, SK::connecting),
                                        std::pair(SK::connected, SK::connected), std::pair(SK::idle, SK::idle)));
  EXPECT_EQ(addressAsked, std::pair(std::string("127.0.0.1"), port));
}

// The companion's tests see the rest of the messages through these
// callbacks; this is what they cannot see.
TEST_F(ClientTest, AThumbnailWithoutAPathIsAClearAndAnOlderSegmentLowersNothing) {
  std::mutex lines;
  std::vector<std::string> heard;  // what the client handed on, in order
  const auto note = [&](std::string line) {
    std::lock_guard lock(lines);
    heard.push_back(std::move(line));
  };
  client->onSelectedImageUnavailable = [&](const std::string& reason) { note("unavailable " + reason); };
  client->onFrameThumbnail = [&](const core::Bytes&, const std::string& fileName, const std::string&) {
    note("thumbnail " + fileName);
  };
  client->onFrameCleared = [&] { note("cleared"); };
  client->setHighestSeq(7);
  startAgent();
  client->connect(agent(), kCode);
  ASSERT_TRUE(reaches(SK::connected));
  service->broadcast(VantleMessage{.t = Kind::segment, .segment = segment(9)});
  service->broadcast(VantleMessage{.t = Kind::segment, .segment = segment(8)});
  service->broadcast(VantleMessage{.t = Kind::frameThumbnail, .imageData = core::Bytes{1},
                                   .imageFileName = std::string("a.jpg")});
  service->broadcast(VantleMessage{.t = Kind::frameThumbnail, .imageData = core::Bytes{'9'},
                                   .imageFileName = std::string("IMG_0009.jpg"),
                                   .imagePath = std::string("/s/IMG_0009.CR3")});
  service->broadcast(VantleMessage{.t = Kind::selectedImageUnavailable});  // without a reason
  ASSERT_TRUE(eventually(
      [&] {
        std::lock_guard lock(lines);
        return heard.size() == 3;
      },
      20));
  EXPECT_EQ(client->highestSeq(), 9u);
  std::lock_guard lock(lines);
  EXPECT_THAT(heard, ElementsAre("cleared", "thumbnail IMG_0009.jpg", "unavailable The Mac could not send the image."));
}

}  // namespace
}  // namespace vantle::net
