#include <sys/stat.h>
#include <utime.h>

#include <fstream>

#include "agent/capture/capture_one_script_source.h"
#include "agent/capture/observed_folder_source.h"
#include "tests/agent/capture/capture_fixture.h"
#include "tests/agent/folders/fixtures/recorder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::AgentStatus;
using core::DocumentKind;
using testing::CaptureTest;
using testing::eventually;

// Every designation a source announced, readable from the test thread.
struct Announced : testing::Recorder<DesignationReading> {
  SessionSource::DesignationHandler handler() {
    return [this](const DesignationReading& r) { add(r); };
  }
  std::optional<std::string> lastPath() const {
    const auto all = values();
    return all.empty() ? std::nullopt : all.back().designatedPath;
  }
};

using CaptureOneScriptSourceTest = CaptureTest;

TEST_F(CaptureOneScriptSourceTest, MapsEachStateOfTheApplication) {
  auto source = std::make_shared<CaptureOneScriptSource>(*bridge);
  EXPECT_EQ(source->refresh().status, AgentStatus::captureOneNotRunning);

  serve({"--no-document"});
  EXPECT_EQ(source->refresh(), (DesignationReading{.status = AgentStatus::noDocument}));

  ctl({"document", "open", "catalog"});
  DesignationReading reading = source->refresh();
  EXPECT_EQ(reading.status, AgentStatus::catalogNotSupported);
  EXPECT_EQ(reading.documentKind, DocumentKind::catalog);
  EXPECT_EQ(reading.designatedPath, std::nullopt);

  ctl({"document", "open", session.string()});
  ctl({"camera", "Z 9", "none"});
  reading = source->refresh();
  EXPECT_EQ(reading.isCameraConnected, true);
  EXPECT_EQ(reading.cameraBattery, std::nullopt);
  ctl({"camera", "none"});
  EXPECT_EQ(source->refresh().isCameraConnected, false);

  ctl({"camera", "EOS R5", "64%"});
  reading = source->refresh();
  EXPECT_EQ(reading, (DesignationReading{.designatedPath = (session / "Capture").string(),
                                         .sessionName = "Spring_Lookbook",
                                         .sessionRoot = session.string(),
                                         .documentKind = DocumentKind::session,
                                         .status = AgentStatus::ok,
                                         .isCameraConnected = true,
                                         .cameraBattery = "64%"}));

  ctl({"deny", "on"});
  EXPECT_EQ(source->refresh(), (DesignationReading{.status = AgentStatus::permissionDenied}));
}

TEST_F(CaptureOneScriptSourceTest, OnlyAMovedDesignationIsAnnounced) {
  serve({"--camera", "EOS R5", "--battery", "80%"});
  auto source = std::make_shared<CaptureOneScriptSource>(*bridge);
  Announced announced;
  source->setOnDesignationChanged(announced.handler());
  source->refresh();
  EXPECT_EQ(announced.size(), 1u);

  ctl({"camera", "EOS R5", "79%"});
  source->refresh();
  EXPECT_EQ(source->currentReading().cameraBattery, "79%");
  EXPECT_EQ(announced.size(), 1u);  // a battery change alone is not a move

  fs::create_directories(session / "Selects");
  ctl({"capture-folder", (session / "Selects").string()});
  source->refresh();
  EXPECT_EQ(announced.size(), 2u);
  EXPECT_EQ(announced.lastPath(), (session / "Selects").string());
}

// ---- The observed folder --------------------------------------------------

class ObservedFolderTest : public ::testing::Test {
 protected:
  // A frame file dated `secondsAgo` in the past.
  void frame(const fs::path& file, double secondsAgo = 0) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "frame";
    const time_t when = time(nullptr) - static_cast<time_t>(secondsAgo);
    struct utimbuf times {when, when};
    utime(file.c_str(), &times);
  }

  std::optional<std::string> rescanned() {
    auto source = ObservedFolderSource::make(root);
    source->rescan();
    return source->currentReading().designatedPath;
  }

  testing::TempFolder scratch;
  const fs::path root = fs::canonical(scratch.folder("Client_Shoot"));
};

TEST_F(ObservedFolderTest, NamesComeFromTheRootOrItsParent) {
  EXPECT_EQ(ObservedFolderSource::make(root / "capture")->sessionRoot(), root.string());
  auto plain = ObservedFolderSource::make(root);
  EXPECT_EQ(plain->sessionName(), "Client_Shoot");
  EXPECT_EQ(plain->sessionRoot(), root.string());
  EXPECT_EQ(ObservedFolderSource::make("/capture")->sessionName(), "capture");

  const DesignationReading nothing = plain->currentReading();
  EXPECT_EQ(nothing.status, AgentStatus::folderUnreadable);
}

TEST_F(ObservedFolderTest, ARescanTakesCaptureElseTheNewestFrameFourLevelsDeepPastHousekeeping) {
  frame(root / "a" / "b" / "c" / "IMG_0001.CR3", 300);                      // depth 4: found
  frame(root / "a" / "b" / "c" / "d" / "IMG_0002.CR3", 1);                  // depth 5: too deep
  frame(root / "a" / "Thumbnails" / "IMG_0003.CR3", 1);                     // housekeeping
  frame(root / "Settings153" / "IMG_0005.CR3", 1);
  frame(root / "a" / "IMG_0006.cos", 1);                                    // not a frame
  EXPECT_EQ(rescanned(), (root / "a" / "b" / "c").string());

  frame(root / "Settings" / "IMG_0007.CR3", 100);  // an ordinary folder name
  EXPECT_EQ(rescanned(), (root / "Settings").string());
  frame(root / "Capture" / "IMG_0008.CR3", 600);  // the oldest frame, but in the capture folder
  EXPECT_EQ(rescanned(), (root / "Capture").string());
}

TEST_F(ObservedFolderTest, EventsMoveToTheLastFrameOfABatchAndALostTreeIsSearchedAgain) {
  frame(root / "Capture" / "IMG_0001.CR3", 60);
  auto source = ObservedFolderSource::make(root);
  Announced announced;
  source->setOnDesignationChanged(announced.handler());
  source->start();
  ASSERT_TRUE(eventually([&] { return announced.lastPath() == (root / "Capture").string(); }));

  frame(root / "Look 1" / "IMG_0001.CR3");
  ASSERT_TRUE(eventually([&] { return announced.lastPath() == (root / "Look 1").string(); }));

  // Not frames, or in housekeeping folders: nothing moves.
  frame(root / "Look 2" / "IMG_0001.xmp.cos");
  frame(root / "Look 2" / ".hidden.CR3");
  frame(root / "Look 2" / "Cache" / "IMG_0009.CR3");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(announced.lastPath(), (root / "Look 1").string());

  // Two folders within one coalesced batch: the later one wins.
  fs::create_directories(root / "Look 3");
  fs::create_directories(root / "Look 4");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  frame(root / "Look 3" / "IMG_0010.CR3");
  frame(root / "Look 4" / "IMG_0011.CR3");
  ASSERT_TRUE(eventually([&] { return announced.lastPath() == (root / "Look 4").string(); }));

  // The card is taken out, and comes back with the shoot gone on in another folder.
  fs::remove_all(root);
  frame(root / "Shoot 2" / "IMG_0100.CR3");
  EXPECT_TRUE(eventually([&] { return announced.lastPath() == (root / "Shoot 2").string(); }, 10));
}

}  // namespace
}  // namespace vantle::agent
