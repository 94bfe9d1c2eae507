// What one paired companion is still owed, in the order it is owed it.
//
// Everything the service sends a companion goes through its outbox, which
// hands frames to the connection (the writer) only as fast as the
// connection writes them: at most `windowBytes` are handed and not yet
// written at any time. The rest waits here, in order.
//
// Three kinds of entry wait:
//   - ordinary frames, sent whole and in order;
//   - newest-only frames (snapshots, thumbnails): a newer one replaces the
//     one of its kind still waiting, in that one's place, so a companion
//     that reads slowly gets the latest state rather than a queue of stale
//     ones; at most `thumbnailsInFlight` thumbnails are handed at once;
//   - runs: a producer called for one frame at a time when the writer has
//     room, so a replay of a day's segments or a reply of several large
//     images never sits in memory whole.
// Frames waiting or handed and not yet written count against `budgetBytes`
// (frames a run has not made yet do not), and at most `runs` runs wait. A
// push past either is refused: the companion has stopped reading, and its
// owner lets it go.
//
// Not thread-safe: an outbox lives on its owner's queue, and the writer must
// call `written` on that queue, never from inside the write call. Own it
// through std::shared_ptr (create()): the writer's completions hold it
// weakly, so a completion after the outbox is gone does nothing.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

namespace vantle::net {

class PeerOutbox : public std::enable_shared_from_this<PeerOutbox> {
 public:
  using Frame = std::shared_ptr<const std::string>;
  // Writes one frame behind those written before and calls `written` once
  // it is written or has failed. False when the connection has ended: the
  // outbox then lets go of everything and takes nothing more.
  using Writer = std::function<bool(const Frame& frame, std::function<void()> written)>;
  // The next frame of a run; nullopt once the run is over.
  using Run = std::function<std::optional<Frame>()>;

  enum class Kind { ordered, snapshot, thumbnail };

  struct Limits {
    size_t budgetBytes = 32u << 20;
    size_t windowBytes = 1u << 20;
    int thumbnailsInFlight = 1;
    size_t runs = 8;
  };

  static std::shared_ptr<PeerOutbox> create(Writer writer, Limits limits);
  static std::shared_ptr<PeerOutbox> create(Writer writer) { return create(std::move(writer), Limits{}); }

  // Queues `frame` behind everything queued before (a newest-only frame
  // may take the place of its waiting predecessor instead). False, with
  // nothing queued, when it would take the waiting bytes past the budget.
  // Once the connection has ended, pushes do nothing.
  [[nodiscard]] bool push(Frame frame, Kind kind = Kind::ordered);
  // Queues a run behind everything queued before. False, with nothing
  // queued, when `runs` runs already wait.
  [[nodiscard]] bool pushRun(Run run);
  // Drops the thumbnail waiting to be handed, if any; one in flight stays.
  void dropWaitingThumbnail();

  // Bytes queued or handed and not yet written.
  size_t waitingBytes() const { return queuedBytes_ + handedBytes_; }
  // Whether nothing waits and nothing is being written.
  bool idle() const { return entries_.empty() && handedBytes_ == 0; }

 private:
  PeerOutbox(Writer writer, Limits limits) : writer_(std::move(writer)), limits_(limits) {}

  struct Entry {
    Kind kind = Kind::ordered;
    Frame frame;  // absent for a run
    Run run;
  };
  using Entries = std::list<Entry>;

  // Hands entries to the writer while the window has room.
  void pump();
  void hand(const Frame& frame, Kind kind);
  void end();
  Entries::iterator& waitingOf(Kind kind) { return kind == Kind::snapshot ? waitingSnapshot_ : waitingThumbnail_; }

  const Writer writer_;
  const Limits limits_;
  Entries entries_;
  Entries::iterator waitingSnapshot_ = entries_.end();
  Entries::iterator waitingThumbnail_ = entries_.end();
  size_t queuedBytes_ = 0;  // of the frames in `entries_`
  size_t handedBytes_ = 0;  // handed to the writer, not yet written
  size_t runs_ = 0;         // in `entries_`
  int thumbnailsHanded_ = 0;
  bool pumping_ = false;
  bool ended_ = false;
};

}  // namespace vantle::net
