// The folder pulled images are written into.
//
// The agent names each image, and that name is not trusted: only a plain
// file name is kept, made from the last path component without its leading
// dots (never a hidden file), with every character unsafe on a terminal
// (see safe_text.h) and every byte that is not UTF-8 replaced by "_". When
// nothing is left, or more than 200 bytes, the image is called "image-N.jpg"
// after its place in the pull. Two images of one pull never share a name: the second
// "a.jpg" becomes "a-2.jpg". An existing file of that name from an earlier
// run is replaced, as a fresh download replaces an old one. Each file is
// written whole (a temporary file in the folder, then renamed), so a reader
// never sees half an image.
//
// Not thread-safe: use one ImageFolder from one queue.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "core/vantle_coding.h"

namespace vantle::tools {

// A plain file name for the image at `index` (from 1) of a pull.
std::string safeImageName(const std::optional<std::string>& suggested, size_t index);

class ImageFolder {
 public:
  struct Failure {
    std::string sentence;
  };

  // Makes `folder` (and its parents) when missing.
  static std::variant<ImageFolder, Failure> open(std::filesystem::path folder);

  // Writes one image; returns the file name it was written under.
  std::variant<std::string, Failure> write(const core::Bytes& data, const std::optional<std::string>& suggested);

 private:
  explicit ImageFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::filesystem::path folder_;
  std::set<std::string> used_;
  size_t count_ = 0;
};

}  // namespace vantle::tools
