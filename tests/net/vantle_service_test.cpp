#include "net/vantle_service.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cstddef>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "net/framing.h"
#include "net/security.h"
#include "tests/support/eventually.h"
#include "tests/support/pace.h"
#include "tests/support/instants.h"
#include "tests/support/live_process.h"
#include "tests/support/test_peer.h"

namespace vantle::net {
namespace {

using core::VantleMessage;
using Kind = VantleMessage::Kind;
using testing::eventually;
using testing::TestPeer;
using ::testing::ElementsAre;

constexpr const char* kCode = "042137";

core::WireSegment segment(uint64_t seq) { return {.seq = seq, .path = "/s/" + std::to_string(seq)}; }

std::vector<Kind> kinds(const std::vector<VantleMessage>& messages) {
  std::vector<Kind> out;
  for (const auto& m : messages) out.push_back(m.t);
  return out;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { service = VantleService::create(0); }
  void TearDown() override {
    if (service) service->stop();
  }

  uint16_t start() {
    service->onPeerCountChanged = [this](int n) {
      std::lock_guard lock(mutex);
      counts.push_back(n);
    };
    EXPECT_EQ(service->start(kCode, "Studio Mac"), std::nullopt);
    return *service->debugPort();
  }

  std::unique_ptr<TestPeer> peer(uint16_t port) {
    auto p = TestPeer::connect(port, kCode);
    EXPECT_TRUE(p);
    return p;
  }

  std::shared_ptr<VantleService> service;
  std::mutex mutex;
  std::vector<int> counts;
};

TEST_F(ServiceTest, OnlyThePairingCodeMakesAPeerAndStopClosesEveryPeerWithoutCountingDown) {
  const uint16_t port = start();
  // From three other machines: each failure slows its own source down.
  EXPECT_EQ(TestPeer::connect(port, "042138", TestPeer::Variant::standard, "127.0.0.2"), nullptr);
  EXPECT_EQ(TestPeer::connect(port, kCode, TestPeer::Variant::tls13Only, "127.0.0.3"), nullptr);
  EXPECT_EQ(TestPeer::connect(port, kCode, TestPeer::Variant::otherCipher, "127.0.0.4"), nullptr);
  EXPECT_EQ(service->peerCount(), 0);

  auto first = peer(port);
  auto second = peer(port);
  ASSERT_TRUE(eventually([&] { return service->peerCount() == 2; }));
  first.reset();
  ASSERT_TRUE(eventually([&] { return service->peerCount() == 1; }));
  service->stop();
  EXPECT_EQ(service->peerCount(), 0);
  EXPECT_TRUE(second->closedWithin(5));
  std::lock_guard lock(mutex);
  EXPECT_EQ(counts, (std::vector<int>{1, 2, 1}));
}

TEST_F(ServiceTest, PingIsAnsweredByOnePongEvenSplitAcrossReadsAndOtherKindsByNothing) {
  auto p = peer(start());
  for (Kind kind : {Kind::pong, Kind::hello, Kind::pair, Kind::segment}) p->send(VantleMessage{.t = kind});
  // The ping comes a byte at a time.
  const std::string ping = std::get<std::string>(VantleFraming::frame(VantleMessage{.t = Kind::ping}));
  for (char c : ping) {
    p->sendRaw(std::string(1, c));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_THAT(kinds(p->receiveFor(0.5)), ElementsAre(Kind::pong));
}

TEST_F(ServiceTest, SubscribeReplaysThenSendsTheCurrentStateAndStepsOverANumberingAhead) {
  std::vector<uint64_t> asked, ahead;
  service->highestSeq = [] { return uint64_t{120}; };
  service->onSequenceAhead = [&](uint64_t since) { ahead.push_back(since); };
  service->backlog = [&](uint64_t since) {
    asked.push_back(since);
    return Backlog::of({segment(since + 1), segment(since + 2)});
  };
  service->verifications = [] { return std::vector{core::ShootVerification{"shoot", testing::at(0), {}}}; };
  service->currentSnapshot = [] { return core::VantleSnapshot{.frameCount = 12}; };
  service->latestFrameThumbnail = [] { return FrameThumbnail{{1, 2, 3}, "IMG_1.jpg", "/s/IMG_1.CR3"}; };
  auto p = peer(start());
  p->send(VantleMessage{.t = Kind::subscribe});
  const auto messages = p->receiveFor(1);
  ASSERT_THAT(kinds(messages),
              ElementsAre(Kind::segment, Kind::segment, Kind::verified, Kind::snapshot, Kind::frameThumbnail));

  // Companions holding what the agent issued last, and more than it ever issued.
  p->send(VantleMessage{.t = Kind::subscribe, .since = 120});
  p->send(VantleMessage{.t = Kind::subscribe, .since = 250});
  p->send(VantleMessage{.t = Kind::ping});
  const auto more = p->receiveFor(1);
  ASSERT_FALSE(more.empty());
  EXPECT_EQ(more.back().t, Kind::pong);  // both subscribes were handled
  EXPECT_THAT(asked, ElementsAre(0u, 120u, 250u));
  EXPECT_THAT(ahead, ElementsAre(250u));
}

TEST_F(ServiceTest, AuditsAreTrimmedToTheLimitAndEmptyOnesUnanswered) {
  size_t counted = 0;
  service->countFolders = [&](const std::vector<std::string>& paths) {
    counted = paths.size();
    return std::vector<core::FolderReading>{{paths.front(), 4, true, true, 0, std::nullopt}};
  };
  auto p = peer(start());
  std::vector<std::string> paths;
  for (int i = 0; i < 501; ++i) paths.push_back("/s/" + std::to_string(i));
  p->send(VantleMessage{.t = Kind::audit});
  p->send(VantleMessage{.t = Kind::audit, .paths = std::vector<std::string>{}});
  p->send(VantleMessage{.t = Kind::audit, .paths = paths});
  const auto messages = p->receiveFor(0.5);
  ASSERT_THAT(kinds(messages), ElementsAre(Kind::audited));
  EXPECT_EQ(counted, 500u);
  EXPECT_EQ(messages[0].readings->front().path, "/s/0");
}

// Counting folders on a slow drive holds up nobody else: another companion
// pairs and is answered meanwhile, and the counting peer's answers come in order.
TEST_F(ServiceTest, AnAuditCountsOffTheServiceQueueAndItsAnswersKeepTheirOrder) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  struct Opens {  // however the test ends, the drive answers
    std::promise<void>& gate;
    bool opened = false;
    void open() { opened = opened || (gate.set_value(), true); }
    ~Opens() { open(); }
  } opens{gate};
  service->countFolders = [opened](const std::vector<std::string>& paths) {
    opened.wait();  // the slow drive
    return std::vector<core::FolderReading>{{paths.front(), 1, true, true, 0, std::nullopt}};
  };
  const uint16_t port = start();
  auto counting = peer(port);
  counting->send(VantleMessage{.t = Kind::audit, .paths = std::vector<std::string>{"/first"}});
  counting->send(VantleMessage{.t = Kind::audit, .paths = std::vector<std::string>{"/second"}});
  counting->send(VantleMessage{.t = Kind::audit, .paths = std::vector<std::string>{"/dropped"}});  // two wait already
  counting->send(VantleMessage{.t = Kind::ping});
  const auto handled = counting->receive();  // the service read all of them, and answers meanwhile
  ASSERT_TRUE(handled);
  EXPECT_EQ(handled->t, Kind::pong);

  auto other = peer(port);
  other->send(VantleMessage{.t = Kind::ping});
  const auto pong = other->receive();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->t, Kind::pong);

