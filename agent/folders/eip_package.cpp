#include "agent/folders/eip_package.h"

#include <zip.h>

#include <memory>
#include <string_view>

#include "core/frame_count_rule.h"
#include "core/unicode.h"

namespace vantle::agent::EipPackage {
namespace {

namespace FrameCountRule = core::FrameCountRule;

struct Discard {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct Close {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};

std::string_view lastComponent(std::string_view name) {
  const size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

// The entry that holds the image, by name alone.
std::optional<zip_uint64_t> imageEntry(zip_t* archive) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  std::optional<zip_uint64_t> candidate;
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* fullName = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
    if (!fullName) continue;
    const std::string_view name = lastComponent(fullName);
    if (std::string_view(fullName).starts_with("__MACOSX/") || !FrameCountRule::countsAs(name)) continue;
    const bool nestedPackage = core::lowercased(FrameCountRule::extension(name)) == "eip";
    if (FrameCountRule::isRaw(name) && !nestedPackage) return static_cast<zip_uint64_t>(i);
    if (!candidate && !nestedPackage) candidate = static_cast<zip_uint64_t>(i);
  }
  return candidate;
}

}  // namespace

std::optional<ImageSource> image(const std::string& packagePath) try {
  int error = 0;
  const std::unique_ptr<zip_t, Discard> archive(zip_open(packagePath.c_str(), ZIP_RDONLY, &error));
  if (!archive) return std::nullopt;
  const auto index = imageEntry(archive.get());
  if (!index) return std::nullopt;

  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive.get(), *index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) ||
      stat.size > maximumEntrySize) {
    return std::nullopt;
  }
  const std::unique_ptr<zip_file_t, Close> file(zip_fopen_index(archive.get(), *index, 0));
  if (!file) return std::nullopt;
  core::Bytes data(static_cast<size_t>(stat.size));
  size_t filled = 0;
  while (filled < data.size()) {
    const zip_int64_t got = zip_fread(file.get(), data.data() + filled, data.size() - filled);
    if (got <= 0) return std::nullopt;  // damaged data, or a CRC mismatch at the end
    filled += static_cast<size_t>(got);
  }
  // Reading to the end is what makes libzip check the CRC.
  uint8_t extra;
  if (zip_fread(file.get(), &extra, 1) != 0) return std::nullopt;
  return ImageSource::bytes(std::move(data), std::string(FrameCountRule::extension(lastComponent(stat.name))));
} catch (...) {
  return std::nullopt;
}

}  // namespace vantle::agent::EipPackage
