#include "core/message.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "tests/support/instants.h"

namespace vantle::core {
namespace {

using testing::at;
using Kind = VantleMessage::Kind;

std::optional<VantleMessage> decode(std::string_view text) { return VantleMessage::decodeText(text, at(0)); }

TEST(VantleMessage, EveryKindRoundTripsByItsCaseName) {
  for (size_t i = 0; i < EnumText<Kind>::names.size(); ++i) {
    VantleMessage m;
    m.t = static_cast<Kind>(i);
    EXPECT_EQ(m.encodeText(), "{\"t\":\"" + std::string(EnumText<Kind>::names[i]) + "\"}");
    EXPECT_EQ(decode(m.encodeText()), m);
  }
}

TEST(VantleMessage, ImagePullKindsTravelAsWrittenOut) {
  struct Case {
    VantleMessage message;
    const char* json;
  };
  const std::vector<Case> cases{
      // Bytes chosen so that the text needs both + and / of standard base64.
      {{.t = Kind::selectedImageData, .imageData = Bytes{0xFB, 0xEF}, .imageFileName = std::string("IMG_0007.jpg")},
       R"({"t":"selectedImageData","imageData":"++8=","imageFileName":"IMG_0007.jpg"})"},
      {{.t = Kind::selectedImageUnavailable, .reason = std::string("No image is selected.")},
       R"({"t":"selectedImageUnavailable","reason":"No image is selected."})"},
      {{.t = Kind::frameThumbnail, .imageData = Bytes{0xFF, 0xD8, 0xFF}, .imagePath = "/s/8.CR3"},
       R"({"t":"frameThumbnail","imageData":"/9j/","imagePath":"/s/8.CR3"})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.message.encodeText(), c.json);
    EXPECT_EQ(decode(c.json), c.message) << c.json;
  }
}

TEST(VantleMessage, RoundTripsEveryField) {
  // The nested records' own fields are tested with them.
  const VantleMessage m{
      .t = Kind::hello,
      .seq = 18446744073709551615u,
      .since = 0,
      .snapshot = VantleSnapshot{.seq = 2, .at = at(1)},
      .segment = WireSegment{.seq = 3, .path = "/s/A", .openedAt = at(0), .closedAt = at(60)},
      .agentName = "Studio Mac",
      .protocolVersion = 1,
      .code = "123456",
      .reason = "Capture One is not running.",
      .paths = std::vector<std::string>{"/s/A", "/s/B"},
      .readings = std::vector<FolderReading>{{"/s/A", 3, true, false, 1, 2}},
      .verification = ShootVerification{"shoot", at(2), {{"/s/B", 0, false, false, 0, std::nullopt}}},
      .imageData = Bytes{0x00, 0xFF},
      .imageFileName = "IMG_1.jpg",
      .imagePath = "/s/A/IMG_1.CR3",
  };
  const Json json = m.encode();
  EXPECT_EQ(json.size(), 15u);
  EXPECT_EQ(json.begin().key(), "t");
  EXPECT_EQ(decode(m.encodeText()), m);
}

TEST(VantleMessage, AnUnknownKindOrAWronglyTypedFieldFailsTheWholeMessage) {
  for (const char* text : {R"({"since":3})", R"({"t":"Subscribe"})", R"({"t":null})", R"(["subscribe"])",
                           R"({"t":"subscribe")", R"({"t":"subscribe","since":-1})",
                           R"({"t":"audit","paths":["/s/A",1]})", R"({"t":"audited","readings":[1]})",
                           R"({"t":"snapshot","snapshot":"x"})", R"({"t":"segment","segment":{"seq":1}})",
                           R"({"t":"frameThumbnail","imageData":"@@@@"})"}) {
    EXPECT_EQ(decode(text), std::nullopt) << text;
  }
  // Unknown fields are ignored, and null is the same as missing.
  EXPECT_EQ(decode(R"({"t":"subscribe","future":{"x":1}})"), (VantleMessage{.t = Kind::subscribe}));
  EXPECT_EQ(decode(R"({"t":"frameThumbnail","imageData":null,"imagePath":null})"),
            (VantleMessage{.t = Kind::frameThumbnail}));
  // A nested snapshot is read as tolerantly as on its own.
  const auto m = decode(R"({"t":"snapshot","snapshot":{"status":"noDocument","seq":"x"}})");
  ASSERT_TRUE(m && m->snapshot);
  EXPECT_EQ(m->snapshot->status, AgentStatus::noDocument);
  EXPECT_EQ(m->snapshot->seq, 0u);
}

TEST(VantleMessage, AnAuditKeepsItsFirstPathsAndReadsPastTheRest) {
  // As long a list as fits in the largest message a companion may send.
  std::string text = R"({"t":"audit","paths":[)";
  for (int i = 0; i < 300'000; ++i) text += (i ? ",\"/s/" : "\"/s/") + std::to_string(i) + "\"";
  text += R"(],"seq":9})";
  const auto audit = decode(text);
  ASSERT_TRUE(audit && audit->paths);
  ASSERT_EQ(audit->paths->size(), VantleMessage::pathsKept);
  EXPECT_EQ(audit->paths->front(), "/s/0");
  EXPECT_EQ(audit->paths->back(), "/s/499");
  EXPECT_EQ(audit->seq, 9u);  // what follows the list is still read

  // Only the audit's list is cut: other lists are whole.
  std::string readings;
  for (int i = 0; i < 600; ++i) readings += std::string(i ? "," : "") + R"({"path":"/s/)" + std::to_string(i) + "\"}";
  const auto audited = decode(R"({"t":"audited","readings":[)" + readings + "]}");
  ASSERT_TRUE(audited && audited->readings);
  EXPECT_EQ(audited->readings->size(), 600u);
  // A wrong element within the kept ones still fails the message.
  EXPECT_EQ(decode(R"({"t":"audit","paths":[1,"/s/A"]})"), std::nullopt);
}

TEST(VerificationRecords, ReadLenientlyAndWriteEveryKey) {
  const auto reading = FolderReading::decode(Json{{"path", "/s/A"}, {"exists", "no"}});
  EXPECT_EQ(reading, (FolderReading{"/s/A", 0, true, true, 0, std::nullopt}));
  EXPECT_EQ((FolderReading{"/s/A", 1, true, true, 0, std::nullopt}).encode().dump(),
            R"({"path":"/s/A","frameCount":1,"exists":true,"readable":true,"orphanCount":0})");
  EXPECT_EQ(FolderReading::decode(Json::array()), std::nullopt);

  const auto verification = ShootVerification::decode(Json{{"readings", 5}}, at(9));
  EXPECT_EQ(verification, (ShootVerification{"", at(9), {}}));
}

}  // namespace
}  // namespace vantle::core
