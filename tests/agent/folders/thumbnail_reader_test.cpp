#include "agent/folders/thumbnail_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "agent/folders/capture_cache.h"
#include "agent/folders/eip_package.h"
#include "tests/agent/folders/fixtures/dng_writer.h"
#include "tests/agent/folders/fixtures/images.h"
#include "tests/agent/folders/fixtures/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::decode;
using testing::TempFolder;

const ThumbnailReader reader;

// A DNG whose embedded preview and developed mosaic have different sizes,
// so the size of a rendition tells which one was used.
Bytes dng(int previewWidth, int previewHeight, uint16_t orientation = 1) {
  return testing::makeDng({.previewJpeg = testing::jpegImage(previewWidth, previewHeight),
                           .previewWidth = static_cast<uint32_t>(previewWidth),
                           .previewHeight = static_cast<uint32_t>(previewHeight),
                           .rawWidth = 600,
                           .rawHeight = 400,
                           .orientation = orientation});
}

std::pair<int, int> sizeOf(const std::optional<Bytes>& jpeg) {
  if (!jpeg) return {0, 0};
  const auto decoded = decode(*jpeg);
  if (!decoded) return {-1, -1};
  return {decoded->width, decoded->height};
}

Bytes truncated(Bytes bytes, double fraction) {
  bytes.resize(static_cast<size_t>(bytes.size() * fraction));
  return bytes;
}

TEST(ThumbnailEncoder, FitsTurnsUprightAndNeverEnlarges) {
  TempFolder folder;
  const auto file = folder.write("IMG_0001.JPG", testing::jpegImage(3000, 2000, 6));
  const auto thumbnail = ThumbnailReader::encode(ImageSource::file(file), 512, false);
  ASSERT_TRUE(thumbnail);
  const auto decoded = decode(*thumbnail);
  ASSERT_TRUE(decoded);
  // Orientation 6 turns the landscape upright: the red top-left corner of
  // the stored picture is shown at the top right, and no tag is left over.
  EXPECT_EQ(decoded->width, 341);
  EXPECT_EQ(decoded->height, 512);
  EXPECT_EQ(decoded->orientation, 1);
  EXPECT_TRUE(decoded->redAt(0.75, 0.25));
  EXPECT_FALSE(decoded->redAt(0.25, 0.25));
  EXPECT_FALSE(decoded->redAt(0.75, 0.75));

  const auto small = ThumbnailReader::encode(ImageSource::bytes(testing::jpegImage(300, 200), "jpg"), 512, false);
  EXPECT_EQ(sizeOf(small), std::make_pair(300, 200));
}

TEST(ThumbnailEncoder, QualityIsSeventyPercentUpTo512AndSeventyFiveAbove) {
  EXPECT_EQ(vipsQuality(jpegQualityFraction(512)), 70);
  EXPECT_EQ(vipsQuality(jpegQualityFraction(513)), 75);
  EXPECT_EQ(vipsQuality(jpegQualityFraction(1200)), 75);
  EXPECT_EQ(vipsQuality(0), 1);
  EXPECT_EQ(vipsQuality(1.5), 100);

  const auto source = ImageSource::bytes(testing::jpegImage(1600, 1200), "jpg");
  const auto thumbnail = ThumbnailReader::encode(source, 512, false);
  const auto preview = ThumbnailReader::encode(source, 1200, false);
  ASSERT_TRUE(thumbnail && preview);
  EXPECT_EQ(testing::firstQuantValue(*thumbnail), testing::expectedFirstQuantValue(70));
  EXPECT_EQ(testing::firstQuantValue(*preview), testing::expectedFirstQuantValue(75));
}

TEST(ThumbnailEncoder, ReadsPngAndTiffIncludingDeepAndTransparentOnes) {
  for (const auto& [name, bytes] : {std::pair{"deep.png", testing::pngImage(800, 600, true, true)},
                                    std::pair{"plain.png", testing::pngImage(800, 600, false, false)},
                                    std::pair{"scan.tif", testing::tiffImage(800, 600)}}) {
    const auto thumbnail = ThumbnailReader::encode(ImageSource::bytes(bytes, fs::path(name).extension().string().substr(1)), 512, false);
    ASSERT_TRUE(thumbnail) << name;
    const auto decoded = decode(*thumbnail);
    ASSERT_TRUE(decoded) << name;
    EXPECT_EQ(decoded->width, 512) << name;
    EXPECT_EQ(decoded->bands, 3) << name;
    // 16-bit samples are scaled to 8 bits, not clipped to white.
    EXPECT_TRUE(decoded->redAt(0.2, 0.2)) << name;
    EXPECT_FALSE(decoded->redAt(0.8, 0.8)) << name;
  }
}

