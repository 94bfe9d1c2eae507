// What a browser page shows, as JSON: the agent's state in the words the
// menu uses, and one closed shot. Pure: everything comes in the arguments.
//
// Instants are milliseconds since the Unix epoch. The shot clock is read at
// the snapshot's own instant; `runsFor` says how much longer it keeps
// running without a new frame, so a page can tick it by its own clock and
// stop where the agent would, however far its clock is from the agent's.
#pragma once

#include <optional>
#include <string>

#include "core/snapshot.h"
#include "core/vantle_coding.h"
#include "core/wire_segment.h"

namespace vantle::web {

struct StatusWords {
  std::string line;                   // the menu's status line
  std::optional<std::string> remedy;  // what to do about it
};

int64_t unixMillis(core::Instant at);

// A value as JSON, null when absent; instants as milliseconds since the epoch.
core::Json orNull(const std::optional<std::string>& value);
core::Json orNull(const std::optional<double>& value);
core::Json orNull(const std::optional<int64_t>& value);
core::Json orNull(const std::optional<bool>& value);
core::Json millisOrNull(const std::optional<core::Instant>& at);

core::Json viewJson(const core::VantleSnapshot& snapshot, const StatusWords& words);

// A shot for the page; its thumbnail is a URL of its own, never inline.
core::Json shotJson(const core::WireSegment& segment);

}  // namespace vantle::web