  opens.open();
  const auto answers = counting->receiveFor(1);
  ASSERT_THAT(kinds(answers), ElementsAre(Kind::audited, Kind::audited));
  EXPECT_EQ(answers[0].readings->front().path, "/first");
  EXPECT_EQ(answers[1].readings->front().path, "/second");
}

// A companion never needs to send more than an audit of 500 long paths: one
// that announces more is let go before its body is held.
TEST_F(ServiceTest, AMessageLargerThanACompanionEverSendsEndsItsConnection) {
  auto p = peer(start());
  const size_t declared = VantleService::companionMessageLimit + 1;
  p->sendRaw(std::string{static_cast<char>(declared >> 24), static_cast<char>(declared >> 16),
                         static_cast<char>(declared >> 8), static_cast<char>(declared)});
  EXPECT_TRUE(p->closedWithin(5));
}

TEST_F(ServiceTest, PulledImagesAreSentInOrderSkippingAnOversizedOneAndOtherOutcomesSaySo) {
  service->onRequestSelectedImage = [](bool highRes) -> core::ImagePullOutcome {
    if (!highRes) return core::ImagesPulled{};
    return core::ImagesPulled{{
        {{1}, "A.jpg"},
        {core::Bytes(16 * 1024 * 1024, 7), "Huge.jpg"},  // over 20 MiB once in base64
        {{2}, "B.jpg"},
    }};
  };
  auto p = peer(start());  // an agent without frame pulls
  const std::vector<std::pair<VantleMessage, std::string>> cases{
      // A request that names no frame never reaches the pull.
      {{.t = Kind::requestFrameImage, .imagePath = ""}, "No frame was named."},
      {{.t = Kind::requestFrameImage, .imagePath = "/s/A.CR3"}, "This agent cannot pull frames."},
      {{.t = Kind::requestSelectedImage}, "The selected image could not be read."},
  };
  for (const auto& [request, reason] : cases) {
    SCOPED_TRACE(reason);
    p->send(request);
    const auto reply = p->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->t, Kind::selectedImageUnavailable);
    EXPECT_EQ(reply->reason, reason);
  }

