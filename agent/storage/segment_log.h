// Reading "segments.jsonl": the closed segments, one JSON record a line.
//
// The file is the only truth. To keep a replay of the last few segments
// cheap when the history holds thousands of lines with images, this reader
// keeps an index of the lines it has seen (offset, length, `seq`, `shootID`)
// and reads and decodes only the lines a query selects. The index is rebuilt
// from the file when needed and checked against it at every query:
//   - lines appended since the last query are scanned and added;
//   - a file that is now shorter than what was indexed (truncated), or is
//     another file (replaced: new device or inode), or whose last indexed
//     line no longer starts and ends where it did, is indexed again;
//   - every line a query serves is decoded afresh, and a line that no longer
//     matches its entry makes the query start over from a fresh index.
// So the results are those of reading the whole file: every line that
// decodes as a segment, in file order; lines that do not decode (corrupt, or
// caught half-written by a concurrent append) are skipped without a report.
// The one change this cannot see is an edit in place that keeps the file's
// length and its last line and changes a line that the query then does not
// select; the storage itself only ever appends.
//
// Thread-safe: queries may come from any thread, concurrently with appends
// by the storage queue; they take turns on one lock. The file may be missing
// or unreadable, which reads as no segments.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/storage/descriptor.h"
#include "core/wire_segment.h"

namespace vantle::agent {

class SegmentLog {
  // One complete line of the file, as the index knows it.
  struct Entry {
    uint64_t offset = 0;
    uint64_t length = 0;  // without the "\n"
    uint64_t seq = 0;
    std::optional<std::string> shootID;
  };

 public:
  // The segments a query selected, read one at a time from the file as it
  // was when the query ran (the reader keeps it open): a replay of
  // thousands of segments with images never holds them all. A line that no
  // longer matches its entry is skipped. Not thread-safe; used by one
  // caller at a time.
  class Reader {
   public:
    // The sequence numbers of the selected segments, in file order.
    const std::vector<uint64_t>& seqs() const { return seqs_; }
    // The next segment; nullopt once all were read.
    std::optional<core::WireSegment> next();
    // The next segment's line as it stands in the file (the JSON text of its
    // record), without decoding it again: a replay sends it on as it is. A
    // line that no longer starts and ends where it did is skipped.
    std::optional<std::string> nextRecord();

   private:
    friend class SegmentLog;
    Reader(Descriptor fd, std::vector<Entry> entries, std::optional<core::WireSegment> tail);
    Descriptor fd_;
    std::vector<Entry> entries_;
    std::optional<core::WireSegment> tail_;  // an unterminated last line, decoded already
    std::vector<uint64_t> seqs_;
    size_t next_ = 0;
  };

  explicit SegmentLog(std::filesystem::path file);

  // Segments whose `seq` is greater than `seq`, in file order.
  std::vector<core::WireSegment> since(uint64_t seq);
  // The same, to be read one at a time.
  Reader readSince(uint64_t seq);
  // Segments whose `shootID` equals `shootID` exactly, in file order.
  std::vector<core::WireSegment> inShoot(const std::string& shootID);
  // The largest `seq` among the stored segments; 0 when there are none.
  uint64_t highestSeq();

 private:
  // What the index knows of the file: its identity and the complete lines
  // in [0, indexedEnd).
  struct Index {
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t indexedEnd = 0;
    std::vector<Entry> entries;
    uint64_t highestSeq = 0;
    // Where the last complete line starts, and its first bytes: a file
    // rewritten in place under the same name shows here.
    uint64_t lastLineOffset = 0;
    std::string lastLineHead;
  };
  using Selects = std::function<bool(uint64_t seq, const std::optional<std::string>& shootID)>;

  std::vector<core::WireSegment> select(const Selects& selects);
  // The file open for reading with `info` filled in; invalid (and the index
  // cleared) when it is missing or unreadable.
  Descriptor open(struct stat& info);
  // Appends the selected segments to `found`, in file order; false when a
  // selected line no longer matched its entry (it is left out).
  bool collect(int fd, const struct stat& info, const Selects& selects, std::vector<core::WireSegment>& found);
  // Brings the index up to date with the open file `fd` described by `info`
  // returns its unterminated tail, if any, decoded.
  std::optional<core::WireSegment> refresh(int fd, const struct stat& info);
  bool stillMatches(int fd) const;
  // The entry's line, when it still ends where it did and looks like a record.
  static std::optional<std::string> readLine(int fd, const Entry& entry);
  // The entry's line decoded; nullopt when it no longer matches the entry.
  static std::optional<core::WireSegment> read(int fd, const Entry& entry);
  void indexLine(uint64_t offset, const std::string& line);

  const std::filesystem::path file_;
  std::mutex mutex_;
  Index index_;  // guarded by mutex_
};

}  // namespace vantle::agent
