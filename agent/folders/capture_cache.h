// The capture application's own thumbnails of a capture folder: JPEG files
// named after their frame plus ".cot" (IMG_0001.CR3.cot) in
// <folder>/CaptureOne/Cache/Thumbnails. Already rendered with the user's
// adjustments, they are the cheapest and truest picture of a new frame.
//
// Pure reads; nothing here throws or writes. Any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/vantle_coding.h"

namespace vantle::agent::CaptureCache {

// <directory>/CaptureOne/Cache/Thumbnails.
std::filesystem::path thumbnailsFolder(const std::string& directory);

// Whether that folder exists: the capture application keeps this folder.
bool exists(const std::string& directory);

// The first ".cot" entry (any case), in listing order, whose name begins
// with `fileName` followed by "."; absent when there is none or the folder
// cannot be listed. Hidden entries are passed over.
std::optional<std::filesystem::path> thumbnailFor(const std::string& directory, const std::string& fileName);

// The ".cot" entry with the greatest name, or absent.
std::optional<std::filesystem::path> greatestThumbnail(const std::string& directory);

// Whether `bytes` hold a whole JPEG stream, through its end-of-image marker
// (JpegStream). A thumbnail still being written fails this.
bool isCompleteJpeg(const core::Bytes& bytes);

// The whole file, or absent when it cannot be read or is larger than
// `limit` bytes.
std::optional<core::Bytes> readFile(const std::filesystem::path& file, size_t limit = size_t{64} << 20);

}  // namespace vantle::agent::CaptureCache
