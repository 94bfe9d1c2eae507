#include "web/live_view.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace vantle::web {

int64_t unixMillis(core::Instant at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

namespace {

template <typename T>
core::Json valueOrNull(const std::optional<T>& value) {
  return value ? core::Json(*value) : core::Json(nullptr);
}

}  // namespace

core::Json orNull(const std::optional<std::string>& value) { return valueOrNull(value); }
core::Json orNull(const std::optional<double>& value) { return valueOrNull(value); }
core::Json orNull(const std::optional<int64_t>& value) { return valueOrNull(value); }
core::Json orNull(const std::optional<bool>& value) { return valueOrNull(value); }

core::Json millisOrNull(const std::optional<core::Instant>& at) {
  return at ? core::Json(unixMillis(*at)) : core::Json(nullptr);
}

core::Json viewJson(const core::VantleSnapshot& snapshot, const StatusWords& words) {
  const core::ShotClock clock = snapshot.shotClock();
  const core::Instant at = snapshot.at;
  double runsFor = 0;
  if (clock.isRunning() && !clock.isWaiting(at)) {
    runsFor = clock.lastActivityAt
                  ? std::max(0.0, clock.idleThreshold - core::secondsBetween(*clock.lastActivityAt, at))
                  : clock.idleThreshold;
  }
  core::Json view;
  view["frameCount"] = snapshot.frameCount;
  view["shotName"] = orNull(snapshot.shotName);
  view["folder"] = orNull(snapshot.designatedPath);
  view["sessionName"] = orNull(snapshot.sessionName);
  view["status"] = std::string(core::caseName(snapshot.status));
  view["statusLine"] = words.line;
  view["remedy"] = orNull(words.remedy);
  view["warning"] = orNull(snapshot.orphanWarning());
  view["clock"] = {
      {"running", clock.isRunning()}, {"waiting", clock.isRunning() && clock.isWaiting(at)},
      {"elapsed", clock.elapsed(at)}, {"idle", clock.idle(at)},
      {"runsFor", runsFor},           {"idleThreshold", snapshot.idleThreshold},
  };
  const core::DayTiming day = snapshot.dayTiming();
  view["totals"] = {
      {"shotsCompleted", snapshot.shotsCompleted},
      {"framesThisShoot", snapshot.framesThisShoot},
      {"shotTime", snapshot.totalShotTime},
      {"betweenTime", snapshot.totalBetween},
      {"averageShotCost", orNull(day.averageShotCost())},
      {"firstCaptureAt", millisOrNull(snapshot.firstCaptureAt)},
  };
  view["camera"] = {
      {"connected", orNull(snapshot.isCameraConnected)},
      {"battery", orNull(snapshot.cameraBattery)},
  };
  view["at"] = unixMillis(at);
  return view;
}

core::Json shotJson(const core::WireSegment& segment) {
  core::Json shot;
  shot["seq"] = segment.seq;
  shot["name"] = segment.folderName;
  shot["openedAt"] = unixMillis(segment.openedAt);
  shot["closedAt"] = unixMillis(segment.closedAt);
  shot["frames"] = segment.framesAdded;
  shot["endFrameCount"] = segment.endFrameCount;
  shot["duration"] = segment.duration;
  shot["activeTime"] = segment.activeTime;
  shot["idleTime"] = segment.idleTime;
  shot["isRevisit"] = segment.isRevisit;
  shot["lastFileName"] = orNull(segment.lastFileName);
  shot["thumbnail"] = segment.thumbnail && !segment.thumbnail->empty()
                          ? core::Json("/shots/" + std::to_string(segment.seq) + ".jpg")
                          : core::Json(nullptr);
  return shot;
}

}  // namespace vantle::web
