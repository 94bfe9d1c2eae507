#include "core/snapshot.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "tests/support/instants.h"

namespace vantle::core {
namespace {

using testing::at;

// Every field set, as a companion receives it.
Json fullSnapshot() {
  return Json::parse(R"({"protocolVersion":1,"seq":18446744073709551615,"at":"2025-03-01T14:05:09Z",
      "status":"folderUnreadable","sourceKind":"observed","watchMode":"polling","sessionName":"Spring",
      "sessionID":"6F1B1E0A-6C2D-4E55-9C5A-0B7A2C3D4E5F","documentKind":"catalog",
      "designatedPath":"/Shoots/Spring/Capture/Look 3","shotName":"Look 3","frameCount":12,
      "shotOpenedAt":"2025-03-01T13:55:09Z","shotAccumulatedBefore":61.5,"shotIdleBanked":12.25,
      "shotLastActivityAt":"2025-03-01T14:04:39Z","idleThreshold":240,"agentID":"agent","shootID":"shoot",
      "totalShotTime":3600.5,"totalBetween":300,"totalUntracked":120,"firstCaptureAt":"2025-03-01T12:05:09Z",
      "shotsCompleted":4,"framesThisShoot":88,"isLocalVolume":false,"countingMode":"anyImage",
      "orphanCount":2,"orphanExtensions":["jpg","tif"],"cameraBattery":"80%","isCameraConnected":false})");
}

TEST(VantleSnapshot, EveryFieldTravelsUnderItsNameInDeclarationOrder) {
  const VantleSnapshot s = *VantleSnapshot::decode(fullSnapshot(), at(999));
  EXPECT_EQ(s.encode(), fullSnapshot());  // ordered: names, order and values alike
}

TEST(VantleSnapshot, DefaultsAreTheWrittenOutRecord) {
  // Written out by hand, so that a changed initialiser shows here.
  const Json defaults = Json::parse(R"({"protocolVersion":1,"seq":0,"at":"2025-03-01T14:05:14Z","status":"ok",
      "sourceKind":"designation","watchMode":"fsevents","frameCount":0,"shotAccumulatedBefore":0,"shotIdleBanked":0,
      "idleThreshold":300,"totalShotTime":0,"totalBetween":0,"totalUntracked":0,"shotsCompleted":0,
      "framesThisShoot":0,"isLocalVolume":true,"countingMode":"rawOnly","orphanCount":0,"orphanExtensions":[]})");
  VantleSnapshot fresh;
  fresh.at = at(5);
  EXPECT_EQ(fresh.encode(), defaults);
  // An empty object reads as that record, every optional absent.
  const auto decoded = VantleSnapshot::decode(Json::object(), at(5));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->encode(), defaults);

  // The fraction of a second is dropped: content matches, equality does not.
  fresh.at = at(5.75);
  const VantleSnapshot back = *VantleSnapshot::decode(fresh.encode(), at(50));
  EXPECT_NE(back, fresh);
  EXPECT_TRUE(back.matchesContent(fresh));
}

TEST(VantleSnapshot, EachBadFieldFallsBackAloneWhileTheOthersAreRead) {
  const Json good = fullSnapshot();
  const VantleSnapshot defaults = *VantleSnapshot::decode(Json::object(), at(0));
  struct Case {
    const char* key;
    Json bad;
  };
  // One of each kind of field, wrong in each of the ways a peer gets it wrong.
  const std::vector<Case> cases{
      {"protocolVersion", 1.5},         {"seq", -1},
      {"at", "2025-03-01T14:05:09.5Z"}, {"status", "exploded"},
      {"sessionName", 42},              {"frameCount", "12"},
      {"idleThreshold", true},          {"isCameraConnected", nullptr},
      {"orphanExtensions", Json::array({"jpg", 3})},
      {"framesThisShoot", 18446744073709551615u},
  };
  for (const Case& c : cases) {
    Json json = good;
    json[c.key] = c.bad;
    const auto decoded = VantleSnapshot::decode(json, at(0));
    ASSERT_TRUE(decoded) << c.key;
    // The bad field takes its default...
    Json expected = good;
    const Json fallback = defaults.encode();
    if (fallback.contains(c.key)) {
      expected[c.key] = fallback[c.key];
    } else {
      expected.erase(c.key);
    }
    // ...and every other field is still read.
    EXPECT_EQ(decoded->encode(), expected) << c.key << " = " << c.bad.dump();
  }
  // Only an object decodes at all.
  EXPECT_EQ(VantleSnapshot::decode(Json::array(), at(0)), std::nullopt);
}

TEST(VantleSnapshot, OrphanWarning) {
  VantleSnapshot s;
  s.orphanCount = 1;
  s.orphanExtensions = {"jpg"};
  EXPECT_EQ(s.orphanWarning(), "1 file here, no raw among them (.jpg)");
  s.orphanCount = 3;
  s.frameCount = 12;
  s.orphanExtensions = {"jpg", "tif"};
  EXPECT_EQ(s.orphanWarning(), "3 files with no raw (.jpg, .tif)");
}

}  // namespace
}  // namespace vantle::core
