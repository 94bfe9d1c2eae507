// Frames that real cameras wrote, landed the way the Linux tethering tools
// write them, through the real agent: each counts once, designates its
// folder, and gets its pictures once the shutter pauses and when its shot
// closes.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/app/agent_fixture.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Kind = core::VantleMessage::Kind;

Bytes cameraFile(const std::string& name) { return readAll(fs::path(VANTLE_CAMERA_FILES) / name); }

// Written in 8 KiB pieces, as a tool copying from a camera does.
void writeInPieces(const fs::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  for (size_t at = 0; at < bytes.size(); at += 8192) {
    out.write(reinterpret_cast<const char*>(bytes.data() + at),
              static_cast<std::streamsize>(std::min<size_t>(8192, bytes.size() - at)));
    out.flush();
  }
}

// The width and height a JPEG's frame header gives; (0, 0) when it has none.
std::pair<int, int> jpegSize(const Bytes& jpeg) {
  for (size_t at = 2; at + 9 < jpeg.size();) {
    if (jpeg[at] != 0xFF) return {0, 0};
    const uint8_t marker = jpeg[at + 1];
    const size_t length = size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
    if (marker >= 0xC0 && marker <= 0xC2) {
      return {jpeg[at + 7] << 8 | jpeg[at + 8], jpeg[at + 5] << 8 | jpeg[at + 6]};
    }
    at += 2 + length;
  }
  return {0, 0};
}

class RealCamerasTest : public AgentTest {
 protected:
  // Waits until a shot is open in `look` with one frame and no orphan, and
  // until the newest frame's thumbnail, of a file of the capture `stem`, has come.
  void expectLook(Companion& companion, const RunningAgent& agent, const fs::path& look, const std::string& stem) {
    ASSERT_TRUE(companion.waitForSnapshot([&](const core::VantleSnapshot& s) {
      return s.shotOpenedAt && s.designatedPath == look.string() && s.frameCount == 1 && s.orphanCount == 0;
    })) << agent->transcript();
    const auto thumbnail = companion.waitFor(
        [&](const core::VantleMessage& m) {
          return m.t == Kind::frameThumbnail && m.imageFileName && m.imageFileName->starts_with(stem + ".") &&
                 m.imageData && !m.imageData->empty();
        },
        kShotSeconds);
    ASSERT_TRUE(thumbnail) << "no thumbnail of " << stem << "\n" << agent->transcript();
    EXPECT_EQ(jpegSize(*thumbnail->imageData).first, 512) << stem;
  }
};

TEST_F(RealCamerasTest, FramesLandedTheWayLinuxTetheringToolsWriteThemCountOnceAndGetTheirPictures) {
  const Bytes r6 = cameraFile("canon-r6-pruned.cr3"), lx7 = cameraFile("panasonic-lx7-trailing-bytes.jpg");
  ASSERT_FALSE(r6.empty() || lx7.empty());
  const fs::path root = home() / "Shoot";
  fs::create_directories(root);
  RunningAgent agent = startAgent({"--watch", root.string(), "--count-all"});
  auto companion = agent.companion();
  ASSERT_TRUE(companion);

  // gphoto2 --capture-tethered: a temporary name without an extension, the
  // camera's clock (hours off) as its time, then the final name.
  const fs::path gphoto2 = root / "gphoto2";
  fs::create_directories(gphoto2);
  writeInPieces(gphoto2 / "tmpfileQ7fXb2", r6);
  fs::last_write_time(gphoto2 / "tmpfileQ7fXb2", fs::file_time_type::clock::now() - std::chrono::hours(5));
  fs::rename(gphoto2 / "tmpfileQ7fXb2", gphoto2 / "IMG_0001.CR3");
  expectLook(*companion, agent, gphoto2, "IMG_0001");

  // Entangle: straight into the final names, the RAW and the camera's JPEG
  // of one exposure.
  const fs::path entangle = root / "entangle";
  fs::create_directories(entangle);
  writeInPieces(entangle / "capture000001.CR3", r6);
  writeInPieces(entangle / "capture000001.JPG", lx7);
  expectLook(*companion, agent, entangle, "capture000001");

  // darktable: the final file made and streamed into, then its sidecar.
  const fs::path darktable = root / "darktable";
  fs::create_directories(darktable);
  writeInPieces(darktable / "IMG_0002.CR3", r6);
  TempFolder::writeAt(darktable / "IMG_0002.CR3.xmp", {'<', 'x', '/', '>'});
  expectLook(*companion, agent, darktable, "IMG_0002");

  // A camera whose JPEGs go on after their end marker.
  const fs::path phone = root / "phone";
  fs::create_directories(phone);
  writeInPieces(phone / "P1000001.JPG", lx7);
  expectLook(*companion, agent, phone, "P1000001");

  // Each closed shot carries its frame's pictures: a 512-pixel thumbnail
  // and a 1200-pixel preview, upright.
  std::vector<core::WireSegment> segments;
  ASSERT_TRUE(companion->waitFor(
      [&](const core::VantleMessage& m) {
        if (m.t == Kind::segment) segments.push_back(*m.segment);
        return segments.size() == 3;
      },
      kShotSeconds))
      << agent->transcript();
  // (Entangle's capture has two files, either of which may give them.)
  for (const auto& segment : segments) {
    EXPECT_EQ(segment.framesAdded, 1) << segment.path;
    ASSERT_TRUE(segment.thumbnail && segment.preview) << segment.path;
    const bool canon = segment.lastFileName && segment.lastFileName->ends_with(".CR3");
    EXPECT_EQ(jpegSize(*segment.thumbnail), canon ? std::pair(512, 341) : std::pair(512, 384)) << segment.path;
    EXPECT_EQ(jpegSize(*segment.preview), canon ? std::pair(1200, 800) : std::pair(1200, 900)) << segment.path;
  }
  agent.quit();
}

}  // namespace
}  // namespace vantle::testing
