// Whether a JPEG stream is whole, told from its own structure.
//
// A file still being written ends before its end-of-image marker; a whole
// one reaches it, whatever follows it (several camera makers and phones
// write maker data, padding or a second picture after it). The walk follows
// the marker segments by their lengths and the entropy-coded data of each
// scan to its next marker, so an end-of-image inside an embedded thumbnail
// (an APP segment) is not taken for the end of the picture.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace vantle::agent::JpegStream {

// Whether `bytes` begin with a JPEG's start-of-image marker.
bool startsLikeJpeg(std::span<const uint8_t> bytes);

// The length of the JPEG stream at the start of `bytes`, through its
// end-of-image marker; nullopt when `bytes` are no JPEG or end before it.
std::optional<size_t> wholeLength(std::span<const uint8_t> bytes);

inline bool isWhole(std::span<const uint8_t> bytes) { return wholeLength(bytes).has_value(); }

// The same for a file, read as it is now: true when it is not a JPEG at all
// (other formats are judged by their decoders), false when it cannot be read.
bool fileIsWholeIfJpeg(const std::filesystem::path& file);

}  // namespace vantle::agent::JpegStream
