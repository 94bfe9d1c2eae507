#include "agent/folders/capture_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string_view>

#include "agent/folders/jpeg_stream.h"
#include "core/frame_count_rule.h"
#include "core/unicode.h"

namespace vantle::agent::CaptureCache {
namespace fs = std::filesystem;

namespace {

// Calls `visit` with the name of each visible ".cot" entry, in listing
// order, until it returns false. False when the folder cannot be listed.
bool forEachThumbnail(const std::string& directory, const std::function<bool(std::string_view)>& visit) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(thumbnailsFolder(directory).c_str()), closedir);
  if (!dir) return false;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;
    if (core::lowercased(core::FrameCountRule::extension(name)) != "cot") continue;
    if (!visit(name)) break;
  }
  return true;
}

struct OpenFile {
  explicit OpenFile(int fd) : fd(fd) {}
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  const int fd;
};

}  // namespace

fs::path thumbnailsFolder(const std::string& directory) {
  return fs::path(directory) / "CaptureOne" / "Cache" / "Thumbnails";
}

bool exists(const std::string& directory) {
  std::error_code error;
  return fs::is_directory(thumbnailsFolder(directory), error);
}

std::optional<fs::path> thumbnailFor(const std::string& directory, const std::string& fileName) {
  const std::string prefix = fileName + ".";
  std::optional<fs::path> found;
  forEachThumbnail(directory, [&](std::string_view name) {
    if (!name.starts_with(prefix)) return true;
    found = thumbnailsFolder(directory) / name;
    return false;
  });
  return found;
}

std::optional<fs::path> greatestThumbnail(const std::string& directory) {
  std::optional<std::string> greatest;
  forEachThumbnail(directory, [&](std::string_view name) {
    if (!greatest || name > *greatest) greatest = std::string(name);
    return true;
  });
  if (!greatest) return std::nullopt;
  return thumbnailsFolder(directory) / *greatest;
}

bool isCompleteJpeg(const core::Bytes& bytes) { return JpegStream::isWhole(bytes); }

std::optional<core::Bytes> readFile(const fs::path& file, size_t limit) {
  const OpenFile opened(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  const int fd = opened.fd;
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) > limit) {
    return std::nullopt;
  }
  core::Bytes bytes;
  bytes.reserve(static_cast<size_t>(info.st_size));
  uint8_t chunk[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    if (bytes.size() + static_cast<size_t>(got) > limit) return std::nullopt;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

}  // namespace vantle::agent::CaptureCache