  p->send(VantleMessage{.t = Kind::requestHighResSelectedImage});
  std::vector<VantleMessage> messages;
  for (int i = 0; i < 2; ++i) {
    if (auto m = p->receive(20)) messages.push_back(*m);
  }
  ASSERT_THAT(kinds(messages), ElementsAre(Kind::selectedImageData, Kind::selectedImageData));
  EXPECT_TRUE(p->receiveFor(0.3).empty());
  EXPECT_EQ(messages[0].imageFileName, "A.jpg");
  EXPECT_EQ(messages[1].imageFileName, "B.jpg");
}

TEST_F(ServiceTest, ASlowPeerGetsTheFirstAndTheNewestThumbnailOnly) {
  auto p = peer(start());
  ASSERT_TRUE(eventually([&] { return service->peerCount() == 1; }));
  // Large enough that the first send cannot complete while the peer does not read.
  const auto image = [](uint8_t fill) { return core::Bytes(6 * 1024 * 1024, fill); };
  service->broadcastFrameThumbnail(image(1), "1.jpg", "/s/1.CR3");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  service->broadcastFrameThumbnail(image(2), "2.jpg", "/s/2.CR3");
  service->broadcastFrameThumbnail(image(3), "3.jpg", "/s/3.CR3");
  service->broadcastFrameCleared();
  service->broadcastFrameThumbnail(image(4), "4.jpg", "/s/4.CR3");
  // Whatever else had been sent would have come before 4.
  std::vector<std::string> names;
  while (auto m = p->receive(30)) {
    names.push_back(m->imageFileName.value_or("cleared"));
    if (names.back() == "4.jpg") break;
  }
  // 2 and 3 were discarded by the clear; 4 waited for 1 to complete.
  EXPECT_THAT(names, ElementsAre("1.jpg", "cleared", "4.jpg"));
}

