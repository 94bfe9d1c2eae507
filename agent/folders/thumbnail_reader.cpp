#include "agent/folders/thumbnail_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string_view>

#include "agent/folders/capture_cache.h"
#include "agent/folders/eip_package.h"
#include "core/frame_count_rule.h"
#include "core/unicode.h"

namespace vantle::agent {
namespace {

namespace FrameCountRule = core::FrameCountRule;

bool isPackage(std::string_view name) { return core::lowercased(FrameCountRule::extension(name)) == "eip"; }

// A name of an entry directly in the folder, never a path.
bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

bool isRegularFile(int folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_REG;
  struct stat info {};
  return fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

struct FrameFiles {
  std::optional<std::string> exact;     // the file named as asked
  std::optional<std::string> greatest;  // the greatest name
};

// The visible regular files of `directory` that may be frames, "eip"
// packages only `withPackages`.
FrameFiles frameFiles(const std::string& directory, const std::optional<std::string>& fileName, bool withPackages) {
  FrameFiles found;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  if (!dir) return found;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (!FrameCountRule::countsAs(name) || (!withPackages && isPackage(name))) continue;
    if (!isRegularFile(dirfd(dir.get()), *entry)) continue;
    if (fileName && name == *fileName) found.exact = std::string(name);
    if (!found.greatest || name > *found.greatest) found.greatest = std::string(name);
  }
  return found;
}

std::string joined(const std::string& directory, const std::string& name) {
  return (std::filesystem::path(directory) / name).string();
}

std::optional<core::Bytes> cacheThumbnail(const std::filesystem::path& cot, bool wholeOnly) {
  auto bytes = CaptureCache::readFile(cot);
  if (!bytes || (wholeOnly && !CaptureCache::isCompleteJpeg(*bytes))) return std::nullopt;
  return encodeJpeg(ImageSource::bytes(std::move(*bytes), "jpg"), ThumbnailReader::thumbnailSize, false);
}

std::optional<core::Bytes> fileImage(const std::string& directory, const std::string& name, int maxPixelSize,
                                     bool preferEmbedded) {
  const std::string path = joined(directory, name);
  if (isPackage(name)) {
    const auto inside = EipPackage::image(path);
    if (!inside) return std::nullopt;
    return encodeJpeg(*inside, maxPixelSize, true);
  }
  return encodeJpeg(ImageSource::file(path), maxPixelSize, preferEmbedded);
}

}  // namespace

std::optional<core::Bytes> ThumbnailReader::latestThumbnail(const std::string& directory,
                                                            const std::string& fileName) const try {
  const auto cot = CaptureCache::thumbnailFor(directory, fileName);
  if (!cot) return std::nullopt;
  return cacheThumbnail(*cot, true);
} catch (...) {
  return std::nullopt;
}

std::optional<core::Bytes> ThumbnailReader::newestFrameThumbnail(const std::string& directory,
                                                                 const std::string& fileName) const try {
  if (CaptureCache::exists(directory)) return latestThumbnail(directory, fileName);
  if (!isPlainName(fileName)) return std::nullopt;
  struct stat info {};
  if (lstat(joined(directory, fileName).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return fileImage(directory, fileName, thumbnailSize, true);
} catch (...) {
  return std::nullopt;
}

std::optional<core::Bytes> ThumbnailReader::thumbnail(const std::string& directory,
                                                      const std::optional<std::string>& fileName) const try {
  if (fileName) {
    if (const auto cot = CaptureCache::thumbnailFor(directory, *fileName)) {
      if (auto jpeg = cacheThumbnail(*cot, false)) return jpeg;
    }
  }
  const FrameFiles files = frameFiles(directory, fileName, false);
  // The frame asked for comes before a stand-in of another frame.
  if (files.exact) {
    if (auto jpeg = fileImage(directory, *files.exact, thumbnailSize, false)) return jpeg;
  }
  if (const auto cot = CaptureCache::greatestThumbnail(directory)) {
    if (auto jpeg = cacheThumbnail(*cot, false)) return jpeg;
  }
  if (!files.greatest) return std::nullopt;
  return fileImage(directory, *files.greatest, thumbnailSize, false);
} catch (...) {
  return std::nullopt;
}

std::optional<core::Bytes> ThumbnailReader::preview(const std::string& directory,
                                                    const std::optional<std::string>& fileName) const try {
  const FrameFiles files = frameFiles(directory, fileName, true);
  const std::optional<std::string>& name = files.exact ? files.exact : files.greatest;
  if (!name) return std::nullopt;
  return fileImage(directory, *name, previewSize, false);
} catch (...) {
  return std::nullopt;
}

}  // namespace vantle::agent
