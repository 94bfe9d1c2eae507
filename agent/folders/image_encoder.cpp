#include "agent/folders/image_encoder.h"

#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "agent/folders/jpeg_stream.h"
#include "agent/folders/raw_decoder.h"
#include "support/log.h"

namespace vantle::agent {
namespace {

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Image = std::unique_ptr<VipsImage, Unref>;
using Source = std::unique_ptr<VipsSource, Unref>;

void ignoreMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// Started once for the whole process, by whichever thread comes first.
bool vipsReady() {
  static const bool ready = [] {
    if (VIPS_INIT("orvane-vantle") != 0) return false;
    // A frame rewritten under the same name must be decoded again, never
    // served from the operation cache.
    vips_cache_set_max(0);
    // Damaged and half-written files are expected here; their warnings
    // would only flood standard error.
    g_log_set_handler("VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
                      ignoreMessage, nullptr);
    return true;
  }();
  return ready;
}

int longerSide(const Image& image) {
  return std::max(vips_image_get_width(image.get()), vips_image_get_height(image.get()));
}

// Shrinks (never enlarges) to fit a square of `maxPixelSize`; shrink-on-load
// where the format allows; fails on truncated data.
Image fitted(VipsSource* source, int maxPixelSize, bool applyOrientation) {
  VipsImage* out = nullptr;
  // fail_on goes through the loader's options: the thumbnail's own
  // parameter of that name does not reach the loader of a source.
  if (vips_thumbnail_source(source, &out, maxPixelSize, "height", maxPixelSize, "size", VIPS_SIZE_DOWN,
                            "option_string", "fail_on=truncated", "no_rotate", !applyOrientation, nullptr) != 0) {
    return {};
  }
  return Image(out);
}

// Whether a JPEG is whole, from its own structure: libvips notices a cut
// only when it happens to read past it, and a file missing just its last
// rows would give a picture with a grey band. Anything else passes.
bool wholeIfJpeg(const ImageSource& source) {
  if (source.path.empty()) return !JpegStream::startsLikeJpeg(source.data) || JpegStream::isWhole(source.data);
  return JpegStream::fileIsWholeIfJpeg(source.path);
}

Image fittedSource(const ImageSource& source, int maxPixelSize) {
  if (!wholeIfJpeg(source)) return {};
  Source in(source.path.empty() ? vips_source_new_from_memory(source.data.data(), source.data.size())
                                : vips_source_new_from_file(source.path.c_str()));
  if (!in) return {};
  return fitted(in.get(), maxPixelSize, true);
}

Image rotated(Image image, int orientation) {
  const VipsAngle angle = orientation == 3   ? VIPS_ANGLE_D180
                          : orientation == 6 ? VIPS_ANGLE_D90
                          : orientation == 8 ? VIPS_ANGLE_D270
                                             : VIPS_ANGLE_D0;
  if (!image || angle == VIPS_ANGLE_D0) return image;
  // The thumbnail streams its rows in order; turning needs them all at once.
  const Image whole(vips_image_copy_memory(image.get()));
  VipsImage* out = nullptr;
  if (!whole || vips_rot(whole.get(), &out, angle, nullptr) != 0) return {};
  return Image(out);
}

// `picture` must outlive the returned image: a JPEG is decoded lazily from it.
Image fittedPicture(const RawDecoder::Picture& picture, int maxPixelSize) {
  Image image;
  if (picture.isJpeg) {
    Source in(vips_source_new_from_memory(picture.data.data(), picture.data.size()));
    if (!in) return {};
    // The RAW's orientation applies, not whatever the preview says itself.
    image = fitted(in.get(), maxPixelSize, false);
  } else {
    const VipsBandFormat format = picture.bitsPerSample == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR;
    Image pixels(vips_image_new_from_memory_copy(picture.data.data(), picture.data.size(), picture.width,
                                                 picture.height, picture.bands, format));
    if (!pixels) return {};
    VipsImage* out = nullptr;
    if (vips_thumbnail_image(pixels.get(), &out, maxPixelSize, "height", maxPixelSize, "size", VIPS_SIZE_DOWN,
                             nullptr) != 0) {
      return {};
    }
    image = Image(out);
  }
  return rotated(std::move(image), picture.orientation);
}

// 8-bit sRGB (or grey) without alpha: what a JPEG holds.
Image displayable(Image image) {
  const VipsInterpretation found = vips_image_guess_interpretation(image.get());
  const bool grey = found == VIPS_INTERPRETATION_B_W || found == VIPS_INTERPRETATION_GREY16;
  const VipsInterpretation wanted = grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
  VipsImage* out = nullptr;
  if (found != wanted) {
    if (vips_colourspace(image.get(), &out, wanted, nullptr) != 0) return {};
    image = Image(out);
  }
  if (vips_image_hasalpha(image.get())) {
    VipsArrayDouble* white = vips_array_double_newv(1, 255.0);
    const int failed = vips_flatten(image.get(), &out, "background", white, nullptr);
    vips_area_unref(VIPS_AREA(white));
    if (failed) return {};
    image = Image(out);
  }
  if (vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR) {
    if (vips_cast_uchar(image.get(), &out, nullptr) != 0) return {};
    image = Image(out);
  }
  return image;
}

std::optional<core::Bytes> savedJpeg(Image image, int quality) {
  image = displayable(std::move(image));
  if (!image) return std::nullopt;
  void* buffer = nullptr;
  size_t length = 0;
  if (vips_jpegsave_buffer(image.get(), &buffer, &length, "Q", quality, "strip", TRUE, nullptr) != 0) {
    return std::nullopt;
  }
  core::Bytes jpeg(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  g_free(buffer);
  return jpeg;
}

// Says once per camera model that its RAW files give no picture at all (no
// embedded preview, and a format LibRaw does not know), so that a user
// whose frames have no thumbnails can tell why.
void noteNoPicture(const ImageSource& source, const std::optional<std::string>& model) {
  static std::mutex mutex;
  static std::set<std::string> noted;
  const std::string camera = model.value_or("unknown camera (" + source.typeHint + ")");
  {
    std::lock_guard lock(mutex);
    if (!noted.insert(camera).second) return;
  }
  support::log::error("folders", "no picture could be read from a RAW file of the " + camera +
                                     (source.path.empty() ? "" : " (" + source.path + ")") +
                                     ": neither an embedded preview nor the raw data; unless the file was still "
                                     "being written, its frames get no thumbnails");
}

std::optional<core::Bytes> encode(const ImageSource& source, int maxPixelSize, bool preferEmbedded) {
  const int quality = vipsQuality(jpegQualityFraction(maxPixelSize));
  if (!source.isRaw()) {
    Image image = fittedSource(source, maxPixelSize);
    if (!image) return std::nullopt;
    return savedJpeg(std::move(image), quality);
  }
  std::optional<RawDecoder::Outcome> embedded;
  const auto fromEmbedded = [&](double smallestShare) -> std::optional<core::Bytes> {
    if (!embedded) embedded = RawDecoder::embeddedPreview(source, maxPixelSize);
    if (!embedded->picture) return std::nullopt;
    Image image = fittedPicture(*embedded->picture, maxPixelSize);
    if (!image || longerSide(image) < smallestShare * maxPixelSize) return std::nullopt;
    return savedJpeg(std::move(image), quality);
  };
  if (preferEmbedded) {
    if (auto jpeg = fromEmbedded(0.6)) return jpeg;
  }
  const auto developed = RawDecoder::develop(source, maxPixelSize);
  if (developed.picture) {
    if (Image image = fittedPicture(*developed.picture, maxPixelSize)) return savedJpeg(std::move(image), quality);
  }
  // A RAW that LibRaw knows but could not decode (incomplete, damaged) has
  // no other reading.
  if (developed.recognised) return std::nullopt;
  // One it does not know (a body newer than the library): the pictures the
  // camera embedded are all there is, whatever their size. Failing those, it
  // may still be an image libvips reads, a misnamed JPEG say.
  if (auto jpeg = fromEmbedded(0)) return jpeg;
  if (Image image = fittedSource(source, maxPixelSize)) return savedJpeg(std::move(image), quality);
  noteNoPicture(source, embedded && embedded->model ? embedded->model : developed.model);
  return std::nullopt;
}

}  // namespace

double jpegQualityFraction(int maxPixelSize) { return maxPixelSize > 512 ? 0.75 : 0.7; }

int vipsQuality(double fraction) { return std::clamp(static_cast<int>(std::lround(fraction * 100)), 1, 100); }

std::optional<core::Bytes> encodeJpeg(const ImageSource& source, int maxPixelSize, bool preferEmbedded) try {
  if (maxPixelSize <= 0 || !vipsReady()) return std::nullopt;
  auto jpeg = encode(source, maxPixelSize, preferEmbedded);
  if (!jpeg) vips_error_clear();
  return jpeg;
} catch (...) {
  return std::nullopt;
}

}  // namespace vantle::agent
