// Delivers one small JPEG of the newest frame once the shutter pauses.
//
// The coordinator notes each newest frame; the feed tries to read a
// thumbnail of it after short delays (a chain of retries, since the picture
// may not be ready yet) and hands the first one it gets to `onThumbnail`,
// once per frame. While notes keep arriving less than `quietPeriod` apart
// it holds back, so a burst yields one delivery for its last frame; but it
// never holds for more than `maximumHold` after the previous delivery.
//
// All state lives on the queue "com.orvane.vantle.latestframe", where
// `read`, `onThumbnail` and `trace` run. note(), clear() and the setters
// only post there, so they are safe from any thread; latest() waits for the
// queue and must not be called from it. Scheduled attempts hold the feed
// weakly: once its owner releases it, nothing more is read or delivered.
// Times come from the Clock, which must outlive the feed; a clock set back
// is taken as time having passed, so it never stalls a delivery.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/clock.h"
#include "core/instant.h"
#include "core/vantle_coding.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class LatestFrameFeed : public std::enable_shared_from_this<LatestFrameFeed> {
 public:
  struct Delivery {
    core::Bytes data;      // JPEG
    std::string fileName;  // the frame's file name
    std::string path;      // folder + "/" + file name

    bool operator==(const Delivery&) const = default;
  };

  // Makes the thumbnail of (folder, file name), or absent when it cannot yet.
  using Reader = std::function<std::optional<core::Bytes>(const std::string& directory, const std::string& fileName)>;

  struct Settings {
    std::vector<double> delays{0.4, 0.6, 0.8, 1.0, 1.2};  // seconds before each attempt
    double quietPeriod = 1.2;
    double maximumHold = 10.0;
    // Empty: ThumbnailReader::newestFrameThumbnail.
    Reader read;
  };

  static std::shared_ptr<LatestFrameFeed> make();
  static std::shared_ptr<LatestFrameFeed> make(Settings settings, const Clock& clock = Clock::system());

  // `fileName` is the newest frame of `directory`.
  void note(std::string directory, std::string fileName);
  // Forgets the last delivery and any frame still waiting.
  void clear();

  void setOnThumbnail(std::function<void(const Delivery&)> onThumbnail);
  void setTrace(std::function<void(const std::string&)> trace);

  // The last delivery, if any.
  std::optional<Delivery> latest();

 private:
  LatestFrameFeed(Settings settings, const Clock& clock);
  // On the queue.
  void scheduleAttempt();
  void attempt();
  void emit(const std::string& line) const;
  bool shutterGoing(core::Instant now) const;

  struct Pending {
    std::string directory;
    std::string fileName;
  };

  const Settings settings_;
  const Clock& clock_;
  support::SerialQueue queue_{"com.orvane.vantle.latestframe"};

  // On the queue only.
  std::function<void(const Delivery&)> onThumbnail_;
  std::function<void(const std::string&)> trace_;
  std::optional<Delivery> latest_;
  std::optional<Pending> pending_;
  int64_t attemptsLeft_ = 0;
  bool chainRunning_ = false;
  std::optional<core::Instant> lastNoteAt_;  // absent: the distant past
  std::optional<core::Instant> lastDeliveryAt_;
};

}  // namespace vantle::agent