TEST(ThumbnailEncoder, RawFilesUseTheirEmbeddedPreviewOnlyWhenAskedAndLargeEnough) {
  TempFolder folder;
  const auto raw = folder.write("IMG_0001.DNG", dng(1600, 1067, 6));
  // The embedded preview, fitted and turned by the RAW's orientation.
  const auto embedded = ThumbnailReader::encode(ImageSource::file(raw), 1200, true);
  EXPECT_EQ(sizeOf(embedded), std::make_pair(800, 1200));
  ASSERT_TRUE(embedded);
  EXPECT_TRUE(decode(*embedded)->redAt(0.75, 0.25));
  // Developed from the mosaic: 600 × 400, upright, not enlarged.
  EXPECT_EQ(sizeOf(ThumbnailReader::encode(ImageSource::file(raw), 1200, false)), std::make_pair(400, 600));

  // A preview under 0.6 × the size asked for is passed over.
  const auto smallPreview = folder.write("IMG_0002.DNG", dng(700, 466));
  EXPECT_EQ(sizeOf(ThumbnailReader::encode(ImageSource::file(smallPreview), 1200, true)), std::make_pair(600, 400));
  EXPECT_EQ(sizeOf(ThumbnailReader::encode(ImageSource::file(smallPreview), 512, true)), std::make_pair(512, 341));

  const auto noPreview = folder.write("IMG_0003.DNG", testing::makeDng({.rawWidth = 600, .rawHeight = 400}));
  EXPECT_EQ(sizeOf(ThumbnailReader::encode(ImageSource::file(noPreview), 512, true)), std::make_pair(512, 341));
}

TEST(ThumbnailEncoder, FilesStillBeingWrittenAndDamagedOnesGiveNothing) {
  TempFolder folder;
  const Bytes jpeg = testing::jpegImage(2000, 1500);
  const Bytes png = testing::pngImage(800, 600, false, false);
  for (const auto& [name, bytes] :
       {std::pair{"half.jpg", truncated(jpeg, 0.5)}, std::pair{"almost.jpg", truncated(jpeg, 0.98)},
        std::pair{"half.png", truncated(png, 0.5)}, std::pair{"empty.jpg", Bytes{}},
        std::pair{"noise.cr3", Bytes(5000, 0x5A)}}) {
    const auto file = folder.write(name, bytes);
    EXPECT_FALSE(ThumbnailReader::encode(ImageSource::file(file), 512, true)) << name;
    EXPECT_FALSE(ThumbnailReader::encode(ImageSource::file(file), 512, false)) << name;
  }
  EXPECT_FALSE(ThumbnailReader::encode(ImageSource::file((folder / "missing.jpg").string()), 512, false));
  EXPECT_FALSE(ThumbnailReader::encode(ImageSource::bytes(jpeg, "jpg"), 0, false));
}

TEST(ThumbnailEncoder, ARawStillBeingWrittenGivesOnlyWhatIsWhole) {
  TempFolder folder;
  const Bytes preview = testing::jpegImage(1600, 1067);
  const Bytes raw = testing::makeDng({.previewJpeg = preview, .previewWidth = 1600, .previewHeight = 1067,
                                      .rawWidth = 600, .rawHeight = 400});
  const size_t previewAt = std::search(raw.begin(), raw.end(), preview.begin(), preview.end()) - raw.begin();
  ASSERT_LT(previewAt, raw.size());

  // Cut inside the preview: nothing at all.
  const auto previewCut = folder.write("A.DNG", Bytes(raw.begin(), raw.begin() + previewAt + preview.size() / 2));
  EXPECT_FALSE(ThumbnailReader::encode(ImageSource::file(previewCut), 512, true));
  EXPECT_FALSE(ThumbnailReader::encode(ImageSource::file(previewCut), 512, false));

  // Cut inside the mosaic: the whole preview serves, the mosaic does not.
  const size_t mosaicAt = previewAt + preview.size() + 100;
  const auto mosaicCut = folder.write("B.DNG", Bytes(raw.begin(), raw.begin() + (mosaicAt + raw.size()) / 2));
  EXPECT_EQ(sizeOf(ThumbnailReader::encode(ImageSource::file(mosaicCut), 512, true)), std::make_pair(512, 341));
  EXPECT_FALSE(ThumbnailReader::encode(ImageSource::file(mosaicCut), 512, false));
}

