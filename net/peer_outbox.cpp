#include "net/peer_outbox.h"

#include <iterator>
#include <utility>

#include "support/weak.h"

namespace vantle::net {

std::shared_ptr<PeerOutbox> PeerOutbox::create(Writer writer, Limits limits) {
  return std::shared_ptr<PeerOutbox>(new PeerOutbox(std::move(writer), limits));
}

bool PeerOutbox::push(Frame frame, Kind kind) {
  if (ended_) return true;
  const size_t size = frame->size();
  if (kind != Kind::ordered) {
    if (Entries::iterator& waiting = waitingOf(kind); waiting != entries_.end()) {
      // The newer state takes the older one's place in the line.
      if (waitingBytes() - waiting->frame->size() + size > limits_.budgetBytes) return false;
      queuedBytes_ = queuedBytes_ - waiting->frame->size() + size;
      waiting->frame = std::move(frame);
      pump();
      return true;
    }
  }
  if (waitingBytes() + size > limits_.budgetBytes) return false;
  queuedBytes_ += size;
  entries_.push_back({kind, std::move(frame), {}});
  if (kind != Kind::ordered) waitingOf(kind) = std::prev(entries_.end());
  pump();
  return true;
}

bool PeerOutbox::pushRun(Run run) {
  if (ended_) return true;
  if (runs_ >= limits_.runs) return false;
  ++runs_;
  entries_.push_back({Kind::ordered, nullptr, std::move(run)});
  pump();
  return true;
}

void PeerOutbox::dropWaitingThumbnail() {
  if (waitingThumbnail_ == entries_.end()) return;
  queuedBytes_ -= waitingThumbnail_->frame->size();
  entries_.erase(std::exchange(waitingThumbnail_, entries_.end()));
  pump();
}

void PeerOutbox::pump() {
  if (pumping_) return;  // a completion inside a hand-over: the loop below goes on
  pumping_ = true;
  while (!ended_ && !entries_.empty() && handedBytes_ < limits_.windowBytes) {
    Entry& head = entries_.front();
    if (head.run) {
      std::optional<Frame> next = head.run();
      if (next) {
        hand(*next, Kind::ordered);
      } else {
        entries_.pop_front();
        --runs_;
      }
      continue;
    }
    if (head.kind == Kind::thumbnail && thumbnailsHanded_ >= limits_.thumbnailsInFlight) break;
    if (head.kind != Kind::ordered) waitingOf(head.kind) = entries_.end();
    const Frame frame = std::move(head.frame);
    const Kind kind = head.kind;
    entries_.pop_front();
    queuedBytes_ -= frame->size();
    hand(frame, kind);
  }
  pumping_ = false;
}

void PeerOutbox::hand(const Frame& frame, Kind kind) {
  const size_t size = frame->size();
  handedBytes_ += size;
  if (kind == Kind::thumbnail) ++thumbnailsHanded_;
  const bool accepted = writer_(frame, support::weakly(weak_from_this(), [size, kind](PeerOutbox& self) {
    if (self.ended_) return;
    self.handedBytes_ -= size;
    if (kind == Kind::thumbnail) --self.thumbnailsHanded_;
    self.pump();
  }));
  if (!accepted) end();
}

void PeerOutbox::end() {
  ended_ = true;
  entries_.clear();
  waitingSnapshot_ = waitingThumbnail_ = entries_.end();
  queuedBytes_ = handedBytes_ = runs_ = 0;
  thumbnailsHanded_ = 0;
}

}  // namespace vantle::net