// Interoperability with an independent TLS client: OpenSSL's own s_client,
// what it receives shown in hexadecimal, 16 bytes to a line.
TEST_F(ServiceTest, OpensslSClientWithThePskGetsAPong) {
  const uint16_t port = start();
  std::string key;
  for (uint8_t b : VantleSecurity::preSharedKey(kCode)) key += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  testing::LiveProcess client("/bin/sh", {"-c", "openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                                                    " -psk " + key + " -psk_identity orvanevantle -tls1_2 -cipher " +
                                                    "PSK-AES128-GCM-SHA256 -quiet | stdbuf -o0 od -An -tx1 -w16 -v"});
  client.send(std::get<std::string>(VantleFraming::frame(VantleMessage{.t = Kind::ping})));
  // A length of 12, then {"t":"pong"}.
  EXPECT_TRUE(client.waitForLine(" 00 00 00 0c 7b 22 74 22 3a 22 70 6f 6e 67 22 7d", 10)) << client.transcript();
}

// From now on this process cannot make IPv6 sockets, as on a host whose
// kernel has IPv6 turned off.
void refuseIPv6Sockets() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EAFNOSUPPORT & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::_Exit(3);
  }
}

TEST(ServicePortDeathTest, WithoutIPv6ItListensOnIPv4) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the filter is written for x86-64";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        refuseIPv6Sockets();
        auto service = VantleService::create(0);
        if (service->start(kCode, "Studio")) std::_Exit(1);
        const bool paired = TestPeer::connect(*service->debugPort(), kCode) != nullptr;
        service->stop();
        std::_Exit(paired ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

// The hostile-peer suite: the service on a studio network shared with
// strangers, with loopback addresses 127.0.0.x standing for other machines.
// In every case two paired companions keep receiving every snapshot, in
// order, while the attack runs.

// A paired companion reading everything it is sent, on a thread of its own,
// and keeping the frame counts of the snapshots in the order they came.
struct Companion {
  explicit Companion(uint16_t port) : peer(TestPeer::connect(port, kCode)) {
    if (!peer) return;
    peer->send(VantleMessage{.t = Kind::subscribe});
    reader = std::thread([this] {
      while (!stop) {
        const auto message = peer->receive(0.2);
        if (!message || message->t != Kind::snapshot || !message->snapshot) continue;
        std::lock_guard lock(mutex);
        received.push_back(message->snapshot->frameCount);
      }
    });
  }
  ~Companion() {
    stop = true;
    if (reader.joinable()) reader.join();
  }
  std::vector<int64_t> counts() const {
    std::lock_guard lock(mutex);
    return received;
  }

  std::unique_ptr<TestPeer> peer;
  std::thread reader;
  std::atomic<bool> stop{false};
  mutable std::mutex mutex;
  std::vector<int64_t> received;
};

class HostilePeers : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    service->currentSnapshot = [this] { return core::VantleSnapshot{.frameCount = lastBroadcast.load()}; };
    service->onRequestFrameImage = [this](const std::string&) -> core::ImagePullOutcome {
      ++pulls;
      return core::ImagesPulled{{core::PulledImage{core::Bytes(4 << 20, 0x5A), "IMG_0001.jpg"}}};
    };
    port = start();
    first = std::make_unique<Companion>(port);
    second = std::make_unique<Companion>(port);
    ASSERT_TRUE(first->peer && second->peer);
    ASSERT_TRUE(eventually([&] { return service->peerCount() == 2; }));
    // Both have the state sent on subscribing before the first broadcast.
    ASSERT_TRUE(eventually([&] { return !first->counts().empty() && !second->counts().empty(); }));
    // Snapshots go out 25 times a second for as long as the test runs.
    broadcaster = std::thread([this] {
      while (!stopBroadcasting) {
        const int64_t next = ++lastBroadcast;
        service->broadcast(VantleMessage{.t = Kind::snapshot, .snapshot = core::VantleSnapshot{.frameCount = next}});
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
      }
    });
  }

  void TearDown() override {
    stopBroadcasting = true;
    if (broadcaster.joinable()) broadcaster.join();
    first.reset();  // before the service closes them
    second.reset();
    ServiceTest::TearDown();
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

  uint16_t port = 0;
  std::unique_ptr<Companion> first, second;
  std::atomic<int64_t> lastBroadcast{0};
  std::atomic<bool> stopBroadcasting{false};
  std::thread broadcaster;
  std::atomic<int> pulls{0};
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

// Pairs from `from` as a companion does, trying again every quarter second
// while the agent closes its connections unanswered; whether it paired
// within `seconds`.
bool pairsWithin(uint16_t port, const std::string& code, const std::string& from, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  testing::Pace companion(std::chrono::milliseconds(250));
  do {
    auto peer = TestPeer::open(port, code, TestPeer::Variant::standard, from);
    if (peer && peer->handshake() == TestPeer::Handshake::paired) return true;
  } while (companion.next() && std::chrono::steady_clock::now() < deadline);
  return false;
}

TEST_F(HostilePeers, WrongCodesGetAboutOneAnswerASecondFromOneAddressOrFromMany) {
  EXPECT_LE(guessFor(port, "127.0.0.2", 4), 4);  // 1 s, then 2 s: a few answers

  // Ten machines at once: each gets its first try, then they share about one a second.
  std::atomic<int> answered{0};
  std::vector<std::thread> machines;
  for (int i = 3; i <= 12; ++i) {
    machines.emplace_back([&, i] { answered += guessFor(port, "127.0.0." + std::to_string(i), 4); });
  }
  // A companion new to the agent pairs, sharing the newcomers' turns with them.
  EXPECT_TRUE(pairsWithin(port, kCode, "127.0.0.20", 20));
  for (auto& machine : machines) machine.join();
  EXPECT_LE(answered, 10 + 5 + 4 + 2);
  expectEverySnapshotInOrder();
}

TEST_F(HostilePeers, ThousandsOfIdleConnectionsNeitherPileUpNorCrowdOutACompanion) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 4000) GTEST_SKIP() << "needs 4,000 descriptors, the limit is " << limit.rlim_cur;
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
  // The agent holds a bounded number of them.
  EXPECT_TRUE(eventually([&] { return service->debugHandshakes() <= 64; }));
  EXPECT_TRUE(pairsWithin(port, kCode, "127.0.0.21", 20));
  expectEverySnapshotInOrder();
}

