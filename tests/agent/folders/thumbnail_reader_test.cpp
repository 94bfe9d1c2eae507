#include "agent/folders/thumbnail_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "agent/folders/jpeg_stream.h"
#include "tests/agent/folders/fixtures/dng_writer.h"
#include "tests/agent/folders/fixtures/images.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::decode;
using testing::jpegImage;
using testing::TempFolder;
using Size = std::pair<int, int>;

const ThumbnailReader reader;

// A DNG whose embedded preview and 600 × 400 mosaic differ in size, so the
// size of a rendition tells which of the two was used.
Bytes dng(int previewWidth, int previewHeight, uint16_t orientation = 1) {
  return testing::makeDng({.previewJpeg = jpegImage(previewWidth, previewHeight),
                           .previewWidth = static_cast<uint32_t>(previewWidth),
                           .previewHeight = static_cast<uint32_t>(previewHeight),
                           .rawWidth = 600,
                           .rawHeight = 400,
                           .orientation = orientation});
}

std::optional<testing::Decoded> decoded(const std::optional<Bytes>& jpeg) {
  return jpeg ? decode(*jpeg) : std::nullopt;
}

// The size of a JPEG; (0, 0) for none, (-1, -1) for one that does not decode.
Size sizeOf(const std::optional<Bytes>& jpeg) {
  if (!jpeg) return {0, 0};
  const auto picture = decode(*jpeg);
  return picture ? Size{picture->width, picture->height} : Size{-1, -1};
}

Bytes cut(Bytes bytes, size_t size) {
  bytes.resize(std::min(size, bytes.size()));
  return bytes;
}

std::optional<Bytes> encodeFile(const fs::path& file, int size, bool preferEmbedded) {
  return ThumbnailReader::encode(ImageSource::file(file), size, preferEmbedded);
}

TEST(ThumbnailEncoder, FitsTurnsUprightAndNeverEnlargesWhateverTheFormat) {
  TempFolder folder;
  const auto file = folder.write("IMG_0001.JPG", jpegImage(3000, 2000, 6));
  const auto turned = decoded(encodeFile(file, 512, false));
  ASSERT_TRUE(turned);
  // Orientation 6 turns the landscape upright: the red top-left corner of
  // the stored picture shows at the top right, and no tag is left over.
  EXPECT_EQ(Size(turned->width, turned->height), Size(341, 512));
  EXPECT_EQ(turned->orientation, 1);
  EXPECT_TRUE(turned->redAt(0.75, 0.25));
  EXPECT_FALSE(turned->redAt(0.25, 0.25));

  EXPECT_EQ(sizeOf(ThumbnailReader::encode(ImageSource::bytes(jpegImage(300, 200), "jpg"), 512, false)),
            Size(300, 200));

  // A deep, transparent PNG: 16-bit samples are scaled to 8 bits, not
  // clipped to white, and the alpha channel goes.
  const auto png = ImageSource::bytes(testing::pngImage(800, 600, true, true), "png");
  const auto deep = decoded(ThumbnailReader::encode(png, 512, false));
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep->width, 512);
  EXPECT_EQ(deep->bands, 3);
  EXPECT_TRUE(deep->redAt(0.2, 0.2));
  EXPECT_FALSE(deep->redAt(0.8, 0.8));
}

TEST(ThumbnailEncoder, RawFilesUseTheirEmbeddedPreviewOnlyWhenAskedAndLargeEnough) {
  TempFolder folder;
  const auto raw = folder.write("IMG_0001.DNG", dng(1600, 1067, 6));
  const auto embedded = decoded(encodeFile(raw, 1200, true));
  ASSERT_TRUE(embedded);
  EXPECT_EQ(Size(embedded->width, embedded->height), Size(800, 1200));  // turned upright
  EXPECT_TRUE(embedded->redAt(0.75, 0.25));
  EXPECT_EQ(sizeOf(encodeFile(raw, 1200, false)), Size(400, 600));  // developed, never enlarged

  // A preview under 0.6 × the size asked for is passed over; so is none.
  const auto small = folder.write("IMG_0002.DNG", dng(700, 466));
  EXPECT_EQ(sizeOf(encodeFile(small, 1200, true)), Size(600, 400));
  const auto none = folder.write("IMG_0003.DNG", testing::makeDng({.rawWidth = 600, .rawHeight = 400}));
  EXPECT_EQ(sizeOf(encodeFile(none, 512, true)), Size(512, 341));
}

