#include "agent/folders/latest_frame_feed.h"

#include <algorithm>

#include "agent/folders/thumbnail_reader.h"
#include "support/weak.h"

namespace vantle::agent {
namespace {

// Whether less than `seconds` passed from `since` to `now`. A clock set back
// (`since` in the future) counts as the time having passed: otherwise the
// feed would hold for as long as the clock was moved.
bool within(const std::optional<core::Instant>& since, core::Instant now, double seconds) {
  if (!since) return false;
  const double elapsed = core::secondsBetween(*since, now);
  return elapsed >= 0 && elapsed < seconds;
}

}  // namespace

std::shared_ptr<LatestFrameFeed> LatestFrameFeed::make() { return make(Settings{}); }

std::shared_ptr<LatestFrameFeed> LatestFrameFeed::make(Settings settings, const Clock& clock) {
  if (!settings.read) {
    settings.read = [](const std::string& directory, const std::string& fileName) {
      return ThumbnailReader().newestFrameThumbnail(directory, fileName);
    };
  }
  return std::shared_ptr<LatestFrameFeed>(new LatestFrameFeed(std::move(settings), clock));
}

LatestFrameFeed::LatestFrameFeed(Settings settings, const Clock& clock)
    : settings_(std::move(settings)), clock_(clock) {}

void LatestFrameFeed::note(std::string directory, std::string fileName) {
  queue_.post(support::weakly(
      shared_from_this(), [directory = std::move(directory), fileName = std::move(fileName)](LatestFrameFeed& self) {
        self.lastNoteAt_ = self.clock_.now();
        if (self.latest_ && self.latest_->path == directory + "/" + fileName) return;  // delivered already
        self.pending_ = Pending{directory, fileName};
        self.attemptsLeft_ = static_cast<int64_t>(self.settings_.delays.size());
        if (!self.chainRunning_) {
          self.chainRunning_ = true;
          self.scheduleAttempt();
        }
      }));
}

void LatestFrameFeed::clear() {
  queue_.post(support::weakly(shared_from_this(), [](LatestFrameFeed& self) {
    self.latest_.reset();
    self.pending_.reset();
    self.attemptsLeft_ = 0;
    self.lastDeliveryAt_.reset();
  }));
}

void LatestFrameFeed::setOnThumbnail(std::function<void(const Delivery&)> onThumbnail) {
  queue_.post(support::weakly(shared_from_this(), [onThumbnail = std::move(onThumbnail)](LatestFrameFeed& self) {
    self.onThumbnail_ = onThumbnail;
  }));
}

void LatestFrameFeed::setTrace(std::function<void(const std::string&)> trace) {
  queue_.post(
      support::weakly(shared_from_this(), [trace = std::move(trace)](LatestFrameFeed& self) { self.trace_ = trace; }));
}

std::optional<LatestFrameFeed::Delivery> LatestFrameFeed::latest() {
  return queue_.sync([this] { return latest_; });
}

void LatestFrameFeed::scheduleAttempt() {
  VANTLE_ON_QUEUE(queue_);
  const auto& delays = settings_.delays;
  const int64_t count = static_cast<int64_t>(delays.size());
  const int64_t index = std::clamp<int64_t>(count - attemptsLeft_, 0, std::max<int64_t>(count - 1, 0));
  const double delay = delays.empty() ? 0 : delays[static_cast<size_t>(index)];
  queue_.postAfter(delay, support::weakly(shared_from_this(), [](LatestFrameFeed& self) { self.attempt(); }));
}

bool LatestFrameFeed::shutterGoing(core::Instant now) const {
  VANTLE_ON_QUEUE(queue_);
  return within(lastNoteAt_, now, settings_.quietPeriod) && within(lastDeliveryAt_, now, settings_.maximumHold);
}

void LatestFrameFeed::attempt() {
  VANTLE_ON_QUEUE(queue_);
  if (!pending_ || attemptsLeft_ <= 0) {
    chainRunning_ = false;
    emit("chain ends");
    return;
  }
  if (shutterGoing(clock_.now())) {
    emit("holding " + pending_->fileName + " \u2014 shutter still going");
    scheduleAttempt();
    return;
  }
  --attemptsLeft_;
  emit("attempt " + pending_->fileName + " left=" + std::to_string(attemptsLeft_));
  const Pending frame = *pending_;
  std::optional<core::Bytes> data = settings_.read(frame.directory, frame.fileName);
  if (!data) {
    if (attemptsLeft_ > 0) {
      scheduleAttempt();
    } else {
      chainRunning_ = false;
    }
    return;
  }
  latest_ = Delivery{std::move(*data), frame.fileName, frame.directory + "/" + frame.fileName};
  lastDeliveryAt_ = clock_.now();
  pending_.reset();
  attemptsLeft_ = 0;
  chainRunning_ = false;
  if (onThumbnail_) onThumbnail_(*latest_);
}

void LatestFrameFeed::emit(const std::string& line) const {
  VANTLE_ON_QUEUE(queue_);
  if (trace_) trace_(line);
}

}  // namespace vantle::agent
