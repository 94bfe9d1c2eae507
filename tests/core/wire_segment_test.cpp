#include "core/wire_segment.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "tests/support/instants.h"

namespace vantle::core {
namespace {

using testing::at;

ShotSegmentRecord record() {
  return {"/Shoots/Spring/Capture/Look 3/", at(0), at(420), 10, 12, "IMG_0012.CR3", at(5), at(400), 0, 95, 0};
}

WireSegment segment() {
  return WireSegment::fromRecord(7, record(), true, "shoot", "Spring", "session", "agent", Bytes{0x00, 0xFF},
                                 Bytes{1, 2, 3});
}

TEST(WireSegment, DerivesItsTimingFromTheRecordAndRoundTripsWithImagesAsBase64) {
  const WireSegment s = segment();
  EXPECT_EQ(s.folderName, "Look 3");  // the path's trailing slash left out
  EXPECT_DOUBLE_EQ(s.activeTime, 325);
  EXPECT_DOUBLE_EQ(s.betweenTime, 5);
  EXPECT_EQ(s.idlePhases(), (IdlePhases{0, 95, 0}));
  EXPECT_EQ(s.record(), record());

  const Json json = s.encode();
  EXPECT_EQ(json.size(), 25u);
  EXPECT_EQ(json["thumbnail"], "AP8=");
  EXPECT_EQ(WireSegment::decode(json), s);
}

TEST(WireSegment, DecodingIsStrictButOptionalsMayBeMissingOrNull) {
  const Json good = segment().encode();
  for (const char* key : {"seq", "path", "folderName", "openedAt", "closedAt", "startFrameCount", "endFrameCount",
                          "framesAdded", "isRevisit", "duration", "activeTime", "idleTime", "betweenTime"}) {
    Json missing = good;
    missing.erase(key);
    EXPECT_EQ(WireSegment::decode(missing), std::nullopt) << "missing " << key;
    Json null = good;
    null[key] = nullptr;
    EXPECT_EQ(WireSegment::decode(null), std::nullopt) << "null " << key;
  }
  const std::vector<std::pair<const char*, Json>> wrong{
      {"seq", -7},          {"isRevisit", 1},     {"openedAt", "2025-03-01T14:05:09.1Z"},
      {"thumbnail", "!"},   {"firstFrameAt", 5},  {"idleAfterLast", "0"},
      {"framesAdded", 2.5}, {"duration", "420"}};
  for (const auto& [key, value] : wrong) {
    Json json = good;
    json[key] = value;
    EXPECT_EQ(WireSegment::decode(json), std::nullopt) << key << " = " << value.dump();
  }
  EXPECT_EQ(WireSegment::decode(Json::array()), std::nullopt);

  // Optionals may be missing or null, and stay out when encoded again.
  Json sparse = good;
  for (const char* key : {"thumbnail", "idleBeforeFirst", "idleDuringCaptures", "idleAfterLast"}) {
    sparse.erase(key);
  }
  sparse["lastFileName"] = nullptr;
  const auto s = WireSegment::decode(sparse);
  ASSERT_TRUE(s);
  const Json again = s->encode();
  for (const char* key : {"thumbnail", "idleBeforeFirst", "idleAfterLast", "lastFileName"}) {
    EXPECT_FALSE(again.contains(key)) << key;
  }
}

}  // namespace
}  // namespace vantle::core
