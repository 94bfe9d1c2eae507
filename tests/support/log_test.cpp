#include "support/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace vantle::support::log {
namespace {

TEST(Log, CaptureSeesLinesByCategoryFromAnyThread) {
  Capture capture;
  info("wire", "listening on port 39182");
  std::thread([] { error("client", "connection failed"); }).join();
  EXPECT_THAT(capture.messages("wire"), ::testing::ElementsAre("listening on port 39182"));
  EXPECT_THAT(capture.messages("client"), ::testing::ElementsAre("connection failed"));
  EXPECT_EQ(capture.lines().back().level, Level::error);
}

TEST(Log, CaptureEndsWithItsScope) {
  std::vector<Line> before;
  {
    Capture capture;
    info("wire", "one");
    before = capture.lines();
  }
  Capture later;
  EXPECT_EQ(before.size(), 1u);
  EXPECT_TRUE(later.lines().empty());
}

}  // namespace
}  // namespace vantle::support::log
