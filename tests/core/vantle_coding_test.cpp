#include "core/vantle_coding.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <random>

#include "tests/support/instants.h"

namespace vantle::core {
namespace {

using VantleCoding::base64Decode;
using VantleCoding::base64Encode;
using VantleCoding::formatInstant;
using VantleCoding::parseInstant;

TEST(VantleCoding, InstantsAreWholeSecondsInUtc) {
  EXPECT_EQ(formatInstant(testing::at(0.999)), "2025-03-01T14:05:09Z");
  EXPECT_EQ(formatInstant(instantFromUnix(-0.5)), "1969-12-31T23:59:59Z");
  EXPECT_EQ(parseInstant("2024-02-29T00:00:00Z"), instantFromUnix(1709164800));
  // An offset is accepted.
  EXPECT_EQ(parseInstant("2025-03-01T09:35:09-04:30"), testing::at(0));
}

TEST(VantleCoding, AnythingElseIsNotAnInstant) {
  for (const char* text : {"", "2025-03-01T14:05:09.250Z", "2025-03-01 14:05:09Z", "2025-03-01T14:05:09",
                           "2025-02-29T00:00:00Z", "2025-03-01T24:00:00Z", "2025-03-01T14:05:60Z",
                           "2025-03-01T14:05:09+0100", "2025-03-01T14:05:09+01:00 ",
                           // Representable as text but not on the clock: must not overflow.
                           "9999-12-31T23:59:59Z", "0001-01-01T00:00:00Z"}) {
    EXPECT_EQ(parseInstant(text), std::nullopt) << text;
  }
}

TEST(VantleCoding, Base64) {
  EXPECT_EQ(base64Encode(Bytes{'f', 'o', 'o', 'b'}), "Zm9vYg==");
  EXPECT_EQ(base64Decode("AP8="), (Bytes{0x00, 0xFF}));
  for (const char* bad : {"AP8", "AP8=\n", "A===", "AP=8", "AP8*"}) {
    EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
  }
  std::mt19937 random(7);
  for (size_t size = 0; size < 70; ++size) {
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes) << size;
  }
}

TEST(VantleCoding, InvalidUtf8IsWrittenNotThrown) {
  Json value = Json::object();
  value["name"] = std::string("IMG_\xff.CR3");
  EXPECT_EQ(VantleCoding::dump(value), "{\"name\":\"IMG_\xEF\xBF\xBD.CR3\"}");
}

TEST(VantleCoding, InputNestedDeeperThanAnyRecordIsRefusedBeforeItIsBuilt) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(VantleCoding::parse(nested(VantleCoding::maximumNesting)));
  EXPECT_FALSE(VantleCoding::parse(nested(VantleCoding::maximumNesting + 1)));
  EXPECT_FALSE(VantleCoding::parse(std::string(20 * 1024 * 1024, '[')));  // a hostile peer's largest body
  // Brackets inside strings are text, and escaped quotes do not end a string.
  const std::string inString = "{\"name\":\"" + std::string(100, '[') + "\\\"" + std::string(100, '{') + "\"}";
  const auto parsed = VantleCoding::parse(inString);
  ASSERT_TRUE(parsed);
  EXPECT_EQ((*parsed)["name"].get<std::string>().size(), 201u);
}

}  // namespace
}  // namespace vantle::core
