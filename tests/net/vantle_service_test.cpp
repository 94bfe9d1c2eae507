#include "net/vantle_service.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cstddef>

#include <atomic>
#include <mutex>
#include <thread>

#include "net/framing.h"
#include "net/security.h"
#include "support/log.h"
#include "tests/net/test_peer.h"
#include "tests/support/eventually.h"
#include "tests/support/instants.h"

namespace vantle::net {
namespace {

using core::VantleMessage;
using Kind = VantleMessage::Kind;
using testing::eventually;
using testing::TestPeer;
using ::testing::ElementsAre;

constexpr const char* kCode = "042137";

core::WireSegment segment(uint64_t seq) {
  core::WireSegment s;
  s.seq = seq;
  s.path = "/s/Look " + std::to_string(seq);
  s.folderName = "Look " + std::to_string(seq);
  s.openedAt = testing::at(0);
  s.closedAt = testing::at(60);
  s.framesAdded = 3;
  return s;
}

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

  std::vector<int> peerCounts() {
    std::lock_guard lock(mutex);
    return counts;
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

TEST_F(ServiceTest, OnlyThePairingCodeMakesAPeer) {
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
  EXPECT_EQ(peerCounts(), (std::vector<int>{1, 2, 1}));
}

TEST_F(ServiceTest, StopClosesEveryPeerWithoutCountingDown) {
  const uint16_t port = start();
  auto first = peer(port);
  auto second = peer(port);
  ASSERT_TRUE(eventually([&] { return service->peerCount() == 2; }));
  service->stop();
  EXPECT_EQ(service->peerCount(), 0);
  EXPECT_TRUE(first->closedWithin(5));
  EXPECT_EQ(peerCounts(), (std::vector<int>{1, 2}));
  EXPECT_EQ(service->debugPort(), std::nullopt);
}

TEST_F(ServiceTest, PingIsAnsweredByOnePongAndOtherKindsByNothing) {
  auto p = peer(start());
  for (Kind kind : {Kind::pong, Kind::hello, Kind::pair, Kind::segment, Kind::ping}) p->send(VantleMessage{.t = kind});
  EXPECT_THAT(kinds(p->receiveFor(0.5)), ElementsAre(Kind::pong));
}

TEST_F(ServiceTest, AFrameSplitAcrossReadsIsHandledOnce) {
  auto p = peer(start());
  const std::string frame = std::get<std::string>(VantleFraming::frame(VantleMessage{.t = Kind::ping}));
  for (char c : frame) {
    p->sendRaw(std::string(1, c));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_THAT(kinds(p->receiveFor(0.5)), ElementsAre(Kind::pong));
}

TEST_F(ServiceTest, SubscribeReplaysThenSendsTheCurrentStateInOrder) {
  std::vector<uint64_t> asked;
  service->backlog = [&](uint64_t since) {
    asked.push_back(since);
    return std::vector{segment(since + 1), segment(since + 2)};
  };
  service->verifications = [] { return std::vector{core::ShootVerification{"shoot", testing::at(0), {}}}; };
  service->currentSnapshot = [] {
    core::VantleSnapshot s;
    s.frameCount = 12;
    return s;
  };
  service->latestFrameThumbnail = [] { return FrameThumbnail{{1, 2, 3}, "IMG_1.jpg", "/s/IMG_1.CR3"}; };
  support::log::Capture capture;
  auto p = peer(start());
  p->send(VantleMessage{.t = Kind::subscribe});
  const auto messages = p->receiveFor(1);
  ASSERT_THAT(kinds(messages),
              ElementsAre(Kind::segment, Kind::segment, Kind::verified, Kind::snapshot, Kind::frameThumbnail));
  EXPECT_EQ(messages[1].segment->seq, 2u);
  EXPECT_EQ(messages[3].snapshot->frameCount, 12);
  EXPECT_EQ(messages[4].imagePath, "/s/IMG_1.CR3");
  EXPECT_THAT(asked, ElementsAre(0u));
  EXPECT_THAT(capture.messages("wire"), ::testing::Contains("subscribe since=0 replaying=2 seqs=1,2"));
}

TEST_F(ServiceTest, ASubscriberAheadOfTheNumberingIsSteppedOver) {
  std::vector<uint64_t> ahead;
  service->highestSeq = [] { return uint64_t{120}; };
  service->onSequenceAhead = [&](uint64_t since) { ahead.push_back(since); };
  service->backlog = [](uint64_t) { return std::vector<core::WireSegment>{}; };
  support::log::Capture capture;
  auto p = peer(start());
  p->send(VantleMessage{.t = Kind::subscribe, .since = 120});
  p->send(VantleMessage{.t = Kind::subscribe, .since = 250});
  p->send(VantleMessage{.t = Kind::ping});
  ASSERT_TRUE(p->receive());  // the pong: both subscribes were handled
  EXPECT_THAT(ahead, ElementsAre(250u));
  EXPECT_THAT(capture.messages("wire"),
              ::testing::Contains("subscriber holds seq 250 but this agent has only issued 120 \u2014 numbering "
                                  "restarted; stepping over it"));
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

  service->stop();
  service = VantleService::create(0);  // no countFolders: an empty answer
  auto q = peer(start());
  q->send(VantleMessage{.t = Kind::audit, .paths = std::vector<std::string>{"/s/a"}});
  const auto answer = q->receive();
  ASSERT_TRUE(answer && answer->readings);
  EXPECT_TRUE(answer->readings->empty());
}

TEST_F(ServiceTest, ImagePullsBecomeReplies) {
  std::atomic<int> frameCalls{0};
  service->onRequestFrameImage = [&](const std::string&) {
    ++frameCalls;
    return core::ImagePullOutcome{core::ImagesPulled{}};
  };
  auto p = peer(start());
  // A request that names no frame, by an empty path or none at all.
  for (const std::optional<std::string>& path : {std::optional<std::string>(""), std::optional<std::string>()}) {
    p->send(VantleMessage{.t = Kind::requestFrameImage, .imagePath = path});
    const auto reply = p->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->t, Kind::selectedImageUnavailable);
    EXPECT_EQ(reply->reason, "No frame was named.");
  }
  EXPECT_EQ(frameCalls, 0);
  std::optional<VantleMessage> reply;

  p->send(VantleMessage{.t = Kind::requestSelectedImage});
  reply = p->receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->t, Kind::selectedImageUnavailable);
  EXPECT_EQ(reply->reason, "This agent cannot pull images.");

  p->send(VantleMessage{.t = Kind::requestFrameImage, .imagePath = std::string("/s/A.CR3")});
  reply = p->receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reason, "The selected image could not be read.");
  EXPECT_EQ(frameCalls, 1);
}

TEST_F(ServiceTest, PulledImagesAreSentInOrderAndAnOversizedOneIsSkipped) {
  std::atomic<bool> highRes{false};
  service->onRequestSelectedImage = [&](bool h) {
    highRes = h;
    return core::ImagePullOutcome{core::ImagesPulled{{
        {{1}, "A.jpg"},
        {core::Bytes(16 * 1024 * 1024, 7), "Huge.jpg"},  // over 20 MiB once in base64
        {{2}, "B.jpg"},
    }}};
  };
  auto p = peer(start());
  ::testing::internal::CaptureStdout();
  p->send(VantleMessage{.t = Kind::requestHighResSelectedImage});
  std::vector<VantleMessage> messages;
  for (int i = 0; i < 2; ++i) {
    if (auto m = p->receive(20)) messages.push_back(*m);
  }
  const auto more = p->receiveFor(0.3);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_THAT(kinds(messages), ElementsAre(Kind::selectedImageData, Kind::selectedImageData));
  EXPECT_TRUE(more.empty());
  EXPECT_EQ(messages[0].imageFileName, "A.jpg");
  EXPECT_EQ(messages[1].imageFileName, "B.jpg");
  EXPECT_TRUE(highRes);
  EXPECT_THAT(printed, ::testing::HasSubstr("VantleService: Received requestHighResSelectedImage from client"));
  EXPECT_THAT(printed, ::testing::HasSubstr("VantleService: failed to frame image data \u2014 "));
  EXPECT_THAT(printed, ::testing::HasSubstr("VantleService: sent B.jpg to client"));
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
  const auto messages = p->receiveFor(4);
  std::vector<std::string> names;
  for (const auto& m : messages) names.push_back(m.imageFileName.value_or("cleared"));
  // 2 and 3 were discarded by the clear; 4 waited for 1 to complete.
  EXPECT_THAT(names, ElementsAre("1.jpg", "cleared", "4.jpg"));
}

TEST_F(ServiceTest, BroadcastsReachEveryPeerAndSegmentsAreLogged) {
  support::log::Capture capture;
  const uint16_t port = start();
  service->broadcast(VantleMessage{.t = Kind::segment, .segment = segment(9)});
  auto a = peer(port);
  auto b = peer(port);
  ASSERT_TRUE(eventually([&] { return service->peerCount() == 2; }));
  service->broadcast(VantleMessage{.t = Kind::segment, .segment = segment(10)});
  EXPECT_EQ(a->receive()->segment->seq, 10u);
  EXPECT_EQ(b->receive()->segment->seq, 10u);
  EXPECT_THAT(capture.messages("wire"), ::testing::IsSupersetOf({"broadcast segment seq=9 Look 9 frames=3 to 0 peer(s)",
                                                                  "broadcast segment seq=10 Look 10 frames=3 to 2 peer(s)"}));
}

TEST(ServicePort, ATakenPreferredPortFallsBackToASystemAssignedOne) {
  asio::io_context io;
  asio::ip::tcp::acceptor holder(io, {asio::ip::tcp::v6(), 0});
  const uint16_t taken = holder.local_endpoint().port();
  auto service = VantleService::create(taken);
  ASSERT_EQ(service->start(kCode, "Studio"), std::nullopt);
  const auto port = service->debugPort();
  ASSERT_TRUE(port);
  EXPECT_NE(*port, taken);
  EXPECT_TRUE(TestPeer::connect(*port, kCode));
  service->stop();

  // A free preferred port is used as it is.
  holder.close();
  auto again = VantleService::create(taken);
  ASSERT_EQ(again->start(kCode, "Studio"), std::nullopt);
  EXPECT_EQ(again->debugPort(), taken);
  again->stop();
}

// Interoperability with an independent TLS client: OpenSSL's own s_client.
TEST_F(ServiceTest, OpensslSClientWithThePskGetsAPong) {
  const uint16_t port = start();
  const auto key = VantleSecurity::preSharedKey(kCode);
  std::string hex;
  for (uint8_t b : key) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  int toChild[2], fromChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(fromChild), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[1]);
    close(fromChild[0]);
    const std::string target = "127.0.0.1:" + std::to_string(port);
    execlp("openssl", "openssl", "s_client", "-connect", target.c_str(), "-psk", hex.c_str(), "-psk_identity",
           "orvanevantle", "-tls1_2", "-cipher", "PSK-AES128-GCM-SHA256", "-quiet", "-ign_eof", nullptr);
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  const std::string ping = std::get<std::string>(VantleFraming::frame(VantleMessage{.t = Kind::ping}));
  ASSERT_EQ(write(toChild[1], ping.data(), ping.size()), static_cast<ssize_t>(ping.size()));
  std::string received;
  const std::string pong = std::get<std::string>(VantleFraming::frame(VantleMessage{.t = Kind::pong}));
  ASSERT_TRUE(eventually(
      [&] {
        pollfd p{fromChild[0], POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
          char chunk[256];
          const ssize_t n = read(fromChild[0], chunk, sizeof chunk);
          if (n > 0) received.append(chunk, n);
        }
        return received.find(pong) != std::string::npos;
      },
      10));
  EXPECT_EQ(received, pong);
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  close(toChild[1]);
  close(fromChild[0]);
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

}  // namespace
}  // namespace vantle::net
