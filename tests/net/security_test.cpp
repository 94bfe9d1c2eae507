#include "net/security.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace vantle::net {
namespace {

TEST(VantleSecurity, KeyIsTheHashOfTheCodesText) {
  // SHA-256("000042"), leading zeros included; not of the number 42.
  const auto key = VantleSecurity::preSharedKey("000042");
  EXPECT_EQ(key[0], 0x9e);
  EXPECT_EQ(key[31], 0xdf);
  EXPECT_NE(key, VantleSecurity::preSharedKey("42"));
}

TEST(VantleSecurity, PairingCodesAreSixDigits) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string code = VantleSecurity::pairingCode();
    ASSERT_TRUE(std::regex_match(code, std::regex("[0-9]{6}"))) << code;
    seen.insert(code);
  }
  // 2,000 draws from a million codes repeat about twice on average; a
  // generator with a fraction of the entropy would repeat far more.
  EXPECT_GT(seen.size(), 1975u);
}

}  // namespace
}  // namespace vantle::net
