#include "core/planning/count_thresholds.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/planning/watch_reply.h"
#include "tests/support/instants.h"

namespace vantle::core {
namespace {

TEST(CountThresholds, LevelsAndJobLimits) {
  const CountThresholds t{100, 150};
  EXPECT_EQ(t.level(99), CountAlertLevel::normal);
  EXPECT_EQ(t.level(100), CountAlertLevel::warn);
  EXPECT_EQ(t.level(150), CountAlertLevel::danger);
  EXPECT_EQ((CountThresholds{100, 0}).level(500), CountAlertLevel::warn);
  EXPECT_EQ((CountThresholds{100, 50}).level(60), CountAlertLevel::danger);  // danger wins when set lower
  // A job's limits replace the defaults as a pair.
  EXPECT_EQ(CountThresholds::resolve(std::nullopt, std::nullopt, 100, 150), (CountThresholds{100, 150}));
  EXPECT_EQ(CountThresholds::resolve(80, std::nullopt, 100, 150), (CountThresholds{80, std::nullopt}));
}

TEST(CountThresholds, AnnouncesALevelOnceOnEnteringIt) {
  const CountThresholds t{100, 150};
  const std::optional<CountAlertLevel> none, warn = CountAlertLevel::warn, danger = CountAlertLevel::danger;
  const struct {
    int64_t from, to;
    std::optional<CountAlertLevel> announced;
  } moves[] = {{99, 100, warn}, {100, 101, none}, {140, 160, danger}, {160, 120, warn},
               {160, 50, none}, {0, 200, danger}, {160, 170, none},   {120, 90, none}};
  for (const auto& m : moves) EXPECT_EQ(t.crossing(m.from, m.to), m.announced) << m.from << " to " << m.to;
  EXPECT_EQ((CountThresholds{100, std::nullopt}).crossing(0, 500), warn);
  EXPECT_EQ((CountThresholds{std::nullopt, 150}).crossing(200, 100), none);
}

// The reply's JSON as the watch receives it, and a dictionary holding `json`.
Json replyJson(const WatchDictionary& d) {
  const Bytes& bytes = std::get<Bytes>(d.at("reply"));
  return Json::parse(bytes.begin(), bytes.end());
}
WatchDictionary withReply(std::string_view json) { return {{"reply", Bytes(json.begin(), json.end())}}; }

TEST(WatchCountReply, FromASnapshotRoundTripsWithDatesAsSecondsSince2001) {
  const VantleSnapshot snapshot{.at = testing::at(0.5),
                                .status = AgentStatus::folderUnreadable,
                                .shotName = "Look 04",
                                .frameCount = 112,
                                .isCameraConnected = false};
  const WatchCountReply reply = WatchCountReply::fromSnapshot(snapshot, {100, 150}, "Spring");
  EXPECT_EQ(replyJson(reply.encoded()).dump(),
            R"({"link":"live","shotName":"Look 04","frameCount":112,"status":"folderUnreadable",)"
            R"("isCameraConnected":false,"thresholds":{"warnAt":100,"dangerAt":150},)"
            R"("jobName":"Spring","at":762530709.5})");
  EXPECT_EQ(WatchCountReply::decode(reply.encoded()), reply);

  const WatchCountReply bare{WatchCountReply::Link::unpaired, {}, 0, {}, {}, {}, {}, testing::at(0)};
  EXPECT_EQ(replyJson(bare.encoded()).dump(), R"({"link":"unpaired","frameCount":0,"thresholds":{},"at":762530709.0})");
  EXPECT_EQ(WatchCountReply::decode(bare.encoded()), bare);
}

TEST(WatchCountReply, DecodingIsStrict) {
  EXPECT_TRUE(WatchCountReply::decode(withReply(R"({"link":"connecting","frameCount":3,"thresholds":{},"at":0})")));
  for (const char* json : {R"({"link":"live","frameCount":3,"thresholds":{}})",
                           R"({"link":"offline","frameCount":3,"thresholds":{},"at":0})",
                           R"({"link":"live","frameCount":3,"thresholds":{},"at":1e300})",
                           R"({"link":"live","frameCount":3,"thresholds":{"warnAt":"x"},"at":0})"}) {
    EXPECT_EQ(WatchCountReply::decode(withReply(json)), std::nullopt) << json;
  }
  EXPECT_EQ(WatchCountReply::decode({{"reply", std::string(R"({"link":"live"})")}}), std::nullopt);  // text, not bytes
}

}  // namespace
}  // namespace vantle::core
