#include "agent/storage/segment_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "agent/storage/descriptor.h"

namespace vantle::agent {
namespace {

// How much of the last complete line the index remembers to recognise it.
constexpr size_t kHeadLength = 64;
constexpr size_t kChunk = 1 << 20;

std::optional<core::WireSegment> decodeLine(std::string_view line) {
  const std::optional<core::Json> json = core::VantleCoding::parse(line);
  if (!json) return std::nullopt;
  return core::WireSegment::decode(*json);
}

// Reads exactly `length` bytes at `offset`; false on an error or a short file.
bool readExactly(int fd, char* into, uint64_t length, uint64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pread(fd, into, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into += n;
    length -= static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

SegmentLog::Reader::Reader(Descriptor fd, std::vector<Entry> entries, std::optional<core::WireSegment> tail)
    : fd_(std::move(fd)), entries_(std::move(entries)), tail_(std::move(tail)) {
  for (const Entry& entry : entries_) seqs_.push_back(entry.seq);
  if (tail_) seqs_.push_back(tail_->seq);
}

std::optional<core::WireSegment> SegmentLog::Reader::next() {
  while (next_ < entries_.size()) {
    if (std::optional<core::WireSegment> segment = read(fd_.get(), entries_[next_++])) return segment;
  }
  return std::exchange(tail_, std::nullopt);
}

std::optional<std::string> SegmentLog::Reader::nextRecord() {
  while (next_ < entries_.size()) {
    if (std::optional<std::string> line = readLine(fd_.get(), entries_[next_++])) return line;
  }
  // An unterminated last line was decoded when the query ran.
  if (std::optional<core::WireSegment> tail = std::exchange(tail_, std::nullopt)) {
    return core::VantleCoding::dump(tail->encode());
  }
  return std::nullopt;
}

SegmentLog::Reader SegmentLog::readSince(uint64_t seq) {
  std::lock_guard lock(mutex_);
  struct stat info {};
  Descriptor fd = open(info);
  if (!fd.valid()) return Reader(std::move(fd), {}, std::nullopt);
  std::optional<core::WireSegment> tail = refresh(fd.get(), info);
  std::vector<Entry> selected;
  for (const Entry& entry : index_.entries) {
    if (entry.seq > seq) selected.push_back(entry);
  }
  if (tail && tail->seq <= seq) tail.reset();
  return Reader(std::move(fd), std::move(selected), std::move(tail));
}

std::optional<std::string> SegmentLog::readLine(int fd, const Entry& entry) {
  // With its line break: a line rewritten in place shows in where it ends.
  std::string line(entry.length + 1, '\0');
  if (!readExactly(fd, line.data(), line.size(), entry.offset) || line.back() != '\n') return std::nullopt;
  line.pop_back();
  if (line.front() != '{' || line.back() != '}') return std::nullopt;
  return line;
}

std::optional<core::WireSegment> SegmentLog::read(int fd, const Entry& entry) {
  std::optional<std::string> line = readLine(fd, entry);
  if (!line) return std::nullopt;
  std::optional<core::WireSegment> segment = decodeLine(*line);
  if (!segment || segment->seq != entry.seq || segment->shootID != entry.shootID) return std::nullopt;
  return segment;
}

SegmentLog::SegmentLog(std::filesystem::path file) : file_(std::move(file)) {}

std::vector<core::WireSegment> SegmentLog::since(uint64_t seq) {
  return select([seq](uint64_t candidate, const auto&) { return candidate > seq; });
}

std::vector<core::WireSegment> SegmentLog::inShoot(const std::string& shootID) {
  return select([&shootID](uint64_t, const std::optional<std::string>& candidate) { return candidate == shootID; });
}

uint64_t SegmentLog::highestSeq() {
  std::lock_guard lock(mutex_);
  struct stat info {};
  Descriptor fd = open(info);
  if (!fd.valid()) return 0;
  const std::optional<core::WireSegment> tail = refresh(fd.get(), info);
  return std::max(index_.highestSeq, tail ? tail->seq : 0);
}

std::vector<core::WireSegment> SegmentLog::select(const Selects& selects) {
  std::lock_guard lock(mutex_);
  struct stat info {};
  Descriptor fd = open(info);
  if (!fd.valid()) return {};
  std::vector<core::WireSegment> found;
  if (collect(fd.get(), info, selects, found)) return found;

  // A served line no longer matched its entry: the file was rewritten under
  // the index. Index it afresh from the same open file; a line that still
  // does not match is changing right now and stays skipped, like any line
  // that does not decode, until a later query.
  index_ = {};
  found.clear();
  if (!collect(fd.get(), info, selects, found)) index_ = {};
  return found;
}

Descriptor SegmentLog::open(struct stat& info) {
  Descriptor fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.valid() && ::fstat(fd.get(), &info) == 0) return fd;
  index_ = {};  // missing or unreadable: nothing to remember
  return Descriptor(-1);
}

bool SegmentLog::collect(int fd, const struct stat& info, const Selects& selects,
                         std::vector<core::WireSegment>& found) {
  std::optional<core::WireSegment> tail = refresh(fd, info);
  bool allMatched = true;
  for (const Entry& entry : index_.entries) {
    if (!selects(entry.seq, entry.shootID)) continue;
    if (std::optional<core::WireSegment> segment = read(fd, entry)) {
      found.push_back(std::move(*segment));
    } else {
      allMatched = false;
    }
  }
  if (tail && selects(tail->seq, tail->shootID)) found.push_back(std::move(*tail));
  return allMatched;
}

std::optional<core::WireSegment> SegmentLog::refresh(int fd, const struct stat& info) {
  const auto size = static_cast<uint64_t>(info.st_size);
  if (info.st_dev != index_.device || info.st_ino != index_.inode || size < index_.indexedEnd ||
      !stillMatches(fd)) {
    index_ = {};
    index_.device = info.st_dev;
    index_.inode = info.st_ino;
  }

  // Scan what was appended since, line by line; an unterminated tail is
  // left out of the index and decoded for this query only.
  std::string buffer(std::min<uint64_t>(kChunk, size - index_.indexedEnd), '\0');
  std::string line;
  uint64_t lineStart = index_.indexedEnd;
  uint64_t offset = index_.indexedEnd;
  while (offset < size) {
    const uint64_t wanted = std::min<uint64_t>(buffer.size(), size - offset);
    const ssize_t n = ::pread(fd, buffer.data(), wanted, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::string_view chunk(buffer.data(), static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = chunk.find('\n', start)) != std::string_view::npos; start = end + 1) {
      line.append(chunk.substr(start, end - start));
      indexLine(lineStart, line);
      line.clear();
      lineStart = offset + end + 1;
    }
    line.append(chunk.substr(start));
    offset += static_cast<uint64_t>(n);
  }
  index_.indexedEnd = lineStart;
  if (line.empty()) return std::nullopt;
  return decodeLine(line);
}

bool SegmentLog::stillMatches(int fd) const {
  if (index_.indexedEnd == 0) return true;
  char last = 0;
  if (!readExactly(fd, &last, 1, index_.indexedEnd - 1) || last != '\n') return false;
  if (index_.lastLineHead.empty()) return true;
  std::string head(index_.lastLineHead.size(), '\0');
  return readExactly(fd, head.data(), head.size(), index_.lastLineOffset) && head == index_.lastLineHead;
}

void SegmentLog::indexLine(uint64_t offset, const std::string& line) {
  if (line.empty()) return;  // empty pieces are no lines at all
  index_.lastLineOffset = offset;
  index_.lastLineHead = line.substr(0, kHeadLength);
  std::optional<core::WireSegment> segment = decodeLine(line);
  if (!segment) return;
  index_.entries.push_back({offset, line.size(), segment->seq, std::move(segment->shootID)});
  index_.highestSeq = std::max(index_.highestSeq, segment->seq);
}

}  // namespace vantle::agent
