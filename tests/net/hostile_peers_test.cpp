// The service on a studio network shared with strangers: real sockets, with
// loopback addresses 127.0.0.x standing for other machines. In every case
// two paired companions keep receiving every snapshot, in order, while the
// attack runs.
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "net/framing.h"
#include "net/vantle_service.h"
#include "tests/net/test_peer.h"
#include "tests/support/eventually.h"

namespace vantle::net {
namespace {

using core::VantleMessage;
using Kind = VantleMessage::Kind;
using testing::eventually;
using testing::TestPeer;

constexpr const char* kCode = "042137";

size_t openDescriptors() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

// A paired companion reading everything it is sent, on a thread of its own,
// and keeping the frame counts of the snapshots in the order they came.
class Companion {
 public:
  Companion(uint16_t port, const std::string& from) : peer_(TestPeer::connect(port, kCode, TestPeer::Variant::standard, from)) {
    if (!peer_) return;
    peer_->send(VantleMessage{.t = Kind::subscribe});
    reader_ = std::thread([this] {
      while (!stop_) {
        const auto message = peer_->receive(0.2);
        if (!message || message->t != Kind::snapshot || !message->snapshot) continue;
        std::lock_guard lock(mutex_);
        counts_.push_back(message->snapshot->frameCount);
      }
    });
  }
  ~Companion() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
  }
  bool paired() const { return peer_ != nullptr; }
  std::vector<int64_t> counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
  }

 private:
  std::unique_ptr<TestPeer> peer_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<int64_t> counts_;
};

class HostilePeers : public ::testing::Test {
 protected:
  void SetUp() override {
    service = VantleService::create(0);
    service->currentSnapshot = [this] { return snapshotNumbered(lastBroadcast.load()); };
    service->onError = [this](const std::string& sentence) {
      std::lock_guard lock(mutex);
      errors.push_back(sentence);
    };
    service->onRequestFrameImage = [this](const std::string&) -> core::ImagePullOutcome {
      ++pulls;
      return core::ImagesPulled{{core::PulledImage{core::Bytes(4 << 20, 0x5A), "IMG_0001.jpg"}}};
    };
    ASSERT_EQ(service->start(kCode, "Studio"), std::nullopt);
    port = *service->debugPort();
    first = std::make_unique<Companion>(port, "127.0.0.1");
    second = std::make_unique<Companion>(port, "127.0.0.1");
    ASSERT_TRUE(first->paired() && second->paired());
    ASSERT_TRUE(eventually([&] { return service->peerCount() == 2; }));
    // Both have the state sent on subscribing before the first broadcast.
    ASSERT_TRUE(eventually([&] { return !first->counts().empty() && !second->counts().empty(); }));
    // Snapshots go out 25 times a second for as long as the test runs.
    broadcaster = std::thread([this] {
      while (!stopBroadcasting) {
        const int64_t next = ++lastBroadcast;
        service->broadcast(VantleMessage{.t = Kind::snapshot, .snapshot = snapshotNumbered(next)});
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
      }
    });
  }

  void TearDown() override {
    stopBroadcasting = true;
    if (broadcaster.joinable()) broadcaster.join();
    first.reset();
    second.reset();
    service->stop();
  }

  static core::VantleSnapshot snapshotNumbered(int64_t n) {
    core::VantleSnapshot s;
    s.frameCount = n;
    return s;
  }

  // Both companions have every snapshot up to now, each once, in order.
  void expectEverySnapshotInOrder() {
    const int64_t upTo = lastBroadcast.load();
    for (Companion* companion : {first.get(), second.get()}) {
      ASSERT_TRUE(eventually([&] {
        const auto counts = companion->counts();
        return !counts.empty() && counts.back() >= upTo;
      }, 10)) << "a companion stopped receiving";
      const auto counts = companion->counts();
      // The state sent on subscribing (0), then every broadcast.
      for (size_t i = 1; i < counts.size(); ++i) {
        ASSERT_EQ(counts[i], counts[i - 1] + 1) << "a snapshot was lost or reordered";
      }
    }
  }

