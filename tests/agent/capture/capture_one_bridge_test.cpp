#include "agent/capture/capture_one_bridge.h"

#include <time.h>

#include <chrono>
#include <thread>

#include "agent/capture/capture_one_script.h"
#include "tests/agent/capture/capture_fixture.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using testing::CaptureTest;
using testing::eventually;

using CaptureOneBridgeTest = CaptureTest;

TEST_F(CaptureOneBridgeTest, WithoutTheApplicationNothingIsReadAndNoScriptIsSent) {
  EXPECT_FALSE(bridge->isRunning());
  EXPECT_EQ(bridge->read(), std::nullopt);
  const auto result = bridge->run(CaptureOneScript::jobStatus);
  EXPECT_EQ(result.result, std::nullopt);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->number, -600);
  EXPECT_EQ(result.error->message, "Capture One is not running.");
}

TEST_F(CaptureOneBridgeTest, ReadsTheSessionItsFoldersAndTheCamera) {
  serve({"--camera", "EOS R5", "--battery", "80%"});
  ASSERT_TRUE(bridge->isRunning());
  const auto reading = bridge->read();
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->documentName, "Spring_Lookbook.cosessiondb");
  EXPECT_FALSE(reading->isCatalog);
  EXPECT_EQ(bridge->posixPath(*reading->capturePath), (session / "Capture").string());
  EXPECT_EQ(bridge->posixPath(*reading->sessionRoot), session.string());
  EXPECT_EQ(reading->cameraConnected, true);
  EXPECT_EQ(reading->cameraBattery, "80%");
  EXPECT_FALSE(reading->permissionDenied);
}

TEST_F(CaptureOneBridgeTest, CatalogsCamerasWithoutBatteriesAndNoCamera) {
  serve({"--catalog"});
  auto reading = bridge->read();
  ASSERT_TRUE(reading);
  EXPECT_TRUE(reading->isCatalog);
  EXPECT_TRUE(reading->documentName);

  ctl({"document", "open", session.string()});
  ctl({"camera", "Z 9", "none"});
  reading = bridge->read();
  EXPECT_EQ(reading->cameraConnected, true);
  EXPECT_EQ(reading->cameraBattery, std::nullopt);

  ctl({"camera", "none"});
  reading = bridge->read();
  EXPECT_EQ(reading->cameraConnected, false);

  ctl({"document", "close"});
  reading = bridge->read();
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->documentName, std::nullopt);
  EXPECT_EQ(reading->cameraConnected, std::nullopt);
}

TEST_F(CaptureOneBridgeTest, ARefusalIsPermissionDenied) {
  serve({"--deny"});
  const auto reading = bridge->read();
  ASSERT_TRUE(reading);
  EXPECT_TRUE(reading->permissionDenied);
  EXPECT_EQ(reading->documentName, std::nullopt);
  EXPECT_EQ(reading->capturePath, std::nullopt);
}

TEST_F(CaptureOneBridgeTest, QuittingOpensTheQuietWindow) {
  serve();
  ASSERT_TRUE(bridge->isRunning());
  ctl({"quit"});
  ASSERT_TRUE(testing::ApplicationClient().waitForOwner(false, 10));
  standIn.reset();
  serve();  // back at once, within the five seconds
  EXPECT_FALSE(bridge->isRunning());
  const auto refused = bridge->run(CaptureOneScript::jobStatus);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->number, -600);
  clock.advance(5);
  EXPECT_TRUE(bridge->isRunning());
  EXPECT_TRUE(bridge->run(CaptureOneScript::jobStatus).result);
}

TEST_F(CaptureOneBridgeTest, ALostSessionBusCostsNothingAndIsFoundAgainOnTheNextRead) {
  serve();
  ASSERT_TRUE(bridge->read());
  // The session bus goes away under the connection the bridge holds.
  delete daemon;
  daemon = new testing::PrivateBus();
  ASSERT_TRUE(daemon->available()) << daemon->reason();
  standIn.reset();

  const auto cpu = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  };
  const double before = cpu();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // a window to measure in, nothing to wait for
  EXPECT_LT(cpu() - before, 0.3) << "something spins on the dead connection";

  // The next read reaches the application on the new bus.
  serve();
  clock.advance(CaptureOneBridge::quietSeconds);
  const auto reading = bridge->read();
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->documentName, "Spring_Lookbook.cosessiondb");
}

TEST_F(CaptureOneBridgeTest, ATextThatDoesNotCompileGivesNeitherResultNorError) {
  serve();
  const auto result = bridge->run("tell application \"Finder\" to quit");
  EXPECT_EQ(result.result, std::nullopt);
  EXPECT_FALSE(result.error);
}

TEST_F(CaptureOneBridgeTest, PathTextsBecomeCanonicalPosixPaths) {
  fs::create_directories(scratch / "Volumes");
  fs::create_directory_symlink("/", scratch / "Volumes" / "Macintosh HD");
  fs::create_directories(scratch / "Shoot" / "Capture");
  EXPECT_EQ(bridge->posixPath("Macintosh HD:Users:studio:Shoot:Capture:"), "/Users/studio/Shoot/Capture");
  EXPECT_EQ(bridge->posixPath("Unmounted:Users:studio::x:"), "/Users/studio/x");
  EXPECT_EQ(bridge->posixPath(" " + (scratch / "Shoot" / "Capture").string() + "/\n"),
            (scratch / "Shoot" / "Capture").string());
  EXPECT_EQ(bridge->posixPath((scratch / "Shoot" / "x" / ".." / "Capture").string()),
            (scratch / "Shoot" / "Capture").string());
  for (const char* nothing : {"", "  \n", "relative/path", "Volume:", "Volume::"}) {
    EXPECT_EQ(bridge->posixPath(nothing), std::nullopt) << nothing;
  }
}

}  // namespace
}  // namespace vantle::agent
