#include "web/live_feed.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

namespace vantle::web {

struct LiveFeed::Stream {
  std::function<void()> park;
  std::function<void()> wake;
  std::string waiting;
  size_t offset = 0;  // of `waiting`, already read
  bool parked = false;
  bool ended = false;
  bool closed = false;

  size_t unread() const { return waiting.size() - offset; }
};

namespace {

std::string event(std::string_view name, const core::Json& data) {
  // dump() escapes every line break, so the data is a single line.
  return "event: " + std::string(name) + "\ndata: " + core::VantleCoding::dump(data) + "\n\n";
}

}  // namespace

LiveFeed::LiveFeed() = default;
LiveFeed::~LiveFeed() = default;

std::shared_ptr<LiveFeed::Stream> LiveFeed::open(std::function<void()> park, std::function<void()> wake) {
  auto stream = std::make_shared<Stream>();
  stream->park = std::move(park);
  stream->wake = std::move(wake);
  std::lock_guard lock(mutex_);
  stream->ended = refusing_;
  stream->waiting = "retry: " + std::to_string(retryMillis) + "\n\n";
  if (!viewEvent_.empty()) stream->waiting += viewEvent_;
  stream->waiting += shotsEventLocked();
  if (frame_) stream->waiting += event("frame", {{"version", frameVersion_}, {"fileName", frameFileName_}});
  streams_.push_back(stream);
  return stream;
}

size_t LiveFeed::read(Stream& stream, char* into, size_t capacity, bool* ended) {
  std::lock_guard lock(mutex_);
  *ended = false;
  const size_t size = std::min(capacity, stream.unread());
  if (size > 0) {
    std::memcpy(into, stream.waiting.data() + stream.offset, size);
    stream.offset += size;
    if (stream.unread() == 0) {
      stream.waiting.clear();
      stream.offset = 0;
    }
    return size;
  }
  if (stream.ended || stream.closed) {
    *ended = true;
    return 0;
  }
  stream.parked = true;
  if (stream.park) stream.park();
  return 0;
}

void LiveFeed::close(Stream& stream) {
  std::lock_guard lock(mutex_);
  stream.closed = true;
  stream.park = nullptr;
  stream.wake = nullptr;
  std::erase_if(streams_, [&](const std::shared_ptr<Stream>& s) { return s.get() == &stream; });
}

size_t LiveFeed::streamCount() const {
  std::lock_guard lock(mutex_);
  return streams_.size();
}

void LiveFeed::sendLocked(const std::string& text) {
  for (const std::shared_ptr<Stream>& stream : streams_) {
    if (stream->ended) continue;
    if (stream->unread() + text.size() > backlogLimit) {
      // It has stopped reading: end it rather than let it grow.
      stream->ended = true;
      stream->waiting.clear();
      stream->offset = 0;
    } else {
      stream->waiting += text;
    }
    if (stream->parked) {
      stream->parked = false;
      if (stream->wake) stream->wake();
    }
  }
}

void LiveFeed::publishView(const core::VantleSnapshot& snapshot, const StatusWords& words) {
  const std::string text = event("view", viewJson(snapshot, words));
  std::lock_guard lock(mutex_);
  snapshot_ = snapshot;
  viewEvent_ = text;
  sendLocked(text);
}

const std::string* LiveFeed::addShotLocked(const core::WireSegment& segment) {
  const auto later = std::find_if(shots_.begin(), shots_.end(), [&](const Shot& s) { return s.seq >= segment.seq; });
  if (later != shots_.end() && later->seq == segment.seq) return nullptr;  // known already
  Shot shot{segment.seq, core::VantleCoding::dump(shotJson(segment)), segment.duration, nullptr};
  if (segment.thumbnail && !segment.thumbnail->empty()) {
    shot.thumbnail = std::make_shared<const core::Bytes>(*segment.thumbnail);
    thumbnailBytes_ += shot.thumbnail->size();
  }
  return &shots_.insert(later, std::move(shot))->json;
}

void LiveFeed::trimLocked() {
  while (shots_.size() > shotLimit) {
    if (shots_.front().thumbnail) thumbnailBytes_ -= shots_.front().thumbnail->size();
    shots_.pop_front();
  }
  // Over budget, the oldest shots give up their pictures first.
  for (Shot& shot : shots_) {
    if (thumbnailBytes_ <= thumbnailBudget) break;
    if (!shot.thumbnail) continue;
    thumbnailBytes_ -= shot.thumbnail->size();
    shot.thumbnail.reset();
  }
}

std::string LiveFeed::shotsEventLocked() const {
  std::string list = "[";
  for (auto it = shots_.rbegin(); it != shots_.rend(); ++it) {
    if (list.size() > 1) list += ',';
    list += it->json;
  }
  list += ']';
  return "event: shots\ndata: " + list + "\n\n";
}

void LiveFeed::publishShot(const core::WireSegment& segment) {
  std::lock_guard lock(mutex_);
  // A shot just closed belongs to the shoot going on now, which may have
  // begun with it: another shoot's shots are gone from the day.
  if (loadedShoot_ != std::optional<std::optional<std::string>>(segment.shootID)) {
    shots_.clear();
    thumbnailBytes_ = 0;
    loadedShoot_ = segment.shootID;
    addShotLocked(segment);
    sendLocked(shotsEventLocked());
    return;
  }
  const std::string* json = addShotLocked(segment);
  if (!json) return;
  const std::string text = "event: shot\ndata: " + *json + "\n\n";  // before trimming may drop the shot
  trimLocked();
  sendLocked(text);
}

void LiveFeed::resetShots(const std::optional<std::string>& shootID, const std::vector<core::WireSegment>& segments) {
  std::lock_guard lock(mutex_);
  // Read for a shoot the view has left since: out of date.
  if (snapshot_ && snapshot_->shootID != shootID) return;
  if (loadedShoot_ != std::optional<std::optional<std::string>>(shootID)) {
    shots_.clear();
    thumbnailBytes_ = 0;
  }
  loadedShoot_ = shootID;
  for (const core::WireSegment& segment : segments) {
    if (segment.shootID == shootID) addShotLocked(segment);
  }
  trimLocked();
  sendLocked(shotsEventLocked());
}

void LiveFeed::publishFrame(core::Bytes jpeg, const std::string& fileName) {
  auto picture = std::make_shared<const core::Bytes>(std::move(jpeg));
  std::lock_guard lock(mutex_);
  frame_ = std::move(picture);
  frameFileName_ = fileName;
  ++frameVersion_;
  sendLocked(event("frame", {{"version", frameVersion_}, {"fileName", fileName}}));
}

void LiveFeed::clearFrame() {
  std::lock_guard lock(mutex_);
  if (!frame_) return;
  frame_.reset();
  frameFileName_.clear();
  ++frameVersion_;
  sendLocked(event("frame", {{"version", frameVersion_}, {"fileName", nullptr}}));
}

void LiveFeed::ping() {
  std::lock_guard lock(mutex_);
  sendLocked(": ping\n\n");
}

void LiveFeed::forgetShots() {
  std::lock_guard lock(mutex_);
  shots_.clear();
  thumbnailBytes_ = 0;
  loadedShoot_.reset();
}

void LiveFeed::acceptStreams() {
  std::lock_guard lock(mutex_);
  refusing_ = false;
}

void LiveFeed::endAll(bool refuseNew) {
  std::lock_guard lock(mutex_);
  refusing_ = refusing_ || refuseNew;
  for (const std::shared_ptr<Stream>& stream : streams_) {
    stream->ended = true;
    if (stream->parked) {
      stream->parked = false;
      if (stream->wake) stream->wake();
    }
  }
}

std::optional<std::optional<std::string>> LiveFeed::loadedShootID() const {
  std::lock_guard lock(mutex_);
  return loadedShoot_;
}

LiveFeed::Bytes LiveFeed::shotThumbnail(uint64_t seq) const {
  std::lock_guard lock(mutex_);
  for (const Shot& shot : shots_) {
    if (shot.seq == seq) return shot.thumbnail;
  }
  return nullptr;
}

LiveFeed::Bytes LiveFeed::frame() const {
  std::lock_guard lock(mutex_);
  return frame_;
}

PlanFacts LiveFeed::planFacts() const {
  std::lock_guard lock(mutex_);
  PlanFacts facts;
  if (snapshot_) facts.snapshot = *snapshot_;
  for (const Shot& shot : shots_) facts.shotDurations.push_back(shot.duration);
  return facts;
}

}  // namespace vantle::web