  std::vector<std::string> errorsAbout(const std::string& source) {
    std::lock_guard lock(mutex);
    std::vector<std::string> found;
    for (const std::string& e : errors) {
      if (e.find("Someone at " + source + " ") != std::string::npos) found.push_back(e);
    }
    return found;
  }

  std::shared_ptr<VantleService> service;
  uint16_t port = 0;
  std::unique_ptr<Companion> first, second;
  std::atomic<int64_t> lastBroadcast{0};
  std::atomic<bool> stopBroadcasting{false};
  std::thread broadcaster;
  std::atomic<int> pulls{0};
  std::mutex mutex;
  std::vector<std::string> errors;
};

// Tries wrong codes from `from` for `seconds`; returns how many the agent's
// TLS answered (the others it closed before speaking TLS).
int guessFor(uint16_t port, const std::string& from, double seconds) {
  int answered = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (int code = 100000; std::chrono::steady_clock::now() < end; ++code) {
    auto peer = TestPeer::open(port, std::to_string(code), TestPeer::Variant::standard, from);
    if (peer && peer->handshake() == TestPeer::Handshake::refused) ++answered;
  }
  return answered;
}

TEST_F(HostilePeers, WrongCodesGetAboutOneAnswerASecondFromOneAddressOrFromMany) {
  EXPECT_LE(guessFor(port, "127.0.0.2", 4), 4);  // 1 s, then 2 s: a few answers
  EXPECT_EQ(errorsAbout("127.0.0.2").size(), 1u) << "the user hears of each guessing address once";

  // Ten machines at once: each gets its first try, then they share about one a second.
  std::atomic<int> answered{0};
  std::vector<std::thread> machines;
  for (int i = 3; i <= 12; ++i) {
    machines.emplace_back([&, i] { answered += guessFor(port, "127.0.0." + std::to_string(i), 4); });
  }
  // A companion new to the agent pairs while they flood.
  auto newcomer = TestPeer::open(port, kCode, TestPeer::Variant::standard, "127.0.0.20");
  ASSERT_TRUE(newcomer);
  EXPECT_EQ(newcomer->handshake(), TestPeer::Handshake::paired);
  for (auto& machine : machines) machine.join();
  EXPECT_LE(answered, 10 + 5 + 4 + 2);
  expectEverySnapshotInOrder();
}

TEST_F(HostilePeers, ThousandsOfIdleConnectionsNeitherPileUpNorCrowdOutACompanion) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 4000) GTEST_SKIP() << "needs 4,000 descriptors, the limit is " << limit.rlim_cur;
  const size_t before = openDescriptors();
  asio::io_context io;
  std::vector<asio::ip::tcp::socket> idle;
  for (int i = 0; i < 3000; ++i) {
    asio::ip::tcp::socket socket(io);
    std::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    socket.bind({asio::ip::make_address("127.0.1." + std::to_string(1 + i % 200)), 0}, error);
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    if (!error) idle.push_back(std::move(socket));
  }
  ASSERT_GT(idle.size(), 2900u);
  // The agent holds a bounded number of them: the test's own 3,000 and a few dozen more.
  EXPECT_TRUE(eventually([&] { return service->debugHandshakes() <= 64; }));
  EXPECT_LE(openDescriptors(), before + idle.size() + 100);
  EXPECT_TRUE(TestPeer::connect(port, kCode, TestPeer::Variant::standard, "127.0.0.21"));
  expectEverySnapshotInOrder();
}

