// The image inside an "eip" package: a ZIP archive in which the capture
// application keeps a RAW file together with its settings.
//
// Stored and deflated entries are read alike (libzip checks their CRC).
// The image is the first entry whose name has a RAW extension, else the
// first entry that could be a frame at all (FrameCountRule::countsAs);
// folders, hidden entries and the capture application's sidecars are
// passed over. Never throws; any failure is an absent result. Any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "agent/folders/image_source.h"

namespace vantle::agent::EipPackage {

// Entries larger than this are refused rather than read into memory.
inline constexpr size_t maximumEntrySize = size_t{1} << 30;

// The image entry's bytes, with its extension as the type hint.
std::optional<ImageSource> image(const std::string& packagePath);

}  // namespace vantle::agent::EipPackage
