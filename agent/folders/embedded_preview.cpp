#include "agent/folders/embedded_preview.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>

#include "agent/folders/jpeg_stream.h"

namespace vantle::agent::EmbeddedPreview {
namespace {

// Once for the process: ISO media files (CR3) are read only when enabled,
// and the library's warnings about odd files would only flood standard error.
void ready() {
  static const bool once = [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    Exiv2::enableBMFF(true);
    return true;
  }();
  (void)once;
}

std::optional<std::string> exifText(const Exiv2::ExifData& exif, const char* key) {
  const auto found = exif.findKey(Exiv2::ExifKey(key));
  if (found == exif.end()) return std::nullopt;
  std::string text = found->toString();
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace

Found read(const ImageSource& source, int atLeast) try {
  ready();
  Exiv2::Image::AutoPtr image = source.path.empty()
                                    ? Exiv2::ImageFactory::open(source.data.data(), static_cast<long>(source.data.size()))
                                    : Exiv2::ImageFactory::open(source.path);
  if (!image.get()) return {};
  image->readMetadata();
  Found found;
  found.recognised = true;
  const Exiv2::ExifData& exif = image->exifData();
  found.model = exifText(exif, "Exif.Image.Model");
  if (const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation")); orientation != exif.end()) {
    const long value = orientation->toLong();
    if (value >= 1 && value <= 8) found.orientation = static_cast<int>(value);
  }

  const Exiv2::PreviewManager manager(*image);
  Exiv2::PreviewPropertiesList previews = manager.getPreviewProperties();  // smallest first
  std::erase_if(previews, [](const Exiv2::PreviewProperties& p) { return p.mimeType_ != "image/jpeg"; });
  if (previews.empty()) return found;
  const auto covers = [atLeast](const Exiv2::PreviewProperties& p) {
    return static_cast<int>(std::max(p.width_, p.height_)) >= atLeast;
  };
  const auto chosen = std::find_if(previews.begin(), previews.end(), covers);
  const Exiv2::PreviewProperties& properties = chosen != previews.end() ? *chosen : previews.back();
  const Exiv2::PreviewImage preview = manager.getPreviewImage(properties);
  core::Bytes jpeg(preview.pData(), preview.pData() + preview.size());
  if (!JpegStream::isWhole(jpeg)) return found;
  found.jpeg = std::move(jpeg);
  found.width = static_cast<int>(properties.width_);
  found.height = static_cast<int>(properties.height_);
  return found;
} catch (...) {
  return {};
}

}  // namespace vantle::agent::EmbeddedPreview
