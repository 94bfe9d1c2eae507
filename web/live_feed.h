// What browsers are told as the shoot goes on, and the event streams that
// tell them.
//
// The feed keeps the latest view of the agent, the shoot's closed shots
// (their thumbnails within a byte budget, the newest kept) and the newest
// frame's picture. Each open stream is text in the server-sent-events format
// waiting to be read: on opening, the whole picture; then every change.
//
// Flow. A stream's reader takes what is waiting; when nothing is, it is
// parked (`park` is called) and the next news wakes it (`wake`). Both are
// called with the feed's lock held, so a wake never overtakes its park. A
// stream with more than `backlogLimit` bytes unread (a browser that stopped
// reading) is ended rather than allowed to grow; so are all streams at
// `endAll` (a new access token, or the server stopping).
//
// Thread-safe: the agent's threads publish, the web server's thread reads.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "core/vantle_coding.h"
#include "core/wire_segment.h"
#include "web/live_view.h"
#include "web/plan_query.h"

namespace vantle::web {

class LiveFeed {
 public:
  static constexpr size_t backlogLimit = 1 << 20;
  static constexpr size_t thumbnailBudget = 48 << 20;
  static constexpr size_t shotLimit = 5000;
  // How long a page waits before it reconnects, in milliseconds.
  static constexpr int retryMillis = 2000;

  struct Stream;
  using Bytes = std::shared_ptr<const core::Bytes>;

  LiveFeed();
  ~LiveFeed();
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  // A new stream, holding the whole picture already.
  std::shared_ptr<Stream> open(std::function<void()> park, std::function<void()> wake);
  // Copies up to `capacity` waiting bytes into `into` and returns how many.
  // 0 with `*ended` false: nothing waits, and the stream is parked.
  size_t read(Stream& stream, char* into, size_t capacity, bool* ended);
  // The stream's reader is gone: no park or wake is called for it again.
  void close(Stream& stream);
  size_t streamCount() const;

  void publishView(const core::VantleSnapshot& snapshot, const StatusWords& words);
  void publishShot(const core::WireSegment& segment);
  // The shoot's shots as storage has them, in order; shots published in the
  // meantime are kept. Ignored when the view has moved to another shoot.
  // A published shot of another shoot than the loaded one starts that
  // shoot's day.
  void resetShots(const std::optional<std::string>& shootID, const std::vector<core::WireSegment>& segments);
  void publishFrame(core::Bytes jpeg, const std::string& fileName);
  void clearFrame();
  // A comment line on every stream: it keeps proxies from closing them and
  // finds browsers that have gone away.
  void ping();
  // Ends every stream. With `refuseNew`, streams opened from now on end at
  // once too (the server is stopping: none may be parked when it stops),
  // until `acceptStreams`.
  void endAll(bool refuseNew = false);
  void acceptStreams();
  // Drops the shots: the next load reads them all again.
  void forgetShots();

  // The shoot the shots are loaded for; none before the first load.
  std::optional<std::optional<std::string>> loadedShootID() const;
  Bytes shotThumbnail(uint64_t seq) const;
  Bytes frame() const;
  PlanFacts planFacts() const;

 private:
  struct Shot {
    uint64_t seq = 0;
    std::string json;
    double duration = 0;
    Bytes thumbnail;
  };
  void sendLocked(const std::string& event);
  std::string shotsEventLocked() const;
  // The kept shot's JSON; null when the shot is known already.
  const std::string* addShotLocked(const core::WireSegment& segment);
  void trimLocked();

  mutable std::mutex mutex_;
  std::optional<core::VantleSnapshot> snapshot_;
  std::string viewEvent_;
  std::deque<Shot> shots_;  // oldest first
  size_t thumbnailBytes_ = 0;
  std::optional<std::optional<std::string>> loadedShoot_;
  Bytes frame_;
  uint64_t frameVersion_ = 0;
  std::string frameFileName_;
  std::vector<std::shared_ptr<Stream>> streams_;
  bool refusing_ = false;
};

}  // namespace vantle::web
