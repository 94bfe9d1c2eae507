#include "agent/folders/image_source.h"

#include <filesystem>

#include "core/frame_count_rule.h"
#include "core/unicode.h"

namespace vantle::agent {

ImageSource ImageSource::file(std::string path) {
  const std::string name = std::filesystem::path(path).filename().string();
  std::string hint = core::lowercased(core::FrameCountRule::extension(name));
  return ImageSource{std::move(path), {}, std::move(hint)};
}

ImageSource ImageSource::bytes(core::Bytes data, std::string typeHint) {
  return ImageSource{{}, std::move(data), core::lowercased(typeHint)};
}

bool ImageSource::isRaw() const { return core::FrameCountRule::isRaw("x." + typeHint); }

}  // namespace vantle::agent
