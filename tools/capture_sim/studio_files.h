// The image files the stand-in writes, made with libvips.
//
// Frames, cache thumbnails and proofs are real JPEG streams, so readers of
// them decode what they would decode from the real application. libvips
// must have been started (VIPS_INIT) before any call; every call may run on
// any thread and reports failure by an empty result, never by throwing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace vantle::tools::StudioFiles {

using Bytes = std::vector<uint8_t>;

// A small JPEG picture (640 x 427), different for each frame number.
Bytes framePicture(int number);

// What the application keeps as a frame's cache thumbnail: the picture as a
// JPEG at most 256 pixels on its longer side.
std::optional<Bytes> cacheThumbnail(const Bytes& picture);

// The image file rendered as a JPEG of that quality; absent when the file
// is gone or cannot be decoded.
std::optional<Bytes> proof(const std::filesystem::path& image, int quality);

// Writes `bytes` to `path` through a hidden temporary file in the same
// folder and a rename, so the file never shows up half written under its
// own name. Creates missing folders; false when anything fails.
bool writeWhole(const std::filesystem::path& path, const Bytes& bytes);

}  // namespace vantle::tools::StudioFiles
