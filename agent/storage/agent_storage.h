// The agent's only persistence: plain files under one storage root.
//
// Under the root live "segments.jsonl" and "verifications.jsonl" (one JSON
// record a line, each ended by "\n"), "next-seq.txt" (the last sequence
// number handed out, in decimal), "agent-id.txt", "current-shoot.txt",
// "sessions.json" (canonical session folder -> session ID), the marker
// "login-item-offered.txt" and the "quickproof" scratch folder. Whatever is
// written survives a restart and a crash: whole files are replaced
// atomically and durably, lines are appended with one synced write.
//
// Threading: the session table and every write but the login-item marker
// belong to the storage queue ("com.orvane.vantle.storage"). Calls marked "waits" post there and block
// the caller until done, so they must not be made from that queue (nothing
// there calls out, so nothing would). Appends return at once, keep their
// order, and keep the storage alive until they are on disk. Reads marked
// "caller" run on the calling thread and may overlap appends.
//
// Failures: nothing is reported to callers. Missing or unreadable files read
// as absent, 0 or empty; lines that do not decode are skipped; a failed write
// leaves the previous file as it was and is written to the log.
//
// Own it through std::shared_ptr (std::make_shared): its queued work refers
// back to it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/clock.h"
#include "agent/storage/segment_log.h"
#include "core/verification.h"
#include "core/wire_segment.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class AgentStorage : public std::enable_shared_from_this<AgentStorage> {
 public:
  // Storage under `root`, which is created with its missing parents (a
  // failure is logged; reads then find nothing and writes fail). `clock`
  // dates a stored verification that lacks its time; it must outlive this.
  explicit AgentStorage(std::filesystem::path root, const Clock& clock = Clock::system());

  // The process's storage, made on first use at the root the environment
  // names (see StorageRoot::resolve). Never destroyed.
  static const std::shared_ptr<AgentStorage>& shared();

  // Segments with `seq` greater than `seq`, in append order. Caller.
  std::vector<core::WireSegment> segments(uint64_t since);
  // The same, to be read one at a time (a companion's replay). Caller.
  SegmentLog::Reader segmentReader(uint64_t since) { return segmentLog_.readSince(since); }
  // Every stored segment, in append order. Caller.
  std::vector<core::WireSegment> allSegments();
  // Segments of one shoot (exact match), in append order; none for an
  // absent shoot ID. Caller.
  std::vector<core::WireSegment> segments(const std::optional<std::string>& inShoot);
  // The larger of the counter and the highest stored `seq`; 0 for none. Caller.
  uint64_t highestSeq();

  // The next sequence number, persisted before it is returned (and returned
  // even when that failed). Continues from the larger of the counter and
  // the highest stored segment, so numbers only ever rise. Waits.
  uint64_t reserveSeq();
  // Raises the counter to `minimumSeq` when that is above both the counter
  // and every stored segment, so the next reservation yields minimumSeq + 1.
  // A number above `highestPlausibleSeq` is refused (and logged): no agent
  // can have issued it, and adopting it would leave too little room above
  // it, or none, for numbers that must go on rising. True when it raised
  // the counter. Waits.
  bool adopt(uint64_t minimumSeq);
  // One segment a second for 136 years: more than any agent's life, far
  // below 2^64, and exact in every JSON reader (below 2^53).
  static constexpr uint64_t highestPlausibleSeq = uint64_t{1} << 32;

  // Appends one line to "segments.jsonl" / "verifications.jsonl". Queued.
  void appendSegment(const core::WireSegment& segment);
  void appendVerification(const core::ShootVerification& verification);
  // The newest verification of each shoot (the later line on equal times),
  // earliest first. Waits.
  std::vector<core::ShootVerification> verifications();
  // Returns once everything queued before it is on disk. Waits.
  void flush();

  // The agent ID. A new one is made and kept when none is stored, or when the
  // sequence history (counter and segments) is gone, so companions never see
  // numbers restart under an ID they know; a new ID starts that history with
  // a counter of 0. A file that is there but cannot be read is never
  // replaced: the ID of this run is kept (a made-up one, not stored, when
  // none was read yet) and the file is read again at the next call.
  // Caller (a renewal waits).
  std::string agentID();

  // The running shoot's ID; absent when none runs. Caller.
  std::optional<std::string> currentShootID();
  // Records the running shoot, or that none runs. Waits.
  void setCurrentShootID(const std::optional<std::string>& shootID);

  // The stable session ID of the session folder at `path` (any spelling of
  // it: the key is its canonical path), made and kept on first use. Waits.
  std::string sessionID(const std::string& forSessionAt);

  // Whether the user was already offered the login item. Caller.
  bool hasOfferedLoginItem();
  // Writes the marker. Caller.
  void markLoginItemOffered();

  // Whether `path` is the storage root or lies beneath it, symbolic links
  // resolved. Guards the appends and the shoot marker; the scratch folder
  // has a stricter check of its own (scratch_folder.h). Caller.
  bool isSafe(const std::filesystem::path& path) const;
  const std::filesystem::path& storageRoot() const { return root_; }

 private:
  std::optional<uint64_t> readSeqFile() const;
  void writeSeqFile(uint64_t seq) const;
  // On the queue.
  void appendLine(const std::string& fileName, const core::Json& record) const;
  // Writes a whole file under the root atomically; a failure is logged.
  bool write(const std::string& fileName, const std::string& content) const;
  std::filesystem::path fileAt(const std::string& fileName) const { return root_ / fileName; }

  support::SerialQueue queue_;
  const std::filesystem::path root_;
  const Clock& clock_;
  SegmentLog segmentLog_;
  std::mutex agentIDLock_;
  std::optional<std::string> agentID_;  // the last one answered; guarded by agentIDLock_
  // "sessions.json" as last read or written; loaded on first use. Queue only.
  std::optional<std::map<std::string, std::string>> sessionTable_;
};

}  // namespace vantle::agent
