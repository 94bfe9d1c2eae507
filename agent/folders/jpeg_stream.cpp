#include "agent/folders/jpeg_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vantle::agent::JpegStream {
namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfScan = 0xDA;

// Markers that stand alone, without a length: the restarts, TEM and SOI.
bool standsAlone(uint8_t marker) {
  return (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01 || marker == kStartOfImage;
}

// From the start of a scan's entropy-coded data to the marker that ends it
// (the position of its 0xFF); nullopt when the bytes end first. Inside the
// data a 0xFF is followed by 0x00 (a stuffed byte) or a restart marker.
std::optional<size_t> endOfScan(std::span<const uint8_t> bytes, size_t at) {
  while (at < bytes.size()) {
    const void* found = std::memchr(bytes.data() + at, kMarker, bytes.size() - at);
    if (!found) return std::nullopt;
    at = static_cast<size_t>(static_cast<const uint8_t*>(found) - bytes.data());
    if (at + 1 >= bytes.size()) return std::nullopt;
    const uint8_t next = bytes[at + 1];
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
      at += 2;
    } else if (next == kMarker) {
      at += 1;  // a fill byte before a marker
    } else {
      return at;
    }
  }
  return std::nullopt;
}

}  // namespace

bool startsLikeJpeg(std::span<const uint8_t> bytes) {
  return bytes.size() >= 2 && bytes[0] == kMarker && bytes[1] == kStartOfImage;
}

std::optional<size_t> wholeLength(std::span<const uint8_t> bytes) {
  if (!startsLikeJpeg(bytes)) return std::nullopt;
  size_t at = 2;
  for (;;) {
    if (at >= bytes.size() || bytes[at] != kMarker) return std::nullopt;
    while (at < bytes.size() && bytes[at] == kMarker) ++at;  // fill bytes
    if (at >= bytes.size()) return std::nullopt;
    const uint8_t marker = bytes[at++];
    if (marker == kEndOfImage) return at;
    if (standsAlone(marker)) continue;
    if (at + 2 > bytes.size()) return std::nullopt;
    const size_t length = size_t{bytes[at]} << 8 | bytes[at + 1];
    if (length < 2 || at + length > bytes.size()) return std::nullopt;
    at += length;
    if (marker == kStartOfScan) {
      const std::optional<size_t> end = endOfScan(bytes, at);
      if (!end) return std::nullopt;
      at = *end;
    }
  }
}

bool fileIsWholeIfJpeg(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  std::vector<uint8_t> bytes(2);
  bool read = ::fstat(fd, &info) == 0 && ::pread(fd, bytes.data(), 2, 0) >= 0;
  if (read && startsLikeJpeg(bytes)) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    bytes.resize(done);  // a file cut meanwhile reads as what is left
  }
  ::close(fd);
  if (!read) return false;
  return !startsLikeJpeg(bytes) || isWhole(bytes);
}

}  // namespace vantle::agent::JpegStream