// Having paired once proves only that this address knew that code.
TEST_F(HostilePeers, AGuestWhoPairedGuessesTheNextCodeNoFasterThanAStranger) {
  ASSERT_TRUE(pairsWithin(port, kCode, "127.0.0.50", 10));
  service->stop();
  ASSERT_EQ(service->start("654321", "Studio"), std::nullopt);
  EXPECT_LE(guessFor(*service->debugPort(), "127.0.0.50", 4), 4);
}

// Connections that never finish their handshake are failures of their
// source: they cannot keep the budget empty and lock out a companion that
// mistyped its code once, even while others guess.
TEST_F(HostilePeers, SilenceAndAFloodDoNotLockOutACompanionThatMistypedOnce) {
  auto mistyped = TestPeer::open(port, "000000", TestPeer::Variant::standard, "127.0.0.60");
  ASSERT_TRUE(mistyped);
  ASSERT_EQ(mistyped->handshake(), TestPeer::Handshake::refused);

  std::atomic<bool> done{false};
  testing::Pace attacker(std::chrono::milliseconds(500));  // two silent connections a second from one address
  std::thread silent([&] {
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> held;
    do {
      asio::ip::tcp::socket socket(io);
      std::error_code error;
      socket.open(asio::ip::tcp::v4(), error);
      socket.bind({asio::ip::make_address("127.0.0.61"), 0}, error);
      socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
      if (!error) held.push_back(std::move(socket));
    } while (attacker.next());
  });
  std::vector<std::thread> flood;
  for (int i = 70; i < 80; ++i) {
    flood.emplace_back([&, i] {
      while (!done) guessFor(port, "127.0.0." + std::to_string(i), 1);
    });
  }
  EXPECT_TRUE(pairsWithin(port, kCode, "127.0.0.60", 15));
  done = true;
  attacker.stop();
  silent.join();
  for (auto& machine : flood) machine.join();
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
