#include "tools/capture_sim/studio_files.h"

#include <fcntl.h>
#include <unistd.h>
#include <vips/vips8>

#include <cerrno>
#include <string>

namespace vantle::tools::StudioFiles {

namespace {

std::optional<Bytes> jpeg(const vips::VImage& image, int quality) {
  void* buffer = nullptr;
  size_t size = 0;
  try {
    image.write_to_buffer((".jpg[Q=" + std::to_string(quality) + "]").c_str(), &buffer, &size);
  } catch (const vips::VError&) {
    return std::nullopt;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  Bytes out(bytes, bytes + size);
  g_free(buffer);
  return out;
}

}  // namespace

Bytes framePicture(int number) {
  constexpr int width = 640, height = 427;
  // A diagonal gradient whose blue channel and slope change with the number.
  const vips::VImage xy = vips::VImage::xyz(width, height);
  const double tint = (number * 37) % 256;
  const vips::VImage red = xy[0] * (255.0 / width);
  const vips::VImage green = xy[1] * (255.0 / height);
  const vips::VImage blue = (xy[0] + xy[1]) * (number % 5 + 1) * 0.1 + tint;
  const vips::VImage picture = red.bandjoin(green).bandjoin(blue % 256).cast(VIPS_FORMAT_UCHAR);
  return jpeg(picture, 85).value_or(Bytes{});
}

std::optional<Bytes> cacheThumbnail(const Bytes& picture) {
  try {
    const vips::VImage image = vips::VImage::new_from_buffer(picture.data(), picture.size(), "");
    return jpeg(image.thumbnail_image(256), 75);
  } catch (const vips::VError&) {
    return std::nullopt;
  }
}

std::optional<Bytes> proof(const std::filesystem::path& image, int quality) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(image, error)) return std::nullopt;
  try {
    return jpeg(vips::VImage::new_from_file(image.c_str()), quality);
  } catch (const vips::VError&) {
    return std::nullopt;
  }
}

bool writeWhole(const std::filesystem::path& path, const Bytes& bytes) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  const std::filesystem::path temporary = path.parent_path() / ("." + path.filename().string() + ".part");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool complete = written == bytes.size() && ::close(fd) == 0;
  if (complete && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  if (written != bytes.size()) ::close(fd);
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace vantle::tools::StudioFiles