TEST_F(HostilePeers, AHandshakeThatTricklesIsCutOffWhileCompanionsCarryOn) {
  // One byte a second of a TLS record header, from four connections.
  asio::io_context io;
  std::vector<asio::ip::tcp::socket> trickles;
  for (int i = 0; i < 4; ++i) {
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    trickles.push_back(std::move(socket));
  }
  // A handshake record's header, announcing 512 bytes that never all come.
  for (auto& socket : trickles) asio::write(socket, asio::buffer("\x16\x03\x01\x02\x00", 5));
  const auto start = std::chrono::steady_clock::now();
  bool allClosed = false;
  for (int second = 0; second < 20 && !allClosed; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the attacker's own pace
    allClosed = true;
    for (auto& socket : trickles) {
      std::error_code error;
      asio::write(socket, asio::buffer("\x01", 1), error);
      if (!error) allClosed = false;
    }
  }
  EXPECT_TRUE(allClosed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(16));
  expectEverySnapshotInOrder();
}

TEST_F(HostilePeers, APairedPeerThatNeverReadsHasItsPullsBoundedAndIsLetGo) {
  auto sleeper = TestPeer::connect(port, kCode, TestPeer::Variant::standard, "127.0.0.30");
  ASSERT_TRUE(sleeper);
  ASSERT_TRUE(eventually([&] { return service->peerCount() == 3; }));
  // A hundred pulls of 4 MiB images, and never a byte read.
  for (int i = 0; i < 100; ++i) sleeper->send(VantleMessage{.t = Kind::requestFrameImage, .imagePath = "/f.CR3"});
  ASSERT_TRUE(eventually([&] { return pulls >= 2; }));
  EXPECT_LE(pulls.load(), 2) << "only a couple of pulls may wait for one peer";
  // It goes on asking as its pulls are answered: once its backlog passes the
  // budget it is disconnected, and the others never notice.
  EXPECT_TRUE(eventually([&] {
    sleeper->send(VantleMessage{.t = Kind::requestFrameImage, .imagePath = "/f.CR3"});
    return service->peerCount() == 2;
  }, 30));
  EXPECT_LE(pulls.load(), 16);
  expectEverySnapshotInOrder();
}

TEST_F(HostilePeers, DeepNestingAndImpossibleLengthsFromAPairedPeerAreDroppedAlone) {
  auto hostile = TestPeer::connect(port, kCode, TestPeer::Variant::standard, "127.0.0.31");
  ASSERT_TRUE(hostile);
  const size_t body = VantleFraming::maximumBodySize;
  std::string nested = {static_cast<char>(body >> 24), static_cast<char>(body >> 16), static_cast<char>(body >> 8),
                        static_cast<char>(body)};
  nested.append(body, '[');
  hostile->sendRaw(nested);
  hostile->sendRaw(std::string("\xFF\xFF\xFF\xFF", 4));  // a length no frame may have
  expectEverySnapshotInOrder();
  // The peer itself is still served once it is back in step.
  hostile->send(VantleMessage{.t = Kind::ping});
  EXPECT_TRUE(eventually([&] {
    const auto message = hostile->receive(0.2);
    return message && message->t == Kind::pong;
  }, 10));
}

TEST_F(HostilePeers, AHandshakeBegunBeforeANewCodeIsCutOffWithTheOldListener) {
  auto late = TestPeer::open(port, kCode, TestPeer::Variant::standard, "127.0.0.40");
  ASSERT_TRUE(late);
  ASSERT_TRUE(eventually([&] { return service->debugHandshakes() == 1; }));
  service->stop();
  ASSERT_EQ(service->start("654321", "Studio"), std::nullopt);
  EXPECT_EQ(late->handshake(), TestPeer::Handshake::closed);
  EXPECT_EQ(service->peerCount(), 0);

  // After a stop alone, likewise.
  auto early = TestPeer::open(*service->debugPort(), "654321", TestPeer::Variant::standard, "127.0.0.41");
  ASSERT_TRUE(early);
  ASSERT_TRUE(eventually([&] { return service->debugHandshakes() == 1; }));
  service->stop();
  EXPECT_EQ(early->handshake(), TestPeer::Handshake::closed);
}

}  // namespace
}  // namespace vantle::net