TEST(CaptureCache, ACompleteJpegStreamStartsAndEndsWithItsMarkers) {
  using CaptureCache::isCompleteJpeg;
  EXPECT_FALSE(isCompleteJpeg({}));
  EXPECT_FALSE(isCompleteJpeg({0xFF, 0xD8}));
  EXPECT_FALSE(isCompleteJpeg({0xFF, 0xD8, 0xD9}));
  EXPECT_TRUE(isCompleteJpeg({0xFF, 0xD8, 0xFF, 0xD9}));
  EXPECT_FALSE(isCompleteJpeg({0xFF, 0xD8, 0x00, 0xFF}));
  EXPECT_FALSE(isCompleteJpeg({0xFF, 0xD9, 0xFF, 0xD8}));
}

class CacheFolder : public ::testing::Test {
 protected:
  void cot(const std::string& name, const Bytes& bytes) { folder.write("CaptureOne/Cache/Thumbnails/" + name, bytes); }
  std::string dir() const { return folder.str(); }
  TempFolder folder;
};

TEST_F(CacheFolder, TheLatestThumbnailIsTheWholeCacheThumbnailOfThatFrame) {
  const Bytes thumbnail = testing::jpegImage(320, 240);
  cot("IMG_0001.CR3.cot", thumbnail);
  cot("IMG_0001.CR3.cof", thumbnail);
  EXPECT_EQ(sizeOf(reader.latestThumbnail(dir(), "IMG_0001.CR3")), std::make_pair(320, 240));
  EXPECT_FALSE(reader.latestThumbnail(dir(), "IMG_0002.CR3"));
  EXPECT_FALSE(reader.latestThumbnail(dir(), "IMG_000"));  // the name must be followed by "."

  // Still being written, then complete at the next attempt.
  cot("IMG_0002.CR3.COT", truncated(thumbnail, 0.6));
  EXPECT_FALSE(reader.latestThumbnail(dir(), "IMG_0002.CR3"));
  cot("IMG_0002.CR3.COT", thumbnail);
  EXPECT_TRUE(reader.latestThumbnail(dir(), "IMG_0002.CR3"));
}

TEST_F(CacheFolder, TheNewestFrameComesFromTheCacheWhereThereIsOne) {
  folder.write("IMG_0001.JPG", testing::jpegImage(2000, 1500));
  folder.folder("CaptureOne/Cache/Thumbnails");
  // With a cache the feed waits for its thumbnail, as the capture
  // application renders it with the photographer's adjustments.
  EXPECT_FALSE(reader.newestFrameThumbnail(dir(), "IMG_0001.JPG"));
  cot("IMG_0001.JPG.cot", testing::jpegImage(320, 240));
  EXPECT_EQ(sizeOf(reader.newestFrameThumbnail(dir(), "IMG_0001.JPG")), std::make_pair(320, 240));
}

TEST(NewestFrameThumbnail, WithoutACacheTheWholeFrameFileIsUsed) {
  TempFolder folder;
  const Bytes jpeg = testing::jpegImage(2000, 1500);
  folder.write("IMG_0001.JPG", truncated(jpeg, 0.7));
  EXPECT_FALSE(reader.newestFrameThumbnail(folder.str(), "IMG_0001.JPG"));  // still being written
  folder.write("IMG_0001.JPG", jpeg);
  EXPECT_EQ(sizeOf(reader.newestFrameThumbnail(folder.str(), "IMG_0001.JPG")), std::make_pair(512, 384));

  // A RAW gives its embedded preview (the mosaic is only 600 × 400).
  folder.write("IMG_0002.DNG", dng(1600, 1067, 8));
  EXPECT_EQ(sizeOf(reader.newestFrameThumbnail(folder.str(), "IMG_0002.DNG")), std::make_pair(341, 512));

  folder.write("Sub/IMG_0003.JPG", jpeg);
  fs::create_symlink(folder / "IMG_0001.JPG", folder / "IMG_0004.JPG");
  for (const char* name : {"missing.JPG", "Sub/IMG_0003.JPG", "../IMG_0001.JPG", "Sub", "IMG_0004.JPG", ""}) {
    EXPECT_FALSE(reader.newestFrameThumbnail(folder.str(), name)) << name;
  }
}