TEST(ThumbnailEncoder, FilesStillBeingWrittenGiveOnlyWhatIsWhole) {
  TempFolder folder;
  const Bytes jpeg = jpegImage(2000, 1500);
  const Bytes png = testing::pngImage(800, 600, false, false);
  for (const auto& [name, bytes] :
       {std::pair{"almost.jpg", cut(jpeg, jpeg.size() - 40)}, std::pair{"half.png", cut(png, png.size() / 2)},
        std::pair{"empty.jpg", Bytes{}}, std::pair{"noise.cr3", Bytes(5000, 0x5A)}}) {
    const auto file = folder.write(name, bytes);
    EXPECT_FALSE(encodeFile(file, 512, true)) << name;
    EXPECT_FALSE(encodeFile(file, 512, false)) << name;
  }
  EXPECT_FALSE(encodeFile(folder / "missing.jpg", 512, false));

  // A RAW cut inside its preview gives nothing; cut inside its mosaic, the
  // whole preview still serves but the mosaic does not.
  const Bytes preview = jpegImage(1600, 1067);
  const Bytes raw = testing::makeDng({.previewJpeg = preview, .previewWidth = 1600, .previewHeight = 1067,
                                      .rawWidth = 600, .rawHeight = 400});
  const size_t previewAt = std::search(raw.begin(), raw.end(), preview.begin(), preview.end()) - raw.begin();
  const auto previewCut = folder.write("A.DNG", cut(raw, previewAt + preview.size() / 2));
  EXPECT_FALSE(encodeFile(previewCut, 512, true));
  EXPECT_FALSE(encodeFile(previewCut, 512, false));
  const auto mosaicCut = folder.write("B.DNG", cut(raw, (previewAt + preview.size() + raw.size()) / 2));
  EXPECT_EQ(sizeOf(encodeFile(mosaicCut, 512, true)), Size(512, 341));
  EXPECT_FALSE(encodeFile(mosaicCut, 512, false));
}

Bytes cameraFile(const std::string& name) {
  return testing::readAll(fs::path(VANTLE_CAMERA_FILES) / name);
}

// A Panasonic JPEG that goes on for 426 bytes after its end-of-image
// marker, and a Canon EOS R6 CR3 that Debian's LibRaw does not know.
TEST(ThumbnailEncoder, RealCameraFilesGivePicturesOfTheRightSizeOnceWhole) {
  TempFolder folder;
  const Bytes lx7 = cameraFile("panasonic-lx7-trailing-bytes.jpg");
  ASSERT_EQ(lx7.size(), 4148224u);
  ASSERT_NE(lx7[lx7.size() - 1], 0xD9);  // the file does not end with an end marker
  // The primary picture ends at its own marker; a second one (a multi-picture
  // preview) and the maker's trailing bytes follow it.
  const std::optional<size_t> primary = JpegStream::wholeLength(lx7);
  ASSERT_TRUE(primary);
  EXPECT_LT(*primary, lx7.size() - 426);
  EXPECT_EQ(lx7[*primary - 2], 0xFF);
  EXPECT_EQ(lx7[*primary - 1], 0xD9);
  const auto jpeg = folder.write("P1000001.JPG", lx7);
  EXPECT_EQ(sizeOf(encodeFile(jpeg, 512, true)), Size(512, 384));
  EXPECT_EQ(sizeOf(encodeFile(jpeg, 1200, false)), Size(1200, 900));
  // Still being written: cut anywhere before its end, even right after the
  // end marker of the thumbnail its EXIF segment carries.
  const uint8_t endOfImage[] = {0xFF, 0xD9};
  const size_t exifThumbnailEnd =
      std::search(lx7.begin(), lx7.end(), std::begin(endOfImage), std::end(endOfImage)) - lx7.begin() + 2;
  ASSERT_LT(exifThumbnailEnd, 100'000u);
  for (const size_t at : {exifThumbnailEnd, *primary / 2, *primary - 1}) {
    EXPECT_FALSE(JpegStream::isWhole(cut(lx7, at))) << at;
    EXPECT_FALSE(encodeFile(folder.write("cut.JPG", cut(lx7, at)), 512, true)) << at;
  }

  const Bytes r6 = cameraFile("canon-r6-pruned.cr3");
  ASSERT_FALSE(r6.empty());
  const auto raw = folder.write("IMG_0001.CR3", r6);
  // From its 1620 x 1080 preview, the smallest that covers both sizes.
  EXPECT_EQ(sizeOf(encodeFile(raw, 512, true)), Size(512, 341));
  EXPECT_EQ(sizeOf(encodeFile(raw, 1200, true)), Size(1200, 800));
  // Still being written, it gives nothing rather than a smaller picture.
  for (size_t eighths = 1; eighths < 8; ++eighths) {
    const auto partial = folder.write("IMG_0002.CR3", cut(r6, r6.size() * eighths / 8));
    EXPECT_FALSE(encodeFile(partial, 512, true)) << eighths << "/8";
    EXPECT_FALSE(encodeFile(partial, 1200, false)) << eighths << "/8";
  }
}

class CacheFolder : public ::testing::Test {
 protected:
  void cot(const std::string& name, const Bytes& bytes) { folder.write("CaptureOne/Cache/Thumbnails/" + name, bytes); }
  std::string dir() const { return folder.str(); }
  TempFolder folder;
};

TEST_F(CacheFolder, TheNewestFrameIsTheWholeFrameFileElseItsCacheThumbnail) {
  const Bytes jpeg = jpegImage(2000, 1500);
  folder.write("IMG_0001.JPG", jpeg);
  EXPECT_EQ(sizeOf(reader.newestFrameThumbnail(dir(), "IMG_0001.JPG")), Size(512, 384));
  // A RAW gives its embedded preview (its mosaic is only 600 × 400).
  folder.write("IMG_0002.DNG", dng(1600, 1067, 8));
  EXPECT_EQ(sizeOf(reader.newestFrameThumbnail(dir(), "IMG_0002.DNG")), Size(341, 512));

  folder.write("Sub/IMG_0003.JPG", jpeg);
  fs::create_symlink(folder / "IMG_0001.JPG", folder / "IMG_0004.JPG");
  for (const char* name : {"missing.JPG", "Sub/IMG_0003.JPG", "../IMG_0001.JPG", "Sub", "IMG_0004.JPG", ""}) {
    EXPECT_FALSE(reader.newestFrameThumbnail(dir(), name)) << name;
  }

  // With a cache the feed waits for its whole thumbnail (the latest
  // thumbnail), which the capture application renders with the
  // photographer's adjustments.
  folder.folder("CaptureOne/Cache/Thumbnails");
  EXPECT_FALSE(reader.newestFrameThumbnail(dir(), "IMG_0001.JPG"));
  const Bytes thumbnail = jpegImage(320, 240);
  cot("IMG_0001.JPG.COT", cut(thumbnail, thumbnail.size() / 2));
  EXPECT_FALSE(reader.newestFrameThumbnail(dir(), "IMG_0001.JPG"));
  cot("IMG_0001.JPG.COT", thumbnail);
  EXPECT_EQ(sizeOf(reader.newestFrameThumbnail(dir(), "IMG_0001.JPG")), Size(320, 240));
  EXPECT_FALSE(reader.latestThumbnail(dir(), "IMG_000"));  // the name must be followed by "."
}

TEST_F(CacheFolder, AThumbnailPrefersTheFramesOwnPictures) {
  folder.write("IMG_0001.JPG", jpegImage(1000, 800));
  folder.write("IMG_0002.JPG", jpegImage(1000, 700));
  folder.write("IMG_0003.JPG", jpegImage(1000, 600));
  folder.write("IMG_0009.eip", Bytes{1, 2, 3});
  cot("IMG_0001.JPG.cot", jpegImage(160, 120));
  cot("IMG_0002.JPG.cot", jpegImage(160, 100));

  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), "IMG_0001.JPG")), Size(160, 120));  // its cache thumbnail
  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), "IMG_0003.JPG")), Size(512, 307));  // its own file
  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), "IMG_0007.JPG")), Size(160, 100));  // the greatest cache name

  fs::remove_all(folder / "CaptureOne");  // then the greatest frame file, packages left out
  EXPECT_EQ(sizeOf(reader.thumbnail(dir(), std::nullopt)), Size(512, 307));
  EXPECT_FALSE(reader.thumbnail((folder / "missing").string(), std::nullopt));
}

