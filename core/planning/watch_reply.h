// The frame count a companion forwards to its paired watch.
//
// The watch and the companion exchange small dictionaries: text keys whose
// values are text or bytes. The watch sends WatchAsk::message(); the companion
// answers with WatchCountReply::encoded(), which holds the reply as JSON bytes
// under "reply". That JSON writes its instant as seconds since
// 2001-01-01T00:00:00Z, a plain number, unlike the ISO 8601 text of the
// agent's wire records. Decoding is strict: "link", "frameCount",
// "thresholds" and "at" must be there, and a key that is there must hold a
// value of its type.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/enum_text.h"
#include "core/instant.h"
#include "core/planning/count_thresholds.h"
#include "core/snapshot.h"
#include "core/status.h"
#include "core/vantle_coding.h"

namespace vantle::core {

// One message between companion and watch.
using WatchValue = std::variant<std::string, Bytes>;
using WatchDictionary = std::map<std::string, WatchValue>;

namespace WatchAsk {

inline constexpr std::string_view key = "ask";
inline constexpr std::string_view count = "count";

// {"ask": "count"}: the watch asking for a count.
WatchDictionary message();

}  // namespace WatchAsk

struct WatchCountReply {
  // The state of the companion's link to the agent.
  enum class Link { live, connecting, unpaired };

  static constexpr std::string_view key = "reply";

  Link link = Link::live;
  std::optional<std::string> shotName;
  int64_t frameCount = 0;
  std::optional<AgentStatus> status;
  std::optional<bool> isCameraConnected;
  CountThresholds thresholds;
  std::optional<std::string> jobName;
  Instant at;  // when the count was taken

  bool operator==(const WatchCountReply&) const = default;

  // A live reply carrying the snapshot's shot, count, status, camera and time.
  static WatchCountReply fromSnapshot(const VantleSnapshot& snapshot, const CountThresholds& thresholds,
                                      const std::optional<std::string>& jobName);

  // {"reply": JSON bytes}. Never fails: text that is not UTF-8 is written
  // with U+FFFD in its place, as in every wire record.
  WatchDictionary encoded() const;

  // The reply under "reply"; nullopt when that is missing, is not bytes, or
  // does not decode.
  static std::optional<WatchCountReply> decode(const WatchDictionary& dictionary);
};

template <>
struct EnumText<WatchCountReply::Link> {
  static constexpr std::array<std::string_view, 3> names{"live", "connecting", "unpaired"};
};

}  // namespace vantle::core