TEST_F(CacheFolder, AThumbnailPrefersTheFramesOwnPictures) {
  folder.write("IMG_0001.JPG", testing::jpegImage(1000, 800));
  folder.write("IMG_0002.JPG", testing::jpegImage(1000, 700));
  folder.write("IMG_0003.JPG", testing::jpegImage(1000, 600));
  folder.write("IMG_0009.eip", Bytes{1, 2, 3});
  cot("IMG_0001.JPG.cot", testing::jpegImage(160, 120));
  cot("IMG_0002.JPG.cot", testing::jpegImage(160, 100));

  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), "IMG_0001.JPG")), std::make_pair(160, 120));  // its cache thumbnail
  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), "IMG_0003.JPG")), std::make_pair(512, 307));  // its own file
  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), std::nullopt)), std::make_pair(160, 100));    // the greatest cache name
  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), "IMG_0007.JPG")), std::make_pair(160, 100));

  fs::remove_all(folder / "CaptureOne");
  // Without a cache: the greatest frame file, packages left out.
  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), std::nullopt)), std::make_pair(512, 307));
  EXPECT_FALSE(reader.thumbnail((folder / "missing").string(), std::nullopt));
}

TEST(Preview, PackagesAreOpenedWhetherTheirEntriesAreStoredOrDeflated) {
  TempFolder folder;
  const Bytes raw = dng(1600, 1067, 6);
  testing::writeZip((folder / "IMG_0001.eip").string(), {{"CaptureOne/Settings/IMG_0001.cos", Bytes(300, 'x'), true},
                                                         {"IMG_0001.DNG", raw, false}});
  testing::writeZip((folder / "IMG_0002.eip").string(), {{"IMG_0002.DNG", raw, true}});
  testing::writeZip((folder / "IMG_0003.eip").string(), {{"IMG_0003.jpg", testing::jpegImage(2000, 1000), true}});
  folder.write("IMG_0004.eip", Bytes(22, 0));
  Bytes broken = testing::readAll(folder / "IMG_0002.eip");
  broken[broken.size() / 2] ^= 0xFF;  // inside the deflated data
  folder.write("IMG_0005.eip", broken);

  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0001.eip")), std::make_pair(800, 1200));
  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0002.eip")), std::make_pair(800, 1200));
  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0003.eip")), std::make_pair(1200, 600));
  EXPECT_FALSE(reader.preview(folder.str(), "IMG_0004.eip"));
  EXPECT_FALSE(reader.preview(folder.str(), "IMG_0005.eip"));

  const auto inside = EipPackage::image((folder / "IMG_0002.eip").string());
  ASSERT_TRUE(inside);
  EXPECT_EQ(inside->data, raw);
  EXPECT_EQ(inside->typeHint, "dng");
}

TEST(Preview, TakesTheNamedFrameElseTheGreatestAndDevelopsRawFiles) {
  TempFolder folder;
  EXPECT_FALSE(reader.preview(folder.str(), std::nullopt));
  folder.write("IMG_0001.JPG", testing::jpegImage(3000, 2000));
  folder.write("IMG_0002.DNG", dng(1600, 1067));
  folder.write("IMG_0002.xmp", "<x/>");
  folder.write(".IMG_0009.JPG", testing::jpegImage(3000, 2000));
  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0001.JPG")), std::make_pair(1200, 800));
  // The greatest name is the sidecar, which is no picture.
  EXPECT_FALSE(reader.preview(folder.str(), std::nullopt));
  fs::remove(folder / "IMG_0002.xmp");
  // A RAW file outside a package is developed, not previewed.
  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0007.JPG")), std::make_pair(600, 400));
}

}  // namespace
}  // namespace vantle::agent