TEST(Preview, PackagesAreOpenedWhetherTheirEntriesAreStoredOrDeflated) {
  TempFolder folder;
  const Bytes raw = dng(1600, 1067, 6);
  testing::writeZip((folder / "IMG_0001.eip").string(),
                    {{"CaptureOne/Settings/IMG_0001.cos", Bytes(300, 'x'), true}, {"IMG_0001.DNG", raw, false}});
  testing::writeZip((folder / "IMG_0002.eip").string(), {{"IMG_0002.DNG", raw, true}});
  Bytes damaged = testing::readAll(folder / "IMG_0002.eip");
  damaged[damaged.size() / 2] ^= 0xFF;  // inside the deflated data
  folder.write("IMG_0003.eip", damaged);

  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0001.eip")), Size(800, 1200));
  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0002.eip")), Size(800, 1200));
  EXPECT_FALSE(reader.preview(folder.str(), "IMG_0003.eip"));
}

TEST(Preview, TakesTheNamedFrameElseTheGreatestAndDevelopsRawFiles) {
  TempFolder folder;
  EXPECT_FALSE(reader.preview(folder.str(), std::nullopt));
  folder.write("IMG_0001.JPG", jpegImage(3000, 2000));
  folder.write("IMG_0002.DNG", dng(1600, 1067));
  folder.write("IMG_0002.xmp", "<x/>");
  folder.write(".IMG_0009.JPG", jpegImage(3000, 2000));
  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0001.JPG")), Size(1200, 800));
  EXPECT_FALSE(reader.preview(folder.str(), std::nullopt));  // the greatest name is the sidecar
  fs::remove(folder / "IMG_0002.xmp");
  // A RAW outside a package is developed, not previewed.
  EXPECT_EQ(sizeOf(reader.preview(folder.str(), "IMG_0007.JPG")), Size(600, 400));
}

}  // namespace
}  // namespace vantle::agent
