#include "net/framing.h"

#include <gtest/gtest.h>

#include "tests/support/instants.h"

namespace vantle::net {
namespace {

using namespace std::string_literals;

using core::VantleMessage;
using Kind = VantleMessage::Kind;

const core::Instant kNow = testing::at(0);

std::string frameOf(const VantleMessage& m) { return std::get<std::string>(VantleFraming::frame(m)); }

std::string header(uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}

TEST(Framing, FrameIsABigEndianLengthThenTheJson) {
  const std::string frame = frameOf(VantleMessage{.t = Kind::ping});
  EXPECT_EQ(frame, header(12) + R"({"t":"ping"})");
}

TEST(Framing, SeveralFramesInOneReadComeOutInOrderAndABadOneIsDroppedAlone) {
  const std::string bad = R"({"t":"teleport"})";
  std::string buffer = frameOf(VantleMessage{.t = Kind::ping}) + header(bad.size()) + bad +
                       frameOf(VantleMessage{.t = Kind::audit, .paths = std::vector<std::string>{"/a"}}) +
                       frameOf(VantleMessage{.t = Kind::pong}).substr(0, 6);
  const auto messages = VantleFraming::drain(buffer, kNow);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].t, Kind::ping);
  EXPECT_EQ(messages[1].t, Kind::audit);
  EXPECT_EQ(buffer.size(), 6u);  // the start of the next frame stays
}

TEST(Framing, AnImpossibleLengthDiscardsEverythingReceived) {
  std::string zero = header(0) + frameOf(VantleMessage{.t = Kind::ping});
  EXPECT_TRUE(VantleFraming::drain(zero, kNow).empty());
  EXPECT_TRUE(zero.empty());

  std::string tooLong = header(VantleFraming::maximumBodySize + 1) + "{}";
  EXPECT_TRUE(VantleFraming::drain(tooLong, kNow).empty());
  EXPECT_TRUE(tooLong.empty());

  std::string largest = header(VantleFraming::maximumBodySize) + "{}";
  EXPECT_TRUE(VantleFraming::drain(largest, kNow).empty());
  EXPECT_EQ(largest.size(), 6u);  // waits for the whole body
}

TEST(Framing, BodiesUpToTheMaximumAreFramed) {
  // {"t":"ping","reason":"xxx..."}: 22 bytes around the reason's text.
  const size_t overhead = std::string(R"({"t":"ping","reason":""})").size();
  VantleMessage m{.t = Kind::ping, .reason = std::string(VantleFraming::maximumBodySize - overhead, 'x')};
  const auto exact = VantleFraming::frame(m);
  ASSERT_TRUE(std::holds_alternative<std::string>(exact));
  EXPECT_EQ(std::get<std::string>(exact).size(), VantleFraming::maximumBodySize + 4);

  m.reason->push_back('x');
  EXPECT_EQ(std::get<VantleFraming::FramingError>(VantleFraming::frame(m)),
            (VantleFraming::FramingError{VantleFraming::FramingError::Kind::bodyTooLarge,
                                         VantleFraming::maximumBodySize + 1}));
}

}  // namespace
}  // namespace vantle::net
